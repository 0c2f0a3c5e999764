#include "app/sweepevents.h"

#include <QCoreApplication>
#include <QEvent>
#include <QScopedValueRollback>
#include <QSocketNotifier>

#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace {

// What the user types or clicks with.
bool IsKeyOrClick(QEvent::Type type)
{
    switch (type) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
        return true;
    default:
        return false;
    }
}

}  // namespace

SweepEvents::SweepEvents()
    : wakeTimer_(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK))
{
    if (wakeTimer_ < 0)
        throw std::system_error(errno, std::generic_category(), "timerfd_create");
    wakeNotifier_ = new QSocketNotifier(wakeTimer_, QSocketNotifier::Read, this);
    // Reading the timer's count of expirations ends its wake-up.
    connect(wakeNotifier_, &QSocketNotifier::activated, this, [this] {
        std::uint64_t expirations = 0;
        [[maybe_unused]] const ssize_t bytes = read(wakeTimer_, &expirations, sizeof expirations);
    });
    QCoreApplication::instance()->installEventFilter(this);
}

SweepEvents::~SweepEvents()
{
    delete wakeNotifier_;
    close(wakeTimer_);
}

void SweepEvents::ProcessMessages()
{
    const QScopedValueRollback handlesInput(holdingInput_, false);
    QCoreApplication::processEvents();
}

void SweepEvents::SleepUntil(std::chrono::steady_clock::time_point deadline)
{
    constexpr QEventLoop::ProcessEventsFlags kDesktopOnly =
        QEventLoop::ExcludeUserInputEvents | QEventLoop::X11ExcludeTimers;
    {
        const QScopedValueRollback holding(holdingInput_, true);
        // A sweep that runs late still answers between its pictures.
        QCoreApplication::processEvents(kDesktopOnly);
        while (std::chrono::steady_clock::now() < deadline) {
            // Set each time round: a sweep run from an event handled here
            // sets the timer for its own waits.
            WakeAt(deadline);
            QCoreApplication::processEvents(kDesktopOnly | QEventLoop::WaitForMoreEvents);
        }
    }
    PostHeldInput();
}

// The steady clock reads CLOCK_MONOTONIC, so its time points are that clock's times.
void SweepEvents::WakeAt(std::chrono::steady_clock::time_point deadline)
{
    const auto sinceBoot = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch());
    itimerspec wakeUp{};
    wakeUp.it_value.tv_sec = time_t(sinceBoot.count() / 1'000'000'000);
    wakeUp.it_value.tv_nsec = long(sinceBoot.count() % 1'000'000'000);
    timerfd_settime(wakeTimer_, TFD_TIMER_ABSTIME, &wakeUp, nullptr);
}

bool SweepEvents::eventFilter(QObject* receiver, QEvent* event)
{
    if (!holdingInput_ || !IsKeyOrClick(event->type()))
        return false;
    heldInput_.emplace_back(receiver, event->clone());
    return true;
}

void SweepEvents::PostHeldInput()
{
    for (auto& [receiver, event] : heldInput_) {
        if (receiver)
            QCoreApplication::postEvent(receiver, event.release());
    }
    heldInput_.clear();
}
