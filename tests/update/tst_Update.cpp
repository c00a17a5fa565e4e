#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

#include "DevServerProcess.h"
#include "TestZip.h"
#include "update/ArchiveExtractor.h"
#include "update/UpdateCheck.h"
#include "update/Updater.h"

namespace {

QByteArray plist(const QString &version)
{
    return "<plist><dict><key>CFBundleShortVersionString</key><string>" + version.toUtf8() +
           "</string></dict></plist>";
}

QList<ZipEntry> bundle(const QString &top, const QString &version)
{
    return {{.name = top + "/Contents/Info.plist", .data = plist(version)},
            {.name = top + "/Contents/MacOS/corvane", .data = "#!/bin/sh\n", .mode = 0755},
            {.name = top + "/Contents/Resources/bin", .linkTarget = "../MacOS"}};
}

void plant(const QString &root, const QList<ZipEntry> &entries)
{
    for (const ZipEntry &e : entries) {
        const QString path = root + "/" + e.name;
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        if (e.linkTarget.isEmpty() && file.open(QIODevice::WriteOnly))
            file.write(e.data);
        else
            QFile::link(e.linkTarget, path);
    }
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList entriesOf(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

// The archive a row names. Sized ones are stored uncompressed and padded to exactly 64 MiB
// (one byte more for "over limit").
bool buildArchive(const QString &kind, const QString &rowDir, const QString &path)
{
    QList<ZipEntry> entries = bundle("corvane.app", "2.0.0");
    if (kind == "other name")
        entries = bundle("Other.app", "2.0.0");
    else if (kind == "no executable")
        entries.removeAt(1);
    else if (kind == "dot-dot entry")
        entries.append(ZipEntry{.name = "../../evil", .data = "x"});
    else if (kind == "absolute entry")
        entries.append(ZipEntry{.name = rowDir + "/evil", .data = "x"});
    else if (kind == "escaping link")
        entries.append(
            ZipEntry{.name = "corvane.app/Contents/evil", .linkTarget = "../../../../evil"});
    else if (kind == "unpacked size over cap")
        entries.append(
            {.name = "corvane.app/pad", .zeros = ArchiveExtractor::maxUnpackedBytes + 1});
    if (!kind.endsWith("limit"))
        return writeZip(path, entries);
    const qint64 size = UpdateCheck::archiveLimit + (kind == "over limit" ? 1 : 0);
    entries.append(ZipEntry{.name = "corvane.app/pad", .zeros = size - 4096});
    if (!writeZip(path, entries, true))
        return false;
    entries.last().zeros += size - QFileInfo(path).size();
    return writeZip(path, entries, true) && QFileInfo(path).size() == size;
}

const QByteArray manifest = R"({"version":"2.0.0","sha256":"%1"})";

void addOutcome(const char *name, const QString &kind, const QByteArray &manifestText,
                const QString &outcome, const QString &log = {}, const QStringList &args = {})
{
    QTest::newRow(name) << kind << manifestText << args << outcome << log;
}

} // namespace

class TestUpdate : public QObject
{
    Q_OBJECT

private slots:
    void isNewer_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<bool>("newer");
        QTest::newRow("1.10 > 1.9") << "1.10"
                                    << "1.9" << true;
        QTest::newRow("1.9 < 1.10") << "1.9"
                                    << "1.10" << false;
        QTest::newRow("1.2 = 1.2.0") << "1.2"
                                     << "1.2.0" << false;
        QTest::newRow("2 > 1.9.9.9") << "2"
                                     << "1.9.9.9" << true;
        QTest::newRow("fifth ignored") << "1.2.3.4.5"
                                       << "1.2.3.4" << false;
        QTest::newRow("1.3-rc1 is 1.0") << "1.3-rc1"
                                        << "1.2" << false;
        QTest::newRow("V2.0 is 0.0") << "V2.0"
                                     << "1.0" << false;
        QTest::newRow("empty pieces dropped") << "1..3"
                                              << "1.2" << true;
        QTest::newRow("signs") << "+2.-1"
                               << "2" << false;
        QTest::newRow("too big is 0") << "9223372036854775808"
                                      << "1" << false;
        QTest::newRow("largest") << "9223372036854775807"
                                 << "1" << true;
        QTest::newRow("spaces are not numbers") << " 3"
                                                << "2" << false;
    }

    void isNewer()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(bool, newer);
        QCOMPARE(Updater::isNewer(a, b), newer);
    }

