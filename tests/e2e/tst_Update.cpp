#include <QTemporaryDir>
#include <QTest>

#include "testkit/DevServerProcess.h"
#include "testkit/Desktop.h"
#include "testkit/Files.h"

using namespace testkit;

class TestUpdate : public QObject
{
    Q_OBJECT

public:
    explicit TestUpdate(Desktop &desktop) : desktop(desktop) {}

private:
    Desktop &desktop;

private slots:
    // A 1.0.0 bundle in a folder of its own, run with wake-ups and checks every 0.3 s, with a
    // capture open when 2.0.0 is offered.
    void installsWhenIdleAndRollsBack()
    {
        QTemporaryDir dir;
        DevServerProcess server;
        AppProcess app = desktop.app();
        const QString bundle = dir.filePath("corvane.app"), tmp = dir.filePath("tmp");
        const QString exe = bundle + "/Contents/MacOS/corvane";
        const auto log = [&] { return readFile(dir.filePath("stderr.log")); };
        const auto version = [&] { return readFile(bundle + "/Contents/Info.plist"); };
        const auto logs = [&](const char *line, int ms) {
            return waitUntil([&] { return log().contains(line); }, ms);
        };
        // A copy of the built bundle, given the public one of a new key, is archived as 2.0.0
        // and published signed by that key, its archive on the server, then runs as 1.0.0. Neither
        // a version the bundle does not hold or with a letter, nor a key of another kind,
        // publishes.
        const QString prepare =
            "cd \"$0\" && bash $3/update-key.sh key && cp -R \"$1\" corvane.app && sed -i "
            "\"s|__SERVER_URL__|$2|; s|__VERSION__|2.0.0|; s|__UPDATE_KEY__|$(cat key/*.b64)|\" "
            "corvane.app/Contents/Info.plist && zip -qr new.zip corvane.app && sed -i "
            "s/2.0.0/1.0.0/ corvane.app/Contents/Info.plist && tools=$3 && publish() { bash "
            "$tools/publish-update.sh --key $1 --version $2 new.zip key 2>&1; } && "
            "! publish key/update-key.pem 2.0.1 >/dev/null && openssl genpkey -algorithm RSA -out "
            "rsa.pem && ! publish rsa.pem 2.0.0 >/dev/null && publish key/update-key.pem v2.0.0 | "
            "grep -q 'not a version' && publish key/update-key.pem 2.0.0 && mkdir -p \"$4\" && "
            "cp key/corvane-mac.zip \"$4\"";
        QVERIFY(server.start() && QDir().mkpath(tmp) &&
                QProcess::execute("sh",
                                  {"-c", prepare, dir.path(), CORVANE_BUNDLE_DIR, server.baseUrl(),
                                   CORVANE_TOOLS_DIR, server.releasesDir()}) == 0);
        app.process().setStandardErrorFile(dir.filePath("stderr.log"));
        app.process().start("env", {"TMPDIR=" + tmp, "CORVANE_UPDATE_TIMING_MS=300,300,300", exe});
        // Once its icon shows it listens, and a further launch opens a capture in it.
        QVERIFY(desktop.trayIcon() && app.launchAgain() == 0 &&
                waitUntil([&] { return !desktop.overlays().isEmpty(); }, 15000));

        // Downloaded once the bundle is unpacked and verified and the archive deleted.
        const QByteArray manifest = readFile(dir.filePath("key/version.json"));
        QVERIFY(writeFile(server.releasesDir() + "/version.json", manifest));
        const auto inTmp = [&](const QString &script) {
            return QProcess::execute("sh", {"-c", script, tmp}) == 0;
        };
        const QString unpacked =
            "test -d $0/*/corvane.app/Contents/MacOS -a ! -e $0/*/corvane-mac.zip";
        QVERIFY2(waitUntil([&] { return inTmp(unpacked); }, 60000), log());
        QVERIFY(!waitUntil([&] { return !version().contains(">1.0.0<"); }, 1500));

        // The unpacked bundle vanishes, as a temporary-folder cleaner might make it: once the
        // capture closes, its move beside the running bundle fails, which stays as it was.
        QVERIFY(QFile::remove(server.releasesDir() + "/version.json") &&
                inTmp("rm -r $0/*/corvane.app"));
        // Escape closes the capture; pressed again until it has, as a key can go astray.
        QVERIFY2(
            waitUntil([&] { return desktop.keys("Escape") && logs("업데이트 적용 실패: ", 1000); },
                      20000),
            log());
        QVERIFY(version().contains(">1.0.0<") && QFileInfo(exe).isExecutable());
        QVERIFY(!QFileInfo::exists(bundle + ".old") && QDir(tmp).isEmpty());

        // Offered again: with nothing open, the next check installs it and relaunches, and the
        // new process says so once the old one has let go of the single-instance name.
        QVERIFY(writeFile(server.releasesDir() + "/version.json", manifest));
        QVERIFY2(app.waitForExit(30000) && app.process().exitCode() == 0, log());
        QVERIFY(version().contains(">2.0.0<"));
        QVERIFY2(logs("업데이트 후 시작: corvane 2.0.0 ", 15000), log());
        QCOMPARE(app.launchAgain({"--quit"}), 0);
    }
};

CORVANE_DESKTOP_TEST_MAIN(TestUpdate)
#include "tst_Update.moc"
