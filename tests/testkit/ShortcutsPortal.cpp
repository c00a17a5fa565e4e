// A stand-in for a desktop's global-shortcut service behind the desktop portal, for desktops
// that offer one (GNOME, KDE) cannot run headless here. It binds every shortcut asked for as
// asked, remembers the preferred triggers, and reports a shortcut pressed when told to over
// its own test interface: Triggers() lists the triggers bound, Press(id) activates one.
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDateTime>

#include <cstdio>

// Outside any unnamed namespace: D-Bus finds the slots by the type's registered name.
struct Shortcut
{
    QString id;
    QVariantMap properties;
};

inline QDBusArgument &operator<<(QDBusArgument &argument, const Shortcut &shortcut)
{
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

inline const QDBusArgument &operator>>(const QDBusArgument &argument, Shortcut &shortcut)
{
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

Q_DECLARE_METATYPE(Shortcut)

namespace {

// A session is an object the portal may close.
class Session : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.impl.portal.Session")
public slots:
    void Close() { deleteLater(); }
};

class GlobalShortcuts : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.impl.portal.GlobalShortcuts")
    Q_PROPERTY(uint version READ version)
public:
    uint version() const { return 1; }
    QStringList triggers;

public slots:
    uint CreateSession(const QDBusObjectPath &, const QDBusObjectPath &session, const QString &,
                       const QVariantMap &, QVariantMap &)
    {
        auto *object = new Session;
        QDBusConnection::sessionBus().registerObject(session.path(), object,
                                                     QDBusConnection::ExportAllSlots);
        m_session = session;
        return 0;
    }
    uint BindShortcuts(const QDBusObjectPath &, const QDBusObjectPath &,
                       const QList<Shortcut> &shortcuts, const QString &, const QVariantMap &,
                       QVariantMap &results)
    {
        QList<Shortcut> bound;
        for (Shortcut shortcut : shortcuts) {
            const QString trigger = shortcut.properties.value("preferred_trigger").toString();
            triggers << shortcut.id + '=' + trigger;
            shortcut.properties = {{"description", shortcut.properties.value("description")},
                                   {"trigger_description", trigger}};
            bound << shortcut;
        }
        results.insert("shortcuts", QVariant::fromValue(bound));
        return 0;
    }

signals:
    void Activated(const QDBusObjectPath &session, const QString &id, qulonglong timestamp,
                   const QVariantMap &options);

private:
    friend class TestControl;
    QDBusObjectPath m_session;
};

class TestControl : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.corvane.test.Shortcuts")
public:
    explicit TestControl(GlobalShortcuts *portal) : m_portal(portal) {}

public slots:
    QStringList Triggers() const { return m_portal->triggers; }
    void Press(const QString &id)
    {
        emit m_portal->Activated(m_portal->m_session, id,
                                 qulonglong(QDateTime::currentMSecsSinceEpoch()), {});
    }

private:
    GlobalShortcuts *m_portal;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qDBusRegisterMetaType<Shortcut>();
    qDBusRegisterMetaType<QList<Shortcut>>();
    GlobalShortcuts portal;
    TestControl control(&portal);
    QDBusConnection bus = QDBusConnection::sessionBus();
    const auto all = QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                     QDBusConnection::ExportAllProperties;
    if (!bus.registerObject("/org/freedesktop/portal/desktop", &portal, all) ||
        !bus.registerObject("/test", &control, QDBusConnection::ExportAllSlots) ||
        !bus.registerService("org.freedesktop.impl.portal.desktop.corvanetest")) {
        std::fprintf(stderr, "shortcuts portal: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    std::puts("READY");
    std::fflush(stdout);
    return app.exec();
}

#include "ShortcutsPortal.moc"
