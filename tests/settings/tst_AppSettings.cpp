#include <QDir>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

#include "settings/AppSettings.h"
#include "settings/Bundle.h"
#include "settings/SystemLog.h"
#include "testkit/Files.h"

class TestAppSettings : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    const QString iniPath = dir.filePath("corvane.conf");

    std::unique_ptr<AppSettings> makeStore()
    {
        return std::make_unique<AppSettings>(
            std::make_unique<QSettings>(iniPath, QSettings::IniFormat));
    }
    QString picturesFolder() const
    {
        return QStandardPaths::standardLocations(QStandardPaths::PicturesLocation).value(0);
    }

private slots:
    // A home of its own, whose Pictures folder a case takes away.
    void initTestCase()
    {
        qputenv("HOME", QFile::encodeName(dir.filePath("home")));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath("home/.config")));
        QVERIFY(QDir().mkpath(picturesFolder()));
    }
    void init() { QFile::remove(iniPath); }

    void defaultsThenWritesPersist_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::newRow("no file") << QByteArray();
        QTest::newRow("damaged file")
            << QByteArray("\x00\xff[General\nhotkeyModifiers=@Variant(\x01)\n=\n", 40);
    }
    // Writes go under the four keys; every read goes to the file, so any store sees them.
    void defaultsThenWritesPersist()
    {
        QFETCH(QByteArray, file);
        QVERIFY(file.isNull() || testkit::writeFile(iniPath, file));
        auto settings = makeStore();
        QCOMPARE(settings->hotKey(), HotKeyCombo::standard);
        QCOMPARE(settings->saveFolder(), std::nullopt);
        QCOMPARE(settings->saveWithoutDialog(), false);
        QCOMPARE(settings->effectiveSaveFolder(), picturesFolder());

        const QString folder = dir.filePath(QTest::currentDataTag());
        QVERIFY(QDir().mkpath(folder));
        settings->setHotKey(HotKeyCombo(0, HotKeyCombo::Control | HotKeyCombo::Option));
        settings->setSaveFolder(folder);
        settings->setSaveWithoutDialog(true);
        // The hotkey's keys are those storedHotKey() writes.
        QSettings raw(iniPath, QSettings::IniFormat);
        QCOMPARE(raw.value("saveFolder").toString(), folder);
        QCOMPARE(raw.value("saveWithoutDialog").toBool(), true);
        auto other = makeStore();
        QCOMPARE(other->hotKey(), HotKeyCombo(0, HotKeyCombo::Control | HotKeyCombo::Option));
        QCOMPARE(other->effectiveSaveFolder(), folder);
        // A folder that is gone, or now a file, is not used but stays chosen.
        QVERIFY(QDir(folder).removeRecursively());
        QCOMPARE(other->effectiveSaveFolder(), picturesFolder());
        QVERIFY(testkit::writeFile(folder, ""));
        QCOMPARE(other->effectiveSaveFolder(), picturesFolder());
        // Nor is a Pictures folder that is gone: then the home folder is.
        QVERIFY(QDir(picturesFolder()).removeRecursively());
        QCOMPARE(other->effectiveSaveFolder(), QDir::homePath());
        QVERIFY(QDir().mkpath(picturesFolder()));
        other->setSaveFolder(std::nullopt);
        QVERIFY(!settings->saveFolder());
    }

    void storedHotKey_data()
    {
        QTest::addColumn<QVariant>("keyCode");
        QTest::addColumn<QVariant>("modifiers");
        QTest::addColumn<QString>("expected"); // key code, then modifiers in hexadecimal
        QTest::newRow("key without modifiers") << QVariant(0) << QVariant() << "0 0";
        // Flags of Caps Lock, the numeric pad, Help and Fn are not modifiers of the combination.
        QTest::newRow("low 16 bits, modifier flags only")
            << QVariant(0x10000 + 29) << QVariant(0xF10000) << "29 100000";
        // Only an outside edit can store this; the default combination is used instead.
        QTest::newRow("negative modifiers") << QVariant(0) << QVariant(-1) << "25 120000";
    }
    void storedHotKey()
    {
        QFETCH(QVariant, keyCode);
        QFETCH(QVariant, modifiers);
        QFETCH(QString, expected);
        {
            QSettings raw(iniPath, QSettings::IniFormat);
            raw.setValue("hotkeyKeyCode", keyCode);
            if (modifiers.isValid())
                raw.setValue("hotkeyModifiers", modifiers);
        }
        const HotKeyCombo combo = makeStore()->hotKey();
        QCOMPARE(QString::number(combo.keyCode) + ' ' + QString::number(combo.modifiers, 16),
                 expected);
    }

    // The server address a bundle's Info.plist gives, or the default; rows name their file.
    void serverUrlFromInfoPlist_data()
    {
        QTest::addColumn<QByteArray>("plist");
        QTest::addColumn<QString>("expected");
        const auto dict = [](const QByteArray &entries) {
            return "<plist><dict>" + entries + "</dict></plist>";
        };
        const auto url = [](const QByteArray &value) {
            return "<key>CorvaneServerUrl</key><string>" + value + "</string>";
        };
        const QString fallback = AppSettings::defaultServerUrl();
        QTest::newRow("missing") << QByteArray() << fallback;
        QTest::newRow("empty") << dict(url("")) << fallback;
        QTest::newRow("placeholder") << dict(url("__SERVER_URL__")) << fallback;
        QTest::newRow("spaces not trimmed") << dict(url(" x ")) << QString(" x ");
        QTest::newRow("cut short after a value") << dict(url("http://cut")).chopped(15) << fallback;
        QTest::newRow("non-string value")
            << dict("<key>CorvaneServerUrl</key><integer>5</integer>"
                    "<key>CorvaneChannel</key><string>production</string>")
            << fallback;
        QTest::newRow("nested dict ignored")
            << dict(url("http://top") + "<key>x</key><dict>" + url("http://nested") + "</dict>")
            << QString("http://top");
    }
    void serverUrlFromInfoPlist()
    {
        QFETCH(QByteArray, plist);
        QFETCH(QString, expected);
        const QString path = dir.filePath(QTest::currentDataTag());
        QVERIFY(plist.isNull() || testkit::writeFile(path, plist));
        QCOMPARE(AppSettings::buildValue(Bundle::readInfoPlist(path), "CorvaneServerUrl",
                                         "__SERVER_URL__", AppSettings::defaultServerUrl()),
                 expected);
    }

    void buildValuesAndBundleLayout()
    {
        // The build writes the three cache values (or their placeholders) verbatim.
        const auto info = Bundle::readInfoPlist(CORVANE_BUNDLE_DIR "/Contents/Info.plist");
        QCOMPARE(info.value("CorvaneServerUrl"), QStringLiteral(CORVANE_CONFIGURED_SERVER_URL));
        QCOMPARE(info.value("CorvaneChannel"), QStringLiteral(CORVANE_CONFIGURED_CHANNEL));
        QCOMPARE(info.value("CFBundleShortVersionString"),
                 QStringLiteral(CORVANE_CONFIGURED_VERSION));
        // Outside a bundle the default is used.
        QCOMPARE(AppSettings::serverUrl(), AppSettings::defaultServerUrl());
        QCOMPARE(AppSettings::versionTextFor("production", "1.2.3"), QStringLiteral("1.2.3"));
        QCOMPARE(AppSettings::versionTextFor("Production", "1.2.3"), QStringLiteral("1.2.3 검수"));
        QCOMPARE(Bundle::bundlePathFor("/opt/x/corvane.app/Contents/MacOS/"),
                 QStringLiteral("/opt/x/corvane.app"));
        QCOMPARE(Bundle::bundlePathFor("/usr/local/bin"), QStringLiteral("/usr/local/bin"));
        QCOMPARE(Bundle::bundlePathFor("/opt/Contents/MacOS"),
                 QStringLiteral("/opt/Contents/MacOS"));
    }

    void systemLogPassesTextAsData()
    {
        // Mirrored to standard error; format directives in the text must come out verbatim.
        QFile capture(dir.filePath("stderr.txt"));
        QVERIFY(capture.open(QIODevice::WriteOnly));
        const int saved = dup(STDERR_FILENO);
        dup2(capture.handle(), STDERR_FILENO);
        systemLog(QStringLiteral("업데이트 실패: 100% %s %n %d"));
        fflush(stderr);
        dup2(saved, STDERR_FILENO);
        close(saved);
        QCOMPARE(QString::fromUtf8(testkit::readFile(capture.fileName())),
                 QStringLiteral("corvane: 업데이트 실패: 100% %s %n %d\n"));
    }
};

QTEST_GUILESS_MAIN(TestAppSettings)
#include "tst_AppSettings.moc"
