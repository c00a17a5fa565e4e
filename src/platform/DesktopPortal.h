#pragma once

#include <QString>
#include <QVariantList>
#include <QVariantMap>

#include <optional>

// Requests to the desktop portal on the session bus: a method call that returns a request
// object, then that object's one Response signal.
namespace DesktopPortal {

extern const QString service;
extern const QString path;

struct Answer
{
    // 0 success, 1 cancelled or refused by the user, 2 failed.
    uint code = 2;
    QVariantMap results;
};

// Calls interface.method(args..., options) with a handle token added to the options, and
// blocks until the answer comes. Empty, with the reason in why, when the call fails or no
// answer comes within timeoutMs.
std::optional<Answer> request(const QString &interface, const QString &method,
                              const QVariantList &args, QVariantMap options, int timeoutMs,
                              QString *why);

// A token unique within this process, for the portal's handle and session tokens.
QString nextToken();

// The portal offers the interface (it reports a version for it).
bool offers(const QString &interface);

} // namespace DesktopPortal
