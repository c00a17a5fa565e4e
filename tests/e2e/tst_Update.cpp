#include <QApplication>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

#include "AppProcess.h"
#include "DevServerProcess.h"
#include "testkit/Files.h"

using namespace testkit;

class TestUpdate : public QObject
{
    Q_OBJECT

private slots:
    // A 1.0.0 bundle in a folder of its own, run with wake-ups and checks every 0.3 s, with a
    // capture open when 2.0.0 is first offered.
    void installsWhenIdleAndRollsBack()
    {
        const XServer &x = serverOf(this);
        QTemporaryDir dir;
        DevServerProcess server;
        AppProcess app(x);
        const QString bundle = dir.filePath("corvane.app"), tmp = dir.filePath("tmp");
        const QString exe = bundle + "/Contents/MacOS/corvane";
        const auto log = [&] { return readFile(dir.filePath("stderr.log")); };
        const auto version = [&] { return readFile(bundle + "/Contents/Info.plist"); };
        // A copy of the built bundle, given the public one of two new keys, is archived as 2.0.0
        // (published signed by the other key, and kept signed by its own), then runs as 1.0.0.
        const QString prepare =
            "cd \"$0\" && bash $3/update-key.sh key && bash $3/update-key.sh other && cp -R \"$1\" "
            "corvane.app && sed -i \"s|__SERVER_URL__|$2|; s|__VERSION__|2.0.0|; s|__UPDATE_KEY__|"
            "$(cat key/*.b64)|\" corvane.app/Contents/Info.plist && zip -qr new.zip corvane.app && "
            "sed -i s/2.0.0/1.0.0/ corvane.app/Contents/Info.plist && for k in key other; do bash "
            "$3/publish-update.sh --key $k/update-key.pem --version 2.0.0 new.zip $k; done";
        QVERIFY(server.start() && QDir().mkpath(tmp) &&
                QProcess::execute("sh", {"-c", prepare, dir.path(), CORVANE_BUNDLE_DIR,
                                         server.baseUrl(), CORVANE_TOOLS_DIR}) == 0 &&
                QFile::rename(dir.filePath("other"), server.releasesDir()));
        app.process().setStandardErrorFile(dir.filePath("stderr.log"));
        app.process().start("env", {"TMPDIR=" + tmp, "CORVANE_UPDATE_TIMING_MS=300,300,300", exe});
        // Once its icon shows it listens, and a further launch opens a capture in it.
        QVERIFY(waitForWindow(x, Kind::TrayIcon) && app.launchAgain() == 0 &&
                waitForWindow(x, Kind::Overlay));

        // Signed by the other key: refused, nothing unpacked. Then offered signed by its own.
        QVERIFY2(
            waitUntil([&] { return log().contains("업데이트 서명이 올바르지 않습니다"); }, 60000),
            log());
        QVERIFY(version().contains(">1.0.0<") && QDir(tmp).isEmpty() && !log().contains("SHA-256"));
        const QByteArray manifest = readFile(dir.filePath("key/version.json"));
        QVERIFY(writeFile(server.releasesDir() + "/version.json", manifest));
        // Downloaded once the bundle is unpacked and verified and the archive deleted.
        const auto inTmp = [&](const QString &script) {
            return QProcess::execute("sh", {"-c", script, tmp}) == 0;
        };
        const QString unpacked =
            "test -d $0/*/corvane.app/Contents/MacOS -a ! -e $0/*/corvane-mac.zip";
        QVERIFY2(waitUntil([&] { return inTmp(unpacked); }, 60000), log());
        QTest::qWait(1500);
        QVERIFY(version().contains(">1.0.0<"));

        // The unpacked bundle vanishes, as a temporary-folder cleaner might make it: once the
        // capture closes, the running bundle is moved aside, the move in fails, and it goes back.
        QVERIFY(QFile::remove(server.releasesDir() + "/version.json") &&
                inTmp("rm -r $0/*/corvane.app"));
        // Escape closes the capture; pressed again until it has, as a key can go astray.
        QVERIFY2(waitUntil(
                     [&] {
                         x.run("xdotool", {"key", "Escape"});
                         return waitUntil([&] { return log().contains("업데이트 적용 실패: "); },
                                          1000);
                     },
                     20000),
                 log());
        QVERIFY(version().contains(">1.0.0<") && QFileInfo(exe).isExecutable());
        QVERIFY(!QFileInfo::exists(bundle + ".old") && QDir(tmp).isEmpty());

        // Offered again: with nothing open, the next check installs it and relaunches.
        QVERIFY(writeFile(server.releasesDir() + "/version.json", manifest));
        QVERIFY2(app.waitForExit(30000) && app.process().exitCode() == 0, log());
        QVERIFY(version().contains(">2.0.0<"));
        // The new process runs exactly this command line; it waited for the old one to let go
        // of the single-instance name before it logs.
        const QString relaunched = exe + " --updated 2.0.0";
        QByteArray pid;
        QVERIFY(waitUntil([&] { return x.run("pgrep", {"-xf", relaunched}, &pid) == 0; }, 10000));
        QVERIFY2(
            waitUntil([&] { return log().contains("업데이트 후 시작: corvane 2.0.0 "); }, 15000),
            log());
        QVERIFY(pid.trimmed().toInt() > 0 && ::kill(pid.trimmed().toInt(), SIGTERM) == 0);
    }
};

CORVANE_X11_TEST_MAIN(TestUpdate, .windowManager = true, .tray = true)
#include "tst_Update.moc"
