#include <algorithm>

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
// Sessions are made without asking anyone.
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

// The portal answers every call later, while the event loop runs: a registration is under way
// from registerHotKey() until the session is bound, and a failure on the way is logged.
class PortalRegistration : public QObject, public HotKey::Registration
{
    Q_OBJECT
public:
    explicit PortalRegistration(std::function<void()> onPressed) : m_onPressed(std::move(onPressed))
    {
        qDBusRegisterMetaType<Shortcut>();
        qDBusRegisterMetaType<QList<Shortcut>>();
        // A portal that ends takes its sessions with it; one started again binds the shortcut
        // anew. A call wakes the portal, which the bus starts on demand.
        DesktopPortal::onRestart(this, [this](bool running) {
            if (!m_wanted)
                return;
            if (running) {
                if (!isRegistered())
                    registerHotKey(m_combo);
                return;
            }
            release();
            QDBusConnection::sessionBus().call(
                QDBusMessage::createMethodCall(DesktopPortal::service, DesktopPortal::path,
                                               QStringLiteral("org.freedesktop.DBus.Peer"),
                                               QStringLiteral("Ping")),
                QDBus::NoBlock);
        });
    }
    ~PortalRegistration() override { unregister(); }

    bool registerHotKey(const HotKeyCombo &combo) override
    {
        release();
        if (s_offered == Offered::No) {
            tellNotOffered();
            return false;
        }
        m_wanted = true;
        m_combo = combo;
        m_underWay = true;
        const int attempt = ++m_attempt;
        if (s_offered == Offered::Yes) {
            createSession(attempt);
            return true;
        }
        // Asked once per process: a desktop does not gain the interface while it runs.
        DesktopPortal::offers(kInterface, this, [this, attempt](bool offered) {
            s_offered = offered ? Offered::Yes : Offered::No;
            if (attempt != m_attempt)
                return;
            if (offered)
                return createSession(attempt);
            m_underWay = false;
            tellNotOffered();
            if (onUnavailable)
                onUnavailable();
        });
        return true;
    }

    void unregister() override
    {
        m_wanted = false;
        release();
    }

    bool isRegistered() const override { return m_underWay || !m_session.isEmpty(); }
    bool isOffered() const override { return s_offered != Offered::No; }

public slots:
    void activated(const QDBusObjectPath &session, const QString &id, qulonglong,
                   const QVariantMap &)
    {
        if (session.path() == m_session && id == kShortcutId && m_onPressed)
            m_onPressed();
    }
    // Other keys given to the shortcut later, in the desktop's settings.
    void shortcutsChanged(const QDBusMessage &message)
    {
        const QVariantList args = message.arguments();
        if (args.value(0).value<QDBusObjectPath>().path() != m_session)
            return;
        if (const std::optional<QString> keys = keysIn(args.value(1));
            keys && !keys->isEmpty() && onBoundAs)
            onBoundAs(*keys);
    }

private:
    enum class Offered
    {
        Unknown,
        Yes,
        No,
    };

    // Drops the session and any registration under way.
    void release()
    {
        ++m_attempt;
        m_underWay = false;
        // A binding the desktop still asks the user about goes with its dialog and session.
        m_binding.reset();
        close(std::exchange(m_bindingSession, {}));
        if (m_session.isEmpty())
            return;
        listen(false);
        close(m_session);
        m_session.clear();
    }

    static void tellNotOffered()
    {
        static bool told = false;
        if (!told)
            systemLog(QStringLiteral("이 데스크톱은 전역 단축키를 제공하지 않습니다. "
                                     "데스크톱의 단축키 설정에서 corvane 실행을 연결하세요 "
                                     "(실행 중에 다시 실행하면 캡처합니다)."));
        told = true;
    }

    // The registration was taken as under way: the application learns that it holds nothing.
    void fail(const QString &session, const QString &why)
    {
        close(session);
        m_underWay = false;
        m_wanted = false; // not asked again behind the user's back
        systemLog(QStringLiteral("전역 단축키를 등록하지 못했습니다: ") + why);
        if (onUnavailable)
            onUnavailable();
    }

