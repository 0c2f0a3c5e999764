#include "app/platformstart.h"

#include <QLoggingCategory>
#include <QMessageLogContext>
#include <QRegularExpression>
#include <QStringList>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

struct HeldMessage
{
    QtMsgType type;
    QByteArray category;  // null for messages without one
    QString text;
};

// Qt's library loader says why a plugin cannot be loaded only in this
// category's debug messages, which the start turns on for itself.
constexpr const char* kLibraryCategory = "qt.core.library";

// The handler and the filter are plain functions, so their state lives here.
// The platform may start threads of its own (X's event reader), hence the lock.
std::mutex heldLock;
std::vector<HeldMessage> held;
QString programName;
QString namedXDisplay;
QString namedWaylandDisplay;
QtMessageHandler qtHandler = nullptr;
QLoggingCategory::CategoryFilter qtFilter = nullptr;
// Whether the user's own logging rules show the library loader's messages.
bool userShowsLibraryLoads = false;

void ShowLibraryLoads(QLoggingCategory* category)
{
    qtFilter(category);
    if (std::strcmp(category->categoryName(), kLibraryCategory) == 0) {
        userShowsLibraryLoads = category->isDebugEnabled();
        category->setEnabled(QtDebugMsg, true);
    }
}

bool IsLibraryLoad(const HeldMessage& message)
{
    return message.category == kLibraryCategory;
}

// Held messages go out as Qt would have given them, but for the library
// loader's, unless the user asked for those too.
bool PassedOn(const HeldMessage& message)
{
    return !IsLibraryLoad(message) || userShowsLibraryLoads;
}

// The display each platform would have opened, for the failure line.
QString DisplayFailure(const QStringList& platforms)
{
    QStringList displays;
    for (const QString& platform : platforms) {
        if (platform == QLatin1String("xcb")) {
            displays << (namedXDisplay.isEmpty() ? QStringLiteral("an X display (DISPLAY is not set)")
                                                 : QStringLiteral("X display \"%1\"").arg(namedXDisplay));
        } else if (platform.startsWith(QLatin1String("wayland"))) {
            // Wayland's own default when no display is named.
            const QString socket = namedWaylandDisplay.isEmpty() ? QStringLiteral("wayland-0") : namedWaylandDisplay;
            displays << QStringLiteral("Wayland display \"%1\"").arg(socket);
        } else {
            displays << QStringLiteral("the display of the Qt platform \"%1\"").arg(platform);
        }
    }
    return QStringLiteral("cannot open ") + displays.join(QStringLiteral(" or "));
}

// Reads what Qt 6 said of each platform plugin it tried, in its own words:
// not there, not loadable (the library loader says why), or loaded without
// getting its display, or failing otherwise. Returns the failure line's
// text, and whether every plugin failed for want of its display alone.
QString DescribeFailure(const std::vector<HeldMessage>& messages, bool& displaysOnly)
{
    static const QRegularExpression notFound(QStringLiteral(R"re(^Could not find the Qt platform plugin "([^"]*)")re"));
    static const QRegularExpression notStarted(QStringLiteral(R"re(^Could not load the Qt platform plugin "([^"]*)")re"));
    static const QRegularExpression loadError(
        QStringLiteral(R"re(/platforms/.*" cannot load: (?:Cannot load library .*?: \((.*)\)|(.*))$)re"));

    QStringList causes;
    QStringList unopenedDisplays;  // platforms that were loaded but could not open their display
    QString whyNotLoaded;
    bool noDisplay = false;
    for (const HeldMessage& message : messages) {
        if (IsLibraryLoad(message)) {
            const QRegularExpressionMatch match = loadError.match(message.text);
            if (match.hasMatch())
                whyNotLoaded = match.captured(1).isEmpty() ? match.captured(2) : match.captured(1);
            continue;
        }
        if (message.text.startsWith(QLatin1String("could not connect to display")) ||
            message.text.startsWith(QLatin1String("Failed to create wl_display"))) {
            noDisplay = true;
            continue;
        }
        if (const QRegularExpressionMatch match = notFound.match(message.text); match.hasMatch()) {
            causes << QStringLiteral("the Qt platform plugin \"%1\" is not installed").arg(match.captured(1));
        } else if (const QRegularExpressionMatch match = notStarted.match(message.text); match.hasMatch()) {
            const QString plugin = match.captured(1);
            if (!whyNotLoaded.isEmpty())
                causes << QStringLiteral("cannot load the Qt platform plugin \"%1\" (%2)").arg(plugin, whyNotLoaded);
            else if (noDisplay) {
                causes << DisplayFailure({plugin});
                unopenedDisplays << plugin;
            } else
                causes << QStringLiteral("the Qt platform plugin \"%1\" did not start").arg(plugin);
            whyNotLoaded.clear();
            noDisplay = false;
        }
    }
    displaysOnly = !unopenedDisplays.isEmpty() && unopenedDisplays.size() == causes.size();
    if (displaysOnly)
        return DisplayFailure(unopenedDisplays);
    if (causes.isEmpty())
        return QStringLiteral("no Qt platform plugin could be started (Qt's messages above say why)");
    return causes.join(QStringLiteral("; "));
}

void PrintAsQtWould(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
}

void HoldOrFail(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (type != QtFatalMsg) {
        const std::lock_guard lock(heldLock);
        held.push_back({type, QByteArray(context.category), text});
        return;
    }
    const std::lock_guard lock(heldLock);
    bool displaysOnly = false;
    const QString cause = DescribeFailure(held, displaysOnly);
    // A display that is not there needs no more than its name; any other
    // failure comes after what Qt said of it.
    if (!displaysOnly) {
        for (const HeldMessage& message : held) {
            if (!PassedOn(message))
                continue;
            const char* category = message.category.isNull() ? nullptr : message.category.constData();
            PrintAsQtWould(message.type, QMessageLogContext(nullptr, 0, nullptr, category), message.text);
        }
        PrintAsQtWould(type, context, text);
    }
    std::fprintf(stderr, "%s: %s\n", qPrintable(programName), qPrintable(cause));
    // Qt is half set up and would abort on return: leave at once, without
    // running its cleanup.
    std::_Exit(EXIT_FAILURE);
}

}  // namespace

PlatformStart::PlatformStart(const QString& program, const QString& xDisplay, const QString& waylandDisplay)
{
    programName = program;
    namedXDisplay = xDisplay;
    namedWaylandDisplay = waylandDisplay;
    qtHandler = qInstallMessageHandler(HoldOrFail);
    qtFilter = QLoggingCategory::installFilter(ShowLibraryLoads);
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
    QLoggingCategory::installFilter(qtFilter);
    qInstallMessageHandler(qtHandler);
    std::vector<HeldMessage> messages;
    {
        const std::lock_guard lock(heldLock);
        messages.swap(held);
    }
    for (const HeldMessage& message : messages) {
        if (!PassedOn(message))
            continue;
        const char* category = message.category.isNull() ? nullptr : message.category.constData();
        const QMessageLogContext context(nullptr, 0, nullptr, category);
        qt_message_output(message.type, context, message.text);
    }
}
