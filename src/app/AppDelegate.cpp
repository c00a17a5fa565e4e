#include "app/AppDelegate.h"

#include <QApplication>
#include <QClipboard>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusServiceWatcher>
#include <QDesktopServices>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QStyleHints>
#include <QTimer>
#include <QWindow>

#include "settings/AppSettings.h"
#include "settings/SystemLog.h"
#include "capture/ScreenCapture.h"
#include "hotkey/HotKey.h"
#include "hotkey/KeyCodeMap.h"
#include "platform/Platform.h"
#include "update/Updater.h"
#include "app/SettingsWindow.h"
#include "overlay/ImageEncoding.h"
#include "overlay/OverlayWindow.h"

namespace {

constexpr int kMenuCaptureDelayMs = 250;
// How long a menu waits for a hidden window to lose the focus: 25 times 20 ms at most.
constexpr int kMenuFocusTries = 25;
constexpr int kMenuFocusRetryMs = 20;
constexpr int kHotKeyRetryMs = 5000;
constexpr int kPrepareDelayMs = 1000;

QIcon statusIcon()
{
    QIcon icon;
    for (const QString &path : {QStringLiteral(":/status/corvane-status.png"),
                                QStringLiteral(":/status/corvane-status@2x.png")})
        icon.addPixmap(QPixmap::fromImage(ImageEncoding::readPng(path)));
    return icon;
}

// Qt 6.4 makes the tray items of a process StatusNotifierItems on D-Bus when, as the first one
// is made, the session bus has a watcher that reports a host, and X11 tray icons otherwise;
// the same question tells which ones this process got.
bool trayIsStatusNotifierItem()
{
    const QString watcherName = QStringLiteral("org.kde.StatusNotifierWatcher");
    QDBusInterface watcher(watcherName, QStringLiteral("/StatusNotifierWatcher"), watcherName);
    return watcher.isValid() && watcher.property("IsStatusNotifierHostRegistered").toBool();
}

} // namespace

AppDelegate::ScreenAccess AppDelegate::ScreenAccess::system()
{
    return {&ScreenCapture::hasPermission,
            &ScreenCapture::requestPermission,
            [](QObject *context, auto done) { ScreenCapture::freezeAll(context, done); },
            &ScreenCapture::openPrivacySettings,
            &ScreenCapture::prepare,
            &ScreenCapture::allowAgain};
}

void AppDelegate::DeleteLater::operator()(QObject *object) const
{
    object->deleteLater();
}

AppDelegate::AppDelegate(AppSettings &settings, ScreenAccess screens)
    : m_settings(settings), m_screens(std::move(screens)), m_menu(std::make_unique<QMenu>())
{
    openUrl = [](const QUrl &url) { QDesktopServices::openUrl(url); };
    runSettingsWindow = [this] { return SettingsWindow(m_settings).run(); };
    m_hotkeyStatus = new QAction(m_menu.get());
    m_hotkeyStatus->setEnabled(false);
}

AppDelegate::~AppDelegate()
{
    if (m_overlay)
        m_overlay->delegate = nullptr;
}

void AppDelegate::makeStatusItem(bool statusNotifierItem)
{
    m_statusItem = std::make_unique<QSystemTrayIcon>(statusIcon());
    connect(m_statusItem.get(), &QSystemTrayIcon::activated, this, &AppDelegate::statusItemClicked);
    // Hosts of D-Bus items that show a menu exported with the item show it at the icon, and
    // only those that do not ask the item for it (statusItemClicked). On the X11 tray it
    // stays popped up per click.
    if (statusNotifierItem)
        m_statusItem->setContextMenu(m_menu.get());
    m_statusItem->setToolTip(m_toolTip);
    m_statusItem->show();
}

void AppDelegate::trayHostRegistered()
{
    if (!m_statusItem && trayIsStatusNotifierItem())
        makeStatusItem(true);
}

void AppDelegate::setToolTip(const QString &hotKeyState)
{
    m_toolTip = QStringLiteral("corvane ") + AppSettings::versionText() + QStringLiteral(" (") +
                hotKeyState + QLatin1Char(')');
    if (m_statusItem)
        m_statusItem->setToolTip(m_toolTip);
}

