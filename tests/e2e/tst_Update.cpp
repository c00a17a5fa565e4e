#include <QApplication>
#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

#include "AppProcess.h"
#include "DevServerProcess.h"
#include "testkit/Files.h"

using testkit::readFile;
using testkit::waitUntil;
using testkit::writeFile;

namespace {

// A copy of the built bundle that names this version and server.
bool copyBundle(const QString &to, const QString &version, const QString &server)
{
    return QDir().mkpath(QFileInfo(to).path()) &&
           QProcess::execute("cp", {"-R", CORVANE_BUNDLE_DIR, to}) == 0 &&
           writeFile(to + "/Contents/Info.plist",
                     QString("<plist><dict><key>CorvaneServerUrl</key><string>%1</string><key>"
                             "CFBundleShortVersionString</key><string>%2</string></dict></plist>")
                         .arg(server, version)
                         .toUtf8());
}

// The process running exactly this command line, or 0.
pid_t processWith(const QStringList &argv)
{
    for (const QString &pid : QDir("/proc").entryList(QDir::Dirs)) {
        if (readFile("/proc/" + pid + "/cmdline") == argv.join(QChar(0)).toUtf8() + '\0')
            return pid.toInt();
    }
    return 0;
}

bool captureShown(const testkit::XServer &x)
{
    const QList<testkit::XWindow> windows = testkit::visibleAppWindows(x);
    return std::any_of(windows.begin(), windows.end(),
                       [](const testkit::XWindow &w) { return w.geometry.width() >= 1000; });
}

} // namespace

class TestUpdate : public QObject
{
    Q_OBJECT

private slots:
    // A 1.0.0 bundle in a folder of its own, run with wake-ups and checks every 0.3 s, with a
    // capture open when 2.0.0 is first offered.
    void installsWhenIdleAndRollsBack()
    {
        const testkit::XServer &x = testkit::serverOf(this);
        QTemporaryDir dir;
        DevServerProcess server;
        testkit::AppProcess app(x);
        const QString bundle = dir.filePath("Apps/corvane.app"), tmp = dir.filePath("tmp");
        const QStringList relaunch{bundle + "/Contents/MacOS/corvane", "--updated", "2.0.0"};
        const auto log = [&] { return readFile(dir.filePath("stderr.log")); };
        const auto version = [&] { return readFile(bundle + "/Contents/Info.plist"); };
        QVERIFY(server.start() && copyBundle(bundle, "1.0.0", server.baseUrl()) &&
                QDir().mkpath(tmp) && QDir().mkpath(server.releasesDir()));
        QProcessEnvironment env = app.environment();
        env.insert("TMPDIR", tmp);
        env.insert("CORVANE_UPDATE_TIMING_MS", "300,300,300");
        app.process().setProcessEnvironment(env);
        app.process().setStandardErrorFile(dir.filePath("stderr.log"));
        app.process().start(relaunch[0]);
        // Once it listens, a further launch opens a capture in it.
        QVERIFY(waitUntil([&] { return QFileInfo::exists(app.home() + "/runtime/corvane.sock"); },
                          15000));
        QVERIFY(app.launchAgain() == 0 && waitUntil([&] { return captureShown(x); }, 15000));

        const QString zip = server.releasesDir() + "/corvane-mac.zip";
        QVERIFY(copyBundle(dir.filePath("v2/corvane.app"), "2.0.0", server.baseUrl()));
        QCOMPARE(QProcess::execute("sh", {"-c", "cd \"$0\" && zip -qr \"$1\" corvane.app",
                                          dir.filePath("v2"), zip}),
                 0);
        const QByteArray manifest =
            "{\"version\":\"2.0.0\",\"sha256\":\"" +
            QCryptographicHash::hash(readFile(zip), QCryptographicHash::Sha256).toHex() + "\"}";
        QVERIFY(writeFile(server.releasesDir() + "/version.json", manifest));
        // Downloaded once the bundle is unpacked and verified and the archive deleted.
        QString staged;
        QVERIFY2(waitUntil(
                     [&] {
                         staged = tmp + "/" +
                                  QDir(tmp).entryList(QDir::Dirs | QDir::NoDotAndDotDot).value(0);
                         return QFileInfo::exists(staged + "/corvane.app/Contents/MacOS") &&
                                !QFileInfo::exists(staged + "/corvane-mac.zip");
                     },
                     60000),
                 log());
        QTest::qWait(1500);
        QVERIFY(version().contains(">1.0.0<"));

        // The unpacked bundle vanishes, as a temporary-folder cleaner might make it: once the
        // capture closes, the running bundle is moved aside, the move in fails, and it goes
        // back.
        QVERIFY(QFile::remove(server.releasesDir() + "/version.json") &&
                QDir(staged + "/corvane.app").removeRecursively());
        // Escape closes the capture; pressed again while it shows, as a key can go astray.
        QVERIFY2(waitUntil(
                     [&] {
                         if (captureShown(x))
                             x.run("xdotool", {"key", "Escape"});
                         return waitUntil([&] { return log().contains("업데이트 적용 실패: "); },
                                          1000);
                     },
                     20000),
                 log());
        QVERIFY(version().contains(">1.0.0<") && QFileInfo(relaunch[0]).isExecutable());
        QVERIFY(!QFileInfo::exists(bundle + ".old") && QDir(tmp).isEmpty());

        // Offered again: with nothing open, the next check installs it and relaunches.
        QVERIFY(writeFile(server.releasesDir() + "/version.json", manifest));
        QVERIFY2(app.waitForExit(30000) && app.process().exitCode() == 0, log());
        QVERIFY(version().contains(">2.0.0<"));
        pid_t relaunched = 0;
        QVERIFY(waitUntil([&] { return (relaunched = processWith(relaunch)) != 0; }, 10000));
        // The new process waited for the old one to let go of the single-instance name
        // before it logs; its start removes the old bundle.
        QVERIFY2(
            waitUntil([&] { return log().contains("업데이트 후 시작: corvane 2.0.0 "); }, 15000),
            log());
        QVERIFY(waitUntil([&] { return !QFileInfo::exists(bundle + ".old"); }, 10000) &&
                QDir(tmp).isEmpty());
        QCOMPARE(::kill(relaunched, SIGTERM), 0);
    }
};

CORVANE_X11_TEST_MAIN(TestUpdate, .windowManager = true, .tray = true)
#include "tst_Update.moc"
