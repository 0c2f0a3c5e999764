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

}  // namespace

void SweepUntilStopped(SweepHost& host, const std::int32_t* signal, const RandomFn& random)
{
    // The flags are read from the host every time: handlers that run inside
    // ProcessMessages change them.
    while (!host.StopRequested()) {
        const std::uint32_t start = random() % kStartOffsets;
        for (int i = kFirstColumn; i < kColumnEnd; ++i) {
            const std::int32_t a = signal[start + i];
            const std::int32_t b = signal[start + i + 1];
            if (IsBeatCue(a, b) && host.SoundOn())
                host.PlayBeat();
            std::uint8_t* const* rows = host.ScreenRows();
            DrawTraceSegment(rows, i, a, b);
            host.Sleep(kSamplePauseMs);
            if (i % 4 == 0) {
                // The grid goes on last so that it always shows on top of the trace.
                DrawGrid(rows);
                host.ShowPicture();
                if (i % 8 == 0)
                    Fade(rows);
                host.ProcessMessages();
            }
            if (host.StopRequested())
                return;
        }
        // The next sweep starts at once over the current picture.
    }
}

void FadeOutTrace(SweepHost& host)
{
    // 64 fades take any pixel to 0, so the last pass shows the grid alone.
    for (int pass = 0; pass < kFadeOutPasses; ++pass) {
        std::uint8_t* const* rows = host.ScreenRows();
        Fade(rows);
        DrawGrid(rows);
        host.ShowPicture();
        host.ProcessMessages();
    }
}

}  // namespace ecg
