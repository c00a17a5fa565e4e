#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QImageReader>
#include <QRegularExpression>
#include <QSettings>
#include <QTest>

#include "Desktop.h"
#include "DevServerProcess.h"

using namespace testkit;

// The built application on a desktop of two outputs showing a pattern in which every pixel
// tells its position, driven with the desktop's pointer and keys; what the user gets is read
// back from the clipboard by another program, from files and from the reference server.
namespace {

QStringList at(QPoint p)
{
    return {"move", QString::number(p.x()), QString::number(p.y())};
}

// The error message's box, red at 95% over the capture.
bool isErrorRed(QRgb pixel)
{
    return std::abs(qRed(pixel) - 184) < 16 && qGreen(pixel) < 50 && qBlue(pixel) < 50;
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

public:
    explicit TestOverlay(Desktop &desktop) : desktop(desktop), outputs(desktop.outputs) {}

private:
    Desktop &desktop;
    const QList<Desktop::Output> &outputs;

    const Desktop::Output &outputAt(QPoint p) const
    {
        return outputs[outputs[0].rect.contains(p) ? 0 : 1];
    }
    QRgb shown(QPoint p) const
    {
        const QImage shot = desktop.screen();
        return shot.pixel(p * shot.width() / (outputs[1].rect.right() + 1));
    }
    // Whether the screen shows the pattern at a layout point, halved in every channel when
    // the overlay dims it; to a step, as a scaled render may blend.
    bool showsPattern(QPoint p, bool dimmed) const
    {
        const Desktop::Output &o = outputAt(p);
        const QRgb want = o.shows((p - o.rect.topLeft()) * o.scale), got = shown(p);
        const int d = dimmed ? 2 : 1;
        return std::abs(qRed(got) - qRed(want) / d) <= 1 &&
               std::abs(qGreen(got) - qGreen(want) / d) <= 1 &&
               std::abs(qBlue(got) - qBlue(want) / d) <= 1;
    }
    // Overlays listed on every output and painted there.
    bool waitForOverlays(qsizetype count) const
    {
        const auto painted = [&](const Desktop::Output &o) {
            return showsPattern(o.rect.topLeft() + QPoint(50, 50), true);
        };
        return waitUntil([&] { return desktop.overlays().size() == count; }, 15000) &&
               (count == 0 ||
                waitUntil([&] { return std::ranges::all_of(outputs, painted); }, 15000));
    }
    // With the pointer in a corner of the second output, whose overlay then takes the keys,
    // out of the pictures checked: the Wayland desktop's capture shows it.
    bool capture(AppProcess &app) const
    {
        return (app.process().state() == QProcess::Running || app.start()) &&
               desktop.waitUntilReady(app) &&
               desktop.pointer(at(outputs[1].rect.bottomRight() - QPoint(20, 20))) &&
               desktop.requestCapture(app) && waitForOverlays(outputs.size());
    }
    bool drag(QPoint from, QPoint to) const
    {
        return desktop.pointer(at(from) + QStringList{"down"} + at((from + to) / 2) + at(to) +
                               QStringList{"up"});
    }
    bool click(QPoint p) const { return desktop.pointer(at(p) + QStringList{"down", "up"}); }
    QImage clipboardImage(const QString &type) const
    {
        QByteArray bytes;
        waitUntil([&] { return !(bytes = desktop.clipboard(type)).isEmpty(); }, 5000);
        return QImage::fromData(bytes);
    }
    // How an image differs from the pixels that a drag between two layout points selects on
    // the output holding them, at its pixel size; empty when it does not.
    QString differences(const QImage &image, QPoint from, QPoint to) const
    {
        const Desktop::Output &o = outputAt(from);
        const QRect region((from - o.rect.topLeft()) * o.scale,
                           QSize(to.x() - from.x(), to.y() - from.y()) * o.scale);
        if (image.size() != region.size())
            return QString::asprintf("size %dx%d, expected %dx%d", image.width(), image.height(),
                                     region.width(), region.height());
        const QImage pixels = image.convertToFormat(QImage::Format_RGB32);
        const auto besideStep = [](int v) { return (v + 1) % 256 < 2; };
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QPoint p = region.topLeft() + QPoint(x, y), inPattern = p + o.patternOrigin;
                if (pixels.pixel(x, y) != o.shows(p) &&
                    !(o.blended && (besideStep(inPattern.x()) || besideStep(inPattern.y()))))
                    return QString::asprintf("pixel %d,%d is %x, expected %x", x, y,
                                             pixels.pixel(x, y), o.shows(p));
            }
        }
        return {};
    }

