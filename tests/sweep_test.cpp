#include "ecg/sweep.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kWidth = 600;
constexpr int kHeight = 200;

// Where a 21 by 11 grid falls on the 600 by 200 picture.
constexpr std::array kGridRows = {0, 20, 40, 60, 80, 100, 119, 139, 159, 179, 199};
constexpr std::array kGridColumns = {0,   30,  60,  90,  120, 150, 180, 210, 240, 270, 300,
                                     329, 359, 389, 419, 449, 479, 509, 539, 569, 599};

bool IsGridPixel(int x, int y)
{
    return std::find(kGridRows.begin(), kGridRows.end(), y) != kGridRows.end()
        || std::find(kGridColumns.begin(), kGridColumns.end(), x) != kGridColumns.end();
}

// Sample numbers, as the sweep's column counter i, from first to last in steps.
std::vector<int> Columns(int first, int last, int step)
{
    std::vector<int> columns;
    for (int i = first; i <= last; i += step)
        columns.push_back(i);
    return columns;
}

// The window as the sweep sees it, over a real 600 by 200 picture, clicked
// through the same Run and Stop handlers as the window. Clicks are scripted
// by the number of the ProcessMessages call that delivers them. Its clock is
// a fake one that starts at 0 and moves only when a wait ends or the test
// moves it.
class FakeWindow : public ecg::SweepHost {
public:
    enum class Call { Wait, Show, Process, Play, FocusToStop, StopClicked, FocusToRun, RunReturned };
    struct Event {
        Call call;
        long long timeUs;  // on the fake clock
    };

    FakeWindow(std::vector<std::int32_t> samples, std::vector<std::uint32_t> startDraws)
        : signal(std::move(samples)), startDraws_(std::move(startDraws))
    {
        for (int y = 0; y < kHeight; ++y)
            rows_[y] = pixels_.data() + y * kWidth;
    }

    void ClickRun()
    {
        ecg::RunClicked(*this, state, std::span(signal).first<ecg::kSignalSamples>(), random_);
        Record(Call::RunReturned);
    }

    void ClickStop()
    {
        Record(Call::StopClicked);
        ecg::StopClicked(*this, state);
    }

    std::uint8_t& Pixel(int x, int y) { return pixels_[y * kWidth + x]; }

