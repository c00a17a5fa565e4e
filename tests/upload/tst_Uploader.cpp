#include <algorithm>
#include <memory>

#include <QBuffer>
#include <QCryptographicHash>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>
#include <QThread>

#include "DevServerProcess.h"
#include "app/AppSettings.h"
#include "upload/UploadTask.h"
#include "upload/Uploader.h"

namespace {

// A real PNG of random pixels: noise does not compress, so it is about 4 bytes a pixel.
QByteArray noisePng(int side)
{
    QImage image(side, side, QImage::Format_ARGB32);
    QRandomGenerator random{quint32(side)};
    for (int y = 0; y < side; ++y)
        random.fillRange(reinterpret_cast<quint32 *>(image.scanLine(y)), side);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return png;
}

struct Outcome
{
    int calls = 0;
    bool onMainThread = true;
    std::optional<UploadResult> result;
};

std::function<void(const UploadResult &)> recordInto(std::shared_ptr<Outcome> outcome)
{
    return [outcome](const UploadResult &result) {
        ++outcome->calls;
        outcome->onMainThread &= QThread::currentThread() == QCoreApplication::instance()->thread();
        outcome->result = result;
    };
}

// One upload on a fresh uploader, waited for; the uploader is gone when this returns, so
// that a late second completion would show in calls.
Outcome runUpload(const QByteArray &png, const QString &base,
                  int timeoutMs = Uploader::defaultTransferTimeoutMs)
{
    auto outcome = std::make_shared<Outcome>();
    {
        Uploader uploader;
        uploader.setTransferTimeout(timeoutMs);
        uploader.upload(png, base, {}, recordInto(outcome));
        // The caller checks calls, so a completion that never came shows there.
        static_cast<void>(QTest::qWaitFor([&] { return outcome->calls > 0; }, 30000));
        QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
    return *outcome;
}

bool isOwnMessage(const QString &message)
{
    return message.startsWith(QStringLiteral("서버 ")) ||
           message == QStringLiteral("응답이 없습니다.");
}

qint64 peakResidentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    static const QRegularExpression peak(QStringLiteral("VmHWM:\\s+(\\d+)"));
    return peak.match(QString::fromLatin1(status.readAll())).captured(1).toLongLong();
}

} // namespace

class TestUploader : public QObject
{
    Q_OBJECT

private slots:
    void badAddress_data()
    {
        QTest::addColumn<QString>("serverUrl");
        QTest::newRow("empty") << QString();
        QTest::newRow("no scheme") << QStringLiteral("127.0.0.1:8787");
        QTest::newRow("not http") << QStringLiteral("ftp://127.0.0.1/");
        QTest::newRow("no host") << QStringLiteral("http:///");
        QTest::newRow("port without host") << QStringLiteral("http://:8787");
        QTest::newRow("space in host") << QStringLiteral("http://exa mple.org/");
        QTest::newRow("relative") << QStringLiteral("/api");
    }

    void badAddress()
    {
        QFETCH(QString, serverUrl);
        auto outcome = std::make_shared<Outcome>();
        Uploader uploader;
        uploader.upload(noisePng(8), serverUrl, {}, recordInto(outcome));
        QCOMPARE(outcome->calls, 1);
        QVERIFY(!outcome->result->isSuccess());
        QCOMPARE(outcome->result->error().message,
                 QStringLiteral("서버 주소가 잘못되었습니다: ") + serverUrl);
    }