private slots:
    void overlaysSelectionsAndClosing()
    {
        AppProcess app = desktop.app();
        QVERIFY(capture(app));
        const QList<Desktop::Window> overlays = desktop.overlays();
        QCOMPARE(overlays.size(), 2);
        QCOMPARE(overlays[0].rect, outputs[0].rect);
        QCOMPARE(overlays[1].rect, outputs[1].rect);
#ifdef CORVANE_WAYLAND
        QEXPECT_FAIL("",
                     "the application picks the overlay for the keys by QCursor::pos(), unknown to "
                     "a Wayland client without a window under the pointer",
                     Continue);
#endif
        QVERIFY2(overlays[1].focused, "the overlay under the pointer takes the keys");

        // While dragging the bars stay away; on release they appear below and beside.
        QVERIFY(desktop.pointer(at({100, 100}) + QStringList{"down"} + at({300, 300}) +
                                at({500, 400})));
        QTest::qWait(300);
        QVERIFY(showsPattern({300, 300}, false));
        QVERIFY(showsPattern({340, 420}, true));
        QVERIFY(desktop.pointer({"up"}));
        QVERIFY(waitUntil([&] { return shown({340, 420}) == qRgb(255, 255, 255); }, 3000));

        // A selection on the other output clears this one.
        const QPoint other = outputs[1].rect.topLeft() + QPoint(200, 200);
        QVERIFY(drag(other - QPoint(100, 100), other + QPoint(100, 100)));
        QVERIFY(waitUntil([&] { return showsPattern({300, 300}, true); }, 3000));
        QVERIFY(showsPattern(other, false));
        // A right click clears it, a second one closes every overlay.
        QVERIFY(desktop.pointer({"rightclick"}));
        QVERIFY(waitUntil([&] { return showsPattern(other, true); }, 3000));
        QCOMPARE(desktop.overlays().size(), 2);
        QVERIFY(desktop.pointer({"rightclick"}));
        QVERIFY(waitForOverlays(0));
        // Escape closes every overlay, selection or not.
        QVERIFY(capture(app));
        QVERIFY(drag({100, 100}, {300, 300}));
        QVERIFY(desktop.keys("Escape"));
        QVERIFY(waitForOverlays(0));
    }

    void copyGivesTheSelectedPixels_data()
    {
        QTest::addColumn<int>("output");
        QTest::addColumn<int>("qtScale");
        QTest::newRow("first output") << 0 << 1;
        QTest::newRow("first output, Qt at scale 2") << 0 << 2;
        QTest::newRow("second output") << 1 << 1;
    }
    void copyGivesTheSelectedPixels()
    {
        QFETCH(int, output);
        QFETCH(int, qtScale);
        AppProcess app = desktop.app();
        QProcessEnvironment env = app.environment();
        env.insert("QT_SCALE_FACTOR", QString::number(qtScale));
        app.process().setProcessEnvironment(env);
#ifdef CORVANE_WAYLAND
        QEXPECT_FAIL("first output, Qt at scale 2",
                     "the portal's picture is cut by screen geometries that QT_SCALE_FACTOR "
                     "shrinks but leaves in place",
                     Abort);
#endif
        QVERIFY(capture(app));
        // Whole points at either scale: Qt rounds half points of the pointer (Qt 6.4).
        const QPoint from = outputs[output].rect.topLeft() + QPoint(102, 82),
                     to = from + QPoint(302, 200);
        QVERIFY(drag(from, to));
        QVERIFY(desktop.keys("ctrl+c"));
        QVERIFY(waitForOverlays(0));
        for (const char *type : {"image/png", "image/tiff"}) {
            const QString mismatch = differences(clipboardImage(type), from, to);
            QVERIFY2(mismatch.isEmpty(), qPrintable(type + (": " + mismatch)));
        }
    }

    void saveTakesTheNextFreeNameOrKeepsTheCapture_data()
    {
        QTest::addColumn<bool>("fails");
        QTest::newRow("saved") << false;
        QTest::newRow("folder not writable") << true;
    }
    void saveTakesTheNextFreeNameOrKeepsTheCapture()
    {
        QFETCH(bool, fails);
        AppProcess app = desktop.app();
        const QString folder = fails ? "/proc" : app.home() + "/Pictures";
        // Whatever second the save falls in, its base name is taken: the next name is _2.
        const QDateTime now = QDateTime::currentDateTime();
        for (int s = 0; s < 30 && !fails; ++s)
            QFile(folder + now.addSecs(s).toString("/'corvane_'yyyyMMdd_HHmmss'.png'"))
                .open(QIODevice::WriteOnly);
        writeSettings(app, folder);
        QVERIFY(capture(app));
        // On the second output, at its pixel size.
        const QPoint from = outputs[1].rect.topLeft() + QPoint(200, 200),
                     to = from + QPoint(300, 200);
        QVERIFY(drag(from, to));
        QVERIFY(desktop.keys("ctrl+s"));
        if (fails) {
            // The message box sits 8 points inside the selection's corner, in red, over the
            // capture that stays for another way out.
            QVERIFY(waitUntil([&] { return isErrorRed(shown(from + QPoint(12, 12))); }, 5000));
            QCOMPARE(desktop.overlays().size(), 2);
            QVERIFY(desktop.keys("ctrl+c"));
        }
        QVERIFY(waitForOverlays(0));
        const QStringList saved = QDir(folder).entryList({"*_2.png"});
        QCOMPARE(saved.size(), fails ? 0 : 1);
        const QString mismatch = differences(
            fails ? clipboardImage("image/png") : QImage(folder + '/' + saved.first()), from, to);
        QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    }

    void textLabelsAreNeverLost()
    {
        AppProcess app = desktop.app();
        QVERIFY(capture(app));
        QVERIFY(drag({100, 100}, {700, 500}));
        // The text tool is the sixth cell of the bar right of the selection, whose bottom
        // lines up with the selection's.
        QVERIFY(click({729, 500 - 420 + 5 * 42 + 21}));
        QVERIFY(click({150, 150}));
        QTest::qWait(300);
        QVERIFY(desktop.type("Hello"));
        QVERIFY(desktop.keys("Return"));
        QVERIFY(desktop.type("World"));
        QVERIFY(desktop.keys("ctrl+Return"));
        // A second label is still being typed when the copy comes.
        QVERIFY(click({150, 350}));
        QTest::qWait(300);
        QVERIFY(desktop.type("Open"));
        QVERIFY(desktop.keys("ctrl+c"));
        QVERIFY(waitForOverlays(0));
        const QImage image = clipboardImage("image/png");
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
        QTest::newRow("stored") << QStringList();
        QTest::newRow("server error") << QStringList{"--status", "500"};
    }
    void uploadCopiesTheLinkOrShowsTheFailure()
    {
        QFETCH(QStringList, serverArgs);
        DevServerProcess devserver(serverArgs);
        QVERIFY(devserver.start());
        AppProcess app = desktop.app();
        QVERIFY(app.startRelocated(devserver.baseUrl()));
        QVERIFY(capture(app));
        const QPoint from(300, 300), to(460, 420);
        QVERIFY(drag(from, to));
        QVERIFY(desktop.keys("ctrl+d"));
        if (!serverArgs.isEmpty()) {
            QVERIFY(waitUntil([&] { return isErrorRed(shown(from + QPoint(12, 12))); }, 10000));
            QVERIFY(drag(from, from + QPoint(100, 100))); // still usable
            QVERIFY(desktop.keys("Escape"));
            QVERIFY(waitForOverlays(0));
            return;
        }
        QVERIFY(waitForOverlays(0));
        QByteArray link;
        QVERIFY(waitUntil(
            [&] {
                return (link = desktop.clipboard("text/plain"))
                    .startsWith(devserver.baseUrl().toUtf8());
            },
            5000));
        const QStringList stored = QDir(devserver.dataDir()).entryList(QDir::Files);
        QCOMPARE(stored.size(), 1);
        const QString mismatch =
            differences(QImage(devserver.dataDir() + '/' + stored.first()), from, to);
        QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
        QVERIFY(waitUntil([&] { return app.opened() == link.trimmed(); }, 5000));
    }

