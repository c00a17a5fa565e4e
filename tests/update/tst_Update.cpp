#include <QCryptographicHash>
#include <QHostInfo>
#include <QJsonArray>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <cstdio>

#include <unistd.h>

#include "settings/Bundle.h"
#include "testkit/DevServerProcess.h"
#include "testkit/Files.h"
#include "update/BundleFiles.h"
#include "update/UpdateCheck.h"
#include "update/Updater.h"

static QStringList entriesOf(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
}

class TestUpdate : public QObject
{
    Q_OBJECT

private slots:
    // Each row says whether its first version is newer than its second, and the other way.
    void isNewer()
    {
        for (const QString row :
             {"1.10 > 1.9", "2 > 1.9.9.9", "1.2 = 1.2.0", "1.2.3.4.5 = 1.2.3.4", "1.3-rc1 < 1.2",
              "V2.0 < 1.0", "1..+3 > 1.2.-1", "9223372036854775808 = 0"}) {
            const QStringList v = row.split(' ');
            QVERIFY2(Updater::isNewer(v[0], v[2]) == (v[1] == ">") &&
                         Updater::isNewer(v[2], v[0]) == (v[1] == "<"),
                     qPrintable(row));
        }
    }

    void outcomes_data()
    {
        // %1, %U: the digest; %S: the base64 of work/sig
        QTest::addColumn<QByteArray>("manifest");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("archive");  // by sh in work/src: z zips "." to ../new.zip
        QTest::addColumn<QString>("log");      // %1: the row's folder
        QTest::addColumn<QStringList>("args"); // of the server
        const QByteArray manifest = R"({"version":"2.0.0","sha256":"%1"})";
        const auto row = [](const char *name, const QByteArray &manifest, const QString &outcome,
                            const QString &archive = "z", const QString &log = {},
                            const QStringList &args = {}) {
            QTest::newRow(name) << manifest << outcome << archive << log << args;
        };
        // "sign KEY" signs new.zip with work/KEY and gives the bundle work/key's public key.
        const QByteArray sig = R"({"version":"2.0.0","sha256":"%1","signature":"%S"})";
        const QString badSig = "업데이트 서명이 올바르지 않습니다";
        row("signed", sig, "relaunched", "z && sign key");
        row("signed by another key", sig, "none", "z && sign other", badSig);
        row("no signature", manifest, "none", "z && sign key", badSig);
        row("no key in the bundle", sig, "relaunched", "z && sign other && rm ../bundle-key");
        row("upper-case digest, manifest of 65536 bytes",
            QByteArray(manifest).replace("%1", "%U").leftJustified(65536 - 62), "relaunched");
        row("manifest of 65537 bytes", manifest.leftJustified(65537 - 62), "none");
        row("served with status 300", manifest, "none", "z", {}, {"--update-status", "300"});
        row("manifest trickling in", manifest, "none", "z", {}, {"--trickle"});
        row("digest differs", QByteArray(manifest).replace("%1", QByteArray(64, '0')), "none", "z",
            "업데이트 zip 의 해시가 version.json 과 다릅니다");
        row("folder not writable", manifest, "skipped", "chmod 555 \"$app/..\" && z",
            "앱 폴더에 쓸 수 없어 업데이트를 건너뜁니다: %1/app");
        row("newer one installed meanwhile", manifest, "skipped",
            "sed -i s/1.0.0/2.1.0/ \"$app/Contents/Info.plist\" && z",
            "설치된 번들이 이미 2.1.0 이라 업데이트 2.0.0 을(를) 건너뜁니다");
        // Stored, and padded to one byte over 64 MiB once the archive's overhead is known.
        row("archive one byte over", manifest, "none",
            "touch corvane.app/pad && z -0 && truncate -s $((67108865 - $(stat -c %s ../new.zip))) "
            "corvane.app/pad && rm ../new.zip && z -0 && test $(stat -c %s ../new.zip) = 67108865");
        row("unpacked size over 1 GiB", manifest, "none", "truncate -s 1G corvane.app/pad && z -1");
        row("not executable", manifest, "none", "chmod -x corvane.app/Contents/MacOS/corvane && z");
        row("program that cannot start", manifest, "failed",
            "printf '\\177ELF' >corvane.app/Contents/MacOS/corvane && z",
            "새 버전을 시작하지 못해 이전 버전으로 되돌립니다: "
            "%1/app/corvane.app/Contents/MacOS/corvane");
        row("program that ends without running", manifest, "failed",
            "printf '#!/bin/sh\\nexit 127\\n' >corvane.app/Contents/MacOS/corvane && z",
            "새 버전을 시작하지 못해 이전 버전으로 되돌립니다: "
            "%1/app/corvane.app/Contents/MacOS/corvane");
        row("program a folder", manifest, "none",
            "cd corvane.app/Contents/MacOS && rm corvane && mkdir corvane && cd ../../.. && z");
        row("program a link out of the bundle", manifest, "none",
            "mv corvane.app/Contents/MacOS/corvane . && "
            "ln -s ../../../corvane corvane.app/Contents/MacOS && z");
        row("bundle older than the manifest says", manifest, "none",
            "bundle corvane.app 1.9.0 && z",
            "업데이트 번들의 버전 1.9.0 이 version.json 의 2.0.0 와 다릅니다");
        row("dot-dot entry", manifest, "none", "touch ../evil && z ../evil");
        row("escaping link", manifest, "none", "ln -s ../../../../evil corvane.app/Contents && z");
    }

