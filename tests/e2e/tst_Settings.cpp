#include <QApplication>
#include <QDir>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include "AppProcess.h"
#include "testkit/Files.h"
#include "testkit/OtherClient.h"
#include "testkit/XServer.h"

using namespace testkit;

namespace {

// What confirming stores: the key code and modifiers of Shift+Ctrl+9 or Ctrl+Alt+A, and the
// shown folder explicitly, here the fallback Pictures folder in the home folder (~).
const QString kStandard = "25 1179648 ~/Pictures", kCtrlAltA = "0 1572864 ~/Pictures";

bool key(const XServer &server, const QString &keys)
{
    return server.run("xdotool", QStringList{"key", "--delay", "100"} + keys.split(' ')) == 0;
}

// Presses keys, if any, until the capture overlay opens; Escape closes it again.
bool captures(const XServer &server, const QString &keys, int ms = 5000)
{
    const auto opened = [&] {
        return (keys.isEmpty() || key(server, keys)) &&
               waitForWindow(server, Kind::Overlay, nullptr, 1000);
    };
    return waitUntil(opened, ms) && key(server, "Escape") && waitForNoWindow(server, Kind::Overlay);
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
        // launch at login, cancel, confirm, and round to the recorder again.
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QString>("entryAfter");
        QTest::addColumn<QString>("stored");
        const QString none, box = "Tab Tab Tab Tab Tab Tab ", own = "Exec=other", exec = "Exec=";
        QTest::newRow("at login, refused, then new hotkey")
            << none << box + "space Tab Tab Tab shift+a ctrl+alt+a Return" << exec << kCtrlAltA;
        QTest::newRow("Escape in the recorder") << none << "Tab ctrl+alt+a Escape" << none << none;
        QTest::newRow("close button") << none << "Tab ctrl+alt+a alt+F4" << none << none;
        QTest::newRow("cancel button") << none << box + "space Tab space" << none << none;
        QTest::newRow("reset") << none << "Tab ctrl+alt+a Tab space Return" << none << kStandard;
        QTest::newRow("off and on again") << own << box + "space space Return" << own << kStandard;
        QTest::newRow("off") << own << box + "space Return" << none << kStandard;
        QTest::newRow("socket folder open to others") << "0777" << none << none << none;
        QTest::newRow("socket folder of another user") << "0700" << none << none << none;
    }
    // The bundle runs from a folder whose name needs quoting in an autostart entry, without a
    // runtime folder, so that its single-instance socket is in a private temporary folder.
    void settingsAreWrittenOnlyWhenConfirmed()
    {
        QFETCH(QString, before);
        QFETCH(QString, keys);
        QFETCH(QString, entryAfter);
        QFETCH(QString, stored);
        QTemporaryDir dir;
        const QString bundle = dir.filePath(R"(my "app" $HOME \x.app)");
        QCOMPARE(QProcess::execute("cp", {"-R", CORVANE_BUNDLE_DIR, bundle}), 0);
        const QByteArray sockets = dir.filePath(QString("corvane-%1").arg(getuid())).toLocal8Bit();
        if (keys.isEmpty() && (mkdir(sockets, 0700) || chmod(sockets, before.toInt(nullptr, 8)) ||
                               chown(sockets, before == "0777" ? getuid() : 65534, -1)))
            QSKIP("giving a folder to another user needs root");
        AppProcess app(server());
        const QString entry = app.home() + "/config/autostart/corvane.desktop";
        if (!keys.isEmpty() && !before.isEmpty())
            QVERIFY(QDir(app.home()).mkpath("config/autostart") &&
                    writeFile(entry, before.toUtf8()));
        QProcessEnvironment env = app.environment();
        env.remove("XDG_RUNTIME_DIR");
        env.insert("TMPDIR", dir.path());
        app.process().setProcessEnvironment(env);
        app.process().start(bundle + "/Contents/MacOS/corvane");
        if (keys.isEmpty()) {
            QVERIFY(app.waitForExit(15000) && app.process().exitCode() == 1);
            QVERIFY(app.stderrText().contains(sockets));
            return;
        }
        const auto settingsShown = [&] {
            return server().run("xdotool",
                                {"search", "--onlyvisible", "--name", "^corvane 설정$"}) == 0;
        };
        XWindow icon;
        QVERIFY(waitForWindow(server(), Kind::TrayIcon, &icon));
        QVERIFY(chooseFromMenu(server(), icon, {"Down", "Down", "Return"}, settingsShown));
        // The capture hotkey is released while the window is open: its press captures nothing.
        QVERIFY(key(server(), "shift+ctrl+9 " + keys));
        QVERIFY(waitUntil([&] { return !settingsShown(); }, 5000));
        QVERIFY(windowsOf(server(), Kind::Overlay).isEmpty());

        // The hotkey in force is taken back only after the settings were written.
        QVERIFY(captures(server(), stored == kCtrlAltA ? "ctrl+alt+a" : "shift+ctrl+9"));
        const QSettings saved(app.home() + "/config/corvane/corvane.conf", QSettings::IniFormat);
        QStringList written;
        for (const char *name : {"hotkeyKeyCode", "hotkeyModifiers", "saveFolder"})
            written << saved.value(name).toString();
        QCOMPARE(written.join(' ').replace(app.home(), "~").trimmed(), stored);
        QCOMPARE(QFile::exists(entry) && readFile(entry).contains(entryAfter.toUtf8()),
                 !entryAfter.isEmpty());
        if (stored != kCtrlAltA)
            return;
        // The old combination is free; what a desktop session does at login, a second launch
        // from the entry, hands over to the running application and so captures.
        QVERIFY(OtherClient().grab(18, XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL));
        QProcess launcher;
        launcher.setProcessEnvironment(env);
        launcher.setProgram("gio");
        launcher.setArguments({"launch", entry});
        QVERIFY(launcher.startDetached());
        QVERIFY(captures(server(), "", 15000));
    }

    // Another program holds the hotkey at start; the next try after it quits, at most five
    // seconds later, takes it: presses into another program's window capture.
    void hotKeyHeldElsewhereIsTakenOnceFree()
    {
        auto other = std::make_unique<OtherClient>();
        QVERIFY(other->grab(18, XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL));
        AppProcess app(server());
        QWidget focused;
        focused.show();
        QVERIFY(app.start() && waitForWindow(server(), Kind::TrayIcon));
        QVERIFY(QTest::qWaitForWindowActive(&focused));
        other.reset();
        QVERIFY(captures(server(), "shift+ctrl+9", 6500));
    }
};

CORVANE_X11_TEST_MAIN(TestSettings, .windowManager = true, .tray = true)
#include "tst_Settings.moc"
