// What the heartbeat costs the machine while the real window sweeps with the
// sound on: how often the sound server's processes wake and how much CPU they
// take, against the program's own CPU and its sound thread's wake-ups, over
// 10 s. Run under tests/with-pulse or tests/with-pipewire, whose pid file
// names the server's processes, in the folder that holds ding.wav:
//
//     cd build/app && ../../tests/with-pipewire ../bench/soundload_bench
//
// The server's wake-ups are its context switches, voluntary or not, summed
// over all its threads; the sound thread's are its voluntary ones, each a
// sleep it woke from.

#include "app/ekgunit2.h"

#include <QApplication>
#include <QPushButton>
#include <QTimer>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int kSettleMs = 2000;
constexpr int kMeasureMs = 10000;

struct Usage {
    long long wakeUps = 0;
    double cpuSeconds = 0.0;
};

// A field of /proc/.../status, such as "voluntary_ctxt_switches".
long long StatusField(const fs::path& status, const std::string& name)
{
    std::ifstream in(status);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(name + ":", 0) == 0)
            return std::atoll(line.c_str() + name.size() + 1);
    return 0;
}

// Context switches of one task folder (a thread).
long long WakeUps(const fs::path& task)
{
    return StatusField(task / "status", "voluntary_ctxt_switches") +
           StatusField(task / "status", "nonvoluntary_ctxt_switches");
}

// User and system time of a whole process, from /proc/<pid>/stat.
double CpuSeconds(const fs::path& process)
{
    std::ifstream in(process / "stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name may hold spaces; the fields after it are counted from its ')'.
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long long ticks = 0;
    for (int n = 3; n <= 15 && fields >> field; ++n)
        if (n == 14 || n == 15)
            ticks += std::atoll(field.c_str());
    return double(ticks) / double(sysconf(_SC_CLK_TCK));
}

Usage ProcessUsage(const fs::path& process)
{
    Usage usage{0, CpuSeconds(process)};
    std::error_code error;
    for (const fs::directory_entry& task : fs::directory_iterator(process / "task", error))
        usage.wakeUps += WakeUps(task.path());
    return usage;
}

std::vector<fs::path> ServerProcesses()
{
    std::vector<fs::path> processes;
    const char* pidFile = std::getenv("WITH_PULSE_PIDFILE");
    std::ifstream in(pidFile ? pidFile : "");
    for (long pid; in >> pid;)
        processes.push_back(fs::path("/proc") / std::to_string(pid));
    return processes;
}

Usage ServerUsage(const std::vector<fs::path>& processes)
{
    Usage sum;
    for (const fs::path& process : processes) {
        const Usage usage = ProcessUsage(process);
        sum.wakeUps += usage.wakeUps;
        sum.cpuSeconds += usage.cpuSeconds;
    }
    return sum;
}

// The program's sound thread, found by its name; its voluntary switches are its wake-ups.
long long SoundThreadWakeUps()
{
    for (const fs::directory_entry& task : fs::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        if (name == "ekgdemo sound")
            return StatusField(task.path() / "status", "voluntary_ctxt_switches");
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const std::vector<fs::path> server = ServerProcesses();
    if (server.empty()) {
        std::fprintf(stderr, "no sound server's processes: run under tests/with-pulse or tests/with-pipewire\n");
        return 1;
    }

    TForm1 form;
    form.show();
    form.Button3->click();  // sound on

    Usage serverBefore, programBefore;
    long long soundBefore = 0;
    QTimer::singleShot(kSettleMs, [&] {
        serverBefore = ServerUsage(server);
        programBefore = ProcessUsage("/proc/self");
        soundBefore = SoundThreadWakeUps();
    });
    QTimer::singleShot(kSettleMs + kMeasureMs, [&] {
        const Usage serverAfter = ServerUsage(server);
        const Usage programAfter = ProcessUsage("/proc/self");
        const long long soundAfter = SoundThreadWakeUps();
        const double seconds = kMeasureMs / 1000.0;
        std::printf("sound server (%zu processes): %.0f wake-ups/s, %.1f %% of a core; the program: %.1f %% of a "
                    "core, its sound thread %.0f wake-ups/s\n",
                    server.size(), double(serverAfter.wakeUps - serverBefore.wakeUps) / seconds,
                    (serverAfter.cpuSeconds - serverBefore.cpuSeconds) / seconds * 100,
                    (programAfter.cpuSeconds - programBefore.cpuSeconds) / seconds * 100,
                    soundBefore < 0 || soundAfter < 0 ? -1.0 : double(soundAfter - soundBefore) / seconds);
        form.Button2->click();
        form.close();
    });
    form.Button1->click();  // sweeps until Stop
    return 0;
}
