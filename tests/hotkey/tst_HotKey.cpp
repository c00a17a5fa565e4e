#include <QApplication>
#include <QTest>

#include <xcb/xcb.h>

#include "hotkey/HotKey.h"
#include "testkit/OtherClient.h"
#include "testkit/XServer.h"

namespace {

using testkit::OtherClient;

constexpr uint8_t kNine = 18;

} // namespace

class TestHotKey : public QObject
{
    Q_OBJECT

    int presses = 0;
    std::unique_ptr<HotKey> hotKey;

    bool press(const QString &keys)
    {
        return testkit::serverOf(this).run(QStringLiteral("xdotool"),
                                           {QStringLiteral("key"), keys}) == 0;
    }

private slots:
    void init()
    {
        presses = 0;
        hotKey = std::make_unique<HotKey>([this] { ++presses; });
    }
    void cleanup() { hotKey.reset(); }

    void pressReachesCallback()
    {
        QVERIFY(hotKey->registerHotKey(HotKeyCombo::standard));
        QVERIFY(hotKey->isRegistered());
        QVERIFY(press(QStringLiteral("shift+ctrl+9")));
        QVERIFY(QTest::qWaitFor([&] { return presses == 1; }, 5000));
        // Other modifiers on the same key are not the shortcut.
        QVERIFY(press(QStringLiteral("ctrl+9")));
        QVERIFY(press(QStringLiteral("shift+ctrl+8")));
        QVERIFY(press(QStringLiteral("shift+ctrl+9")));
        QVERIFY(QTest::qWaitFor([&] { return presses >= 2; }, 5000));
        QTest::qWait(200);
        QCOMPARE(presses, 2);
    }

    void worksWithLockKeysOn()
    {
        QVERIFY(hotKey->registerHotKey(HotKeyCombo(0, HotKeyCombo::Option)));
        for (const QString lock : {"Caps_Lock", "Num_Lock"}) {
            const int before = presses;
            QVERIFY(press(lock) && press(QStringLiteral("alt+a")) && press(lock));
            QVERIFY2(QTest::qWaitFor([&] { return presses == before + 1; }, 5000),
                     qPrintable(lock));
        }
    }

    void registeringTwiceKeepsOneRegistration()
    {
        QVERIFY(hotKey->registerHotKey(HotKeyCombo::standard));
        QVERIFY(hotKey->registerHotKey(HotKeyCombo::standard));
        QVERIFY(press(QStringLiteral("shift+ctrl+9")));
        QVERIFY(QTest::qWaitFor([&] { return presses == 1; }, 5000));
        QTest::qWait(200);
        QCOMPARE(presses, 1);
        // The replaced registration is gone: a different combination now owns the press.
        QVERIFY(hotKey->registerHotKey(HotKeyCombo(25, HotKeyCombo::Option)));
        OtherClient other;
        QVERIFY(other.grab(kNine, XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL));
    }

    void unregisterAndDestroyReleaseTheGrab()
    {
        QVERIFY(hotKey->registerHotKey(HotKeyCombo::standard));
        hotKey->unregister();
        QVERIFY(!hotKey->isRegistered());
        QVERIFY(press(QStringLiteral("shift+ctrl+9")));
        QTest::qWait(300);
        QCOMPARE(presses, 0);

        QVERIFY(hotKey->registerHotKey(HotKeyCombo::standard));
        hotKey.reset();
        OtherClient other;
        QVERIFY(other.grab(kNine, XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL));
        other.ungrab(kNine, XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL);
    }

    void refusedWhileAnotherClientHoldsIt()
    {
        OtherClient other;
        // Holding only the Num Lock variant is enough to make the shortcut unreliable.
        QVERIFY(other.grab(kNine, XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_2));
        QVERIFY(!hotKey->registerHotKey(HotKeyCombo::standard));
        QVERIFY(!hotKey->isRegistered());
        // The partial grabs of the failed attempt were given back.
        OtherClient third;
        QVERIFY(third.grab(kNine, XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL));
        third.ungrab(kNine, XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL);

        other.ungrab(kNine, XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_2);
        QVERIFY(hotKey->registerHotKey(HotKeyCombo::standard));
    }

    void keyWithoutNativeCodeIsRefused()
    {
        QVERIFY(!hotKey->registerHotKey(HotKeyCombo(1000, HotKeyCombo::Command)));
    }
};

CORVANE_X11_TEST_MAIN(TestHotKey, .windowManager = false, .tray = false)
#include "tst_HotKey.moc"
