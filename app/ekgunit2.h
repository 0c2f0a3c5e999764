#pragma once

#include "app/sweepevents.h"
#include "ecg/sweep.h"

#include <QWidget>

class QPushButton;
class TMediaPlayer;
class TXImage3;

// The monitor's one window: the screen, Run, Stop and the sound switch.
//
// Run sweeps the signal across the screen inside its click handler and lets
// the window process its events every fourth sample, so Stop, Sound and even
// another Run are handled nested inside a running sweep.
class TForm1 : public QWidget, private ecg::SweepHost
{
    Q_OBJECT

public:
    explicit TForm1(QWidget* parent = nullptr);

    TXImage3* xmg = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;
    QPushButton* Button3 = nullptr;
    TMediaPlayer* MediaPlayer1 = nullptr;

    void FormCreate();
    void Button3Click();
    void FormClose();
    void Button1Click();
    void Button2Click();

protected:
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    // What the sweep needs of the window.
    std::uint8_t* const* ScreenRows() override;
    void ShowPicture() override;
    void ProcessMessages() override;
    std::chrono::steady_clock::time_point Now() const override;
    void SleepUntil(std::chrono::steady_clock::time_point deadline) override;
    void PlayBeat() override;
    bool SoundOn() const override;
    void SweepStarting() override;
    void SweepStopping() override;
    void StopDone() override;

    void TellMonitorState(const QString& state);
    void DrawScale(QPainter& painter) const;
    void FitOuterSize();

    SweepEvents sweepEvents_;
    bool scaleShown_ = false;
    bool outerSizeFitted_ = false;
};
