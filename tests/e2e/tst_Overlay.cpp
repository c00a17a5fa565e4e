#include <QApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QSettings>
#include <QTest>

#include <cmath>

#include "AppProcess.h"
#include "DevServerProcess.h"
#include "RootPattern.h"
#include "testkit/XServer.h"

using namespace testkit;

// The built application on two 1280x800 monitors showing a pattern in which every pixel
// tells its position, driven with xdotool; what the user gets is read back with xclip, from
// files and from the reference server.
namespace {

constexpr QRect kLeft(0, 0, 1280, 800), kRight(1280, 0, 1280, 800);

QImage screenshot(const XServer &server)
{
    QByteArray png;
    server.run("import", {"-window", "root", "png:-"}, &png);
    return QImage::fromData(png, "PNG").convertToFormat(QImage::Format_RGB32);
}

bool isPattern(QRgb pixel, QPoint at)
{
    return (pixel & 0xffffff) == (RootPattern::at(at.x(), at.y()) & 0xffffff);
}

// The error message's box, red at 95% over the capture.
bool isErrorRed(QRgb pixel)
{
    return std::abs(qRed(pixel) - 184) < 16 && qGreen(pixel) < 50 && qBlue(pixel) < 50;
}

// The overlay's dimming halves every channel.
bool isDimmed(QRgb pixel, QPoint at)
{
    const QRgb p = RootPattern::at(at.x(), at.y());
    return std::abs(qRed(pixel) - qRed(p) / 2) <= 1 &&
           std::abs(qGreen(pixel) - qGreen(p) / 2) <= 1 &&
           std::abs(qBlue(pixel) - qBlue(p) / 2) <= 1;
}

bool xdo(const XServer &server, const QStringList &args)
{
    return server.run("xdotool", args) == 0;
}

bool dragSelect(const XServer &server, QPoint from, QPoint to)
{
    const QPoint mid = (from + to) / 2;
    return xdo(server,
               {"mousemove", QString::number(from.x()), QString::number(from.y()), "mousedown", "1",
                "mousemove", QString::number(mid.x()), QString::number(mid.y()), "mousemove",
                QString::number(to.x()), QString::number(to.y()), "mouseup", "1"});
}

bool openOverlay(const XServer &server)
{
    return xdo(server, {"key", "shift+ctrl+9"}) &&
           waitUntil([&] { return windowsOf(server, Kind::Overlay).size() == 2; }, 15000);
}

// Starts the application (unless it runs) and opens a capture once its tray icon shows.
bool capture(const XServer &server, AppProcess &app)
{
    return (app.process().state() == QProcess::Running || app.start()) &&
           waitForWindow(server, Kind::TrayIcon) && openOverlay(server);
}

QImage clipboardImage(const XServer &server, const char *type)
{
    QByteArray bytes;
    for (int attempt = 0; attempt < 50 && bytes.isEmpty(); ++attempt) {
        server.run("xclip", {"-selection", "clipboard", "-t", type, "-o"}, &bytes);
        if (bytes.isEmpty())
            QTest::qWait(100);
    }
    return QImage::fromData(bytes).convertToFormat(QImage::Format_RGB32);
}

QString patternMismatch(const QImage &image, const QRect &region)
{
    if (image.size() != region.size())
        return QStringLiteral("size %1x%2").arg(image.width()).arg(image.height());
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (!isPattern(image.pixel(x, y), region.topLeft() + QPoint(x, y)))
                return QStringLiteral("pixel %1,%2 differs").arg(x).arg(y);
    return {};
}

void writeSettings(const AppProcess &app, const QString &folder, bool direct = true)
{
    QSettings settings(app.home() + "/config/corvane/corvane.conf", QSettings::IniFormat);
    settings.setValue("saveWithoutDialog", direct);
    settings.setValue("saveFolder", folder);
}

} // namespace

class TestOverlay : public QObject
{
    Q_OBJECT

    const XServer &server() { return serverOf(this); }

private slots:
    void initTestCase() { QVERIFY(RootPattern::paint(server().display())); }

