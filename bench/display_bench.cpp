// What one Draw of the screen costs: converting the 8-bit picture through its
// palette, and painting it, as the sweep does 150 times a sweep.
// Runs under Qt's offscreen platform.

#include "display/screensetup.h"
#include "display/ximage3.h"

#include <QApplication>
#include <QWidget>

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
    QWidget window;
    TXImage3* xmg = nullptr;
};

void BM_DrawCopy(benchmark::State& state)
{
    Screen screen;
    for (auto _ : state) {
        screen.xmg->Draw();
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_DrawCopy);

// Draw followed by the paint it asks for, as the next ProcessMessages does it.
void BM_DrawAndPaint(benchmark::State& state)
{
    Screen screen;
    for (auto _ : state) {
        screen.xmg->Draw();
        screen.xmg->repaint();
    }
}
BENCHMARK(BM_DrawAndPaint);

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
