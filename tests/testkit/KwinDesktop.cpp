#include "testkit/WaylandDesktop.h"

#include <QDir>

#include "testkit/Files.h"

namespace testkit {

namespace {

// Runs KWin with the outputs $3 ("--width W --height H --output-count N"), scaled and placed by
// kscreen-doctor ($4), and says READY like the sway session (see WaylandDesktop.cpp) once the
// helper $2 shows the pictures of the folder $5 (OUTPUT.png) on the outputs. The installed
// kwin_wayland carries a file capability that this container cannot grant: a copy beside the
// script runs instead. Without --no-lockscreen KWin locks the screen after five minutes. KDE's
// portal writes its pictures into a Pictures folder and fails without one.
const char kSession[] = R"(export XDG_CURRENT_DESKTOP=KDE
portals kde
mkdir "$HOME/Pictures"
"$XDG_RUNTIME_DIR/../kwin_wayland" --virtual $3 --no-lockscreen --socket wayland-kde \
    2>"$XDG_RUNTIME_DIR/kwin.log" &
poll 3 test -S "$XDG_RUNTIME_DIR/wayland-kde"
export WAYLAND_DISPLAY=wayland-kde
dbus-update-activation-environment --all
kscreen-doctor $4 >/dev/null 2>&1 || exit 6
kded5 >/dev/null 2>&1 &
# kded5 loads the tray watcher only in a start phase that no session manager starts here.
tray() {
    gdbus call --session --dest org.kde.kded5 --object-path /kded \
        --method org.kde.kded5.loadModule statusnotifierwatcher | grep -q true
}
poll 8 tray
"$2" wallpaper "$5" >"$XDG_RUNTIME_DIR/wallpaper.out" 2>&1 &
poll 7 grep -q shown "$XDG_RUNTIME_DIR/wallpaper.out"
ready="HOME=$HOME WAYLAND_DISPLAY=$XDG_RUNTIME_DIR/wayland-kde XDG_CURRENT_DESKTOP=KDE"
)";

// A desktop file that admits program to KWin's screenshots and, with input, to its fake input.
QByteArray admission(const QString &program, bool input)
{
    return "[Desktop Entry]\nType=Application\nName=corvane\nNoDisplay=true\nExec=" +
           program.toUtf8() + "\nX-KDE-DBUS-Restricted-Interfaces=org.kde.KWin.ScreenShot2\n" +
           (input ? "X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input\n" : "");
}

} // namespace

bool KwinDesktop::prepare(const QTemporaryDir &dir, QByteArray *script, QStringList *args) const
{
    const QSize size = outputs().value(0).pixels;
    QString layout;
    for (qsizetype i = 0; i < outputs().size(); ++i) {
        const QString name = QString("Virtual-%1").arg(i);
        // KWin's virtual outputs all have the one size it was started with.
        if (outputs()[i].pixels != size ||
            !outputs()[i].wallpaper.save(dir.filePath(name + ".png")))
            return false;
        layout += QString::asprintf(" output.%s.scale.%d output.%s.position.%d,0", qPrintable(name),
                                    outputs()[i].scale, qPrintable(name), place(i).x());
    }
    const QString kwin = dir.filePath("kwin_wayland"), helper = readable(CORVANE_TEST_HELPER);
    const QString applications = dir.filePath("runtime/.local/share/applications");
    *script = kSession;
    *args = QStringList{helper,
                        QString::asprintf("--width %d --height %d --output-count %lld",
                                          size.width(), size.height(), outputs().size()),
                        layout.trimmed(), dir.path()};
    // Admitted before KWin starts, so at once: KWin finds a desktop file that appears later
    // only some seconds after, and shows nothing that tells when it has.
    bool admitted = QFile::copy("/usr/bin/kwin_wayland", kwin) &&
                    QFile::setPermissions(kwin, QFile::permissions(kwin) | QFile::ExeOther |
                                                    QFile::ReadOther) &&
                    QDir().mkpath(applications) &&
                    writeFile(applications + "/corvane-helper.desktop", admission(helper, true));
    for (qsizetype i = 0; admitted && i < m_admitted.size(); ++i)
        admitted = writeFile(QString("%1/corvane-%2.desktop").arg(applications).arg(i),
                             admission(readable(m_admitted[i]), false));
    return admitted &&
           QProcess::execute("chown", {"-R", user, dir.filePath("runtime/.local")}) == 0;
}

} // namespace testkit
