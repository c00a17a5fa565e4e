#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

#include "settings/AppSettings.h"
#include "settings/Bundle.h"
#include "settings/SystemLog.h"

class TestAppSettings : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString iniPath;

    std::unique_ptr<AppSettings> makeStore()
    {
        return std::make_unique<AppSettings>(
            std::make_unique<QSettings>(iniPath, QSettings::IniFormat));
    }
    void writeRaw(const QString &key, const QVariant &value)
    {
        QSettings raw(iniPath, QSettings::IniFormat);
        raw.setValue(key, value);
    }
    QString picturesFolder() const
    {
        return QStandardPaths::standardLocations(QStandardPaths::PicturesLocation).value(0);
    }

private slots:
    void init()
    {
        iniPath = dir.filePath(QStringLiteral("corvane.conf"));
        QFile::remove(iniPath);
    }

    void freshStore()
    {
        auto settings = makeStore();
        QCOMPARE(settings->hotKey(), HotKeyCombo::standard);
        QCOMPARE(settings->saveFolder(), std::nullopt);
        QCOMPARE(settings->saveWithoutDialog(), false);
        QVERIFY(!picturesFolder().isEmpty());
        QCOMPARE(settings->effectiveSaveFolder(), picturesFolder());
    }

    void writesPersistUnderTheFourKeys()
    {
        auto settings = makeStore();
        settings->setHotKey(HotKeyCombo(0, HotKeyCombo::Control | HotKeyCombo::Option));
        settings->setSaveFolder(dir.path());
        settings->setSaveWithoutDialog(true);
        QSettings raw(iniPath, QSettings::IniFormat);
        QCOMPARE(raw.value("hotkeyKeyCode").toInt(), 0);
        QCOMPARE(raw.value("hotkeyModifiers").toLongLong(), 0xC0000);
        QCOMPARE(raw.value("saveFolder").toString(), dir.path());
        QCOMPARE(raw.value("saveWithoutDialog").toBool(), true);
        // A second store on the same file sees the values: nothing is cached.
        auto other = makeStore();
        QCOMPARE(other->hotKey(), HotKeyCombo(0, HotKeyCombo::Control | HotKeyCombo::Option));
        QCOMPARE(other->effectiveSaveFolder(), dir.path());
        other->setSaveFolder(std::nullopt);
        QVERIFY(!settings->saveFolder());
        QVERIFY(!QSettings(iniPath, QSettings::IniFormat).contains("saveFolder"));
    }

    void storedHotKey_data()
    {
        QTest::addColumn<QVariant>("keyCode");
        QTest::addColumn<QVariant>("modifiers");
        QTest::addColumn<uint16_t>("expectedKey");
        QTest::addColumn<uint64_t>("expectedModifiers");
        QTest::newRow("key without modifiers")
            << QVariant(0) << QVariant() << uint16_t(0) << uint64_t(0);
        QTest::newRow("caps lock bit dropped")
            << QVariant(25) << QVariant(0x10000 | 0x100000) << uint16_t(25) << uint64_t(0x100000);
        QTest::newRow("high stray bits dropped")
            << QVariant(96) << QVariant(qlonglong(0xF00800000) | 0x20000) << uint16_t(96)
            << uint64_t(0x20000);
        QTest::newRow("key code keeps low 16 bits")
            << QVariant(0x10000 + 29) << QVariant(0x100000) << uint16_t(29) << uint64_t(0x100000);
        // Only an outside edit can store this; the default combination is used instead.
        QTest::newRow("negative modifiers")
            << QVariant(0) << QVariant(-1) << uint16_t(25) << uint64_t(0x120000);
    }
    void storedHotKey()
    {
        QFETCH(QVariant, keyCode);
        QFETCH(QVariant, modifiers);
        QFETCH(uint16_t, expectedKey);
        QFETCH(uint64_t, expectedModifiers);
        writeRaw(QStringLiteral("hotkeyKeyCode"), keyCode);
        if (modifiers.isValid())
            writeRaw(QStringLiteral("hotkeyModifiers"), modifiers);
        const HotKeyCombo combo = makeStore()->hotKey();
        QCOMPARE(combo.keyCode, expectedKey);
        QCOMPARE(combo.modifiers, expectedModifiers);
    }

    void damagedStoreReadsAsDefaults()
    {
        QFile f(iniPath);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray("\x00\xff[General\nhotkeyModifiers=@Variant(\x01)\n=\n", 40));
        f.close();
        auto settings = makeStore();
        QCOMPARE(settings->hotKey(), HotKeyCombo::standard);
        QCOMPARE(settings->saveWithoutDialog(), false);
        QCOMPARE(settings->effectiveSaveFolder(), picturesFolder());
        // Writing repairs it.
        settings->setSaveWithoutDialog(true);
        QCOMPARE(makeStore()->saveWithoutDialog(), true);
    }

    void unusableSaveFolderFallsBack()
    {
        auto settings = makeStore();
        const QString file = dir.filePath(QStringLiteral("not-a-folder.png"));
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        settings->setSaveFolder(file);
        QCOMPARE(settings->effectiveSaveFolder(), picturesFolder());
        QCOMPARE(settings->saveFolder(), std::optional<QString>(file));

        const QString gone = dir.filePath(QStringLiteral("deleted"));
        QVERIFY(QDir().mkpath(gone));
        settings->setSaveFolder(gone);
        QCOMPARE(settings->effectiveSaveFolder(), gone);
        QVERIFY(QDir(gone).removeRecursively());
        QCOMPARE(settings->effectiveSaveFolder(), picturesFolder());
        QCOMPARE(settings->saveFolder(), std::optional<QString>(gone));
    }

    void buildValues_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<bool>("present");
        QTest::addColumn<QString>("expected");
        const QString fallback = AppSettings::defaultServerUrl();
        QTest::newRow("absent") << QString() << false << fallback;
        QTest::newRow("empty") << QString("") << true << fallback;
        QTest::newRow("placeholder") << QString("__SERVER_URL__") << true << fallback;
        QTest::newRow("value kept as is") << QString("https://example.test/base/") << true
                                          << QString("https://example.test/base/");
        QTest::newRow("spaces are not trimmed") << QString(" x ") << true << QString(" x ");
    }
    void buildValues()
    {
        QFETCH(QString, stored);
        QFETCH(bool, present);
        QFETCH(QString, expected);
        QHash<QString, QString> info;
        if (present)
            info.insert(QStringLiteral("CorvaneServerUrl"), stored);
        QCOMPARE(AppSettings::buildValue(info, QStringLiteral("CorvaneServerUrl"),
                                         QStringLiteral("__SERVER_URL__"),
                                         AppSettings::defaultServerUrl()),
                 expected);
    }

    void defaultsAndVersionText()
    {
        const QUrl url(AppSettings::defaultServerUrl());
        QCOMPARE(url.scheme(), QStringLiteral("http"));
        QCOMPARE(url.port(), 8787);
        QVERIFY(!AppSettings::defaultServerUrl().endsWith(QLatin1Char('/')));
        QVERIFY(url.path().isEmpty());
        // Outside a bundle every build value takes its default.
        QCOMPARE(AppSettings::serverUrl(), AppSettings::defaultServerUrl());
        QCOMPARE(AppSettings::channel(), QStringLiteral("inspect"));
        QCOMPARE(AppSettings::version(), QStringLiteral("0.0.0"));
        QCOMPARE(AppSettings::versionText(), QStringLiteral("0.0.0 검수"));
        QCOMPARE(AppSettings::versionTextFor("production", "1.2.3"), QStringLiteral("1.2.3"));
        QCOMPARE(AppSettings::versionTextFor("Production", "1.2.3"), QStringLiteral("1.2.3 검수"));
        QCOMPARE(AppSettings::versionTextFor("beta", "1.2.3"), QStringLiteral("1.2.3 검수"));
    }

    void bundleLayout()
    {
        QCOMPARE(Bundle::bundlePathFor("/opt/x/corvane.app/Contents/MacOS"),
                 QStringLiteral("/opt/x/corvane.app"));
        QCOMPARE(Bundle::bundlePathFor("/opt/x/corvane.app/Contents/MacOS/"),
                 QStringLiteral("/opt/x/corvane.app"));
        QCOMPARE(Bundle::bundlePathFor("/usr/local/bin"), QStringLiteral("/usr/local/bin"));
        QCOMPARE(Bundle::bundlePathFor("/opt/Contents/MacOS"),
                 QStringLiteral("/opt/Contents/MacOS"));
    }

    void builtInfoPlistHoldsTheConfiguredValues()
    {
        // The build writes the three cache values (or their placeholders) verbatim.
        const auto info = Bundle::readInfoPlist(QStringLiteral(CORVANE_BUNDLE_DIR) +
                                                QStringLiteral("/Contents/Info.plist"));
        QCOMPARE(info.value("CorvaneServerUrl"), QStringLiteral(CORVANE_CONFIGURED_SERVER_URL));
        QCOMPARE(info.value("CorvaneChannel"), QStringLiteral(CORVANE_CONFIGURED_CHANNEL));
        QCOMPARE(info.value("CFBundleShortVersionString"),
                 QStringLiteral(CORVANE_CONFIGURED_VERSION));
    }

    void malformedInfoPlist_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("serverUrl");
        QTest::newRow("truncated")
            << QByteArray("<plist><dict><key>CorvaneServerUrl</key><str") << QString();
        QTest::newRow("not xml") << QByteArray("\x00\x01garbage", 9) << QString();
        QTest::newRow("non-string value")
            << QByteArray("<plist><dict><key>CorvaneServerUrl</key><integer>5</integer>"
                          "<key>CorvaneChannel</key><string>production</string></dict></plist>")
            << QString();
        QTest::newRow("nested dict ignored")
            << QByteArray("<plist><dict><key>x</key><dict><key>CorvaneServerUrl</key>"
                          "<string>http://nested</string></dict><key>CorvaneServerUrl</key>"
                          "<string>http://top</string></dict></plist>")
            << QString("http://top");
    }
    void malformedInfoPlist()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, serverUrl);
        const QString path = dir.filePath(QStringLiteral("Info.plist"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(content);
        f.close();
        const auto info = Bundle::readInfoPlist(path);
        QCOMPARE(info.value("CorvaneServerUrl"), serverUrl);
        QCOMPARE(AppSettings::buildValue(info, "CorvaneServerUrl", "__SERVER_URL__",
                                         AppSettings::defaultServerUrl()),
                 serverUrl.isEmpty() ? AppSettings::defaultServerUrl() : serverUrl);
        QVERIFY(Bundle::readInfoPlist(dir.filePath("missing.plist")).isEmpty());
    }

    void systemLogPassesTextAsData()
    {
        // Mirrored to standard error; format directives in the text must come out verbatim.
        const QString path = dir.filePath(QStringLiteral("stderr.txt"));
        QFile capture(path);
        QVERIFY(capture.open(QIODevice::WriteOnly));
        const int saved = dup(STDERR_FILENO);
        dup2(capture.handle(), STDERR_FILENO);
        systemLog(QStringLiteral("업데이트 실패: 100% %s %n %d"));
        fflush(stderr);
        dup2(saved, STDERR_FILENO);
        close(saved);
        capture.close();
        QVERIFY(capture.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(capture.readAll()),
                 QStringLiteral("corvane: 업데이트 실패: 100% %s %n %d\n"));
    }
};

QTEST_GUILESS_MAIN(TestAppSettings)
#include "tst_AppSettings.moc"