    // The probe against the reference server, with the running bundle in <row>/app and the
    // temporary folder in <row>/tmp, or on another file system where /dev/shm is one.
    void outcomes()
    {
        QFETCH(QByteArray, manifest);
        QFETCH(QString, outcome);
        QFETCH(QString, archive);
        QFETCH(QString, log);
        QFETCH(QStringList, args);
        const bool installed = outcome == "relaunched", swapped = installed || outcome == "failed";
        QTemporaryDir row, work, shm("/dev/shm/corvane-test-XXXXXX");
        const QString r = row.path(), app = r + "/app/corvane.app";
        const QString tmp = (shm.isValid() ? shm.path() : r) + "/tmp";
        DevServerProcess server(args);
        const QString zip = server.releasesDir() + "/corvane-mac.zip";
        // Root writes anywhere, so then the files and the probe belong to an unprivileged user,
        // who runs a copy of this executable.
        const QStringList user =
            geteuid() ? QStringList()
                      : QStringList{"--reuid=nobody", "--regid=nogroup", "--clear-groups"};
        // Copies, as that user may not read a checkout in a private folder.
        QVERIFY(server.start() && QDir().mkpath(server.releasesDir()) &&
                QFile::copy(QCoreApplication::applicationFilePath(), work.filePath("probe")) &&
                QFile::copy(CORVANE_TOOLS_DIR "/update-key.sh", work.filePath("update-key.sh")));
        for (const QString &folder : {r, work.path(), QFileInfo(tmp).path()})
            QVERIFY(QFile::setPermissions(folder, QFile::Permissions(0x7777)));
        // Bundles whose Info.plist holds just their version, with a link inside: the running
        // one, beside an earlier one's leftover, and in work/src the one the row archives.
        const QString setup =
            "bundle() { mkdir -p $1/Contents/MacOS && printf '<plist><dict><key>"
            "CFBundleShortVersionString</key><string>%s</string></dict></plist>' $2 "
            ">$1/Contents/Info.plist && "
            "printf '#!/bin/sh\\necho >&$CORVANE_STARTED_FD\\n' >$1/Contents/MacOS/corvane && "
            "chmod +x $1/Contents/MacOS/corvane && "
            "ln -s MacOS $1/Contents/bin; }; "
            "z() { zip -qry ../new.zip . \"$@\"; }; bundle \"$app\" 1.0.0 && "
            "sign() { cp ../key/*.b64 ../bundle-key && openssl pkeyutl -sign -rawin -inkey "
            "../$1/update-key.pem -in ../new.zip -out ../sig; }; bash update-key.sh key && "
            "bash update-key.sh other && "
            "mkdir -p \"$app.old/x\" \"$tmp\" src && cd src && bundle corvane.app 2.0.0 && ";
        const QStringList shell{"env",        "-C", work.path(), "app=" + app,
                                "tmp=" + tmp, "sh", "-c",        setup + archive};
        QCOMPARE(QProcess::execute("setpriv", user + shell), 0);
        QVERIFY(QFile::rename(work.filePath("new.zip"), zip));
        const QByteArray sha =
            QCryptographicHash::hash(testkit::readFile(zip), QCryptographicHash::Sha256).toHex();
        manifest.replace("%S", testkit::readFile(work.filePath("sig")).toBase64());
        QVERIFY(testkit::writeFile(server.releasesDir() + "/version.json",
                                   manifest.replace("%1", sha).replace("%U", sha.toUpper())));
        const QString running = Bundle::versionAt(app);
        QProcess probe;
        probe.start("setpriv",
                    user + QStringList{work.filePath("probe"), "--probe", server.baseUrl() + "/",
                                       app, tmp, work.filePath("bundle-key"),
                                       args.contains("--trickle") ? "300" : "60000"});
        QVERIFY(probe.waitForFinished(120000));
        QFile::setPermissions(r + "/app", QFile::Permissions(0x7755));
        QCOMPARE(QString(probe.readAllStandardOutput()),
                 (installed ? "launch " + app + "/Contents/MacOS/corvane --updated 2.0.0\n" : "") +
                     outcome + "\n");
        const QString err = probe.readAllStandardError();
        QVERIFY2(probe.exitCode() == 0, qPrintable(err));
        QCOMPARE(err.split('\n').filter(QRegularExpression("^corvane: ")),
                 log.isEmpty() ? QStringList() : QStringList{"corvane: " + log.replace("%1", r)});
        // Nothing left behind or written outside; the running bundle whole, or kept aside.
        QCOMPARE((entriesOf(r) + entriesOf(r + "/app") + entriesOf(tmp)).join(' '),
                 (tmp.startsWith(r) ? "app tmp" : "app") + QString(" corvane.app") +
                     (outcome == "failed" ? "" : " corvane.app.old"));
        QCOMPARE(Bundle::versionAt(app), installed ? "2.0.0" : running);
        QCOMPARE(Bundle::versionAt(app + ".old"), installed ? "1.0.0" : "");
        QCOMPARE(QFileInfo::exists(app + ".old/x"), !swapped);
        QCOMPARE(QFileInfo(app + "/Contents/bin").symLinkTarget(), app + "/Contents/MacOS");
        for (const QJsonObject &request : server.requests())
            QVERIFY(request.value("headers").toArray().contains(
                QJsonArray{"User-Agent", "corvane-mac/1.0.0"}));
    }

