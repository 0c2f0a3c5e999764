// The real window under clicks that come as a user's would: from outside the
// window's thread, at random moments, so that they land inside sweeps, inside
// fade-outs and while idle, and Run clicks nest sweeps. Afterwards the screen
// shows the grid alone and no sweep is left running. Storms of Run clicks and
// of Stop clicks nest sweeps and fade-outs only up to a fixed depth, which the
// stack holds. And closing the window at any moment of a sweep or a fade-out
// lets the event loop it ran in return at once.

#include "app/ekgunit2.h"
#include "tests/monitorpicture.h"

#include <QAbstractEventDispatcher>
#include <QMouseEvent>
#include <QPushButton>
#include <QtTest>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <optional>
#include <random>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Milliseconds = std::chrono::milliseconds;

namespace {

constexpr int kClicks = 2000;
constexpr int kCloseRounds = 24;
// How deep Run and Stop handlers nest at most, and storms far past that.
constexpr int kNestingLimit = 64;
constexpr int kRunStorm = 1000;
constexpr int kStopStorm = 300;
// Long enough for a whole sweep to run and the next to start.
constexpr Milliseconds kWholeSweep = 3300ms;
// Far beyond what unwinding nested handlers takes; past it a sweep is taken
// to be left running and is stopped, so that the test can say so.
constexpr Milliseconds kUnwindLimit = 20s;
// A close ends the sweep at its next event handling and a fade-out within
// its 64 passes: milliseconds, even on a loaded machine in the sanitizer
// build. A sweep that went on to the end of its pass (the closes come in its
// first second) would take two seconds more.
constexpr qint64 kPromptMs = 1500;

// A press and a release on the middle of a button. The events are made on the
// window's thread, which owns the pointing device they name; any thread may
// post them, and Qt deletes them once delivered.
class Click
{
public:
    explicit Click(QPushButton* button) : button_(button)
    {
        const QPointF centre = QRectF(button->rect()).center();
        press_ = new QMouseEvent(QEvent::MouseButtonPress, centre, centre, Qt::LeftButton, Qt::LeftButton,
                                 Qt::NoModifier);
        release_ = new QMouseEvent(QEvent::MouseButtonRelease, centre, centre, Qt::LeftButton, Qt::NoButton,
                                   Qt::NoModifier);
    }

    void post() const
    {
        QCoreApplication::postEvent(button_, press_);
        QCoreApplication::postEvent(button_, release_);
    }

private:
    QPushButton* button_;
    QMouseEvent* press_;
    QMouseEvent* release_;
};

// Where a click lands: in no handler, or with a sweep or a fade-out innermost.
enum Context { Idle, InSweep, InFadeOut, kContexts };

// Follows the Run and Stop handlers as they nest, and where each click lands.
// A click lands when the release reaches its pressed button, and a Run or
// Stop handler starts then; it has returned when the button's clicked signal
// reaches a slot connected after the window's own. A release whose press a
// focus change has cancelled (the end of a fade-out moves the focus to Run)
// clicks nothing. The handlers still active when a click lands are running
// their loops, which is where the click is handled; a Run or Stop at the
// nesting limit returns at once, and no click lands inside it.
class HandlerTracker : public QObject
{
public:
    explicit HandlerTracker(TForm1& form) : form_(form)
    {
        for (QPushButton* button : {form.Button1, form.Button2, form.Button3})
            button->installEventFilter(this);
        for (QPushButton* button : {form.Button1, form.Button2})
            connect(button, &QPushButton::clicked, this, [this] {
                active_.pop_back();
                depth_ = int(active_.size());
            });
    }

    Context context() const { return active_.empty() ? Idle : active_.back(); }
    // Read on any thread.
    int depth() const { return depth_; }
    int landedIn(Context context) const { return landed_[context]; }
    // The most loops of that kind running at once, as clicks found them.
    int mostNested(Context loop) const { return mostNested_[loop]; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        auto* button = static_cast<QPushButton*>(watched);
        if (event->type() != QEvent::MouseButtonRelease || !button->isDown())
            return false;
        ++landed_[context()];
        for (Context loop : {InSweep, InFadeOut})
            mostNested_[loop] = std::max(mostNested_[loop], int(std::count(active_.begin(), active_.end(), loop)));
        if (button == form_.Button1)
            active_.push_back(InSweep);
        if (button == form_.Button2)
            active_.push_back(InFadeOut);
        depth_ = int(active_.size());
        return false;
    }

private:
    TForm1& form_;
    std::vector<Context> active_;
    std::atomic<int> depth_ = 0;
    std::array<int, kContexts> landed_{};
    std::array<int, kContexts> mostNested_{};
};

// Stands in for the program's main loop, which ends when its window closes.
class WindowLoop : public QObject
{
public:
    explicit WindowLoop(TForm1& form, const HandlerTracker& handlers) : handlers_(handlers)
    {
        form.installEventFilter(this);
    }

