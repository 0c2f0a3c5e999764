#pragma once

// The monitor's sweep: the signal drawn column by column as a glowing dot with a
// fading trail under a grid, and the fade-out that ends it. Everything runs on
// the window's one thread; the sweep yields to the window only through
// SweepHost::ProcessMessages, inside which the window's click handlers may run
// nested (a Stop that sets the flag, or a Run that starts a sweep of its own).

#include "ecg/signal.h"

#include <chrono>
#include <cstdint>
#include <span>

namespace ecg {

// The picture the sweep draws; the display's set-up gives the screen this size.
inline constexpr int kScreenWidth = 600;
inline constexpr int kScreenHeight = 200;
inline constexpr int kBaselineRow = 40;        // the row of sample value 0
inline constexpr std::uint32_t kTraceColour = 191;
inline constexpr std::uint32_t kGridColour = 2;
inline constexpr int kGridColumns = 21;
inline constexpr int kGridLines = 11;
// A sample lasts 5 ms, drawing included: the screen shows 200 samples a second.
inline constexpr std::chrono::milliseconds kSamplePeriod{5};
inline constexpr int kFirstColumn = 2;
inline constexpr int kColumnEnd = 597;         // one past the last column swept
inline constexpr std::uint32_t kStartOffsets = 7000;
// A sweep reads samples start + 2 .. start + 597 with start below 7000.
static_assert(int(kStartOffsets) - 1 + kColumnEnd < kSignalFilled, "every sweep reads synthesised samples only");
inline constexpr int kFadeOutPasses = 64;

// What the sweep needs of the window it runs in.
class SweepHost {
public:
    virtual ~SweepHost() = default;

    // Row table of the screen's 600 by 200 picture.
    virtual std::uint8_t* const* ScreenRows() = 0;
    // Copies the picture to the screen as it is now.
    virtual void ShowPicture() = 0;
    // Lets the window handle what is pending; handlers may run nested in here.
    virtual void ProcessMessages() = 0;
    virtual std::chrono::steady_clock::time_point Now() const = 0;
    // Returns once the steady clock reaches the deadline, at once if it has.
    // The window may answer the desktop meanwhile, but no click handler runs here.
    virtual void SleepUntil(std::chrono::steady_clock::time_point deadline) = 0;
    virtual void PlayBeat() = 0;
    virtual bool SoundOn() const = 0;

    // Run has cleared the stop flag: the focus goes to Stop, and the scale shows.
    virtual void SweepStarting() = 0;
    // Stop has set the stop flag, before its fade-out.
    virtual void SweepStopping() = 0;
    // Stop is done: the focus goes back to Run.
    virtual void StopDone() = 0;
};

// What the Run and Stop handlers share for the whole run of the program.
struct RunState {
    bool stop = false;    // set by Stop, cleared by Run
    bool closed = false;  // the window has closed: nothing may run any more
    int sweepsRunning = 0;
    int fadeOutsRunning = 0;
};

// Run and Stop clicked during a sweep or a fade-out run nested in it, each on
// a few kilobytes of stack. Nesting stops at a depth no one clicks to, far
// below what the stack holds: a storm of clicks must not overflow it.
inline constexpr int kMostNestedHandlers = 64;

// A beat is cued on a pair whose first sample is above 20 and falls to the second.
constexpr bool IsBeatCue(std::int32_t a, std::int32_t b)
{
    return a > 20 && b < a;
}

// Run: clears the stop flag and sweeps the signal across the screen from
// random start offsets, sweep after sweep over the same picture, until the
// flag is set again or the window closes.
// Each sample's period ends one period after the previous one's, and every
// picture and beat waits for its sample's time. Once the sweep is more than a
// period behind that schedule (a long nested handler, a stalled machine), the
// schedule goes on from now: the samples it missed are not drawn in a rush to
// catch up.
// At the nesting limit the innermost sweep goes on instead of a new one: the
// flag it reads is clear again. Once the window has closed, a click that was
// already on its way starts nothing.
// Samples from -39 to 158 keep every dot and its halo on the screen (the
// synthesised signal stays within -4 .. 100).
void RunClicked(SweepHost& host, RunState& state, std::span<const std::int32_t, kSignalSamples> signal,
                const RandomFn& random);

// Stop: sets the stop flag, so that every sweep ends, and fades the trace out
// in 64 passes of a sample period each, showing the grid alone at the end.
// At the nesting limit the innermost fade-out, already running, clears the
// screen. A fade-out ends early once the window has closed.
void StopClicked(SweepHost& host, RunState& state);

}  // namespace ecg
