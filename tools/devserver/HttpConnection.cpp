#include "HttpConnection.h"

#include <algorithm>

#include <QTcpSocket>
#include <QTimer>

namespace {

constexpr qsizetype maxHeadBytes = 64 * 1024;
constexpr qint64 streamChunkBytes = 64 * 1024;
constexpr qint64 streamQueueBytes = 256 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 100:
        return "Continue";
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 307:
        return "Temporary Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 411:
        return "Length Required";
    case 413:
        return "Content Too Large";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

bool isDigits(const QByteArray &text)
{
    return !text.isEmpty() && text.size() <= 18 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

HttpConnection::HttpConnection(QTcpSocket *socket, qint64 maxBodyBytes, QObject *parent)
    : QObject(parent), socket(socket), maxBodyBytes(maxBodyBytes)
{
    socket->setParent(this);
    // What the client sends while an answer drains waits in the system's buffers.
    socket->setReadBufferSize(maxHeadBytes);
    connect(socket, &QTcpSocket::readyRead, this, [this] {
        // While a request waits for its answer (a stalled upload, say), what the client sends
        // next waits in the system's buffers too.
        if (draining || state == State::Answering)
            return;
        const QByteArray data = this->socket->readAll();
        if (state == State::Closed)
            return;
        buffer += data;
        process();
    });
    connect(socket, &QTcpSocket::bytesWritten, this, &HttpConnection::writeMore);
    connect(socket, &QTcpSocket::disconnected, this, [this] {
        state = State::Closed;
        deleteLater();
    });
}

void HttpConnection::process()
{
    for (;;) {
        switch (state) {
        case State::ReadingHead: {
            const qsizetype end = buffer.indexOf("\r\n\r\n");
            if (end < 0) {
                if (buffer.size() > maxHeadBytes)
                    reject(431);
                return;
            }
            const QByteArray head = buffer.left(end);
            buffer.remove(0, end + 4);
            if (const int status = parseHead(head)) {
                reject(status);
                return;
            }
            remainingBody = request.bodyLength;
            if (request.bodyLength > maxBodyBytes) {
                // A client that waits for "100 Continue" has not sent the body: refuse at once.
                if (expectContinue) {
                    reject(413);
                    return;
                }
                state = State::DiscardingBody;
                break;
            }
            if (expectContinue && request.bodyLength > 0)
                socket->write("HTTP/1.1 100 Continue\r\n\r\n");
            state = State::ReadingBody;
            break;
        }
        case State::ReadingBody:
        case State::DiscardingBody: {
            const qint64 take = std::min<qint64>(remainingBody, buffer.size());
            if (state == State::ReadingBody)
                request.body += buffer.left(take);
            buffer.remove(0, take);
            remainingBody -= take;
            if (remainingBody > 0)
                return;
            if (state == State::DiscardingBody)
                reject(413);
            else
                deliver();
            return;
        }
        case State::Answering:
        case State::Closed:
            return;
        }
    }
}

int HttpConnection::parseHead(const QByteArray &head)
{
    request = HttpRequest{};
    expectContinue = false;
    QList<QByteArray> lines = head.split('\n');
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    const QList<QByteArray> parts = lines.takeFirst().split(' ');
    if (parts.size() != 3 || parts[0].isEmpty() || !parts[1].startsWith('/') ||
        !parts[2].startsWith("HTTP/1."))
        return 400;
    request.method = parts[0];
    request.target = parts[1];
    request.version = parts[2];
    const qsizetype query = request.target.indexOf('?');
    request.path = query < 0 ? request.target : request.target.left(query);
    keepAlive = request.version == "HTTP/1.1";

    QByteArray length;
    for (const QByteArray &line : lines) {
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || line.left(colon).contains(' ') || line.startsWith('\t'))
            return 400;
        const QByteArray name = line.left(colon);
        const QByteArray value = line.mid(colon + 1).trimmed();
        request.headers.append({name, value});
        if (name.compare("Content-Length", Qt::CaseInsensitive) == 0) {
            if (!isDigits(value) || (!length.isEmpty() && value != length))
                return 400;
            length = value;
        } else if (name.compare("Transfer-Encoding", Qt::CaseInsensitive) == 0) {
            return 411;
        } else if (name.compare("Connection", Qt::CaseInsensitive) == 0) {
            const QByteArray token = value.toLower();
            if (token.contains("close"))
                keepAlive = false;
            else if (token.contains("keep-alive"))
                keepAlive = true;
        } else if (name.compare("Expect", Qt::CaseInsensitive) == 0) {
            expectContinue = value.compare("100-continue", Qt::CaseInsensitive) == 0;
        }
    }
    request.bodyLength = length.isEmpty() ? 0 : length.toLongLong();
    return 0;
}

void HttpConnection::deliver()
{
    state = State::Answering;
    if (onRequest)
        onRequest(this, request);
}

void HttpConnection::reject(int status)
{
    request.rejectStatus = status;
    request.body.clear();
    keepAlive = false;
    deliver();
}

void HttpConnection::respond(const HttpResponse &response)
{
    if (state != State::Answering)
        return;
    const bool isStream = bool(response.stream);
    // A streamed answer ends its connection: nothing else is read while it drains.
    const bool close = response.close || !keepAlive || isStream;
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' +
                      reasonPhrase(response.status) + "\r\n";
    if (!response.contentType.isEmpty())
        head += "Content-Type: " + response.contentType + "\r\n";
    for (const auto &[name, value] : response.headers)
        head += name + ": " + value + "\r\n";
    const qint64 length = isStream ? response.streamLength : response.body.size();
    head += "Content-Length: " + QByteArray::number(length) + "\r\n";
    head += close ? "Connection: close\r\n\r\n" : "Connection: keep-alive\r\n\r\n";
    socket->write(head);

    if (isStream) {
        state = State::Closed;
        streaming = response;
        streamed = 0;
        writeMore();
        return;
    }
    socket->write(response.body);
    if (close) {
        state = State::Closed;
        socket->disconnectFromHost();
        return;
    }
    state = State::ReadingHead;
    draining = socket->bytesToWrite() > streamQueueBytes;
    if (!draining)
        QMetaObject::invokeMethod(this, &HttpConnection::resume, Qt::QueuedConnection);
}

void HttpConnection::resume()
{
    buffer += socket->readAll();
    process();
}

void HttpConnection::trickle(int intervalMs, qint64 length)
{
    state = State::Closed;
    socket->write("HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(length) + "\r\n\r\n");
    auto *timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [this] { socket->write("a"); });
    timer->start(intervalMs);
}

void HttpConnection::drop()
{
    state = State::Closed;
    socket->abort();
    deleteLater();
}

void HttpConnection::writeMore()
{
    if (draining && socket->bytesToWrite() <= streamQueueBytes) {
        draining = false;
        resume();
        return;
    }
    if (!streaming.stream)
        return;
    while (streamed < streaming.streamLength && socket->bytesToWrite() < streamQueueBytes) {
        const qint64 count = std::min(streamChunkBytes, streaming.streamLength - streamed);
        socket->write(streaming.stream(streamed, count));
        streamed += count;
    }
    if (streamed >= streaming.streamLength) {
        streaming = HttpResponse{};
        socket->disconnectFromHost();
    }
}
