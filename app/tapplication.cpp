#include "app/tapplication.h"

#include <QDir>
#include <QMessageBox>
#include <QScopedValueRollback>

#include <stdexcept>

TApplication::TApplication(int& argc, char** argv)
    : QApplication(argc, argv)
{
    setApplicationDisplayName(QStringLiteral(EKGDEMO_TITLE));
}

bool TApplication::notify(QObject* receiver, QEvent* event)
{
    // Unwinding through Qt's event dispatch is undefined, so every exception
    // stops here, whichever handler (nested ones included) raised it.
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        ShowException(error);
    } catch (...) {
        ShowException(std::runtime_error("Unknown error"));
    }
    return false;
}

void TApplication::ShowException(const std::exception& error)
{
    if (showingException_) {
        qWarning("%s (not shown: another error is on screen)", error.what());
        return;
    }
    const QScopedValueRollback showing(showingException_, true);
    QMessageBox::critical(activeWindow(), applicationDisplayName(), QString::fromLocal8Bit(error.what()));
}

// PNGs rendered at build time, so that no SVG support is needed at run time.
QIcon TApplication::ProgramIcon()
{
    QIcon icon;
    const QDir sizes(QStringLiteral(":/icons"));
    for (const QString& file : sizes.entryList(QDir::Files))
        icon.addFile(sizes.filePath(file));
    return icon;
}