    void overlaysSelectionsAndClosing()
    {
        AppProcess app(server());
        QVERIFY(app.start());
        QVERIFY(waitForWindow(server(), Kind::TrayIcon));
        QVERIFY(xdo(server(), {"mousemove", "1900", "400"}));
        QVERIFY(openOverlay(server()));
        QList<QRect> frames;
        for (const XWindow &w : windowsOf(server(), Kind::Overlay))
            frames << w.geometry;
        QVERIFY2(frames.contains(kLeft) && frames.contains(kRight),
                 qPrintable(QDebug::toString(frames)));
        QByteArray focus;
        server().run("xdotool", {"getwindowfocus", "getwindowgeometry"}, &focus);
        QVERIFY2(focus.contains("Position: 1280,0"), focus); // the display under the pointer
        QImage shot = screenshot(server());
        QVERIFY(isDimmed(shot.pixel(300, 300), {300, 300}) &&
                isDimmed(shot.pixel(1500, 300), {1500, 300}));

        // While dragging the bars stay away; on release they appear below and beside.
        QVERIFY(xdo(server(), {"mousemove", "100", "100", "mousedown", "1", "mousemove", "300",
                               "300", "mousemove", "500", "400"}));
        QTest::qWait(300);
        shot = screenshot(server());
        QVERIFY(isPattern(shot.pixel(300, 300), {300, 300}));
        QVERIFY(isDimmed(shot.pixel(340, 420), {340, 420}));
        QVERIFY(xdo(server(), {"mouseup", "1"}));
        QVERIFY(waitUntil(
            [&] { return screenshot(server()).pixel(340, 420) == qRgb(255, 255, 255); }, 3000));

        // A selection on the other display clears this one.
        QVERIFY(dragSelect(server(), {1400, 100}, {1600, 300}));
        QVERIFY(waitUntil(
            [&] {
                return isDimmed(screenshot(server()).pixel(300, 300), {300, 300});
            },
            3000));
        QVERIFY(isPattern(screenshot(server()).pixel(1500, 200), {1500, 200}));
        // A right click clears it, a second one closes every overlay.
        QVERIFY(xdo(server(), {"click", "3"}));
        QVERIFY(waitUntil(
            [&] {
                return isDimmed(screenshot(server()).pixel(1500, 200), {1500, 200});
            },
            3000));
        QCOMPARE(windowsOf(server(), Kind::Overlay).size(), 2);
        QVERIFY(xdo(server(), {"click", "3"}));
        QVERIFY(waitForNoWindow(server(), Kind::Overlay));
        // Escape closes both, selection or not.
        QVERIFY(openOverlay(server()));
        QVERIFY(dragSelect(server(), {100, 100}, {300, 300}));
        QVERIFY(xdo(server(), {"key", "Escape"}));
        QVERIFY(waitForNoWindow(server(), Kind::Overlay));
    }

    void copyGivesTheSelectedPixels_data()
    {
        QTest::addColumn<int>("scale");
        QTest::newRow("scale 1") << 1;
        QTest::newRow("scale 2") << 2;
    }
    void copyGivesTheSelectedPixels()
    {
        QFETCH(int, scale);
        AppProcess app(server());
        QProcessEnvironment env = app.environment();
        env.insert("QT_SCALE_FACTOR", QString::number(scale));
        app.process().setProcessEnvironment(env);
        QVERIFY(capture(server(), app));
        // Whole points at either scale: Qt rounds half points of the pointer (Qt 6.4).
        const QPoint from(102, 82), to(404, 282);
        QVERIFY(dragSelect(server(), from, to));
        QVERIFY(xdo(server(), {"key", "ctrl+c"}));
        QVERIFY(waitForNoWindow(server(), Kind::Overlay));
        const QRect region(from, QSize(to.x() - from.x(), to.y() - from.y()));
        for (const char *type : {"image/png", "image/tiff"}) {
            const QString mismatch = patternMismatch(clipboardImage(server(), type), region);
            QVERIFY2(mismatch.isEmpty(), qPrintable(type + (": " + mismatch)));
        }
    }

