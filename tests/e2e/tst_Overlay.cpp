#include <QColorSpace>
#include <QDateTime>
#include <QDir>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include "testkit/DevServerProcess.h"
#include "testkit/Desktop.h"
#include "testkit/Files.h"

using namespace testkit;

// The built application on a desktop of two outputs showing a pattern in which every pixel
// tells its position, driven with the desktop's pointer and keys; what the user gets is read
// back from the clipboard by another program, from files and from the reference server. On
// X11 also its tray icon, its settings window and its updates.
namespace {

// Red text, or the error message's box at 95% over the capture.
bool isRed(QRgb pixel)
{
    return qRed(pixel) > 168 && qGreen(pixel) < 60 && qBlue(pixel) < 60;
}

void writeSettings(const AppProcess &app, const QString &folder, bool direct)
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

    QRgb shown(QPoint p) const
    {
        const QImage shot = desktop.screen();
        return shot.pixel(p * shot.width() / (outputs[1].rect.right() + 1));
    }
    // Whether the screen shows the pattern at a layout point, halved in every channel where
    // the overlay dims it; to a step, as a scaled render may blend.
    bool showsPattern(QPoint p, bool dimmed) const
    {
        const Desktop::Output &o = outputs[outputs[1].rect.contains(p)];
        return near(shown(p), o.shows((p - o.rect.topLeft()) * o.scale), dimmed ? 2 : 1, 1);
    }
    // Whether got is want, halved in every channel where the overlay dims it, within a
    // tolerance.
    static bool near(QRgb got, QRgb want, int dimmed, int tolerance)
    {
        return std::abs(qRed(got) - qRed(want) / dimmed) <= tolerance &&
               std::abs(qGreen(got) - qGreen(want) / dimmed) <= tolerance &&
               std::abs(qBlue(got) - qBlue(want) / dimmed) <= tolerance;
    }
    // Overlays listed on every output and painted there. They may wait for a portal's
    // picture, which a loaded desktop takes seconds to write: the wait outlasts corvane's own
    // 30 s for the portal's answer, after which it would say why no overlay came.
    bool waitForOverlays(qsizetype count) const
    {
        const auto painted = [&](const Desktop::Output &o) {
            return showsPattern(o.rect.topLeft() + QPoint(50, 50), true);
        };
        return waitUntil([&] { return desktop.overlays().size() == count; }, 35000) &&
               (count == 0 ||
                waitUntil([&] { return std::ranges::all_of(outputs, painted); }, 15000));
    }
    bool escapeCloses() const { return desktop.keys("Escape") && waitForOverlays(0); }
    // Repeats act, such as a key press or a click, until overlays open: a binding made or a
    // menu shown a moment ago may not take it yet.
    bool untilOverlays(const std::function<bool()> &act, int timeoutMs) const
    {
        return waitUntil(
            [&] { return act() && waitUntil([&] { return !desktop.overlays().isEmpty(); }, 1000); },
            timeoutMs);
    }
    // With the pointer in a corner of the second output, whose overlay then takes the keys,
    // out of the pictures checked: the Wayland desktop's capture shows it.
    bool capture(AppProcess &app) const
    {
        return (app.process().state() == QProcess::Running || app.start()) &&
               desktop.pointer(at(outputs[1].rect.bottomRight() - QPoint(20, 20))) &&
               desktop.requestCapture(app) && waitForOverlays(outputs.size());
    }
    bool drag(QPoint from, QPoint to) const
    {
        return desktop.pointer(at(from) + QStringList{"mousedown", "1"} + at((from + to) / 2) +
                               at(to) + QStringList{"mouseup", "1"});
    }
    bool click(QPoint p) const { return desktop.pointer(at(p) + QStringList{"click", "1"}); }
    // The screen at one pixel a point.
    QImage inPoints() const
    {
        const QImage shot = desktop.screen();
        return shot.scaled(outputs[1].rect.right() + 1,
                           shot.height() * (outputs[1].rect.right() + 1) / shot.width());
    }
    // Whether now shows at p what `before` did there, halved where the overlay dims it.
    static bool shows(const QImage &now, const QImage &before, QPoint p, int dimmed)
    {
        return near(now.pixel(p), before.pixel(p), dimmed, 2);
    }
    // Opens a window of another program at a place on the first output and returns its frame:
    // under sway the place, where it floats without borders; on X11 where the screen changed,
    // outside a window under it whose frame may change as it loses the focus, once settled.
    QRect openWindow(const QRect &place, QStringList *pids,
                     [[maybe_unused]] const QRect &under = {}) const
    {
        const QImage before = inPoints();
        const auto start = [&](const QString &command) {
            pids->append(
                desktop.output("sh", {"-c", command + " >/dev/null 2>&1 & echo $!"}).trimmed());
        };
#ifdef CORVANE_WAYLAND
        start("wev");
        const QString floatThere = QString::asprintf(
            "[pid=%s] floating enable, resize set %d %d, move absolute position %d %d",
            qPrintable(pids->last()), place.width(), place.height(), place.x(), place.y());
        // Asked again until it shows there: sway may size a window it has just floated anew.
        const bool shown = waitUntil(
            [&] {
                desktop.run("swaymsg", {floatThere});
                const QImage now = inPoints();
                const QPoint in(2, 2), out(3, 3);
                return !shows(now, before, place.topLeft() + in, 1) &&
                       !shows(now, before, place.bottomRight() - in, 1) &&
                       shows(now, before, place.bottomRight() + out, 1);
            },
            10000);
        return shown ? place : QRect();
#else
        start(QString::asprintf("xmessage -geometry %dx%d+%d+%d window", place.width(),
                                place.height(), place.x(), place.y()));
        QRect frame, last;
        waitUntil(
            [&] {
                last = std::exchange(frame, QRect());
                const QImage now = inPoints();
                for (int y = place.top() - 80; y < place.bottom() + 80; ++y)
                    for (int x = place.left() - 80; x < place.right() + 80; ++x)
                        if (!under.contains(x, y) && !shows(now, before, {x, y}, 1))
                            frame |= QRect(x, y, 1, 1);
                return frame.isValid() && frame == last;
            },
            10000);
        return frame;
#endif
    }
    QImage clipboardImage(const QString &type) const
    {
        QByteArray bytes;
        waitUntil([&] { return !(bytes = desktop.clipboard(type)).isEmpty(); }, 5000);
        return QImage::fromData(bytes);
    }
    // How an image differs from the pixels of a selection (in layout points) at its output's
    // pixel size; empty when it does not.
    QString differences(const QImage &image, const QRect &selection) const
    {
        const Desktop::Output &o = outputs[outputs[1].rect.contains(selection.topLeft())];
        const QRect pixels((selection.topLeft() - o.rect.topLeft()) * o.scale,
                           selection.size() * o.scale);
        if (image.size() != pixels.size())
            return "size " + QDebug::toString(image.size());
        const QImage got = image.convertToFormat(QImage::Format_RGB32);
        const auto besideStep = [](int v) { return (v + 1) % 256 < 2; };
        for (int y = 0; y < got.height(); ++y) {
            for (int x = 0; x < got.width(); ++x) {
                const QPoint p = pixels.topLeft() + QPoint(x, y), inPattern = p + o.patternOrigin;
                if (got.pixel(x, y) != o.shows(p) &&
                    !(o.blended && (besideStep(inPattern.x()) || besideStep(inPattern.y()))))
                    return QString::asprintf("pixel %d,%d is %x", x, y, got.pixel(x, y));
            }
        }
        return {};
    }

#ifdef CORVANE_WAYLAND
    // A call on the session bus, and what dbus-send prints of its reply.
    QByteArray dbus(const QString &dest, const QString &path, const QString &method,
                    const QStringList &args = {}) const
    {
        return desktop.output(
            "dbus-send",
            QStringList{"--session", "--print-reply", "--dest=" + dest, path, method} + args);
    }
#endif
#ifdef CORVANE_GNOME
    // What a script run in the shell gives, as gdbus prints it: the test desktop runs any.
    QByteArray shell(const QString &code) const
    {
        return desktop.output("gdbus",
                              {"call", "--session", "--dest", "org.gnome.Shell", "--object-path",
                               "/org/gnome/Shell", "--method", "org.gnome.Shell.Eval", code});
    }
    // The centre of a part of the shell once it shows and stays in place (the top bar lays its
    // icons out again as others appear, a menu opens in steps), in the top bar's output, where
    // a pixel is a point.
    QPoint settledCentre(const QString &part) const
    {
        QPoint now, last;
        waitUntil(
            [&] {
                const QStringList n =
                    QString::fromUtf8(
                        shell("const o = " + part +
                              "; o?.mapped ? [...o.get_transformed_position(), "
                              "...o.get_transformed_size()].map(Math.round).join(' ') : ''"))
                        .split(QRegularExpression("\\D+"), Qt::SkipEmptyParts);
                last = std::exchange(now, n.size() == 4 ? QPoint(n[0].toInt() + n[2].toInt() / 2,
                                                                 n[1].toInt() + n[3].toInt() / 2)
                                                        : QPoint());
                QTest::qWait(300);
                return !now.isNull() && now == last;
            },
            15000);
        return now;
    }
#endif

private slots:
    void overlaysSelectionsAndClosing()
    {
        AppProcess app = desktop.app();
        QVERIFY2(capture(app), app.stderrText());
        const QList<Desktop::Window> overlays = desktop.overlays();
        QCOMPARE(overlays[0].rect, outputs[0].rect);
        QCOMPARE(overlays[1].rect, outputs[1].rect);
        // Under Wayland the desktop gives the keys: sway, by default, to the window on the
        // output the pointer went to.
        QVERIFY2(overlays[1].focused, "the overlay under the pointer takes the keys");

        // On release the bars appear below and beside.
        QVERIFY(drag({100, 100}, {500, 400}));
        QVERIFY(waitUntil([&] { return showsPattern({300, 300}, false); }, 3000));
        QVERIFY(waitUntil([&] { return shown({340, 420}) == qRgb(255, 255, 255); }, 3000));
        // A right click clears the selection, a second one closes every overlay.
        QVERIFY(desktop.pointer({"click", "3"}));
        QVERIFY(waitUntil([&] { return showsPattern({300, 300}, true); }, 3000));
        QVERIFY(desktop.pointer({"click", "3"}));
        QVERIFY(waitForOverlays(0));
        // The next capture's overlays (under Wayland the first one's windows, kept) cover the
        // outputs again and show the new capture.
        QVERIFY2(capture(app), app.stderrText());
        QCOMPARE(desktop.overlays().value(1).rect, outputs[1].rect);
        QVERIFY(drag({100, 100}, {300, 300}));
        QVERIFY(waitUntil([&] { return showsPattern({200, 200}, false); }, 3000));
        QVERIFY(escapeCloses());
    }

