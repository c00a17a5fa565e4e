#pragma once

#include <QDBusConnection>
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

} // namespace testkit
