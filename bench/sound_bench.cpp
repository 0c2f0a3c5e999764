// What the heartbeat sound costs the window's thread: a play, and opening and
// closing the player. Run under tests/with-pulse so that a server answers; the
// no-server case hides it for its own run.

#include "sound/pulseoutput.h"
#include "sound/wavfile.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

const wav::Clip& Ding()
{
    static const wav::Clip clip = wav::ReadWavFile(DING_WAV).clip;
    return clip;
}

// A player whose lines, if any, mean that there is no server to measure against.
struct Player {
    std::atomic<bool> silent{false};
    sound::BeatStream stream{Ding(), [this](const std::string&) { silent = true; }};
};

// A play while the stream is open, a beat's second or later: the gate turns it away.
void BM_PlayWhileStreaming(benchmark::State& state)
{
    Player player;
    player.stream.Play();
    std::this_thread::sleep_for(300ms);
    if (player.silent) {
        state.SkipWithError("no sound server: run under tests/with-pulse");
        return;
    }
    for (auto _ : state)
        player.stream.Play();
}
BENCHMARK(BM_PlayWhileStreaming);

// A beat's first play while the stream is open: it wakes the sound thread,
// which lays the ding into the stream.
void BM_PlayOfANewBeat(benchmark::State& state)
{
    Player player;
    player.stream.Play();
    std::this_thread::sleep_for(300ms);
    for (auto _ : state) {
        state.PauseTiming();
        std::this_thread::sleep_for(400ms);  // the next beat
        state.ResumeTiming();
        player.stream.Play();
    }
    if (player.silent)
        state.SkipWithError("no sound server: run under tests/with-pulse");
}
BENCHMARK(BM_PlayOfANewBeat)->Iterations(10)->Unit(benchmark::kMicrosecond);

// The first play after a quiet second wakes the sleeping sound thread.
void BM_PlayWakingTheSoundThread(benchmark::State& state)
{
    Player player;
    std::this_thread::sleep_for(300ms);
    for (auto _ : state) {
        player.stream.Play();
        state.PauseTiming();
        std::this_thread::sleep_for(1500ms);  // the ding, then the idle stream closes
        state.ResumeTiming();
    }
    if (player.silent)
        state.SkipWithError("no sound server: run under tests/with-pulse");
}
BENCHMARK(BM_PlayWakingTheSoundThread)->Iterations(5)->Unit(benchmark::kMicrosecond);

// Closing the player while a ding sounds: it fades out and drains first.
void BM_CloseWhileADingSounds(benchmark::State& state)
{
    for (auto _ : state) {
        state.PauseTiming();
        auto player = std::make_unique<Player>();
        player->stream.Play();
        std::this_thread::sleep_for(100ms);
        state.ResumeTiming();
        player.reset();
    }
}
BENCHMARK(BM_CloseWhileADingSounds)->Iterations(10)->Unit(benchmark::kMillisecond);

// Start-up and closing where no server runs: the runtime folder is swapped
// for an empty one, so a server that does run stays out of sight. Neither
// waits for the search to end.
void BM_OpenAndCloseWithNoServer(benchmark::State& state)
{
    const std::filesystem::path empty =
        std::filesystem::temp_directory_path() / ("sound_bench." + std::to_string(::getpid()));
    std::filesystem::create_directories(empty);
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string saved = runtime ? runtime : "";
    ::setenv("XDG_RUNTIME_DIR", empty.c_str(), 1);

    for (auto _ : state)
        sound::BeatStream stream(Ding(), [](const std::string&) {});

    if (runtime)
        ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
    else
        ::unsetenv("XDG_RUNTIME_DIR");
    std::filesystem::remove_all(empty);
}
BENCHMARK(BM_OpenAndCloseWithNoServer)->Unit(benchmark::kMicrosecond);

}  // namespace
