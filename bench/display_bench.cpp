// What showing the screen costs: Draw, which converts the 8-bit picture
// through its palette, and the paint it asks for. Draw converts only what
// changed since the last one, so it is measured both ways: with the whole
// picture changed, and during a sweep, where a picture brings a few columns
// of new trace or the rows a fade has dimmed. The sweep is measured at 100 %
// and at 150 %, where Draw also spreads what changed over the screen's device
// pixels. Runs under Qt's offscreen platform.

#include "bench/onesweep.h"
#include "display/screensetup.h"
#include "display/ximage3.h"

#include <QApplication>
#include <QWidget>
#include <QtGui/private/qhighdpiscaling_p.h>

#include <benchmark/benchmark.h>

namespace {

// A shown window with the set-up screen, its picture striped with every index.
struct Screen
{
    Screen()
    {
        xmg = new TXImage3(&window);
        SetUpScreen(*xmg);
        for (int y = 0; y < 200; ++y)
            for (int x = 0; x < 600; ++x)
                xmg->rows()[y][x] = std::uint8_t(x + y);
        window.resize(720, 344);
        window.show();
        QApplication::processEvents();
    }

    // A colour that alternates from call to call, so that Draw has the whole
    // picture to convert.
    void ChangeEveryColour()
    {
        xmg->Palette[0].Red ^= 1;
        xmg->AssignPalette(0);
    }

    QWidget window;
    TXImage3* xmg = nullptr;
};

void BM_DrawWholePicture(benchmark::State& state)
{
    Screen screen;
    for (auto _ : state) {
        screen.ChangeEveryColour();
        screen.xmg->Draw();
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_DrawWholePicture);

// Draw followed by the paint it asks for, as the next ProcessMessages does it.
void BM_DrawWholePictureAndPaint(benchmark::State& state)
{
    Screen screen;
    for (auto _ : state) {
        screen.ChangeEveryColour();
        screen.xmg->Draw();
        screen.xmg->repaint();
    }
}
BENCHMARK(BM_DrawWholePictureAndPaint);

// The screen under a real sweep with no waits: each picture is drawn,
// painted and, every other time, faded, as in the window. The paint is the
// one Draw asks for, of what changed, as the window's event handling does it
// (a repaint() would paint the whole screen).
class SweptScreen : public OneSweepWindow
{
public:
    std::uint8_t* const* ScreenRows() override { return screen_.xmg->rows(); }
    void ShowPicture() override
    {
        screen_.xmg->Draw();
        QCoreApplication::processEvents();
    }
    qreal devicePixelRatio() const { return screen_.xmg->devicePixelRatioF(); }

private:
    Screen screen_;
};

// A whole sweep: its drawing, and its pictures with their Draws and paints,
// on a screen scaled by the argument in percent; per_picture is the time for
// each picture.
void BM_SweepPictures(benchmark::State& state)
{
    const qreal scale = qreal(state.range(0)) / 100;
    // The factor QT_SCALE_FACTOR gives at start-up, for this case alone.
    QHighDpiScaling::setGlobalFactor(scale);
    {
        SweptScreen screen;
        if (screen.devicePixelRatio() == scale)
            SweepOncePerIteration(state, screen);
        else
            state.SkipWithError("the screen is not scaled as asked");
    }
    QHighDpiScaling::setGlobalFactor(1);
    state.counters["per_picture"] = benchmark::Counter(double(state.iterations()) * OneSweepWindow::kPicturesPerSweep,
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_SweepPictures)->Arg(100)->Arg(150)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
