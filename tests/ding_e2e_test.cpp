// The heartbeat sound as a listener hears it: the window sweeping with the
// sound on and off, and the player on its own, against a private sound server
// whose real-time recording is then checked ding by ding. Runs under
// tests/with-pulse, in the folder that holds ding.wav.

#include "app/ekgunit2.h"
#include "app/tmediaplayer.h"
#include "sound/wavfile.h"
#include "ecg/signal.h"
#include "ecg/sweep.h"
#include "tests/dingrecording.h"

#include <QApplication>
#include <QPushButton>
#include <QtTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using dingcheck::Clock;

namespace {

constexpr int kSweeps = 2;
constexpr double kSpacingTolerance = 0.020;  // a play waits for the next 10 ms chunk
constexpr double kLengthTolerance = 0.002;
// A sample is its 5 ms pause and its share of the drawing. The sanitizers'
// checks make our drawing over ten times slower, and a sample right after a
// full-picture update then takes up to about 6 ms.
#ifdef __SANITIZE_ADDRESS__
constexpr double kLongestSample = 0.0070;
#else
constexpr double kLongestSample = 0.0056;
#endif

class DingEndToEnd : public testing::Test {
protected:
    void SetUp() override
    {
        const char* fifo = std::getenv("WITH_PULSE_FIFO");
        const char* rate = std::getenv("WITH_PULSE_RATE");
        ASSERT_TRUE(fifo && rate) << "run this test under tests/with-pulse";
        rate_ = std::atoi(rate);

        const wav::ReadResult read = wav::ReadWavFile(DING_WAV);
        ASSERT_TRUE(read.ok()) << read.error;
        ASSERT_EQ(read.clip.sampleRate, rate_) << "the recording would be resampled";
        int peak = 0;
        for (std::int16_t s : read.clip.samples)
            peak = std::max(peak, std::abs(int{s}));
        threshold_ = peak / 50;
        const auto clipSounds = dingcheck::FindSounds(read.clip.samples, rate_, threshold_);
        ASSERT_EQ(clipSounds.size(), 1u);
        clipSoundSeconds_ = static_cast<double>(clipSounds[0].length) / rate_;

        player_.FileName = DING_WAV;
        player_.DeviceType = TMediaPlayer::dtWaveAudio;
        testing::internal::CaptureStderr();
        player_.Open();
        ASSERT_EQ(testing::internal::GetCapturedStderr(), "") << "a good file and a server must open quietly";
        recorder_ = std::make_unique<dingcheck::PipeRecorder>(fifo);
        // The pipe's backlog of older silence is read at once; after that, reads keep pace.
        std::this_thread::sleep_for(300ms);
    }

    double Since(Clock::time_point t) const { return std::chrono::duration<double>(t - origin_).count(); }

    // Clicks Run and, after the given time, Stop.
    static void RunFor(TForm1& form, std::chrono::milliseconds time)
    {
        QTimer::singleShot(time, form.Button2, [&form] { QTest::mouseClick(form.Button2, Qt::LeftButton); });
        QTest::mouseClick(form.Button1, Qt::LeftButton);
    }

    int rate_ = 0;
    int threshold_ = 0;
    double clipSoundSeconds_ = 0.0;
    TMediaPlayer player_{nullptr};
    std::unique_ptr<dingcheck::PipeRecorder> recorder_;
    Clock::time_point origin_ = Clock::now();
};

// How many playback streams the server has open.
int OpenStreams()
{
    std::FILE* pactl = ::popen("pactl list short sink-inputs", "r");
    if (!pactl)
        return -1;
    int lines = 0;
    for (int c; (c = std::fgetc(pactl)) != EOF;)
        lines += c == '\n';
    return ::pclose(pactl) == 0 ? lines : -1;
}

void PrintSpread(const std::vector<double>& errors, const std::vector<double>& latencies)
{
    const double n = static_cast<double>(errors.size());
    const double mean = std::accumulate(errors.begin(), errors.end(), 0.0) / n;
    double squares = 0.0, worst = 0.0;
    for (double e : errors) {
        squares += (e - mean) * (e - mean);
        worst = std::max(worst, std::abs(e));
    }
    std::vector<double> later(latencies.begin() + 1, latencies.end());
    std::sort(later.begin(), later.end());
    std::printf("ding spacing minus play spacing over %zu intervals in the open stream: "
                "mean %+.1f ms, sd %.1f ms, worst %.1f ms\n",
                errors.size(), mean * 1000, std::sqrt(squares / n) * 1000, worst * 1000);
    std::printf("play to sound at the pipe: %.1f ms for the ding that opens the stream, "
                "then median %.1f ms, worst %.1f ms\n",
                latencies.front() * 1000, later[later.size() / 2] * 1000, later.back() * 1000);
}

}  // namespace

