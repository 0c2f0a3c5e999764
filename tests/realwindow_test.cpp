// The built program in a real X window, used from outside as a person would:
// pointer clicks through xdotool, the window's pixels through ImageMagick's
// import, the close button's request through xclose. Runs under with-xvfb: a
// bare X server with no window manager, so the window is its client area.

#include "tests/monitorpicture.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QtTest>

#include <algorithm>
#include <functional>
#include <optional>
#include <set>

using namespace monitor;

namespace {

const QString kTitle = QStringLiteral("EKG Demo using QUOR");

// In the window's client area.
const QRect kRunButton(160, 256, 75, 25);
const QRect kStopButton(344, 256, 75, 25);
const QRect kSoundButton(512, 256, 75, 25);

const QRgb kDot = qRgb(252, 252, 0);

// Runs an X tool to its end; its standard output, or nothing when it failed.
std::optional<QByteArray> RunTool(const QString& program, const QStringList& arguments)
{
    QProcess tool;
    tool.start(program, arguments);
    if (!tool.waitForFinished(20000) || tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0) {
        qWarning() << program << arguments << "failed:" << tool.errorString() << tool.readAllStandardError();
        tool.kill();
        tool.waitForFinished();
        return std::nullopt;
    }
    return tool.readAllStandardOutput();
}

// What the screen shows during a sweep: the grid on top, the trace elsewhere.
struct TraceReading
{
    int litPixels = 0;
    std::set<int> levels;
    bool dotShown = false;
    QString fault;
};

TraceReading ReadTrace(const QImage& shot)
{
    TraceReading reading;
    for (int row = 0; row < kScreen.height(); ++row) {
        for (int x = 0; x < kScreen.width(); ++x) {
            const QRgb pixel = ScreenPixel(shot, x, row);
            const bool fits = OnGrid(x, row) ? pixel == kGridGreen : InYellowBand(pixel);
            if (!fits && reading.fault.isEmpty())
                reading.fault = DescribePixel(x, row, pixel);
            if (fits && !OnGrid(x, row) && pixel != kBlack) {
                ++reading.litPixels;
                reading.levels.insert(qRed(pixel) / 4);
                reading.dotShown = reading.dotShown || pixel == kDot;
            }
        }
    }
    return reading;
}

// A trail well under way: a long stretch of trace in many brightness levels.
bool TrailShown(const QImage& shot)
{
    const TraceReading reading = ReadTrace(shot);
    return reading.litPixels > 1500 && reading.levels.size() > 40;
}

// How wide a button's caption is written, from its first dark column to its
// last; unlike the button's shading, this does not change under the pointer.
int CaptionWidth(const QImage& shot, const QRect& button)
{
    const QRect inside = button.adjusted(3, 3, -3, -3);
    int first = inside.right() + 1;
    int last = inside.left() - 1;
    for (int y = inside.top(); y <= inside.bottom(); ++y) {
        for (int x = inside.left(); x <= inside.right(); ++x) {
            if (IsDark(shot.pixel(x, y))) {
                first = std::min(first, x);
                last = std::max(last, x);
            }
        }
    }
    return std::max(0, last - first + 1);
}

}  // namespace

class RealWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void runSweepsATrailInTheYellowBand();
    void runDrawsTheScaleBesideTheScreen();
    void stopLeavesExactlyTheGrid();
    void soundSwitchesDuringASweep();
    void closingDuringASweepEndsTheProgram();

private:
    bool click(const QRect& button);
    QImage shot();
    QImage shotWhen(const std::function<bool(const QImage&)>& wanted);
    bool trailComesUp();
    void closeAndExpectACleanExit();

    QProcess program_;
    QString window_;
    QPoint origin_;
};