#ifdef CORVANE_WAYLAND
    void trayItemCapturesAndTheMissingShortcutIsSaidOnce()
    {
        const QByteArray noShortcuts = "전역 단축키를 제공하지 않습니다";
        AppProcess app = desktop.app();
        QVERIFY(app.start());
        QVERIFY(waitUntil([&] { return app.stderrText().contains(noShortcuts); }, 20000));
        const QStringList bus{"call", "--session", "--dest"};
        QByteArray items;
        QVERIFY(waitUntil(
            [&] {
                desktop.run("gdbus",
                            bus + QStringList{"org.kde.StatusNotifierWatcher", "--object-path",
                                              "/StatusNotifierWatcher", "--method",
                                              "org.freedesktop.DBus.Properties.Get",
                                              "org.kde.StatusNotifierWatcher",
                                              "RegisteredStatusNotifierItems"},
                            &items);
                return items.contains("StatusNotifierItem");
            },
            15000));
        const QRegularExpressionMatch item = QRegularExpression("'([^'/]+)(/[^']+)'").match(items);
        QVERIFY2(item.hasMatch(), items);
        QCOMPARE(desktop.run("gdbus",
                             bus + QStringList{item.captured(1), "--object-path", item.captured(2),
                                               "--method", "org.kde.StatusNotifierItem.Activate",
                                               "0", "0"}),
                 0);
        QVERIFY(waitForOverlays(2));
        QVERIFY(desktop.keys("Escape"));
        QVERIFY(waitForOverlays(0));
        // Past the hotkey's five-second retry, the log has not repeated itself.
        QTest::qWait(5500);
        QCOMPARE(app.stderrText().count(noShortcuts), 1);
    }
