// A stand-in for a desktop's global-shortcut service behind the desktop portal, for desktops
// that offer one (GNOME, KDE) cannot run headless here. It binds every shortcut asked for as
// asked, remembers the preferred triggers, and reports a shortcut pressed when told to over
// its own test interface: Triggers() lists the triggers bound, Press(id) activates one.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDateTime>

// Shortcuts as the portal sends them: each an id and its properties.
using Shortcuts = QList<std::pair<QString, QVariantMap>>;

namespace {

// The portal's back end, which also answers the test on its own path and interface.
class GlobalShortcuts : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.impl.portal.GlobalShortcuts")
public slots:
    uint CreateSession(const QDBusObjectPath &, const QDBusObjectPath &session, const QString &,
                       const QVariantMap &, QVariantMap &)
    {
        m_session = session;
        return 0;
    }
    uint BindShortcuts(const QDBusObjectPath &, const QDBusObjectPath &,
                       const QList<std::pair<QString, QVariantMap>> &shortcuts, const QString &,
                       const QVariantMap &, QVariantMap &results)
    {
        for (const auto &[id, properties] : shortcuts)
            m_triggers << id + '=' + properties.value("preferred_trigger").toString();
        results.insert("shortcuts", QVariant::fromValue(shortcuts));
        return 0;
    }
    QStringList Triggers() const { return m_triggers; }
    void Press(const QString &id)
    {
        emit Activated(m_session, id, qulonglong(QDateTime::currentMSecsSinceEpoch()), {});
    }

signals:
    void Activated(const QDBusObjectPath &session, const QString &id, qulonglong timestamp,
                   const QVariantMap &options);

private:
    QStringList m_triggers;
    QDBusObjectPath m_session;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qDBusRegisterMetaType<Shortcuts::value_type>();
    qDBusRegisterMetaType<Shortcuts>();
    GlobalShortcuts portal;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject("/org/freedesktop/portal/desktop", &portal,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals) ||
        !bus.registerObject("/test", "org.corvane.test.Shortcuts", &portal,
                            QDBusConnection::ExportAllSlots) ||
        !bus.registerService("org.freedesktop.impl.portal.desktop.corvanetest"))
        return 1;
    return app.exec();
}

#include "ShortcutsPortal.moc"
