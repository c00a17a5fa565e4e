#include <QApplication>
#include <QTest>

#include <xcb/xcb.h>

#include "hotkey/HotKey.h"
#include "testkit/OtherClient.h"
#include "testkit/XServer.h"

namespace {

using testkit::OtherClient;

constexpr uint8_t kNine = 18;
constexpr uint16_t kShiftCtrl = XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL;

} // namespace

class TestHotKey : public QObject
{
    Q_OBJECT

    int presses = 0, marks = 0;
    std::unique_ptr<HotKey> hotKey;
    // F12 alone, pressed after every set of keys: once it arrived, so had their presses.
    HotKey marker{[this] { ++marks; }};

    // The presses of the hotkey that keys (as xdotool names them) made.
    int pressesOf(const QString &keys)
    {
        const int before = presses, marksBefore = marks;
        if (testkit::serverOf(this).run("xdotool", QStringList{"key"} + keys.split(' ') +
                                                       QStringList{"F12"}) != 0 ||
            !QTest::qWaitFor([&] { return marks > marksBefore; }, 5000))
            return -1;
        return presses - before;
    }

private slots:
    void init()
    {
        hotKey = std::make_unique<HotKey>([this] { ++presses; });
        QVERIFY(marker.registerHotKey(HotKeyCombo(111, 0)));
    }
    void cleanup() { hotKey.reset(); }

    // Other modifiers on the same key are not the shortcut; Caps Lock and Num Lock do not
    // change it.
    void pressReachesCallback()
    {
        QVERIFY(hotKey->registerHotKey(HotKeyCombo::standard));
        QCOMPARE(pressesOf("shift+ctrl+9"), 1);
        QCOMPARE(pressesOf("ctrl+9 shift+ctrl+8"), 0);
        QVERIFY(hotKey->registerHotKey(HotKeyCombo(0, HotKeyCombo::Option)));
        QCOMPARE(pressesOf("Caps_Lock alt+a Caps_Lock Num_Lock alt+a Num_Lock"), 2);
    }

    // Another registration, unregistering and destroying each give the combination back.
    void releasesTheGrab()
    {
        QVERIFY(hotKey->registerHotKey(HotKeyCombo::standard));
        QVERIFY(hotKey->registerHotKey(HotKeyCombo(25, HotKeyCombo::Option)));
        QVERIFY(OtherClient().grab(kNine, kShiftCtrl));
        QVERIFY(hotKey->registerHotKey(HotKeyCombo::standard));
        hotKey->unregister();
        QVERIFY(!hotKey->isRegistered());
        QVERIFY(OtherClient().grab(kNine, kShiftCtrl));
        QVERIFY(hotKey->registerHotKey(HotKeyCombo::standard));
        hotKey.reset();
        QVERIFY(OtherClient().grab(kNine, kShiftCtrl));
    }

    void refusedWhileAnotherClientHoldsIt()
    {
        OtherClient other;
        // Holding only the Num Lock variant is enough to make the shortcut unreliable.
        QVERIFY(other.grab(kNine, kShiftCtrl | XCB_MOD_MASK_2));
        QVERIFY(!hotKey->registerHotKey(HotKeyCombo::standard));
        QVERIFY(!hotKey->isRegistered());
        // The partial grabs of the failed attempt were given back.
        QVERIFY(OtherClient().grab(kNine, kShiftCtrl));
        QVERIFY(!hotKey->registerHotKey(HotKeyCombo(1000, HotKeyCombo::Command)));
    }
};

CORVANE_X11_TEST_MAIN(TestHotKey, .windowManager = false, .tray = false)
#include "tst_HotKey.moc"
