// The main window: layout, captions, keys, icon, the screen after start-up, the
// scale, and the application's guard against exceptions escaping event handlers.

#include "app/ekgunit2.h"
#include "app/tapplication.h"
#include "app/tmediaplayer.h"
#include "display/ximage3.h"

#include <QAccessible>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QtGui/private/qguiapplication_p.h>
#include <QtGui/qpa/qplatformaccessibility.h>
#include <QtGui/qpa/qplatformintegration.h>
#include <QtTest>

#include <stdexcept>
#include <vector>

namespace {

// The accessibility events the window sends, as a screen reader's bridge gets
// them; of the state changes, those of a switch's checked state.
std::vector<std::pair<QObject*, QAccessible::Event>> AccessibilityEvents;

void RecordAccessibilityEvent(QAccessibleEvent* event)
{
    if (event->type() != QAccessible::StateChanged || static_cast<QAccessibleStateChangeEvent*>(event)->changedStates().checked)
        AccessibilityEvents.emplace_back(event->object(), event->type());
}

QString AccessibleText(QObject* object, QAccessible::Text text)
{
    return QAccessible::queryAccessibleInterface(object)->text(text);
}

// An object whose event handler fails, to reach the application's guard.
class FailingHandler : public QObject
{
public:
    int calls = 0;

protected:
    void customEvent(QEvent*) override
    {
        ++calls;
        throw std::runtime_error("the handler failed");
    }
};

}  // namespace

class WindowTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void windowGeometryAndCaption();
    void outerSizeIncludesTheFrame();
    void buttons_data();
    void buttons();
    void mediaPlayerOpensTheDing();
    void tabOrder();
    void accessKeys_data();
    void accessKeys();
    void enterPressesTheFocusedButton_data();
    void enterPressesTheFocusedButton();
    void icon();
    void font();
    void screenAfterStartUp();
    void scaleLabelsEndClearOfTheTicks();
    void scaleTicksEvenlyThick();
    void screenReaderNamesAndStates();
    void ctrlQClosesTheWindow();
    void exceptionInAHandlerIsShownAndTheProgramGoesOn();

private:
    TForm1* form_ = nullptr;
};

void WindowTest::init()
{
    // Qt sends accessibility events only while a reader's bridge is active, and
    // offscreen has none: the test activates the platform's own, through Qt's
    // private API, as Qt's own accessibility tests do. Active from the start, as
    // with a reader running, Qt makes each button's accessible object as soon
    // as its caption is set.
    QGuiApplicationPrivate::platformIntegration()->accessibility()->setActive(true);
    form_ = new TForm1;
    form_->show();
    QVERIFY(QTest::qWaitForWindowExposed(form_));
}

void WindowTest::cleanup()
{
    delete form_;
    form_ = nullptr;
}

void WindowTest::windowGeometryAndCaption()
{
    QCOMPARE(form_->windowTitle(), QStringLiteral("EKG Demo using QUOR"));
    QCOMPARE(form_->frameGeometry(), QRect(192, 124, 720, 344));
}

// Run without the offscreen platform's config file, whose fake frame has
// margins: the outer size still comes out as stored.
void WindowTest::outerSizeIncludesTheFrame()
{
    const QMargins frame = form_->windowHandle()->frameMargins();
    if (frame.isNull())
        QSKIP("needs a platform that frames its windows");
    QTRY_COMPARE(form_->frameGeometry().size(), QSize(720, 344));
    QCOMPARE(form_->frameGeometry().topLeft(), QPoint(192, 124));
    QCOMPARE(form_->size(), QSize(720, 344).shrunkBy(frame));
}

void WindowTest::buttons_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("geometry");
    QTest::newRow("Run") << 1 << QStringLiteral("&Run") << QRect(160, 256, 75, 25);
    QTest::newRow("Stop") << 2 << QStringLiteral("&Stop") << QRect(344, 256, 75, 25);
    QTest::newRow("Sound") << 3 << QStringLiteral("Sound &ON") << QRect(512, 256, 75, 25);
}

void WindowTest::buttons()
{
    QFETCH(int, index);
    QFETCH(QString, caption);
    QFETCH(QRect, geometry);
    QPushButton* button = std::array{form_->Button1, form_->Button2, form_->Button3}[index - 1];
    QCOMPARE(button->text(), caption);
    QCOMPARE(button->geometry(), geometry);
    QVERIFY(button->isVisible());
}

