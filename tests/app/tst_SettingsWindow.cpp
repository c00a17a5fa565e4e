#include <QApplication>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <unistd.h>

#include "app/SettingsWindow.h"
#include "hotkey/HotKeyRecorder.h"
#include "settings/AppSettings.h"
#include "testkit/Golden.h"

namespace {

// Presses "ctrl+alt+a"-style combinations with their hardware key codes, as the X server
// reports them; "reset" clicks the reset button instead.
void press(SettingsWindow &window, const QString &sequence)
{
    const QHash<QString, std::pair<int, Qt::Key>> keys{
        {"a", {38, Qt::Key_A}},         {"f5", {71, Qt::Key_F5}},
        {"space", {65, Qt::Key_Space}}, {"escape", {9, Qt::Key_Escape}},
        {"shift", {50, Qt::Key_Shift}}, {"mute", {121, Qt::Key_VolumeMute}}};
    const QHash<QString, Qt::KeyboardModifier> modifiers{{"shift", Qt::ShiftModifier},
                                                         {"ctrl", Qt::ControlModifier},
                                                         {"alt", Qt::AltModifier},
                                                         {"super", Qt::MetaModifier}};
    for (const QString &combo : sequence.split(' ', Qt::SkipEmptyParts)) {
        if (combo == "reset") {
            for (QPushButton *b : window.findChildren<QPushButton *>())
                if (b->text() == "기본값")
                    b->click();
            continue;
        }
        QStringList parts = combo.split('+');
        const auto [scanCode, key] = keys.value(parts.takeLast());
        Qt::KeyboardModifiers mods;
        for (const QString &m : parts)
            mods |= modifiers.value(m);
        QKeyEvent event(QEvent::KeyPress, key, mods, quint32(scanCode), 0, 0);
        QApplication::sendEvent(window.recorder(), &event);
    }
}

} // namespace

class TestSettingsWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<AppSettings> settings;
    QString entry;

    LaunchAtLogin loginItem() const { return LaunchAtLogin(entry, "/opt/corvane.app/corvane"); }

    // Runs the dialog modally and acts in it once it is up.
    bool run(SettingsWindow &window, const std::function<void()> &act)
    {
        QTimer::singleShot(0, &window, [&] {
            QVERIFY(QTest::qWaitForWindowActive(&window));
            act();
        });
        QTimer::singleShot(20000, &window, &SettingsWindow::reject);
        return window.run();
    }