    void createSession(int attempt)
    {
        DesktopPortal::request(
            kInterface, QStringLiteral("CreateSession"), {},
            {{QStringLiteral("session_handle_token"), DesktopPortal::nextToken()}},
            kAnswerTimeoutMs, this,
            [this, attempt](std::optional<DesktopPortal::Answer> answer, const QString &why) {
                // A string, as portals send it, or the object path their documents name.
                const QVariant handle =
                    answer ? answer->results.value(QStringLiteral("session_handle")) : QVariant();
                const QString session = handle.canConvert<QDBusObjectPath>()
                                            ? handle.value<QDBusObjectPath>().path()
                                            : handle.toString();
                if (attempt != m_attempt)
                    return close(session);
                if (!answer || answer->code != 0 || session.isEmpty())
                    return fail(session, answer ? QStringLiteral("세션을 만들 수 없습니다") : why);
                bind(attempt, session);
            });
    }

    void bind(int attempt, const QString &session)
    {
        QVariantMap properties{{QStringLiteral("description"), QStringLiteral("캡처")}};
        if (const QString trigger = triggerText(m_combo); !trigger.isEmpty())
            properties.insert(QStringLiteral("preferred_trigger"), trigger);
        const QList<Shortcut> shortcuts{{kShortcutId, properties}};
        m_bindingSession = session;
        m_binding = std::make_unique<QObject>();
        // The desktop may show the shortcut to the user, who takes the time they take.
        DesktopPortal::request(
            kInterface, QStringLiteral("BindShortcuts"),
            {QVariant::fromValue(QDBusObjectPath(session)), QVariant::fromValue(shortcuts),
             QString()},
            {}, DesktopPortal::noTimeLimit, m_binding.get(),
            [this, attempt, session](std::optional<DesktopPortal::Answer> answer,
                                     const QString &why) {
                m_bindingSession.clear();
                if (attempt != m_attempt)
                    return close(session);
                if (!answer || answer->code != 0)
                    return fail(session, answer ? QStringLiteral("데스크톱이 거부했습니다") : why);
                // Success alone is no binding: the answer must list the shortcut asked for.
                const std::optional<QString> keys =
                    keysIn(answer->results.value(QStringLiteral("shortcuts")));
                if (!keys) {
                    // KDE Plasma 5.27's portal answers so and binds nothing, every time.
                    s_offered = Offered::No;
                    return fail(session, QStringLiteral("데스크톱이 단축키를 연결하지 않았습니다"));
                }
                m_underWay = false;
                m_session = session;
                if (!keys->isEmpty() && onBoundAs)
                    onBoundAs(*keys);
                listen(true);
            });
    }

    // The portal's signals about this application's session.
    void listen(bool on)
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        const std::pair<QString, const char *> hooks[] = {
            {QStringLiteral("Activated"),
             SLOT(activated(QDBusObjectPath, QString, qulonglong, QVariantMap))},
            {QStringLiteral("ShortcutsChanged"), SLOT(shortcutsChanged(QDBusMessage))}};
        for (const auto &[name, slot] : hooks) {
            if (on)
                bus.connect(DesktopPortal::service, DesktopPortal::path, kInterface, name, this,
                            slot);
            else
                bus.disconnect(DesktopPortal::service, DesktopPortal::path, kInterface, name, this,
                               slot);
        }
    }

    // Whether a list of shortcuts holds this application's, with how the desktop says it is
    // pressed where it says so.
    static std::optional<QString> keysIn(const QVariant &shortcuts)
    {
        if (!shortcuts.canConvert<QDBusArgument>())
            return std::nullopt;
        for (const Shortcut &s : qdbus_cast<QList<Shortcut>>(shortcuts.value<QDBusArgument>()))
            if (s.id == kShortcutId)
                return s.properties.value(QStringLiteral("trigger_description")).toString();
        return std::nullopt;
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

    static inline Offered s_offered = Offered::Unknown;
    std::function<void()> m_onPressed;
    HotKeyCombo m_combo = HotKeyCombo::standard;
    QString m_session;
    // The context of a binding under way, and its session.
    std::unique_ptr<QObject> m_binding;
    QString m_bindingSession;
    int m_attempt = 0;
    bool m_underWay = false;
    // Asked for and not given back: bound again whenever the portal starts anew.
    bool m_wanted = false;
};

} // namespace

std::unique_ptr<HotKey::Registration> makePortalRegistration(std::function<void()> onPressed)
{
    return std::make_unique<PortalRegistration>(std::move(onPressed));
}

#include "HotKey_portal.moc"
