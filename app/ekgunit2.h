#pragma once

#include <QWidget>

class QPushButton;
class TMediaPlayer;
class TXImage3;

// The monitor's one window: the screen, Run, Stop and the sound switch.
class TForm1 : public QWidget
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
    void closeEvent(QCloseEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void FitOuterSize();

    bool outerSizeFitted_ = false;
};
