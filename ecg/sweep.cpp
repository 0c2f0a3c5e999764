#include "ecg/sweep.h"

#include "raster/raster.h"

namespace ecg {

namespace {

// Dots every value from a to b, both included, in column x (centred on x + 1).
void DrawTraceSegment(std::uint8_t* const* rows, int x, std::int32_t a, std::int32_t b)
{
    while (a > b) {
        raster::PlotGlow(rows, x, a + kBaselineRow, kTraceColour);
        --a;
    }
    while (a <= b) {
        raster::PlotGlow(rows, x, a + kBaselineRow, kTraceColour);
        ++a;
    }
}

void DrawGrid(std::uint8_t* const* rows)
{
    raster::DrawGrid(rows, kScreenHeight, kScreenWidth, kGridColumns, kGridLines, kGridColour);
}

void Fade(std::uint8_t* const* rows)
{
    raster::FadeBmp64(rows, kScreenHeight, kScreenWidth);
}

// When each period ends on the steady clock, a sample's or a fade-out pass's:
// one period after the previous one's. The drawing and a late wake-up shorten
// a wait; they do not stretch the time axis.
class SampleSchedule
{
public:
    explicit SampleSchedule(SweepHost& host) : host_(host), due_(host.Now()) {}

    // The period just drawn ends one after the one before it.
    void Next() { due_ += kSamplePeriod; }

    // Waits for the end of the last period drawn. A lag of up to a period is
    // made up by the next wait; past that the schedule goes on from now
    // rather than rushing the samples it missed.
    void WaitUntilDue()
    {
        const std::chrono::steady_clock::time_point now = host_.Now();
        if (now - due_ > kSamplePeriod)
            due_ = now;
        host_.SleepUntil(due_);
    }

private:
    SweepHost& host_;
    std::chrono::steady_clock::time_point due_;
};

// Counts a handler's level of nesting while it runs.
class NestingLevel
{
public:
    explicit NestingLevel(int& depth) : depth_(depth) { ++depth_; }
    ~NestingLevel() { --depth_; }
    NestingLevel(const NestingLevel&) = delete;
    NestingLevel& operator=(const NestingLevel&) = delete;

private:
    int& depth_;
};

void SweepUntilStopped(SweepHost& host, const RunState& state, std::span<const std::int32_t, kSignalSamples> signal,
                       const RandomFn& random)
{
    // The flags are read from the state every time: handlers that run inside
    // ProcessMessages change them. A sample's dots show only with the next
    // picture, so the sweep waits for the clock only before a picture and
    // before a beat: both keep their sample's time, and the program wakes a
    // quarter as often as it would by waiting after every sample.
    const auto stopped = [&state] { return state.stop || state.closed; };
    SampleSchedule schedule(host);
    while (!stopped()) {
        const std::uint32_t start = random() % kStartOffsets;
        for (int i = kFirstColumn; i < kColumnEnd; ++i) {
            const std::int32_t a = signal[start + i];
            const std::int32_t b = signal[start + i + 1];
            // A beat sounds as its pair's period starts.
            if (IsBeatCue(a, b) && host.SoundOn()) {
                schedule.WaitUntilDue();
                host.PlayBeat();
            }
            std::uint8_t* const* rows = host.ScreenRows();
            DrawTraceSegment(rows, i, a, b);
            schedule.Next();
            if (i % 4 == 0) {
                schedule.WaitUntilDue();
                // The grid goes on last so that it always shows on top of the trace.
                DrawGrid(rows);
                host.ShowPicture();
                if (i % 8 == 0)
                    Fade(rows);
                host.ProcessMessages();
            }
            if (stopped())
                return;
        }
        // The next sweep starts at once over the current picture.
    }
}

// Each pass lasts a sample period, so that the trace is seen to die away
// over a third of a second; a pass that falls behind (a sweep run from one
// of its message calls) goes on from now.
void FadeOutTrace(SweepHost& host, const RunState& state)
{
    // 64 fades take any pixel to 0, so the last pass shows the grid alone.
    SampleSchedule schedule(host);
    for (int pass = 0; pass < kFadeOutPasses; ++pass) {
        std::uint8_t* const* rows = host.ScreenRows();
        Fade(rows);
        DrawGrid(rows);
        host.ShowPicture();
        host.ProcessMessages();
        if (state.closed)
            return;
        schedule.Next();
        schedule.WaitUntilDue();
    }
}

}  // namespace

void RunClicked(SweepHost& host, RunState& state, std::span<const std::int32_t, kSignalSamples> signal,
                const RandomFn& random)
{
    if (state.closed)
        return;
    state.stop = false;
    host.SweepStarting();
    if (state.sweepsRunning < kMostNestedHandlers) {
        const NestingLevel level(state.sweepsRunning);
        SweepUntilStopped(host, state, signal, random);
    }
}

void StopClicked(SweepHost& host, RunState& state)
{
    if (state.closed)
        return;
    state.stop = true;
    host.SweepStopping();
    if (state.fadeOutsRunning < kMostNestedHandlers) {
        const NestingLevel level(state.fadeOutsRunning);
        FadeOutTrace(host, state);
    }
    host.StopDone();
}

}  // namespace ecg
