#include "platform/ShellOverview.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QObject>
#include <QTimer>

namespace {

const QString kShell = QStringLiteral("org.gnome.Shell");
const QString kPath = QStringLiteral("/org/gnome/Shell");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kActive = QStringLiteral("OverviewActive");

bool onGnomeShell()
{
    // "GNOME", or a distribution's name before it ("ubuntu:GNOME").
    return qEnvironmentVariable("XDG_CURRENT_DESKTOP")
        .split(u':')
        .contains(QStringLiteral("GNOME"), Qt::CaseInsensitive);
}

// One wait for the overview to close, owned by the caller's context: it listens for the
// shell's word that the overview has closed, asks whether it is open and, if so, asks the
// shell to close it (a property any client of the session may set). Runs then once.
class Closing : public QObject
{
    Q_OBJECT

public:
    Closing(QObject *context, std::function<void()> then, int timeoutMs)
        : QObject(context), m_then(std::move(then)), m_bus(QDBusConnection::sessionBus())
    {
        // From any sender: naming the shell's well-known name would make Qt look its owner up
        // on the bus, waiting for the answer.
        m_bus.connect(QString(), kPath, kProperties, QStringLiteral("PropertiesChanged"), this,
                      SLOT(changed(QString, QVariantMap, QStringList)));
        QTimer::singleShot(timeoutMs, this, &Closing::finish);
        QDBusMessage get =
            QDBusMessage::createMethodCall(kShell, kPath, kProperties, QStringLiteral("Get"));
        get << kShell << kActive;
        whenAnswered(get, [this](const QDBusMessage &reply) {
            const QList<QVariant> args = reply.arguments();
            if (reply.type() != QDBusMessage::ReplyMessage || args.isEmpty() ||
                !args.first().value<QDBusVariant>().variant().toBool())
                return finish();
            QDBusMessage set =
                QDBusMessage::createMethodCall(kShell, kPath, kProperties, QStringLiteral("Set"));
            set << kShell << kActive << QVariant::fromValue(QDBusVariant(false));
            whenAnswered(set, [this](const QDBusMessage &reply) {
                if (reply.type() != QDBusMessage::ReplyMessage)
                    finish();
            });
        });
    }

private slots:
    void changed(const QString &interface, const QVariantMap &properties, const QStringList &)
    {
        if (interface == kShell && properties.contains(kActive) && !properties[kActive].toBool())
            finish();
    }

private:
    void whenAnswered(const QDBusMessage &call, std::function<void(const QDBusMessage &)> next)
    {
        auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [watcher, next] {
            watcher->deleteLater();
            next(watcher->reply());
        });
    }
    void finish()
    {
        if (!m_then)
            return;
        m_bus.disconnect(QString(), kPath, kProperties, QStringLiteral("PropertiesChanged"), this,
                         SLOT(changed(QString, QVariantMap, QStringList)));
        deleteLater();
        // Moved out first: then may end the context, and this with it.
        std::exchange(m_then, nullptr)();
    }

    std::function<void()> m_then;
    QDBusConnection m_bus;
};

} // namespace

namespace ShellOverview {

void closeThen(QObject *context, std::function<void()> then, int timeoutMs)
{
    if (!onGnomeShell())
        return then();
    new Closing(context, std::move(then), timeoutMs);
}

} // namespace ShellOverview

#include "ShellOverview.moc"
