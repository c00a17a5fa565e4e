#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>

#include "hotkey/HotKeyRegistrations.h"
#include "platform/DesktopPortal.h"
#include "settings/SystemLog.h"

namespace {

const QString kInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kShortcutId = QStringLiteral("capture");
// Binding may wait for the user to confirm the shortcut in the desktop's settings.
constexpr int kAnswerTimeoutMs = 30000;

struct Shortcut
{
    QString id;
    QVariantMap properties;
};

QDBusArgument &operator<<(QDBusArgument &argument, const Shortcut &shortcut)
{
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, Shortcut &shortcut)
{
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

} // namespace

Q_DECLARE_METATYPE(Shortcut)

namespace {

// The shortcut in the desktop's own notation ("SHIFT+CTRL+9"); empty for keys that notation
// names differently, which the desktop then asks the user for.
QString triggerText(const HotKeyCombo &combo)
{
    const QString key = HotKeyCombo::keyNames().value(combo.keyCode);
    if (key.isEmpty() || !key.at(0).isLetterOrNumber())
        return {};
    QStringList parts;
    if (combo.modifiers & HotKeyCombo::Shift)
        parts << QStringLiteral("SHIFT");
    if (combo.modifiers & HotKeyCombo::Command)
        parts << QStringLiteral("CTRL");
    if (combo.modifiers & HotKeyCombo::Option)
        parts << QStringLiteral("ALT");
    if (combo.modifiers & HotKeyCombo::Control)
        parts << QStringLiteral("LOGO");
    return (parts << key).join(QLatin1Char('+'));
}

class PortalRegistration : public QObject, public HotKey::Registration
{
    Q_OBJECT
public:
    explicit PortalRegistration(std::function<void()> onPressed) : m_onPressed(std::move(onPressed))
    {
        qDBusRegisterMetaType<Shortcut>();
        qDBusRegisterMetaType<QList<Shortcut>>();
    }
    ~PortalRegistration() override { unregister(); }

    bool registerHotKey(const HotKeyCombo &combo) override
    {
        unregister();
        // Asked once per process: a desktop does not gain the interface while it runs.
        static const bool offered = DesktopPortal::offers(kInterface);
        if (!offered) {
            static bool told = false;
            if (!told)
                systemLog(QStringLiteral("이 데스크톱은 전역 단축키를 제공하지 않습니다. "
                                         "데스크톱의 단축키 설정에서 corvane 실행을 연결하세요 "
                                         "(실행 중에 다시 실행하면 캡처합니다)."));
            told = true;
            return false;
        }
        const QString session = createSession();
        if (session.isEmpty() || !bind(session, combo)) {
            close(session);
            return false;
        }
        m_session = session;
        QDBusConnection::sessionBus().connect(
            DesktopPortal::service, DesktopPortal::path, kInterface, QStringLiteral("Activated"),
            this, SLOT(activated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
        return true;
    }

    void unregister() override
    {
        if (m_session.isEmpty())
            return;
        QDBusConnection::sessionBus().disconnect(
            DesktopPortal::service, DesktopPortal::path, kInterface, QStringLiteral("Activated"),
            this, SLOT(activated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
        close(m_session);
        m_session.clear();
    }

    bool isRegistered() const override { return !m_session.isEmpty(); }

public slots:
    void activated(const QDBusObjectPath &session, const QString &id, qulonglong,
                   const QVariantMap &)
    {
        if (session.path() == m_session && id == kShortcutId && m_onPressed)
            m_onPressed();
    }

private:
    QString createSession()
    {
        QString why;
        const auto answer = DesktopPortal::request(
            kInterface, QStringLiteral("CreateSession"), {},
            {{QStringLiteral("session_handle_token"), DesktopPortal::nextToken()}},
            kAnswerTimeoutMs, &why);
        if (!answer || answer->code != 0)
            return {};
        return answer->results.value(QStringLiteral("session_handle")).toString();
    }

    bool bind(const QString &session, const HotKeyCombo &combo)
    {
        QVariantMap properties{{QStringLiteral("description"), QStringLiteral("캡처")}};
        if (const QString trigger = triggerText(combo); !trigger.isEmpty())
            properties.insert(QStringLiteral("preferred_trigger"), trigger);
        const QList<Shortcut> shortcuts{{kShortcutId, properties}};
        QString why;
        const auto answer = DesktopPortal::request(kInterface, QStringLiteral("BindShortcuts"),
                                                   {QVariant::fromValue(QDBusObjectPath(session)),
                                                    QVariant::fromValue(shortcuts), QString()},
                                                   {}, kAnswerTimeoutMs, &why);
        return answer && answer->code == 0;
    }

    static void close(const QString &session)
    {
        if (session.isEmpty())
            return;
        QDBusConnection::sessionBus().call(
            QDBusMessage::createMethodCall(DesktopPortal::service, session,
                                           QStringLiteral("org.freedesktop.portal.Session"),
                                           QStringLiteral("Close")),
            QDBus::NoBlock);
    }

    std::function<void()> m_onPressed;
    QString m_session;
};

} // namespace

std::unique_ptr<HotKey::Registration> makePortalRegistration(std::function<void()> onPressed)
{
    return std::make_unique<PortalRegistration>(std::move(onPressed));
}

#include "HotKey_wayland.moc"