    // Copy, save and upload give the selected pixels at the output's pixel size: on the
    // clipboard as PNG and TIFF, in the next free file name, or on the reference server with
    // the link on the clipboard and in the browser. When they fail, a message shows over the
    // capture, which stays for another way out: the copy, which the failing rows check on
    // either output at Qt's own scale.
    void outputsGiveTheSelectedPixels_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<int>("output");
        QTest::addColumn<int>("qtScale");
        // What fails, if anything: the save folder or the server.
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("via");
        const QString none;
        QTest::newRow("copy, Qt at scale 2") << "ctrl+c" << 0 << 2 << none << none;
        QTest::newRow("save, next free name") << "ctrl+s" << 1 << 1 << none << none;
        QTest::newRow("save, folder not writable") << "ctrl+s" << 1 << 1 << "folder" << none;
        QTest::newRow("upload") << "ctrl+d" << 0 << 1 << none << none;
        QTest::newRow("upload, server error") << "ctrl+d" << 0 << 1 << "server" << none;
#ifdef CORVANE_WAYLAND
        // Desktops whose compositor makes no screen copies capture through the portal.
        QTest::newRow("copy through the portal, Qt at scale 2")
            << "ctrl+c" << 1 << 2 << none << "portal";
#if !defined(CORVANE_GNOME) && !defined(CORVANE_KDE)
        // sway copies an output's buffer as it stands, not as it shows: the output's transform.
        QTest::newRow("copy, second output upside down") << "ctrl+c" << 1 << 1 << none << "180";
        QTest::newRow("copy, second output mirrored") << "ctrl+c" << 1 << 1 << none << "flipped";
#endif
#endif
    }
    void outputsGiveTheSelectedPixels()
    {
        QFETCH(QString, key);
        QFETCH(int, output);
        QFETCH(int, qtScale);
        QFETCH(QString, fault);
        QFETCH(QString, via);
        const auto turn = [&](const QString &transform) {
            return via.isEmpty() || via == "portal" ||
                   desktop.run("swaymsg", {"output HEADLESS-2 transform " + transform}) == 0;
        };
        const auto upright = qScopeGuard([&] { turn("normal"); });
        QVERIFY(turn(via));
        DevServerProcess devserver(fault == "server" ? QStringList{"--status", "500"}
                                                     : QStringList());
        QVERIFY(devserver.start());
        AppProcess app = desktop.app();
        const QString folder = fault == "folder" ? "/proc" : app.home() + "/Pictures";
        // Whatever second the save falls in, its base name is taken: the next name is _2.
        const QDateTime now = QDateTime::currentDateTime();
        for (int s = 0; s < 30; ++s)
            QFile(folder + now.addSecs(s).toString("/'corvane_'yyyyMMdd_HHmmss'.png'"))
                .open(QIODevice::WriteOnly);
        writeSettings(app, folder, true);
        QProcessEnvironment env = app.environment();
        env.insert("QT_SCALE_FACTOR", QString::number(qtScale));
        env.insert("CORVANE_CAPTURE", via == "portal" ? via : "");
        app.process().setProcessEnvironment(env);
        QVERIFY(app.startRelocated(devserver.baseUrl()));
        QVERIFY2(capture(app), app.stderrText());
        // Whole points at either scale: Qt rounds half points of the pointer (Qt 6.4).
        const QRect selection(outputs[output].rect.topLeft() + QPoint(102, 82), QSize(302, 200));
        QVERIFY(drag(selection.topLeft(), selection.bottomRight() + QPoint(1, 1)));
        QVERIFY(desktop.keys(key));
        const bool fails = !fault.isEmpty();
        if (fails) {
            // The message box sits 8 points inside the selection's corner.
            QVERIFY(waitUntil([&] { return isRed(shown(selection.topLeft() + QPoint(12, 12))); },
                              10000));
            QVERIFY(desktop.keys("ctrl+c"));
        }
        QVERIFY(waitForOverlays(0));
        QMap<QString, QImage> images;
        if (fails || key == "ctrl+c") {
            for (const QString type : {"image/png", "image/tiff"})
                images.insert(type, clipboardImage(type));
        } else {
            const QDir written(key == "ctrl+s" ? folder : devserver.dataDir());
            const QStringList files =
                written.entryList({key == "ctrl+s" ? "*_2.png" : "*"}, QDir::Files);
            QCOMPARE(files.size(), 1);
            images.insert(files.first(), QImage(written.filePath(files.first())));
        }
        for (auto [name, image] : images.asKeyValueRange()) {
            const QString mismatch = differences(image, selection);
            QVERIFY2(mismatch.isEmpty(), qPrintable(name + ": " + mismatch));
        }
        if (key == "ctrl+d" && !fails) {
            QByteArray link;
            const QByteArray server = devserver.baseUrl().toUtf8();
            QVERIFY2(
                waitUntil(
                    [&] { return (link = desktop.clipboard("text/plain")).startsWith(server); },
                    5000),
                qPrintable("clipboard: " + link + '\n' + app.stderrText()));
            QVERIFY(waitUntil([&] { return app.opened() == link.trimmed(); }, 5000));
        }
    }

    // Another program's windows, the second partly over the first, as the desktop lists and
    // stacks them: with no selection a click where both are makes the upper one's frame the
    // selection, whose copy holds the frame's pixels; a click beside them selects nothing.
    void windowsArePickedWithAClick()
    {
#ifdef CORVANE_GNOME
        QSKIP("GNOME Shell tells no other program its windows");
#endif
#ifdef CORVANE_KDE
        QSKIP("corvane reads no window list from KWin, and the other windows are placed by sway");
#endif
        QStringList pids;
        const auto closeWindows = qScopeGuard([&] { desktop.run("kill", pids); });
        const QRect lower = openWindow({150, 100, 450, 300}, &pids);
        const QRect upper = openWindow({400, 250, 450, 300}, &pids, lower);
        QVERIFY(lower.isValid() && upper.isValid());
        QVERIFY(desktop.pointer(at(outputs[1].rect.bottomRight() - QPoint(20, 20))));
        const QImage before = inPoints();
        AppProcess app = desktop.app();
        QVERIFY2(capture(app), app.stderrText());
        const QPoint background(1000, 600);
        QVERIFY(click(background));
        // Still dimmed beside the pointer (where sway's read-back draws the pointer itself).
        QVERIFY(!waitUntil(
            [&] { return !shows(inPoints(), before, background - QPoint(40, 40), 2); }, 500));
        QVERIFY(click((lower & upper).center()));
        QVERIFY(desktop.keys("ctrl+c"));
        QVERIFY(waitForOverlays(0));
        // Pixels alone: the clipboard's PNG names its colour space, the screen's does not.
        const auto pixels = [](QImage image) {
            image.setColorSpace({});
            return image.convertToFormat(QImage::Format_RGB32);
        };
        const QImage copied = pixels(clipboardImage("image/png"));
        QCOMPARE(copied.size(), upper.size());
        // Where the screen is read back exactly; a render at scale 2 blends the window's checks.
        if (!outputs[0].blended)
            QCOMPARE(copied, pixels(before.copy(upper)));
#ifdef CORVANE_WAYLAND
        // sway keeps one window of a workspace full screen, the overlay while it shows: the
        // window that was is so again once the capture has closed.
        QCOMPARE(desktop.run("swaymsg", {"[pid=" + pids.first() + "] fullscreen enable"}), 0);
        QVERIFY(desktop.requestCapture(app) &&
                waitUntil([&] { return desktop.overlays().size() == 2; }, 10000) && escapeCloses());
        const QRegularExpression mode("\"fullscreen_mode\": (\\d),[^{}]*\"pid\": " + pids.first());
        QVERIFY(waitUntil(
            [&] {
                return mode.match(desktop.output("swaymsg", {"-t", "get_tree"})).captured(1) == "1";
            },
            5000));
#endif
    }

    // With none running, --capture starts one first; --settings and --quit reach it, --quit
    // from a launch without the desktop's display too. The settings asked for during the
    // capture open once it is closed.
    void commandLineOptions()
    {
        AppProcess app = desktop.app();
        QVERIFY(desktop.pointer(at(outputs[1].rect.bottomRight() - QPoint(20, 20))));
        QVERIFY(app.start({"--capture"}));
        QVERIFY2(waitForOverlays(outputs.size()), app.stderrText());
        QCOMPARE(app.launchAgain({"--settings"}), 0);
        QVERIFY(escapeCloses());
        QVERIFY(waitUntil([&] { return !desktop.menus().isEmpty(); }, 10000));
        QCOMPARE(app.launchAgain({"--quit"}, {"DISPLAY", "WAYLAND_DISPLAY"}), 0);
        QVERIFY2(app.waitForExit(10000), app.stderrText());
        QCOMPARE(app.process().exitCode(), 0);
        QCOMPARE(app.launchAgain({"--quit"}), 0);
    }

