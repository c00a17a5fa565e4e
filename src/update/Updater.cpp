#include "update/Updater.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QUrl>
#include <QThread>
#include <QTimer>

#include "settings/AppSettings.h"
#include "settings/Bundle.h"
#include "settings/SystemLog.h"
#include "update/BundleFiles.h"
#include "update/UpdateCheck.h"

namespace {

// Whether a host names this computer: by a local name, its own name or one of its addresses.
bool isThisComputer(QString host)
{
    host = host.toLower();
    if (host.endsWith(QLatin1Char('.')))
        host.chop(1);
    if (host == QLatin1String("localhost") || host.endsWith(QLatin1String(".localhost")) ||
        host == QLatin1String("ip6-localhost") || host == QLatin1String("ip6-loopback") ||
        host == QHostInfo::localHostName().toLower())
        return true;
    const QHostAddress address(host);
    return address.isLoopback() || address == QHostAddress(QHostAddress::AnyIPv4) ||
           address == QHostAddress(QHostAddress::AnyIPv6) ||
           QNetworkInterface::allAddresses().contains(address);
}

// A base-10 integer with an optional sign that fits 64 bits; anything else counts as 0.
qint64 versionPiece(QStringView piece)
{
    qsizetype at = 0;
    const bool negative = piece.startsWith(QLatin1Char('-'));
    if (negative || piece.startsWith(QLatin1Char('+')))
        at = 1;
    if (at == piece.size())
        return 0;
    qint64 value = 0;
    for (; at < piece.size(); ++at) {
        const char16_t c = piece[at].unicode();
        if (c < u'0' || c > u'9')
            return 0;
        const int digit = c - u'0';
        // Accumulated negatively, so that the most negative value fits too.
        if (value < (std::numeric_limits<qint64>::min() + digit) / 10)
            return 0;
        value = value * 10 - digit;
    }
    if (!negative && value == std::numeric_limits<qint64>::min())
        return 0;
    return negative ? value : -value;
}

QList<qint64> versionPieces(const QString &text)
{
    QList<qint64> pieces;
    for (const QStringView piece : QStringView(text).split(QLatin1Char('.'), Qt::SkipEmptyParts))
        pieces.append(versionPiece(piece));
    while (pieces.size() < 4)
        pieces.append(0);
    return pieces;
}

} // namespace

Updater::Environment Updater::Environment::system()
{
    Environment env;
    env.bundlePath = Bundle::bundlePath();
    env.tempDir = QDir::tempPath();
    env.version = AppSettings::version();
    env.launch = [](const QString &program, const QStringList &arguments) {
        return BundleFiles::startConfirmed(program, arguments, 30000);
    };
    env.quit = [] { QCoreApplication::quit(); };
    env.packageManaged = Bundle::isPackageManaged();
    env.updateKey = AppSettings::updateKey();
    // For tests only: "first,interval,check" in milliseconds replaces the 30 s first wake-up,
    // the 60 s wake-up interval and the 6 h between checks, so that an end-to-end run of the
    // whole update takes seconds. Read once, here.
    const QStringList timing = qEnvironmentVariable("CORVANE_UPDATE_TIMING_MS").split(',');
    if (timing.size() == 3) {
        env.firstWakeMs = timing[0].toInt();
        env.wakeIntervalMs = std::max(1, timing[1].toInt());
        env.checkIntervalMs = timing[2].toLongLong();
    }
    return env;
}

