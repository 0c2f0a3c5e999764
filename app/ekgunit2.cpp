#include "app/ekgunit2.h"

#include "app/tapplication.h"
#include "app/tmediaplayer.h"
#include "display/screensetup.h"
#include "display/ximage3.h"
#include "ecg/signal.h"

#include <QAccessibleWidget>
#include <QCloseEvent>
#include <QIcon>
#include <QPainter>
#include <QPushButton>
#include <QShortcut>
#include <QWindow>

#include <algorithm>
#include <array>

namespace {

// Run state shared by the window's handlers, for the whole run of the program.
ecg::RunState RunState;
bool SoundFlag = false;
std::int32_t Signal[ecg::kSignalSamples] = {};
// The program's one random source: the synthesis draws from it first, then
// every sweep its start offset.
ecg::RandomFn Random = ecg::DefaultRandom();

const QString kCaption = QStringLiteral(EKGDEMO_TITLE);
const QString kSoundOnCaption = QStringLiteral("Sound &ON");
const QString kSoundOffCaption = QStringLiteral("Sound &OFF");

// What a screen reader says of the screen, of the monitor's state and of the
// sound switch.
const QString kScreenName = QStringLiteral("ECG monitor");
const QString kSweepingDescription = QStringLiteral("Sweeping: the ECG trace runs across the grid, on a scale from -0.5 to +2.0");
const QString kStoppedDescription = QStringLiteral("Stopped, on a scale from -0.5 to +2.0");
const QString kMonitorSweeping = QStringLiteral("The monitor is sweeping");
const QString kMonitorStopped = QStringLiteral("The monitor is stopped");
const QString kSoundSwitchName = QStringLiteral("Sound");

// The window's stored size is its outer size, frame and title bar included.
constexpr QPoint kOuterPosition(192, 124);
constexpr QSize kOuterSize(720, 344);

// The scale beside the screen: a tick every 10 rows from the screen's top row
// down, tick k at window y kScreenTop + 10k beside row 199 - 10k, the last just
// below the screen; every fourth is a major tick, 40 rows being 0.5 on the scale.
constexpr int kAxisX = 40;
constexpr int kMajorTickLeft = 30;
constexpr int kMinorTickLeft = 34;
constexpr int kTickEnd = 41;
constexpr int kRowsPerMinorTick = 10;
constexpr int kRowsPerMajorTick = 40;
constexpr int kScaleBottom = kScreenTop + ecg::kScreenHeight;

// A label at each major tick, from the top, hanging by the top-left corner of
// its text five pixels above its tick.
struct ScaleLabel
{
    int x;
    const char* text;
};
constexpr std::array<ScaleLabel, 6> kScaleLabels{{
    {6, "+2.0"},
    {6, "+1.5"},
    {6, "+1.0"},
    {6, "+0.5"},
    {12, "0.0"},
    {10, "-0.5"},
}};
constexpr int kLabelAboveTick = 5;

// The window's font at the largest pixel size, up to its own, at which every
// label leaves a clear column before the major ticks. Fonts differ in width
// from one desktop to another, so the fit is measured, not assumed.
QFont ScaleFont(QFont font)
{
    for (int size = font.pixelSize(); size > 1; --size) {
        font.setPixelSize(size);
        const QFontMetrics metrics(font);
        const auto fits = [&metrics](const ScaleLabel& label) {
            return label.x + metrics.boundingRect(QString::fromLatin1(label.text)).right() < kMajorTickLeft - 1;
        };
        if (std::all_of(kScaleLabels.begin(), kScaleLabels.end(), fits))
            break;
    }
    return font;
}

// To a screen reader the sound button is a check box named "Sound", checked
// while the sound is on: a reader says the state as it switches, and Orca does
// so for a check box only. The caption the eye sees names the next action.
class SoundSwitchAccessible : public QAccessibleWidget
{
public:
    explicit SoundSwitchAccessible(QWidget* button)
        : QAccessibleWidget(button, QAccessible::CheckBox)
    {
    }

    QString text(QAccessible::Text t) const override
    {
        return t == QAccessible::Name ? kSoundSwitchName : QAccessibleWidget::text(t);
    }

