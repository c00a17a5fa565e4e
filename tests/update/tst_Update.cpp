#include <QCryptographicHash>
#include <QDir>
#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

#include <unistd.h>

#include "DevServerProcess.h"
#include "testkit/Files.h"
#include "update/ArchiveExtractor.h"
#include "update/UpdateCheck.h"
#include "update/Updater.h"

using testkit::readFile;
using testkit::writeFile;

namespace {

// A bundle whose Info.plist holds just its version, with a link inside.
bool plantBundle(const QString &app, const QByteArray &version)
{
    return writeFile(app + "/Contents/Info.plist", version) &&
           writeFile(app + "/Contents/MacOS/corvane", {}) &&
           QFile::setPermissions(app + "/Contents/MacOS/corvane", QFile::Permissions(0x7755)) &&
           QFile::link("MacOS", app + "/Contents/bin");
}

QStringList entriesOf(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
}

// The archive a row names, zipped by the zip tool from a tree built in work; "over limit"
// is stored uncompressed and padded to exactly one byte more than 64 MiB.
bool buildArchive(const QString &kind, const QString &work, const QString &zip)
{
    const QString app = work + (kind == "other name" ? "/src/Other.app" : "/src/corvane.app");
    const qint64 size = UpdateCheck::archiveLimit + 1, sized = kind == "over limit";
    qint64 pad = sized                     ? size - 4096
                 : kind == "size over cap" ? ArchiveExtractor::maxUnpackedBytes
                                           : 0;
    if (!plantBundle(app, "2.0.0") || !writeFile(work + "/evil", "x") ||
        (kind == "no executable" && !QFile::remove(app + "/Contents/MacOS/corvane")) ||
        (kind == "not executable" &&
         !QFile::setPermissions(app + "/Contents/MacOS/corvane", QFile::Permissions(0x6644))) ||
        (kind == "escaping link" && !QFile::link("../../../../evil", app + "/Contents/evil")))
        return false;
    for (int pass = sized ? 0 : 1; pass < 2; ++pass) {
        QFile::remove(zip);
        if (!writeFile(app + "/pad", {}) || !QFile::resize(app + "/pad", pad) ||
            QProcess::execute("sh", {"-c", "cd \"$0\" && zip -qry $1 \"$2\" . $3", work + "/src",
                                     sized ? "-0" : "-1", zip,
                                     kind == "dot-dot entry" ? "../evil" : ""}) != 0)
            return false;
        pad += size - QFileInfo(zip).size();
    }
    return !sized || QFileInfo(zip).size() == size;
}

// One check and, when it yields a bundle, its install, in a process of its own so that it
// can run as another user: --probe SERVER BUNDLE TMPDIR. The new bundle's start is printed.
int probe(const QStringList &args)
{
    const std::optional<ReadyUpdate> ready =
        UpdateCheck(args.value(2), "1.0.0", args.value(4)).download(nullptr);
    const BundleInstaller installer(args.value(3), [](const QString &exe, const QStringList &args) {
        return std::printf("launch %s\n", qPrintable((QStringList{exe} + args).join(' '))) > 0;
    });
    const char *outcomes[] = {"relaunched", "failed", "skipped"};
    std::printf("%s\n", ready ? outcomes[int(installer.apply(*ready))] : "none");
    return 0;
}

} // namespace

class TestUpdate : public QObject
{
    Q_OBJECT

private slots:
    void isNewer_data()
    {
        QTest::addColumn<bool>("newer"); // the tag's first version than its second
        for (const char *tag : {"1.10 1.9", "2 1.9.9.9", "1..+3 1.2.-1"})
            QTest::newRow(tag) << true;
        for (const char *tag :
             {"1.2 1.2.0", "1.2.3.4.5 1.2.3.4", "1.3-rc1 1.2", "V2.0 1.0", "9223372036854775808 1"})
            QTest::newRow(tag) << false;
    }

    void isNewer()
    {
        QFETCH(bool, newer);
        const QStringList versions = QString(QTest::currentDataTag()).split(' ');
        QCOMPARE(Updater::isNewer(versions[0], versions[1]), newer);
    }

    void outcomes_data()
    {
        QTest::addColumn<QString>("kind");        // of archive, see buildArchive()
        QTest::addColumn<QByteArray>("manifest"); // %1, %U: the digest; empty: none published
        QTest::addColumn<QStringList>("args");    // of the server; "nobody": probe's user
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("log"); // %1: the row's folder
        const QByteArray manifest = R"({"version":"2.0.0","sha256":"%1"})";
        const auto row = [](const char *name, const QString &kind, const QByteArray &manifest,
                            const QString &outcome, const QString &log = {},
                            const QStringList &args = {}) {
            QTest::newRow(name) << kind << manifest << args << outcome << log;
        };
        row("installs", "bundle", manifest, "relaunched");
        row("upper-case digest", "bundle", QByteArray(manifest).replace("%1", "%U"), "relaunched");
        row("manifest of 65536 bytes", "bundle", manifest.leftJustified(65536 - 62), "relaunched");
        row("manifest of 65537 bytes", "bundle", manifest.leftJustified(65537 - 62), "none");
        row("304", "bundle", manifest, "none", {}, {"--update-status", "304"});
        row("404", "bundle", {}, "none");
        row("digest differs", "bundle", QByteArray(manifest).replace("%1", QByteArray(64, '0')),
            "none", "업데이트 zip 의 해시가 version.json 과 다릅니다");
        row("archive one byte over", "over limit", manifest, "none");
        for (const char *kind : {"other name", "no executable", "not executable", "dot-dot entry",
                                 "escaping link", "size over cap"})
            row(kind, kind, manifest, "none");
        row("folder not writable", "bundle", manifest, "skipped",
            "앱 폴더에 쓸 수 없어 업데이트를 건너뜁니다: %1/app", {"nobody"});
    }