    void exec() { loop_.exec(); }
    void quit() { QMetaObject::invokeMethod(&loop_, &QEventLoop::quit, Qt::QueuedConnection); }

    bool closed() const { return closeClock_.isValid(); }
    qint64 msSinceClose() const { return closeClock_.elapsed(); }
    Context closedIn() const { return closedIn_; }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Close) {
            closeClock_.start();
            closedIn_ = handlers_.context();
            loop_.quit();
        }
        return false;
    }

private:
    QEventLoop loop_;
    const HandlerTracker& handlers_;
    QElapsedTimer closeClock_;
    Context closedIn_ = Idle;
};

// The user's side, on a thread of its own: does what the actions say, then
// waits for the window's loop to return. If that takes too long, it stops
// every sweep from outside, so that the loop can return and the test report it.
//
// All along it wakes the window's thread every millisecond, as a window system
// does with each event it queues. Qt hands posted events out only after a
// wake-up, so a click handled partway through a batch of them starts a sweep
// that holds the rest of the batch back until the next wake-up; real input
// does not wait like that.
class User
{
public:
    using Actions = std::function<void(User&)>;

    User(TForm1& form, Actions actions)
        : form_(form), thread_([this, actions = std::move(actions)] { run(actions); })
    {
    }

    // On the user's thread: lets the time pass.
    void wait(Milliseconds time)
    {
        const Clock::time_point end = Clock::now() + time;
        do {
            windowThread_->wakeUp();
            std::this_thread::sleep_for(std::min<Clock::duration>(1ms, end - Clock::now()));
        } while (Clock::now() < end);
    }

    // On the user's thread: lets the time pass until the window is done,
    // or for as long as unwinding may take at most.
    void waitUntil(const std::function<bool()>& done)
    {
        const Clock::time_point giveUp = Clock::now() + kUnwindLimit;
        while (!done() && Clock::now() < giveUp)
            wait(1ms);
    }

    // Call once the loop has returned; true if a sweep had to be stopped from outside.
    bool finish()
    {
        loopReturned_.set_value();
        thread_.join();
        return hadToStop_;
    }

private:
    using Clock = std::chrono::steady_clock;

    void run(const Actions& actions)
    {
        actions(*this);
        const Clock::time_point giveUp = Clock::now() + kUnwindLimit;
        while (returned_.wait_for(1ms) == std::future_status::timeout) {
            windowThread_->wakeUp();
            if (!hadToStop_ && Clock::now() > giveUp) {
                hadToStop_ = true;
                QMetaObject::invokeMethod(&form_, [this] { form_.Button2Click(); }, Qt::QueuedConnection);
            }
        }
    }

    TForm1& form_;
    QAbstractEventDispatcher* windowThread_ = QAbstractEventDispatcher::instance();
    std::promise<void> loopReturned_;
    std::future<void> returned_ = loopReturned_.get_future();
    std::atomic<bool> hadToStop_ = false;
    std::thread thread_;
};

}  // namespace

class StressTest : public QObject
{
    Q_OBJECT

private slots:
    void randomClicksEndWithTheGridAndNoSweepRunning();
    void clickStormsNestNoDeeperThanTheLimit();
    void closingEndsTheWindowsLoopPromptly();
};

