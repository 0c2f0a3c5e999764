#include "app/ekgunit2.h"

#include "app/tmediaplayer.h"
#include "display/screensetup.h"
#include "display/ximage3.h"
#include "ecg/signal.h"

#include <QCloseEvent>
#include <QIcon>
#include <QPushButton>
#include <QWindow>

namespace {

// Run state shared by the window's handlers, for the whole run of the program.
bool SoundFlag = false;
std::int32_t Signal[ecg::kSignalSamples] = {};
// The program's one random source: the synthesis draws from it first, then
// every sweep its start offset.
ecg::RandomFn Random = ecg::DefaultRandom();

const QString kCaption = QStringLiteral("EKG Demo using QUOR");
const QString kSoundOnCaption = QStringLiteral("Sound &ON");
const QString kSoundOffCaption = QStringLiteral("Sound &OFF");

// The window's stored size is its outer size, frame and title bar included.
constexpr QPoint kOuterPosition(192, 124);
constexpr QSize kOuterSize(720, 344);

QPushButton* MakeButton(QWidget* parent, const QString& caption, int left)
{
    auto* button = new QPushButton(caption, parent);
    button->setGeometry(left, 256, 75, 25);
    return button;
}

}  // namespace

TForm1::TForm1(QWidget* parent)
    : QWidget(parent)
{
    setWindowTitle(kCaption);
    setWindowIcon(QIcon(QStringLiteral(":/beta.xpm")));
    move(kOuterPosition);
    resize(kOuterSize);

    // The window's background is the platform's button face.
    QPalette colours = palette();
    colours.setColor(QPalette::Window, colours.color(QPalette::Button));
    setPalette(colours);
    setAutoFillBackground(true);

    QFont sansSerif(QStringLiteral("Sans Serif"));
    sansSerif.setStyleHint(QFont::SansSerif);
    sansSerif.setPixelSize(11);
    setFont(sansSerif);

    xmg = new TXImage3(this);
    xmg->setGeometry(128, 56, 105, 105);
    Button1 = MakeButton(this, QStringLiteral("&Run"), 160);
    Button2 = MakeButton(this, QStringLiteral("&Stop"), 344);
    Button3 = MakeButton(this, kSoundOnCaption, 512);
    MediaPlayer1 = new TMediaPlayer(this);
    setTabOrder(Button1, Button2);
    setTabOrder(Button2, Button3);

    connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
    connect(Button3, &QPushButton::clicked, this, &TForm1::Button3Click);

    FormCreate();
}

void TForm1::FormCreate()
{
    SetUpScreen(*xmg);
    ecg::SynthesizeSignal(Signal, Random);

    SoundFlag = false;
    MediaPlayer1->FileName = QStringLiteral("ding.wav");
    MediaPlayer1->DeviceType = TMediaPlayer::dtWaveAudio;
    MediaPlayer1->Open();
}

void TForm1::Button3Click()
{
}

void TForm1::FormClose()
{
}

void TForm1::Button1Click()
{
}

void TForm1::Button2Click()
{
}

void TForm1::closeEvent(QCloseEvent* event)
{
    FormClose();
    event->accept();
}

void TForm1::showEvent(QShowEvent*)
{
    FitOuterSize();
}

void TForm1::moveEvent(QMoveEvent*)
{
    FitOuterSize();
}

// The frame is known only once the window system has framed the window, which
// on a desktop happens after it is shown; then the client area gives way to it.
void TForm1::FitOuterSize()
{
    if (outerSizeFitted_ || !windowHandle())
        return;
    const QMargins frame = windowHandle()->frameMargins();
    if (frame.isNull())
        return;
    outerSizeFitted_ = true;
    resize(kOuterSize.shrunkBy(frame));
}