// The real window, sound off and then on: silence while off; while on, a play
// at every R-peak cue of the sweeps it makes and one whole ding for each.
TEST_F(DingEndToEnd, TheWindowDingsAtEveryRPeakItSweeps)
{
    // The window's one random source synthesises the signal, then draws each
    // sweep's start; the same source here foretells the sweeps.
    std::vector<std::int32_t> signal(ecg::kSignalSamples);
    const ecg::RandomFn random = ecg::DefaultRandom();
    ecg::SynthesizeSignal(signal.data(), random);

    TForm1 form;
    form.show();
    std::vector<double> plays;
    QObject::connect(form.MediaPlayer1, &TMediaPlayer::played, [&] { plays.push_back(Since(Clock::now())); });

    random();  // the silent sweep's start
    RunFor(form, 1200ms);
    ASSERT_TRUE(plays.empty()) << "plays with the sound off";
    std::this_thread::sleep_for(300ms);
    const std::size_t soundOnAt = recorder_->Recorded();

    QTest::mouseClick(form.Button3, Qt::LeftButton);
    ASSERT_EQ(form.Button3->text(), QStringLiteral("Sound &OFF"));
    std::vector<int> expectedCues;  // sample counts from the first sweep's start
    for (int sweep = 0, offset = 0; sweep < 3; ++sweep, offset += ecg::kColumnEnd - ecg::kFirstColumn) {
        const std::uint32_t start = random() % ecg::kStartOffsets;
        for (int i = ecg::kFirstColumn; i < ecg::kColumnEnd; ++i)
            if (ecg::IsBeatCue(signal[start + i], signal[start + i + 1]))
                expectedCues.push_back(offset + i);
    }
    RunFor(form, 6400ms);  // two sweeps and the start of a third
    std::this_thread::sleep_for(1500ms);  // the last ding, then the idle stream closes
    EXPECT_EQ(OpenStreams(), 0) << "the stream stays open while no plays come";
    const std::vector<std::int16_t> recording = recorder_->Stop();

    // The plays come at the R peaks swept, paced by the sweep's 5 ms samples.
    ASSERT_GE(plays.size(), 10u);
    ASSERT_LE(plays.size(), expectedCues.size());
    for (std::size_t k = 1; k < plays.size(); ++k) {
        const double samples = expectedCues[k] - expectedCues[k - 1];
        const double perSample = (plays[k] - plays[k - 1]) / samples;
        EXPECT_TRUE(perSample > 0.0049 && perSample < kLongestSample)
            << "play " << k << " came " << perSample * 1000 << " ms a sample after the one before";
    }

    // Silence while the sound was off.
    EXPECT_TRUE(std::all_of(recording.begin(), recording.begin() + std::ptrdiff_t(soundOnAt),
                            [](std::int16_t s) { return s == 0; }));

    // One whole ding for each play, spaced as the plays.
    const auto sounds = dingcheck::FindSounds(recording, rate_, threshold_);
    const auto groups = dingcheck::GroupPlays(plays, clipSoundSeconds_);
    const dingcheck::Comparison comparison = dingcheck::CompareWithPlays(
        sounds, rate_, groups, clipSoundSeconds_, kSpacingTolerance, kLengthTolerance);
    for (const std::string& fault : comparison.faults)
        ADD_FAILURE() << fault;
    ASSERT_EQ(sounds.size(), groups.size());

    std::vector<double> latencies;
    for (std::size_t k = 0; k < sounds.size(); ++k)
        latencies.push_back(Since(recorder_->ArrivalOf(sounds[k].onset)) - groups[k].first);
    PrintSpread(comparison.spacingErrors, latencies);
    EXPECT_LT(*std::max_element(latencies.begin(), latencies.end()), 0.150);
}

TEST_F(DingEndToEnd, WithoutPlaysThereIsSilenceAndNoStream)
{
    std::this_thread::sleep_for(1000ms);
    EXPECT_EQ(OpenStreams(), 0);
    const std::vector<std::int16_t> recording = recorder_->Stop();
    ASSERT_GT(recording.size(), static_cast<std::size_t>(rate_) / 2);
    EXPECT_TRUE(std::all_of(recording.begin(), recording.end(), [](std::int16_t s) { return s == 0; }));
}

// Plays every millisecond keep restarting the clip: one sound, whole after the
// last restart; closing the player then leaves no stream behind. A first ding
// opens the stream, so that the burst plays in a stream that runs steadily.
TEST_F(DingEndToEnd, ABurstOfPlaysEndsInOneWholeDing)
{
    std::vector<double> plays{Since(Clock::now())};
    player_.Play();
    std::this_thread::sleep_for(400ms);
    for (int n = 0; n < 100; ++n) {
        plays.push_back(Since(Clock::now()));
        player_.Play();
        std::this_thread::sleep_for(1ms);
    }
    std::this_thread::sleep_for(500ms);
    player_.Close();
    EXPECT_EQ(OpenStreams(), 0);
    const std::vector<std::int16_t> recording = recorder_->Stop();

    const auto sounds = dingcheck::FindSounds(recording, rate_, threshold_);
    const auto groups = dingcheck::GroupPlays(plays, clipSoundSeconds_);
    ASSERT_EQ(groups.size(), 2u);
    for (const std::string& fault : dingcheck::CompareWithPlays(sounds, rate_, groups, clipSoundSeconds_,
                                                                kSpacingTolerance, kLengthTolerance)
                                        .faults)
        ADD_FAILURE() << fault;
}

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
