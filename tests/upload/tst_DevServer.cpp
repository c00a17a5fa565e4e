#include <memory>

#include <QDir>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>

#include "testkit/DevServerProcess.h"
#include "testkit/Files.h"

namespace {

const QByteArray png = QByteArray("\x89PNG\r\n\x1a\n", 8) + QByteArray(3000, '\x07');

// Sends bytes as they are and returns all that comes back until the server closes.
QByteArray exchange(quint16 port, const QByteArray &request)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.write(request);
    QByteArray answer;
    while (socket.waitForReadyRead(5000))
        answer += socket.readAll();
    return answer + socket.readAll();
}

QByteArray post(const QByteArray &body, const QByteArray &host = "127.0.0.1",
                const QByteArray &extra = {})
{
    return "POST /api/upload HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n" + extra +
           "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

QByteArray get(const QByteArray &target)
{
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
}

} // namespace

class TestDevServer : public QObject
{
    Q_OBJECT

    std::unique_ptr<DevServerProcess> server;

private slots:
    void initTestCase()
    {
        server = std::make_unique<DevServerProcess>(QStringList{"--max-body", "100000"});
        QVERIFY(server->start());
        // Files of the requested names, so that only the name check keeps them from being served.
        const QString data = server->dataDir() + "/";
        QVERIFY(testkit::writeFile(data + QString(32, 'A') + ".png", png));
        QVERIFY(testkit::writeFile(data + QString(31, 'a') + ".png", png));
        QVERIFY(testkit::writeFile(data + "requests.jsonl", png));
    }

    // Also checks that SIGTERM ends the server cleanly.
    void cleanupTestCase() { QCOMPARE(server->stop(), 0); }

    void answers()
    {
        const QByteArray expect = "Expect: 100-continue\r\n", error = "{\"error\":\"";
        const QByteArray stored = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n";
        // The request, the start of the answer, and what the answer holds (%1: the port).
        QList<std::tuple<QByteArray, QByteArray, QByteArray>> rows = {
            {post("GIF89a" + png.mid(6)), "HTTP/1.1 400 ", error},
            {get("/api/upload"), "HTTP/1.1 405 ", error},
            {"POST /api/upload HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
             "5\r\nhello\r\n0\r\n\r\n",
             "HTTP/1.1 411 ", error},
            {"POST\r\n\r\n", "HTTP/1.1 400 ", error},
            // The client waits for an answer before it sends a body that is too large.
            {post(QByteArray(200000, 'x'), "127.0.0.1", expect).chopped(200000), "HTTP/1.1 413 ",
             error},
            {post(png, "127.0.0.1", expect), "HTTP/1.1 100 Continue\r\n\r\n" + stored,
             "{\"url\":\"http://127.0.0.1/i/"},
            {post(png, "pics.example:8080"), stored, "{\"url\":\"http://pics.example:8080/i/"},
            {post(png, "a/../b"), stored, "{\"url\":\"http://127.0.0.1:%1/i/"},
            {get("/"), "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n",
             QStringLiteral("<h1>corvane 개발 서버</h1>").toUtf8()}};
        for (const QByteArray &target :
             QByteArrayList{"/i/../requests.jsonl", "/i/%2e%2e%2frequests.jsonl",
                            "/i/" + QByteArray(32, 'A') + ".png",
                            "/i/" + QByteArray(31, 'a') + ".png", "/download/mac/corvane-mac.zip"})
            rows.append({get(target), "HTTP/1.1 404 ", error});
        for (auto [request, start, contains] : rows) {
            contains.replace("%1", QByteArray::number(server->port()));
            const QStringList filesBefore = QDir(server->dataDir()).entryList(QDir::Files);
            const QByteArray answer = exchange(server->port(), request);
            QVERIFY2(answer.startsWith(start) && answer.contains(contains),
                     (request.left(80) + "\n-> " + answer.left(300)).constData());
            if (contains == error) {
                // Nothing stored, no link, and neither an image nor the request log leaks out.
                QCOMPARE(QDir(server->dataDir()).entryList(QDir::Files), filesBefore);
                QVERIFY(!answer.contains("\"url\"") && !answer.contains(png) &&
                        !answer.contains("method"));
            } else if (contains.startsWith("{\"url\"")) {
                // Stored: the link's image is served back as it came.
                static const QRegularExpression link("(/i/[0-9a-f]{32}\\.png)\"\\}$");
                const QByteArray target =
                    link.match(QString::fromLatin1(answer)).captured(1).toLatin1();
                const QByteArray served = exchange(server->port(), get(target));
                QVERIFY(served.startsWith("HTTP/1.1 200 OK\r\nContent-Type: image/png\r\n"));
                QCOMPARE(served.mid(served.indexOf("\r\n\r\n") + 4), png);
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestDevServer)
#include "tst_DevServer.moc"
