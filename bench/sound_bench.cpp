// What the heartbeat sound costs the GUI thread, and how quickly start-up
// gives up when there is no sound server. Run under tests/with-pulse so that
// a server answers; the no-server case hides it for its own run.

#include "sound/pulseoutput.h"
#include "app/tmediaplayer.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace {

// Opens a player on the generated ding, or says why that is no use here.
std::optional<std::string> OpenDing(TMediaPlayer& player)
{
    player.FileName = DING_WAV;
    player.DeviceType = TMediaPlayer::dtWaveAudio;
    if (!FindSoundServer().error.empty())
        return "no sound server: run under tests/with-pulse";
    player.Open();
    return std::nullopt;
}

// A play while the sound thread streams: the sweep's case, one play per beat.
void BM_PlayWhileStreaming(benchmark::State& state)
{
    TMediaPlayer player(nullptr);
    if (const auto problem = OpenDing(player)) {
        state.SkipWithError(problem->c_str());
        return;
    }
    player.Play();
    for (auto _ : state)
        player.Play();
}
BENCHMARK(BM_PlayWhileStreaming);

// The first play after start-up wakes the sleeping sound thread.
void BM_PlayWakingTheSoundThread(benchmark::State& state)
{
    TMediaPlayer player(nullptr);
    if (const auto problem = OpenDing(player)) {
        state.SkipWithError(problem->c_str());
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        player.Open();
        state.ResumeTiming();
        player.Play();
        state.PauseTiming();
        player.Close();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_PlayWakingTheSoundThread)->Iterations(20);

// A play on a player that found nothing to play.
void BM_PlayWithoutSound(benchmark::State& state)
{
    TMediaPlayer player(nullptr);
    for (auto _ : state)
        player.Play();
}
BENCHMARK(BM_PlayWithoutSound);

// Start-up's server check where none runs: the runtime folder is swapped for
// an empty one, so a server that does run stays out of sight.
void BM_FindSoundServerWithNoServer(benchmark::State& state)
{
    const std::filesystem::path empty =
        std::filesystem::temp_directory_path() / ("sound_bench." + std::to_string(::getpid()));
    std::filesystem::create_directories(empty);
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string saved = runtime ? runtime : "";
    ::setenv("XDG_RUNTIME_DIR", empty.c_str(), 1);

    for (auto _ : state) {
        const SoundServer server = FindSoundServer();
        if (server.error.empty())
            state.SkipWithError("a sound server answered all the same");
        benchmark::DoNotOptimize(server);
    }

    if (runtime)
        ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
    else
        ::unsetenv("XDG_RUNTIME_DIR");
    std::filesystem::remove_all(empty);
}
BENCHMARK(BM_FindSoundServerWithNoServer)->Unit(benchmark::kMicrosecond);

}  // namespace
