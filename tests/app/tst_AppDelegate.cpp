#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <xcb/xcb.h>

#include "app/AppDelegate.h"
#include "settings/AppSettings.h"
#include "overlay/OverlayWindow.h"
#include "testkit/OtherClient.h"
#include "testkit/XServer.h"

namespace {

// X11 keycodes of the "9" and "A" keys, and the grab mask of Shift+Ctrl.
constexpr uint8_t kNine = 18;
constexpr uint8_t kA = 38;
constexpr uint16_t kShiftCtrl = XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL;

struct FakeScreens
{
    bool permission = true;
    bool emptyCapture = false;
    int requests = 0, captures = 0, privacyOpened = 0;

    AppDelegate::ScreenAccess access()
    {
        return {[this] { return permission; }, [this] { ++requests; },
                [this] {
                    ++captures;
                    QList<ScreenShot> shots;
                    if (emptyCapture)
                        return shots;
                    for (QScreen *screen : QGuiApplication::screens()) {
                        QImage image(screen->geometry().size(), QImage::Format_RGB32);
                        image.fill(Qt::darkCyan);
                        shots.append({screen, image});
                    }
                    return shots;
                },
                [this] { ++privacyOpened; }};
    }
};

// Answers the next modal message box with the button titled `choice`, recording its texts.
void answerAlert(const QString &choice, QStringList *texts)
{
    QTimer::singleShot(50, [choice, texts] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box) {
            answerAlert(choice, texts);
            return;
        }
        *texts << box->text() << box->informativeText();
        for (QAbstractButton *button : box->buttons())
            *texts << button->text();
        for (QAbstractButton *button : box->buttons()) {
            if (button->text() == choice)
                button->click();
        }
    });
}

} // namespace

class TestAppDelegate : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<AppSettings> settings;
    FakeScreens screens;
    std::unique_ptr<AppDelegate> delegate;

