// The heartbeat sound as a listener hears it: the window sweeping with the
// sound off and then on, against a private sound server whose real-time
// recording is then checked ding by ding. Runs under tests/with-pulse, in the
// folder that holds ding.wav.

#include "app/ekgunit2.h"
#include "app/tmediaplayer.h"
#include "ecg/signal.h"
#include "ecg/sweep.h"
#include "sound/wavfile.h"
#include "tests/dingrecording.h"

#include <QApplication>
#include <QPushButton>
#include <QtTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <span>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using dingcheck::Clock;

namespace {

// Two cues of one beat lie a sample or two apart, two beats some 70 samples.
constexpr int kSameBeatSamples = 40;

double Since(Clock::time_point origin, Clock::time_point t)
{
    return std::chrono::duration<double>(t - origin).count();
}

// Clicks Run and, after the given time, Stop.
void RunFor(TForm1& form, std::chrono::milliseconds time)
{
    QTimer::singleShot(time, form.Button2, [&form] { QTest::mouseClick(form.Button2, Qt::LeftButton); });
    QTest::mouseClick(form.Button1, Qt::LeftButton);
}

// The spacing heard is the distance between two dings in the recording's
// samples, which the sink plays at its steady rate; when they reach the pipe
// depends on how much the sink writes at a time. The first ding, which opens
// the stream, is left out of both latency and spacing.
void PrintFigures(const std::vector<double>& perSample, const dingcheck::DingCheck& check,
                  std::span<const dingcheck::Sound> sounds, std::span<const dingcheck::PlayGroup> groups, int rate)
{
    if (perSample.empty() || check.latencies.size() < 3)
        return;
    const auto [fewest, most] = std::minmax_element(perSample.begin(), perSample.end());
    std::printf("sweep pace between beats: mean %.2f ms a sample, from %.2f to %.2f ms\n",
                std::accumulate(perSample.begin(), perSample.end(), 0.0) / double(perSample.size()) * 1000,
                *fewest * 1000, *most * 1000);
    std::printf("dings against the clip: correlation from %.4f to %.4f over %zu dings\n",
                *std::min_element(check.correlations.begin(), check.correlations.end()),
                *std::max_element(check.correlations.begin(), check.correlations.end()), check.correlations.size());
    std::vector<double> later(check.latencies.begin() + 1, check.latencies.end());
    std::sort(later.begin(), later.end());
    double squares = 0.0;
    for (std::size_t k = 1; k + 1 < sounds.size(); ++k) {
        const double heard = double(sounds[k + 1].onset - sounds[k].onset) / rate;
        const double error = heard - (groups[k + 1].first - groups[k].first);
        squares += error * error;
    }
    std::printf("play to sound at the pipe: %.1f ms for the ding that opens the stream, then median %.1f ms, "
                "worst %.1f ms; spacing heard against spacing played: sd %.1f ms\n",
                check.latencies.front() * 1000, later[later.size() / 2] * 1000, later.back() * 1000,
                std::sqrt(squares / double(sounds.size() - 2)) * 1000);
}

}  // namespace

