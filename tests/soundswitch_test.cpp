// The sound switch in the real window: its captions and keys, and the beat
// cue's plays, counted at the player, with the sound on and off. The tests
// run where ding.wav cannot be opened and no sound server runs, so they also
// show that the switch switches and the sweep cues its beats, silently.

#include "app/ekgunit2.h"
#include "app/tmediaplayer.h"

#include <QPushButton>
#include <QtTest>

class SoundSwitchTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startsWithTheSoundOff();
    void captionNamesTheNextClick();
    void accessKeySwitchesBothWays();
    void playsOnlyWhileTheSoundIsOn();
    void switchingDuringASweepTakesEffectAtOnce();

private:
    // Clicks Run and, after the given time, Stop.
    void runFor(int milliseconds);
    // Clicks Run and, once the player has had that many plays, Stop.
    void runUntilPlays(int plays);

    TForm1* form_ = nullptr;
    QSignalSpy* plays_ = nullptr;
};

void SoundSwitchTest::init()
{
    form_ = new TForm1;
    plays_ = new QSignalSpy(form_->MediaPlayer1, &TMediaPlayer::played);
    form_->show();
    QVERIFY(QTest::qWaitForWindowExposed(form_));
}

void SoundSwitchTest::cleanup()
{
    delete plays_;
    delete form_;
}

void SoundSwitchTest::runFor(int milliseconds)
{
    QTimer::singleShot(milliseconds, form_->Button2, [this] { QTest::mouseClick(form_->Button2, Qt::LeftButton); });
    QTest::mouseClick(form_->Button1, Qt::LeftButton);
}

// A beat comes every 70 to 87 samples, under half a second; Stop comes
// anyway after ten seconds, in case the plays never do.
void SoundSwitchTest::runUntilPlays(int plays)
{
    QElapsedTimer clock;
    clock.start();
    QTimer check;
    connect(&check, &QTimer::timeout, form_->Button2, [&] {
        if (plays_->count() >= plays || clock.elapsed() > 10000) {
            check.stop();
            QTest::mouseClick(form_->Button2, Qt::LeftButton);
        }
    });
    check.start(10);
    QTest::mouseClick(form_->Button1, Qt::LeftButton);
}

void SoundSwitchTest::startsWithTheSoundOff()
{
    QCOMPARE(form_->Button3->text(), QStringLiteral("Sound &ON"));
    runFor(1000);
    QCOMPARE(plays_->count(), 0);
}

void SoundSwitchTest::captionNamesTheNextClick()
{
    for (const char* caption : {"Sound &OFF", "Sound &ON", "Sound &OFF"}) {
        QTest::mouseClick(form_->Button3, Qt::LeftButton);
        QCOMPARE(form_->Button3->text(), QString::fromLatin1(caption));
    }
}

// Both captions mark the O of ON and OFF, so Alt+O switches either way.
void SoundSwitchTest::accessKeySwitchesBothWays()
{
    QTest::keyClick(form_, Qt::Key_O, Qt::AltModifier);
    QTRY_COMPARE(form_->Button3->text(), QStringLiteral("Sound &OFF"));
    QTest::keyClick(form_, Qt::Key_O, Qt::AltModifier);
    QTRY_COMPARE(form_->Button3->text(), QStringLiteral("Sound &ON"));
}

void SoundSwitchTest::playsOnlyWhileTheSoundIsOn()
{
    QTest::mouseClick(form_->Button3, Qt::LeftButton);
    runUntilPlays(2);
    QVERIFY2(plays_->count() >= 2, qPrintable(QString::number(plays_->count())));

    QTest::mouseClick(form_->Button3, Qt::LeftButton);
    plays_->clear();
    runFor(1000);
    QCOMPARE(plays_->count(), 0);
}

void SoundSwitchTest::switchingDuringASweepTakesEffectAtOnce()
{
    int playsWhileOff = -1;
    QTimer::singleShot(1000, form_, [this, &playsWhileOff] {
        playsWhileOff = plays_->count();
        QTest::mouseClick(form_->Button3, Qt::LeftButton);
    });
    runUntilPlays(2);
    QCOMPARE(playsWhileOff, 0);
    QVERIFY(plays_->count() >= 2);
}

QTEST_MAIN(SoundSwitchTest)
#include "soundswitch_test.moc"