    QAccessible::State state() const override
    {
        QAccessible::State switchState = QAccessibleWidget::state();
        switchState.checkable = true;
        switchState.checked = SoundFlag;
        return switchState;
    }

    QStringList actionNames() const override
    {
        return QStringList{toggleAction()} + QAccessibleWidget::actionNames();
    }

    // Pressed as its access key presses it, so the click waits, as a key's
    // does, for a running sweep's message processing.
    void doAction(const QString& action) override
    {
        if (action == toggleAction())
            button()->animateClick();
        else
            QAccessibleWidget::doAction(action);
    }

    QStringList keyBindingsForAction(const QString& action) const override
    {
        if (action != toggleAction())
            return QAccessibleWidget::keyBindingsForAction(action);
        return {QKeySequence::mnemonic(button()->text()).toString(QKeySequence::NativeText)};
    }

private:
    QPushButton* button() const { return static_cast<QPushButton*>(widget()); }
};

// Screen readers announce the window as a window (a bare widget would be a
// mere filler), the screen as a chart of the signal and the sound button as
// a switch. Qt makes a button's accessible object as soon as its caption is
// set, so the sound button is told by its name, which it gets first.
QAccessibleInterface* AccessibleFor(const QString& className, QObject* object)
{
    if (className == QLatin1String("TForm1"))
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Window);
    if (className == QLatin1String("TXImage3"))
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Chart);
    if (className == QLatin1String("QPushButton") && object->objectName() == QLatin1String("Button3"))
        return new SoundSwitchAccessible(static_cast<QWidget*>(object));
    return nullptr;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& caption, int left)
{
    auto* button = new QPushButton(parent);
    button->setObjectName(QLatin1String(name));
    button->setText(caption);
    button->setGeometry(left, 256, 75, 25);
    // Enter, like Space, presses the focused button; Run and Stop hand the
    // focus to each other, so Enter alone starts and stops the sweep.
    button->setAutoDefault(true);
    return button;
}

}  // namespace

TForm1::TForm1(QWidget* parent)
    : QWidget(parent)
{
    [[maybe_unused]] static const bool accessible = (QAccessible::installFactory(AccessibleFor), true);
    setWindowTitle(kCaption);
    setWindowIcon(TApplication::ProgramIcon());
    move(kOuterPosition);
    resize(kOuterSize);

    // The window's background is the platform's button face.
    QPalette colours = palette();
    colours.setColor(QPalette::Window, colours.color(QPalette::Button));
    setPalette(colours);
    setAutoFillBackground(true);

    // Liberation Sans has digits narrow enough for the scale's labels to end
    // clear of the ticks at 11 pixels. Where it is missing the desktop's
    // sans-serif stands in, and the labels are fitted to it.
    QFont sansSerif(QStringLiteral("Liberation Sans"));
    sansSerif.setStyleHint(QFont::SansSerif);
    sansSerif.setPixelSize(11);
    setFont(sansSerif);

    xmg = new TXImage3(this);
    // Where the stored layout has the screen; FormCreate's set-up moves it
    // to its place and gives it its size.
    xmg->setGeometry(128, 56, 105, 105);
    xmg->setAccessibleName(kScreenName);
    xmg->setAccessibleDescription(kStoppedDescription);
    Button1 = MakeButton(this, "Button1", QStringLiteral("&Run"), 160);
    Button2 = MakeButton(this, "Button2", QStringLiteral("&Stop"), 344);
    Button3 = MakeButton(this, "Button3", kSoundOnCaption, 512);
    TellMonitorState(kMonitorStopped);
    MediaPlayer1 = new TMediaPlayer(this);
    setTabOrder(Button1, Button2);
    setTabOrder(Button2, Button3);

    connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
    connect(Button3, &QPushButton::clicked, this, &TForm1::Button3Click);
    // The desktop's usual quit key closes the window as its close button does.
    new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this, this, &QWidget::close);

    // A new window takes clicks; one that has closed takes none.
    RunState.closed = false;
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