void WindowTest::mediaPlayerOpensTheDing()
{
    QCOMPARE(form_->MediaPlayer1->FileName, QStringLiteral("ding.wav"));
    QCOMPARE(form_->MediaPlayer1->DeviceType, TMediaPlayer::dtWaveAudio);
}

void WindowTest::tabOrder()
{
    form_->Button1->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), form_->Button1);
    for (QPushButton* next : {form_->Button2, form_->Button3, form_->Button1}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), next);
    }
}

// Run hands the focus to Stop, Stop back to Run; the sound switch keeps it,
// so that a screen reader says its new state.
void WindowTest::accessKeys_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<char>("key");
    QTest::addColumn<int>("focusAfter");
    QTest::newRow("Alt+R") << 1 << 'R' << 1;
    QTest::newRow("Alt+S") << 2 << 'S' << 1;
    QTest::newRow("Alt+O") << 3 << 'O' << 3;
}

void WindowTest::accessKeys()
{
    QFETCH(int, index);
    QFETCH(char, key);
    QFETCH(int, focusAfter);
    const std::array buttons{form_->Button1, form_->Button2, form_->Button3};
    QPushButton* button = buttons[index - 1];
    buttons[1]->setFocus();
    QSignalSpy clicks(button, &QPushButton::clicked);
    // Run sweeps until stopped.
    QTimer::singleShot(500, form_, [this] { form_->Button2Click(); });
    QTest::keyClick(form_, Qt::Key(key), Qt::AltModifier);
    // A shortcut clicks the button with an animation, about 100 ms later.
    QTRY_COMPARE(clicks.count(), 1);
    QTRY_COMPARE(QApplication::focusWidget(), buttons[focusAfter - 1]);
}

void WindowTest::enterPressesTheFocusedButton_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<Qt::Key>("key");
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::newRow("Return on Sound") << 3 << Qt::Key_Return << Qt::KeyboardModifiers();
    QTest::newRow("keypad Enter on Stop") << 2 << Qt::Key_Enter << Qt::KeyboardModifiers(Qt::KeypadModifier);
}

void WindowTest::enterPressesTheFocusedButton()
{
    QFETCH(int, index);
    QFETCH(Qt::Key, key);
    QFETCH(Qt::KeyboardModifiers, modifiers);
    QPushButton* button = std::array{form_->Button1, form_->Button2, form_->Button3}[index - 1];
    button->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), button);
    QSignalSpy clicks(button, &QPushButton::clicked);
    QTest::keyClick(QApplication::focusWidget(), key, modifiers);
    QTRY_COMPARE(clicks.count(), 1);
}

void WindowTest::icon()
{
    const QIcon icon = form_->windowIcon();
    QVERIFY(!icon.isNull());
    // Sharp in application grids too: QIcon never scales a pixmap up, so
    // without the large sizes this would come out smaller.
    QCOMPARE(icon.pixmap(256, 256).size(), QSize(256, 256));
    const QImage image = icon.pixmap(32, 32).toImage();
    QCOMPARE(image.size(), QSize(32, 32));
    // Transparent corners, yellow strokes.
    QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
    int yellow = 0;
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x)
            yellow += image.pixel(x, y) == qRgb(255, 255, 0);
    QVERIFY(yellow > 50);
}

void WindowTest::font()
{
    for (const QWidget* widget : {static_cast<QWidget*>(form_), static_cast<QWidget*>(form_->Button1)}) {
        QCOMPARE(widget->font().family(), QStringLiteral("Liberation Sans"));
        QCOMPARE(widget->font().pixelSize(), 11);
    }
}

void WindowTest::screenAfterStartUp()
{
    QCOMPARE(QColor(form_->xmg->bmp[0].colourTable[191]), QColor(252, 252, 0));

    // The start-up Draw shows the black picture just where the screen lies; a
    // screen never drawn, or of another size or place, shows the window's face.
    const QImage window = form_->grab().toImage();
    for (int y = 20; y < 220; ++y)
        for (int x = 50; x < 650; ++x)
            QCOMPARE(window.pixel(x, y), qRgb(0, 0, 0));
    // Around the screen lies the window's face, not black.
    QVERIFY(window.pixel(49, 100) != qRgb(0, 0, 0));
    QVERIFY(window.pixel(650, 100) != qRgb(0, 0, 0));
}

