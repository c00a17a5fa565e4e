#pragma once

#include <QObject>
#include <QString>
#include <QVariantList>
#include <QVariantMap>

#include <functional>
#include <optional>

// Requests to the desktop portal on the session bus: a method call that returns a request
// object, then that object's one Response signal. Nothing here waits: a portal may keep a
// request open while it asks the user, and the event loop must run meanwhile.
namespace DesktopPortal {

extern const QString service;
extern const QString path;

struct Answer
{
    // 0 success, 1 cancelled or refused by the user, 2 failed.
    uint code = 2;
    QVariantMap results;
};

// The answer, or empty with the reason when the call failed or no answer came in time.
using Done = std::function<void(std::optional<Answer> answer, const QString &why)>;

// For a request that waits on the user, such as a dialog of the desktop's: the answer comes
// when it comes.
constexpr int noTimeLimit = -1;

// Calls interface.method(args..., options) with a handle token added to the options and
// returns at once. done runs once, on context's thread, when the answer comes or timeoutMs
// have passed (the request is then closed); never after context is gone, which closes the
// request too.
void request(const QString &interface, const QString &method, const QVariantList &args,
             QVariantMap options, int timeoutMs, QObject *context, Done done);

// The name the portal knows this application by: empty unless it took the name this
// application gave it (older portals tell applications they did not start apart by nothing).
QString appId();

// Runs then(running) whenever the portal ends or starts anew, after this application's name is
// forgotten with it, so that a call made from then says it first; never after context is gone.
void onRestart(QObject *context, std::function<void(bool running)> then);

// A token unique within this process, for the portal's handle and session tokens.
QString nextToken();

// Asks whether the portal offers the interface (reports a version for it); done gets the
// answer on context's thread, never after context is gone.
void offers(const QString &interface, QObject *context, std::function<void(bool)> done);

} // namespace DesktopPortal