private slots:
    void initTestCase()
    {
        QApplication::setStyle("Fusion");
        QApplication::setFont(QFont("Noto Sans CJK KR"));
    }
    void init()
    {
        QDir(dir.path()).removeRecursively();
        QDir().mkpath(dir.path());
        settings = std::make_unique<AppSettings>(
            std::make_unique<QSettings>(dir.filePath("s.conf"), QSettings::IniFormat));
        entry = dir.filePath("autostart/corvane.desktop");
    }

    void recorderTakesOnlyUsableCombinations_data()
    {
        QTest::addColumn<QString>("presses");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<int>("changes");
        QTest::addColumn<int>("refusals");
        QTest::addColumn<bool>("red");
        QTest::newRow("bare letter") << "a"
                                     << "⇧⌘9" << 0 << 1 << true;
        QTest::newRow("shift is not enough") << "shift+a"
                                             << "⇧⌘9" << 0 << 1 << true;
        QTest::newRow("refused, then taken") << "shift+a ctrl+alt+a"
                                             << "⌥⌘A" << 1 << 1 << false;
        QTest::newRow("bare function key") << "f5"
                                           << "F5" << 1 << 0 << false;
        QTest::newRow("super is control") << "super+alt+space"
                                          << "⌃⌥Space" << 1 << 0 << false;
        QTest::newRow("each repeat reports") << "ctrl+a ctrl+a"
                                             << "⌘A" << 2 << 0 << false;
        QTest::newRow("escape and modifiers alone") << "escape ctrl+escape shift"
                                                    << "⇧⌘9" << 0 << 0 << false;
        QTest::newRow("key without a code") << "ctrl+mute"
                                            << "⇧⌘9" << 0 << 1 << true;
        QTest::newRow("reset after refusal") << "ctrl+a shift+a reset"
                                             << "⇧⌘9" << 2 << 1 << false;
    }
    void recorderTakesOnlyUsableCombinations()
    {
        QFETCH(QString, presses);
        QFETCH(QString, shown);
        QFETCH(int, changes);
        QFETCH(int, refusals);
        QFETCH(bool, red);
        SettingsWindow window(*settings, loginItem());
        int changed = 0, refused = 0;
        const auto onChange = window.recorder()->onChange;
        const auto onInvalid = window.recorder()->onInvalid;
        window.recorder()->onChange = [&] { ++changed, onChange(); };
        window.recorder()->onInvalid = [&] { ++refused, onInvalid(); };
        press(window, presses);
        QCOMPARE(window.recorder()->combo().display(), shown);
        QCOMPARE(changed, changes);
        QCOMPARE(refused, refusals);
        // The hint follows the last outcome: red refusal text, or the grey default.
        QCOMPARE(window.hint()->text(), red ? "F1~F20 외의 키는 ⌘, ⌃, ⌥ 와 함께 누르세요."
                                            : "입력란을 클릭하고 원하는 키 조합을 누르세요.");
        const QColor color = window.hint()->palette().color(QPalette::WindowText);
        QCOMPARE(color.red() > 2 * color.green(), red);
    }

    void looksAsDesigned_data()
    {
        QTest::addColumn<int>("scale");
        QTest::addColumn<bool>("refused");
        QTest::newRow("scale1") << 1 << false;
        QTest::newRow("scale2") << 2 << false;
        QTest::newRow("refused_focused_scale1") << 1 << true;
    }
    void looksAsDesigned()
    {
        QFETCH(int, scale);
        QFETCH(bool, refused);
        settings->setSaveFolder("/usr/share/fonts/opentype/noto");
        SettingsWindow window(*settings, loginItem());
        QImage image;
        run(window, [&] {
            if (refused) {
                window.recorder()->setFocus();
                press(window, "shift+a");
            }
            image = QImage(window.size() * scale, QImage::Format_ARGB32_Premultiplied);
            image.setDevicePixelRatio(scale);
            window.render(&image);
            window.cancel();
        });
        QString message;
        const QString golden = CORVANE_TEST_DATA_DIR "/golden/settings_%1.png";
        QVERIFY2(testkit::matchesGolden(image, golden.arg(QTest::currentDataTag()), &message),
                 qPrintable(message));
    }

    void writesOnlyWhenConfirmed_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("edit");
        QTest::newRow("confirm untouched") << "확인" << false;
        QTest::newRow("Return in the recorder") << "Return" << true;
        QTest::newRow("cancel") << "취소" << true;
        QTest::newRow("Escape in the recorder") << "Escape" << true;
        QTest::newRow("close button") << "close" << true;
    }
    void writesOnlyWhenConfirmed()
    {
        QFETCH(QString, how);
        QFETCH(bool, edit);
        SettingsWindow window(*settings, loginItem());
        const bool confirmed = run(window, [&] {
            QVERIFY(QApplication::focusWidget() != window.recorder());
            window.recorder()->setFocus();
            if (edit) {
                press(window, "ctrl+alt+a");
                window.directRadio()->click();
                window.autoStart()->click();
            }
            if (how == "Return" || how == "Escape")
                QTest::keyClick(window.recorder(),
                                how == "Return" ? Qt::Key_Return : Qt::Key_Escape);
            else if (how == "close")
                window.close();
            for (QPushButton *b : window.findChildren<QPushButton *>())
                if (b->text() == how)
                    b->click();
        });
        QCOMPARE(confirmed, how == "확인" || how == "Return");
        const QSettings stored(dir.filePath("s.conf"), QSettings::IniFormat);
        if (!confirmed) {
            QCOMPARE(stored.allKeys(), QStringList());
            QVERIFY(!QFile::exists(entry));
            return;
        }
        QCOMPARE(stored.allKeys().size(), 4);
        QCOMPARE(settings->hotKey(),
                 edit ? HotKeyCombo(0, HotKeyCombo::Command | HotKeyCombo::Option)
                      : HotKeyCombo::standard);
        // The shown fallback folder becomes the stored one.
        QCOMPARE(settings->saveFolder(),
                 QStandardPaths::standardLocations(QStandardPaths::PicturesLocation).value(0));
        QCOMPARE(settings->saveWithoutDialog(), edit);
        QCOMPARE(QFile::exists(entry), edit);
    }

    void loginItemChangesOnlyWhenWanted_data()
    {
        QTest::addColumn<QByteArray>("existing");
        QTest::addColumn<int>("toggles");
        QTest::addColumn<QString>("outcome");
        const QByteArray own = "[Desktop Entry]\nExec=/somewhere/else\n";
        QTest::newRow("off and on again") << own << 2 << "unchanged";
        QTest::newRow("off removes it") << own << 1 << "removed";
        QTest::newRow("hidden entry is off")
            << QByteArray("[Desktop Entry]\nHidden=true\n") << 0 << "unchanged";
        QTest::newRow("on writes it") << QByteArray() << 1 << "written";
        QTest::newRow("unwritable folder") << QByteArray("blocked") << 1 << "logged";
    }
    void loginItemChangesOnlyWhenWanted()
    {
        QFETCH(QByteArray, existing);
        QFETCH(int, toggles);
        QFETCH(QString, outcome);
        // A file where the autostart folder must be makes the write fail, even for root.
        const bool blocked = existing == "blocked";
        if (!blocked)
            QDir().mkpath(dir.filePath("autostart"));
        QFile file(blocked ? dir.filePath("autostart") : entry);
        if (!existing.isEmpty()) {
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(existing);
            file.close();
        }
        SettingsWindow window(*settings, loginItem());
        QCOMPARE(window.autoStart()->isChecked(), existing.startsWith("[Desktop Entry]\nExec"));

        QFile log(dir.filePath("stderr.txt"));
        QVERIFY(log.open(QIODevice::ReadWrite));
        const int saved = dup(STDERR_FILENO);
        dup2(log.handle(), STDERR_FILENO);
        const bool confirmed = run(window, [&] {
            for (int i = 0; i < toggles; ++i)
                window.autoStart()->click();
            window.confirm();
        });
        fflush(stderr);
        dup2(saved, STDERR_FILENO);
        close(saved);
        QVERIFY(confirmed);
        log.seek(0);
        QCOMPARE(log.readAll().startsWith("corvane: 자동 실행 설정 실패: "), outcome == "logged");
        QCOMPARE(settings->hotKey(), HotKeyCombo::standard);
        QFile result(entry);
        QCOMPARE(result.open(QIODevice::ReadOnly), outcome != "removed" && outcome != "logged");
        if (outcome == "unchanged")
            QCOMPARE(result.readAll(), existing);
        if (outcome == "written")
            QVERIFY(result.readAll().contains("\nExec=\"/opt/corvane.app/corvane\"\n"));
    }
};

QTEST_MAIN(TestSettingsWindow)
#include "tst_SettingsWindow.moc"