#ifdef CORVANE_GNOME
    // GNOME's portal writes each capture's picture into the home (its Pictures folder, or the
    // home itself) and leaves it there: none is left once the application has read it. Asked
    // for while the Activities overview is open, a capture covers the outputs with the
    // desktop's pixels, as it does over the desktop, instead of showing inside the overview.
    void noPictureLeftAndCaptureOverTheOverview()
    {
        AppProcess app = desktop.app();
        for (int i = 0; i < 3; ++i) {
            if (i == 2) {
                QVERIFY(desktop.keys("super"));
                QVERIFY(waitUntil([&] { return shell("Main.overview.visible").contains("'true'"); },
                                  5000));
            }
            QVERIFY2(capture(app) && escapeCloses(), app.stderrText());
        }
        QByteArray found;
        const QStringList find{"-c", R"(find "$HOME" "$0" -name '*.png')", app.home()};
        QCOMPARE(desktop.run("sh", find, &found), 0);
        QVERIFY2(found.isEmpty(), found);
    }

    // With the screenshot permission unset, a capture shows GNOME's dialog; Allow opens the
    // overlays. After Deny, a capture says so in a message of ours. The permission is granted
    // again afterwards.
    void gnomeAsksForThePermission()
    {
        const QString store = "org.freedesktop.impl.portal.PermissionStore";
        const auto permission = [&](const QString &method, const QStringList &args) {
            return desktop.run("gdbus",
                               QStringList{"call", "--session", "--dest", store, "--object-path",
                                           '/' + store.split('.').join('/'), "--method",
                                           store + '.' + method, "screenshot"} +
                                   args) == 0;
        };
        const auto granted = qScopeGuard([&] {
            permission("SetPermission", {"true", "screenshot", "''", "['yes']"});
        });
        AppProcess app = desktop.app();
        // GNOME shows the dialog on the pointer's output: the first one, where the shell's
        // pixels are the pointer's points.
        QVERIFY(app.start() && desktop.pointer(at(outputs[0].rect.center())));
        for (const QString answer : {"Allow", "Deny"}) {
            QVERIFY(permission("DeletePermission", {"screenshot", "''"}));
            QVERIFY(desktop.requestCapture(app));
            const QPoint button = settledCentre(
                "Main.layoutManager.modalDialogGroup.get_children().flatMap(d => "
                "d.dialogLayout?.buttonLayout?.get_children() ?? []).find(b => b.label === '" +
                answer + "')");
            QVERIFY(!button.isNull());
            QVERIFY(click(button));
            if (answer == "Allow")
                QVERIFY(waitForOverlays(2) && escapeCloses());
        }
        QVERIFY2(waitUntil([&] { return !desktop.menus().isEmpty(); }, 10000), app.stderrText());
    }