    // Pixels that differ from a picture holding only the grid.
    int PixelsOffGrid() const
    {
        int count = 0;
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x)
                count += pixels_[y * kWidth + x] != (IsGridPixel(x, y) ? 2 : 0);
        }
        return count;
    }

    // Rows that ever held a dot centre (trace colour) in column x.
    std::set<int> DotRows(int x) const
    {
        std::set<int> found;
        for (int y = 0; y < kHeight; ++y) {
            if (everLit_[y * kWidth + x] == ecg::kTraceColour)
                found.insert(y);
        }
        return found;
    }

    int DotCount() const
    {
        return static_cast<int>(std::count(everLit_.begin(), everLit_.end(), ecg::kTraceColour));
    }

    // The sample whose time the clock shows: in a sweep from time 0 whose
    // samples keep their 5 ms each, sample i ends at (i - 1) * 5 ms.
    int SampleNow() const { return static_cast<int>(Microseconds(now) / 5000) + 1; }

    // The sweep's i at each such call, for a sweep from time 0 that keeps its
    // time. A beat sounds as its pair's period starts, when the one before ends.
    std::vector<int> ColumnsOf(Call call) const
    {
        std::vector<int> columns;
        for (const Event& event : log) {
            if (event.call == call)
                columns.push_back(static_cast<int>(event.timeUs / 5000) + (call == Call::Play ? 2 : 1));
        }
        return columns;
    }

    int CountOf(Call call) const { return static_cast<int>(ColumnsOf(call).size()); }

    // The window's state, as its handlers and the test set it.
    std::vector<std::int32_t> signal;
    ecg::RunState state;
    bool sound = false;
    std::map<int, std::function<void()>> clicksAtProcess;
    std::function<void()> onShow;
    std::function<void()> onProcess;
    Clock::time_point now;
    // How late a wait ends after its deadline, by the wait's number from 1.
    std::map<int, Clock::duration> lateWakeUps;

    // What the sweep did.
    std::vector<Event> log;
    std::vector<long long> deadlinesUs;
    int startsDrawn = 0;
    int processCalls = 0;

    // SweepHost
    std::uint8_t* const* ScreenRows() override { return rows_.data(); }
    void ShowPicture() override
    {
        Record(Call::Show);
        if (onShow)
            onShow();
    }
    void ProcessMessages() override
    {
        Record(Call::Process);
        // A sweep that no click can end any more is stopped, so that the test can fail.
        if (processCalls > 100000 && !state.stop) {
            ADD_FAILURE() << "the sweep ran on";
            state.stop = true;
        }
        if (onProcess)
            onProcess();
        const auto click = clicksAtProcess.find(++processCalls);
        if (click != clicksAtProcess.end())
            click->second();
    }
    Clock::time_point Now() const override { return now; }
    void SleepUntil(Clock::time_point deadline) override
    {
        deadlinesUs.push_back(Microseconds(deadline));
        const auto late = lateWakeUps.find(static_cast<int>(deadlinesUs.size()));
        now = std::max(now, deadline) + (late == lateWakeUps.end() ? 0ms : late->second);
        Record(Call::Wait);
        // Every dot is drawn before the wait for its picture, and no grid or
        // fade comes between.
        std::transform(pixels_.begin(), pixels_.end(), everLit_.begin(), everLit_.begin(),
                       [](std::uint8_t now, std::uint8_t seen) { return std::max(now, seen); });
    }
    void PlayBeat() override { Record(Call::Play); }
    bool SoundOn() const override { return sound; }
    void SweepStarting() override { Record(Call::FocusToStop); }
    void SweepStopping() override {}
    void StopDone() override { Record(Call::FocusToRun); }

private:
    static long long Microseconds(Clock::time_point t)
    {
        return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
    }

    void Record(Call call) { log.push_back({call, Microseconds(now)}); }

    std::uint32_t DrawStart()
    {
        if (startsDrawn == static_cast<int>(startDraws_.size())) {
            ADD_FAILURE() << "the sweep drew more start offsets than scripted";
            return 0;
        }
        return startDraws_[startsDrawn++];
    }

    std::vector<std::uint8_t> pixels_ = std::vector<std::uint8_t>(kWidth * kHeight, 0);
    std::vector<std::uint8_t> everLit_ = std::vector<std::uint8_t>(kWidth * kHeight, 0);
    std::array<std::uint8_t*, kHeight> rows_{};
    std::vector<std::uint32_t> startDraws_;
    ecg::RandomFn random_ = [this] { return DrawStart(); };
};

std::vector<std::int32_t> FlatSignal(std::int32_t value)
{
    return std::vector<std::int32_t>(ecg::kSignalSamples, value);
}

// A hand-made signal that climbs from -4 to 100 in uneven steps, over and over.
std::vector<std::int32_t> SawtoothSignal()
{
    std::vector<std::int32_t> samples(ecg::kSignalSamples);
    for (int n = 0; n < ecg::kSignalSamples; ++n)
        samples[n] = (n * 37) % 105 - 4;
    return samples;
}

constexpr int kProcessCallsPerSweep = 149;  // i = 4, 8, ..., 596

std::vector<long long> Differences(const std::vector<long long>& values)
{
    std::vector<long long> steps;
    for (std::size_t n = 1; n < values.size(); ++n)
        steps.push_back(values[n] - values[n - 1]);
    return steps;
}

