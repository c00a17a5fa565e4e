#include <QTemporaryDir>
#include <QTest>

#include "testkit/Desktop.h"

using namespace testkit;

class TestSettings : public QObject
{
    Q_OBJECT

public:
    explicit TestSettings(Desktop &desktop) : desktop(desktop) {}

private:
    Desktop &desktop;

    bool key(const QString &keys) const
    {
        return desktop.run("xdotool", QStringList{"key", "--delay", "100"} + keys.split(' ')) == 0;
    }
    // Presses keys, if any, until the capture overlays open; Escape closes them again.
    bool captures(const QString &keys, int ms = 5000) const
    {
        const auto opened = [&] {
            return (keys.isEmpty() || key(keys)) &&
                   waitUntil([&] { return !desktop.overlays().isEmpty(); }, 1000);
        };
        return waitUntil(opened, ms) && key("Escape") &&
               waitUntil([&] { return desktop.overlays().isEmpty(); }, 10000);
    }

private slots:
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
        const QPoint at = icon ? icon->rect.center() : QPoint();
        QVERIFY(icon && desktop.pointer({"mousemove", QString::number(at.x()),
                                         QString::number(at.y()), "click", "3", "click", "1"}));
        QVERIFY(!waitUntil([&] { return desktop.menus().size() > 1; }, 1000));
        // Tab steps to launch at login, then round to the recorder.
        QVERIFY(key("shift+ctrl+9 Tab Tab Tab Tab Tab Tab space Tab Tab Tab ctrl+alt+a Return"));
        QVERIFY(waitUntil([&] { return !settingsShown(); }, 5000));
        QVERIFY(desktop.overlays().isEmpty());
        QVERIFY(captures("ctrl+alt+a"));
        // What a desktop session does at login, a second launch from the entry, hands over to
        // the running application and so captures.
        QProcess launcher;
        launcher.setProcessEnvironment(app.environment());
        launcher.start("gio", {"launch", app.home() + "/config/autostart/corvane.desktop"});
        QVERIFY(captures("", 15000));
    }
};

CORVANE_DESKTOP_TEST_MAIN(TestSettings)
#include "tst_Settings.moc"
