#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <limits>
#include <memory>
#include <optional>

#include "update/BundleInstaller.h"
#include "update/ReadyUpdate.h"

class QThread;
class QTimer;

// Asks the server for a newer version in the background, at most once per check interval,
// and installs a downloaded one at the first wake-up at which the application is not busy.
// Lives on the main thread; the check runs on a worker thread of its own.
class Updater : public QObject
{
    Q_OBJECT

public:
    // Where and how the updater works; system() describes the running process.
    struct Environment
    {
        QString bundlePath;
        QString tempDir;
        QString version;
        int firstWakeMs = 30000;
        int wakeIntervalMs = 60000;
        qint64 checkIntervalMs = qint64(6) * 60 * 60 * 1000;
        BundleInstaller::Launch launch;
        // Ends the process after a successful install; called from the event loop.
        std::function<void()> quit;
        // The system's package manager owns the bundle, so it also owns its updates.
        bool packageManaged = false;
        // The base64 of the Ed25519 public key that archives must be signed with, or empty.
        QString updateKey;

        static Environment system();
    };

    // isBusy answers, on the main thread, whether an update may not be installed now.
    Updater(const QString &serverUrl, std::function<bool()> isBusy,
            Environment environment = Environment::system());
    // Cancels a running check and waits for its worker to end.
    ~Updater() override;

    // Whether version a is later than b: the first four "."-separated numbers decide, and
    // a piece that is not a whole number counts as 0.
    static bool isNewer(const QString &a, const QString &b);

private:
    void startWakeTimer(int firstDelayMs);
    void tick();
    void startCheck();
    void apply(const ReadyUpdate &update);

    QString serverUrl;
    std::function<bool()> isBusy;
    Environment env;
    QTimer *timer = nullptr;
    qint64 nextCheck = std::numeric_limits<qint64>::min();
    bool checking = false;
    std::optional<ReadyUpdate> ready;
    std::unique_ptr<QThread> worker;
    std::atomic<bool> cancelled = false;
};
