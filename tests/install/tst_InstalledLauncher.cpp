#include <QApplication>

#include <QTest>

#include "../e2e/AppProcess.h"
#include "settings/Bundle.h"

using namespace testkit;

// The launcher and bundle installed for a user and by the package, on a desktop with a tray.
class InstalledLauncherTest : public QObject
{
    Q_OBJECT
    QTemporaryDir m_work;
    QString user(const QString &path) const { return m_work.filePath("user/" + path); }
    QString package(const QString &path) const { return m_work.filePath("root/usr/" + path); }

private slots:
    // Every installed file, the entries and the package's dependencies are checked there.
    void initTestCase()
    {
        const QStringList args{CORVANE_INSTALLED_FILES_SH, CORVANE_BINARY_DIR, m_work.path()};
        QCOMPARE(serverOf(this).run("bash", args, nullptr, 600000), 0);
    }

    void bundleKnowsHowItWasInstalled()
    {
        const QString app = QStringLiteral("lib/corvane/corvane.app");
        QCOMPARE(Bundle::launcherPathFor(user(app), "exe"), user("bin/corvane"));
        QCOMPARE(Bundle::launcherPathFor(package(app), "exe"), package("bin/corvane"));
        QCOMPARE(Bundle::launcherPathFor(CORVANE_BUNDLE_DIR, "exe"), "exe");
        QVERIFY(!Bundle::isPackageManagedAt(user(app)));
        QVERIFY(Bundle::isPackageManagedAt(package(app)));
    }

    void startsInTrayAndHandsOver()
    {
        const AppProcess person(serverOf(this)); // its own home and runtime folder
        QProcess first;
        first.setProcessEnvironment(person.environment());
        first.start(user("bin/corvane"));
        QVERIFY(waitUntil([&] { return !visibleAppWindows(serverOf(this)).isEmpty(); }, 15000));
        const QStringList again = person.environment().toStringList() << user("bin/corvane");
        QCOMPARE(serverOf(this).run("env", again, nullptr, 15000), 0);
        QCOMPARE(first.state(), QProcess::Running);
        first.terminate();
        first.waitForFinished();
    }
};

CORVANE_X11_TEST_MAIN(InstalledLauncherTest, .windowManager = true, .tray = true)
#include "tst_InstalledLauncher.moc"
