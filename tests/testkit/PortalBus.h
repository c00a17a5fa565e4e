#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QProcess>

namespace testkit {

// A session bus of the suite's own, named in DBUS_SESSION_BUS_ADDRESS for the code under test,
// on which `portal` answers as the desktop portal from a connection of its own.
inline bool servePortal(QProcess &bus, QObject *portal, QDBusConnection::RegisterOptions options)
{
    bus.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
    if (!bus.waitForReadyRead(10000))
        return false;
    const QByteArray address = bus.readLine().trimmed();
    qputenv("DBUS_SESSION_BUS_ADDRESS", address);
    QDBusConnection other = QDBusConnection::connectToBus(QString(address), "portal");
    return other.registerObject("/org/freedesktop/portal/desktop", portal, options) &&
           other.registerService("org.freedesktop.portal.Desktop");
}

// The path of the request that the code under test (this process's session bus connection)
// made with `options`, answered from the portal's connection with `code` and `results` unless
// the code is negative: a portal still asking its user never answers.
inline QDBusObjectPath answerRequest(const QVariantMap &options, int code,
                                     const QVariantMap &results)
{
    const QString handle = "/org/freedesktop/portal/desktop/request/" +
                           QDBusConnection::sessionBus().baseService().mid(1).replace('.', '_') +
                           '/' + options.value("handle_token").toString();
    if (code >= 0)
        QDBusConnection("portal").send(
            QDBusMessage::createSignal(handle, "org.freedesktop.portal.Request", "Response")
            << uint(code) << results);
    return QDBusObjectPath(handle);
}

} // namespace testkit