void AppDelegate::applicationDidFinishLaunching()
{
    buildMenu();
    // At login the panel often starts after the application. On X11 a shown icon docks once a
    // tray appears; under Wayland, Qt looks for a host of D-Bus items only when the icon is
    // made, and keeps the answer: the icon waits for a host there.
    const QString watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
    const bool statusNotifierItem = trayIsStatusNotifierItem();
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland")) &&
        !statusNotifierItem) {
        auto *appeared = new QDBusServiceWatcher(watcher, QDBusConnection::sessionBus(),
                                                 QDBusServiceWatcher::WatchForRegistration, this);
        connect(appeared, &QDBusServiceWatcher::serviceRegistered, this,
                &AppDelegate::trayHostRegistered);
        QDBusConnection::sessionBus().connect(
            watcher, QStringLiteral("/StatusNotifierWatcher"), watcher,
            QStringLiteral("StatusNotifierHostRegistered"), this, SLOT(trayHostRegistered()));
    } else {
        makeStatusItem(statusNotifierItem);
    }

    QPointer<AppDelegate> self(this);
    m_hotKey = std::make_unique<HotKey>([self] {
        if (self)
            self->startCapture();
    });
    m_hotKey->onUnavailable = [self] {
        if (self)
            self->showHotKeyUnavailable();
    };
    m_hotKey->onBoundAs = [self](const QString &keys) {
        if (self)
            self->showHotKey(keys);
    };
    // The desktop portal's answers reach this process only once its event loop runs; a
    // registration through the portal waits for them, so it waits for the loop too.
    if (Platform::current().hotKey.answersThroughEventLoop())
        QTimer::singleShot(0, this, &AppDelegate::applyHotKey);
    else
        applyHotKey();
    // After the tray host has taken the icon in: the server's first writes into screen-sized
    // buffers would hold the docking up.
    if (m_screens.prepare)
        QTimer::singleShot(kPrepareDelayMs, this, [self] {
            if (self)
                self->m_screens.prepare();
        });

    Updater::Environment environment = Updater::Environment::system();
    // An installed update quits the way the menu does.
    environment.quit = [self] {
        if (self)
            self->quit();
    };
    m_updater = std::make_unique<Updater>(
        AppSettings::serverUrl(), [self] { return self && self->isBusy(); },
        std::move(environment));

    if (!m_statusItem || !QSystemTrayIcon::isSystemTrayAvailable())
        systemLog(QStringLiteral("시스템 트레이를 사용할 수 없습니다. 단축키나 다시 실행으로 "
                                 "캡처할 수 있습니다."));
}

void AppDelegate::buildMenu()
{
    auto addRow = [this](const QString &title, void (AppDelegate::*action)()) {
        QAction *row = m_menu->addAction(title);
        if (action)
            connect(row, &QAction::triggered, this, action);
        else
            row->setEnabled(false);
        return row;
    };
    addRow(QStringLiteral("corvane ") + AppSettings::versionText(), nullptr);
    m_menu->addAction(m_hotkeyStatus);
    m_menu->addSeparator();
    addRow(QStringLiteral("캡처"), &AppDelegate::captureFromMenu);
    addRow(QStringLiteral("설정..."), &AppDelegate::openSettings);
    addRow(QStringLiteral("도움말"), &AppDelegate::openHelp);
    m_menu->addSeparator();
    addRow(QStringLiteral("종료"), &AppDelegate::quit);
}

bool AppDelegate::applicationShouldHandleReopen()
{
    startCapture();
    return false;
}

void AppDelegate::statusItemClicked(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::Context) {
        // A right click on the X11 tray icon, or a D-Bus host that shows no exported menu
        // (sway's bar) asking the item for it.
        if (m_statusItem->contextMenu() && Platform::current().tray.panelShowsExportedMenu)
            return;
        popUpMenu(kMenuFocusTries);
        return;
    }
    // A quick second click arrives as a double click; each click is a capture request.
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
        m_trayClick = {QCursor::pos(),
                       QDeadlineTimer(QGuiApplication::styleHints()->mouseDoubleClickInterval())};
        startCapture();
    }
}

