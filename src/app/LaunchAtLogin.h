#pragma once

#include <QString>

// The application's own login item: a desktop-session autostart entry that starts the
// program at login. Enabled means the entry exists and is neither hidden nor disabled.
class LaunchAtLogin
{
public:
    // The item of the running bundle, in the user's autostart folder (XDG_CONFIG_HOME).
    static LaunchAtLogin mainApp();
    LaunchAtLogin(QString entryPath, QString program);

    bool isEnabled() const;
    // Each returns false and says why in *error when the entry cannot be written or removed.
    bool registerLoginItem(QString *error = nullptr) const;
    bool unregisterLoginItem(QString *error = nullptr) const;

    // The program as one quoted Exec argument, escaped for a desktop entry's string value.
    static QString execValue(const QString &program);

private:
    QString m_entryPath;
    QString m_program;
};
