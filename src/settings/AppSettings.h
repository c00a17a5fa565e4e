#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QVariant>

#include <memory>
#include <optional>
#include <utility>

#include "hotkey/HotKeyCombo.h"

class QSettings;

// The user's settings (persisted, never cached: every read goes to the store) and the
// bundle's build-time values (read once, then constant).
class AppSettings
{
public:
    // The process-wide store, on the user's default preferences file.
    static AppSettings &shared();
    // A store on the given settings object, for tools and tests that need their own file.
    explicit AppSettings(std::unique_ptr<QSettings> store);
    ~AppSettings();

    HotKeyCombo hotKey() const;
    void setHotKey(const HotKeyCombo &combo);

    std::optional<QString> saveFolder() const;
    void setSaveFolder(const std::optional<QString> &folder);

    bool saveWithoutDialog() const;
    void setSaveWithoutDialog(bool value);

    // Where the user's settings are kept, and whether the last change reached it: one that
    // cannot be written keeps changes for this run only.
    QString storePath() const;
    bool isStored() const;

    // The stored folder if it is an existing directory, else the user's Pictures folder if it
    // is one, else the home folder. Never created here.
    QString effectiveSaveFolder() const;

    static QString serverUrl();
    static QString channel();
    static QString version();
    static QString versionText();
    // The base64 of the public key that update archives are signed with; empty when unset.
    static QString updateKey();

    static QString defaultServerUrl() { return QStringLiteral("http://127.0.0.1:8787"); }
    // A build-time value from an info table: used unless absent, empty or the placeholder.
    static QString buildValue(const QHash<QString, QString> &info, const QString &key,
                              const QString &placeholder, const QString &fallback);
    static QString versionTextFor(const QString &channel, const QString &version);

private:
    // Sets each key to its value (an invalid one removes the key) and writes the file.
    void write(const QList<std::pair<QString, QVariant>> &values);

    std::unique_ptr<QSettings> m_defaults;
    bool m_stored = true;
};
