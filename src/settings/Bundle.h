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

// The string values of a property list's top-level dictionary. Values of any other type
// are left out, so that callers treat them as absent. A missing or malformed file gives an
// empty table.
QHash<QString, QString> readInfoPlist(const QString &path);
// The running bundle's Info.plist, read once.
const QHash<QString, QString> &info();

} // namespace Bundle
