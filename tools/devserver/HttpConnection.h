#pragma once

#include <QByteArray>
#include <QObject>

#include <functional>

#include "HttpRequest.h"
#include "HttpResponse.h"

class QTcpSocket;

// One HTTP/1.1 client connection: reads requests one at a time (head, then a Content-Length
// body) and writes the answer given for each. A request is handed out only when it has
// arrived whole; the next one is read once the previous one has been answered and its answer
// has mostly gone out, so that a client that sends requests without reading the answers
// holds neither its requests nor its answers here.
class HttpConnection : public QObject
{
    Q_OBJECT

public:
    HttpConnection(QTcpSocket *socket, qint64 maxBodyBytes, QObject *parent = nullptr);

    std::function<void(HttpConnection *, const HttpRequest &)> onRequest;

    void respond(const HttpResponse &response);
    // Closes the connection at once, without an answer.
    void drop();
    // Starts an answer announcing length bytes, whose body comes a byte every interval and
    // never ends.
    void trickle(int intervalMs, qint64 length);

private:
    enum class State
    {
        ReadingHead,
        ReadingBody,
        DiscardingBody,
        Answering,
        Closed,
    };

    void process();
    // Reads what waited in the socket and goes on with it.
    void resume();
    // 0 when the head is usable, else the status to refuse the request with.
    int parseHead(const QByteArray &head);
    void deliver();
    void reject(int status);
    void writeMore();

    QTcpSocket *socket;
    qint64 maxBodyBytes;
    State state = State::ReadingHead;
    QByteArray buffer;
    HttpRequest request;
    qint64 remainingBody = 0;
    bool keepAlive = true;
    bool expectContinue = false;
    HttpResponse streaming;
    qint64 streamed = 0;
    bool draining = false;
};