void AppDelegate::popUpMenu(int triesLeft)
{
    // Under Wayland Qt lets go of the focus of a window just hidden (an overlay closed a moment
    // ago) only after a round trip to the compositor. A menu shown before that would be made a
    // popup of the hidden window and closed at once, so it waits for that, briefly.
    const QWindow *focus = QGuiApplication::focusWindow();
    if (focus && !focus->isVisible() && triesLeft > 0) {
        QTimer::singleShot(kMenuFocusRetryMs, this,
                           [this, triesLeft] { popUpMenu(triesLeft - 1); });
        return;
    }
    if (Platform::current().tray.fixedSizeMenu)
        m_menu->setFixedSize(m_menu->sizeHint());
    m_menu->popup(QCursor::pos());
}

void AppDelegate::captureFromMenu()
{
    // Let the menu disappear before the screens are frozen.
    QTimer::singleShot(kMenuCaptureDelayMs, this, &AppDelegate::startCapture);
}

void AppDelegate::startCapture()
{
    // While one of our dialogs runs (the settings window, its folder picker, the save panel
    // over a hidden capture) a capture would take the keyboard from it, and a capture shown
    // again could end before the panel writes its picture.
    if (m_settingsOpen || QApplication::activeModalWidget())
        return;
    if (m_overlay && !m_overlay->isClosed()) {
        m_overlay->show();
        return;
    }
    // The desktop may be asking the user; the request already made stands for this one.
    if (m_capturing)
        return;
    if (!m_screens.hasPermission()) {
        m_screens.requestPermission();
        showPermissionAlert();
        return;
    }
    m_capturing = true;
    OverlayWindow::warmRetired();
    m_screens.captureAll(this, [this](QList<ScreenShot> shots, bool refused) {
        m_capturing = false;
        if (refused)
            showRefusalAlert();
        if (refused || shots.isEmpty())
            return openAskedSettings();
        m_overlay.reset(new OverlaySession(std::move(shots), m_settings));
        m_overlay->delegate = this;
        m_overlay->ignorePressNear(m_trayClick.first, m_trayClick.second);
        m_overlay->show();
    });
}

void AppDelegate::showRefusalAlert()
{
    QMessageBox alert;
    alert.setObjectName(QStringLiteral("corvane-refusal-alert"));
    alert.setIcon(QMessageBox::Warning);
    alert.setText(QStringLiteral("데스크톱이 화면 캡처를 거부했습니다"));
    alert.setInformativeText(QStringLiteral(
        "데스크톱은 \"거부\"를 누른 답을 기억해 이후의 캡처도 거부합니다. \"다시 묻기\"를 "
        "누른 뒤 다시 캡처하고, 데스크톱이 물으면 \"허용\"을 누르세요."));
    QPushButton *again = alert.addButton(QStringLiteral("다시 묻기"), QMessageBox::AcceptRole);
    QPushButton *close = alert.addButton(QStringLiteral("닫기"), QMessageBox::RejectRole);
    alert.setDefaultButton(again);
    alert.setEscapeButton(close);
    alert.setWindowFlag(Qt::WindowStaysOnTopHint);
    alert.exec();
    if (alert.clickedButton() == again && m_screens.allowAgain)
        m_screens.allowAgain();
}

void AppDelegate::showPermissionAlert()
{
    QMessageBox alert;
    alert.setObjectName(QStringLiteral("corvane-permission-alert"));
    alert.setIcon(QMessageBox::Warning);
    alert.setText(QStringLiteral("화면 기록 권한이 필요합니다"));
    alert.setInformativeText(QStringLiteral("시스템 설정 > 개인정보 보호 및 보안 > 화면 기록에서 "
                                            "corvane 을 켠 뒤, corvane 을 종료하고 다시 "
                                            "실행하세요."));
    QPushButton *open =
        alert.addButton(QStringLiteral("시스템 설정 열기"), QMessageBox::AcceptRole);
    QPushButton *later = alert.addButton(QStringLiteral("나중에"), QMessageBox::RejectRole);
    alert.setDefaultButton(open);
    alert.setEscapeButton(later);
    alert.setWindowFlag(Qt::WindowStaysOnTopHint);
    alert.raise();
    alert.activateWindow();
    alert.exec();
    if (alert.clickedButton() == open)
        m_screens.openPrivacySettings();
}

