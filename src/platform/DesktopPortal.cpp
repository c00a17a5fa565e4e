#include "platform/DesktopPortal.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QPointer>
#include <QTimer>

#include "platform/Milestone.h"

namespace {

const QString kRequestInterface = QStringLiteral("org.freedesktop.portal.Request");

// One request in flight: listens for its Response, gives up after the timeout, and deletes
// itself once it has answered.
class PendingRequest : public QObject
{
    Q_OBJECT
public:
    PendingRequest(QDBusConnection bus, QObject *context, DesktopPortal::Done done)
        : m_bus(std::move(bus)), m_context(context), m_done(std::move(done))
    {}

    void watch(const QString &request)
    {
        if (request == m_request)
            return;
        if (!m_request.isEmpty())
            subscribe(false);
        m_request = request;
        subscribe(true);
    }

    void finish(std::optional<DesktopPortal::Answer> answer, const QString &why)
    {
        if (m_finished)
            return;
        m_finished = true;
        subscribe(false);
        if (!answer && m_made) {
            // Closing the request takes down whatever the portal still shows for it.
            m_bus.call(QDBusMessage::createMethodCall(DesktopPortal::service, m_request,
                                                      kRequestInterface, QStringLiteral("Close")),
                       QDBus::NoBlock);
        }
        if (m_context && m_done)
            m_done(std::move(answer), why);
        deleteLater();
    }

    // Ends the request without a word to its caller, whose context is gone. A call still on its
    // way makes the request before the portal reads the closing, which comes after it.
    void cancel()
    {
        m_made = true;
        m_context = nullptr;
        finish(std::nullopt, QString());
    }

    // The portal made the request object; older portals choose its path themselves.
    void made(const QString &handle)
    {
        m_made = true;
        if (!handle.isEmpty())
            watch(handle);
    }

public slots:
    void response(uint code, const QVariantMap &results)
    {
        milestone("portal-response");
        finish(DesktopPortal::Answer{code, results}, QString());
    }

private:
    void subscribe(bool on)
    {
        const QString signal = QStringLiteral("Response");
        if (on)
            m_bus.connect(DesktopPortal::service, m_request, kRequestInterface, signal, this,
                          SLOT(response(uint, QVariantMap)));
        else
            m_bus.disconnect(DesktopPortal::service, m_request, kRequestInterface, signal, this,
                             SLOT(response(uint, QVariantMap)));
    }

    QDBusConnection m_bus;
    QPointer<QObject> m_context;
    DesktopPortal::Done m_done;
    QString m_request;
    bool m_made = false;
    bool m_finished = false;
};

// The request object's path is known before the call, so that the answer cannot come before
// the subscription.
QString requestPath(const QDBusConnection &bus, const QString &token)
{
    QString sender = bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    return DesktopPortal::path + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
}

// The portal knows an application that neither it nor a sandbox started only by what the
// application tells it before any call: the name of its desktop entry, under which the portal
// names it in its dialogs and keeps its permissions. Calls wait for that word, once per start of
// the portal. A portal without the registry, or one that finds no installed entry of that name
// (a build run in place), answers with an error, and the calls go ahead all the same.
const QString kAppId = QStringLiteral("corvane");

class HostRegistration : public QObject
{
public:
    static HostRegistration &instance()
    {
        static QPointer<HostRegistration> registration;
        if (!registration)
            registration = new HostRegistration;
        return *registration;
    }

