#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QLocalServer;

// Keeps one running corvane per user. The first process listens on a private local
// socket; a later launch hands its request over ("reopen" starts a capture) and exits, so
// that launching the application again acts in the running one. A live instance keeps its
// socket even while it is too busy to answer.
class SingleInstance : public QObject
{
    Q_OBJECT
public:
    enum class Command
    {
        Capture,
        Settings,
        Quit,
    };
    enum class HandOver
    {
        // The running instance has the request (it may act on it only once it is free).
        Delivered,
        // Nobody listens: this process may become the instance.
        NoInstance,
        // An instance runs but could not be given the request.
        Failed,
    };

    // On the per-user socket; errorString() says why when there is none to use.
    SingleInstance();
    explicit SingleInstance(QString socketPath);
    ~SingleInstance() override;

    // The per-user socket: in XDG_RUNTIME_DIR when there is one no other user may write in,
    // else in a folder of the temporary folder (/tmp where either path is too long for a
    // socket) that belongs to this user alone (a socket at a predictable shared name could be
    // taken first by another user). Empty, with *error set, when that folder exists but is
    // someone else's or open to others.
    static QString defaultSocketPath(QString *error = nullptr);
    // Why the last listen() failed, or why there is no socket to use.
    QString errorString() const { return m_error; }

    // Gives command to a running instance, waiting at most timeoutMs for each step.
    HandOver handOver(Command command, int timeoutMs = 3000) const;
    // Starts listening. Never takes the name from a live instance, nor from one that is still
    // starting (it holds a lock beside the socket from before it listens until it exits); a
    // socket nobody listens on is one a crashed process left, and is replaced. With
    // waitForReleaseMs, keeps trying while a running instance still holds the name (a freshly
    // updated process waiting for the old one to quit).
    bool listen(int waitForReleaseMs = 0);

    std::function<void(Command)> onCommand;

private:
    QString m_path;
    QString m_error;
    std::unique_ptr<QLocalServer> m_server;
    int m_lock = -1;
};
