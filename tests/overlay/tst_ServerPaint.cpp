#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QPainter>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

#include "testkit/RootPattern.h"
#include "annotate/Tool.h"
#include "capture/GetImageReader.h"
#include "capture/ScreenCapture.h"
#include "capture/X11Root.h"
#include "settings/AppSettings.h"
#include "overlay/OverlaySession.h"
#include "overlay/OverlayView.h"
#include "overlay/OverlayWindow.h"
#include "testkit/Golden.h"
#include "testkit/ViewInput.h"
#include "testkit/XServer.h"

// An overlay painted on a real X server from the server's copy of its screen must show what
// the view draws in this process, after every kind of change: the parts copied within the
// server and the pieces drawn here must fit, and no change may leave a stale pixel behind.
// Two monitors, the left at scale 2 and the right at scale 1.
namespace {

using namespace testkit;

// How many pixels of the view's window, as the server shows it once every paint has reached
// it, differ from what the view draws in this process by more than the dimming's rounding.
int differingOnScreen(OverlayView *v)
{
    QCoreApplication::processEvents();
    const std::optional<X11Root> root = X11Root::current();
    const QRect pixels(QPoint(), (QSizeF(v->size()) * v->scale()).toSize());
    QImage drawn(pixels.size(), QImage::Format_RGB32);
    drawn.setDevicePixelRatio(v->scale());
    QPainter painter(&drawn);
    v->drawContents(painter, QRectF(v->rect()));
    painter.end();
    return differingPixels(GetImageReader::read(root->connection, xcb_window_t(v->winId()),
                                                root->layout, pixels, pixels),
                           drawn, 2);
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
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        const auto drawWith = [v](Tool tool, QPointF to) {
            chooseTool(v, tool);
            drag(v, v->sel().center(), to);
        };
        const std::pair<const char *, std::function<void()>> steps[] = {
            {"shown", [] {}},
            {"selected", [v] { drag(v, QPointF(60, 50), QPointF(300, 220)); }},
            // Up and left, so that where the bars were lies outside the chrome's new bounds.
            {"moved", [v] { drag(v, QPointF(150, 120), QPointF(80, 100)); }},
            {"pen", [&] { drawWith(Tool::pen, v->sel().topLeft() + QPointF(20, 30)); }},
            {"mosaic", [&] { drawWith(Tool::mosaic, v->sel().bottomRight() - QPointF(30, 20)); }},
            {"tip", [v] { mouse(v, QEvent::MouseMove, v->buttonCell(0).center(), Qt::NoButton); }},
            {"error", [v] { v->showError(QStringLiteral("저장하지 못했습니다")); }},
            {"cleared", [v] { click(v, QPointF(5, 5), Qt::RightButton); }},
            {"magnifier", [v] { mouse(v, QEvent::MouseMove, QPointF(1279, 799), Qt::NoButton); }},
        };
        for (const auto &[name, step] : steps) {
            step();
            QVERIFY2(differingOnScreen(v) == 0, name);
        }
    }

    // A display unplugged while the capture is open closes it: its views would copy other
    // pixels than they show. A name chosen in the save panel meanwhile still gets the picture;
    // an upload under way ends first.
    void aDisplayGoneClosesTheCapture()
    {
        QTemporaryDir dir;
        AppSettings settings(std::make_unique<QSettings>(dir.filePath("c"), QSettings::IniFormat));
        settings.setSaveFolder(dir.path());
        const XServer &x = serverOf(this);
        const auto unplug = [&] { return x.run("xrandr", {"--delmonitor", "RIGHT"}) == 0; };
        for (const bool upload : {false, true}) {
            QTRY_COMPARE(QGuiApplication::screens().size(), 2);
            OverlaySession session(ScreenCapture::freezeAll(), settings);
            session.show();
            OverlayView *v = session.windows().at(0)->overlayView();
            drag(v, QPointF(10, 10), QPointF(100, 100));
            if (upload) {
                v->setUploadProgress(0.5);
                QVERIFY(unplug());
                QTRY_COMPARE(QGuiApplication::screens().size(), 1);
                QVERIFY(!session.isClosed());
                v->setUploadProgress(std::nullopt);
            } else {
                QTimer::singleShot(0, [&] { // while the panel runs
                    QVERIFY(unplug());
                    QTRY_VERIFY(session.isClosed());
                    qobject_cast<QDialog *>(QApplication::activeModalWidget())->accept();
                });
                key(v, Qt::Key_S, Qt::ControlModifier);
                QCOMPARE(QDir(dir.path()).entryList({"*.png"}).size(), 1);
            }
            QVERIFY(session.isClosed());
            QCOMPARE(x.run("xrandr", {"--setmonitor", "RIGHT", "1280/508x800/286+1280+0", "none"}),
                     0);
        }
        // So does one whose window the desktop moves to another display.
        QTRY_COMPARE(QGuiApplication::screens().size(), 2);
        OverlaySession session(ScreenCapture::freezeAll(), settings);
        session.show();
        session.windows().at(1)->windowHandle()->setScreen(QGuiApplication::screens().at(0));
        QVERIFY(session.isClosed());
    }
};

CORVANE_X11_TEST_MAIN(TestServerPaint, .width = 2560, .height = 800, .windowManager = false,
                      .tray = false, .twoMonitors = true,
                      .processEnv = {{"QT_SCREEN_SCALE_FACTORS", "LEFT=2;RIGHT=1"}})
#include "tst_ServerPaint.moc"