TEST(Sweep, PacesGridPictureFadeAndMessages)
{
    FakeWindow window(FlatSignal(0), {0});
    window.clicksAtProcess[kProcessCallsPerSweep] = [&] { window.state.stop = true; };

    // A pixel the trace and the grid never touch tells whether a fade came.
    const int x = 1;
    const int y = 190;
    window.Pixel(x, y) = 191;
    int gridMissingAtShow = 0;
    std::vector<int> fadedBeforeShow;
    std::vector<int> fadedBeforeProcess;
    window.onShow = [&] {
        for (int gy = 0; gy < kHeight; ++gy) {
            for (int gx = 0; gx < kWidth; ++gx)
                gridMissingAtShow += IsGridPixel(gx, gy) && window.Pixel(gx, gy) != 2;
        }
        if (window.Pixel(x, y) != 191)
            fadedBeforeShow.push_back(window.SampleNow());
    };
    // Handling the window's events takes 3 ms each time: the samples keep
    // their 5 ms all the same.
    window.onProcess = [&] {
        if (window.Pixel(x, y) == 190)
            fadedBeforeProcess.push_back(window.SampleNow());
        window.Pixel(x, y) = 191;
        window.now += 3ms;
    };

    window.ClickRun();

    EXPECT_EQ(window.startsDrawn, 1);
    // Each picture waits for the end of its last sample, at (i - 1) * 5 ms.
    std::vector<long long> pictureTimesUs;
    for (int i : Columns(4, 596, 4))
        pictureTimesUs.push_back((i - 1) * 5000LL);
    EXPECT_EQ(window.deadlinesUs, pictureTimesUs);
    EXPECT_EQ(window.ColumnsOf(FakeWindow::Call::Show), Columns(4, 596, 4));
    EXPECT_EQ(window.ColumnsOf(FakeWindow::Call::Process), Columns(4, 596, 4));
    EXPECT_EQ(gridMissingAtShow, 0);
    EXPECT_TRUE(fadedBeforeShow.empty());  // the fade comes after the picture is shown
    EXPECT_EQ(fadedBeforeProcess, Columns(8, 592, 8));
    EXPECT_EQ(window.Pixel(x, y), 191);  // and none after the last message call
    EXPECT_EQ(window.CountOf(FakeWindow::Call::Play), 0);
}

// A wake-up late by up to a period is made up by the next wait, and the
// schedule holds. Further behind, the sweep goes on from where it is: a
// missed stretch of time is not made up by drawing the next samples faster.
TEST(Sweep, FallenBehindGoesOnFromNowWithoutRushing)
{
    FakeWindow window(SawtoothSignal(), {0});
    window.clicksAtProcess[3] = [&] { window.now += 40ms; };  // a long handler after i = 12
    // At i = 24 a period behind at the next picture, at i = 32 two.
    window.lateWakeUps = {{6, 25ms}, {8, 30ms}};
    window.clicksAtProcess[10] = [&] { window.state.stop = true; };

    window.ClickRun();

    ASSERT_EQ(window.deadlinesUs.size(), 10u);  // i = 4, 8, ..., 40
    EXPECT_EQ(window.deadlinesUs.front(), 15000);
    std::vector<long long> steps(9, 20000);
    steps[2] = 40000;  // the picture of i = 16 as soon as the handler is done
    steps[7] = 30000;  // of i = 36 at once, since 30 ms is 10 ms more than it had
    EXPECT_EQ(Differences(window.deadlinesUs), steps);
}

TEST(Sweep, NextSweepStartsAtOnceOverThePicture)
{
    FakeWindow window(FlatSignal(50), {100, 5000});
    window.clicksAtProcess[kProcessCallsPerSweep + 2] = [&] { window.state.stop = true; };
    int lastDotAtFirstShowOfSecondSweep = -1;
    window.onShow = [&] {
        if (window.processCalls == kProcessCallsPerSweep)
            lastDotAtFirstShowOfSecondSweep = window.Pixel(597, 90);
    };

    window.ClickRun();

    EXPECT_EQ(window.startsDrawn, 2);
    // The second sweep's samples follow the first's on the same time axis:
    // its first picture, at i = 4, comes three samples after the last one.
    std::vector<int> pictures = Columns(4, 596, 4);
    pictures.insert(pictures.end(), {596 + 3, 596 + 7});
    EXPECT_EQ(window.ColumnsOf(FakeWindow::Call::Show), pictures);
    // The dot of the first sweep's last pair is still there: nothing cleared the picture.
    EXPECT_EQ(lastDotAtFirstShowOfSecondSweep, 191);
}

