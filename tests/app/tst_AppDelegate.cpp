#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QLocalSocket>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/file.h>
#include <unistd.h>

#include "app/AppDelegate.h"
#include "app/SingleInstance.h"
#include "platform/PlatformLoader.h"
#include "settings/AppSettings.h"
#include "testkit/Golden.h"
#include "testkit/OtherClient.h"
#include "testkit/XServer.h"

namespace {

struct FakeScreens
{
    bool permission = true, refused = false, hold = false;
    // What the delegate asked for, in order.
    QStringList calls;
    // The answer of the last capture, held back while hold is set, as the desktop portal holds
    // it while it asks.
    std::function<void(QList<ScreenShot>, bool)> held;

    AppDelegate::ScreenAccess access()
    {
        return {[this] { return permission; },
                [this] { calls << "request"; },
                [this](QObject *, std::function<void(QList<ScreenShot>, bool)> done) {
                    calls << "capture";
                    QList<ScreenShot> shots;
                    for (QScreen *screen : QGuiApplication::screens()) {
                        QImage image(screen->geometry().size(), QImage::Format_RGB32);
                        image.fill(Qt::darkCyan);
                        shots.append({screen, image});
                    }
                    held = done;
                    if (!hold)
                        done(refused ? QList<ScreenShot>() : shots, refused);
                },
                [this] { calls << "privacy settings"; },
                nullptr,
                [this] { calls << "allow again"; }};
    }
};

// Answers the next modal message box with the button titled `choice`, recording its title.
void answerAlert(const QString &choice, QString *title)
{
    QTimer::singleShot(50, [choice, title] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return answerAlert(choice, title);
        *title = box->text();
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

    void launch()
    {
        delegate = std::make_unique<AppDelegate>(*settings, screens.access());
        delegate->applicationDidFinishLaunching();
    }
    // The hotkey row, then the tray item's tool tip.
    QStringList hotKeyTexts() const
    {
        return {delegate->hotkeyStatus()->text(), delegate->statusItem()->toolTip()};
    }

private slots:
    void init()
    {
        QFile::remove(dir.filePath("s.conf"));
        settings = std::make_unique<AppSettings>(
            std::make_unique<QSettings>(dir.filePath("s.conf"), QSettings::IniFormat));
        screens = FakeScreens{};
        launch();
    }
    void cleanup() { delegate.reset(); }

    void menuRowsAndHotKeyTexts()
    {
        QStringList rows;
        for (const QAction *row : delegate->menu()->actions())
            rows << (row->isSeparator() ? "-" : row->text() + (row->isEnabled() ? "" : " (off)"));
        QCOMPARE(rows, QStringList({"corvane 0.0.0 검수 (off)", "단축키: Shift+Ctrl+9 (off)", "-",
                                    "캡처", "설정...", "도움말", "-", "종료"}));
        const QStringList free{"단축키: Shift+Ctrl+9", "corvane 0.0.0 검수 (Shift+Ctrl+9)"};

        // Another client takes the combination; the texts say so and one retry is armed.
        delegate.reset();
        testkit::OtherClient other;
        QVERIFY(other.grab());
        launch();
        QCOMPARE(hotKeyTexts(),
                 QStringList({"단축키: Shift+Ctrl+9 (다른 프로그램이 사용 중, 재시도 중)",
                              "corvane 0.0.0 검수 (단축키 사용 불가)"}));
        delegate->applyHotKey();
        delegate->applyHotKey();
        QCOMPARE(delegate->findChildren<QTimer *>().size(), 1);
        // Once released, the next retry, at most five seconds later, registers it, restores the
        // texts and ends the retries.
        other.ungrab();
        QTRY_COMPARE_WITH_TIMEOUT(hotKeyTexts(), free, 6500);
        QTRY_COMPARE(delegate->findChildren<QTimer *>().size(), 0);

        // A bare letter, which must not take that key from everyone, or a key no keyboard has:
        // only an edited store holds them, and the default stands in.
        for (const HotKeyCombo unusable :
             {HotKeyCombo(0, 0), HotKeyCombo(999, HotKeyCombo::Command)}) {
            settings->setHotKey(unusable);
            delegate->applyHotKey();
            QCOMPARE(hotKeyTexts(), free);
        }
        QVERIFY(testkit::OtherClient().grab(38, 0)); // the "A" key, alone

        // On XWayland in a Wayland session a grab would miss native windows: nothing is
        // grabbed or retried, and the texts say the desktop offers no shortcut. Any existing
        // path stands for the compositor's socket.
        delegate.reset();
        qputenv("WAYLAND_DISPLAY", QFile::encodeName(dir.path()));
        PlatformLoader::load();
        launch();
        qunsetenv("WAYLAND_DISPLAY");
        PlatformLoader::load();
        QCOMPARE(hotKeyTexts(),
                 QStringList({"단축키: 이 데스크톱에서는 쓸 수 없음",
                              "corvane 0.0.0 검수 (이 데스크톱에서는 단축키를 쓸 수 없음)"}));
        QCOMPARE(delegate->findChildren<QTimer *>().size(), 0);
        QVERIFY(testkit::OtherClient().grab());
    }

    // A light disc with a dark rim and arrow, on a dark and on a light panel (where a lost
    // alpha channel would show: the icon's clear pixels are black).
    void trayIconOnAnyPanel()
    {
        for (const char *panel : {"black", "white"}) {
            for (int scale : {1, 2}) {
                QImage image = testkit::canvas(QSize(22, 22), scale, QColor(panel));
                QPainter(&image).drawPixmap(
                    0, 0, delegate->statusItem()->icon().pixmap(QSize(22, 22), scale));
                const QString golden = CORVANE_TEST_DATA_DIR "/golden/tray_%1@%2x.png";
                QVERIFY(testkit::matchesGolden(image, golden.arg(panel).arg(scale)));
            }
        }
    }

    // Without permission each request asks for it again and alerts, and "시스템 설정 열기"
    // opens the settings; a capture the desktop refused says so, and "다시 묻기" lets the
    // desktop ask again.
    void alertsSayHowToAllowCaptures()
    {
        const std::tuple<bool, const char *, const char *> alerts[] = {
            {false, "시스템 설정 열기", "화면 기록 권한이 필요합니다"},
            {false, "나중에", "화면 기록 권한이 필요합니다"},
            {true, "다시 묻기", "데스크톱이 화면 캡처를 거부했습니다"}};
        screens.refused = true;
        for (const auto &[permission, choice, expected] : alerts) {
            screens.permission = permission;
            QString title;
            bool busy = false, settingsRan = false;
            delegate->runSettingsWindow = [&] { return settingsRan = true; };
            QTimer::singleShot(20, [&] { // while the alert shows
                busy = delegate->isBusy();
                delegate->openSettings();
            });
            answerAlert(choice, &title);
            delegate->startCapture();
            QVERIFY(busy && !settingsRan);
            QCOMPARE(title, expected);
        }
        QCOMPARE(screens.calls,
                 QStringList({"request", "privacy settings", "request", "capture", "allow again"}));
    }

    // The settings window, which would open under the capture and take its keys, opens neither
    // while a capture is asked for nor while one is open, but once it is over, unless the
    // application quits.
    void oneSessionAtATimeUntilQuit()
    {
        bool settingsRan = false;
        delegate->runSettingsWindow = [&] { return settingsRan = true; };
        // Until the desktop answers, the request made stands for any further one.
        screens.hold = true;
        delegate->startCapture();
        delegate->startCapture();
        delegate->openSettings();
        QCOMPARE(screens.calls, QStringList{"capture"});
        QVERIFY(delegate->isBusy()); // no update meanwhile
        // An answer without pictures opens nothing but the settings asked for meanwhile.
        screens.held({}, false);
        QVERIFY(!delegate->overlay() && !delegate->isBusy());
        QTRY_VERIFY(settingsRan);
        settingsRan = false;

        screens.hold = false;
        delegate->startCapture();
        QPointer<OverlaySession> session = delegate->overlay();
        QVERIFY(session);
        // A request while the session is open shows it again instead of capturing.
        delegate->startCapture();
        delegate->openSettings();
        QCOMPARE(screens.calls, QStringList({"capture", "capture"}));
        QCOMPARE(delegate->overlay(), session);
        QVERIFY(!settingsRan);
        // A late notice from another session leaves the current one alone.
        OverlaySession stranger({}, *settings);
        delegate->overlaySessionDidClose(&stranger);
        QCOMPARE(delegate->overlay(), session);

        delegate->quit();
        QVERIFY(!delegate->overlay());
        QVERIFY(!session || session->isClosed());
        QCoreApplication::processEvents();
        QVERIFY(!settingsRan);
    }

    // An update waits while this process's copy is on the clipboard; another program's copy
    // frees it.
    void busyWhileItsCopyIsOnTheClipboard()
    {
        QVERIFY(!delegate->isBusy());
        QGuiApplication::clipboard()->setText("copied");
        QVERIFY(delegate->isBusy());
        QCOMPARE(testkit::serverOf(this).run("sh", {"-c", "echo other | xclip -sel clip"}), 0);
        QTRY_VERIFY(!delegate->isBusy());
    }

    // A launch while the running instance is busy (this thread, not reading its socket) hands
    // its request over. No launch takes the socket while another is still starting, not yet
    // listening but holding the lock beside the socket. What a crashed instance left at the
    // socket's path, where nobody listens, is replaced, and the socket is the user's alone.
    void singleInstanceNeverTakesALiveSocket()
    {
        using Command = SingleInstance::Command;
        const QString path = dir.filePath("instance.sock");
        // A file there refuses connections as a socket left without a listener does.
        QVERIFY(QFile(path).open(QIODevice::WriteOnly));
        SingleInstance first(path);
        QCOMPARE(first.handOver(Command::Capture, 300), SingleInstance::HandOver::NoInstance);
        {
            QFile starting(path + ".lock");
            QVERIFY(starting.open(QIODevice::ReadWrite) && flock(starting.handle(), LOCK_EX) == 0);
            QVERIFY(!first.listen());
        }
        QVERIFY(first.listen());
        QCOMPARE(QFileInfo(path).permissions() & QFile::Permissions(0x0077), QFile::Permissions());
        QList<Command> got;
        first.onCommand = [&](Command command) { got << command; };
        QCOMPARE(SingleInstance(path).handOver(Command::Settings, 300),
                 SingleInstance::HandOver::Delivered);
        QTRY_COMPARE(got, QList<Command>{Command::Settings});
        // Bytes with no end of line, past the length of any request, are cut off.
        QLocalSocket flood;
        flood.connectToServer(path);
        QVERIFY(flood.waitForConnected(1000) && flood.write(QByteArray(1 << 16, 'A')) > 0);
        QTRY_COMPARE(flood.state(), QLocalSocket::UnconnectedState);
    }

    // Without a runtime folder of this user's alone, or with one too long for a socket's path,
    // the socket is in a folder of the temporary one (else, or if missing, of /tmp) that is
    // this user's alone: made so, and refused once another user's.
    void socketFolderIsPrivate()
    {
        const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
        const QString name = QString("/corvane-%1").arg(getuid());
        // Folders whose socket path is 106 bytes, the longest that binds, and one more.
        const QString longest = dir.filePath(QString(92 - dir.path().size(), 'd'));
        QVERIFY(QDir().mkpath(longest) && QDir().mkpath(longest + 'd'));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(longest));
        QCOMPARE(SingleInstance::defaultSocketPath(), longest + "/corvane.sock");
        QVERIFY(SingleInstance(longest + "/corvane.sock").listen());
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(longest + 'd'));
        for (const QString &temp : {longest + 'd', dir.filePath("missing")}) {
            qputenv("TMPDIR", QFile::encodeName(temp));
            QCOMPARE(SingleInstance::defaultSocketPath(), "/tmp" + name + "/corvane.sock");
        }
        qputenv("TMPDIR", QFile::encodeName(dir.path()));
        // Nor does a runtime folder open to others count.
        QVERIFY(QFile::setPermissions(longest, QFile::Permissions(0x7777)));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(longest));
        const QString folder = dir.path() + name;
        QCOMPARE(SingleInstance::defaultSocketPath(), folder + "/corvane.sock");
        if (geteuid() == 0) {
            QVERIFY(chown(QFile::encodeName(folder).constData(), 65534, 65534) == 0);
            QVERIFY(SingleInstance::defaultSocketPath().isEmpty());
        }
        qputenv("XDG_RUNTIME_DIR", runtime);
    }

    // While the settings window runs, a second "설정..." and the menu's "캡처", which comes a
    // moment later, do nothing. A quit that closes it leaves the hotkey unbound.
    void settingsRunOneAtATime()
    {
        QList<bool> openDuringRuns;
        delegate->runSettingsWindow = [&] {
            openDuringRuns << delegate->settingsOpen();
            delegate->openSettings();
            delegate->menu()->actions().at(3)->trigger();
            // The window's own event loop runs meanwhile.
            (void)QTest::qWaitFor([&] { return !screens.calls.isEmpty(); }, 400);
            delegate->quit();
            return true;
        };
        delegate->openSettings();
        QCOMPARE(openDuringRuns, QList<bool>{true});
        QVERIFY(!delegate->settingsOpen());
        QVERIFY(screens.calls.isEmpty());
        QVERIFY(testkit::OtherClient().grab());
    }
};

CORVANE_X11_TEST_MAIN(TestAppDelegate, .windowManager = true, .tray = true)
#include "tst_AppDelegate.moc"
