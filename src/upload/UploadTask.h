#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>

#include <functional>
#include <optional>

#include "upload/UploadResult.h"

class QNetworkReply;

// One running upload request: collects the answer's body up to a cap and turns the finished
// exchange into exactly one call of the completion.
class UploadTask : public QObject
{
    Q_OBJECT

public:
    using Completion = std::function<void(const UploadResult &)>;

    // Lives as a child of the reply.
    UploadTask(QNetworkReply *reply, qint64 maxBodyBytes, Completion completion);

    // Aborts the transfer. The completion is posted to the event loop instead of being called
    // here, because the caller may be part way through destroying whatever it reaches.
    void cancel();

    // The meaning of a finished exchange without a transport error: the HTTP status (nothing
    // when no HTTP response arrived) and the body as received.
    static UploadResult interpret(std::optional<int> status, const QByteArray &body);

private:
    void readBody();
    void finish();
    void deliver(const UploadResult &result);

    QPointer<QNetworkReply> reply;
    qint64 maxBodyBytes;
    Completion completion;
    QByteArray body;
    std::optional<int> status;
    bool bodyTooLarge = false;
    bool cancelled = false;
    bool finished = false;
};