#else
    void savePanelHidesTheOverlayAndWritesJpegByName()
    {
        AppProcess app = desktop.app();
        writeSettings(app, app.home(), false); // the panel starts there
        QVERIFY(capture(app));
        QVERIFY(drag({200, 200}, {500, 400}));
        const QString saved = app.home() + "/shot.JPG";
        for (const QString answer : {"Escape", "Return"}) {
            QVERIFY(desktop.keys("ctrl+s"));
            XWindow panel; // with the overlay gone
            QVERIFY(waitForWindow(desktop.server(), Kind::Menu, &panel));
            QVERIFY(desktop.overlays().isEmpty());
            // The panel takes keys once the window manager has focused it and it has settled.
            QCOMPARE(desktop.run("xdotool", {"windowactivate", "--sync", panel.id}), 0);
            QTest::qWait(1000);
            // A bare name: a typed path would open the panel's completion list.
            if (answer == "Return") {
                QVERIFY(desktop.keys("ctrl+a"));
                QVERIFY(desktop.type("shot.JPG"));
            }
            QVERIFY(desktop.keys(answer));
            // Cancelling brings the capture back as it was; saving ends it.
            QVERIFY(answer == "Escape"
                        ? waitForOverlays(2)
                        : waitUntil(
                              [&] {
                                  return QFile::exists(saved) &&
                                         windowsOf(desktop.server(), Kind::Menu).isEmpty();
                              },
                              5000));
        }
        QVERIFY(desktop.overlays().isEmpty());
        QImageReader reader(saved);
        QCOMPARE(reader.format(), QByteArray("jpeg"));
        QCOMPARE(reader.read().size(), QSize(300, 200));
    }
#endif
};

int main(int argc, char **argv)
{
    QString error;
    const std::unique_ptr<Desktop> desktop = Desktop::start(&error);
    if (!desktop)
        qFatal("the desktop did not start: %s", qPrintable(error));
    QCoreApplication app(argc, argv);
    TestOverlay test(*desktop);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_Overlay.moc"
