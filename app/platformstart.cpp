#include "app/platformstart.h"

#include <QMessageLogContext>
#include <QStringList>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace {

struct HeldMessage
{
    QtMsgType type;
    QByteArray category;  // null for messages without one
    QString text;
};

// The handler is a plain function, so its state lives here. The platform may
// start threads of its own (X's event reader), hence the lock.
std::mutex heldLock;
std::vector<HeldMessage> held;
QByteArray failureLine;
QtMessageHandler qtHandler = nullptr;

void HoldOrFail(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "%s\n", failureLine.constData());
        // Qt is half set up and would abort on return: leave at once, without
        // running its cleanup.
        std::_Exit(EXIT_FAILURE);
    }
    const std::lock_guard lock(heldLock);
    held.push_back({type, QByteArray(context.category), text});
}

}  // namespace

PlatformStart::PlatformStart(const QString& failure)
{
    failureLine = failure.toLocal8Bit();
    qtHandler = qInstallMessageHandler(HoldOrFail);
}

PlatformStart::~PlatformStart()
{
    Opened();
}

void PlatformStart::Opened()
{
    if (!holding_)
        return;
    holding_ = false;
    qInstallMessageHandler(qtHandler);
    std::vector<HeldMessage> messages;
    {
        const std::lock_guard lock(heldLock);
        messages.swap(held);
    }
    for (const HeldMessage& message : messages) {
        const char* category = message.category.isNull() ? nullptr : message.category.constData();
        const QMessageLogContext context(nullptr, 0, nullptr, category);
        qt_message_output(message.type, context, message.text);
    }
}

QString DisplayFailure(const QString& platforms, const QString& xDisplay, const QString& waylandDisplay)
{
    QStringList tried = platforms.split(u';', Qt::SkipEmptyParts);
    if (tried.isEmpty()) {
        if (!waylandDisplay.isEmpty())
            tried << QStringLiteral("wayland");
        tried << QStringLiteral("xcb");
    }
    QStringList displays;
    for (const QString& platform : tried) {
        // A platform may carry its own options after a colon.
        const QString name = platform.section(u':', 0, 0).toLower();
        if (name == QLatin1String("xcb")) {
            displays << (xDisplay.isEmpty() ? QStringLiteral("an X display (DISPLAY is not set)")
                                            : QStringLiteral("X display \"%1\"").arg(xDisplay));
        } else if (name.startsWith(QLatin1String("wayland"))) {
            // Wayland's own default when no display is named.
            const QString socket = waylandDisplay.isEmpty() ? QStringLiteral("wayland-0") : waylandDisplay;
            displays << QStringLiteral("Wayland display \"%1\"").arg(socket);
        } else {
            displays << QStringLiteral("the Qt platform \"%1\"").arg(name);
        }
    }
    return QStringLiteral("cannot open ") + displays.join(QStringLiteral(" or "));
}
