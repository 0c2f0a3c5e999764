// Drives the real window through several sweeps and prints how the sweep
// feels: the length of a sweep, the CPU it takes and how often it wakes, how
// fast Stop answers and how long the fade-out lasts. Without an argument it
// measures twice, as child processes: under Qt's offscreen platform and on a
// real X server (a private Xvfb, through tests/with-xvfb); with a platform's
// name it measures on that platform only.
//
// Sweep length: the sweep lets the window process its events once every 4
// samples, 149 times a sweep of 595 samples; a 0 ms timer fires once in each
// of those calls, so 149 times the mean interval between its firings is the
// length of a sweep.
// Stop: another thread posts a click on Stop at a random moment; the answer
// time runs from the post to the button's press handler, the fade-out from
// the start of Stop's handler to its return.

#include "app/ekgunit2.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>
#include <QWindow>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMessageCallsPerSweep = 149;
constexpr double kSweepPauses = 595 * 5.0;
constexpr double kFadeOutPasses = 64 * 5.0;
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

// How often the window's thread has gone to sleep and been woken again.
long WakeUps()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nvcsw;
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

// A window system shows a window some time after show(); the sweep should
// not start before.
bool WaitUntilExposed(QWidget& window)
{
    const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(10);
    while (!(window.windowHandle() && window.windowHandle()->isExposed()) && Clock::now() < giveUp) {
        QApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return window.windowHandle() && window.windowHandle()->isExposed();
}

int Measure(int argc, char* argv[], const char* platform)
{
    qputenv("QT_QPA_PLATFORM", platform);
    QApplication app(argc, argv);
    TForm1 form;
    form.show();
    if (!WaitUntilExposed(form)) {
        std::fprintf(stderr, "%s: the window was never shown\n", platform);
        return 1;
    }

    // Length and CPU over several whole sweeps.
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
    const long wakeUpsStart = WakeUps();
    form.Button1->click();
    const double cpuUsed = CpuSeconds() - cpuStart;
    const long wakeUps = WakeUps() - wakeUpsStart;
    const double wall = std::chrono::duration<double>(Clock::now() - sweepStart).count();
    everyCall.stop();
    const double sweepMs = Milliseconds(calls.back() - calls.front()) / kPaceSweeps;

    // Stop, clicked from outside at random moments of a sweep. The window's
    // own handler is connected first, so a later slot runs once it returns.
    std::vector<double> answers;
    std::vector<double> fadeOuts;
    Clock::time_point pressedAt;
    Clock::time_point handlerStartedAt;
    Clock::time_point handlerReturnedAt;
    QObject::connect(form.Button2, &QPushButton::pressed, [&] { pressedAt = Clock::now(); });
    QObject::connect(form.Button2, &QPushButton::released, [&] { handlerStartedAt = Clock::now(); });
    QObject::connect(form.Button2, &QPushButton::clicked, [&] { handlerReturnedAt = Clock::now(); });
    std::mt19937 random(7);
    std::uniform_int_distribution<int> delayMs(300, 900);
    for (int n = 0; n < kStops; ++n) {
        Clock::time_point postedAt;
        std::thread stopper = ClickFromOutside(form.Button2, std::chrono::milliseconds(delayMs(random)), &postedAt);
        form.Button1->click();
        stopper.join();
        answers.push_back(Milliseconds(pressedAt - postedAt));
        fadeOuts.push_back(Milliseconds(handlerReturnedAt - handlerStartedAt));
    }

    const Summary answer = Summarise(answers);
    const Summary fadeOut = Summarise(fadeOuts);
    std::printf("%s:\n", platform);
    std::printf("  Sweep length:  %.1f ms, %.4f x its 595 samples of 5 ms (%.0f ms), mean over %d sweeps\n",
                sweepMs, sweepMs / kSweepPauses, kSweepPauses, kPaceSweeps);
    std::printf("  CPU:           %.2f%% of one core while sweeping (user + system over %.1f s wall)\n",
                100.0 * cpuUsed / wall, wall);
    std::printf("  Wake-ups:      %.0f a second while sweeping (the window thread's voluntary context switches)\n",
                double(wakeUps) / wall);
    std::printf("  Stop answers:  mean %.1f ms, worst %.1f ms over %d clicks\n", answer.mean, answer.max, kStops);
    std::printf("  Fade-out:      mean %.1f ms, %.4f x its 64 passes of 5 ms (%.0f ms); worst %.1f ms\n",
                fadeOut.mean, fadeOut.mean / kFadeOutPasses, kFadeOutPasses, fadeOut.max);
    std::fflush(stdout);
    return 0;
}

// Runs the command to its end; true if it exited with status 0.
bool Run(std::vector<std::string> command)
{
    std::vector<char*> arguments;
    for (std::string& argument : command)
        arguments.push_back(argument.data());
    arguments.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        execv(arguments[0], arguments.data());
        std::perror(arguments[0]);
        _exit(127);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc == 2)
        return Measure(argc, argv, argv[1]);
    const std::string self = std::filesystem::read_symlink("/proc/self/exe");
    const bool offscreen = Run({self, "offscreen"});
    const bool xcb = Run({WITH_XVFB, self, "xcb"});
    return offscreen && xcb ? 0 : 1;
}