void AppDelegate::overlaySessionDidClose(OverlaySession *session)
{
    if (m_overlay.get() == session) {
        m_overlay.reset();
        openAskedSettings();
    }
}

void AppDelegate::openAskedSettings()
{
    if (std::exchange(m_settingsAsked, false))
        QTimer::singleShot(0, this, &AppDelegate::openSettings);
}

void AppDelegate::openSettings()
{
    if (m_settingsOpen || m_quitting)
        return;
    // Over a capture asked for or open, the window would open under the overlays and take
    // their keys unseen: it opens once the capture is over. Inside an alert's loop, it would
    // leave the alert unanswerable.
    if (m_capturing || (m_overlay && !m_overlay->isClosed())) {
        m_settingsAsked = true;
        return;
    }
    if (QApplication::activeModalWidget())
        return;
    m_settingsOpen = true;
    stopRetryTimer();
    if (m_hotKey)
        m_hotKey->unregister();
    if (runSettingsWindow)
        runSettingsWindow();
    m_settingsOpen = false;
    if (!m_quitting)
        applyHotKey();
}

bool AppDelegate::isBusy() const
{
    // A capture asked for or an alert open is the user's too. Without a clipboard manager,
    // nothing keeps the clipboard once its owner has quit.
    return m_overlay || m_settingsOpen || m_capturing || QApplication::activeModalWidget() ||
           QGuiApplication::clipboard()->ownsClipboard();
}

void AppDelegate::openHelp()
{
    const QUrl url(AppSettings::serverUrl() + QLatin1Char('/'), QUrl::StrictMode);
    if (url.isValid() && !url.isRelative())
        openUrl(url);
}

void AppDelegate::quit()
{
    m_quitting = true;
    if (m_overlay)
        m_overlay->close();
    QCoreApplication::quit();
}

void AppDelegate::stopRetryTimer()
{
    if (!m_retryTimer)
        return;
    m_retryTimer->stop();
    m_retryTimer->deleteLater();
    m_retryTimer = nullptr;
}

void AppDelegate::applyHotKey()
{
    HotKeyCombo combo = m_settings.hotKey();
    // Only an edited or damaged store holds an unusable combination; grabbing, say, a bare
    // letter would take that key from every application, and a key no keyboard has would be
    // retried as if another program held it, so the default stands in for it.
    if (!combo.isValid() || !KeyCodeMap::toNative(combo.keyCode))
        combo = HotKeyCombo::standard;
    const bool registered = m_hotKey && m_hotKey->registerHotKey(combo);
    if (!registered && m_hotKey && !m_hotKey->isOffered()) {
        showHotKeyUnavailable();
        return;
    }
    if (registered) {
        stopRetryTimer();
        showHotKey(combo.display());
    } else {
        if (!m_retryTimer) {
            // Parented to this delegate, so a firing after it is gone cannot happen.
            m_retryTimer = new QTimer(this);
            m_retryTimer->setInterval(kHotKeyRetryMs);
            connect(m_retryTimer, &QTimer::timeout, this, &AppDelegate::applyHotKey);
            m_retryTimer->start();
        }
        m_hotkeyStatus->setText(QStringLiteral("단축키: ") + combo.display() +
                                QStringLiteral(" (다른 프로그램이 사용 중, 재시도 중)"));
        setToolTip(QStringLiteral("단축키 사용 불가"));
    }
}

void AppDelegate::showHotKey(const QString &keys)
{
    m_hotkeyStatus->setText(QStringLiteral("단축키: ") + keys);
    setToolTip(keys);
}

void AppDelegate::showHotKeyUnavailable()
{
    // Not the texts of a key that another program holds: no retry can change this.
    stopRetryTimer();
    m_hotkeyStatus->setText(QStringLiteral("단축키: 이 데스크톱에서는 쓸 수 없음"));
    setToolTip(QStringLiteral("이 데스크톱에서는 단축키를 쓸 수 없음"));
}