// The labels keep their places, in a font that leaves a clear column before the
// major ticks at x 30, whichever font the desktop resolves.
void WindowTest::scaleLabelsEndClearOfTheTicks()
{
    // Run shows the scale; the Stop queued here ends it at the first event check.
    QTimer::singleShot(0, form_, [this] { form_->Button2Click(); });
    form_->Button1Click();
    const QImage window = form_->grab().toImage();
    const QRgb face = window.pixel(2, 2);

    // Between the labels and the ticks, at x 29 to 33, only the major ticks' rows
    // may be painted (the minor ticks start at x 34).
    for (int y = 0; y < 240; ++y) {
        const bool majorTick = y >= 20 && y <= 220 && (y - 20) % 40 == 0;
        for (int x = 29; x < 34 && !majorTick; ++x)
            QVERIFY2(window.pixel(x, y) == face, qPrintable(QStringLiteral("label ink at (%1, %2)").arg(x).arg(y)));
    }
    // Each label hangs by the top-left corner of its text five pixels above its
    // tick, in the window's font at some pixel size no larger than its own:
    // drawn that way by Qt's own top-left alignment, the strip left of the
    // ticks must come out the same to the pixel.
    struct Label { int x; const char* text; };
    const Label labels[] = {{6, "+2.0"}, {6, "+1.5"}, {6, "+1.0"}, {6, "+0.5"}, {12, "0.0"}, {10, "-0.5"}};
    const QImage strip = window.copy(0, 0, 29, 240);
    int matchedSize = 0;
    for (int size = form_->font().pixelSize(); size > 1 && matchedSize == 0; --size) {
        QImage expected(strip.size(), strip.format());
        expected.fill(face);
        QPainter painter(&expected);
        painter.setPen(form_->palette().color(QPalette::WindowText));
        QFont font = form_->font();
        font.setPixelSize(size);
        painter.setFont(font);
        for (int i = 0; i < 6; ++i)
            painter.drawText(QRect(labels[i].x, 15 + 40 * i, 29, 40), Qt::AlignLeft | Qt::AlignTop,
                             QString::fromLatin1(labels[i].text));
        painter.end();
        matchedSize = expected == strip ? size : 0;
    }
    // In Liberation Sans they keep the window's size, the digits 8 pixels
    // tall; a wider stand-in is fitted, and still readable at 8 pixels.
    const bool liberation = QFontInfo(form_->font()).family() == QStringLiteral("Liberation Sans");
    QVERIFY2(liberation ? matchedSize == 11 : matchedSize >= 8,
             "the labels are not the scale's texts at their corners in the window's font");
    if (liberation) {
        int inkedRows = 0;
        for (int y = 15; y < 35; ++y) {
            bool inked = false;
            for (int x = 6; x < 29; ++x)
                inked = inked || qGray(strip.pixel(x, y)) < qGray(face) / 2;
            inkedRows += inked;
        }
        QCOMPARE(inkedRows, 8);
    }
}

// At a fractional scale each tick gives the device pixels it covers its share
// of ink, so every major tick is as thick as the others, every minor one too.
// window_tests_fractional runs this at 1.25.
void WindowTest::scaleTicksEvenlyThick()
{
    QTimer::singleShot(0, form_, [this] { form_->Button2Click(); });
    form_->Button1Click();
    const QImage window = form_->grab().toImage();
    const qreal scale = window.devicePixelRatio();
    const int face = qGray(window.pixel(2, 2));
    for (int y = 20; y <= 220; y += 10) {
        const bool major = (y - 20) % 40 == 0;
        // Down one device column across the tick, which only it crosses there.
        const int x = int(((major ? 31 : 37) + 0.5) * scale);
        qreal ink = 0;
        for (int row = int((y - 2) * scale); row < int((y + 3) * scale); ++row)
            ink += qreal(face - qGray(window.pixel(x, row))) / face;
        QVERIFY2(std::abs(ink - scale) < 0.03 * scale,
                 qPrintable(QStringLiteral("the tick at y %1 is %2 device pixels thick").arg(y).arg(ink)));
    }
}

