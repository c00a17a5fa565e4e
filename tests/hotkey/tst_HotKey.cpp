#include <QApplication>
#include <QTest>

#include <xcb/xcb.h>

#include "hotkey/HotKey.h"
#include "hotkey/KeyCodeMap.h"
#include "testkit/OtherClient.h"
#include "testkit/XServer.h"

using testkit::OtherClient;

class TestHotKey : public QObject
{
    Q_OBJECT
    static constexpr uint64_t S = HotKeyCombo::Shift, C = HotKeyCombo::Control,
                              O = HotKeyCombo::Option, M = HotKeyCombo::Command;

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
    // Shift never makes an ordinary key usable; any of the other three does, and a function
    // key or Print Screen is usable with every subset, including none.
    void validityOverAllModifierSubsets()
    {
        for (uint64_t bits = 0; bits < 16; ++bits) {
            const uint64_t modifiers = bits << 17;
            for (const uint16_t key : {0, 10}) // a named key and one without a name
                QCOMPARE(HotKeyCombo(key, modifiers).isValid(), (bits & 0b1110) != 0);
            QVERIFY(HotKeyCombo(97, modifiers).isValid());
            QVERIFY(HotKeyCombo(HotKeyCombo::printScreen, modifiers).isValid());
        }
    }

    // The shown names: every modifier in a fixed order, none, and Ctrl, Super or Shift alone;
    // keys without a name of the table's.
    void display()
    {
        const std::tuple<uint16_t, uint64_t, QString> rows[] = {
            {0, M | S | O | C, "Super+Alt+Shift+Ctrl+A"},
            {96, 0, "F5"},
            {10, M, "Ctrl+키10"},
            {36, C, "Super+Return"},
            {HotKeyCombo::printScreen, S, "Shift+Print"},
            {114, M, "Ctrl+Ins"},
            {65, O, "Alt+Num+."},
            {91, M | S, "Shift+Ctrl+Num+8"}};
        for (const auto &[keyCode, modifiers, text] : rows)
            QCOMPARE(HotKeyCombo(keyCode, modifiers).display(), text);
    }

    // Each modifier has its own bit of the mask.
    void carbonMask() { QCOMPARE(HotKeyCombo(0, M | S | O | C).carbonModifiers(), 0x1B00u); }

    void nativeKeyCodes()
    {
        // Positions, not characters: the keycodes the X server gives these keys.
        QCOMPARE(KeyCodeMap::toNative(53), std::optional<uint8_t>(9));
        QCOMPARE(KeyCodeMap::toNative(122), std::optional<uint8_t>(67));
        QCOMPARE(KeyCodeMap::fromNative(107), std::optional<uint16_t>(HotKeyCombo::printScreen));
        QCOMPARE(KeyCodeMap::fromNative(36), std::optional<uint16_t>(36));
        // Every named key has a code of its own, and the function keys are the ones so named.
        QCOMPARE(HotKeyCombo::keyNames().size(), 81);
        QCOMPARE(HotKeyCombo::functionKeys().size(), 20);
        QSet<uint8_t> seen;
        for (const auto &[key, name] : HotKeyCombo::keyNames().asKeyValueRange()) {
            const auto native = KeyCodeMap::toNative(key);
            QVERIFY2(native && !seen.contains(*native), qPrintable(name));
            seen.insert(*native);
            QCOMPARE(KeyCodeMap::fromNative(*native), std::optional<uint16_t>(key));
            QCOMPARE(HotKeyCombo::functionKeys().contains(key), name.size() > 1 && name[0] == 'F');
        }
    }

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
        QVERIFY(OtherClient().grab());
        QVERIFY(hotKey.registerHotKey(HotKeyCombo::standard));
        hotKey.unregister();
        QVERIFY(!hotKey.isRegistered());
        OtherClient other;
        QVERIFY(other.grab(OtherClient::nine, OtherClient::shiftCtrl | XCB_MOD_MASK_2));
        QVERIFY(!hotKey.registerHotKey(HotKeyCombo::standard));
        QVERIFY(!hotKey.isRegistered());
        QVERIFY(OtherClient().grab());
        QVERIFY(!hotKey.registerHotKey(HotKeyCombo(1000, HotKeyCombo::Command)));
    }
};

CORVANE_X11_TEST_MAIN(TestHotKey, .windowManager = false, .tray = false)
#include "tst_HotKey.moc"
