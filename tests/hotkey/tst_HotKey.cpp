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
    // F12 alone, pressed after every set of keys: once it arrived, so had their presses.
    HotKey marker{[this] { ++marks; }};

    // The presses of the hotkey that keys (as xdotool names them) made.
    int pressesOf(const QString &keys)
    {
        const int before = presses, marksBefore = marks;
        if (testkit::serverOf(this).run("xdotool", ("key " + keys + " F12").split(' ')) != 0 ||
            !QTest::qWaitFor([&] { return marks > marksBefore; }, 5000))
            return -1;
        return presses - before;
    }

private slots:
    // A press of the combination reaches the callback; other modifiers on the same key do not,
    // and Caps Lock and Num Lock change nothing. Another registration and unregistering each
    // give the combination back. One that another client holds, even in its Num Lock variant
    // alone, which makes the shortcut unreliable, is refused, and the partial grabs of the
    // attempt are given back; so is a key without a native code.
    void registration()
    {
        HotKey hotKey([this] { ++presses; });
        QVERIFY(marker.registerHotKey(HotKeyCombo(111, 0)));
        QVERIFY(hotKey.registerHotKey(HotKeyCombo::standard));
        QCOMPARE(pressesOf("shift+ctrl+9"), 1);
        QCOMPARE(pressesOf("ctrl+9 shift+ctrl+8"), 0);
        QVERIFY(hotKey.registerHotKey(HotKeyCombo(0, HotKeyCombo::Option)));
        QCOMPARE(pressesOf("Caps_Lock alt+a Caps_Lock Num_Lock alt+a Num_Lock"), 2);
        QVERIFY(OtherClient().grab(kNine, kShiftCtrl));
        QVERIFY(hotKey.registerHotKey(HotKeyCombo::standard));
        hotKey.unregister();
        QVERIFY(!hotKey.isRegistered());
        OtherClient other;
        QVERIFY(other.grab(kNine, kShiftCtrl | XCB_MOD_MASK_2));
        QVERIFY(!hotKey.registerHotKey(HotKeyCombo::standard));
        QVERIFY(!hotKey.isRegistered());
        QVERIFY(OtherClient().grab(kNine, kShiftCtrl));
        QVERIFY(!hotKey.registerHotKey(HotKeyCombo(1000, HotKeyCombo::Command)));
    }
};

CORVANE_X11_TEST_MAIN(TestHotKey, .windowManager = false, .tray = false)
#include "tst_HotKey.moc"