TEST(Sweep, StartOffsetIsTheDrawModulo7000AndOnlyItsWindowIsRead)
{
    struct Case {
        std::uint32_t draw;
        int start;
    };
    for (const Case c : {Case{21000, 0}, Case{13999, 6999}, Case{4294967295u, 5295}}) {
        // Zero inside the samples the sweep may read, 100 just outside them:
        // a read outside would put a dot on row 140.
        std::vector<std::int32_t> samples = FlatSignal(100);
        std::fill(samples.begin() + c.start + 2, samples.begin() + c.start + 598, 0);
        FakeWindow window(samples, {c.draw});
        window.clicksAtProcess[kProcessCallsPerSweep] = [&] { window.state.stop = true; };

        window.ClickRun();

        EXPECT_EQ(window.DotCount(), 595) << "start " << c.start;
        for (int x = 3; x <= 597; ++x)
            ASSERT_EQ(window.DotRows(x), std::set<int>{40}) << "start " << c.start << ", column " << x;
    }
}

TEST(Sweep, DotsEveryValueOfAPairInItsColumn)
{
    std::vector<std::int32_t> samples = FlatSignal(0);
    const std::int32_t pairs[] = {3, 7, 3, 5, 5};
    std::copy(std::begin(pairs), std::end(pairs), samples.begin() + 1000 + 2);
    FakeWindow window(samples, {1000});
    window.clicksAtProcess[2] = [&] { window.state.stop = true; };

    window.ClickRun();

    // The dot of pair i is centred in column i + 1.
    EXPECT_EQ(window.DotRows(3), (std::set<int>{43, 44, 45, 46, 47}));  // 3 -> 7
    EXPECT_EQ(window.DotRows(4), (std::set<int>{43, 44, 45, 46, 47}));  // 7 -> 3
    EXPECT_EQ(window.DotRows(5), (std::set<int>{43, 44, 45}));          // 3 -> 5
    EXPECT_EQ(window.DotRows(6), (std::set<int>{45}));                  // 5 -> 5
    EXPECT_EQ(window.DotRows(7), (std::set<int>{40, 41, 42, 43, 44, 45}));  // 5 -> 0
    EXPECT_EQ(window.DotRows(2), std::set<int>{});
}

TEST(Sweep, BeatCueOnFallingPeaksWhileTheSoundIsOn)
{
    std::vector<std::int32_t> samples = FlatSignal(0);
    // Cues at pairs 90 -> 19, 21 -> 5 and 30 -> 20; none at 19 -> -4, -4 -> 21,
    // 5 -> 30, 30 -> 30 or 20 -> 5.
    const std::int32_t peaks[] = {90, 19, -4, 21, 5, 30, 30, 20, 5};
    std::copy(std::begin(peaks), std::end(peaks), samples.begin() + 2);
    std::copy(std::begin(peaks), std::end(peaks), samples.begin() + 12);

    struct Case {
        bool soundAtStart;
        int toggleAtProcess;  // 0: never
        std::vector<int> plays;
    };
    const Case cases[] = {
        {true, 0, {2, 5, 8, 12, 15, 18}},
        {false, 0, {}},
        {true, 2, {2, 5, 8}},            // switched off at i = 8, after its pair
        {false, 1, {5, 8, 12, 15, 18}},  // switched on at i = 4
    };
    for (const Case& c : cases) {
        FakeWindow window(samples, {0});
        window.sound = c.soundAtStart;
        window.clicksAtProcess[5] = [&] { window.state.stop = true; };
        if (c.toggleAtProcess != 0)
            window.clicksAtProcess[c.toggleAtProcess] = [&] { window.sound = !window.sound; };

        window.ClickRun();

        EXPECT_EQ(window.ColumnsOf(FakeWindow::Call::Play), c.plays)
            << "sound " << c.soundAtStart << ", toggled at call " << c.toggleAtProcess;
    }
}

