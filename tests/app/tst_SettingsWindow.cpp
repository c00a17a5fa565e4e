#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QKeyEvent>
#include <QLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "app/QtTranslations.h"
#include "app/SettingsWindow.h"
#include "hotkey/HotKeyRecorder.h"
#include "settings/AppSettings.h"
#include "testkit/Files.h"
#include "testkit/Golden.h"

class TestSettingsWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    // Presses keys such as "Tab, Shift+A, Ctrl+Alt+A" where the focus is, the window's
    // shortcuts first, with the hardware key codes the X server reports; other keys, such as
    // Mute, get none the recorder knows.
    static void press(const QString &keys)
    {
        QHash<int, quint32> codes{
            {Qt::Key_A, 38}, {Qt::Key_F5, 71}, {Qt::Key_Escape, 9}, {Qt::Key_Tab, 23}};
        codes.insert(Qt::Key_F35, 50); // Shift, where it switches the layout
        for (const QString &name : keys.split(", ", Qt::SkipEmptyParts)) {
            const QKeyCombination key = QKeySequence(name)[0];
            QWidget *focus = QApplication::focusWidget();
            if (qt_sendShortcutOverrideEvent(focus, 0, key.key(), key.keyboardModifiers()))
                continue;
            for (const QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease}) {
                QKeyEvent event(type, key.key(), key.keyboardModifiers(), codes[key.key()], 0, 0);
                QApplication::sendEvent(focus, &event);
            }
        }
    }

