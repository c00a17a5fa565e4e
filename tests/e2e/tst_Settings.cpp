#include <QApplication>
#include <QDir>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include "AppProcess.h"
#include "testkit/OtherClient.h"
#include "testkit/XServer.h"

using namespace testkit;

namespace {

// The stored key code and modifiers of Shift+Ctrl+9.
const QString kStandard = "25 1179648";

int settingsWindows(const XServer &server)
{
    QByteArray ids;
    server.run("xdotool", {"search", "--onlyvisible", "--name", "^corvane 설정$"}, &ids);
    return int(ids.count('\n'));
}

bool key(const XServer &server, const QString &keys)
{
    return server.run("xdotool", QStringList{"key", "--delay", "100"} + keys.split(' ')) == 0;
}

} // namespace

class TestSettings : public QObject
{
    Q_OBJECT

    const XServer &server() { return serverOf(this); }

private slots:
    void settingsAreWrittenOnlyWhenConfirmed_data()
    {
        // Tab steps from the unfocused window: recorder, reset, folder, folder button, radio,
        // launch at login, cancel, confirm.
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QByteArray>("entryAfter");
        QTest::addColumn<QString>("stored");
        const QString box = "Tab Tab Tab Tab Tab Tab ", standard = kStandard;
        const QByteArray own = "[Desktop Entry]\nExec=/elsewhere\n", none;
        QTest::newRow("untouched") << none << "Return" << none << standard;
        QTest::newRow("new hotkey, at login")
            << none << "Tab ctrl+alt+a Tab Tab Tab Tab Tab space Return" << QByteArray("Exec=")
            << "0 1572864";
        QTest::newRow("Escape in the recorder") << none << "Tab ctrl+alt+a Escape" << none << "";
        QTest::newRow("close button") << none << "Tab ctrl+alt+a alt+F4" << none << "";
        QTest::newRow("cancel button") << none << box + "space Tab space" << none << "";
        QTest::newRow("reset") << none << "Tab ctrl+alt+a Tab space Return" << none << standard;
        QTest::newRow("off and on again") << own << box + "space space Return" << own << standard;
        QTest::newRow("off") << own << box + "space Return" << none << standard;
        QTest::newRow("hidden counts as off")
            << QByteArray("[Desktop Entry]\nHidden=true\n") << box + "space Return"
            << QByteArray("Exec=") << standard;
        // A file where the autostart folder must be makes the write fail, even for root.
        QTest::newRow("autostart unwritable")
            << QByteArray("file") << box + "space Return" << none << standard;
        QTest::newRow("socket folder open to others") << QByteArray("0777") << "" << none << "";
        QTest::newRow("socket folder of another user") << QByteArray("0700") << "" << none << "";
    }
    // The bundle runs from a folder whose name needs quoting in an autostart entry, without a
    // runtime folder, so that its single-instance socket is in a private temporary folder.
    void settingsAreWrittenOnlyWhenConfirmed()
    {
        QFETCH(QByteArray, before);
        QFETCH(QString, keys);
        QFETCH(QByteArray, entryAfter);
        QFETCH(QString, stored);
        QTemporaryDir dir;
        const QString bundle = dir.filePath(R"(my "app" $HOME \x/corvane.app)");
        QVERIFY(QDir().mkpath(bundle));
        QCOMPARE(QProcess::execute("cp", {"-RT", CORVANE_BUNDLE_DIR, bundle}), 0);
        const QByteArray socketFolder =
            dir.filePath(QString("corvane-%1").arg(getuid())).toLocal8Bit();
        if (keys.isEmpty() &&
            (mkdir(socketFolder, 0700) != 0 || chmod(socketFolder, before.toInt(nullptr, 8)) != 0 ||
             chown(socketFolder, before == "0777" ? getuid() : 65534, -1) != 0))
            QSKIP("giving a folder to another user needs root");
        AppProcess app(server());
        const QString autostart = app.home() + "/config/autostart";
        const bool blocked = before == "file";
        QDir().mkpath(blocked ? app.home() + "/config" : autostart);
        if (blocked || before.startsWith('[')) {
            QFile file(blocked ? autostart : autostart + "/corvane.desktop");
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(before));
        }
        QProcessEnvironment env = app.environment();
        env.remove("XDG_RUNTIME_DIR");
        env.insert("TMPDIR", dir.path());
        app.process().setProcessEnvironment(env);
        app.process().start(bundle + "/Contents/MacOS/corvane");
        if (keys.isEmpty()) {
            QVERIFY(app.waitForExit(15000));
            QCOMPARE(app.process().exitCode(), 1);
            QVERIFY(app.stderrText().contains(socketFolder));
            return;
        }
        XWindow icon;
        QVERIFY(waitForWindow(server(), Kind::TrayIcon, &icon));
        struct stat made;
        QVERIFY(stat(socketFolder, &made) == 0 && (made.st_mode & 0777) == 0700);
        QVERIFY(chooseFromMenu(server(), icon, {"Down", "Down", "Return"},
                               [&] { return settingsWindows(server()) == 1; }));
        // The capture hotkey is released while the window is open: its press captures nothing.
        QVERIFY(key(server(), "shift+ctrl+9 " + keys));
        QVERIFY(waitUntil([&] { return settingsWindows(server()) == 0; }, 5000));
        QVERIFY(windowsOf(server(), Kind::Overlay).isEmpty());