    void failures_data()
    {
        const QString cap = QString::number(Uploader::maxResponseBytes + 1);
        const QString noUrl = QStringLiteral("서버 응답에 URL 이 없습니다.");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("png");
        QTest::addColumn<QString>("expected");
        const QByteArray png = noisePng(16);
        QTest::newRow("server's own error")
            << QStringList{} << QByteArray("GIF89a") << QStringLiteral("PNG 이미지가 아닙니다.");
        QTest::newRow("413 from the limit")
            << QStringList{"--max-body", "100"} << png << QStringLiteral("본문이 너무 큽니다.");
        QTest::newRow("418 error string")
            << QStringList{"--status", "418", "--body", R"({"error":"찻주전자","url":"x"})"} << png
            << QStringLiteral("찻주전자");
        QTest::newRow("401 error string")
            << QStringList{"--status", "401", "--body", R"({"error":"로그인 필요"})"} << png
            << QStringLiteral("로그인 필요");
        QTest::newRow("500 html")
            << QStringList{"--status",  "500",    "--content-type",
                           "text/html", "--body", "<html><body><h1>500</h1></body></html>"}
            << png << QStringLiteral("서버 응답 500");
        QTest::newRow("503 numeric error")
            << QStringList{"--status", "503", "--body", R"({"error":5})"} << png
            << QStringLiteral("서버 응답 503");
        QTest::newRow("404 array") << QStringList{"--status", "404", "--body", R"(["error"])"}
                                   << png << QStringLiteral("서버 응답 404");
        QTest::newRow("307 not followed")
            << QStringList{"--status", "307", "--header", "Location: /i/elsewhere.png"} << png
            << QStringLiteral("서버 응답 307");
        QTest::newRow("200 without url")
            << QStringList{"--body", "{\"link\":\"http://x/\"}"} << png << noUrl;
        QTest::newRow("200 numeric url") << QStringList{"--body", R"({"url":42})"} << png << noUrl;
        QTest::newRow("200 json string") << QStringList{"--body", "\"http://x/\""} << png << noUrl;
        QTest::newRow("200 not json") << QStringList{"--body", "http://x/"} << png << noUrl;
        QTest::newRow("200 past the cap") << QStringList{"--oversize", cap} << png << noUrl;
        QTest::newRow("500 past the cap") << QStringList{"--status", "500", "--oversize", cap}
                                          << png << QStringLiteral("서버 응답 500");
    }