    // The probe against the reference server, with the running bundle in <row>/app and the
    // temporary folder in <row>/tmp, or on another file system where /dev/shm is one.
    void outcomes()
    {
        QFETCH(QString, kind);
        QFETCH(QByteArray, manifest);
        QFETCH(QStringList, args);
        QFETCH(QString, outcome);
        QFETCH(QString, log);
        const bool nobody = args.removeAll("nobody") > 0, installed = outcome == "relaunched";
        QTemporaryDir row, work, shm("/dev/shm/corvane-test-XXXXXX");
        const QString r = row.path(), app = r + "/app/corvane.app";
        const QString tmp = (shm.isValid() && !nobody ? shm.path() : r) + "/tmp";
        DevServerProcess server(args);
        const QString zip = server.releasesDir() + "/corvane-mac.zip";
        QVERIFY(server.start() && QDir().mkpath(tmp) && QDir().mkpath(app + ".old/x") &&
                QDir().mkpath(server.releasesDir()) && plantBundle(app, "1.0.0"));
        QVERIFY(buildArchive(kind, work.path(), zip));
        const QByteArray sha =
            QCryptographicHash::hash(readFile(zip), QCryptographicHash::Sha256).toHex();
        QVERIFY(manifest.isEmpty() ||
                writeFile(server.releasesDir() + "/version.json",
                          manifest.replace("%1", sha).replace("%U", sha.toUpper())));
        QStringList command{QCoreApplication::applicationFilePath(), "--probe",
                            server.baseUrl() + "/", app, tmp};
        // Root writes anywhere: then the unwritable folder is tried as an unprivileged user,
        // with a copy of this executable where that user can reach it.
        if (nobody && geteuid() == 0) {
            QVERIFY(QFile::copy(command[0], work.filePath("probe")) &&
                    QFile::setPermissions(work.path(), QFile::Permissions(0x7755)) &&
                    QFile::setPermissions(r, QFile::Permissions(0x7755)) &&
                    QFile::setPermissions(tmp, QFile::Permissions(0x7777)));
            command = QStringList{"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                  work.filePath("probe")} +
                      command.mid(1);
        } else if (nobody) {
            QVERIFY(QFile::setPermissions(r + "/app", QFile::ReadOwner | QFile::ExeOwner));
        }
        QProcess probe;
        probe.start(command.takeFirst(), command);
        QVERIFY(probe.waitForFinished(120000));
        QFile::setPermissions(r + "/app", QFile::Permissions(0x7755));
        QCOMPARE(QString(probe.readAllStandardOutput()),
                 (installed ? "launch " + app + "/Contents/MacOS/corvane --updated 2.0.0\n" : "") +
                     outcome + "\n");
        const QString err = probe.readAllStandardError();
        QVERIFY2(probe.exitCode() == 0 &&
                     (log.isEmpty() ? !err.contains("corvane: ")
                                    : err.contains("corvane: " + log.replace("%1", r) + "\n")),
                 qPrintable(err));
        // Nothing left behind or written outside; the running bundle whole, or kept aside.
        QCOMPARE((entriesOf(r) + entriesOf(tmp)).join(' '), tmp.startsWith(r) ? "app tmp" : "app");
        QCOMPARE(readFile(app + "/Contents/Info.plist"), installed ? "2.0.0" : "1.0.0");
        QCOMPARE(readFile(app + ".old/Contents/Info.plist"), installed ? "1.0.0" : "");
        QCOMPARE(QFileInfo::exists(app + ".old/x"), !installed);
        QCOMPARE(QFileInfo(app + "/Contents/bin").symLinkTarget(), app + "/Contents/MacOS");
        for (const QJsonObject &request : server.requests())
            QVERIFY(request.value("target").toString().startsWith("/download/mac/") &&
                    request.value("headers").toArray().contains(
                        QJsonArray{"User-Agent", "corvane-mac/1.0.0"}));
    }

    // Wake-ups every 10 ms: one check at the first and none again within six hours; what an
    // earlier update or process left behind is removed at the start.
    void schedule()
    {
        DevServerProcess server;
        QTemporaryDir dir;
        QVERIFY(server.start() && QDir().mkpath(dir.filePath("corvane.app.old")) &&
                QDir().mkpath(dir.filePath("corvane-update-1/corvane.app")));
        Updater updater(server.baseUrl(), {},
                        {dir.filePath("corvane.app"), dir.path(), "1.0.0", 0, 10});
        QCOMPARE(entriesOf(dir.path()), QStringList());
        QVERIFY(QTest::qWaitFor([&] { return !server.requests().isEmpty(); }, 10000));
        QTest::qWait(300);
        QCOMPARE(server.requests().size(), 1);
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (app.arguments().value(1) == "--probe")
        return probe(app.arguments());
    TestUpdate test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_Update.moc"
