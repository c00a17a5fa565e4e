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
    explicit SingleInstance(QString socketPath = defaultSocketPath());
    ~SingleInstance() override;

    // The per-user socket: in XDG_RUNTIME_DIR when there is one, else in the temporary
    // folder with the user id in its name.
    static QString defaultSocketPath();

    // True when a running instance took the reopen request.
    bool handOver(int timeoutMs = 3000) const;
    // Starts listening. With waitForRelease, keeps trying while a running instance still
    // holds the name (a freshly updated process waiting for the old one to quit).
    bool listen(int waitForReleaseMs = 0);

    std::function<void()> onReopen;

private:
    QString m_path;
    std::unique_ptr<QLocalServer> m_server;
};