        // Each outcome is waited for: the window disappears just before the settings are written.
        QVERIFY(waitUntil(
            [&] {
                const QSettings saved(app.home() + "/config/corvane/corvane.conf",
                                      QSettings::IniFormat);
                const QString hotKey = saved.value("hotkeyKeyCode").toString() + " " +
                                       saved.value("hotkeyModifiers").toString();
                // The shown folder, here the fallback Pictures folder, is stored explicitly.
                return stored.isEmpty() ? saved.allKeys().isEmpty()
                                        : hotKey == stored &&
                                              saved.value("saveFolder") == app.home() + "/Pictures";
            },
            5000));
        QVERIFY(waitUntil(
            [&] {
                QFile after(autostart + "/corvane.desktop");
                return entryAfter.isEmpty() ? !after.exists()
                                            : after.open(QIODevice::ReadOnly) &&
                                                  after.readAll().contains(entryAfter);
            },
            5000));
        QCOMPARE(waitUntil([&] { return app.stderrText().contains("자동 실행 설정 실패: "); },
                           blocked ? 5000 : 0),
                 blocked);
        if (stored == kStandard || stored.isEmpty())
            return;
        // What a desktop session does at login: the entry's program is a second launch, which
        // hands over to the running one and so captures.
        QProcess launcher;
        launcher.setProcessEnvironment(env);
        // The started program outlives the launcher: it must not write into a closed pipe.
        launcher.setProcessChannelMode(QProcess::ForwardedChannels);
        launcher.start("gio", {"launch", autostart + "/corvane.desktop"});
        QVERIFY(launcher.waitForFinished(10000) && launcher.exitCode() == 0);
        QVERIFY(waitForWindow(server(), Kind::Overlay));
        QVERIFY(key(server(), "Escape") && waitForNoWindow(server(), Kind::Overlay));
        // The new combination captures, with the lock keys on too; the old one is free.
        QVERIFY(key(server(), "Caps_Lock Num_Lock ctrl+alt+a Caps_Lock Num_Lock"));
        QVERIFY(waitForWindow(server(), Kind::Overlay));
        QVERIFY(key(server(), "Escape") && waitForNoWindow(server(), Kind::Overlay));
        QVERIFY(OtherClient().grab(18, XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL));
    }

    void trayHostStartingLaterShowsTheIcon()
    {
        XServer bare(XServerOptions{.windowManager = true, .tray = false});
        QVERIFY(bare.start());
        AppProcess app(bare);
        QVERIFY(app.start());
        QVERIFY(waitUntil([&] { return app.stderrText().contains("트레이"); }, 15000));
        QProcess tray;
        dieWithParent(tray);
        tray.setProcessEnvironment(bare.environment());
        tray.start("trayer", {"--SetDockType", "true"});
        QVERIFY(waitForWindow(bare, Kind::TrayIcon));
        QCOMPARE(app.stderrText().count("트레이"), 1);
    }
};

CORVANE_X11_TEST_MAIN(TestSettings, .windowManager = true, .tray = true)
#include "tst_Settings.moc"
