#include <QTest>

#include "settings/Bundle.h"
#include "testkit/Desktop.h"

using namespace testkit;

// The launcher and bundle installed for a user and by the package. The desktop is started for
// its own runtime folder, where the script's launches reach no instance that the user runs.
class InstalledLauncherTest : public QObject
{
    Q_OBJECT

public:
    explicit InstalledLauncherTest(Desktop &) {}

private:
    QTemporaryDir m_work;
    QString user(const QString &path) const { return m_work.filePath("user/" + path); }
    QString package(const QString &path) const { return m_work.filePath("root/usr/" + path); }

private slots:
    // Every installed file, the entries and the package's dependencies are checked there.
    void initTestCase()
    {
        QProcess check;
        check.setProgram("bash");
        check.setArguments({CORVANE_INSTALLED_FILES_SH, CORVANE_BINARY_DIR, m_work.path()});
        QCOMPARE(runToEnd(check, nullptr, 600000), 0);
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
};

CORVANE_DESKTOP_TEST_MAIN(InstalledLauncherTest)
#include "tst_InstalledLauncher.moc"