// What a screen reader finds: a window; a named screen that says whether it
// sweeps; Run and Stop, which take the focus in turn, telling the monitor's
// state; a sound switch, checked while the sound is on. Each change comes with
// the event a reader announces. While the monitor sweeps, the window answers
// what the desktop posts (a reader's questions) between its pictures, but a key
// handed back to it (as the reader's bridge does) waits for its message processing.
void WindowTest::screenReaderNamesAndStates()
{
    QAccessible::installUpdateHandler(RecordAccessibilityEvent);
    QCOMPARE(QAccessible::queryAccessibleInterface(form_)->role(), QAccessible::Window);
    QCOMPARE(AccessibleText(form_, QAccessible::Name), QStringLiteral("EKG Demo using QUOR"));
    QCOMPARE(QAccessible::queryAccessibleInterface(form_->xmg)->role(), QAccessible::Chart);
    QCOMPARE(AccessibleText(form_->xmg, QAccessible::Name), QStringLiteral("ECG monitor"));

    QString sweeping;
    QString focusedSweeping;
    QImage pictureAsked, pictureAnswered, pictureAtKey;
    connect(form_->Button2, &QPushButton::pressed, [&] { pictureAtKey = form_->xmg->grab().toImage(); });
    QTimer::singleShot(200, form_, [&] {
        sweeping = AccessibleText(form_->xmg, QAccessible::Description);
        focusedSweeping = AccessibleText(QApplication::focusWidget(), QAccessible::Description);
        pictureAsked = form_->xmg->grab().toImage();
        QMetaObject::invokeMethod(form_, [&] { pictureAnswered = form_->xmg->grab().toImage(); }, Qt::QueuedConnection);
        for (QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease})
            QCoreApplication::postEvent(form_->Button2, new QKeyEvent(type, Qt::Key_Space, Qt::NoModifier, " "));
    });
    // Ends the sweep should the key never come.
    QTimer::singleShot(5000, form_, [this] { form_->Button2Click(); });
    form_->Button1Click();
    QVERIFY2(pictureAnswered == pictureAsked, "a posted event waited for the next picture");
    QVERIFY2(!pictureAtKey.isNull() && pictureAtKey != pictureAsked, "a key was handled between two pictures");
    const QString stopped = AccessibleText(form_->xmg, QAccessible::Description);
    QVERIFY2(sweeping.startsWith(QStringLiteral("Sweeping")), qPrintable(sweeping));
    QVERIFY2(stopped.startsWith(QStringLiteral("Stopped")) && stopped.contains(QStringLiteral("-0.5 to +2.0")),
             qPrintable(stopped));
    QCOMPARE(focusedSweeping, QStringLiteral("The monitor is sweeping"));
    QCOMPARE(AccessibleText(QApplication::focusWidget(), QAccessible::Description),
             QStringLiteral("The monitor is stopped"));

    QAccessibleInterface* soundSwitch = QAccessible::queryAccessibleInterface(form_->Button3);
    QCOMPARE(soundSwitch->role(), QAccessible::CheckBox);
    QCOMPARE(soundSwitch->text(QAccessible::Name), QStringLiteral("Sound"));
    QVERIFY(soundSwitch->state().checkable && !soundSwitch->state().checked);
    form_->Button3->click();
    QVERIFY(soundSwitch->state().checked);
    form_->Button3->click();
    QVERIFY(!soundSwitch->state().checked);

    QAccessible::installUpdateHandler(nullptr);
    QCOMPARE(std::count(AccessibilityEvents.begin(), AccessibilityEvents.end(),
                        std::pair{static_cast<QObject*>(form_->xmg), QAccessible::DescriptionChanged}), 2);
    QCOMPARE(std::count(AccessibilityEvents.begin(), AccessibilityEvents.end(),
                        std::pair{static_cast<QObject*>(form_->Button3), QAccessible::StateChanged}), 2);
}

void WindowTest::ctrlQClosesTheWindow()
{
    QTest::keyClick(form_, Qt::Key_Q, Qt::ControlModifier);
    QVERIFY(!form_->isVisible());
}

void WindowTest::exceptionInAHandlerIsShownAndTheProgramGoesOn()
{
    FailingHandler failing;
    QString shown;
    QSet<QMessageBox*> boxes;
    // Reads the message box once it shows, makes the handler fail again while
    // the box is up, then closes it.
    QTimer closer;
    connect(&closer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        boxes.insert(box);
        if (shown.isEmpty()) {
            shown = box->text();
            QCoreApplication::postEvent(&failing, new QEvent(QEvent::User));
        } else if (failing.calls == 2) {
            box->close();
        }
    });
    // The second error goes to standard error, not into a box of its own.
    QTest::ignoreMessage(QtWarningMsg, "the handler failed (not shown: another error is on screen)");
    closer.start(10);
    QCoreApplication::postEvent(&failing, new QEvent(QEvent::User));
    QTRY_COMPARE(shown, QStringLiteral("the handler failed"));
    QCOMPARE(failing.calls, 2);
    QCOMPARE(boxes.size(), 1);

    // The event loop still works.
    bool later = false;
    QTimer::singleShot(0, [&later] { later = true; });
    QTRY_VERIFY(later);
}

int main(int argc, char* argv[])
{
    TApplication app(argc, argv);
    WindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "window_test.moc"