    void outcomes_data()
    {
        QTest::addColumn<QString>("kind");        // of archive, see buildArchive()
        QTest::addColumn<QByteArray>("manifest"); // %1: the digest; empty: none published
        QTest::addColumn<QStringList>("args");    // of the server
        QTest::addColumn<QString>("outcome");     // of the probe
        QTest::addColumn<QString>("log");         // the one log line; %1: the row's folder
        const QByteArray upper = R"({"version":"2.0.0","sha256":"%U"})";
        const QByteArray other = QByteArray(manifest).replace("%1", QByteArray(64, '0'));
        addOutcome("installs", "bundle", manifest, "relaunched");
        addOutcome("upper-case digest", "bundle", upper, "relaunched");
        addOutcome("manifest of 65536 bytes", "bundle", manifest.leftJustified(65536 - 62, ' '),
                   "relaunched");
        addOutcome("manifest of 65537 bytes", "bundle", manifest.leftJustified(65537 - 62, ' '),
                   "none");
        addOutcome("304", "bundle", manifest, "none", {}, {"--update-status", "304"});
        addOutcome("404", "bundle", {}, "none");
        addOutcome("not newer", "bundle", R"({"version":"1.0","sha256":"%1"})", "none");
        addOutcome("numeric version", "bundle", R"({"version":2,"sha256":"%1"})", "none");
        addOutcome("digest differs", "bundle", other, "none",
                   "업데이트 zip 의 해시가 version.json 과 다릅니다");
        addOutcome("archive of 64 MiB", "at limit", manifest, "relaunched");
        addOutcome("archive one byte over", "over limit", manifest, "none");
        for (const char *kind : {"other name", "no executable", "dot-dot entry", "absolute entry",
                                 "escaping link", "unpacked size over cap"})
            addOutcome(kind, kind, manifest, "none");
        addOutcome("folder not writable", "bundle", manifest, "skipped",
                   "앱 폴더에 쓸 수 없어 업데이트를 건너뜁니다: %1/app", {"nobody"});
    }

