// The screen widget and its set-up: bitmaps, row table, palette and Draw.

#include "display/screensetup.h"
#include "display/ximage3.h"
#include "tests/monitorpicture.h"

#include <QBackingStore>
#include <QtTest>

#include <cstring>
#include <type_traits>

// A copied bitmap's rows would point into the original's pixels.
static_assert(!std::is_copy_constructible_v<TXBitmap> && !std::is_copy_assignable_v<TXBitmap>);

namespace {

QRgb ShownPixel(TXImage3& xmg, int x, int y)
{
    return xmg.grab().toImage().pixel(x, y);
}

// What the repaints left on the screen, in the offscreen platform's backing store.
QImage Repainted(TXImage3& xmg)
{
    return *dynamic_cast<QImage*>(xmg.backingStore()->paintDevice());
}

// Every region the widget is asked to paint, added up.
class PaintRecorder : public QObject
{
public:
    QRegion painted;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            painted += static_cast<QPaintEvent*>(event)->region();
        return false;
    }
};

// A set-up screen, shown as its own window.
struct ShownScreen
{
    ShownScreen()
    {
        SetUpScreen(xmg);
        xmg.show();
    }
    TXImage3 xmg;
};

}  // namespace

class DisplayTest : public QObject
{
    Q_OBJECT

private slots:
    void bitmapRowsLieWidthApartFromTheBottom();
    void resizeKeepsTheAssignedPalette();
    void setUpPlacesTheScreen();
    void setUpFillsThePalette_data();
    void setUpFillsThePalette();
    void setUpLeavesUnlistedEntries();
    void setUpShowsABlackPicture();
    void drawShowsRowZeroAtTheBottom();
    void drawCopiesThePictureAtTheCall();
    void drawRepaintsWhatChanged();
    void drawScalesByWholePixels();
    void drawGivesEveryGridLineTheSameLight();
};

void DisplayTest::bitmapRowsLieWidthApartFromTheBottom()
{
    TXImage3 xmg;
    xmg.ResizeBmp(0, 7, 5);
    const TXBitmap& bitmap = xmg.bmp[0];
    QCOMPARE(bitmap.Width(), 7);
    QCOMPARE(bitmap.Height(), 5);
    std::uint8_t* const* rows = xmg.rows();
    for (int y = 0; y < 5; ++y)
        QCOMPARE(rows[y] - rows[0], 7 * y);
    for (int n = 0; n < 35; ++n)
        QCOMPARE(rows[0][n], std::uint8_t(0));

    // Setting a side alone also gives a consistent row table.
    xmg.bmp[0].SetHeight(3);
    QCOMPARE(xmg.rows()[2] - xmg.rows()[0], 14);
}

void DisplayTest::resizeKeepsTheAssignedPalette()
{
    TXImage3 xmg;
    xmg.Palette[5] = TPaletteEntry{10, 20, 30, 0};
    xmg.AssignPalette(1);
    xmg.Palette[5] = TPaletteEntry{};
    xmg.ResizeBmp(1, 4, 4);
    QCOMPARE(xmg.bmp[1].colourTable[5], qRgb(30, 20, 10));
    QCOMPARE(xmg.bmp[0].colourTable[5], qRgb(0, 0, 0));
}

void DisplayTest::setUpPlacesTheScreen()
{
    QWidget window;
    auto* xmg = new TXImage3(&window);
    xmg->setGeometry(128, 56, 105, 105);
    SetUpScreen(*xmg);
    QCOMPARE(xmg->geometry(), QRect(50, 20, 600, 200));
    for (const TXBitmap& bitmap : xmg->bmp) {
        QCOMPARE(bitmap.Width(), 600);
        QCOMPARE(bitmap.Height(), 200);
    }
}

void DisplayTest::setUpFillsThePalette_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QColor>("colour");
    QTest::newRow("trace 191") << 191 << QColor(252, 252, 0);
    QTest::newRow("halo 173") << 173 << QColor(180, 180, 0);
    QTest::newRow("yellow base 128") << 128 << QColor(0, 0, 0);
    QTest::newRow("yellow 129") << 129 << QColor(4, 4, 0);
    QTest::newRow("blue base 96") << 96 << QColor(0, 0, 0);
    QTest::newRow("blue 127") << 127 << QColor(0, 0, 248);
    QTest::newRow("background 0") << 0 << QColor(0, 0, 0);
    QTest::newRow("grid 2") << 2 << QColor(0, 128, 0);
    QTest::newRow("grey 8") << 8 << QColor(128, 128, 128);
    QTest::newRow("green 10") << 10 << QColor(0, 255, 0);
    QTest::newRow("yellow 11") << 11 << QColor(255, 255, 0);
    QTest::newRow("blue 12") << 12 << QColor(0, 0, 255);
    QTest::newRow("aqua 14") << 14 << QColor(0, 255, 255);
    QTest::newRow("white 15") << 15 << QColor(255, 255, 255);
}