    void failures()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, png);
        QFETCH(QString, expected);
        DevServerProcess server(args);
        QVERIFY(server.start());
        const Outcome outcome = runUpload(png, server.baseUrl());
        QCOMPARE(outcome.calls, 1);
        QVERIFY(outcome.onMainThread);
        QVERIFY(!outcome.result->isSuccess());
        QCOMPARE(outcome.result->error().message, expected);
        QCOMPARE(server.requests().size(), 1);
    }

    void transportErrors_data()
    {
        QTest::addColumn<QStringList>("args"); // empty: no server at all
        QTest::addColumn<int>("timeoutMs");
        QTest::newRow("refused") << QStringList{} << Uploader::defaultTransferTimeoutMs;
        QTest::newRow("time-out") << QStringList{"--stall"} << 300;
        QTest::newRow("dropped") << QStringList{"--drop"} << Uploader::defaultTransferTimeoutMs;
    }

    void transportErrors()
    {
        QFETCH(QStringList, args);
        QFETCH(int, timeoutMs);
        DevServerProcess server(args);
        QString base = QStringLiteral("http://127.0.0.1:%1").arg(unusedPort());
        if (!args.isEmpty()) {
            QVERIFY(server.start());
            base = server.baseUrl();
        }
        const Outcome outcome = runUpload(noisePng(8), base, timeoutMs);
        QCOMPARE(outcome.calls, 1);
        QVERIFY(outcome.onMainThread);
        QVERIFY(!outcome.result->isSuccess());
        const QString message = outcome.result->error().message;
        QVERIFY2(!message.isEmpty() && !isOwnMessage(message), qPrintable(message));
        // Qt's HTTP layer sends a request again when its connection closes before any answer,
        // so a dropped upload may arrive more than once.
        QCOMPARE(server.requests().isEmpty(), args.isEmpty());
    }

    void noHttpResponse()
    {
        const UploadResult result = UploadTask::interpret(std::nullopt, R"({"url":"x"})");
        QVERIFY(!result.isSuccess());
        QCOMPARE(result.error().message, QStringLiteral("응답이 없습니다."));
    }

    void successes_data()
    {
        const QString stored = QStringLiteral("^http://127\\.0\\.0\\.1:%1/i/([0-9a-f]{32})\\.png$");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("linkPattern"); // %1: the server's port
        QTest::newRow("200 stored") << QStringList{} << stored;
        QTest::newRow("201 stored") << QStringList{"--status", "201"} << stored;
        QTest::newRow("201 other members")
            << QStringList{"--status", "201", "--body", "{\"id\":7,\"url\":\" https://e.org/x \"}"}
            << QStringLiteral("^ https://e\\.org/x $");
        QTest::newRow("empty url")
            << QStringList{"--body", R"({"url":""})"} << QStringLiteral("^$");
        QTest::newRow("body at the cap")
            << QStringList{"--oversize", QString::number(Uploader::maxResponseBytes)}
            << QStringLiteral("^http://127\\.0\\.0\\.1:%1/i/oversize\\.png$");
    }

    void successes()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, linkPattern);
        DevServerProcess server(args);
        QVERIFY(server.start());
        const QByteArray png = noisePng(32);
        const Outcome outcome = runUpload(png, server.baseUrl() + QLatin1Char('/'));
        QCOMPARE(outcome.calls, 1);
        QVERIFY(outcome.onMainThread);
        QVERIFY2(outcome.result->isSuccess(), qPrintable(outcome.result->error().message));
        const QRegularExpressionMatch match =
            QRegularExpression(linkPattern.replace("%1", QString::number(server.port())))
                .match(outcome.result->link());
        QVERIFY2(match.hasMatch(), qPrintable(outcome.result->link()));
        if (match.lastCapturedIndex() == 1) {
            QFile file(server.dataDir() + QLatin1Char('/') + match.captured(1) + ".png");
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), png);
        }
    }

    void request_data()
    {
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("sent"); // the target on the wire
        const QString upload = QStringLiteral("/api/upload");
        QTest::newRow("no slash") << QString() << upload << upload;
        QTest::newRow("one slash") << QStringLiteral("/") << upload << upload;
        // Qt's HTTP layer normalises path segments of the target it sends.
        QTest::newRow("two slashes") << QStringLiteral("//") << "/" + upload << upload;
        QTest::newRow("sub path") << QStringLiteral("/up/") << "/up" + upload << "/up" + upload;
    }

    void request()
    {
        QFETCH(QString, suffix);
        QFETCH(QString, path);
        QFETCH(QString, sent);
        DevServerProcess server;
        QVERIFY(server.start());
        const QString base = server.baseUrl() + suffix;
        QCOMPARE(Uploader::endpointFor(base).value_or(QUrl()).path(), path);
        const QByteArray png = noisePng(48);
        QCOMPARE(runUpload(png, base).calls, 1);

        const QList<QJsonObject> requests = server.requests();
        QCOMPARE(requests.size(), 1);
        const QJsonObject request = requests.first();
        QCOMPARE(request.value("method").toString(), QStringLiteral("POST"));
        QCOMPARE(request.value("target").toString(), sent);
        QCOMPARE(request.value("bodyLength").toInteger(), png.size());
        QCOMPARE(request.value("bodySha256").toString().toLatin1(),
                 QCryptographicHash::hash(png, QCryptographicHash::Sha256).toHex());
        QList<QPair<QString, QString>> ours;
        for (const QJsonValue &header : request.value("headers").toArray()) {
            const QString name = header[0].toString();
            if (name.compare("X-Corvane-Client", Qt::CaseInsensitive) == 0 ||
                name.compare("Content-Type", Qt::CaseInsensitive) == 0 ||
                name.compare("User-Agent", Qt::CaseInsensitive) == 0)
                ours.append({name, header[1].toString()});
        }
        const QList<QPair<QString, QString>> expected{
            {"X-Corvane-Client", "1"},
            {"Content-Type", "image/png"},
            {"User-Agent", QStringLiteral("corvane-mac/") + AppSettings::version()}};
        QCOMPARE(ours, expected);
    }

    void progressOfLargeBody()
    {
        DevServerProcess server;
        QVERIFY(server.start());
        const QByteArray png = noisePng(1024);
        QVERIFY(png.size() > 3 * 1024 * 1024);
        Uploader uploader;
        QList<double> first, second;
        bool onMainThread = true;
        auto into = [&](QList<double> *list) {
            return [&, list](double fraction) {
                onMainThread &= QThread::currentThread() == QCoreApplication::instance()->thread();
                list->append(fraction);
            };
        };
        auto outcome = std::make_shared<Outcome>();
        uploader.upload(png, server.baseUrl(), into(&first), recordInto(outcome));
        QVERIFY(QTest::qWaitFor([&] { return outcome->calls == 1; }, 60000));
        QVERIFY(outcome->result->isSuccess());
        QVERIFY(!first.isEmpty());
        QVERIFY(std::is_sorted(first.begin(), first.end()));
        QVERIFY(first.first() > 0.0);
        QCOMPARE(first.last(), 1.0);

        // The newest callback replaces the old one.
        const qsizetype reported = first.size();
        uploader.upload(png, server.baseUrl(), into(&second), recordInto(outcome));
        QVERIFY(QTest::qWaitFor([&] { return outcome->calls == 2; }, 60000));
        QCOMPARE(first.size(), reported);
        QVERIFY(!second.isEmpty());
        QCOMPARE(second.last(), 1.0);
        QVERIFY(onMainThread);
    }

    void progressReport_data()
    {
        QTest::addColumn<qint64>("sent");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<QList<double>>("expected");
        QTest::newRow("half") << qint64(512) << qint64(1024) << QList<double>{0.5};
        QTest::newRow("unknown total") << qint64(512) << qint64(-1) << QList<double>{};
        QTest::newRow("empty total") << qint64(0) << qint64(0) << QList<double>{};
        QTest::newRow("not clamped") << qint64(3) << qint64(2) << QList<double>{1.5};
    }

    void progressReport()
    {
        QFETCH(qint64, sent);
        QFETCH(qint64, total);
        QFETCH(QList<double>, expected);
        Uploader uploader;
        QList<double> older, newer;
        // A bad address still installs the progress callback before failing.
        uploader.upload({}, QString(), [&](double f) { older.append(f); }, {});
        uploader.upload({}, QString(), [&](double f) { newer.append(f); }, {});
        uploader.didSendBodyData(sent, total);
        QCOMPARE(newer, expected);
        QVERIFY(older.isEmpty());
    }

    void destroyedWhileRunning()
    {
        DevServerProcess server({"--stall"});
        QVERIFY(server.start());
        auto outcome = std::make_shared<Outcome>();
        auto uploader = std::make_unique<Uploader>();
        uploader->upload(noisePng(16), server.baseUrl(), {}, recordInto(outcome));
        QVERIFY(QTest::qWaitFor([&] { return server.requests().size() == 1; }, 10000));
        uploader.reset();
        QCOMPARE(outcome->calls, 0);
        QVERIFY(QTest::qWaitFor([&] { return outcome->calls == 1; }, 10000));
        QCoreApplication::processEvents();
        QCOMPARE(outcome->calls, 1);
        QVERIFY(!outcome->result->isSuccess());
        QVERIFY(!outcome->result->error().message.isEmpty());
    }

    void destroyedByItsCompletion()
    {
        DevServerProcess server;
        QVERIFY(server.start());
        auto outcome = std::make_shared<Outcome>();
        auto *uploader = new Uploader;
        uploader->upload(noisePng(16), server.baseUrl(), {},
                         [&uploader, record = recordInto(outcome)](const UploadResult &result) {
                             delete uploader;
                             uploader = nullptr;
                             record(result);
                         });
        QVERIFY(QTest::qWaitFor([&] { return outcome->calls == 1; }, 10000));
        QCoreApplication::processEvents();
        QCOMPARE(outcome->calls, 1);
        QVERIFY(outcome->result->isSuccess());
    }

    void hugeAnswerIsNotKept()
    {
        const qint64 huge = qint64(1) << 30;
        DevServerProcess server({"--oversize", QString::number(huge)});
        QVERIFY(server.start());
        const qint64 before = peakResidentKiB();
        const Outcome outcome = runUpload(noisePng(16), server.baseUrl());
        QCOMPARE(outcome.calls, 1);
        QCOMPARE(outcome.result->error().message, QStringLiteral("서버 응답에 URL 이 없습니다."));
        QVERIFY2(peakResidentKiB() - before < 128 * 1024, "the answer was buffered");
    }
};

QTEST_GUILESS_MAIN(TestUploader)
#include "tst_Uploader.moc"
