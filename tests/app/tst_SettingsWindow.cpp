#include <QApplication>
#include <QKeyEvent>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "app/SettingsWindow.h"
#include "hotkey/HotKeyRecorder.h"
#include "settings/AppSettings.h"
#include "testkit/Golden.h"

class TestSettingsWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    // Presses "ctrl+alt+a"-style combinations in the recorder with the hardware key codes
    // the X server reports.
    static void press(QWidget *recorder, const QString &script)
    {
        const QHash<QString, int> codes{
            {"a", 38}, {"f5", 71}, {"escape", 9}, {"shift", 50}, {"mute", 121}};
        for (const QString &step : script.split(' ', Qt::SkipEmptyParts)) {
            const QStringList parts = step.split('+');
            Qt::KeyboardModifiers mods;
            for (const auto &[name, modifier] : {std::pair{"shift", Qt::ShiftModifier},
                                                 {"ctrl", Qt::ControlModifier},
                                                 {"alt", Qt::AltModifier},
                                                 {"super", Qt::MetaModifier}})
                mods.setFlag(modifier, parts.contains(name));
            const Qt::Key key = parts.last() == "shift" ? Qt::Key_Shift : Qt::Key_unknown;
            QKeyEvent event(QEvent::KeyPress, key, mods, quint32(codes[parts.last()]), 0, 0);
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
        QTest::newRow("shift_is_not_enough") << 1 << "shift+a";
        QTest::newRow("refused_then_taken") << 1 << "shift+a ctrl+alt+a";
        QTest::newRow("bare_function_key") << 1 << "f5";
        QTest::newRow("super_is_control") << 1 << "super+alt+a";
        QTest::newRow("escape_or_modifier_alone") << 1 << "escape ctrl+escape shift";
        QTest::newRow("key_without_a_code") << 1 << "ctrl+mute";
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
            QCOMPARE(QApplication::focusWidget(), &window);
            if (!presses.isEmpty())
                QTest::mouseClick(window.recorder(), Qt::LeftButton);
            press(window.recorder(), presses);
            window.render(&image);
            window.cancel();
        });
        window.run();
        QString message;
        const QString golden = CORVANE_TEST_DATA_DIR "/golden/settings_%1.png";
        QVERIFY2(testkit::matchesGolden(image, golden.arg(QTest::currentDataTag()), &message),
                 qPrintable(message));
    }
};

QTEST_MAIN(TestSettingsWindow)
#include "tst_SettingsWindow.moc"