void DisplayTest::setUpFillsThePalette()
{
    QFETCH(int, index);
    QFETCH(QColor, colour);
    TXImage3 xmg;
    SetUpScreen(xmg);
    const TPaletteEntry entry = xmg.Palette[index];
    QCOMPARE(QColor(entry.Red, entry.Green, entry.Blue), colour);
    QCOMPARE(entry.Reserved, std::uint8_t(0));
    for (const TXBitmap& bitmap : xmg.bmp)
        QCOMPARE(QColor(bitmap.colourTable[index]), colour);
}

void DisplayTest::setUpLeavesUnlistedEntries()
{
    TXImage3 xmg;
    const TPaletteEntry marker{1, 2, 3, 4};
    for (int index : {1, 3, 9, 13, 16, 95, 192, 255})
        xmg.Palette[index] = marker;
    SetUpScreen(xmg);
    for (int index : {1, 3, 9, 13, 16, 95, 192, 255})
        QVERIFY2(std::memcmp(&xmg.Palette[index], &marker, sizeof marker) == 0, qPrintable(QString::number(index)));
}

void DisplayTest::setUpShowsABlackPicture()
{
    TXImage3 blank;  // never drawn: the window's face, not stale memory
    QCOMPARE(blank.grab().toImage().pixel(4, 4), blank.palette().window().color().rgb());
    ShownScreen screen;
    const QImage shown = screen.xmg.grab().toImage();
    QCOMPARE(shown.size(), QSize(600, 200));
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 600; ++x)
            QCOMPARE(shown.pixel(x, y), qRgb(0, 0, 0));
}

void DisplayTest::drawShowsRowZeroAtTheBottom()
{
    ShownScreen screen;
    TXImage3& xmg = screen.xmg;
    xmg.rows()[0][3] = 191;
    xmg.rows()[199][597] = 2;
    xmg.rows()[40][300] = 15;
    xmg.Draw();
    QCOMPARE(ShownPixel(xmg, 3, 199), qRgb(252, 252, 0));
    QCOMPARE(ShownPixel(xmg, 597, 0), qRgb(0, 128, 0));
    QCOMPARE(ShownPixel(xmg, 300, 159), qRgb(255, 255, 255));
    QCOMPARE(ShownPixel(xmg, 3, 0), qRgb(0, 0, 0));
}

void DisplayTest::drawCopiesThePictureAtTheCall()
{
    ShownScreen screen;
    TXImage3& xmg = screen.xmg;
    xmg.rows()[10][10] = 15;
    QCOMPARE(ShownPixel(xmg, 10, 189), qRgb(0, 0, 0));
    xmg.Draw();
    xmg.rows()[10][10] = 0;
    QCOMPARE(ShownPixel(xmg, 10, 189), qRgb(255, 255, 255));
    xmg.Draw();
    QCOMPARE(ShownPixel(xmg, 10, 189), qRgb(0, 0, 0));
}

// Draw converts and repaints only what changed since the last Draw; whatever
// changed, pixels or colours, must reach the screen.
void DisplayTest::drawRepaintsWhatChanged()
{
    ShownScreen screen;
    TXImage3& xmg = screen.xmg;
    QVERIFY(QTest::qWaitForWindowExposed(&xmg));
    PaintRecorder paints;
    xmg.installEventFilter(&paints);

    // Rows that changed only in their last or first column, at both ends, and
    // in two pixels in the middle.
    struct Pixel { int x; int row; };
    const Pixel changed[] = {{599, 0}, {0, 199}, {0, 50}, {599, 50}, {300, 100}, {302, 100}};
    for (const Pixel p : changed)
        xmg.rows()[p.row][p.x] = 15;
    xmg.Draw();
    QTRY_VERIFY(!paints.painted.isEmpty());
    const QImage shown = Repainted(xmg);
    for (const Pixel p : changed)
        QCOMPARE(shown.pixel(p.x, 199 - p.row), qRgb(255, 255, 255));
    QCOMPARE(shown.pixel(301, 99), qRgb(0, 0, 0));

    // New colours alone change the whole picture.
    paints.painted = QRegion();
    xmg.Palette[0] = TPaletteEntry{0, 0, 255, 0};
    xmg.AssignPalette(0);
    xmg.Draw();
    QTRY_VERIFY((QRegion(xmg.rect()) - paints.painted).isEmpty());
    const QImage recoloured = Repainted(xmg);
    QCOMPARE(recoloured.pixel(301, 99), qRgb(255, 0, 0));
    QCOMPARE(recoloured.pixel(300, 99), qRgb(255, 255, 255));
}