    // Runs next once the portal knows this application, unless context is gone by then.
    void then(QObject *context, std::function<void()> next)
    {
        if (m_state == State::Done)
            return next();
        m_waiting.append({context, std::move(next)});
        if (m_state == State::Pending)
            return;
        m_state = State::Pending;
        QDBusMessage call = QDBusMessage::createMethodCall(
            DesktopPortal::service, DesktopPortal::path,
            QStringLiteral("org.freedesktop.host.portal.Registry"), QStringLiteral("Register"));
        call << kAppId << QVariantMap();
        auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, 10000), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
            watcher->deleteLater();
            m_state = State::Done;
            m_known = !watcher->isError();
            for (const auto &[context, next] : std::exchange(m_waiting, {}))
                if (context)
                    next();
        });
    }

    bool known() const { return m_state == State::Done && m_known; }

    void onRestart(QObject *context, std::function<void(bool)> then)
    {
        // A portal replaced in place (--replace) ends and starts in one change of owner.
        connect(
            &m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, context,
            [then = std::move(then)](const QString &, const QString &before, const QString &owner) {
                if (!before.isEmpty())
                    then(false);
                if (!owner.isEmpty())
                    then(true);
            });
    }

private:
    // Gone with the application, before the bus is. Connected first, the name is forgotten
    // before anyone hears of the restart.
    HostRegistration() : QObject(QCoreApplication::instance())
    {
        connect(&m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, [this] {
            if (m_state == State::Done)
                m_state = State::None;
        });
    }

    enum class State
    {
        None,
        Pending,
        Done,
    };
    QDBusConnection m_bus = QDBusConnection::sessionBus();
    QDBusServiceWatcher m_watcher{DesktopPortal::service, m_bus,
                                  QDBusServiceWatcher::WatchForOwnerChange};
    State m_state = State::None;
    bool m_known = false;
    QList<std::pair<QPointer<QObject>, std::function<void()>>> m_waiting;
};

} // namespace

namespace DesktopPortal {

const QString service = QStringLiteral("org.freedesktop.portal.Desktop");
const QString path = QStringLiteral("/org/freedesktop/portal/desktop");

QString appId()
{
    return HostRegistration::instance().known() ? kAppId : QString();
}

void onRestart(QObject *context, std::function<void(bool running)> then)
{
    HostRegistration::instance().onRestart(context, std::move(then));
}

QString nextToken()
{
    static int tokens = 0;
    return QStringLiteral("corvane%1").arg(++tokens);
}

void request(const QString &interface, const QString &method, const QVariantList &args,
             QVariantMap options, int timeoutMs, QObject *context, Done done)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        QTimer::singleShot(0, context, [done] {
            done(std::nullopt, QStringLiteral("세션 버스에 연결할 수 없습니다"));
        });
        return;
    }
    const QString token = nextToken();
    auto *pending = new PendingRequest(bus, context, std::move(done));
    pending->watch(requestPath(bus, token));
    if (timeoutMs != noTimeLimit)
        QTimer::singleShot(timeoutMs, pending, [pending] {
            pending->finish(std::nullopt, QStringLiteral("데스크톱 포털이 응답하지 않습니다"));
        });
    QObject::connect(context, &QObject::destroyed, pending, [pending] { pending->cancel(); });

    options.insert(QStringLiteral("handle_token"), token);
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, method);
    call.setArguments(args + QVariantList{options});
    HostRegistration::instance().then(pending, [bus, call, timeoutMs, pending]() mutable {
        milestone("portal-request");
        auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, timeoutMs), pending);
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, pending, [pending, watcher] {
            watcher->deleteLater();
            const QDBusPendingReply<QDBusObjectPath> reply = *watcher;
            if (reply.isError()) {
                pending->finish(std::nullopt, reply.error().message());
                return;
            }
            pending->made(reply.value().path());
        });
    });
}

void offers(const QString &interface, QObject *context, std::function<void(bool)> done)
{
    QDBusMessage get = QDBusMessage::createMethodCall(
        service, path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << interface << QStringLiteral("version");
    HostRegistration::instance().then(context, [get, context, done = std::move(done)] {
        auto *watcher =
            new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(get), context);
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context, [watcher, done] {
            watcher->deleteLater();
            const QDBusPendingReply<QDBusVariant> reply = *watcher;
            done(!reply.isError() && reply.value().variant().toUInt() > 0);
        });
    });
}

} // namespace DesktopPortal

#include "DesktopPortal.moc"
