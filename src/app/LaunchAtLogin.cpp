#include "app/LaunchAtLogin.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QStandardPaths>

#include "settings/Bundle.h"

namespace {

bool fail(QString *error, const QString &path, const QString &why)
{
    if (error)
        *error = path + QStringLiteral(": ") + why;
    return false;
}

} // namespace

LaunchAtLogin LaunchAtLogin::mainApp()
{
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return LaunchAtLogin(config + QStringLiteral("/autostart/corvane.desktop"),
                         Bundle::launcherPath());
}

LaunchAtLogin::LaunchAtLogin(QString entryPath, QString program)
    : m_entryPath(std::move(entryPath)), m_program(std::move(program))
{}

bool LaunchAtLogin::isEnabled() const
{
    QFile file(m_entryPath);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    // Switched off any way: hidden, or disabled as GNOME's or MATE's own tools write it.
    const QHash<QByteArray, QByteArray> off{{"Hidden", "true"},
                                            {"X-GNOME-Autostart-enabled", "false"},
                                            {"X-MATE-Autostart-enabled", "false"}};
    bool inMainGroup = false;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        const qsizetype eq = line.indexOf('=');
        if (line.startsWith('['))
            inMainGroup = line == "[Desktop Entry]";
        else if (const auto it = off.constFind(line.left(eq).trimmed());
                 inMainGroup && eq > 0 && it != off.cend() && *it == line.mid(eq + 1).trimmed())
            return false;
    }
    return true;
}

bool LaunchAtLogin::registerLoginItem(QString *error) const
{
    QDir().mkpath(QFileInfo(m_entryPath).absolutePath());
    QSaveFile file(m_entryPath);
    if (!file.open(QIODevice::WriteOnly))
        return fail(error, m_entryPath, file.errorString());
    const QString entry = QStringLiteral("[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=corvane\n"
                                         "Comment=화면 캡처\n"
                                         "Exec=%1\n"
                                         "Icon=corvane\n"
                                         "Terminal=false\n")
                              .arg(execValue(m_program));
    file.write(entry.toUtf8());
    if (!file.commit())
        return fail(error, m_entryPath, file.errorString());
    return true;
}

bool LaunchAtLogin::unregisterLoginItem(QString *error) const
{
    QFile file(m_entryPath);
    if (!file.exists() || file.remove())
        return true;
    return fail(error, m_entryPath, file.errorString());
}

QString LaunchAtLogin::execValue(const QString &program)
{
    // Inside a quoted argument the characters " ` $ \ take a backslash, and % is doubled for
    // the field codes. The string value's own escapes apply on top, so each backslash is
    // then written twice.
    QString quoted = QStringLiteral("\"");
    for (const QChar c : program) {
        if (c == u'"' || c == u'`' || c == u'$')
            quoted += QStringLiteral("\\\\") + c;
        else if (c == u'\\')
            quoted += QStringLiteral("\\\\\\\\");
        else if (c == u'%')
            quoted += QStringLiteral("%%");
        else if (c == u'\n')
            quoted += QStringLiteral("\\n");
        else if (c == u'\t')
            quoted += QStringLiteral("\\t");
        else if (c == u'\r')
            quoted += QStringLiteral("\\r");
        else
            quoted += c;
    }
    return quoted + u'"';
}