void RealWindowTest::init()
{
    // The program opens ding.wav from its current folder, where the build puts it.
    program_.setWorkingDirectory(QFileInfo(QStringLiteral(EKGDEMO)).absolutePath());
    program_.start(QStringLiteral(EKGDEMO), {});
    QVERIFY2(program_.waitForStarted(), qPrintable(program_.errorString()));

    const auto found = RunTool(QStringLiteral("xdotool"),
                               {"search", "--sync", "--onlyvisible", "--name", QStringLiteral("^%1$").arg(kTitle)});
    QVERIFY2(found && !found->isEmpty(), "no window with the program's title");
    window_ = QString::fromLatin1(found->split('\n').first());

    // Clicks go to screen coordinates: the window's place plus the client position.
    const auto geometry = RunTool(QStringLiteral("xdotool"), {"getwindowgeometry", "--shell", window_});
    QVERIFY(geometry);
    for (const QByteArray& line : geometry->split('\n')) {
        if (line.startsWith("X="))
            origin_.setX(line.mid(2).toInt());
        if (line.startsWith("Y="))
            origin_.setY(line.mid(2).toInt());
    }

    // Mapped is not yet painted: wait for the first picture of the window.
    const QImage first = shotWhen([](const QImage& shot) { return CaptionWidth(shot, kRunButton) > 0; });
    QVERIFY2(!first.isNull(), "no picture of the window");
    QCOMPARE(first.size(), QSize(720, 344));
    QVERIFY2(CaptionWidth(first, kRunButton) > 0, "the window never painted itself");
}

void RealWindowTest::cleanup()
{
    if (program_.state() != QProcess::NotRunning)
        closeAndExpectACleanExit();
    if (QTest::currentTestFailed())
        qInfo().noquote() << "The program's standard error:\n" << program_.readAllStandardError();
}

bool RealWindowTest::click(const QRect& button)
{
    // The server takes the test device's motion and press in order, so the
    // click needs no wait for the move; xdotool's --sync would hang where the
    // pointer already is.
    const QPoint target = origin_ + button.center();
    return RunTool(QStringLiteral("xdotool"), {"mousemove", QString::number(target.x()),
                                               QString::number(target.y()), "click", "1"})
        .has_value();
}

// The window's client area as the X server shows it; a null image on failure.
QImage RealWindowTest::shot()
{
    const auto png = RunTool(QStringLiteral("import"), {"-window", window_, "png:-"});
    return png ? QImage::fromData(*png, "PNG").convertToFormat(QImage::Format_RGB32) : QImage();
}

// Takes shots until one shows what is wanted, for a few seconds at most;
// returns the last one.
QImage RealWindowTest::shotWhen(const std::function<bool(const QImage&)>& wanted)
{
    QElapsedTimer clock;
    clock.start();
    QImage last = shot();
    while (!last.isNull() && !wanted(last) && clock.elapsed() < 10000) {
        QTest::qWait(50);
        last = shot();
    }
    return last;
}

bool RealWindowTest::trailComesUp()
{
    return TrailShown(shotWhen(TrailShown));
}

// The close button's request, as a window manager sends it. One that comes
// while a new window is still settling is now and then lost, so it is
// repeated every second until the program ends, for ten seconds at most.
void RealWindowTest::closeAndExpectACleanExit()
{
    bool asked = false;
    bool exited = false;
    for (int attempt = 0; attempt < 10 && !exited; ++attempt) {
        asked = RunTool(QStringLiteral(XCLOSE), {window_}).has_value() || asked;
        exited = program_.waitForFinished(1000);
    }
    if (!exited) {
        program_.kill();
        program_.waitForFinished();
    }
    QVERIFY2(asked, "could not ask the window to close");
    QVERIFY2(exited, "the program went on after its window was closed");
    QCOMPARE(program_.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program_.exitCode(), 0);
}

void RealWindowTest::runSweepsATrailInTheYellowBand()
{
    QVERIFY(click(kRunButton));
    const QImage during = shotWhen(TrailShown);
    QVERIFY(!during.isNull());
    const TraceReading reading = ReadTrace(during);
    QVERIFY2(reading.fault.isEmpty(), qPrintable(reading.fault));
    QVERIFY2(TrailShown(during), qPrintable(QStringLiteral("%1 lit pixels in %2 levels")
                                                .arg(reading.litPixels)
                                                .arg(reading.levels.size())));
    QVERIFY(reading.dotShown);

    // Later shots still fit, and the trace has moved on.
    QTest::qWait(300);
    const QImage later = shot();
    const TraceReading laterReading = ReadTrace(later);
    QVERIFY2(laterReading.fault.isEmpty(), qPrintable(laterReading.fault));
    QVERIFY(later.copy(kScreen) != during.copy(kScreen));
}

