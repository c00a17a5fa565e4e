#include "settings/Bundle.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QXmlStreamReader>

namespace Bundle {

QString bundlePathFor(const QString &executableDir)
{
    QDir dir(executableDir);
    const QString clean = QDir::cleanPath(dir.absolutePath());
    if (clean.endsWith(QLatin1String(".app/Contents/MacOS")))
        return QDir::cleanPath(clean + QLatin1String("/../.."));
    return clean;
}

QString bundlePath()
{
    return bundlePathFor(QCoreApplication::applicationDirPath());
}

QString resourcesPath()
{
    return bundlePath() + QLatin1String("/Contents/Resources");
}

QString executablePath()
{
    return QCoreApplication::applicationFilePath();
}

bool isPackageManagedAt(const QString &bundle)
{
    return QFileInfo::exists(bundle + QLatin1String("/Contents/Resources/package-managed"));
}

bool isPackageManaged()
{
    return isPackageManagedAt(bundlePath());
}

QString launcherPathFor(const QString &bundle, const QString &executable)
{
    const QFileInfo app(QDir::cleanPath(bundle));
    const QDir lib = app.dir();
    if (app.fileName() == QLatin1String("corvane.app") &&
        lib.dirName() == QLatin1String("corvane")) {
        QDir prefix = lib;
        if (prefix.cdUp() && prefix.dirName() == QLatin1String("lib") && prefix.cdUp()) {
            const QFileInfo launcher(prefix.filePath(QStringLiteral("bin/corvane")));
            if (launcher.isFile() && launcher.isExecutable())
                return launcher.filePath();
        }
    }
    return executable;
}

QString launcherPath()
{
    return launcherPathFor(bundlePath(), executablePath());
}

QHash<QString, QString> readInfoPlist(const QString &path)
{
    QHash<QString, QString> values;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return values;
    QXmlStreamReader xml(&file);
    // Only the top-level dict's direct children matter; nested containers are skipped.
    int dictDepth = 0;
    QString key;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement()) {
            const auto name = xml.name();
            if (name == QLatin1String("dict")) {
                ++dictDepth;
                if (dictDepth > 1) {
                    xml.skipCurrentElement();
                    --dictDepth;
                    key.clear();
                }
            } else if (dictDepth == 1 && name == QLatin1String("key")) {
                key = xml.readElementText();
            } else if (dictDepth == 1 && name == QLatin1String("string")) {
                const QString value = xml.readElementText();
                if (!key.isNull())
                    values.insert(key, value);
                key.clear();
            } else if (dictDepth == 1) {
                xml.skipCurrentElement();
                key.clear();
            }
        } else if (xml.isEndElement() && xml.name() == QLatin1String("dict")) {
            --dictDepth;
        }
    }
    if (xml.hasError())
        return {};
    return values;
}

const QHash<QString, QString> &info()
{
    static const QHash<QString, QString> values =
        readInfoPlist(bundlePath() + QLatin1String("/Contents/Info.plist"));
    return values;
}

QString versionAt(const QString &bundle)
{
    return readInfoPlist(bundle + QStringLiteral("/Contents/Info.plist"))
        .value(QStringLiteral("CFBundleShortVersionString"));
}

} // namespace Bundle
