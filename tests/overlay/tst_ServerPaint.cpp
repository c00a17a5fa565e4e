#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QTest>

#include <cstdlib>
#include <functional>

#include "RootPattern.h"
#include "annotate/Tool.h"
#include "capture/GetImageReader.h"
#include "capture/ScreenCapture.h"
#include "capture/X11Root.h"
#include "overlay/OverlayView.h"
#include "overlay/OverlayWindow.h"
#include "testkit/XServer.h"

// An overlay painted on a real X server from the server's copy of its screen must show what
// the view draws in this process, after every kind of change: the parts copied within the
// server and the pieces drawn here must fit, and no change may leave a stale pixel behind.
// Two monitors, the left at scale 2 and the right at scale 1.
namespace {

void mouse(OverlayView *v, QEvent::Type type, QPointF p, Qt::MouseButton button,
           Qt::MouseButtons held)
{
    QMouseEvent event(type, p, v->mapToGlobal(p), button, held, Qt::NoModifier);
    QApplication::sendEvent(v, &event);
}

void drag(OverlayView *v, QPointF from, QPointF to)
{
    mouse(v, QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::LeftButton);
    for (int i = 1; i <= 4; ++i)
        mouse(v, QEvent::MouseMove, from + (to - from) * i / 4, Qt::NoButton, Qt::LeftButton);
    mouse(v, QEvent::MouseButtonRelease, to, Qt::LeftButton, Qt::NoButton);
}

void click(OverlayView *v, QPointF p, Qt::MouseButton button = Qt::LeftButton)
{
    mouse(v, QEvent::MouseButtonPress, p, button, button);
    mouse(v, QEvent::MouseButtonRelease, p, button, Qt::NoButton);
}

void chooseTool(OverlayView *v, Tool tool)
{
    for (size_t i = 0; i < OverlayView::drawTools().size(); ++i) {
        if (OverlayView::drawTools()[i].tool == tool)
            click(v, v->toolCell(int(i)).center());
    }
}

// The view's window as the server shows it, once every paint has reached the server.
QImage onScreen(OverlayView *v)
{
    QCoreApplication::processEvents();
    const std::optional<X11Root> root = X11Root::current();
    const QSize size = (QSizeF(v->size()) * v->scale()).toSize();
    return GetImageReader::read(root->connection, xcb_window_t(v->winId()), root->layout,
                                QRect(QPoint(), size), QRect(QPoint(), size));
}

QImage drawnHere(OverlayView *v)
{
    QImage image((QSizeF(v->size()) * v->scale()).toSize(), QImage::Format_RGB32);
    image.setDevicePixelRatio(v->scale());
    QPainter painter(&image);
    v->drawContents(painter, QRectF(v->rect()));
    return image;
}

// The first pixel further apart than the dimming's rounding, or an empty text.
QString mismatch(const QImage &shown, const QImage &drawn)
{
    if (shown.size() != drawn.size())
        return QStringLiteral("size");
    for (int y = 0; y < shown.height(); ++y) {
        for (int x = 0; x < shown.width(); ++x) {
            const QRgb a = shown.pixel(x, y), b = drawn.pixel(x, y);
            if (std::abs(qRed(a) - qRed(b)) > 2 || std::abs(qGreen(a) - qGreen(b)) > 2 ||
                std::abs(qBlue(a) - qBlue(b)) > 2)
                return QStringLiteral("pixel %1,%2").arg(x).arg(y);
        }
    }
    return {};
}

} // namespace

class TestServerPaint : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(RootPattern::paint(testkit::serverOf(this).display())); }

    void showsWhatTheViewDraws_data()
    {
        QTest::addColumn<int>("screen");
        QTest::newRow("scale 2") << 0;
        QTest::newRow("scale 1") << 1;
    }
    void showsWhatTheViewDraws()
    {
        QFETCH(int, screen);
        const QList<ScreenShot> shots = ScreenCapture::freezeAll();
        QCOMPARE(shots.size(), 2);
        OverlayWindow window(shots[screen], nullptr);
        OverlayView *v = window.overlayView();
        window.showOverlay();
        QVERIFY(v->paintFromServer() && v->readScreenImage());
        QTest::qWait(200);

        const std::pair<const char *, std::function<void()>> steps[] = {
            {"shown", [] {}},
            {"selected",
             [v] {
                 drag(v, {60, 50}, {300, 220});
             }},
            {"moved",
             [v] {
                 drag(v, {150, 120}, {187, 151});
             }},
            {"resized",
             [v] {
                 drag(v, v->sel().bottomRight() - QPointF(1, 1), {420, 330});
             }},
            {"pen",
             [v] {
                 chooseTool(v, Tool::pen);
                 drag(v, v->sel().center(), v->sel().topLeft() + QPointF(20, 30));
             }},
            {"mosaic",
             [v] {
                 chooseTool(v, Tool::mosaic);
                 drag(v, v->sel().center(), v->sel().bottomRight() - QPointF(30, 20));
             }},
            {"tip", [v] { mouse(v, QEvent::MouseMove, v->buttonCell(0).center(), {}, {}); }},
            {"error", [v] { v->showError(QStringLiteral("저장하지 못했습니다")); }},
            {"cleared",
             [v] {
                 click(v, {5, 5}, Qt::RightButton);
             }},
            {"magnifier", [v] { mouse(v, QEvent::MouseMove, QPointF(1279, 799), {}, {}); }},
        };
        for (const auto &[name, step] : steps) {
            step();
            QCOMPARE(mismatch(onScreen(v), drawnHere(v)) + name, QString() + name);
        }
    }
};

CORVANE_X11_TEST_MAIN(TestServerPaint, .width = 2560, .height = 800, .windowManager = false,
                      .tray = false, .twoMonitors = true,
                      .processEnv = {{"QT_SCREEN_SCALE_FACTORS", "LEFT=2;RIGHT=1"}})
#include "tst_ServerPaint.moc"
