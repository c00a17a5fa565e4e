#include <QApplication>

#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include "AppProcess.h"
#include "testkit/XServer.h"

using namespace testkit;

class TestShell : public QObject
{
    Q_OBJECT

    const XServer &server() { return testkit::serverOf(this); }

private slots:
    void trayIconAndQuitFromMenu()
    {
        AppProcess app(server());
        QVERIFY(app.start());
        XWindow icon;
        QVERIFY2(waitForWindow(server(), Kind::TrayIcon, &icon), app.stderrText());
        QVERIFY(windowsOf(server(), Kind::Overlay).isEmpty());
        // Up from the top reaches the last row, "종료".
        QVERIFY2(chooseFromMenu(server(), icon, {"Up", "Return"},
                                [&] { return app.process().state() == QProcess::NotRunning; }),
                 "the application did not quit from its menu");
        QCOMPARE(app.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.process().exitCode(), 0);
    }

    void leftClickCapturesAndEscapeCloses()
    {
        AppProcess app(server());
        QVERIFY(app.start());
        XWindow icon;
        QVERIFY(waitForWindow(server(), Kind::TrayIcon, &icon));
        QVERIFY(click(server(), icon.geometry.center(), 1));
        XWindow overlay;
        QVERIFY(waitForWindow(server(), Kind::Overlay, &overlay));
        QCOMPARE(overlay.geometry.size(), QSize(1920, 1080));
        QVERIFY(server().run("xdotool", {"key", "Escape"}) == 0);
        QVERIFY(waitForNoWindow(server(), Kind::Overlay));
        // A second click captures again: the menu was never attached to the icon.
        QVERIFY(click(server(), icon.geometry.center(), 1));
        QVERIFY(waitForWindow(server(), Kind::Overlay));
        QVERIFY(server().run("xdotool", {"key", "Escape"}) == 0);
        QVERIFY(waitForNoWindow(server(), Kind::Overlay));
        QCOMPARE(app.process().state(), QProcess::Running);
    }

    void secondLaunchHandsOverAndCaptures()
    {
        AppProcess app(server());
        QVERIFY(app.start());
        QVERIFY(waitForWindow(server(), Kind::TrayIcon));
        QCOMPARE(app.launchAgain(), 0);
        QVERIFY(waitForWindow(server(), Kind::Overlay));
        QCOMPARE(app.process().state(), QProcess::Running);
        // While a capture is open, another launch brings it back rather than capturing twice.
        QCOMPARE(app.launchAgain(), 0);
        QTest::qWait(300);
        QCOMPARE(windowsOf(server(), Kind::Overlay).size(), 1);
        QVERIFY(server().run("xdotool", {"key", "Escape"}) == 0);
        QVERIFY(waitForNoWindow(server(), Kind::Overlay));
        QCOMPARE(windowsOf(server(), Kind::TrayIcon).size(), 1);
    }

    void menuCaptureLeavesTheMenuOutOfTheImage()
    {
        AppProcess app(server());
        QVERIFY(app.start());
        XWindow icon, menu;
        QVERIFY(waitForWindow(server(), Kind::TrayIcon, &icon));
        // The first enabled row is "캡처".
        QVERIFY(chooseFromMenu(
            server(), icon, {"Down", "Return"},
            [&] { return !windowsOf(server(), Kind::Overlay).isEmpty(); }, &menu));
        // The pointer far from where the menu was: the magnifier follows it.
        QCOMPARE(server().run("xdotool", {"mousemove", "0", "10000"}), 0);
        QTest::qWait(300);
        QByteArray png;
        QCOMPARE(server().run("import", {"-window", "root", "png:-"}, &png), 0);
        const QImage screen = QImage::fromData(png, "PNG");
        QVERIFY(!screen.isNull());
        // The menu is light; had it been frozen into the capture, its dimmed copy would
        // still be far brighter than the dimmed black desktop around it.
        const QRgb pixel = screen.pixel(menu.geometry.center());
        QVERIFY2(qGray(pixel) < 40, qPrintable(QString::number(qGray(pixel))));
        QVERIFY(server().run("xdotool", {"key", "Escape"}) == 0);
        QVERIFY(waitForNoWindow(server(), Kind::Overlay));
    }

    void helpOpensTheServerNamedByTheBundle()
    {
        AppProcess app(server());
        QVERIFY(app.startRelocated("http://127.0.0.1:9/help-base"));
        XWindow icon;
        QVERIFY(waitForWindow(server(), Kind::TrayIcon, &icon));
        QVERIFY(chooseFromMenu(server(), icon, {"Down", "Down", "Down", "Return"},
                               [&] { return !app.opened().isEmpty(); }));
        QCOMPARE(app.opened(), QByteArray("http://127.0.0.1:9/help-base/"));
        QCOMPARE(windowsOf(server(), Kind::Overlay).size(), 0);
    }

    void socketIsPrivateAndStaleOnesAreReplaced()
    {
        AppProcess app(server());
        QVERIFY(app.start());
        QVERIFY(waitForWindow(server(), Kind::TrayIcon));
        const QString socket = app.home() + "/runtime/corvane.sock";
        QVERIFY(QFileInfo::exists(socket));
        const QFile::Permissions perms = QFileInfo(socket).permissions();
        QVERIFY(!(perms &
                  (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther)));
        // A crashed instance leaves its socket behind; the next launch must not hand over to it.
        app.process().kill();
        QVERIFY(app.waitForExit(5000));
        QVERIFY(waitForNoWindow(server(), Kind::TrayIcon));
        AppProcess again(server());
        QVERIFY(again.start());
        QVERIFY(waitForWindow(server(), Kind::TrayIcon));
        QCOMPARE(again.process().state(), QProcess::Running);
    }

    void withoutTrayTheHotKeyCapturesUntilOneStarts()
    {
        XServer bare(testkit::XServerOptions{.windowManager = true, .tray = false});
        QVERIFY(bare.start());
        AppProcess app(bare);
        QVERIFY(app.start());
        QVERIFY(testkit::waitUntil([&] { return app.stderrText().contains("트레이"); }, 15000));
        QVERIFY(bare.run("xdotool", {"key", "shift+ctrl+9"}) == 0);
        QVERIFY(waitForWindow(bare, Kind::Overlay));
        QVERIFY(bare.run("xdotool", {"key", "Escape"}) == 0);
        QVERIFY(waitForNoWindow(bare, Kind::Overlay));
        // A tray host starting later shows the icon, and the missing tray is not logged again.
        QProcess tray;
        testkit::dieWithParent(tray);
        tray.setProcessEnvironment(bare.environment());
        tray.start("trayer", {"--SetDockType", "true"});
        QVERIFY(waitForWindow(bare, Kind::TrayIcon));
        QCOMPARE(app.stderrText().count("트레이"), 1);
    }

    void withoutDisplayItSaysSo()
    {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("DISPLAY");
        env.remove("QT_QPA_PLATFORM");
        env.remove("WAYLAND_DISPLAY");
        process.setProcessEnvironment(env);
        AppProcess app(server());
        process.start(app.executable());
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 1);
        QVERIFY(process.readAllStandardError().contains("X11"));
    }
};

CORVANE_X11_TEST_MAIN(TestShell, .windowManager = true, .tray = true)
#include "tst_Shell.moc"