// Each pass of the fade-out lasts a sample period, on the sweep's schedule.
TEST(Sweep, StopWhileIdleFadesEverythingButTheGridIn64PacedPasses)
{
    FakeWindow window(FlatSignal(0), {});
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x)
            window.Pixel(x, y) = static_cast<std::uint8_t>(x + 3 * y);
    }
    window.Pixel(1, 190) = 191;
    std::vector<int> fadingDot;
    std::vector<long long> showTimesUs;
    int gridMissingAtShow = 0;
    window.onShow = [&] {
        fadingDot.push_back(window.Pixel(1, 190));
        showTimesUs.push_back(window.log.back().timeUs);
        for (int y : kGridRows)
            gridMissingAtShow += window.Pixel(5, y) != 2;
        for (int x : kGridColumns)
            gridMissingAtShow += window.Pixel(x, 5) != 2;
    };
    // Handling the window's events takes 2 ms each time: the passes keep their 5 ms.
    window.onProcess = [&] { window.now += 2ms; };

    window.ClickStop();

    EXPECT_EQ(window.CountOf(FakeWindow::Call::Process), 64);
    EXPECT_EQ(window.startsDrawn, 0);
    std::vector<long long> passStartsUs;
    std::vector<long long> passEndsUs;
    for (int pass = 0; pass < 64; ++pass) {
        passStartsUs.push_back(pass * 5000LL);
        passEndsUs.push_back((pass + 1) * 5000LL);
    }
    EXPECT_EQ(showTimesUs, passStartsUs);
    EXPECT_EQ(window.deadlinesUs, passEndsUs);
    // One fade before each picture: 191 steps down to 128, then to 0.
    std::vector<int> expectedDot;
    for (int pass = 1; pass <= 63; ++pass)
        expectedDot.push_back(191 - pass);
    expectedDot.push_back(0);
    EXPECT_EQ(fadingDot, expectedDot);
    EXPECT_EQ(gridMissingAtShow, 0);  // the grid goes on after the fade
    EXPECT_EQ(window.PixelsOffGrid(), 0);
    EXPECT_EQ(window.log.back().call, FakeWindow::Call::FocusToRun);
}

// The calls logged after the last Stop click, in order.
std::vector<FakeWindow::Call> CallsAfterLastStop(const FakeWindow& window)
{
    const auto stop = std::find_if(window.log.rbegin(), window.log.rend(), [](const auto& event) {
        return event.call == FakeWindow::Call::StopClicked;
    });
    std::vector<FakeWindow::Call> calls;
    for (auto event = stop.base(); event != window.log.end(); ++event)
        calls.push_back(event->call);
    return calls;
}

std::vector<FakeWindow::Call> FadeOutPasses(int passes)
{
    std::vector<FakeWindow::Call> calls;
    for (int pass = 0; pass < passes; ++pass)
        calls.insert(calls.end(), {FakeWindow::Call::Show, FakeWindow::Call::Process, FakeWindow::Call::Wait});
    return calls;
}

// A Run during a sweep nests a second sweep, which goes on from sweep to
// sweep; one Stop ends both and leaves the grid alone.
TEST(Sweep, RunDuringASweepNestsAndOneStopEndsBoth)
{
    FakeWindow window(SawtoothSignal(), {500, 3000, 6999});
    window.clicksAtProcess[3] = [&] { window.ClickRun(); };    // outer sweep at i = 12
    window.clicksAtProcess[200] = [&] { window.ClickStop(); }; // inner sweep, its second pass

    window.ClickRun();

    EXPECT_EQ(window.startsDrawn, 3);
    EXPECT_GT(window.DotCount(), 10000);  // the sawtooth drew long segments
    EXPECT_EQ(window.CountOf(FakeWindow::Call::Wait), 200 + 64);
    // The Stop's fade-out, then the inner sweep returns, then the outer one,
    // without another sample between them.
    std::vector<FakeWindow::Call> expected = FadeOutPasses(64);
    expected.insert(expected.end(),
                    {FakeWindow::Call::FocusToRun, FakeWindow::Call::RunReturned, FakeWindow::Call::RunReturned});
    EXPECT_EQ(CallsAfterLastStop(window), expected);
    EXPECT_EQ(window.PixelsOffGrid(), 0);
}

