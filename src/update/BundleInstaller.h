#pragma once

#include <QString>
#include <QStringList>

#include <functional>

#include "update/ReadyUpdate.h"

// Swaps the running bundle for an unpacked new one, keeping the old one beside it at
// oldPathFor(bundle), and starts the new copy. Runs on the main thread while the
// application is idle.
class BundleInstaller
{
public:
    enum class Outcome
    {
        // The new bundle is in place and started; the caller quits.
        Relaunched,
        // Nothing changed (the old bundle was put back, also when the new one could not
        // start); the update is dropped.
        Failed,
        // The bundle's folder cannot be written, or a version at least as new was installed
        // there meanwhile: this process can install no update.
        Skipped,
    };

    // Starts a program with arguments, detached from this process.
    using Launch = std::function<bool(const QString &program, const QStringList &arguments)>;

    BundleInstaller(QString bundlePath, Launch launch);

    // Where the replaced bundle is kept: its own name with ".old" appended, beside it.
    static QString oldPathFor(const QString &bundlePath);

    // Installs the update and removes its staging folder. Every failure is logged.
    Outcome apply(const ReadyUpdate &update) const;

private:
    QString bundlePath;
    Launch launch;
};