void StressTest::randomClicksEndWithTheGridAndNoSweepRunning()
{
    TForm1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    HandlerTracker handlers(form);
    WindowLoop loop(form, handlers);

    // A click every 0 to 14 ms; once a Stop followed by quiet until every
    // handler has returned, and once a Run followed by a whole sweep's quiet.
    // Sound is the common click: every Stop costs a fade-out of a third of a
    // second and every Run a sweep that lasts until the next Stop. With Run
    // and Stop this rare, about one each a third of a second, the nesting
    // stays well below the limit; with them much more common it would only
    // grow, each fade-out holding up the ones it interrupted.
    std::mt19937 random(2024);
    const std::array<QPushButton*, 3> buttons{form.Button1, form.Button2, form.Button3};
    std::discrete_distribution<int> pickButton({2, 2, 96});
    std::uniform_int_distribution<int> gap(0, 14);
    std::vector<Click> clicks;
    std::vector<Milliseconds> waitsAfter;
    constexpr int kBackToIdle = kClicks / 4;
    for (int n = 0; n < kClicks; ++n) {
        const bool wholeSweep = n == kClicks / 2;
        const bool backToIdle = n == kBackToIdle;
        clicks.emplace_back(wholeSweep ? form.Button1 : backToIdle ? form.Button2 : buttons[pickButton(random)]);
        waitsAfter.push_back(wholeSweep ? kWholeSweep : Milliseconds(gap(random)));
    }
    // The end: a sweep that leaves a trace for the last Stop to fade out.
    const Click lastRun(form.Button1);
    const Click lastStop(form.Button2);

    User user(form, [&](User& self) {
        for (std::size_t n = 0; n < clicks.size(); ++n) {
            clicks[n].post();
            self.wait(waitsAfter[n]);
            if (n == kBackToIdle)
                self.waitUntil([&] { return handlers.depth() == 0; });
        }
        lastRun.post();
        self.wait(500ms);
        lastStop.post();
        // Handled wherever the window is then; the loop returns only once
        // every handler nested in it has returned.
        loop.quit();
    });
    QElapsedTimer clock;
    clock.start();
    loop.exec();
    const bool hadToStop = user.finish();
    qInfo("%d clicks in %.1f s: %d while idle, %d inside sweeps, %d inside fade-outs; up to %d sweeps nested",
          kClicks + 2, double(clock.elapsed()) / 1000, handlers.landedIn(Idle), handlers.landedIn(InSweep),
          handlers.landedIn(InFadeOut), handlers.mostNested(InSweep));

    QVERIFY2(!hadToStop, "a sweep went on after the last Stop");
    QCOMPARE(handlers.depth(), 0);
    const QImage afterStop = form.grab().toImage();
    const QString fault = monitor::GridFault(afterStop);
    QVERIFY2(fault.isEmpty(), qPrintable(fault));
    // Forty samples' time: a sweep still drawing would show by now.
    QTest::qWait(200);
    QCOMPARE(form.grab().toImage(), afterStop);

    // The clicks did land where they were meant to.
    QVERIFY(handlers.landedIn(Idle) > 0);
    QVERIFY(handlers.landedIn(InSweep) > 0);
    QVERIFY(handlers.landedIn(InFadeOut) > 0);
    QVERIFY(handlers.mostNested(InSweep) >= 2);
}

