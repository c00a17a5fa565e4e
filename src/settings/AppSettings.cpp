#include "settings/AppSettings.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include "settings/Bundle.h"

namespace {
const QString kKeyCode = QStringLiteral("hotkeyKeyCode");
const QString kModifiers = QStringLiteral("hotkeyModifiers");
const QString kSaveFolder = QStringLiteral("saveFolder");
const QString kSaveWithoutDialog = QStringLiteral("saveWithoutDialog");
} // namespace

AppSettings &AppSettings::shared()
{
    static AppSettings *instance = new AppSettings(
        std::make_unique<QSettings>(QStringLiteral("corvane"), QStringLiteral("corvane")));
    return *instance;
}

AppSettings::AppSettings(std::unique_ptr<QSettings> store) : m_defaults(std::move(store)) {}

AppSettings::~AppSettings() = default;

HotKeyCombo AppSettings::hotKey() const
{
    if (!m_defaults->contains(kKeyCode))
        return HotKeyCombo::standard;
    bool codeRead = false, modifiersRead = false;
    const qlonglong code = m_defaults->value(kKeyCode).toLongLong(&codeRead);
    const qlonglong modifiers = m_defaults->value(kModifiers, 0).toLongLong(&modifiersRead);
    // Unreadable values or a negative modifier set can only come from outside edits: read as
    // zero, they would make a combination the user never chose (Shift+Ctrl+A, say).
    if (!codeRead || !modifiersRead || modifiers < 0)
        return HotKeyCombo::standard;
    return HotKeyCombo(uint16_t(code & 0xFFFF), uint64_t(modifiers));
}

void AppSettings::setHotKey(const HotKeyCombo &combo)
{
    write({{kKeyCode, int(combo.keyCode)}, {kModifiers, qlonglong(combo.modifiers)}});
}

void AppSettings::write(const QList<std::pair<QString, QVariant>> &values)
{
    for (const auto &[key, value] : values)
        value.isValid() ? m_defaults->setValue(key, value) : m_defaults->remove(key);
    m_defaults->sync();
    // A store keeps its first error for good, even once its file can be written again; a new
    // one on the same file tells whether what is still unwritten can be written now.
    QSettings now(m_defaults->fileName(), m_defaults->format());
    now.sync();
    m_stored = now.status() == QSettings::NoError;
}

std::optional<QString> AppSettings::saveFolder() const
{
    const QVariant value = m_defaults->value(kSaveFolder);
    if (!value.isValid())
        return std::nullopt;
    return value.toString();
}

void AppSettings::setSaveFolder(const std::optional<QString> &folder)
{
    write({{kSaveFolder, folder ? QVariant(*folder) : QVariant()}});
}

bool AppSettings::saveWithoutDialog() const
{
    return m_defaults->value(kSaveWithoutDialog, false).toBool();
}

void AppSettings::setSaveWithoutDialog(bool value)
{
    write({{kSaveWithoutDialog, value}});
}

QString AppSettings::storePath() const
{
    return m_defaults->fileName();
}

bool AppSettings::isStored() const
{
    return m_stored;
}

QString AppSettings::effectiveSaveFolder() const
{
    if (const auto folder = saveFolder(); folder && !folder->isEmpty()) {
        const QFileInfo info(*folder);
        if (info.exists() && info.isDir())
            return info.absoluteFilePath();
    }
    // Minimal installs have no Pictures folder, and a renamed one is still named by the
    // desktop's folder list: neither can take a file.
    const QString pictures =
        QStandardPaths::standardLocations(QStandardPaths::PicturesLocation).value(0);
    if (!pictures.isEmpty() && QFileInfo(pictures).isDir())
        return pictures;
    return QDir::homePath();
}

QString AppSettings::buildValue(const QHash<QString, QString> &info, const QString &key,
                                const QString &placeholder, const QString &fallback)
{
    const auto it = info.constFind(key);
    if (it == info.cend() || it->isEmpty() || *it == placeholder)
        return fallback;
    return *it;
}

QString AppSettings::serverUrl()
{
    static const QString value = buildValue(Bundle::info(), QStringLiteral("CorvaneServerUrl"),
                                            QStringLiteral("__SERVER_URL__"), defaultServerUrl());
    return value;
}

QString AppSettings::channel()
{
    static const QString value =
        buildValue(Bundle::info(), QStringLiteral("CorvaneChannel"), QStringLiteral("__CHANNEL__"),
                   QStringLiteral("inspect"));
    return value;
}

QString AppSettings::version()
{
    static const QString value =
        buildValue(Bundle::info(), QStringLiteral("CFBundleShortVersionString"),
                   QStringLiteral("__VERSION__"), QStringLiteral("0.0.0"));
    return value;
}

QString AppSettings::updateKey()
{
    static const QString value = buildValue(Bundle::info(), QStringLiteral("CorvaneUpdateKey"),
                                            QStringLiteral("__UPDATE_KEY__"), QString());
    return value;
}

QString AppSettings::versionText()
{
    return versionTextFor(channel(), version());
}

QString AppSettings::versionTextFor(const QString &channel, const QString &version)
{
    if (channel == QLatin1String("production"))
        return version;
    return version + QStringLiteral(" 검수");
}
