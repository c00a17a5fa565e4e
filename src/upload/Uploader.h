#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

#include "upload/UploadResult.h"

class QNetworkAccessManager;

// Sends one PNG to the server's upload endpoint and hands back the link it answers with.
// Callbacks run on the thread that called upload() (the main thread), except the failure
// for an unusable server address, which is delivered before upload() returns.
class Uploader : public QObject
{
    Q_OBJECT

public:
    // Response bodies longer than this are not read to the end and count as no JSON.
    static constexpr qint64 maxResponseBytes = 1024 * 1024;
    static constexpr int defaultTransferTimeoutMs = 60000;

    explicit Uploader(QObject *parent = nullptr);
    // Uploads still running are aborted; their completions still arrive, once each, on a
    // later turn of the event loop.
    ~Uploader() override;

    void upload(const QByteArray &png, const QString &serverUrl,
                std::function<void(double)> progress,
                std::function<void(const UploadResult &)> completion);

    // The endpoint for a server base address: one trailing "/" dropped, then "/api/upload".
    // Nothing unless that is an absolute http(s) URL with a host.
    static std::optional<QUrl> endpointFor(const QString &serverUrl);

    // How long a transfer may go without any bytes moving before it fails. A whole upload
    // fails after wholeUploadTimeouts of it, however its bytes move.
    void setTransferTimeout(int milliseconds) { transferTimeoutMs = milliseconds; }
    static constexpr int wholeUploadTimeouts = 5;

    // Body progress of the running request: reports sent / expected to the newest progress
    // callback; an unknown or empty total reports nothing.
    void didSendBodyData(qint64 totalBytesSent, qint64 totalBytesExpectedToSend);

private:
    QNetworkAccessManager *ensureSession();

    std::function<void(double)> onProgress;
    QNetworkAccessManager *session = nullptr;
    int transferTimeoutMs = defaultTransferTimeoutMs;
};
