// The sound stream against a real, private sound server (tests/with-pulse):
// what it plays, checked in a real-time recording, and what it does when the
// server freezes, dies, or is not there yet. Timings are printed, not judged;
// the bounds asserted are ones only a fault can reach.

#include "sound/beatgate.h"
#include "sound/pulseoutput.h"
#include "sound/wavfile.h"
#include "tests/dingrecording.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using dingcheck::Clock;

namespace {

constexpr auto kBeat = 400ms;

// What pactl prints for the given arguments, or nothing if it fails.
std::string Pactl(const std::string& arguments)
{
    std::FILE* pactl = ::popen(("pactl " + arguments + " 2>/dev/null").c_str(), "r");
    if (!pactl)
        return {};
    std::string output;
    for (int c; (c = std::fgetc(pactl)) != EOF;)
        output += static_cast<char>(c);
    return ::pclose(pactl) == 0 ? output : std::string();
}

using dingcheck::OpenStreams;

bool ServerAnswers()
{
    return !Pactl("info").empty();
}

// Freezes the server's processes until destroyed. They run again last
// first, a moment apart: PipeWire's PulseAudio service, which the stream
// talks to, reads what was sent while it was frozen before the graph runs
// again. (The graph, timed by no sound card here, would first catch up on
// the cycles it missed, playing from what the service held.)
class Frozen {
public:
    explicit Frozen(std::vector<pid_t> pids) : pids_(std::move(pids))
    {
        for (pid_t pid : pids_)
            ::kill(pid, SIGSTOP);
    }
    ~Frozen() { Thaw(); }
    void Thaw()
    {
        for (auto pid = pids_.rbegin(); pid != pids_.rend(); ++pid) {
            ::kill(*pid, SIGCONT);
            if (pid + 1 != pids_.rend())
                std::this_thread::sleep_for(50ms);
        }
        pids_.clear();
    }

private:
    std::vector<pid_t> pids_;
};

// A beat every kBeat from a thread of its own, as the window's sweep plays
// them from its thread.
class Beats {
public:
    explicit Beats(sound::BeatStream& stream)
        : thread_([&stream](std::stop_token stop) {
              std::mutex mutex;
              std::condition_variable_any wake;
              std::unique_lock lock(mutex);
              while (!stop.stop_requested()) {
                  stream.Play();
                  wake.wait_for(lock, stop, kBeat, [] { return false; });
              }
          })
    {
    }

    void Stop()
    {
        thread_.request_stop();
        thread_.join();
    }

private:
    std::jthread thread_;
};

class SoundServerTest : public testing::Test {
protected:
    void SetUp() override
    {
        const char* fifo = std::getenv("WITH_PULSE_FIFO");
        const char* rate = std::getenv("WITH_PULSE_RATE");
        const char* pidFile = std::getenv("WITH_PULSE_PIDFILE");
        const char* hold = std::getenv("WITH_PULSE_HOLD");
        ASSERT_TRUE(fifo && rate && pidFile) << "run this test under tests/with-pulse";
        pidFile_ = pidFile;
        hold_ = hold ? hold : "";
        const wav::ReadResult read = wav::ReadWavFile(DING_WAV);
        ASSERT_TRUE(read.ok()) << read.error;
        ASSERT_EQ(read.clip.sampleRate, std::atoi(rate)) << "the recording would be resampled";
        ASSERT_EQ(read.clip.channels, 1);
        wav_ = read.clip;
        clip_ = dingcheck::MakeClipSound(read.clip.samples, read.clip.sampleRate);
        ASSERT_TRUE(WaitForServer()) << "no server to start from";
        recorder_.emplace(fifo);
        // The pipe's backlog of older silence is read at once; after that, reads keep pace.
        std::this_thread::sleep_for(300ms);
        origin_ = Clock::now();
    }

    void TearDown() override
    {
        if (!hold_.empty())
            ::unlink(hold_.c_str());
        WaitForServer();
    }

    double Now() const { return std::chrono::duration<double>(Clock::now() - origin_).count(); }

    // The server's processes: one for PulseAudio, three for PipeWire.
    std::vector<pid_t> ServerPids() const
    {
        std::vector<pid_t> pids;
        std::ifstream in(pidFile_);
        for (pid_t pid; in >> pid;)
            pids.push_back(pid);
        return pids;
    }