    // Wake-ups every 10 ms: one check at the first and none again within six hours; what an
    // earlier update or process left behind is removed at the start. Beside it, one started in
    // a read-only place, where root cannot write either, one outside a bundle and one without
    // a key fetch nothing. Each says why once, naming the folder as it is, format directives
    // included.
    void schedule()
    {
        DevServerProcess server;
        QTemporaryDir dir;
        QTemporaryFile err;
        QVERIFY(server.start() && QDir().mkpath(dir.filePath("corvane.app.old")) &&
                QDir().mkpath(dir.filePath("corvane-update-1/corvane.app")) && err.open());
        const int saved = dup(STDERR_FILENO);
        dup2(err.handle(), STDERR_FILENO);
        Updater readOnly(server.baseUrl(), {}, {"/proc/corvane.app", dir.path(), "1.0.0", 0, 10});
        Updater outside(server.baseUrl(), {}, {"/opt/100% %s %n %d", dir.path(), "1.0.0", 0, 10});
        // Without a key, an update from this computer could be any user's.
        QStringList local{server.baseUrl(), "http://LOCALHOST.:1", "http://0.0.0.0:1",
                          "http://[::]:1", "http://" + QHostInfo::localHostName() + ":1"};
        for (const QString &url : local)
            Updater(url, {}, {dir.filePath("corvane.app"), dir.path(), "1.0.0", 0, 10});
        Updater updater(server.baseUrl(), {},
                        {.bundlePath = dir.filePath("corvane.app"),
                         .tempDir = dir.path(),
                         .version = "1.0.0",
                         .firstWakeMs = 0,
                         .wakeIntervalMs = 10,
                         .updateKey = "a key"});
        dup2(saved, STDERR_FILENO);
        QCOMPARE(
            QString(testkit::readFile(err.fileName())),
            "corvane: 앱 폴더에 쓸 수 없어 업데이트를 건너뜁니다: /proc\n"
            "corvane: 번들 밖에서 실행 중이라 자동 업데이트를 하지 않습니다: /opt/100% %s %n %d\n"
            "corvane: 서명 키가 없어 이 컴퓨터의 서버에서는 업데이트하지 않습니다: " +
                local.join(
                    "\ncorvane: 서명 키가 없어 이 컴퓨터의 서버에서는 업데이트하지 않습니다: ") +
                "\n");
        QCOMPARE(entriesOf(dir.path()), QStringList());
        QVERIFY(QTest::qWaitFor([&] { return !server.requests().isEmpty(); }, 10000));
        // One request, and no second one soon after.
        QVERIFY(!QTest::qWaitFor([&] { return server.requests().size() > 1; }, 300));
    }
};

// With --probe SERVER BUNDLE TMPDIR KEYFILE TIMEOUT_MS: one check and, when it yields a bundle, its
// install, in a process of its own so that it can run as another user. The new bundle's start is
// printed.
int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.value(1) != "--probe") {
        TestUpdate test;
        return QTest::qExec(&test, argc, argv);
    }
    UpdateCheck check(args.value(2), "1.0.0", args.value(4),
                      testkit::readFile(args.value(5)).trimmed());
    check.timeoutMs = args.value(6).toInt();
    const auto ready = check.download(nullptr);
    const BundleInstaller installer(args.value(3), [](const QString &exe, const QStringList &args) {
        return BundleFiles::startConfirmed(exe, args, 30000) &&
               std::printf("launch %s\n", qPrintable((QStringList{exe} + args).join(' '))) > 0;
    });
    const char *outcomes[] = {"relaunched", "failed", "skipped"};
    std::printf("%s\n", ready ? outcomes[int(installer.apply(*ready))] : "none");
}

#include "tst_Update.moc"