// A thousand Run clicks from outside, each nesting a sweep in the last until
// the limit, then one Stop; then Stop clicks that come faster than a
// fade-out lasts, each nesting a fade-out in the last until the limit. The
// first storm ends with the grid alone, the second with a close, and a new
// window still sweeps afterwards.
void StressTest::clickStormsNestNoDeeperThanTheLimit()
{
    TForm1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    HandlerTracker handlers(form);
    std::atomic<int> runsLanded = 0;
    std::atomic<int> stopsLanded = 0;
    QObject::connect(form.Button1, &QPushButton::released, [&] { ++runsLanded; });
    QObject::connect(form.Button2, &QPushButton::released, [&] { ++stopsLanded; });
    auto verifyTheGridAlone = [&] {
        QCOMPARE(handlers.depth(), 0);
        const QString fault = monitor::GridFault(form.grab().toImage());
        QVERIFY2(fault.isEmpty(), qPrintable(fault));
    };

    {
        WindowLoop loop(form, handlers);
        std::vector<Click> runs;
        for (int n = 0; n < kRunStorm; ++n)
            runs.emplace_back(form.Button1);
        const Click stop(form.Button2);
        User user(form, [&](User& self) {
            for (const Click& run : runs) {
                run.post();
                self.wait(1ms);
            }
            self.waitUntil([&] { return runsLanded == kRunStorm; });
            stop.post();
            loop.quit();
        });
        loop.exec();
        QVERIFY2(!user.finish(), "a sweep went on after the Stop");
    }
    qInfo("%d Run clicks: up to %d sweeps nested", int(runsLanded), handlers.mostNested(InSweep));
    QCOMPARE(handlers.mostNested(InSweep), kNestingLimit);
    verifyTheGridAlone();

    {
        // Each Stop, as its handler starts, posts the next click, which the
        // first pass of its fade-out handles.
        WindowLoop loop(form, handlers);
        int stopsPosted = 1;
        QObject::connect(form.Button2, &QPushButton::released, &loop, [&] {
            if (stopsPosted < kStopStorm) {
                ++stopsPosted;
                Click(form.Button2).post();
            }
        });
        const Click run(form.Button1);
        const Click firstStop(form.Button2);
        // The 64 fade-outs would take 20 s to play out their passes at their
        // pace; closing the window ends them all at once.
        User user(form, [&](User& self) {
            run.post();
            self.wait(500ms);
            firstStop.post();
            self.waitUntil([&] { return stopsLanded == 1 + kStopStorm; });
            QMetaObject::invokeMethod(&form, &QWidget::close, Qt::QueuedConnection);
        });
        loop.exec();
        QVERIFY2(!user.finish(), "a sweep went on after the Stops and the close");
    }
    qInfo("%d Stop clicks: up to %d fade-outs nested", int(stopsLanded) - 1, handlers.mostNested(InFadeOut));
    QCOMPARE(handlers.mostNested(InFadeOut), kNestingLimit);
    QCOMPARE(handlers.depth(), 0);

    // A new window still works: Run sweeps a trace again, Stop clears it.
    TForm1 next;
    next.show();
    QVERIFY(QTest::qWaitForWindowExposed(&next));
    QImage during;
    QTimer::singleShot(500, &next, [&] {
        during = next.grab().toImage();
        QTest::mouseClick(next.Button2, Qt::LeftButton);
    });
    QTest::mouseClick(next.Button1, Qt::LeftButton);
    QVERIFY2(!during.isNull() && !monitor::GridFault(during).isEmpty(), "Run no longer sweeps after the storms");
    const QString fault = monitor::GridFault(next.grab().toImage());
    QVERIFY2(fault.isEmpty(), qPrintable(fault));
}

// Each round a new window: Run, perhaps a second Run nested in the first sweep,
// then after a random time either the close, or a Stop and, once it has landed,
// the close, which then comes during the fade-out. (A sweep's waits answer
// posted events at once but hold clicks back, so a close posted right behind
// the Stop would overtake it.)
void StressTest::closingEndsTheWindowsLoopPromptly()
{
    std::mt19937 random(7);
    std::uniform_int_distribution<int> moment(10, 1000);
    std::array<int, kContexts> closedIn{};
    qint64 slowest = 0;
    for (int round = 0; round < kCloseRounds; ++round) {
        TForm1 form;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        HandlerTracker handlers(form);
        WindowLoop loop(form, handlers);

        std::optional<Click> secondRun;
        std::optional<Click> stop;
        if (round % 3 == 1)
            secondRun.emplace(form.Button1);
        if (round % 3 == 2)
            stop.emplace(form.Button2);
        const Click run(form.Button1);
        const Milliseconds firstWait(moment(random));
        const Milliseconds secondWait(moment(random));

        User user(form, [&](User& self) {
            run.post();
            self.wait(firstWait);
            if (secondRun) {
                secondRun->post();
                self.wait(secondWait);
            }
            if (stop) {
                stop->post();
                self.waitUntil([&] { return handlers.depth() == 2; });
            }
            QMetaObject::invokeMethod(&form, &QWidget::close, Qt::QueuedConnection);
        });
        loop.exec();
        const qint64 returnedAfter = loop.msSinceClose();
        const bool hadToStop = user.finish();

        QVERIFY2(!hadToStop, qPrintable(QStringLiteral("round %1: a sweep went on after the close").arg(round)));
        QVERIFY(loop.closed());
        QVERIFY(!form.isVisible());
        const QString late = QStringLiteral("round %1: the loop returned %2 ms after the close");
        QVERIFY2(returnedAfter < kPromptMs, qPrintable(late.arg(round).arg(returnedAfter)));
        ++closedIn[loop.closedIn()];
        slowest = std::max(slowest, returnedAfter);
    }
    qInfo("%d closes: %d inside sweeps, %d inside fade-outs, %d while idle; the loop returned %lld ms after at most",
          kCloseRounds, closedIn[InSweep], closedIn[InFadeOut], closedIn[Idle], slowest);
    QVERIFY(closedIn[InSweep] > 0);
    QVERIFY(closedIn[InFadeOut] > 0);
}

QTEST_MAIN(StressTest)
#include "stress_test.moc"
