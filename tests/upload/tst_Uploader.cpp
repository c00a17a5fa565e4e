#include <algorithm>
#include <memory>

#include <QCryptographicHash>
#include <QJsonArray>
#include <QDir>
#include <QPointer>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>
#include <QThread>

#include <sys/resource.h>

#include "testkit/DevServerProcess.h"
#include "testkit/Files.h"
#include "settings/AppSettings.h"
#include "upload/UploadTask.h"
#include "upload/Uploader.h"

namespace {

struct Outcome
{
    int calls = 0;
    bool onMainThread = true;
    QList<double> progress;
    std::optional<UploadResult> result;
};

qint64 peakResidentKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

const QString local = QStringLiteral("http://127.0.0.1:%1");

void addOutcome(const QString &name, const QStringList &args, const QString &expected,
                const QString &base = local, const QString &target = "/api/upload")
{
    QTest::addRow("%s", qPrintable(name)) << args << base << target << expected;
}

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

class TestUploader : public QObject
{
    Q_OBJECT

private slots:
    void outcomes_data()
    {
        // The server's, and "destroy": the uploader, once the request came; "4 MiB": the body's
        // size, else 1 KiB (a PNG signature, then filler: the server checks no more).
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("base");     // %1: the server's port
        QTest::addColumn<QString>("target");   // on the wire; empty: nothing may arrive
        QTest::addColumn<QString>("expected"); // for "link …" or "error …"; %1: the port

        const QString stored = "^link http://127\\.0\\.0\\.1:%1/i/[0-9a-f]{32}\\.png$";
        const QString noUrl = "^error 서버 응답에 URL 이 없습니다\\.$";
        const QString transport = "^error (?!서버 |응답이 없습니다)."; // in Qt's words
        const qint64 cap = Uploader::maxResponseBytes;
        addOutcome("stored, base with slash", {"--status", "201"}, stored, local + "/");
        addOutcome("multi-megabyte body", {"4 MiB"}, stored);
        addOutcome("sub path", {}, "^error 찾을 수 없습니다\\.$", local + "/up/", "/up/api/upload");
        addOutcome("201 other members",
                   {"--status", "201", "--body", "{\"id\":7,\"url\":\" https://e.org/x \"}"},
                   "^link https://e\\.org/x$");
        addOutcome("relative url", {"--body", R"({"url":"/i/0.png"})"}, noUrl);
        addOutcome("line break in url", {"--body", "{\"url\":\"https://e.org/x\\nrm -rf ~\"}"},
                   noUrl);
        addOutcome("right-to-left mark in url",
                   {"--body", "{\"url\":\"https://e.org/x\\u202egnp.exe\"}"}, noUrl);
        addOutcome("body at the cap", {"--oversize", QString::number(cap)},
                   "^link http://127\\.0\\.0\\.1:%1/i/oversize\\.png$");
        addOutcome("past the cap", {"--oversize", QString::number(cap + 1)}, noUrl);
        addOutcome("500 of a gigabyte", {"--status", "500", "--oversize", "1073741824"},
                   "^error 서버 응답 500$");
        addOutcome("400 error string",
                   {"--status", "400", "--body", R"({"error":"찻주전자","url":"x"})"},
                   "^error 찻주전자$");
        addOutcome("400 long error",
                   {"--status", "400", "--body", "{\"error\":\"" + QString(400, 'a') + "\\nb\"}"},
                   "^error a{300}…$");
        // Qt answers a 401 through its authentication path.
        addOutcome("401 error string", {"--status", "401", "--body", R"({"error":"로그인 필요"})"},
                   "^error 로그인 필요$");
        addOutcome("503 numeric error", {"--status", "503", "--body", R"({"error":5})"},
                   "^error 서버 응답 503$");
        addOutcome("307 not followed", {"--status", "307", "--header", "Location: /i/x.png"},
                   "^error 서버 응답 307$");
        addOutcome("time-out", {"--stall"}, transport);
        addOutcome("answer trickling in", {"--trickle"}, transport);
        addOutcome("destroyed while running", {"--stall", "destroy"}, transport);
        for (const QString bad :
             {"", "127.0.0.1:8787", "ftp://127.0.0.1/", "http://:8787", "http://exa mple.org/"}) {
            const QString message = QStringLiteral("서버 주소가 잘못되었습니다: ") + bad;
            addOutcome("bad address " + bad, {},
                       "^error " + QRegularExpression::escape(message) + "$", bad, QString());
        }
    }