private slots:
    void init()
    {
        QFile::remove(dir.filePath("s.conf"));
        settings = std::make_unique<AppSettings>(
            std::make_unique<QSettings>(dir.filePath("s.conf"), QSettings::IniFormat));
        screens = FakeScreens{};
        delegate = std::make_unique<AppDelegate>(*settings, screens.access());
        delegate->applicationDidFinishLaunching();
    }
    void cleanup()
    {
        if (delegate->overlay())
            delegate->overlay()->close();
        delegate.reset();
    }

    void statusMenuRows()
    {
        const QList<QAction *> rows = delegate->menu()->actions();
        QCOMPARE(rows.size(), 8);
        const QStringList titles{
            "corvane 0.0.0 검수", "단축키: ⇧⌘9", "", "캡처", "설정...", "도움말", "", "종료"};
        const QList<bool> enabled{false, false, true, true, true, true, true, true};
        for (int i = 0; i < rows.size(); ++i) {
            QCOMPARE(rows[i]->isSeparator(), i == 2 || i == 6);
            if (rows[i]->isSeparator())
                continue;
            QCOMPARE(rows[i]->text(), titles[i]);
            QCOMPARE(rows[i]->isEnabled(), enabled[i]);
        }
        QVERIFY(QSystemTrayIcon::isSystemTrayAvailable());
        QVERIFY(delegate->statusItem()->isVisible());
        QVERIFY(!delegate->statusItem()->icon().isNull());
    }

    void hotKeyTextsFollowRegistration()
    {
        QCOMPARE(delegate->toolTip(), QStringLiteral("corvane 0.0.0 검수 (⇧⌘9)"));
        QCOMPARE(delegate->statusItem()->toolTip(), delegate->toolTip());

        // Another client takes the combination; the texts say so and a retry is armed.
        delegate.reset();
        auto other = std::make_unique<testkit::OtherClient>();
        QVERIFY(other->grab(kNine, kShiftCtrl));
        delegate = std::make_unique<AppDelegate>(*settings, screens.access());
        delegate->applicationDidFinishLaunching();
        QCOMPARE(delegate->hotkeyStatus()->text(),
                 QStringLiteral("단축키: ⇧⌘9 (다른 프로그램이 사용 중, 재시도 중)"));
        QCOMPARE(delegate->statusItem()->toolTip(),
                 QStringLiteral("corvane 0.0.0 검수 (단축키 사용 불가)"));
        delegate->applyHotKey();
        delegate->applyHotKey();
        QCOMPARE(delegate->findChildren<QTimer *>().size(), 1);

        // Once released, the next retry registers it and restores both texts.
        other.reset();
        QVERIFY(QTest::qWaitFor([&] { return delegate->hotkeyStatus()->text() == "단축키: ⇧⌘9"; },
                                8000));
        QCOMPARE(delegate->statusItem()->toolTip(), QStringLiteral("corvane 0.0.0 검수 (⇧⌘9)"));
        QTest::qWait(50);
        QCOMPARE(delegate->findChildren<QTimer *>().size(), 0);
    }

    void unusableStoredHotKeyIsNotGrabbed()
    {
        // A bare letter from a damaged store must not take that key from everyone.
        delegate.reset();
        QSettings raw(dir.filePath("s.conf"), QSettings::IniFormat);
        raw.setValue("hotkeyKeyCode", "not a number");
        raw.sync();
        QCOMPARE(settings->hotKey(), HotKeyCombo(0, 0));
        delegate = std::make_unique<AppDelegate>(*settings, screens.access());
        delegate->applicationDidFinishLaunching();
        QCOMPARE(delegate->hotkeyStatus()->text(), QStringLiteral("단축키: ⇧⌘9"));
        QVERIFY(testkit::OtherClient().grab(kA, 0));
    }

    void missingPermissionShowsAlertEveryTime_data()
    {
        QTest::addColumn<QString>("choice");
        QTest::addColumn<int>("privacyOpened");
        QTest::newRow("open settings") << QStringLiteral("시스템 설정 열기") << 1;
        QTest::newRow("later") << QStringLiteral("나중에") << 0;
    }
    void missingPermissionShowsAlertEveryTime()
    {
        QFETCH(QString, choice);
        QFETCH(int, privacyOpened);
        screens.permission = false;
        for (int attempt = 1; attempt <= 2; ++attempt) {
            QStringList texts;
            answerAlert(choice, &texts);
            delegate->startCapture();
            QCOMPARE(texts,
                     (QStringList{"화면 기록 권한이 필요합니다",
                                  "시스템 설정 > 개인정보 보호 및 보안 > 화면 기록에서 corvane 을 "
                                  "켠 뒤, corvane 을 종료하고 다시 실행하세요.",
                                  "시스템 설정 열기", "나중에"}));
            QCOMPARE(screens.requests, attempt);
            QCOMPARE(screens.privacyOpened, privacyOpened * attempt);
        }
        QCOMPARE(screens.captures, 0);
        QVERIFY(!delegate->overlay());
    }

    void captureOpensOneSessionAtATime()
    {
        screens.emptyCapture = true;
        delegate->startCapture();
        QCOMPARE(screens.captures, 1);
        QVERIFY(!delegate->overlay());

        screens.emptyCapture = false;
        delegate->startCapture();
        OverlaySession *session = delegate->overlay();
        QVERIFY(session);
        QCOMPARE(screens.captures, 2);
        QCOMPARE(session->windows().size(), QGuiApplication::screens().size());
        QVERIFY(QTest::qWaitFor([&] { return session->windows().first()->isVisible(); }, 3000));

        // A request while the session is open shows it again instead of capturing.
        delegate->startCapture();
        QCOMPARE(screens.captures, 2);
        QCOMPARE(delegate->overlay(), session);

        // A late notice from another session leaves the current one alone.
        OverlaySession stranger({}, *settings);
        delegate->overlaySessionDidClose(&stranger);
        QCOMPARE(delegate->overlay(), session);

        session->close();
        QVERIFY(!delegate->overlay());
        delegate->startCapture();
        QCOMPARE(screens.captures, 3);
        QVERIFY(delegate->overlay());
    }

    void settingsRunOnceAndReleaseTheHotKey()
    {
        int runs = 0;
        bool grabbableDuringSettings = false;
        bool openDuringRun = false;
        delegate->runSettingsWindow = [&] {
            ++runs;
            openDuringRun = delegate->settingsOpen();
            delegate->openSettings(); // a second choice while open does nothing
            // The hotkey is released so the recorder can see the current combination.
            grabbableDuringSettings = testkit::OtherClient().grab(kNine, kShiftCtrl);
            settings->setHotKey(HotKeyCombo(96, 0));
            return true;
        };
        delegate->openSettings();
        QCOMPARE(runs, 1);
        QVERIFY(openDuringRun);
        QVERIFY(grabbableDuringSettings);
        QVERIFY(!delegate->settingsOpen());
        QCOMPARE(delegate->hotkeyStatus()->text(), QStringLiteral("단축키: F5"));
    }

    void quitClosesTheSession()
    {
        delegate->startCapture();
        QPointer<OverlaySession> session = delegate->overlay();
        QVERIFY(session);
        delegate->quit();
        QVERIFY(!delegate->overlay());
        QVERIFY(!session || session->isClosed());
    }
};

CORVANE_X11_TEST_MAIN(TestAppDelegate, .windowManager = true, .tray = true)
#include "tst_AppDelegate.moc"