TEST(Sweep, RunDuringAFadeOutSweepsUntilStopThenTheFadeOutFinishes)
{
    FakeWindow window(SawtoothSignal(), {4321});
    window.clicksAtProcess[5] = [&] { window.ClickRun(); };    // in the fifth pass
    window.clicksAtProcess[12] = [&] { window.ClickStop(); };  // sweep at i = 28

    window.ClickStop();

    EXPECT_EQ(window.startsDrawn, 1);
    EXPECT_EQ(window.CountOf(FakeWindow::Call::Wait), 4 + 7 + 64 + 60);
    // The second Stop's 64 passes, the sweep's return, the first Stop's last 59
    // (the fifth pass ends with its wait).
    std::vector<FakeWindow::Call> expected = FadeOutPasses(64);
    expected.insert(expected.end(), {FakeWindow::Call::FocusToRun, FakeWindow::Call::RunReturned,
                                     FakeWindow::Call::Wait});
    const std::vector<FakeWindow::Call> rest = FadeOutPasses(59);
    expected.insert(expected.end(), rest.begin(), rest.end());
    expected.push_back(FakeWindow::Call::FocusToRun);
    EXPECT_EQ(CallsAfterLastStop(window), expected);
    EXPECT_EQ(window.PixelsOffGrid(), 0);
    // The interrupted fade-out goes on from when the sweep returned, at its pace.
    const long long resumedUs = window.deadlinesUs[4 + 7 + 64];
    EXPECT_EQ(window.deadlinesUs.back() - resumedUs, 59 * 5000LL);
}

// Run clicks that keep coming nest sweeps up to the limit and no further; so
// do Stop clicks with fade-outs. Each storm still ends with the grid alone.
TEST(Sweep, ClickStormsNestNoDeeperThanTheLimit)
{
    FakeWindow window(SawtoothSignal(), std::vector<std::uint32_t>(ecg::kMostNestedHandlers, 0));
    int clicksLeft = 200;
    int mostSweeps = 0;
    int mostFadeOuts = 0;
    window.onProcess = [&] {
        mostSweeps = std::max(mostSweeps, window.state.sweepsRunning);
        mostFadeOuts = std::max(mostFadeOuts, window.state.fadeOutsRunning);
        if (clicksLeft > 0 && clicksLeft-- > 100)
            window.ClickRun();
        else if (clicksLeft > 0)
            window.ClickStop();
    };

    window.ClickRun();

    EXPECT_EQ(clicksLeft, 0);
    EXPECT_EQ(mostSweeps, ecg::kMostNestedHandlers);
    EXPECT_EQ(mostFadeOuts, ecg::kMostNestedHandlers);
    EXPECT_EQ(window.startsDrawn, ecg::kMostNestedHandlers);
    EXPECT_EQ(window.state.sweepsRunning, 0);
    EXPECT_EQ(window.state.fadeOutsRunning, 0);
    EXPECT_EQ(window.PixelsOffGrid(), 0);
}

// A close ends the sweep, or the fade-out after the pass that handled it and
// the sweep it ran in; clicks that come after the close start nothing.
TEST(Sweep, ClosingEndsEverySweepAndFadeOutAndLaterClicksStartNothing)
{
    for (const int stopAt : {0, 3}) {
        FakeWindow window(SawtoothSignal(), {100});
        if (stopAt != 0)
            window.clicksAtProcess[stopAt] = [&] { window.ClickStop(); };
        window.clicksAtProcess[5] = [&] { window.state.closed = true; };

        window.ClickRun();
        window.ClickRun();
        window.ClickStop();

        EXPECT_EQ(window.CountOf(FakeWindow::Call::Process), 5) << "Stop at " << stopAt;
        EXPECT_EQ(window.CountOf(FakeWindow::Call::Show), 5) << "Stop at " << stopAt;
        EXPECT_EQ(window.CountOf(FakeWindow::Call::FocusToStop), 1) << "Stop at " << stopAt;
        EXPECT_EQ(window.startsDrawn, 1);
    }
}

}  // namespace
