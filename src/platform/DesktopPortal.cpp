#include "platform/DesktopPortal.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <memory>

#include "platform/Milestone.h"

namespace {

const QString kRequestInterface = QStringLiteral("org.freedesktop.portal.Request");

// Receives the one Response signal of a portal request.
class Receiver : public QObject
{
    Q_OBJECT
public:
    std::optional<DesktopPortal::Answer> answer;

public slots:
    void response(uint code, const QVariantMap &results)
    {
        milestone("portal-response");
        answer = DesktopPortal::Answer{code, results};
        emit answered();
    }

signals:
    void answered();
};

// The request object's path is known before the call, so that the answer cannot come before
// the subscription.
QString requestPath(const QDBusConnection &bus, const QString &token)
{
    QString sender = bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    return DesktopPortal::path + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
}

void subscribe(QDBusConnection &bus, const QString &request, Receiver *receiver, bool on)
{
    if (on)
        bus.connect(DesktopPortal::service, request, kRequestInterface, QStringLiteral("Response"),
                    receiver, SLOT(response(uint, QVariantMap)));
    else
        bus.disconnect(DesktopPortal::service, request, kRequestInterface,
                       QStringLiteral("Response"), receiver, SLOT(response(uint, QVariantMap)));
}

} // namespace

namespace DesktopPortal {

const QString service = QStringLiteral("org.freedesktop.portal.Desktop");
const QString path = QStringLiteral("/org/freedesktop/portal/desktop");

QString nextToken()
{
    static int tokens = 0;
    return QStringLiteral("corvane%1").arg(++tokens);
}

namespace {

std::optional<Answer> requestOnThisThread(const QString &interface, const QString &method,
                                          const QVariantList &args, QVariantMap options,
                                          int timeoutMs, QString *why)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        *why = QStringLiteral("세션 버스에 연결할 수 없습니다");
        return std::nullopt;
    }
    const QString token = nextToken();
    QString request = requestPath(bus, token);
    Receiver receiver;
    subscribe(bus, request, &receiver, true);

    options.insert(QStringLiteral("handle_token"), token);
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, method);
    call.setArguments(args + QVariantList{options});
    milestone("portal-request");
    const QDBusMessage reply = bus.call(call, QDBus::Block, timeoutMs);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        subscribe(bus, request, &receiver, false);
        *why = reply.errorMessage();
        return std::nullopt;
    }
    // Portals older than the handle token choose the path themselves.
    const QString handle = reply.arguments().value(0).value<QDBusObjectPath>().path();
    if (!handle.isEmpty() && handle != request) {
        subscribe(bus, request, &receiver, false);
        request = handle;
        subscribe(bus, request, &receiver, true);
    }
    if (!receiver.answer) {
        QEventLoop loop;
        QObject::connect(&receiver, &Receiver::answered, &loop, &QEventLoop::quit);
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        loop.exec();
    }
    subscribe(bus, request, &receiver, false);
    if (!receiver.answer)
        *why = QStringLiteral("데스크톱 포털이 응답하지 않습니다");
    return receiver.answer;
}

} // namespace

std::optional<Answer> request(const QString &interface, const QString &method,
                              const QVariantList &args, QVariantMap options, int timeoutMs,
                              QString *why)
{
    // The answer is awaited on a thread of its own: an event loop nested in the caller's would
    // run the caller's other events (a second launch, a tray click) in the middle of its work.
    std::optional<Answer> answer;
    std::unique_ptr<QThread> thread(QThread::create([&] {
        answer = requestOnThisThread(interface, method, args, std::move(options), timeoutMs, why);
    }));
    thread->start();
    thread->wait();
    return answer;
}

bool offers(const QString &interface)
{
    QDBusMessage get = QDBusMessage::createMethodCall(
        service, path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << interface << QStringLiteral("version");
    const QDBusMessage reply = QDBusConnection::sessionBus().call(get);
    return reply.type() == QDBusMessage::ReplyMessage &&
           reply.arguments().value(0).value<QDBusVariant>().variant().toUInt() > 0;
}

} // namespace DesktopPortal

#include "DesktopPortal.moc"
