// Drives the real window under Qt's offscreen platform through several sweeps
// and prints how the sweep feels: its pace, the CPU it takes, how fast Stop
// answers and how long the fade-out lasts.
//
// Pace: the sweep lets the window process its events once every 4 samples,
// 149 times a sweep of 595 samples; a 0 ms timer fires once in each of those
// calls, so 149 times the mean interval between its firings is the length of
// a sweep.
// Stop: another thread posts a click on Stop at a random moment; the answer
// time runs from the post to the button's press handler, the fade-out from
// there until the focus is back on Run.

#include "app/ekgunit2.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMessageCallsPerSweep = 149;
constexpr int kPaceSweeps = 4;
constexpr int kStops = 12;

double Milliseconds(Clock::duration duration)
{
    return std::chrono::duration<double, std::milli>(duration).count();
}

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](timeval t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Posts a press and a release on the button, as the window system would,
// from another thread after the delay. The events are made here, on the
// window's thread, which owns the pointing device they name.
std::thread ClickFromOutside(QPushButton* button, Clock::duration delay, Clock::time_point* postedAt)
{
    const QPointF centre = QRectF(button->rect()).center();
    auto* press = new QMouseEvent(QEvent::MouseButtonPress, centre, centre, Qt::LeftButton, Qt::LeftButton,
                                  Qt::NoModifier);
    auto* release = new QMouseEvent(QEvent::MouseButtonRelease, centre, centre, Qt::LeftButton, Qt::NoButton,
                                    Qt::NoModifier);
    return std::thread([=] {
        std::this_thread::sleep_for(delay);
        *postedAt = Clock::now();
        QCoreApplication::postEvent(button, press);
        QCoreApplication::postEvent(button, release);
    });
}

struct Summary
{
    double mean;
    double max;
};

Summary Summarise(const std::vector<double>& values)
{
    return {std::accumulate(values.begin(), values.end(), 0.0) / double(values.size()),
            *std::max_element(values.begin(), values.end())};
}

}  // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TForm1 form;
    form.show();
    QApplication::processEvents();

    // Pace and CPU over several whole sweeps.
    const std::size_t wantedCalls = kPaceSweeps * kMessageCallsPerSweep + 1;
    std::vector<Clock::time_point> calls;
    QTimer everyCall;
    everyCall.setInterval(0);
    QObject::connect(&everyCall, &QTimer::timeout, [&] {
        if (calls.size() == wantedCalls)
            return;
        calls.push_back(Clock::now());
        if (calls.size() == wantedCalls)
            form.Button2->click();
    });
    everyCall.start();
    const Clock::time_point sweepStart = Clock::now();
    const double cpuStart = CpuSeconds();
    form.Button1->click();
    const double cpuUsed = CpuSeconds() - cpuStart;
    const double wall = std::chrono::duration<double>(Clock::now() - sweepStart).count();
    everyCall.stop();
    const double sweepMs = Milliseconds(calls.back() - calls.front()) / kPaceSweeps;

    // Stop, clicked from outside at random moments of a sweep.
    std::vector<double> answers;
    std::vector<double> fadeOuts;
    Clock::time_point pressedAt;
    Clock::time_point focusBackAt;
    QObject::connect(form.Button2, &QPushButton::pressed, [&] { pressedAt = Clock::now(); });
    QPushButton* const run = form.Button1;
    QObject::connect(&app, &QApplication::focusChanged, run, [&focusBackAt, run](QWidget*, QWidget* now) {
        if (now == run)
            focusBackAt = Clock::now();
    });
    std::mt19937 random(7);
    std::uniform_int_distribution<int> delayMs(300, 900);
    for (int n = 0; n < kStops; ++n) {
        Clock::time_point postedAt;
        std::thread stopper = ClickFromOutside(form.Button2, std::chrono::milliseconds(delayMs(random)), &postedAt);
        form.Button1->click();
        stopper.join();
        answers.push_back(Milliseconds(pressedAt - postedAt));
        fadeOuts.push_back(Milliseconds(focusBackAt - pressedAt));
    }

    const Summary answer = Summarise(answers);
    const Summary fadeOut = Summarise(fadeOuts);
    std::printf("Sweep pace:     %.1f ms a sweep of 595 samples, mean over %d sweeps"
                " (595 pauses of 5 ms = 2975 ms; limit 3064 ms)\n",
                sweepMs, kPaceSweeps);
    std::printf("CPU:            %.2f%% of one core while sweeping (user + system over %.1f s wall; limit 3%%)\n",
                100.0 * cpuUsed / wall, wall);
    std::printf("Stop answers:   mean %.1f ms, worst %.1f ms over %d clicks (limit 25 ms)\n", answer.mean, answer.max,
                kStops);
    std::printf("Fade-out:       mean %.1f ms, worst %.1f ms for the 64 passes (limit 50 ms)\n", fadeOut.mean,
                fadeOut.max);
    return 0;
}
