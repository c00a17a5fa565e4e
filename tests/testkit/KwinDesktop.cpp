#include "testkit/KwinDesktop.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QThread>

#include "testkit/Files.h"

namespace testkit {

namespace {

// Runs KWin with the outputs $3 ("--width W --height H --output-count N"), scaled and placed by
// kscreen-doctor ($4), says READY like the sway session (see WaylandDesktop.cpp) once the helper
// $2 shows the wallpapers $5 (OUTPUT=FILE, separated by spaces) on them. The installed kwin_wayland
// carries a file capability that this container cannot grant: a copy beside the script runs
// instead. Without
// --no-lockscreen KWin locks the screen after five minutes. The portal reads only KDE's back
// end, which writes its pictures into a Pictures folder and fails without one.
const char kSession[] = R"(#!/bin/sh
trap 'echo "session: exit $?" >&2; kill 0' EXIT
export XDG_CURRENT_DESKTOP=KDE XDG_SESSION_TYPE=wayland NO_AT_BRIDGE=1
export XDG_DESKTOP_PORTAL_DIR="$XDG_RUNTIME_DIR/portals"
mkdir "$XDG_DESKTOP_PORTAL_DIR" "$HOME/Pictures"
cp /usr/share/xdg-desktop-portal/portals/kde.portal "$XDG_DESKTOP_PORTAL_DIR/" || exit 5
"$XDG_RUNTIME_DIR/../kwin_wayland" --virtual $3 --no-lockscreen --socket wayland-kde \
    2>"$XDG_RUNTIME_DIR/kwin.log" &
n=0
until [ -S "$XDG_RUNTIME_DIR/wayland-kde" ]; do
    n=$((n + 1)); [ $n -lt 300 ] || exit 3; sleep 0.05
done
export WAYLAND_DISPLAY=wayland-kde
dbus-update-activation-environment WAYLAND_DISPLAY XDG_CURRENT_DESKTOP XDG_SESSION_TYPE \
    XDG_RUNTIME_DIR NO_AT_BRIDGE XDG_DESKTOP_PORTAL_DIR
kscreen-doctor $4 >/dev/null 2>&1 || exit 6
kded5 >/dev/null 2>&1 &
"$2" wallpaper $5 >"$XDG_RUNTIME_DIR/wallpaper.out" 2>&1 &
n=0
until grep -q shown "$XDG_RUNTIME_DIR/wallpaper.out"; do
    n=$((n + 1)); [ $n -lt 300 ] || exit 7; sleep 0.05
done
ready="WAYLAND_DISPLAY=$XDG_RUNTIME_DIR/wayland-kde XDG_CURRENT_DESKTOP=KDE"
)";

QString outputName(qsizetype i)
{
    return QString("Virtual-%1").arg(i);
}

} // namespace

bool KwinDesktop::prepare(const QTemporaryDir &dir, QByteArray *script, QStringList *args) const
{
    const QSize size = outputs().value(0).pixels;
    QString layout;
    QStringList wallpapers;
    for (qsizetype i = 0; i < outputs().size(); ++i) {
        // KWin's virtual outputs all have the one size it was started with.
        if (outputs()[i].pixels != size)
            return false;
        layout += QString(" output.%1.scale.%2 output.%1.position.%3,0")
                      .arg(outputName(i))
                      .arg(outputs()[i].scale)
                      .arg(place(i).x());
        QImage wallpaper = outputs()[i].wallpaper;
        if (wallpaper.isNull()) {
            wallpaper = QImage(size, QImage::Format_RGB32);
            wallpaper.fill(QColor(0x20, 0x40, 0x60));
        }
        const QString file = dir.filePath(QString("wallpaper%1.png").arg(i));
        if (!wallpaper.save(file))
            return false;
        wallpapers << outputName(i) + '=' + file;
    }
    const QString kwin = dir.filePath("kwin_wayland");
    if (!QFile::copy("/usr/bin/kwin_wayland", kwin) ||
        !QFile::setPermissions(kwin, QFile::permissions(kwin) | QFile::ExeOther | QFile::ReadOther))
        return false;
    const QString helperPath = readable(CORVANE_TEST_KWIN);
    *script = kSession;
    *args = QStringList{helperPath,
                        QString("--width %1 --height %2 --output-count %3")
                            .arg(size.width())
                            .arg(size.height())
                            .arg(outputs().size()),
                        layout.trimmed(), wallpapers.join(' ')};
    // The helper is admitted before KWin starts, so at once.
    const QString applications = dir.filePath("runtime/.local/share/applications");
    return QDir().mkpath(applications) &&
           writeFile(applications + "/corvane-kwin-helper.desktop",
                     "[Desktop Entry]\nType=Application\nName=corvane test desktop\nExec=" +
                         helperPath.toUtf8() +
                         "\nNoDisplay=true\nX-KDE-Wayland-Interfaces=org_kde_kwin_fake_input\n"
                         "X-KDE-DBUS-Restricted-Interfaces=org.kde.KWin.ScreenShot2\n") &&
           QProcess::execute("chown", {"-R", user, dir.filePath("runtime/.local")}) == 0;
}

QStringList KwinDesktop::helper() const
{
    return {CORVANE_TEST_KWIN};
}

bool KwinDesktop::admit(const QString &program) const
{
    const QString applications =
        environment().value("XDG_RUNTIME_DIR") + "/.local/share/applications";
    const QByteArray id =
        QCryptographicHash::hash(program.toUtf8(), QCryptographicHash::Md5).toHex().left(12);
    const QString file = applications + "/corvane-under-test-" + id + ".desktop";
    if (QFile::exists(file))
        return true;
    if (!writeFile(file, "[Desktop Entry]\nType=Application\nName=corvane under test\nExec=" +
                             program.toUtf8() +
                             "\nNoDisplay=true\n"
                             "X-KDE-DBUS-Restricted-Interfaces=org.kde.KWin.ScreenShot2\n"))
        return false;
    // KWin notices a new desktop file about two seconds after it appears.
    QThread::msleep(3000);
    return true;
}

QImage KwinDesktop::screen() const
{
    return shot("screen.bmp");
}

QList<WaylandDesktop::Window> KwinDesktop::windows() const
{
    const QByteArray answer = ask("windows");
    if (!answer.startsWith("ok "))
        return {};
    QList<Window> found;
    for (const QJsonValue &v : QJsonDocument::fromJson(answer.mid(3)).array()) {
        const QJsonArray w = v.toArray();
        found.append({w[0].toString(),
                      QRect(w[1].toInt(), w[2].toInt(), w[3].toInt(), w[4].toInt()), w[5].toBool(),
                      w[6].toBool(), !w[6].toBool()});
    }
    std::ranges::stable_sort(found, {}, [](const Window &w) { return w.rect.x(); });
    return found;
}

} // namespace testkit
