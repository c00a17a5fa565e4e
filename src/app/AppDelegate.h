#pragma once

#include <QList>
#include <QObject>
#include <QSystemTrayIcon>
#include <QUrl>

#include <functional>
#include <memory>

#include "capture/ScreenShot.h"
#include "overlay/OverlaySession.h"

class AppSettings;
class HotKey;
class QAction;
class QMenu;
class QTimer;
class Updater;

// The hub of the running application: the tray item and its menu, the capture hotkey, and
// at most one capture session at a time.
class AppDelegate : public QObject, public OverlaySessionDelegate
{
    Q_OBJECT
public:
    // The screen services a capture needs; tests substitute the permission answer.
    struct ScreenAccess
    {
        std::function<bool()> hasPermission;
        std::function<void()> requestPermission;
        // Captures every screen and calls back with the shots, at once or once the desktop
        // answers; refused when the desktop would not allow it. Never calls back after the
        // context object is gone.
        std::function<void(QObject *context,
                           std::function<void(QList<ScreenShot> shots, bool refused)> done)>
            captureAll;
        std::function<void()> openPrivacySettings;
        // Readies what the first capture would otherwise pay for; may be empty.
        std::function<void()> prepare;
        // Lets the desktop ask the user again after they refused a capture; may be empty.
        std::function<void()> allowAgain;
        static ScreenAccess system();
    };

    explicit AppDelegate(AppSettings &settings, ScreenAccess screens = ScreenAccess::system());
    ~AppDelegate() override;

    void applicationDidFinishLaunching();
    // Another launch of the application asked this one to act.
    bool applicationShouldHandleReopen();
    void statusItemClicked(QSystemTrayIcon::ActivationReason reason);
    void captureFromMenu();
    void openSettings();
    void openHelp();
    void quit();
    void overlaySessionDidClose(OverlaySession *session) override;
    void startCapture();
    void applyHotKey();

    QMenu *menu() const { return m_menu.get(); }
    QSystemTrayIcon *statusItem() const { return m_statusItem.get(); }
    QAction *hotkeyStatus() const { return m_hotkeyStatus; }
    OverlaySession *overlay() const { return m_overlay.get(); }
    bool settingsOpen() const { return m_settingsOpen; }
    // Whether an installed update must wait before it quits: a capture or the settings window
    // is open, or what the user copied is still this process's to give, and would go with it.
    bool isBusy() const;

    // Runs the modal settings window and returns whether the user confirmed.
    std::function<bool()> runSettingsWindow;
    std::function<void(const QUrl &)> openUrl;

private slots:
    // A host of D-Bus tray items may have registered.
    void trayHostRegistered();

private:
    struct DeleteLater
    {
        void operator()(QObject *object) const;
    };

    void buildMenu();
    // The tray icon, with the last tool tip and, as a D-Bus item (whose hosts show the menu
    // exported with it), the menu.
    void makeStatusItem(bool statusNotifierItem);
    // The tool tip: the version and, in brackets, the hotkey's state.
    void setToolTip(const QString &hotKeyState);
    void popUpMenu(int triesLeft);
    void showPermissionAlert();
    void showRefusalAlert();
    void stopRetryTimer();
    // The desktop offers no global shortcuts at all.
    void showHotKeyUnavailable();
    void openAskedSettings();
    // The texts of a shortcut held, as keys names it.
    void showHotKey(const QString &keys);

    AppSettings &m_settings;
    ScreenAccess m_screens;
    std::unique_ptr<QSystemTrayIcon> m_statusItem;
    QString m_toolTip;
    std::unique_ptr<QMenu> m_menu;
    QAction *m_hotkeyStatus = nullptr;
    std::unique_ptr<HotKey> m_hotKey;
    QTimer *m_retryTimer = nullptr;
    std::unique_ptr<OverlaySession, DeleteLater> m_overlay;
    std::unique_ptr<Updater> m_updater;
    bool m_settingsOpen = false;
    // A capture waits for the desktop to answer.
    bool m_capturing = false;
    // The settings were asked for while a capture was under way.
    bool m_settingsAsked = false;
    // Asked to quit: no settings window opens, and one that closes for it binds the hotkey no
    // more.
    bool m_quitting = false;
    // Where and until when the tray icon's last click could be followed by a double click's
    // second press, which the capture it opens ignores.
    std::pair<QPoint, QDeadlineTimer> m_trayClick;
};
