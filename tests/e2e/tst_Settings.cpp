#include <QDir>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include "testkit/Desktop.h"
#include "testkit/Files.h"
#include "testkit/OtherClient.h"

using namespace testkit;

namespace {

// What confirming stores: the key code and modifiers of Shift+Ctrl+9 or Ctrl+Alt+A, and the
// shown folder explicitly, here the fallback Pictures folder in the home folder (~).
const QString kStandard = "25 1179648 ~/Pictures", kCtrlAltA = "0 1572864 ~/Pictures";

} // namespace

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
    }
    // The bundle runs from a folder whose name needs quoting in an autostart entry.
    void settingsAreWrittenOnlyWhenConfirmed()
    {
        QFETCH(QString, before);
        QFETCH(QString, keys);
        QFETCH(QString, entryAfter);
        QFETCH(QString, stored);
        QTemporaryDir dir;
        const QString bundle = dir.filePath(R"(my "app" $HOME \x.app)");
        QCOMPARE(QProcess::execute("cp", {"-R", CORVANE_BUNDLE_DIR, bundle}), 0);
        AppProcess app = desktop.app();
        const QString entry = app.home() + "/config/autostart/corvane.desktop";
        if (!before.isEmpty())
            QVERIFY(QDir(app.home()).mkpath("config/autostart") &&
                    writeFile(entry, before.toUtf8()));
        app.process().start(bundle + "/Contents/MacOS/corvane");
        const auto settingsShown = [&] {
            return desktop.run("xdotool",
                               {"search", "--onlyvisible", "--name", "^corvane 설정$"}) == 0;
        };
        QVERIFY(desktop.fromTrayMenu({"Down", "Down", "Return"}, settingsShown));
        // The capture hotkey is released while the window is open: its press captures nothing.
        QVERIFY(key("shift+ctrl+9 " + keys));
        QVERIFY(waitUntil([&] { return !settingsShown(); }, 5000));
        QVERIFY(desktop.overlays().isEmpty());

        // The hotkey in force is taken back only after the settings were written.
        QVERIFY(captures(stored == kCtrlAltA ? "ctrl+alt+a" : "shift+ctrl+9"));
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
        launcher.setProcessEnvironment(app.environment());
        launcher.setProgram("gio");
        launcher.setArguments({"launch", entry});
        QVERIFY(launcher.startDetached());
        QVERIFY(captures("", 15000));
    }
};

CORVANE_DESKTOP_TEST_MAIN(TestSettings)
#include "tst_Settings.moc"