// The real window, sound off and then on: silence while off; while on, a play
// at every R-peak cue it sweeps and one whole ding for every beat.
TEST(DingEndToEnd, TheWindowDingsOnceAtEveryBeatItSweeps)
{
    const char* fifo = std::getenv("WITH_PULSE_FIFO");
    const char* rate = std::getenv("WITH_PULSE_RATE");
    ASSERT_TRUE(fifo && rate) << "run this test under tests/with-pulse";
    const wav::ReadResult read = wav::ReadWavFile(DING_WAV);
    ASSERT_TRUE(read.ok()) << read.error;
    ASSERT_EQ(read.clip.sampleRate, std::atoi(rate)) << "the recording would be resampled";
    ASSERT_EQ(read.clip.channels, 1);
    const dingcheck::ClipSound clip = dingcheck::MakeClipSound(read.clip.samples, read.clip.sampleRate);

    // The window's one random source synthesises the signal, then draws each
    // sweep's start; the same source here foretells the sweeps.
    std::vector<std::int32_t> signal(ecg::kSignalSamples);
    const ecg::RandomFn random = ecg::DefaultRandom();
    ecg::SynthesizeSignal(signal.data(), random);

    testing::internal::CaptureStderr();
    TForm1 form;
    form.show();
    dingcheck::PipeRecorder recorder(fifo);
    // The pipe's backlog of older silence is read at once; after that, reads keep pace.
    std::this_thread::sleep_for(300ms);
    const Clock::time_point origin = Clock::now();
    std::vector<double> plays;
    QObject::connect(form.MediaPlayer1, &TMediaPlayer::played,
                     [&] { plays.push_back(Since(origin, Clock::now())); });

    random();  // the silent sweep's start
    RunFor(form, 1200ms);
    ASSERT_TRUE(plays.empty()) << "plays with the sound off";
    std::this_thread::sleep_for(300ms);
    const std::size_t soundOnAt = recorder.Recorded();

    QTest::mouseClick(form.Button3, Qt::LeftButton);
    ASSERT_EQ(form.Button3->text(), QStringLiteral("Sound &OFF"));
    std::vector<int> cues;  // sample counts from the first sweep's start
    for (int sweep = 0, offset = 0; sweep < 3; ++sweep, offset += ecg::kColumnEnd - ecg::kFirstColumn) {
        const std::uint32_t start = random() % ecg::kStartOffsets;
        for (int i = ecg::kFirstColumn; i < ecg::kColumnEnd; ++i)
            if (ecg::IsBeatCue(signal[start + i], signal[start + i + 1]))
                cues.push_back(offset + i);
    }
    RunFor(form, 6400ms);  // two sweeps and the start of a third
    std::this_thread::sleep_for(300ms);  // the last ding
    const std::vector<std::int16_t> recording = recorder.Samples();

    // The idle stream closes, but not at once: wait for it rather than time it.
    for (int n = 0; n < 100 && dingcheck::OpenStreams() != 0; ++n)
        std::this_thread::sleep_for(100ms);
    EXPECT_EQ(dingcheck::OpenStreams(), 0) << "the stream stays open while no plays come";
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said.find("sound"), std::string::npos) << "a good file and a server must play quietly: " << said;

    // A play at each cue swept, none lost and none doubled, in beats as the
    // cues are. Their pace is the sweep's and is only printed.
    ASSERT_GE(plays.size(), 10u);
    ASSERT_LE(plays.size(), cues.size());
    const auto groups = dingcheck::GroupPlays(plays, static_cast<double>(clip.sound.length) / clip.sampleRate);
    std::size_t beats = 1;
    std::vector<double> perSample;
    for (std::size_t k = 1, first = 0; k < plays.size(); ++k) {
        if (cues[k] - cues[k - 1] < kSameBeatSamples)
            continue;
        ++beats;
        perSample.push_back((plays[k] - plays[first]) / (cues[k] - cues[first]));
        first = k;
    }
    EXPECT_EQ(groups.size(), beats) << "the plays do not fall into the beats cued";

    // Silence while the sound was off.
    EXPECT_TRUE(std::all_of(recording.begin(), recording.begin() + std::ptrdiff_t(soundOnAt),
                            [](std::int16_t s) { return s == 0; }));

    // One whole ding for each beat, and for its beat.
    const auto sounds = dingcheck::FindSounds(recording, clip.sampleRate, clip.threshold);
    std::vector<double> onsets;
    for (const dingcheck::Sound& sound : sounds)
        onsets.push_back(Since(origin, recorder.ArrivalOf(sound.onset)));
    const dingcheck::DingCheck check = dingcheck::CheckDings(recording, sounds, onsets, groups, clip);
    for (const std::string& fault : check.faults)
        ADD_FAILURE() << fault;
    ASSERT_EQ(sounds.size(), groups.size());
    PrintFigures(perSample, check, sounds, groups, clip.sampleRate);

    // An Open that fails leaves no stream behind, not even the last good one's.
    form.MediaPlayer1->FileName = QStringLiteral("missing.wav");
    form.MediaPlayer1->Open();
    form.MediaPlayer1->Play();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(dingcheck::OpenStreams(), 0) << "a play after a failed Open";
}

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