// The caption names what the next click does; to a screen reader the switch
// tells the state.
void TForm1::Button3Click()
{
    SoundFlag = !SoundFlag;
    if (!SoundFlag)
        MediaPlayer1->Stop();
    Button3->setText(SoundFlag ? kSoundOffCaption : kSoundOnCaption);
    QAccessible::State switched;
    switched.checked = true;
    QAccessibleStateChangeEvent switchedEvent(Button3, switched);
    QAccessible::updateAccessibility(&switchedEvent);
    // A screen reader speaks the changes of the focused control only: the
    // access key, like a click, leaves the focus on the switch, whose new
    // state the reader then says in full.
    Button3->setFocus();
}

// Closing also ends every sweep and fade-out, and a click that was already
// queued behind the close starts none, or the program would go on sweeping
// with no window.
void TForm1::FormClose()
{
    SoundFlag = false;
    RunState.closed = true;
}

// Run: sweeps until Stop, handling the window's events every fourth sample.
void TForm1::Button1Click()
{
    ecg::RunClicked(*this, RunState, Signal, Random);
}

// Stop: fades the trace out, sweeping or not. Clicked during a sweep, it runs
// inside the sweep's event handling, and the sweep ends once it returns.
void TForm1::Button2Click()
{
    ecg::StopClicked(*this, RunState);
}

void TForm1::paintEvent(QPaintEvent*)
{
    if (!scaleShown_)
        return;
    QPainter painter(this);
    DrawScale(painter);
}

// The scale beside the screen in the window's text colour, its labels in the
// window's font made to fit; text without background. The axis runs from y
// 220 up to y 21 and each tick ends at x 40, a pen's line without its end
// point. They are filled as rectangles blended at their edges, so that at a
// fractional scale each gives the device pixels it covers its share: every
// tick as thick as the others, where a pen's line would be one device pixel
// wide here and two there.
void TForm1::DrawScale(QPainter& painter) const
{
    const QColor ink = palette().color(QPalette::WindowText);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(QRectF(kAxisX, kScreenTop + 1, 1, kScaleBottom - kScreenTop), ink);
    for (int y = kScreenTop; y <= kScaleBottom; y += kRowsPerMajorTick)
        painter.fillRect(QRectF(kMajorTickLeft, y, kTickEnd - kMajorTickLeft, 1), ink);
    for (int y = kScreenTop; y < kScaleBottom; y += kRowsPerMinorTick)
        painter.fillRect(QRectF(kMinorTickLeft, y, kTickEnd - kMinorTickLeft, 1), ink);

    painter.setFont(ScaleFont(font()));
    const int ascent = painter.fontMetrics().ascent();
    int tickY = kScreenTop;
    for (const ScaleLabel& label : kScaleLabels) {
        painter.drawText(label.x, tickY - kLabelAboveTick + ascent, QString::fromLatin1(label.text));
        tickY += kRowsPerMajorTick;
    }
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

std::uint8_t* const* TForm1::ScreenRows()
{
    return xmg->rows();
}

void TForm1::ShowPicture()
{
    xmg->Draw();
}

void TForm1::ProcessMessages()
{
    sweepEvents_.ProcessMessages();
}

std::chrono::steady_clock::time_point TForm1::Now() const
{
    return std::chrono::steady_clock::now();
}

void TForm1::SleepUntil(std::chrono::steady_clock::time_point deadline)
{
    sweepEvents_.SleepUntil(deadline);
}

void TForm1::PlayBeat()
{
    MediaPlayer1->Play();
}

bool TForm1::SoundOn() const
{
    return SoundFlag;
}

void TForm1::SweepStarting()
{
    TellMonitorState(kMonitorSweeping);
    Button2->setFocus();
    scaleShown_ = true;
    update();
    xmg->setAccessibleDescription(kSweepingDescription);
}

void TForm1::SweepStopping()
{
    TellMonitorState(kMonitorStopped);
    xmg->setAccessibleDescription(kStoppedDescription);
}

// A screen reader speaks the control that gets the focus, not the screen: Run
// and Stop, which hand the focus to each other, carry the monitor's state.
void TForm1::TellMonitorState(const QString& state)
{
    Button1->setAccessibleDescription(state);
    Button2->setAccessibleDescription(state);
}

void TForm1::StopDone()
{
    Button1->setFocus();
}