#endif

#ifdef CORVANE_KDE
    // KWin gives its screenshots to the application that an installed desktop file admits (the
    // log line at start names them), without the pointer: a selection around where it was
    // holds the pattern alone. A copy that no desktop file names is refused, and its captures
    // go through the portal, saying why once.
    void kwinScreenShotsOrThePortal()
    {
        AppProcess app = desktop.app();
        QVERIFY(app.start());
        const QRect around(500, 300, 100, 80);
        QVERIFY(desktop.pointer(at(around.center())));
        QVERIFY(desktop.requestCapture(app) && waitForOverlays(2));
        QVERIFY2(app.stderrText().contains("캡처: KWin 의 화면 복사"), app.stderrText());
        QVERIFY(drag(around.topLeft(), around.bottomRight() + QPoint(1, 1)));
        QVERIFY(desktop.keys("ctrl+c"));
        QVERIFY(waitForOverlays(0));
        QCOMPARE(differences(clipboardImage("image/png"), around), QString());
        QCOMPARE(app.launchAgain({"--quit"}), 0);
        QVERIFY(app.waitForExit(10000));
        AppProcess copy = desktop.app();
        QVERIFY(copy.startRelocated("http://127.0.0.1:9"));
        for (int i = 0; i < 2; ++i)
            QVERIFY2(capture(copy) && escapeCloses(), copy.stderrText());
        QCOMPARE(copy.stderrText().count("ScreenShot2.Error.NoAuthorized"), 1);
    }