    void outcomes()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, base);
        QFETCH(QString, target);
        QFETCH(QString, expected);
        const QByteArray png = QByteArray("\x89PNG\r\n\x1a\n", 8)
                                   .leftJustified(args.removeAll("4 MiB") ? 4 << 20 : 1024, '\x07');
        const bool destroy = args.removeAll("destroy") > 0;
        DevServerProcess server(args);
        QVERIFY(server.start());
        const QString port = QString::number(server.port());
        const qint64 peakBefore = peakResidentKiB();
        auto outcome = std::make_shared<Outcome>();
        QThread *const mainThread = QThread::currentThread();
        // Gone before the checks, so that a late second completion shows in calls: deleted by
        // its own completion where a request went out and the row does not delete it.
        QPointer<Uploader> uploader = new Uploader;
        if ((args.contains("--stall") || args.contains("--trickle")) && !destroy)
            uploader->setTransferTimeout(300);
        const auto progress = [=](double fraction) {
            outcome->onMainThread &= QThread::currentThread() == mainThread;
            outcome->progress.append(fraction);
        };
        uploader->upload(png, base.replace("%1", port), progress, [=](const UploadResult &result) {
            if (!target.isEmpty() && !destroy)
                delete uploader;
            ++outcome->calls;
            outcome->onMainThread &= QThread::currentThread() == mainThread;
            outcome->result = result;
        });
        if (destroy) {
            QVERIFY(QTest::qWaitFor([&] { return server.requests().size() == 1; }, 10000));
            delete uploader;
            // Not from inside the destructor, but later.
            QCOMPARE(outcome->calls, 0);
        }
        // Every upload ends on its own, whatever the server does.
        QVERIFY(QTest::qWaitFor([&] { return outcome->calls > 0; }, 30000));
        delete uploader;
        QCoreApplication::processEvents();
        QCOMPARE(outcome->calls, 1);
        QVERIFY(outcome->onMainThread);
        const UploadResult &result = *outcome->result;
        const QString text =
            result.isSuccess() ? "link " + result.link() : "error " + result.error().message;
        QVERIFY2(QRegularExpression(expected.replace("%1", port)).match(text).hasMatch(),
                 qPrintable(text));
        // Qt's network thread takes in what the server sends until this thread reads it, more so
        // under the sanitizers on a loaded machine (130 MiB seen): still far below the gigabyte
        // that reading the answer to its end holds.
        QVERIFY2(peakResidentKiB() - peakBefore < 512 * 1024, "the answer was buffered");
        QVERIFY(std::is_sorted(outcome->progress.begin(), outcome->progress.end()));
        if (result.isSuccess())
            QCOMPARE(outcome->progress.value(outcome->progress.size() - 1), 1.0);

        const QList<QJsonObject> requests = server.requests();
        QCOMPARE(requests.size(), target.isEmpty() ? 0 : 1);
        if (target.isEmpty())
            return;
        QCOMPARE(requests[0].value("target").toString(), target);
        QCOMPARE(requests[0].value("bodySha256").toString().toLatin1(),
                 QCryptographicHash::hash(png, QCryptographicHash::Sha256).toHex());
        QMap<QString, QString> headers;
        for (const QJsonValue &header : requests[0].value("headers").toArray())
            headers.insert(header[0].toString().toLower(), header[1].toString());
        QCOMPARE(headers.value("x-corvane-client"), "1");
        QCOMPARE(headers.value("content-type"), "image/png");
        QCOMPARE(headers.value("user-agent"), "corvane-mac/" + AppSettings::version());
    }

    void noHttpResponse()
    {
        QCOMPARE(UploadTask::interpret(std::nullopt, R"({"url":"x"})").error().message,
                 QStringLiteral("응답이 없습니다."));
    }

    // Body progress goes to the newest callback only; an unknown or empty total reports nothing.
    void progressReport()
    {
        Uploader uploader;
        QList<double> older, newer;
        // A bad address still installs the progress callback.
        uploader.upload({}, QString(), [&](double f) { older.append(f); }, {});
        uploader.upload({}, QString(), [&](double f) { newer.append(f); }, {});
        for (const qint64 total : {1024, -1, 0})
            uploader.didSendBodyData(512, total);
        QCOMPARE(newer, QList<double>{0.5});
        QVERIFY(older.isEmpty());
    }

    // The reference server's answers to requests made by hand: refusals store nothing and
    // leak nothing; a stored image is served back as it came. SIGTERM ends it cleanly.
    void devServerAnswers()
    {
        const auto server = std::make_unique<DevServerProcess>(QStringList{"--max-body", "100000"});
        QVERIFY(server->start());
        // Files of the requested names, so that only the name check keeps them from being served.
        const QString data = server->dataDir() + "/";
        QVERIFY(testkit::writeFile(data + QString(32, 'A') + ".png", png));
        QVERIFY(testkit::writeFile(data + QString(31, 'a') + ".png", png));
        QVERIFY(testkit::writeFile(data + "requests.jsonl", png));
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
        QCOMPARE(server->stop(), 0);
    }

    // A client that sends requests without reading the answers gets them as it reads: the
    // server holds neither (here a hundred answers of a megabyte).
    void devServerHoldsNoUnreadAnswers()
    {
        DevServerProcess server;
        const QByteArray target = "/i/" + QByteArray(32, 'a') + ".png";
        QVERIFY(server.start() &&
                testkit::writeFile(server.dataDir() + target.mid(2), QByteArray(1 << 20, 'x')));
        const QString status = QStringLiteral("/proc/%1/status").arg(server.pid());
        const auto residentMiB = [&] {
            static const QRegularExpression vmRss("VmRSS:\\s*(\\d+)");
            return vmRss.match(testkit::readFile(status)).captured(1).toLongLong() >> 10;
        };
        const qint64 before = residentMiB();
        QTcpSocket client;
        client.setReadBufferSize(1); // reads as good as nothing
        client.connectToHost(QHostAddress::LocalHost, server.port());
        client.write(get(target).replace("close", "keep-alive").repeated(100));
        QVERIFY(client.waitForBytesWritten(5000));
        QVERIFY(!QTest::qWaitFor([&] { return residentMiB() - before > 64; }, 2000));
    }
};

QTEST_GUILESS_MAIN(TestUploader)
#include "tst_Uploader.moc"