// Every picture pixel becomes a scale by scale block of its own colour, even where
// bright meets black, in the repaint of what a Draw changed (the sweep's path)
// as in a whole one (grab()). display_tests_hidpi runs this with QT_SCALE_FACTOR=2.
void DisplayTest::drawScalesByWholePixels()
{
    ShownScreen screen;
    TXImage3& xmg = screen.xmg;
    const int scale = std::max(1, qEnvironmentVariableIntValue("QT_SCALE_FACTOR"));
    QCOMPARE(xmg.devicePixelRatioF(), qreal(scale));
    QVERIFY(QTest::qWaitForWindowExposed(&xmg));
    PaintRecorder paints;
    xmg.installEventFilter(&paints);
    for (int x = 100; x < 110; x += 2)
        xmg.rows()[50][x] = 191;
    xmg.Draw();
    QTRY_COMPARE(paints.painted, QRegion(100, 149, 9, 1));
    for (const QImage& shown : {Repainted(xmg), xmg.grab().toImage()}) {
        QCOMPARE(shown.size(), QSize(600, 200) * scale);
        for (int y = 145 * scale; y < 155 * scale; ++y)
            for (int x = 95 * scale; x < 115 * scale; ++x) {
                const bool dot = y / scale == 149 && x / scale >= 100 && x / scale < 110 && x / scale % 2 == 0;
                QCOMPARE(shown.pixel(x, y), dot ? qRgb(252, 252, 0) : qRgb(0, 0, 0));
            }
    }
}

// Each picture pixel gives the device pixels it covers its share of light, so
// on a screen scaled by a fraction every grid line carries the same light, and
// stays sharp: none spread thin over two device pixels. The screen lies as in
// the window, where at 125 % its left edge falls between device pixels (x 50
// is 62.5). The grid and then a few dots come in Draws of what changed, as in
// a sweep, and their repaints must leave what a screen drawn in one go shows.
// display_tests_hidpi runs this at 2, display_tests_fractional at 1.25.
void DisplayTest::drawGivesEveryGridLineTheSameLight()
{
    QWidget window;
    window.resize(700, 240);
    auto* xmg = new TXImage3(&window);
    SetUpScreen(*xmg);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    PaintRecorder paints;
    xmg->installEventFilter(&paints);
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 600; ++x)
            xmg->rows()[y][x] = monitor::OnGrid(x, y) ? 2 : 0;
    xmg->Draw();
    QTRY_VERIFY((QRegion(xmg->rect()) - paints.painted).isEmpty());
    paints.painted = QRegion();
    for (int x : {101, 233, 402})
        xmg->rows()[77][x] = 191;
    xmg->Draw();
    QTRY_VERIFY(!paints.painted.isEmpty());

    const qreal scale = window.devicePixelRatioF();
    const QRect screen(QPoint(qRound(50 * scale), qRound(20 * scale)),
                       QPoint(qRound(650 * scale) - 1, qRound(220 * scale) - 1));
    const QImage shown = dynamic_cast<QImage*>(window.backingStore()->paintDevice())
                             ->copy(screen)
                             .convertToFormat(QImage::Format_RGB32);
    TXImage3 whole;
    SetUpScreen(whole);
    std::copy_n(xmg->rows()[0], 600 * 200, whole.rows()[0]);
    whole.Draw();
    QVERIFY(shown == whole.grab().toImage().convertToFormat(QImage::Format_RGB32));

    // Green across a line, through a cell's middle, in device pixels of the
    // grid's colour; and its brightest pixel.
    for (const bool vertical : {true, false}) {
        for (const int line : vertical ? monitor::kGridColumns : monitor::kGridRows) {
            const int first = int((vertical ? line : 199 - line) * scale);
            const int along = int((vertical ? 180 : 285) * scale);
            qreal light = 0;
            int brightest = 0;
            for (int across = std::max(0, first - 1); across <= first + int(scale) + 1; ++across) {
                const QPoint device = vertical ? QPoint(across, along) : QPoint(along, across);
                const int green = shown.rect().contains(device) ? qGreen(shown.pixel(device)) : 0;
                light += green / 128.0;
                brightest = std::max(brightest, green);
            }
            const QString where = QStringLiteral("%1 %2: light %3, brightest %4")
                                      .arg(vertical ? "column" : "row").arg(line).arg(light).arg(brightest);
            QVERIFY2(std::abs(light - scale) < 0.03 * scale && brightest >= 0.6 * 128, qPrintable(where));
        }
    }
}

QTEST_MAIN(DisplayTest)
#include "display_test.moc"