    void savesAndASaveThatFailsKeepsTheCapture()
    {
        QTemporaryDir folder;
        // Whatever second the save falls in, its base name is taken: the next name is _2.
        const QDateTime now = QDateTime::currentDateTime();
        for (int s = 0; s < 30; ++s)
            QFile(folder.filePath("corvane_" + now.addSecs(s).toString("yyyyMMdd_HHmmss") + ".png"))
                .open(QIODevice::WriteOnly);
        {
            AppProcess app(server());
            writeSettings(app, folder.path());
            QVERIFY(capture(server(), app));
            QVERIFY(dragSelect(server(), {200, 200}, {500, 400}));
            QVERIFY(xdo(server(), {"key", "ctrl+s"}));
            QVERIFY(waitForNoWindow(server(), Kind::Overlay));
            const QStringList saved = QDir(folder.path()).entryList({"*_2.png"});
            QCOMPARE(saved.size(), 1);
            QImage image(folder.filePath(saved.first()));
            QVERIFY(patternMismatch(image.convertToFormat(QImage::Format_RGB32),
                                    QRect(200, 200, 300, 200))
                        .isEmpty());
        }
        AppProcess app(server());
        writeSettings(app, "/proc");
        QVERIFY(capture(server(), app));
        QVERIFY(dragSelect(server(), {200, 200}, {500, 400}));
        QVERIFY(xdo(server(), {"key", "ctrl+s"}));
        // The message box sits 8 points inside the selection's corner, in red.
        QVERIFY(waitUntil([&] { return isErrorRed(screenshot(server()).pixel(212, 212)); }, 5000));
        QCOMPARE(windowsOf(server(), Kind::Overlay).size(), 2);
        QVERIFY(xdo(server(), {"key", "ctrl+c"}));
        QVERIFY(waitForNoWindow(server(), Kind::Overlay));
        QVERIFY(patternMismatch(clipboardImage(server(), "image/png"), QRect(200, 200, 300, 200))
                    .isEmpty());
    }

    void savePanelHidesTheOverlayAndWritesJpegByName()
    {
        AppProcess app(server());
        writeSettings(app, app.home(), false); // the panel starts there
        QVERIFY(capture(server(), app));
        QVERIFY(dragSelect(server(), {200, 200}, {500, 400}));
        const QString saved = app.home() + "/shot.JPG";
        for (const char *answer : {"Escape", "Return"}) {
            QVERIFY(xdo(server(), {"key", "ctrl+s"}));
            XWindow panel; // with the overlay gone
            QVERIFY(waitForWindow(server(), Kind::Menu, &panel));
            QVERIFY(windowsOf(server(), Kind::Overlay).isEmpty());
            // The panel takes keys once the window manager has focused it and it has settled.
            QVERIFY(xdo(server(), {"windowactivate", "--sync", panel.id}));
            QTest::qWait(1000);
            // A bare name: a typed path would open the panel's completion list.
            if (QByteArray(answer) == "Return")
                QVERIFY(xdo(server(), {"key", "ctrl+a", "type", "--delay", "20", "shot.JPG"}));
            QVERIFY(xdo(server(), {"key", answer}));
            // Cancelling brings the capture back as it was; saving ends it.
            QVERIFY(waitUntil(
                [&] {
                    return *answer == 'E'
                               ? windowsOf(server(), Kind::Overlay).size() == 2
                               : QFile::exists(saved) && windowsOf(server(), Kind::Menu).isEmpty();
                },
                5000));
        }
        QVERIFY(windowsOf(server(), Kind::Overlay).isEmpty());
        QImageReader reader(saved);
        QCOMPARE(reader.format(), QByteArray("jpeg"));
        QCOMPARE(reader.read().size(), QSize(300, 200));
    }

