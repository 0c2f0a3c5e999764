#pragma once

#include <QObject>
#include <QPointer>

#include <chrono>
#include <memory>
#include <utility>
#include <vector>

class QSocketNotifier;

// How a running sweep gives the window's thread to its events.
//
// Its message processing handles everything pending: the user's keys and
// clicks, timers, the desktop's traffic. While it waits for its clock between
// pictures, the window still answers the desktop (a screen reader's questions,
// which reach the window as posted events, repaints, the window manager), so
// that a reader is answered as fast as when the monitor is idle. The user's
// keys and clicks are not handled there: they wait for the next message
// processing, as do timers, among them the one that ends a button's access-key
// press with its click. Keys and clicks that come as posted events (a screen
// reader's bridge hands a key back that way once the reader has seen it) are
// held while the wait lasts and posted again, in their order, as it ends.
class SweepEvents : public QObject
{
public:
    SweepEvents();
    ~SweepEvents() override;

    // Handles what is pending; handlers may run nested in here.
    void ProcessMessages();
    // Answers the desktop until the steady clock reaches the deadline, and
    // what is already pending even when the deadline has passed.
    void SleepUntil(std::chrono::steady_clock::time_point deadline);

protected:
    bool eventFilter(QObject* receiver, QEvent* event) override;

private:
    void WakeAt(std::chrono::steady_clock::time_point deadline);
    void PostHeldInput();

    // A timer of the kernel's that wakes the event loop on the microsecond:
    // Qt's own timers count whole milliseconds, and a wait handles none of them.
    int wakeTimer_ = -1;
    QSocketNotifier* wakeNotifier_ = nullptr;
    bool holdingInput_ = false;
    std::vector<std::pair<QPointer<QObject>, std::unique_ptr<QEvent>>> heldInput_;
};
