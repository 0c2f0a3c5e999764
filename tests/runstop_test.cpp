// Run and Stop in the real window: the sweep on the screen, the fade-out that
// leaves the grid, the scale beside the screen, nesting and closing.

#include "app/ekgunit2.h"
#include "tests/monitorpicture.h"

#include <QPushButton>
#include <QtTest>

using namespace monitor;

namespace {

void ClickLater(int milliseconds, QPushButton* button)
{
    QTimer::singleShot(milliseconds, button, [button] { QTest::mouseClick(button, Qt::LeftButton); });
}

}  // namespace

class RunStopTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void noScaleBeforeTheFirstRun();
    void runThenStopLeavesExactlyTheGrid();
    void traceLiesInTheYellowBand();
    void focusMovesToStopAndBack();
    void scaleTicksSitWhereTheScreenRowsAre();
    void scaleSurvivesRepaints();
    void stopWhileIdleLeavesTheGrid();
    void closingTheWindowEndsTheSweep();

private:
    QColor face() const { return form_->palette().color(QPalette::Window); }
    void runUntilStopAfter(int milliseconds);
    void verifyExactlyTheGrid();

    TForm1* form_ = nullptr;
};

void RunStopTest::init()
{
    form_ = new TForm1;
    form_->show();
    QVERIFY(QTest::qWaitForWindowExposed(form_));
}

void RunStopTest::cleanup()
{
    delete form_;
    form_ = nullptr;
}

// Clicks Run, which sweeps until the Stop click comes and has faded the trace out.
void RunStopTest::runUntilStopAfter(int milliseconds)
{
    ClickLater(milliseconds, form_->Button2);
    QTest::mouseClick(form_->Button1, Qt::LeftButton);
}

void RunStopTest::verifyExactlyTheGrid()
{
    const QString fault = GridFault(form_->grab().toImage());
    QVERIFY2(fault.isEmpty(), qPrintable(fault));
}

void RunStopTest::noScaleBeforeTheFirstRun()
{
    const QImage window = form_->grab().toImage();
    for (int y = 0; y < 240; ++y)
        for (int x = 0; x < 50; ++x)
            QCOMPARE(window.pixelColor(x, y), face());
}

// A second Run starts a sweep inside the first one's event handling; it
// returns first, then the first one, both after the one Stop.
void RunStopTest::runThenStopLeavesExactlyTheGrid()
{
    int runsReturned = 0;
    QTimer::singleShot(300, form_, [&] {
        QTest::mouseClick(form_->Button1, Qt::LeftButton);
        ++runsReturned;
    });
    runUntilStopAfter(700);
    ++runsReturned;
    QCOMPARE(runsReturned, 2);
    verifyExactlyTheGrid();
}

void RunStopTest::traceLiesInTheYellowBand()
{
    int yellow = 0;
    bool onlyBandColours = true;
    QTimer::singleShot(1000, form_, [&] {
        const QImage window = form_->grab().toImage();
        for (int row = 0; row < 200; ++row) {
            for (int x = 0; x < 600; ++x) {
                const QRgb pixel = ScreenPixel(window, x, row);
                if (OnGrid(x, row) ? pixel == kGridGreen : pixel == kBlack)
                    continue;
                onlyBandColours = onlyBandColours && !OnGrid(x, row) && InYellowBand(pixel);
                ++yellow;
            }
        }
    });
    runUntilStopAfter(1100);
    QVERIFY(onlyBandColours);
    QVERIFY2(yellow > 200, qPrintable(QString::number(yellow)));
}

void RunStopTest::focusMovesToStopAndBack()
{
    QWidget* focusDuringSweep = nullptr;
    QTimer::singleShot(300, form_, [&] { focusDuringSweep = QApplication::focusWidget(); });
    runUntilStopAfter(400);
    QCOMPARE(focusDuringSweep, form_->Button2);
    QCOMPARE(QApplication::focusWidget(), form_->Button1);
}

// Ticks at y 20 + 40k mark the rows 199, 159, ...; a line's last point is
// never painted, so the axis starts at y 220 and stops short of y 20.
void RunStopTest::scaleTicksSitWhereTheScreenRowsAre()
{
    runUntilStopAfter(100);
    const QString fault = ScaleFault(form_->grab().toImage());
    QVERIFY2(fault.isEmpty(), qPrintable(fault));
}

void RunStopTest::scaleSurvivesRepaints()
{
    runUntilStopAfter(100);
    form_->hide();
    form_->show();
    QVERIFY(QTest::qWaitForWindowExposed(form_));
    form_->repaint();
    const QString fault = ScaleFault(form_->grab().toImage());
    QVERIFY2(fault.isEmpty(), qPrintable(fault));
}

// The fade-out is seen: its 64 passes last a sample period each, 320 ms at
// least, however busy the machine.
void RunStopTest::stopWhileIdleLeavesTheGrid()
{
    QElapsedTimer fadeOut;
    fadeOut.start();
    QTest::mouseClick(form_->Button2, Qt::LeftButton);
    QVERIFY2(fadeOut.elapsed() >= 320, qPrintable(QString::number(fadeOut.elapsed())));
    verifyExactlyTheGrid();
    QCOMPARE(QApplication::focusWidget(), form_->Button1);
}

// The close comes as a window system's does, queued, with a Run click queued
// right behind it that reaches the button all the same. A sweep that went on
// would never return: no click can stop a closed window's sweep (ctest's
// timeout reports it).
void RunStopTest::closingTheWindowEndsTheSweep()
{
    QTimer::singleShot(500, form_, [this] {
        QMetaObject::invokeMethod(form_, &QWidget::close, Qt::QueuedConnection);
        QMetaObject::invokeMethod(form_->Button1, [this] { QTest::mouseClick(form_->Button1, Qt::LeftButton); },
                                  Qt::QueuedConnection);
    });
    QSignalSpy runClicks(form_->Button1, &QPushButton::clicked);
    QTest::mouseClick(form_->Button1, Qt::LeftButton);
    QVERIFY(!form_->isVisible());
    QCOMPARE(runClicks.count(), 2);
}

QTEST_MAIN(RunStopTest)
#include "runstop_test.moc"
