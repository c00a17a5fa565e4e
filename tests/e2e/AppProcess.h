#pragma once

#include <QList>
#include <QProcess>
#include <QRect>
#include <QTemporaryDir>

#include <functional>

#include "testkit/XServer.h"

namespace testkit {

// The built application bundle run as a person would start it: its own home, settings and
// runtime folders, on a given X server or another desktop.
class AppProcess
{
public:
    explicit AppProcess(const XServer &server);
    // On a desktop that gives its clients the environment session and starts them its own
    // way: launch makes a process, ready with program, arguments and environment, run there.
    AppProcess(const QProcessEnvironment &session, std::function<void(QProcess &)> launch);
    ~AppProcess();

    QString executable() const;
    QProcessEnvironment environment() const;
    bool start(const QStringList &args = {});
    // Another launch as the same user, in the same environment; returns its exit code (-1 if
    // it hung).
    int launchAgain(const QStringList &args = {}, QByteArray *stderrOut = nullptr) const;
    bool waitForExit(int timeoutMs);
    QProcess &process() { return m_process; }
    QByteArray stderrText();
    QString home() const { return m_home.path(); }
    // Starts a copy of the bundle whose Info.plist names serverUrl, with a stand-in browser
    // that writes down every address it is asked to open; opened() reads them back.
    bool startRelocated(const QString &serverUrl);
    QByteArray opened() const;

private:
    bool launch(QProcess &process, const QString &program, const QStringList &args) const;

    QProcessEnvironment m_session;
    std::function<void(QProcess &)> m_launch;
    QTemporaryDir m_home;
    QProcess m_process;
    QByteArray m_stderr;
};

struct XWindow
{
    QString id;
    QRect geometry;
};

// The application's visible top-level windows (tray icon, menus, overlays).
QList<XWindow> visibleAppWindows(const XServer &server);

// The application's windows told apart by size: the tray icon is small, an overlay covers a
// display, anything else is a menu or a dialog.
enum class Kind
{
    TrayIcon,
    Menu,
    Overlay
};
QList<XWindow> windowsOf(const XServer &server, Kind kind);
bool waitForWindow(const XServer &server, Kind kind, XWindow *out = nullptr, int ms = 15000);
bool waitForNoWindow(const XServer &server, Kind kind, int ms = 10000);
bool click(const XServer &server, QPoint at, int button);
// Pops the status menu up from the tray icon and picks a row with the keyboard, until
// done() holds. A menu takes keys only some time after it maps, longer on a loaded
// machine, so a pick that had no effect is tried again with a longer pause.
bool chooseFromMenu(const XServer &server, const XWindow &icon, const QStringList &keys,
                    const std::function<bool()> &done, XWindow *menu = nullptr);

} // namespace testkit
