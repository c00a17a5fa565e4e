#pragma once

#include <QHash>
#include <QString>

// The application folder the running executable belongs to, laid out as
// X.app/Contents/{Info.plist, MacOS/exe, Resources/}.
namespace Bundle {

// …/X.app for an executable at …/X.app/Contents/MacOS/exe; otherwise the executable's own
// folder.
QString bundlePathFor(const QString &executableDir);
QString bundlePath();
QString resourcesPath();
QString executablePath();

// True when the system package manager installed this bundle and so owns its files: the
// package ships a marker that no other install path creates.
bool isPackageManagedAt(const QString &bundle);
bool isPackageManaged();

// What a desktop entry or login item should start: <prefix>/bin/corvane when the bundle is
// installed as <prefix>/lib/corvane/corvane.app and that launcher exists, so that entries keep
// working when the bundle is swapped; otherwise the given executable.
QString launcherPathFor(const QString &bundle, const QString &executable);
QString launcherPath();

// The string values of a property list's top-level dictionary. Values of any other type
// are left out, so that callers treat them as absent. A missing or malformed file gives an
// empty table.
QHash<QString, QString> readInfoPlist(const QString &path);
// The running bundle's Info.plist, read once.
const QHash<QString, QString> &info();
// The version a bundle's Info.plist gives (CFBundleShortVersionString), or empty.
QString versionAt(const QString &bundle);

} // namespace Bundle