private slots:
    void initTestCase()
    {
        QApplication::setStyle("Fusion");
        QApplication::setFont(QFont("Noto Sans CJK KR"));
    }

    // Keys pressed in the window. Where it is drawn (scale 1 or 2) it looks as its picture
    // shows: a refused press leaves the combination and turns the hint red, an accepted one
    // shows it with the grey hint again. Once closed, it has written the settings only if
    // confirmed: the key code and modifiers of Shift+Ctrl+9, and the shown folder explicitly;
    // and the login entry as asked.
    void pressesShowAndStore_data()
    {
        QTest::addColumn<int>("scale");
        QTest::addColumn<QString>("presses");
        QTest::addColumn<QString>("entryBefore");
        QTest::addColumn<QString>("entryAfter");
        QTest::addColumn<QString>("stored");
        const QString none, own = "Exec=other";
        QTest::newRow("scale2") << 2 << "" << none << none << none;
        // Shift is not enough; a key without a code cannot be registered.
        QTest::newRow("refused") << 1 << "Shift+A, Ctrl+Volume Mute" << none << none << none;
        QTest::newRow("refused_then_taken") << 1 << "Shift+A, Ctrl+Alt+A" << none << none << none;
        // A bare function key is taken; Escape and a modifier alone then change nothing.
        QTest::newRow("f5_then_ignored") << 1 << "F5, Ctrl+Esc, Shift" << none << none << none;
        QTest::newRow("super_is_control") << 1 << "Meta+Alt+A" << none << none << none;
        // Tab steps from the recorder: reset, folder, folder button, radio, launch at login,
        // cancel, confirm.
        const QString box = "Tab, Tab, Tab, Tab, Tab, ", standard = "25 1179648 shown";
        QTest::newRow("Escape in the recorder") << 0 << "Ctrl+Alt+A, Esc" << none << none << none;
        QTest::newRow("super tab") << 0 << "Meta+Tab, Return" << none << none << "48 262144 shown";
        QTest::newRow("Alt and Shift") << 0 << "Alt+F35, Return" << none << none << standard;
        QTest::newRow("cancel button") << 0 << box + "Space, Tab, Space" << none << none << none;
        QTest::newRow("reset") << 0 << "Ctrl+Alt+A, Tab, Space, Return" << none << none << standard;
        QTest::newRow("off, on") << 0 << box + "Space, Space, Return" << own << own << standard;
        QTest::newRow("off") << 0 << box + "Space, Return" << own << none << standard;
    }
    void pressesShowAndStore()
    {
        QFETCH(int, scale);
        QFETCH(QString, presses);
        QFETCH(QString, entryBefore);
        QFETCH(QString, entryAfter);
        QFETCH(QString, stored);
        QTemporaryDir tmp;
        const QString conf = tmp.filePath("s.conf"), entry = tmp.filePath("corvane.desktop");
        QVERIFY(entryBefore.isEmpty() || testkit::writeFile(entry, entryBefore.toUtf8()));
        AppSettings settings(std::make_unique<QSettings>(conf, QSettings::IniFormat));
        if (scale > 0) // a folder every machine here has, for the picture
            settings.setSaveFolder("/usr/share/fonts/opentype/noto");
        SettingsWindow window(settings, LaunchAtLogin(entry, "c"));
        QImage image;
        QTimer::singleShot(0, &window, [&] {
            QVERIFY(QTest::qWaitForWindowActive(&window));
            // No control has the focus at first; the recorder gets it from a click.
            if (!presses.isEmpty())
                QTest::mouseClick(window.recorder(), Qt::LeftButton);
            press(presses);
            if (scale > 0) {
                image = testkit::canvas(window.sizeHint(), scale);
                window.layout()->activate(); // as the next paint would find it
                window.render(&image);
                window.cancel();
            }
            if (window.isVisible())
                window.done(-1); // left open: neither confirmed nor cancelled
        });
        window.run();
        QCOMPARE(window.result(), stored.isEmpty() ? QDialog::Rejected : QDialog::Accepted);
        if (scale > 0) {
            const QString golden = CORVANE_TEST_DATA_DIR "/golden/settings_%1.png";
            QVERIFY(testkit::matchesGolden(image, golden.arg(QTest::currentDataTag())));
            return;
        }
        QString written;
        for (const char *name : {"hotkeyKeyCode", "hotkeyModifiers", "saveFolder"})
            written += QSettings(conf, QSettings::IniFormat).value(name).toString() + ' ';
        QCOMPARE(written.replace(settings.effectiveSaveFolder(), "shown").trimmed(), stored);
        QCOMPARE(testkit::readFile(entry), entryAfter.toUtf8());
    }

    // Confirmed settings that cannot be stored (a folder where the file must be) are in force
    // for this run only: the user is told where they could not be written, until they can. A
    // login item that cannot be written is told too.
    void unwritableStoreIsTold()
    {
        const QString conf = dir.filePath("folder.conf");
        QVERIFY(QDir().mkpath(conf));
        AppSettings settings(std::make_unique<QSettings>(conf, QSettings::IniFormat));
        for (const QString &expected :
             {"설정을 저장하지 못했습니다: " + conf, QString(), QString("자동 실행 설정 실패: ")}) {
            const bool login = expected.startsWith("자동");
            SettingsWindow window(
                settings,
                LaunchAtLogin(login ? "/proc/corvane/e.desktop" : dir.filePath("e.desktop"), "c"));
            window.findChild<QCheckBox *>()->setChecked(login);
            QString told;
            QTimer::singleShot(0, &window, [&] {
                window.confirm();
                QTimer::singleShot(0, &window, [&] {
                    auto *alert = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
                    told = alert ? alert->text() : QString();
                    if (alert)
                        alert->accept();
                });
            });
            QVERIFY(window.run());
            QVERIFY2(told.startsWith(expected) && told.isEmpty() == expected.isEmpty(),
                     qPrintable(told));
            QVERIFY(QDir().rmdir(conf) || !expected.startsWith("설정"));
        }
    }

    // A chosen folder that is away (a drive not mounted) stays chosen through a confirm that
    // picked none, and gives way to one picked, even the folder shown in its place.
    void awayFolderStaysChosen()
    {
        AppSettings settings(
            std::make_unique<QSettings>(dir.filePath("away.conf"), QSettings::IniFormat));
        for (const bool pick : {false, true}) {
            settings.setSaveFolder(dir.filePath("unmounted"));
            const QString shown = settings.effectiveSaveFolder();
            SettingsWindow window(settings, LaunchAtLogin(dir.filePath("e.desktop"), "c"));
            QTimer::singleShot(0, &window, [&] {
                QTimer::singleShot(0, [] {
                    if (auto *panel = qobject_cast<QDialog *>(QApplication::activeModalWidget()))
                        panel->accept();
                });
                for (QPushButton *browse : window.findChildren<QPushButton *>())
                    if (pick && browse->text() == "변경...")
                        browse->click();
                window.confirm();
            });
            QVERIFY(window.run());
            QCOMPARE(settings.saveFolder(), pick ? shown : dir.filePath("unmounted"));
        }
    }

    void qtDialogsInKorean()
    {
        QVERIFY(installQtTranslations(*QCoreApplication::instance(), QLocale(QLocale::Korean)));
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("취소"));
    }

    // The desktop switches an entry off by hiding or disabling it, in its main group only.
    void loginItemState()
    {
        const QString entry = dir.filePath("entry.desktop");
        for (const auto &[lines, enabled] : {std::pair("Hidden=true", false),
                                             {"X-GNOME-Autostart-enabled=false", false},
                                             {"X-MATE-Autostart-enabled=false", false},
                                             {"[X]\nX-GNOME-Autostart-enabled=false", true}}) {
            QVERIFY(testkit::writeFile(entry, QByteArray("[Desktop Entry]\n") + lines));
            QCOMPARE(LaunchAtLogin(entry, "c").isEnabled(), enabled);
        }
    }
};

QTEST_MAIN(TestSettingsWindow)
#include "tst_SettingsWindow.moc"
