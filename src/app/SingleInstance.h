#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QLocalServer;

// Keeps one running corvane per user. The first process listens on a private local
// socket; a later launch hands over ("reopen") and exits, so that launching the
// application again starts a capture in the running one.
class SingleInstance : public QObject
{
    Q_OBJECT
public:
    // On the per-user socket; errorString() says why when there is none to use.
    SingleInstance();
    explicit SingleInstance(QString socketPath);
    ~SingleInstance() override;

    // The per-user socket: in XDG_RUNTIME_DIR when there is one, else in a folder of the
    // temporary folder that belongs to this user alone (a socket at a predictable shared
    // name could be taken first by another user). Empty, with *error set, when that folder
    // exists but is someone else's or open to others.
    static QString defaultSocketPath(QString *error = nullptr);
    // Why the last listen() failed, or why there is no socket to use.
    QString errorString() const { return m_error; }

    // True when a running instance took the reopen request.
    bool handOver(int timeoutMs = 3000) const;
    // Starts listening. With waitForRelease, keeps trying while a running instance still
    // holds the name (a freshly updated process waiting for the old one to quit).
    bool listen(int waitForReleaseMs = 0);

    std::function<void()> onReopen;

private:
    QString m_path;
    QString m_error;
    std::unique_ptr<QLocalServer> m_server;
};
