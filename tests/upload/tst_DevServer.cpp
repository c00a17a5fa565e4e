#include <memory>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>

#include "DevServerProcess.h"

namespace {

const QByteArray png = QByteArray("\x89PNG\r\n\x1a\n", 8) + QByteArray(3000, '\x07');

struct Answer
{
    int status = 0;
    QByteArray head;
    QByteArray body;

    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

Answer parse(const QByteArray &raw)
{
    Answer answer;
    const qsizetype end = raw.indexOf("\r\n\r\n");
    answer.head = raw.left(end);
    answer.body = raw.mid(end + 4);
    answer.status = raw.mid(9, 3).toInt();
    return answer;
}

// Sends bytes as they are and reads until the server closes the connection.
Answer exchange(quint16 port, const QByteArray &request)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return {};
    socket.write(request);
    QByteArray raw;
    while (socket.waitForReadyRead(5000))
        raw += socket.readAll();
    return parse(raw + socket.readAll());
}

QByteArray post(const QByteArray &body, const QByteArray &host = "127.0.0.1")
{
    return "POST /api/upload HTTP/1.1\r\nHost: " + host +
           "\r\nConnection: close\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\n\r\n" + body;
}

QByteArray get(const QByteArray &target)
{
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
}

} // namespace

class TestDevServer : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        server = std::make_unique<DevServerProcess>(QStringList{"--max-body", "100000"});
        QVERIFY(server->start());
    }

    // Also checks that SIGTERM ends the server cleanly.
    void cleanup() { QCOMPARE(server->stop(), 0); }

    void rejectedUploads_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        QTest::newRow("empty") << post({}) << 400;
        QTest::newRow("not png") << post("GIF89a" + png.mid(6)) << 400;
        QTest::newRow("get") << get("/api/upload") << 405;
        QTest::newRow("chunked") << QByteArray("POST /api/upload HTTP/1.1\r\nTransfer-Encoding: "
                                               "chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n")
                                 << 411;
        QTest::newRow("malformed") << QByteArray("POST\r\n\r\n") << 400;
    }

    void rejectedUploads()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        const Answer answer = exchange(server->port(), request);
        QCOMPARE(answer.status, status);
        QVERIFY(answer.json().value("error").isString());
        QVERIFY(!answer.json().contains("url"));
        QVERIFY(QDir(server->dataDir()).entryList(QDir::Files).isEmpty());
    }

    void storedImage_data()
    {
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<QString>("authority"); // %1: the server's port
        QTest::newRow("host named") << QByteArray("pics.example:8080") << "pics.example:8080";
        QTest::newRow("odd host") << QByteArray("a/../b") << "127.0.0.1:%1";
    }

    void storedImage()
    {
        QFETCH(QByteArray, host);
        QFETCH(QString, authority);
        const Answer stored = exchange(server->port(), post(png, host));
        QCOMPARE(stored.status, 200);
        const QString url = stored.json().value("url").toString();
        const QString prefix = "http://" + authority.arg(server->port()) + "/i/";
        QVERIFY2(url.startsWith(prefix), qPrintable(url));
        QVERIFY(
            QRegularExpression("^[0-9a-f]{32}\\.png$").match(url.mid(prefix.size())).hasMatch());

        const Answer served =
            exchange(server->port(), get("/i/" + url.mid(prefix.size()).toLatin1()));
        QCOMPARE(served.status, 200);
        QVERIFY(served.head.contains("Content-Type: image/png"));
        QCOMPARE(served.body, png);
    }

    void refusedPaths_data()
    {
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<QString>("planted"); // a file put in the data folder first
        QTest::newRow("dot dot") << QByteArray("/i/../requests.jsonl") << QString();
        QTest::newRow("encoded dot dot") << QByteArray("/i/%2e%2e%2frequests.jsonl") << QString();
        QTest::newRow("upper-case hex")
            << "/i/" + QByteArray(32, 'A') + ".png" << QString(32, 'A') + ".png";
        QTest::newRow("short name")
            << "/i/" + QByteArray(31, 'a') + ".png" << QString(31, 'a') + ".png";
    }

    void refusedPaths()
    {
        QFETCH(QByteArray, target);
        QFETCH(QString, planted);
        if (!planted.isEmpty()) {
            QFile file(server->dataDir() + "/" + planted);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(png) == png.size());
        }
        const Answer answer = exchange(server->port(), get(target));
        QCOMPARE(answer.status, 404);
        QVERIFY(answer.body != png && !answer.body.contains("method"));
    }

    void releases()
    {
        QCOMPARE(exchange(server->port(), get("/download/mac/version.json")).status, 404);
        const QByteArray manifest = R"({"version":"9.1","sha256":"ab"})";
        QVERIFY(QDir().mkpath(server->releasesDir()));
        QFile file(server->releasesDir() + "/version.json");
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(manifest) == manifest.size());
        file.close();
        const Answer answer = exchange(server->port(), get("/download/mac/version.json"));
        QCOMPARE(answer.status, 200);
        QCOMPARE(answer.body, manifest);
        QCOMPARE(exchange(server->port(), get("/download/mac/corvane-mac.zip")).status, 404);
    }

    void helpPage()
    {
        const Answer answer = exchange(server->port(), get("/"));
        QCOMPARE(answer.status, 200);
        QVERIFY(answer.head.contains("Content-Type: text/html; charset=utf-8"));
        QVERIFY(QString::fromUtf8(answer.body).contains(QStringLiteral("corvane 개발 서버")));
    }

    void expectContinue_data()
    {
        QTest::addColumn<qint64>("length");
        QTest::addColumn<QByteArray>("first"); // the first answer, before any body is sent
        QTest::newRow("within the limit")
            << qint64(png.size()) << QByteArray("HTTP/1.1 100 Continue\r\n\r\n");
        QTest::newRow("over the limit") << qint64(200000) << QByteArray("HTTP/1.1 413 ");
    }

    void expectContinue()
    {
        QFETCH(qint64, length);
        QFETCH(QByteArray, first);
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, server->port());
        QVERIFY(socket.waitForConnected(5000));
        socket.write("POST /api/upload HTTP/1.1\r\nHost: 127.0.0.1\r\nExpect: 100-continue\r\n"
                     "Connection: close\r\nContent-Length: " +
                     QByteArray::number(length) + "\r\n\r\n");
        QVERIFY(socket.waitForReadyRead(5000));
        QVERIFY(socket.readAll().startsWith(first));
        if (length > png.size())
            return;
        socket.write(png);
        QByteArray raw;
        while (socket.waitForReadyRead(5000))
            raw += socket.readAll();
        QCOMPARE(parse(raw).status, 200);
        QCOMPARE(server->requests().last().value("bodyLength").toInteger(), png.size());
    }

private:
    std::unique_ptr<DevServerProcess> server;
};

QTEST_GUILESS_MAIN(TestDevServer)
#include "tst_DevServer.moc"
