#include <QApplication>
#include <QCryptographicHash>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

#include "AppProcess.h"
#include "DevServerProcess.h"

using testkit::AppProcess;
using testkit::waitUntil;

namespace {

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A copy of the built bundle that names this version and server.
bool copyBundle(const QString &to, const QString &version, const QString &server)
{
    return QDir().mkpath(QFileInfo(to).path()) &&
           QProcess::execute("cp", {"-R", CORVANE_BUNDLE_DIR, to}) == 0 &&
           writeFile(to + "/Contents/Info.plist",
                     ("<plist><dict><key>CorvaneServerUrl</key><string>" + server +
                      "</string><key>CorvaneChannel</key><string>production</string><key>"
                      "CFBundleShortVersionString</key><string>" +
                      version + "</string></dict></plist>")
                         .toUtf8());
}

// The process running exactly this command line, or 0.
qint64 processWith(const QStringList &argv)
{
    for (const QString &pid : QDir("/proc").entryList(QDir::Dirs)) {
        if (pid.toLongLong() > 0 && readFile("/proc/" + pid + "/cmdline") ==
                                        argv.join(QChar(0)).toUtf8() + QByteArray(1, '\0'))
            return pid.toLongLong();
    }
    return 0;
}

bool windowOf(const testkit::XServer &x, bool overlay)
{
    const auto windows = testkit::visibleAppWindows(x);
    return std::any_of(windows.begin(), windows.end(), [&](const testkit::XWindow &w) {
        return overlay ? w.geometry.width() >= 1000 : w.geometry.width() <= 64;
    });
}

// A 1.0.0 bundle in a folder of its own, running with wake-ups and checks every 0.3 s, a
// capture open, and then 2.0.0 on offer and downloaded.
struct Installation
{
    explicit Installation(const testkit::XServer &x) : x(x) {}

    const testkit::XServer &x;
    QTemporaryDir dir;
    DevServerProcess server;
    AppProcess app{x};
    QString staged;

    QString bundle() const { return dir.filePath("Apps/corvane.app"); }
    QStringList relaunch() const
    {
        return {bundle() + "/Contents/MacOS/corvane", "--updated", "2.0.0"};
    }
    QByteArray log() const { return readFile(dir.filePath("stderr.log")); }
    QStringList staging() const
    {
        return QDir(dir.filePath("tmp")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries);
    }

    ~Installation()
    {
        if (const qint64 pid = processWith(relaunch()))
            ::kill(pid_t(pid), SIGTERM);
    }

    bool downloadWhileCapturing()
    {
        if (!server.start() || !copyBundle(bundle(), "1.0.0", server.baseUrl()) ||
            !QDir().mkpath(dir.filePath("tmp")) || !QDir().mkpath(server.releasesDir()))
            return false;
        QProcessEnvironment env = app.environment();
        env.insert("TMPDIR", dir.filePath("tmp"));
        env.insert("CORVANE_UPDATE_TIMING_MS", "300,300,300");
        app.process().setProcessEnvironment(env);
        app.process().setStandardErrorFile(dir.filePath("stderr.log"));
        app.process().start(relaunch().first());
        const auto icon = [&] { return testkit::visibleAppWindows(x).value(0).geometry.center(); };
        if (!waitUntil([&] { return windowOf(x, false); }, 15000) ||
            x.run("xdotool", {"mousemove", QString::number(icon().x()), QString::number(icon().y()),
                              "click", "1"}) != 0 ||
            !waitUntil([&] { return windowOf(x, true); }, 15000))
            return false;
        // Offered only now, so that it cannot be installed before the capture is open.
        const QString zip = server.releasesDir() + "/corvane-mac.zip";
        if (!copyBundle(dir.filePath("v2/corvane.app"), "2.0.0", server.baseUrl()) ||
            QProcess::execute("sh", {"-c", "cd \"$0\" && zip -qr \"$1\" corvane.app",
                                     dir.filePath("v2"), zip}) != 0)
            return false;
        const QByteArray sha =
            QCryptographicHash::hash(readFile(zip), QCryptographicHash::Sha256).toHex();
        if (!writeFile(server.releasesDir() + "/version.json",
                       R"({"version":"2.0.0","sha256":")" + sha + "\"}"))
            return false;
        // The archive is deleted once its bundle is unpacked and verified.
        return waitUntil(
            [&] {
                const QStringList found = staging();
                staged = dir.filePath("tmp/" + found.value(0));
                return found.size() == 1 &&
                       QFileInfo::exists(staged + "/corvane.app/Contents/MacOS/corvane") &&
                       !QFileInfo::exists(staged + "/corvane-mac.zip");
            },
            60000);
    }
};

} // namespace

class TestUpdate : public QObject
{
    Q_OBJECT

    const testkit::XServer &x() { return testkit::serverOf(this); }

private slots:
    void installedOnceTheCaptureCloses()
    {
        Installation i(x());
        QVERIFY2(i.downloadWhileCapturing(), i.log());
        // Wake-ups with the capture open install nothing.
        QTest::qWait(1500);
        QVERIFY(readFile(i.bundle() + "/Contents/Info.plist").contains(">1.0.0<"));
        QVERIFY(!QFileInfo::exists(i.bundle() + ".old"));
        QCOMPARE(i.app.process().state(), QProcess::Running);

        QCOMPARE(x().run("xdotool", {"key", "Escape"}), 0);
        QVERIFY2(i.app.waitForExit(20000), i.log());
        QCOMPARE(i.app.process().exitCode(), 0);
        QVERIFY(waitUntil([&] { return processWith(i.relaunch()) != 0; }, 10000));
        QVERIFY(readFile(i.bundle() + "/Contents/Info.plist").contains(">2.0.0<"));
        // The new process waited for the old one to let go, then took over; its start
        // removes the old bundle.
        QVERIFY2(
            waitUntil([&] { return i.log().contains("업데이트 후 시작: corvane 2.0.0\n"); }, 15000),
            i.log());
        QVERIFY(waitUntil([&] { return windowOf(x(), false); }, 15000));
        QVERIFY(waitUntil([&] { return !QFileInfo::exists(i.bundle() + ".old"); }, 10000));
        QCOMPARE(i.staging(), QStringList());
    }

    void failedSecondMoveRestoresTheBundle()
    {
        Installation i(x());
        QVERIFY2(i.downloadWhileCapturing(), i.log());
        QVERIFY(QFile::remove(i.server.releasesDir() + "/version.json"));
        // The unpacked bundle vanishes before the install, as a temporary-folder cleaner
        // might do: the running bundle is moved aside, then the move in fails.
        QVERIFY(QDir(i.staged + "/corvane.app").removeRecursively());
        QCOMPARE(x().run("xdotool", {"key", "Escape"}), 0);
        QVERIFY(
            waitUntil([&] { return i.log().contains("corvane: 업데이트 적용 실패: "); }, 15000));
        QVERIFY(readFile(i.bundle() + "/Contents/Info.plist").contains(">1.0.0<"));
        QVERIFY(QFileInfo(i.bundle() + "/Contents/MacOS/corvane").isExecutable());
        QVERIFY(!QFileInfo::exists(i.bundle() + ".old"));
        QCOMPARE(i.staging(), QStringList());
        QCOMPARE(i.app.process().state(), QProcess::Running);
    }
};

CORVANE_X11_TEST_MAIN(TestUpdate, .windowManager = true, .tray = true)
#include "tst_Update.moc"