void RealWindowTest::runDrawsTheScaleBesideTheScreen()
{
    const QImage before = shot();
    QVERIFY(!before.isNull());
    const QRect besideTheScreen(0, 0, kScreen.left(), kScreen.bottom() + 20);
    for (int y = besideTheScreen.top(); y <= besideTheScreen.bottom(); ++y)
        for (int x = besideTheScreen.left(); x <= besideTheScreen.right(); ++x)
            QVERIFY2(before.pixel(x, y) == before.pixel(1, 1), "a scale before the first Run");

    QVERIFY(click(kRunButton));
    const QImage during = shotWhen([](const QImage& shot) { return ScaleFault(shot).isEmpty(); });
    QVERIFY(!during.isNull());
    const QString fault = ScaleFault(during);
    QVERIFY2(fault.isEmpty(), qPrintable(fault));
}

void RealWindowTest::stopLeavesExactlyTheGrid()
{
    QVERIFY(click(kRunButton));
    QVERIFY2(trailComesUp(), "no trail on the screen");
    QVERIFY(click(kStopButton));
    const QImage after = shotWhen([](const QImage& shot) { return GridFault(shot).isEmpty(); });
    QVERIFY(!after.isNull());
    QString fault = GridFault(after);
    QVERIFY2(fault.isEmpty(), qPrintable(fault));

    // The sweep has ended, not paused: nothing comes back.
    QTest::qWait(500);
    const QImage later = shot();
    fault = GridFault(later);
    QVERIFY2(fault.isEmpty(), qPrintable(fault));
    fault = ScaleFault(later);
    QVERIFY2(fault.isEmpty(), qPrintable(fault));
}

// The caption names the next action: "Sound ON" while off, the wider
// "Sound OFF" while on.
void RealWindowTest::soundSwitchesDuringASweep()
{
    QVERIFY(click(kRunButton));
    QVERIFY2(trailComesUp(), "no trail on the screen");
    const int offWidth = CaptionWidth(shot(), kSoundButton);
    QVERIFY(offWidth > 0);
    auto widthChangedFrom = [](int width) {
        return [width](const QImage& shot) { return CaptionWidth(shot, kSoundButton) != width; };
    };

    QVERIFY(click(kSoundButton));
    const QImage soundOn = shotWhen(widthChangedFrom(offWidth));
    QVERIFY(!soundOn.isNull());
    const int onWidth = CaptionWidth(soundOn, kSoundButton);
    QVERIFY2(onWidth > offWidth, "the caption did not change to \"Sound OFF\"");

    QVERIFY(click(kSoundButton));
    const QImage soundOff = shotWhen(widthChangedFrom(onWidth));
    QCOMPARE(CaptionWidth(soundOff, kSoundButton), offWidth);

    // The sweep went on through both clicks.
    QVERIFY(program_.state() == QProcess::Running);
    const TraceReading reading = ReadTrace(soundOff);
    QVERIFY2(reading.fault.isEmpty(), qPrintable(reading.fault));
    QVERIFY(TrailShown(soundOff));

    QVERIFY(click(kStopButton));
    const QString fault = GridFault(shotWhen([](const QImage& shot) { return GridFault(shot).isEmpty(); }));
    QVERIFY2(fault.isEmpty(), qPrintable(fault));
}

void RealWindowTest::closingDuringASweepEndsTheProgram()
{
    QVERIFY(click(kRunButton));
    QVERIFY2(trailComesUp(), "no trail on the screen");
    closeAndExpectACleanExit();
}

QTEST_GUILESS_MAIN(RealWindowTest)
#include "realwindow_test.moc"