Updater::Updater(const QString &serverUrl, std::function<bool()> isBusy, Environment environment)
    : serverUrl(serverUrl), isBusy(std::move(isBusy)), env(std::move(environment))
{
    // Outside an X.app bundle the "bundle" is a plain folder such as /usr/bin: never move it.
    if (!env.bundlePath.endsWith(QLatin1String(".app"))) {
        systemLog(QStringLiteral("번들 밖에서 실행 중이라 자동 업데이트를 하지 않습니다: ") +
                  env.bundlePath);
        return;
    }
    if (env.packageManaged) {
        systemLog(QStringLiteral("패키지로 설치되어 자동 업데이트를 하지 않습니다: ") +
                  env.bundlePath);
        return;
    }
    // A bundle that cannot be replaced needs no download.
    const QString folder = QFileInfo(env.bundlePath).path();
    if (!BundleFiles::isWritableFolder(folder)) {
        systemLog(QStringLiteral("앱 폴더에 쓸 수 없어 업데이트를 건너뜁니다: ") + folder);
        return;
    }
    // Any account of this computer may answer on a loopback port: without a key to check the
    // publisher's signature, an update from there could be anyone's program.
    const QString host = QUrl(serverUrl).host();
    if (env.updateKey.isEmpty() && isThisComputer(host)) {
        systemLog(QStringLiteral("서명 키가 없어 이 컴퓨터의 서버에서는 업데이트하지 않습니다: ") +
                  serverUrl);
        return;
    }
    if (env.updateKey.isEmpty())
        systemLog(QStringLiteral("업데이트 서명 키가 없어 SHA-256만 확인합니다"));
    BundleFiles::removeItem(BundleInstaller::oldPathFor(env.bundlePath));
    // A process that ended while its update waited (a logout, a crash) or while it copied a
    // new bundle into place left that behind; only one instance runs per user, so none of
    // these is still in use.
    BundleFiles::removeOwnFolders(env.tempDir, UpdateCheck::stagingPrefix);
    BundleFiles::removeOwnFolders(QFileInfo(env.bundlePath).path(),
                                  QFileInfo(env.bundlePath).fileName() +
                                      BundleFiles::partialSuffix);
    timer = new QTimer(this);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, [this] {
        if (timer->isSingleShot())
            startWakeTimer(env.wakeIntervalMs);
        tick();
    });
    timer->start(env.firstWakeMs);
}

Updater::~Updater()
{
    cancelled = true;
    if (worker)
        worker->wait();
}

bool Updater::isNewer(const QString &a, const QString &b)
{
    const QList<qint64> left = versionPieces(a);
    const QList<qint64> right = versionPieces(b);
    for (int i = 0; i < 4; ++i) {
        if (left[i] != right[i])
            return left[i] > right[i];
    }
    return false;
}

void Updater::startWakeTimer(int intervalMs)
{
    timer->setSingleShot(false);
    timer->start(intervalMs);
}

void Updater::tick()
{
    if (ready) {
        if (!isBusy || !isBusy())
            apply(*ready);
        return;
    }
    if (checking)
        return;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now < nextCheck)
        return;
    checking = true;
    nextCheck = now + env.checkIntervalMs;
    startCheck();
}

void Updater::startCheck()
{
    if (worker)
        worker->wait();
    const UpdateCheck check(serverUrl, env.version, env.tempDir, env.updateKey);
    // The updater outlives the worker (its destructor waits), so the result can be posted
    // to it directly.
    worker.reset(QThread::create([this, check] {
        std::optional<ReadyUpdate> found = check.download(&cancelled);
        QMetaObject::invokeMethod(
            this,
            [this, found = std::move(found)] {
                ready = found;
                checking = false;
            },
            Qt::QueuedConnection);
    }));
    worker->start(QThread::LowPriority);
}

void Updater::apply(const ReadyUpdate &update)
{
    timer->stop();
    switch (BundleInstaller(env.bundlePath, env.launch).apply(update)) {
    case BundleInstaller::Outcome::Relaunched:
        QMetaObject::invokeMethod(this, env.quit, Qt::QueuedConnection);
        break;
    case BundleInstaller::Outcome::Failed:
        ready.reset();
        startWakeTimer(env.wakeIntervalMs);
        break;
    case BundleInstaller::Outcome::Skipped:
        ready.reset();
        break;
    }
}