#endif

#ifdef CORVANE_WAYLAND
    // KWin binds the hotkey through KDE's shortcut service: there no shortcut is missing.
    void trayItemCapturesAndTheMissingShortcutIsSaid()
    {
        const QByteArray noShortcuts = "전역 단축키를 제공하지 않습니다";
        AppProcess app = desktop.app();
#if !defined(CORVANE_GNOME) && !defined(CORVANE_KDE)
        // The bar, which hosts the items, starts after the application, as at a login.
        QCOMPARE(desktop.run("pkill", {"-x", "swaybar"}), 0);
        QVERIFY(app.start() &&
                waitUntil([&] { return app.stderrText().contains("트레이"); }, 20000));
        QCOMPARE(desktop.run("swaymsg", {"exec swaybar -b bar-0"}), 0);
#else
        QVERIFY(app.start());
#endif
#ifndef CORVANE_KDE
        QVERIFY(waitUntil([&] { return app.stderrText().contains(noShortcuts); }, 20000));
#endif
        // This instance's item, named by its connection: the host may still list the items of
        // instances that earlier cases ended.
        const QByteArray pid = "uint32 " + QByteArray::number(app.process().processId());
        QString service, path, id;
        QVERIFY(waitUntil(
            [&] {
                const QByteArray items =
                    dbus("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                         "org.freedesktop.DBus.Properties.Get",
                         {"string:org.kde.StatusNotifierWatcher",
                          "string:RegisteredStatusNotifierItems"});
                for (const auto &item :
                     QRegularExpression("\"(([^\"/@]+)@?(/[^\"]+))\"").globalMatch(items)) {
                    if (dbus("org.freedesktop.DBus", "/",
                             "org.freedesktop.DBus.GetConnectionUnixProcessID",
                             {"string:" + item.captured(2)})
                            .contains(pid)) {
                        std::tie(id, service, path) =
                            std::tuple(item.captured(1), item.captured(2), item.captured(3));
                        return true;
                    }
                }
                return false;
            },
            15000));
#ifdef CORVANE_GNOME
        // The AppIndicator extension's icon in the top bar. A right click shows the exported
        // menu, whose row "캡처" captures. The extension opens that menu on a left click too and
        // activates the item only on a double click: each double click captures. The icon is
        // found anew each time, as the top bar shows again once the overlays have closed.
        const QString icon = "Main.panel.statusArea['appindicator-" + id + "']";
        // The icon of an instance an earlier case ended may leave the bar only now, moving ours.
        QVERIFY(waitUntil(
            [&] {
                return shell("Object.keys(Main.panel.statusArea).filter(k => "
                             "k.startsWith('appindicator-')).length")
                    .contains("'1'");
            },
            10000));
        for (const QString clicks : {"3", "1 1", "1 1"}) {
            const QPoint place = settledCentre(icon);
            QStringList steps = at(place);
            for (const QString &button : clicks.split(' '))
                steps << "click" << button;
            QVERIFY(!place.isNull() && desktop.pointer(steps));
            if (clicks == "3") {
                const QPoint row = settledCentre(icon + ".menu._getMenuItems().find(i => "
                                                        "i.label?.text === '캡처')");
                QVERIFY(!row.isNull());
                QVERIFY(click(row));
            }
            QVERIFY(waitForOverlays(2) && escapeCloses());
        }
#elif defined(CORVANE_KDE)
        // Plasma's panel shows the exported menu at the icon, so the item's own menu opens no
        // window of ours; a click there on the row "캡처" captures, as activating the item does.
        const QByteArray menu = dbus(service, "/MenuBar", "com.canonical.dbusmenu.GetLayout",
                                     {"int32:0", "int32:-1", "array:string:"});
        QVERIFY(
            !dbus(service, path, "org.kde.StatusNotifierItem.ContextMenu", {"int32:0", "int32:0"})
                 .isEmpty());
        QVERIFY(!waitUntil([&] { return !desktop.menus().isEmpty(); }, 2000));
        const QString row = QRegularExpression(R"(int32 (\d+)\s+array \[[^\]]*"캡처")")
                                .match(QString::fromUtf8(menu))
                                .captured(1);
        QVERIFY2(!row.isEmpty(), menu);
        dbus(service, path, "org.kde.StatusNotifierItem.Activate", {"int32:0", "int32:0"});
        QVERIFY(waitForOverlays(2) && escapeCloses());
        dbus(service, "/MenuBar", "com.canonical.dbusmenu.Event",
             {"int32:" + row, "string:clicked", "variant:int32:0", "uint32:0"});
        QVERIFY(waitForOverlays(2) && escapeCloses());
#else
        // Activating the item captures; so does the menu the bar asks for, which floats rather
        // than being tiled as an application window, with a click on its first row that can be
        // chosen, "캡처".
        for (const QString call : {"Activate", "ContextMenu"}) {
            QVERIFY(
                !dbus(service, path, "org.kde.StatusNotifierItem." + call, {"int32:0", "int32:0"})
                     .isEmpty());
            if (call == "ContextMenu") {
                // Asked for right after the overlays closed, while the hidden overlay may still
                // hold the focus. When no menu shows, the message gives sway's window tree.
                QRect menu;
                QVERIFY2(
                    waitUntil([&] { return (menu = desktop.menus().value(0).rect).isValid(); },
                              2500),
                    qPrintable(desktop.output("swaymsg", {"-t", "get_tree"}) + app.stderrText()));
                // Six rows and two separators: "캡처", the third row, spans 33-49% of the
                // height. A click before the menu has settled on the screen is lost: it is
                // clicked until it captures.
                const QPoint row(menu.center().x(), menu.top() + menu.height() * 41 / 100);
                QVERIFY(untilOverlays([&] { return click(row); }, 5000));
            }
            QVERIFY(waitForOverlays(2) && escapeCloses());
        }
#endif
    }

    // Where the desktop offers global shortcuts (a stand-in service here: no desktop that
    // does runs headless on this machine), the stored combination is bound there, and the
    // desktop's report of it pressed captures.
    void desktopShortcutCaptures()
    {
#ifdef CORVANE_GNOME
        QSKIP("GNOME Shell 43 offers no global shortcuts, and its portal takes no stand-in");
#endif
#ifdef CORVANE_KDE
        // KWin binds it through KDE's shortcut service, which it runs itself.
        AppProcess kde = desktop.app();
        QVERIFY(kde.start());
        // The binding is made after start, with nothing to show for it to wait on: the keys are
        // pressed again until they capture.
        QVERIFY2(untilOverlays([&] { return desktop.keys("shift+ctrl+9"); }, 15000),
                 kde.stderrText());
        QVERIFY2(waitForOverlays(2), kde.stderrText());
        return;
#endif
        QCOMPARE(desktop.run("sh", {"-c", R"(
dbus-update-activation-environment XDG_DESKTOP_PORTAL_DIR="$XDG_RUNTIME_DIR/portals-shortcuts"
# This bus's portal only: other desktops of the same user may be running beside it.
kill $(dbus-send --session --print-reply=literal --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.GetConnectionUnixProcessID string:org.freedesktop.portal.Desktop |
    awk '{print $2}')
until dbus-send --session --print-reply --dest=org.freedesktop.portal.Desktop \
        /org/freedesktop/portal/desktop org.freedesktop.DBus.Introspectable.Introspect |
        grep -q GlobalShortcuts; do sleep 0.2; done)"}),
                 0);
        AppProcess app = desktop.app();
        QVERIFY(app.start());
        const QString standIn = "org.freedesktop.impl.portal.desktop.corvanetest";
        QVERIFY(waitUntil(
            [&] {
                return dbus(standIn, "/test", "org.corvane.test.Shortcuts.Triggers")
                    .contains("capture=SHIFT+CTRL+9");
            },
            10000));
        dbus(standIn, "/test", "org.corvane.test.Shortcuts.Press", {"string:capture"});
        QVERIFY(waitForOverlays(2) && escapeCloses());
        QVERIFY(!app.stderrText().contains("전역 단축키를 제공하지 않습니다"));
    }
#else
    // A click on the tray icon captures, and again: the menu was never attached to it. Its
    // menu's rows: "캡처" without the menu in the picture, "도움말" opening the server the
    // bundle names, "종료".
    void trayIconAndItsMenu()
    {
        AppProcess app = desktop.app();
        QVERIFY(app.startRelocated("http://127.0.0.1:9/help-base"));
        const std::optional<Desktop::Window> icon = desktop.trayIcon();
        QVERIFY2(icon, app.stderrText());
        QVERIFY(desktop.overlays().isEmpty());
        // An icon just embedded may not take a click yet: the first is repeated until it
        // captures, the second must capture at once.
        QVERIFY2(untilOverlays([&] { return click(icon->rect.center()); }, 10000) &&
                     waitForOverlays(2) && escapeCloses(),
                 app.stderrText());
        QVERIFY2(click(icon->rect.center()) && waitForOverlays(2) && escapeCloses(),
                 app.stderrText());
        Desktop::Window menu;
        QVERIFY(desktop.fromTrayMenu(
            {"Down", "Return"}, [&] { return !desktop.overlays().isEmpty(); }, &menu));
        // The pointer on the other output, away from the magnifier.
        const QPoint away = outputs[menu.rect.x() < outputs[1].rect.x()].rect.center();
        QVERIFY(desktop.pointer(at(away)));
        QVERIFY(waitForOverlays(2));
        QVERIFY(showsPattern(menu.rect.center(), true));
        QVERIFY(escapeCloses());
        QVERIFY(desktop.fromTrayMenu({"Down", "Down", "Down", "Return"},
                                     [&] { return !app.opened().isEmpty(); }));
        QCOMPARE(app.opened(), QByteArray("http://127.0.0.1:9/help-base/"));
        // Up from the top reaches the last row.
        QVERIFY(desktop.fromTrayMenu({"Up", "Return"}, [&] { return app.waitForExit(0); }));
        QCOMPARE(app.process().exitStatus(), QProcess::NormalExit);
    }

    // A launch that finds no private place for its socket (without a runtime folder, a folder
    // of the temporary one open to others) says where and ends, rather than run unreachable.
    void unsafeSocketFolderEndsTheLaunch()
    {
        QTemporaryDir tmp;
        AppProcess app = desktop.app();
        const QByteArray sockets = tmp.filePath(QString("corvane-%1").arg(getuid())).toLocal8Bit();
        QVERIFY(mkdir(sockets, 0700) == 0 && chmod(sockets, 0777) == 0);
        QProcessEnvironment env = app.environment();
        env.remove("XDG_RUNTIME_DIR");
        env.insert("TMPDIR", tmp.path());
        app.process().setProcessEnvironment(env);
        QVERIFY(app.start() && app.waitForExit(15000));
        QCOMPARE(app.process().exitCode(), 1);
        QVERIFY2(app.stderrText().contains(sockets), app.stderrText());
    }

    // Without a tray the log says so and the hotkey captures; a tray host starting later shows
    // the icon.
    void withoutTrayTheHotKeyCapturesUntilOneStarts()
    {
        XServer bare({.windowManager = true, .tray = false});
        QVERIFY(bare.start());
        AppProcess app(bare.environment());
        QVERIFY(app.start());
        QVERIFY(waitUntil([&] { return app.stderrText().contains("트레이"); }, 15000));
        // Its one window, if any: the overlay, later the tray icon.
        const auto shown = [&] {
            return bare.run("xdotool", {"search", "--onlyvisible", "--classname", "^corvane$"}) ==
                   0;
        };
        QVERIFY(!shown() && bare.run("xdotool", {"key", "shift+ctrl+9"}) == 0);
        QVERIFY(waitUntil(shown, 15000));
        QVERIFY(bare.run("xdotool", {"key", "Escape"}) == 0);
        QVERIFY(waitUntil([&] { return !shown(); }, 10000));
        QProcess tray;
        dieWithParent(tray);
        tray.setProcessEnvironment(bare.environment());
        tray.start("trayer", {"--SetDockType", "true"});
        QVERIFY(waitUntil(shown, 15000));
    }

    // The save panel runs over the hidden capture, where the hotkey changes nothing. Cancelling
    // brings the capture back as it was; a name chosen there gets the selection's pixels.
    void savePanel()
    {
        AppProcess app = desktop.app();
        writeSettings(app, app.home(), false); // the panel starts there
        QVERIFY2(capture(app), app.stderrText());
        const QRect selection(200, 200, 300, 200);
        QVERIFY(drag(selection.topLeft(), selection.bottomRight() + QPoint(1, 1)));
        const QString saved = app.home() + "/shot.png";
        for (const QString answer : {"Escape", "Return"}) {
            QVERIFY(desktop.keys("ctrl+s"));
            QString panel;
            QVERIFY(
                waitUntil([&] { return !(panel = desktop.menus().value(0).id).isEmpty(); }, 15000));
            QVERIFY(desktop.requestCapture(app));
            // The panel takes keys once the window manager has focused it and it has settled.
            QCOMPARE(desktop.run("xdotool", {"windowactivate", "--sync", panel}), 0);
            // The overlay stays gone.
            QVERIFY(!waitUntil([&] { return !desktop.overlays().isEmpty(); }, 1000));
            // A bare name: a typed path would open the panel's completion list.
            if (answer == "Return") {
                QVERIFY(desktop.keys("ctrl+a"));
                QVERIFY(desktop.type("shot.png"));
            }
            QVERIFY(desktop.keys(answer));
            const auto saves = [&] { return QFile::exists(saved) && desktop.menus().isEmpty(); };
            QVERIFY(answer == "Escape" ? waitForOverlays(2) : waitUntil(saves, 5000));
        }
        QCOMPARE(differences(QImage(saved), selection), QString());
    }

    // The menu's "설정..." opens the window, and the hotkey is released while it is open; a
    // confirmed change is in force at once. The bundle runs from a folder whose name needs
    // quoting in the autostart entry that a second launch at login uses.
    void confirmedSettingsReachTheRunningApp()
    {
        QTemporaryDir dir;
        const QString bundle = dir.filePath(R"(my "app" $HOME \x.app)");
        QCOMPARE(QProcess::execute("cp", {"-R", CORVANE_BUNDLE_DIR, bundle}), 0);
        AppProcess app = desktop.app();
        app.process().start(bundle + "/Contents/MacOS/corvane");
        const auto settingsShown = [&] {
            return desktop.run("xdotool",
                               {"search", "--onlyvisible", "--name", "^corvane 설정$"}) == 0;
        };
        QVERIFY(desktop.fromTrayMenu({"Down", "Down", "Return"}, settingsShown));
        // The tray icon captures nothing while it is open (no overlay once it has closed), and
        // its menu does not open meanwhile.
        const std::optional<Desktop::Window> icon = desktop.trayIcon();
        QVERIFY(icon &&
                desktop.pointer(at(icon->rect.center()) + QStringList{"click", "3", "click", "1"}));
        QVERIFY(!waitUntil([&] { return desktop.menus().size() > 1; }, 1000));
        // Tab steps to launch at login, then round to the recorder.
        const QString keys =
            "shift+ctrl+9 Tab Tab Tab Tab Tab Tab space Tab Tab Tab ctrl+alt+a Return";
        QCOMPARE(desktop.run("xdotool", QStringList{"key", "--delay", "100"} + keys.split(' ')), 0);
        QVERIFY(waitUntil([&] { return !settingsShown(); }, 5000));
        QVERIFY(desktop.overlays().isEmpty());
        QVERIFY(untilOverlays([&] { return desktop.keys("ctrl+alt+a"); }, 5000) && escapeCloses());
        // What a desktop session does at login, a second launch from the entry, hands over to
        // the running application and so captures.
        QProcess launcher;
        launcher.setProcessEnvironment(app.environment());
        launcher.start("gio", {"launch", app.home() + "/config/autostart/corvane.desktop"});
        QVERIFY(waitForOverlays(2) && escapeCloses());
    }

    // A 1.0.0 bundle in a folder of its own, run with wake-ups and checks every 0.3 s, with a
    // capture open when 2.0.0 is offered.
    void installsWhenIdleAndRollsBack()
    {
        QTemporaryDir dir;
        DevServerProcess server;
        AppProcess app = desktop.app();
        const QString bundle = dir.filePath("corvane.app"), tmp = dir.filePath("tmp");
        const QString exe = bundle + "/Contents/MacOS/corvane";
        const auto log = [&] { return readFile(dir.filePath("stderr.log")); };
        const auto version = [&] { return readFile(bundle + "/Contents/Info.plist"); };
        const auto logs = [&](const char *line, int ms) {
            return waitUntil([&] { return log().contains(line); }, ms);
        };
        // A copy of the built bundle, given the public one of a new key, is archived as 2.0.0
        // and published signed by that key, its archive on the server, then runs as 1.0.0. Neither
        // a version the bundle does not hold or with a letter, nor a key of another kind or not
        // the bundle's, nor a damaged archive, publishes.
        const QString prepare =
            "cd \"$0\" && bash $3/update-key.sh key && cp -R \"$1\" corvane.app && sed -i "
            "\"s|__SERVER_URL__|$2|; s|__VERSION__|2.0.0|; s|__UPDATE_KEY__|$(cat key/*.b64)|\" "
            "corvane.app/Contents/Info.plist && zip -qr new.zip corvane.app && sed -i "
            "s/2.0.0/1.0.0/ corvane.app/Contents/Info.plist && tools=$3 && publish() { bash "
            "$tools/publish-update.sh --key $1 --version $2 new.zip key 2>&1; } && "
            "! publish key/update-key.pem 2.0.1 >/dev/null && openssl genpkey -algorithm RSA -out "
            "rsa.pem && ! publish rsa.pem 2.0.0 >/dev/null && publish key/update-key.pem v2.0.0 | "
            "grep -q 'not a version' && openssl genpkey -algorithm ed25519 -out other.pem && "
            "publish other.pem 2.0.0 | grep -q 'public key' && cp new.zip good.zip && printf X | "
            "dd of=new.zip bs=1 seek=$(($(stat -c %s new.zip) / 2)) conv=notrunc 2>/dev/null && "
            "publish key/update-key.pem 2.0.0 | grep -q 'unpack whole' && mv good.zip new.zip && "
            "publish key/update-key.pem 2.0.0 && mkdir -p \"$4\" && "
            "cp key/corvane-mac.zip \"$4\"";
        QVERIFY(server.start() && QDir().mkpath(tmp) &&
                QProcess::execute("sh",
                                  {"-c", prepare, dir.path(), CORVANE_BUNDLE_DIR, server.baseUrl(),
                                   CORVANE_TOOLS_DIR, server.releasesDir()}) == 0);
        app.process().setStandardErrorFile(dir.filePath("stderr.log"));
        app.process().start("env", {"TMPDIR=" + tmp, "CORVANE_UPDATE_TIMING_MS=300,300,300", exe});
        // Once its icon shows it listens, and a further launch opens a capture in it.
        QVERIFY(desktop.trayIcon() && app.launchAgain() == 0 &&
                waitUntil([&] { return !desktop.overlays().isEmpty(); }, 15000));

        // Downloaded once the bundle is unpacked and verified and the archive deleted.
        const QByteArray manifest = readFile(dir.filePath("key/version.json"));
        QVERIFY(writeFile(server.releasesDir() + "/version.json", manifest));
        const auto inTmp = [&](const QString &script) {
            return QProcess::execute("sh", {"-c", script, tmp}) == 0;
        };
        const QString unpacked =
            "test -d $0/*/corvane.app/Contents/MacOS -a ! -e $0/*/corvane-mac.zip";
        QVERIFY2(waitUntil([&] { return inTmp(unpacked); }, 60000), log());
        QVERIFY(!waitUntil([&] { return !version().contains(">1.0.0<"); }, 1500));

        // The unpacked bundle vanishes, as a temporary-folder cleaner might make it: once the
        // capture closes, its move beside the running bundle fails, which stays as it was.
        QVERIFY(QFile::remove(server.releasesDir() + "/version.json") &&
                inTmp("rm -r $0/*/corvane.app"));
        // Escape closes the capture; pressed again until it has, as a key can go astray.
        QVERIFY2(
            waitUntil([&] { return desktop.keys("Escape") && logs("업데이트 적용 실패: ", 1000); },
                      20000),
            log());
        QVERIFY(version().contains(">1.0.0<") && QFileInfo(exe).isExecutable());
        QVERIFY(!QFileInfo::exists(bundle + ".old") && QDir(tmp).isEmpty());

        // Offered again: with nothing open, the next check installs it and relaunches, and the
        // new process says so once the old one has let go of the single-instance name.
        QVERIFY(writeFile(server.releasesDir() + "/version.json", manifest));
        QVERIFY2(app.waitForExit(30000) && app.process().exitCode() == 0, log());
        QVERIFY(version().contains(">2.0.0<"));
        QVERIFY2(logs("업데이트 후 시작: corvane 2.0.0 ", 15000), log());
        QCOMPARE(app.launchAgain({"--quit"}), 0);
    }
#endif
};

CORVANE_DESKTOP_TEST_MAIN(TestOverlay)
#include "tst_Overlay.moc"
