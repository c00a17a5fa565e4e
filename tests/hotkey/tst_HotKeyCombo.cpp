#include <QTest>

#include "hotkey/HotKeyCombo.h"
#include "hotkey/KeyCodeMap.h"

class TestHotKeyCombo : public QObject
{
    Q_OBJECT
    static constexpr uint64_t S = HotKeyCombo::Shift, C = HotKeyCombo::Control,
                              O = HotKeyCombo::Option, M = HotKeyCombo::Command;

private slots:
    void masksForeignFlags()
    {
        const uint64_t capsLock = 0x10000, numPad = 0x200000, help = 0x400000, fn = 0x800000;
        HotKeyCombo combo(25, S | M | capsLock | numPad | help | fn);
        QCOMPARE(combo.modifiers, S | M);
        QCOMPARE(combo, HotKeyCombo::standard);
        QCOMPARE(HotKeyCombo::standard.keyCode, uint16_t(25));
        QVERIFY(!(HotKeyCombo(25, S) == HotKeyCombo(26, S)));
    }

    // Shift, Control, Option and Command each give their own bit, in every combination.
    void carbonModifiers()
    {
        const uint32_t carbon[] = {0x200, 0x1000, 0x800, 0x100};
        for (uint64_t bits = 0; bits < 16; ++bits) {
            uint32_t expected = 0;
            for (int i = 0; i < 4; ++i)
                expected |= (bits >> i & 1) ? carbon[i] : 0;
            QCOMPARE(HotKeyCombo(25, bits << 17).carbonModifiers(), expected);
        }
    }

    void validity_data()
    {
        QTest::addColumn<uint16_t>("keyCode");
        QTest::addColumn<uint64_t>("modifiers");
        QTest::addColumn<bool>("valid");
        QTest::newRow("shift+9") << uint16_t(25) << S << false;
        QTest::newRow("bare F5") << uint16_t(96) << uint64_t(0) << true;
        QTest::newRow("shift+F5") << uint16_t(96) << S << true;
        QTest::newRow("shift+F13") << uint16_t(105) << S << true;
        QTest::newRow("bare F20") << uint16_t(90) << uint64_t(0) << true;
        QTest::newRow("bare Print") << uint16_t(112) << uint64_t(0) << true;
        QTest::newRow("caps lock only, A") << uint16_t(0) << uint64_t(0x10000) << false;
        QTest::newRow("unknown key, no modifier") << uint16_t(10) << uint64_t(0) << false;
        QTest::newRow("unknown key, command") << uint16_t(10) << M << true;
        QTest::newRow("keypad 5, shift") << uint16_t(87) << S << false;
    }
    void validity()
    {
        QFETCH(uint16_t, keyCode);
        QFETCH(uint64_t, modifiers);
        QFETCH(bool, valid);
        QCOMPARE(HotKeyCombo(keyCode, modifiers).isValid(), valid);
    }

    void validityOverAllModifierSubsets()
    {
        // Shift never makes an ordinary key usable; any of the other three does, and a
        // function key is usable with every subset, including none.
        for (uint64_t bits = 0; bits < 16; ++bits) {
            const uint64_t modifiers = bits << 17;
            const bool strong = (bits & 0b1110) != 0;
            QCOMPARE(HotKeyCombo(0, modifiers).isValid(), strong);
            QCOMPARE(HotKeyCombo(25, modifiers).hasModifier(), strong);
            QVERIFY(HotKeyCombo(97, modifiers).isValid());
        }
    }

    void display_data()
    {
        QTest::addColumn<uint16_t>("keyCode");
        QTest::addColumn<uint64_t>("modifiers");
        QTest::addColumn<QString>("text");
        QTest::newRow("standard") << uint16_t(25) << (M | S) << QStringLiteral("Shift+Ctrl+9");
        QTest::newRow("control option space")
            << uint16_t(49) << (O | C) << QStringLiteral("Super+Alt+Space");
        QTest::newRow("all, fixed order")
            << uint16_t(0) << (M | S | O | C) << QStringLiteral("Super+Alt+Shift+Ctrl+A");
        QTest::newRow("bare F5") << uint16_t(96) << uint64_t(0) << QStringLiteral("F5");
        QTest::newRow("unknown") << uint16_t(10) << M << QStringLiteral("Ctrl+키10");
        QTest::newRow("keypad unknown") << uint16_t(82) << uint64_t(0) << QStringLiteral("키82");
        QTest::newRow("return") << uint16_t(36) << C << QStringLiteral("Super+Return");
        QTest::newRow("escape") << uint16_t(53) << O << QStringLiteral("Alt+Esc");
        QTest::newRow("page down") << uint16_t(121) << M << QStringLiteral("Ctrl+PgDown");
        QTest::newRow("backslash") << uint16_t(42) << M << QStringLiteral("Ctrl+\\");
        QTest::newRow("digit 6") << uint16_t(22) << M << QStringLiteral("Ctrl+6");
        QTest::newRow("print screen") << uint16_t(112) << S << QStringLiteral("Shift+Print");
    }
    void display()
    {
        QFETCH(uint16_t, keyCode);
        QFETCH(uint64_t, modifiers);
        QFETCH(QString, text);
        QCOMPARE(HotKeyCombo(keyCode, modifiers).display(), text);
    }

    void tables()
    {
        QCOMPARE(HotKeyCombo::keyNames().size(), 81);
        QCOMPARE(HotKeyCombo::functionKeys().size(), 20);
        for (uint16_t code : HotKeyCombo::functionKeys())
            QVERIFY(HotKeyCombo::keyNames().value(code).startsWith(QLatin1Char('F')));
        QVERIFY(!HotKeyCombo::keyNames().contains(10));
    }

    void nativeKeyCodes()
    {
        // Positions, not characters: the "9" key is X11 keycode 18 on any layout.
        QCOMPARE(KeyCodeMap::toNative(25), std::optional<uint8_t>(18));
        QCOMPARE(KeyCodeMap::toNative(0), std::optional<uint8_t>(38));
        QCOMPARE(KeyCodeMap::toNative(53), std::optional<uint8_t>(9));
        QCOMPARE(KeyCodeMap::toNative(122), std::optional<uint8_t>(67));
        QCOMPARE(KeyCodeMap::fromNative(107), std::optional<uint16_t>(HotKeyCombo::printScreen));
        QCOMPARE(KeyCodeMap::fromNative(36), std::optional<uint16_t>(36));
        QVERIFY(!KeyCodeMap::toNative(1000));
        QVERIFY(!KeyCodeMap::fromNative(0));
        QSet<uint8_t> seen;
        for (auto it = HotKeyCombo::keyNames().cbegin(); it != HotKeyCombo::keyNames().cend();
             ++it) {
            const auto native = KeyCodeMap::toNative(it.key());
            QVERIFY2(native, qPrintable(it.value()));
            QVERIFY2(!seen.contains(*native), qPrintable(it.value()));
            seen.insert(*native);
            QCOMPARE(KeyCodeMap::fromNative(*native), std::optional<uint16_t>(it.key()));
        }
    }
};

QTEST_GUILESS_MAIN(TestHotKeyCombo)
#include "tst_HotKeyCombo.moc"
