#include <QDir>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include "settings/AppSettings.h"
#include "settings/Bundle.h"
#include "testkit/Files.h"

class TestAppSettings : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    const QString iniPath = dir.filePath("corvane.conf");
    // The desktop's Pictures folder in a home without a list of the user's folders.
    const QString pictures = dir.filePath("home/Pictures");

    std::unique_ptr<AppSettings> makeStore()
    {
        return std::make_unique<AppSettings>(
            std::make_unique<QSettings>(iniPath, QSettings::IniFormat));
    }

private slots:
    // A home of its own, whose Pictures folder a case takes away.
    void initTestCase()
    {
        qputenv("HOME", QFile::encodeName(dir.filePath("home")));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath("home/.config")));
        QVERIFY(QDir().mkpath(pictures));
    }

    // Writes go under their keys (the hotkey's are the settings window's case); every read
    // goes to the file, so any store sees them. From no file, and from a damaged one.
    void defaultsThenWritesPersist()
    {
        for (const QByteArray &file :
             {QByteArray(),
              QByteArray("\x00\xff[General\nhotkeyModifiers=@Variant(\x01)\n=\n", 40)}) {
            QFile::remove(iniPath);
            QVERIFY(file.isNull() || testkit::writeFile(iniPath, file));
            auto settings = makeStore();
            QCOMPARE(settings->hotKey(), HotKeyCombo::standard);
            QCOMPARE(settings->saveFolder(), std::nullopt);
            QCOMPARE(settings->effectiveSaveFolder(), pictures);

            const QString folder = dir.filePath(file.isNull() ? "from none" : "from damaged");
            QVERIFY(QDir().mkpath(folder));
            settings->setSaveFolder(folder);
            settings->setSaveWithoutDialog(true);
            QVERIFY(QSettings(iniPath, QSettings::IniFormat).value("saveWithoutDialog").toBool());
            auto other = makeStore();
            QCOMPARE(other->effectiveSaveFolder(), folder);
            // A folder that is gone, or now a file, is not used but stays chosen.
            QVERIFY(QDir(folder).removeRecursively());
            QCOMPARE(other->effectiveSaveFolder(), pictures);
            QVERIFY(testkit::writeFile(folder, ""));
            QCOMPARE(other->effectiveSaveFolder(), pictures);
            // Nor is a Pictures folder that is gone: then the home folder is.
            QVERIFY(QDir(pictures).removeRecursively());
            QCOMPARE(other->effectiveSaveFolder(), QDir::homePath());
            QVERIFY(QDir().mkpath(pictures));
            other->setSaveFolder(std::nullopt);
            QVERIFY(!settings->saveFolder());
        }
    }

    // The combination read from the file's text: the key code, then the modifiers in
    // hexadecimal.
    void storedHotKey()
    {
        const std::pair<QByteArray, QString> rows[] = {
            // Damaged ones: the default combination, not the A key with the stored modifiers.
            {"hotkeyKeyCode=not a number\nhotkeyModifiers=1179648", "25 120000"},
            {"hotkeyKeyCode=9\nhotkeyModifiers=ctrl", "25 120000"},
            // 0x1001D, whose low 16 bits are 29, and 0xF10000: Control, and the flags of Caps
            // Lock, the numeric pad, Help and Fn, which are not modifiers of the combination.
            {"hotkeyKeyCode=65565\nhotkeyModifiers=15794176", "29 100000"},
            {"hotkeyKeyCode=0\nhotkeyModifiers=-1", "25 120000"}};
        for (const auto &[ini, expected] : rows) {
            QVERIFY(testkit::writeFile(iniPath, "[General]\n" + ini));
            const HotKeyCombo combo = makeStore()->hotKey();
            QCOMPARE(QString::number(combo.keyCode) + ' ' + QString::number(combo.modifiers, 16),
                     expected);
        }
    }

    // The server address a bundle's Info.plist gives, or the default.
    void serverUrlFromInfoPlist()
    {
        const auto dict = [](const QByteArray &entries) {
            return "<plist><dict>" + entries + "</dict></plist>";
        };
        const auto url = [](const QByteArray &value) {
            return "<key>CorvaneServerUrl</key><string>" + value + "</string>";
        };
        const QString fallback = AppSettings::defaultServerUrl();
        // The file (none for a null one) and the address it gives.
        const std::pair<QByteArray, QString> rows[] = {
            {QByteArray(), fallback},
            {dict(url("")), fallback},
            {dict(url("__SERVER_URL__")), fallback},
            {dict(url(" x ")), " x "},                       // not trimmed
            {dict(url("http://cut")).chopped(15), fallback}, // cut short after a value
            {dict("<key>CorvaneServerUrl</key><integer>5</integer>"
                  "<key>CorvaneChannel</key><string>production</string>"),
             fallback},
            {dict(url("http://top") + "<key>x</key><dict>" + url("http://nested") + "</dict>"),
             "http://top"}};
        const QString path = dir.filePath("Info.plist");
        for (const auto &[plist, expected] : rows) {
            QFile::remove(path);
            QVERIFY(plist.isNull() || testkit::writeFile(path, plist));
            QCOMPARE(AppSettings::buildValue(Bundle::readInfoPlist(path), "CorvaneServerUrl",
                                             "__SERVER_URL__", fallback),
                     expected);
        }
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
        for (const QString folder : {"/usr/local/bin", "/opt/Contents/MacOS"})
            QCOMPARE(Bundle::bundlePathFor(folder), folder);
    }
};

QTEST_GUILESS_MAIN(TestAppSettings)
#include "tst_AppSettings.moc"