    void textLabelsAreNeverLost()
    {
        AppProcess app(server());
        QVERIFY(capture(server(), app));
        QVERIFY(dragSelect(server(), {100, 100}, {700, 500}));
        // The text tool is the sixth cell of the bar right of the selection, whose bottom
        // lines up with the selection's.
        QVERIFY(xdo(server(),
                    {"mousemove", "729", QString::number(500 - 420 + 5 * 42 + 21), "click", "1"}));
        QVERIFY(xdo(server(), {"mousemove", "150", "150", "click", "1"}));
        QTest::qWait(300);
        QVERIFY(xdo(server(), {"type", "--delay", "20", "Hello"}));
        QVERIFY(xdo(server(), {"key", "Return"}));
        QVERIFY(xdo(server(), {"type", "--delay", "20", "World"}));
        QVERIFY(xdo(server(), {"key", "ctrl+Return"}));
        // A second label is still being typed when the copy comes.
        QVERIFY(xdo(server(), {"mousemove", "150", "350", "click", "1"}));
        QTest::qWait(300);
        QVERIFY(xdo(server(), {"type", "--delay", "20", "Open"}));
        QVERIFY(xdo(server(), {"key", "ctrl+c"}));
        QVERIFY(waitForNoWindow(server(), Kind::Overlay));
        const QImage image = clipboardImage(server(), "image/png");
        QCOMPARE(image.size(), QSize(600, 400));
        const auto redRows = [&](int top, int bottom) {
            QList<int> rows;
            for (int y = top; y < bottom; ++y)
                for (int x = 40; x < 300; ++x)
                    if (qRed(image.pixel(x, y)) > 200 && qGreen(image.pixel(x, y)) < 60 &&
                        qBlue(image.pixel(x, y)) < 60 && !rows.contains(y))
                        rows << y;
            return rows;
        };
        const QList<int> first = redRows(40, 120), second = redRows(240, 320);
        // Two lines of text: ink spread over more than one line height.
        QVERIFY2(!first.isEmpty() && first.last() - first.first() > 30,
                 qPrintable(QString::number(first.size())));
        QVERIFY(!second.isEmpty());
    }

    void uploadCopiesTheLinkOrShowsTheFailure_data()
    {
        QTest::addColumn<QStringList>("serverArgs");
        QTest::addColumn<bool>("succeeds");
        QTest::newRow("stored") << QStringList() << true;
        QTest::newRow("server error") << QStringList{"--status", "500"} << false;
    }
    void uploadCopiesTheLinkOrShowsTheFailure()
    {
        QFETCH(QStringList, serverArgs);
        QFETCH(bool, succeeds);
        DevServerProcess devserver(serverArgs);
        QVERIFY(devserver.start());
        AppProcess app(server());
        QVERIFY(app.startRelocated(devserver.baseUrl()));
        QVERIFY(capture(server(), app));
        QVERIFY(dragSelect(server(), {300, 300}, {460, 420}));
        QVERIFY(xdo(server(), {"key", "ctrl+d"}));
        if (!succeeds) {
            QVERIFY(
                waitUntil([&] { return isErrorRed(screenshot(server()).pixel(312, 312)); }, 10000));
            QVERIFY(dragSelect(server(), {300, 300}, {400, 400})); // still usable
            QVERIFY(xdo(server(), {"key", "Escape"}));
            QVERIFY(waitForNoWindow(server(), Kind::Overlay));
            return;
        }
        QVERIFY(waitForNoWindow(server(), Kind::Overlay));
        QByteArray link;
        QVERIFY(waitUntil(
            [&] {
                server().run("xclip", {"-selection", "clipboard", "-o"}, &link);
                return link.startsWith(devserver.baseUrl().toUtf8());
            },
            5000));
        const QStringList stored = QDir(devserver.dataDir()).entryList(QDir::Files);
        QCOMPARE(stored.size(), 1);
        QImage image(QDir(devserver.dataDir()).filePath(stored.first()));
        QVERIFY(
            patternMismatch(image.convertToFormat(QImage::Format_RGB32), QRect(300, 300, 160, 120))
                .isEmpty());
        QVERIFY(waitUntil([&] { return app.opened() == link.trimmed(); }, 5000));
    }
};

CORVANE_X11_TEST_MAIN(TestOverlay, .width = 1280, .height = 800, .windowManager = true,
                      .tray = true, .twoMonitors = true)
#include "tst_Overlay.moc"