    // One check and install by the probe against the reference server, with the running
    // bundle in <row>/app and the temporary folder in <row>/tmp; the new bundle is unpacked
    // on another file system where /dev/shm is one.
    void outcomes()
    {
        QFETCH(QString, kind);
        QFETCH(QByteArray, manifest);
        QFETCH(QStringList, args);
        QFETCH(QString, outcome);
        QFETCH(QString, log);
        const bool nobody = args.removeAll("nobody") > 0;
        QTemporaryDir row, shm("/dev/shm/corvane-test-XXXXXX");
        const QString r = row.path();
        const QString tmp = (shm.isValid() && !nobody ? shm.path() : r) + "/tmp";
        QVERIFY(QDir().mkpath(tmp));
        plant(r + "/app", bundle("corvane.app", "1.0.0") << ZipEntry{.name = "corvane.app.old/x"});
        DevServerProcess server(args);
        QVERIFY(server.start());
        QVERIFY(QDir().mkpath(server.releasesDir()));
        QVERIFY(buildArchive(kind, r, server.releasesDir() + "/corvane-mac.zip"));
        const QByteArray digest =
            QCryptographicHash::hash(readAll(server.releasesDir() + "/corvane-mac.zip"),
                                     QCryptographicHash::Sha256)
                .toHex();
        QFile json(server.releasesDir() + "/version.json");
        if (!manifest.isEmpty())
            QVERIFY(json.open(QIODevice::WriteOnly) &&
                    json.write(manifest.replace("%1", digest).replace("%U", digest.toUpper())));
        json.close();

        QStringList command{UPDATE_PROBE, server.baseUrl() + "/", r + "/app/corvane.app", tmp,
                            "1.0.0"};
        // Root writes anywhere, so the unwritable case runs as an unprivileged user.
        if (nobody && geteuid() == 0) {
            QFile::setPermissions(r, QFile::permissions(r) | QFile::ExeOther | QFile::ReadOther);
            QFile::setPermissions(tmp, QFile::Permissions(0x7777));
            command =
                QStringList{"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"} +
                command;
        } else if (nobody) {
            QFile::setPermissions(r + "/app", QFile::ReadOwner | QFile::ExeOwner);
        }
        QProcess probe;
        probe.start(command.takeFirst(), command);
        QVERIFY(probe.waitForFinished(120000));
        QFile::setPermissions(r + "/app", QFile::Permissions(0x7755));
        const QString out = probe.readAllStandardOutput();
        const QString err = probe.readAllStandardError();
        QCOMPARE(out.split('\n', Qt::SkipEmptyParts).value(-1 + out.count('\n')), outcome);
        const bool installed = outcome == "relaunched";
        if (installed)
            QVERIFY2(out.startsWith("launch " + r +
                                    "/app/corvane.app/Contents/MacOS/corvane --updated 2.0.0\n"),
                     qPrintable(out));
        if (log.isEmpty())
            QVERIFY2(!err.contains("corvane: "), qPrintable(err));
        else
            QVERIFY2(err.contains("corvane: " + log.replace("%1", r) + "\n"), qPrintable(err));

        QCOMPARE(entriesOf(tmp), QStringList());
        QCOMPARE(entriesOf(r),
                 (tmp.startsWith(r) ? QStringList{"app", "tmp"} : QStringList{"app"}));
        QCOMPARE(readAll(r + "/app/corvane.app/Contents/Info.plist"),
                 plist(installed ? "2.0.0" : "1.0.0"));
        QCOMPARE(QFileInfo(r + "/app/corvane.app/Contents/Resources/bin").symLinkTarget(),
                 r + "/app/corvane.app/Contents/MacOS");
        QCOMPARE(readAll(r + "/app/corvane.app.old/Contents/Info.plist"),
                 installed ? plist("1.0.0") : QByteArray());
        QCOMPARE(QFileInfo::exists(r + "/app/corvane.app.old/x"), !installed);
        const QList<QJsonObject> requests = server.requests();
        QVERIFY(!requests.isEmpty());
        QCOMPARE(requests[0].value("target").toString(), "/download/mac/version.json");
        for (const QJsonObject &request : requests)
            QVERIFY(request.value("headers").toVariant().toList().contains(
                QVariantList{"User-Agent", "corvane-mac/1.0.0"}));
    }

    void schedule_data()
    {
        QTest::addColumn<QString>("bundle");
        QTest::addColumn<bool>("packageManaged");
        QTest::addColumn<int>("checks");
        QTest::newRow("bundle") << "corvane.app" << false << 1;
        QTest::newRow("plain folder") << "bin" << false << 0;
        QTest::newRow("package-managed") << "corvane.app" << true << 0;
    }

    // Wake-ups every 10 ms: one check at the first, none more within the six hours. The
    // bundle left by an earlier update goes at the start, unless this is no bundle of ours.
    void schedule()
    {
        QFETCH(QString, bundle);
        QFETCH(bool, packageManaged);
        QFETCH(int, checks);
        DevServerProcess server;
        QVERIFY(server.start());
        QTemporaryDir dir;
        QVERIFY(QDir().mkpath(dir.filePath(bundle + ".old/Contents")));
        Updater updater(server.baseUrl(), {},
                        {.bundlePath = dir.filePath(bundle),
                         .tempDir = dir.filePath("tmp"),
                         .version = "1.0.0",
                         .firstWakeMs = 0,
                         .wakeIntervalMs = 10,
                         .packageManaged = packageManaged});
        QCOMPARE(QFileInfo::exists(dir.filePath(bundle + ".old")), checks == 0);
        QTest::qWait(300);
        QCOMPARE(server.requests().size(), checks);
    }
};

QTEST_GUILESS_MAIN(TestUpdate)
#include "tst_Update.moc"