    static bool WaitForServer()
    {
        for (int n = 0; n < 300; ++n) {
            if (ServerAnswers())
                return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

    // Kills the server and keeps it down until the hold is released.
    void KillServerAndHold()
    {
        ASSERT_FALSE(hold_.empty()) << "only tests/with-pulse starts a killed server again";
        std::ofstream{hold_};
        ::kill(ServerPids().at(0), SIGKILL);
        for (int n = 0; n < 200 && ServerAnswers(); ++n)
            std::this_thread::sleep_for(50ms);
        ASSERT_FALSE(ServerAnswers());
    }

    // Lets the server start again; returns when it answered, on the test's clock.
    double ReleaseServer()
    {
        ::unlink(hold_.c_str());
        EXPECT_TRUE(WaitForServer());
        return Now();
    }

    // When each sound (each whole ding, if asked) recorded so far arrived, on the test's clock.
    std::vector<double> SoundTimes(bool wholeDingsOnly = true) const
    {
        const std::vector<std::int16_t> recording = recorder_->Samples();
        std::vector<double> times;
        for (const dingcheck::Sound& sound : dingcheck::FindSounds(recording, clip_.sampleRate, clip_.threshold)) {
            if (!wholeDingsOnly || dingcheck::MatchDing(recording, sound, clip_).fault.empty())
                times.push_back(std::chrono::duration<double>(recorder_->ArrivalOf(sound.onset) - origin_).count());
        }
        return times;
    }

    // How many samples as loud as the clip's sound arrived after the given time.
    std::size_t LoudSamplesArrivedAfter(double after) const
    {
        const std::vector<std::int16_t> recording = recorder_->Samples();
        std::size_t loud = 0;
        for (std::size_t n = 0; n < recording.size(); ++n)
            if (std::abs(int{recording[n]}) >= clip_.threshold &&
                std::chrono::duration<double>(recorder_->ArrivalOf(n) - origin_).count() > after)
                ++loud;
        return loud;
    }

    // Waits for a sound (a whole ding, if asked) that arrived after the given
    // time; returns when it did, or nothing.
    std::optional<double> WaitForSoundAfter(double after, bool wholeDingsOnly = true)
    {
        for (const auto end = Clock::now() + 15s; Clock::now() < end; std::this_thread::sleep_for(10ms))
            for (double t : SoundTimes(wholeDingsOnly))
                if (t > after)
                    return t;
        return std::nullopt;
    }

    // Lets a held server start; the beats must be heard again, with one line
    // saying so after the one that said sound was lost.
    void ExpectSoundBackOnceTheServerAnswers(Beats& beats)
    {
        const double answering = ReleaseServer();
        const std::optional<double> ding = WaitForSoundAfter(answering);
        beats.Stop();
        ASSERT_TRUE(ding) << "no ding after the server answered";
        std::printf("first whole ding %.0f ms after the server answered\n", (*ding - answering) * 1000);
        // Said once, not again when the quiet stream closes.
        for (int n = 0; n < 100 && OpenStreams() != 0; ++n)
            std::this_thread::sleep_for(50ms);
        const auto said = lines_.Lines();
        ASSERT_EQ(said.size(), 2u);
        EXPECT_EQ(said[1], "sound server: answering again; sound is back");
    }

    std::string pidFile_;
    std::string hold_;
    wav::Clip wav_;
    dingcheck::ClipSound clip_;
    std::optional<dingcheck::PipeRecorder> recorder_;
    dingcheck::ReportedLines lines_;
    Clock::time_point origin_;
};

}  // namespace

// Without plays, silence and no stream. A ding, then plays every millisecond
// for a tenth of a second: nothing is heard but whole dings, at most one per
// beat's time. Mixers see what the stream is, with no role whose volume it
// would share with other programs. Once the idle stream has closed, a play
// opens it again, and closing the stream in mid-ding lets that ding play out.
TEST_F(SoundServerTest, PlaysEveryMillisecondStillGiveWholeDings)
{
    double burst = 0.0;
    std::optional<double> lastDing;
    {
        sound::BeatStream stream(wav_, lines_.Sink());
        std::this_thread::sleep_for(1000ms);
        EXPECT_EQ(OpenStreams(), 0);
        const std::vector<std::int16_t> quiet = recorder_->Samples();
        ASSERT_GT(quiet.size(), static_cast<std::size_t>(clip_.sampleRate) / 2);
        EXPECT_TRUE(std::all_of(quiet.begin(), quiet.end(), [](std::int16_t s) { return s == 0; }));
        stream.Play();
        std::this_thread::sleep_for(400ms);
        const double burstStart = Now();
        for (int n = 0; n < 100; ++n) {
            stream.Play();
            std::this_thread::sleep_for(1ms);
        }
        burst = Now() - burstStart;
        std::this_thread::sleep_for(300ms);
        const std::string streams = Pactl("list sink-inputs");
        for (const char* property : {"application.id = \"ekgdemo\"", "application.icon_name = \"ekgdemo\"",
                                     "application.name = \"EKG Demo using QUOR\""})
            EXPECT_NE(streams.find(property), std::string::npos) << property << " not in\n" << streams;
        EXPECT_EQ(streams.find("media.role"), std::string::npos) << streams;

        for (int n = 0; n < 100 && OpenStreams() != 0; ++n)
            std::this_thread::sleep_for(50ms);
        ASSERT_EQ(OpenStreams(), 0) << "the idle stream stays open";
        const double reopening = Now();
        stream.Play();
        lastDing = WaitForSoundAfter(reopening, false);
    }
    ASSERT_TRUE(lastDing) << "no ding after the idle stream closed";
    EXPECT_EQ(OpenStreams(), 0) << "a stream left behind";
    const std::vector<std::int16_t> recording = recorder_->Stop();

    const auto sounds = dingcheck::FindSounds(recording, clip_.sampleRate, clip_.threshold);
    for (std::size_t k = 0; k < sounds.size(); ++k)
        if (const std::string fault = dingcheck::MatchDing(recording, sounds[k], clip_).fault; !fault.empty())
            ADD_FAILURE() << "sound " << k << ": " << fault;
    EXPECT_GE(sounds.size(), 3u) << "the first ding, the burst's and the last";
    const auto beatsInBurst = static_cast<std::size_t>(burst / std::chrono::duration<double>(sound::BeatGate::kSameBeat).count());
    EXPECT_LE(sounds.size(), 3 + beatsInBurst);
    EXPECT_TRUE(lines_.Lines().empty());
}

// PulseAudio's null sink skips the first milliseconds of a new stream: each
// stream's first ding must still rise in with the clip's own attack.
TEST_F(SoundServerTest, ANewStreamsFirstDingKeepsItsAttack)
{
    std::FILE* parec = ::popen(("parec -d null.monitor --raw --format=s16le --channels=1 --latency-msec=10 --rate=" +
                                std::to_string(wav_.sampleRate) + " 2>/dev/null").c_str(), "r");
    ASSERT_TRUE(parec);
    dingcheck::PipeRecorder monitor("/proc/self/fd/" + std::to_string(::fileno(parec)));
    // An idle null sink gives its monitor nothing for a second or two.
    for (int n = 0; n < 100 && monitor.Recorded() == 0; ++n)
        std::this_thread::sleep_for(50ms);
    ::setenv("PULSE_SINK", "null", 1);
    constexpr std::size_t kStreams = 6;
    for (std::size_t n = 0; n < kStreams; ++n) {
        sound::BeatStream stream(wav_, lines_.Sink());
        stream.Play();
        std::this_thread::sleep_for(400ms);
    }
    ::unsetenv("PULSE_SINK");
    const std::vector<std::int16_t> recording = monitor.Stop();
    ::pclose(parec);  // parec ends at its next write, into a pipe no one reads
    const auto sounds = dingcheck::FindSounds(recording, clip_.sampleRate, clip_.threshold);
    EXPECT_EQ(sounds.size(), kStreams);
    for (const dingcheck::Sound& sound : sounds)
        EXPECT_EQ(dingcheck::MatchDing(recording, sound, clip_).fault, "");
}

// A clip that lasts longer than the stream's wait before it closes, quiet,
// still sounds to its end: ten dings in a row from one play.
TEST_F(SoundServerTest, AClipLongerThanTheIdleWaitSoundsWhole)
{
    wav::Clip tenDings = wav_;
    for (int n = 1; n < 10; ++n)
        tenDings.samples.insert(tenDings.samples.end(), wav_.samples.begin(), wav_.samples.end());
    {
        sound::BeatStream stream(tenDings, lines_.Sink());
        std::this_thread::sleep_for(300ms);
        stream.Play();
        std::this_thread::sleep_for(2500ms);
    }
    const std::vector<std::int16_t> recording = recorder_->Stop();
    const auto sounds = dingcheck::FindSounds(recording, clip_.sampleRate, clip_.threshold);
    ASSERT_FALSE(sounds.empty());
    const std::size_t heard = sounds.back().onset + sounds.back().length - sounds.front().onset;
    EXPECT_GT(heard, 9 * wav_.samples.size()) << "heard " << heard << " of " << tenDings.samples.size() << " samples";
}

// A frozen server answers nothing: opening, playing and closing go on all the
// same, in every state the stream can be in. One stream at a time, as the
// program has: frozen while it sounds a ding, while it is connected with no
// stream open yet, and before it has connected.
TEST_F(SoundServerTest, AFrozenServerHoldsUpNeitherPlaysNorClosing)
{
    const auto secondsSince = [](Clock::time_point start) {
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    for (const char* state : {"a ding sounding", "a stream being opened", "connecting"}) {
        std::unique_ptr<sound::BeatStream> stream;
        if (state != std::string("connecting")) {
            stream = std::make_unique<sound::BeatStream>(wav_, lines_.Sink());
            std::this_thread::sleep_for(300ms);
        }
        if (state == std::string("a ding sounding")) {
            stream->Play();
            std::this_thread::sleep_for(60ms);
        }
        Frozen frozen(ServerPids());
        Clock::time_point start = Clock::now();
        if (!stream)
            stream = std::make_unique<sound::BeatStream>(wav_, lines_.Sink());
        const double opening = secondsSince(start);
        start = Clock::now();
        for (int n = 0; n < 10; ++n)
            stream->Play();
        const double playing = secondsSince(start);
        std::this_thread::sleep_for(100ms);
        start = Clock::now();
        stream.reset();
        const double closing = secondsSince(start);
        std::printf("with the server frozen, %s: opening %.2f ms, 10 plays %.3f ms, closing %.1f ms\n", state,
                    opening * 1000, playing * 1000, closing * 1000);
        for (double seconds : {opening, playing, closing})
            EXPECT_LT(seconds, 5.0) << state;
    }
}

// Frozen just after a ding began, and thawed two seconds later: what the
// server held of that ding is dropped, whether the sound was switched off
// meanwhile or not, but for what the server renders at the thaw before it
// reads what was sent while it was frozen: a cycle or two, 25 ms each on
// PulseAudio (the whole rest, 160 ms, when nothing is dropped). Beats that
// came while it was frozen are too late to sound, and one asked for just
// before the sound was switched off never sounds; the next beat after the
// thaw dings as ever.
TEST_F(SoundServerTest, AThawedServerSoundsNoStaleDing)
{
    sound::BeatStream stream(wav_, lines_.Sink());
    for (const bool switchedOff : {false, true}) {
        const double played = Now();
        stream.Play();
        ASSERT_TRUE(WaitForSoundAfter(played, false)) << "no ding before the freeze";
        Frozen frozen(ServerPids());
        std::this_thread::sleep_for(300ms);
        stream.Play();
        if (switchedOff)
            stream.Stop();
        std::this_thread::sleep_for(1600ms);
        if (!switchedOff)
            stream.Play();  // long after the server was found stalled, just before it runs again
        std::this_thread::sleep_for(100ms);
        frozen.Thaw();
        const double thawed = Now();
        std::this_thread::sleep_for(500ms);
        const std::size_t staleMs = LoudSamplesArrivedAfter(thawed) * 1000 / static_cast<std::size_t>(wav_.sampleRate);
        std::printf("%zu ms of the old ding after the thaw, %s\n", staleMs, switchedOff ? "switched off" : "left on");
        EXPECT_LT(staleMs, 100u);
    }
    const double played = Now();
    stream.Play();
    const std::optional<double> ding = WaitForSoundAfter(played);
    ASSERT_TRUE(ding) << "no ding after the server thawed";
    std::printf("the first beat after a thaw dinged %.0f ms after its play\n", (*ding - played) * 1000);
    EXPECT_EQ(lines_.Lines(), std::vector<std::string>{}) << "a short freeze is no lost server";
}

// The server dies mid-sweep and comes back: one line for each, and the dings return.
TEST_F(SoundServerTest, SoundComesBackAfterTheServerDies)
{
    sound::BeatStream stream(wav_, lines_.Sink());
    Beats beats(stream);
    std::this_thread::sleep_for(1200ms);
    ASSERT_FALSE(SoundTimes().empty());
    ASSERT_NO_FATAL_FAILURE(KillServerAndHold());
    const auto lost = lines_.WaitFor(1, 10s);
    ASSERT_EQ(lost.size(), 1u);
    EXPECT_EQ(lost[0].rfind("sound server: connection lost (", 0), 0u) << lost[0];
    std::this_thread::sleep_for(3000ms);  // plays keep coming, attempts fail quietly
    EXPECT_EQ(lines_.Lines().size(), 1u);

    ExpectSoundBackOnceTheServerAnswers(beats);
}

// No server when the stream starts: one line, then sound once a server comes.
TEST_F(SoundServerTest, AServerThatComesLaterIsFound)
{
    ASSERT_NO_FATAL_FAILURE(KillServerAndHold());
    sound::BeatStream stream(wav_, lines_.Sink());
    const auto absent = lines_.WaitFor(1, 10s);
    ASSERT_EQ(absent.size(), 1u);
    EXPECT_EQ(absent[0], "sound server: not reachable (Connection refused); running without sound");
    Beats beats(stream);
    std::this_thread::sleep_for(2500ms);

    ExpectSoundBackOnceTheServerAnswers(beats);
}
