#include <QApplication>
#include <QKeyEvent>
#include <QLayout>
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

    // Presses key sequences such as "Shift+A, Ctrl+Alt+A" in the recorder, with the hardware
    // key codes the X server reports; other keys, such as Mute, get none the recorder knows.
    static void press(QWidget *recorder, const QKeySequence &keys)
    {
        const QHash<int, quint32> codes{{Qt::Key_A, 38}, {Qt::Key_F5, 71}, {Qt::Key_Escape, 9}};
        for (int i = 0; i < keys.count(); ++i) {
            QKeyEvent event(QEvent::KeyPress, keys[i].key(), keys[i].keyboardModifiers(),
                            codes[keys[i].key()], 0, 0);
            QApplication::sendEvent(recorder, &event);
        }
    }

private slots:
    void initTestCase()
    {
        QApplication::setStyle("Fusion");
        QApplication::setFont(QFont("Noto Sans CJK KR"));
    }

    // What the user sees after each press: the refused ones leave the combination and turn
    // the hint red, an accepted one shows the new combination with the grey hint again.
    void looksAsDesigned_data()
    {
        QTest::addColumn<int>("scale");
        QTest::addColumn<QString>("presses");
        QTest::newRow("scale1") << 1 << "";
        QTest::newRow("scale2") << 2 << "";
        QTest::newRow("shift_is_not_enough") << 1 << "Shift+A";
        QTest::newRow("refused_then_taken") << 1 << "Shift+A, Ctrl+Alt+A";
        QTest::newRow("bare_function_key") << 1 << "F5";
        QTest::newRow("super_is_control") << 1 << "Meta+Alt+A";
        QTest::newRow("escape_or_modifier_alone") << 1 << "Ctrl+Esc, Shift";
        QTest::newRow("key_without_a_code") << 1 << "Ctrl+Volume Mute";
    }
    void looksAsDesigned()
    {
        QFETCH(int, scale);
        QFETCH(QString, presses);
        AppSettings settings(
            std::make_unique<QSettings>(dir.filePath("s.conf"), QSettings::IniFormat));
        settings.setSaveFolder("/usr/share/fonts/opentype/noto");
        SettingsWindow window(settings, LaunchAtLogin(dir.filePath("corvane.desktop"), "c"));
        QImage image(window.sizeHint() * scale, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(scale);
        QTimer::singleShot(0, &window, [&] {
            QVERIFY(QTest::qWaitForWindowActive(&window));
            // No control has the focus at first; the recorder gets it from a click.
            if (!presses.isEmpty())
                QTest::mouseClick(window.recorder(), Qt::LeftButton);
            press(window.recorder(), QKeySequence(presses));
            window.layout()->activate(); // as the next paint would find it
            window.render(&image);
            window.cancel();
        });
        window.run();
        QString message;
        const QString golden = CORVANE_TEST_DATA_DIR "/golden/settings_%1.png";
        QVERIFY2(testkit::matchesGolden(image, golden.arg(QTest::currentDataTag()), &message),
                 qPrintable(message));
    }

    void qtDialogsInKorean()
    {
        QVERIFY(installQtTranslations(*QCoreApplication::instance(), QLocale(QLocale::Korean)));
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("취소"));
        QCOMPARE(QCoreApplication::translate("QFileDialog", "Save As"),
                 QStringLiteral("다른 이름으로 저장"));
    }

    // The desktop switches an entry off by hiding or disabling it, in its main group only.
    void loginItemState()
    {
        const QString entry = dir.filePath("entry.desktop");
        for (const auto &[lines, enabled] : {std::pair("Hidden=true", false),
                                             {"X-GNOME-Autostart-enabled=false", false},
                                             {"[X]\nX-GNOME-Autostart-enabled=false", true}}) {
            QVERIFY(testkit::writeFile(entry, QByteArray("[Desktop Entry]\n") + lines));
            QCOMPARE(LaunchAtLogin(entry, "c").isEnabled(), enabled);
        }
    }
};

QTEST_MAIN(TestSettingsWindow)
#include "tst_SettingsWindow.moc"
