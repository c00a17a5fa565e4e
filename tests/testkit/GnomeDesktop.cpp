#include "testkit/WaylandDesktop.h"

#include <QPainter>

#include <algorithm>

namespace testkit {

namespace {

// Runs the shell with the virtual monitors $2 laid out as $3 (for ApplyMonitorsConfig) and
// says READY like the sway session (see WaylandDesktop.cpp). The shell reads logind over the
// system bus wherever systemd's seats exist and dies without one: a private bus stands in.
// Settings live in a file of the session's home: the wallpaper $4 spans the monitors pixel
// for pixel, no banner covers it, and an extension of our own puts the shell in its unsafe
// mode, which admits any client of the session to the shell's own calls (its windows, its
// screenshots), closes the overview that the shell ends its start in (a window made
// there shows as a thumbnail) and keeps the top bar's screen-sharing indicator hidden, as a
// click there would end the input helper's remote-desktop session. The portal reads only GNOME's
// and GTK's back ends, and the screenshot permission is granted before the first capture, as a
// user's earlier Allow would.
const char kSession[] = R"(export XDG_CURRENT_DESKTOP=GNOME GSETTINGS_BACKEND=keyfile
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/system_bus_socket"
portals 'gnome*' gtk
dbus-daemon --session --address="$DBUS_SYSTEM_BUS_ADDRESS" --nofork --nopidfile &
ext="$HOME/.local/share/gnome-shell/extensions/unsafe@corvane.test"
mkdir -p "$ext" "$HOME/.config/glib-2.0/settings"
echo '{"uuid": "unsafe@corvane.test", "name": "unsafe", "description": "unsafe",
    "shell-version": ["43"]}' >"$ext/metadata.json"
echo 'const Main = imports.ui.main;
function init() { return { enable() { global.context.unsafe_mode = true;
    Main.panel.statusArea.screenSharing._sync = () => {};
    Main.layoutManager.connect("startup-complete", () => Main.overview.hide()); },
    disable() {} }; }' >"$ext/extension.js"
cat >"$HOME/.config/glib-2.0/settings/keyfile" <<EOF
[org/gnome/shell]
enabled-extensions=['unsafe@corvane.test', 'ubuntu-appindicators@ubuntu.com']
[org/gnome/desktop/notifications]
show-banners=false
[org/gnome/desktop/background]
picture-uri='file://$4'
picture-uri-dark='file://$4'
picture-options='spanned'
EOF
gnome-shell --headless --wayland --no-x11 $2 &
# Calls method $2 of the service $1, at the object path and interface named as the service.
call() {
    s=$1 m=$2; shift 2
    gdbus call --session --dest $s --object-path /$(echo $s | tr . /) --method $s.$m "$@"
}
shell() { call org.gnome.Shell Eval "$1"; }
up() { [ -S "$XDG_RUNTIME_DIR/wayland-0" ] && shell 1 2>/dev/null | grep -q true; }
poll 3 up
export WAYLAND_DISPLAY=wayland-0
dbus-update-activation-environment --all
pipewire >/dev/null 2>&1 &
wireplumber >/dev/null 2>&1 &
# The layout changes once the shell has started: changed while it starts, it never ends.
started() { shell 'Main.layoutManager._startingUp || Main.overview.visible' | grep -q "'false'"; }
poll 8 started
serial=$(call org.gnome.Mutter.DisplayConfig GetCurrentState | sed -n 's/^(uint32 \([0-9]*\),.*/\1/p')
call org.gnome.Mutter.DisplayConfig ApplyMonitorsConfig "$serial" 1 "$3" {} >/dev/null || exit 6
call org.freedesktop.impl.portal.PermissionStore SetPermission \
    screenshot true screenshot "''" "['yes']" >/dev/null || exit 7
ready="HOME=$HOME WAYLAND_DISPLAY=$XDG_RUNTIME_DIR/wayland-0 XDG_CURRENT_DESKTOP=GNOME"
)";

} // namespace

int GnomeDesktop::pixelX(qsizetype i) const
{
    int x = 0;
    for (qsizetype j = 0; j < i; ++j)
        x += outputs()[j].pixels.width();
    return x;
}

bool GnomeDesktop::prepare(const QTemporaryDir &dir, QByteArray *script, QStringList *args) const
{
    QString monitors, layout;
    const int height = std::ranges::max(outputs(), {}, [](const Output &o) {
                           return o.pixels.height();
                       }).pixels.height();
    QImage wallpaper(pixelX(outputs().size()), height, QImage::Format_RGB32);
    wallpaper.fill(Qt::black);
    QPainter painter(&wallpaper);
    for (qsizetype i = 0; i < outputs().size(); ++i) {
        const Output &o = outputs()[i];
        const QString mode = QString("%1x%2").arg(o.pixels.width()).arg(o.pixels.height());
        monitors += " --virtual-monitor " + mode;
        layout += QString::asprintf("%s(%d, 0, %d.0, 0, %s, [('Meta-%lld', '%s@60.000', {})])",
                                    i ? ", " : "", pixelX(i), o.scale, i ? "false" : "true", i,
                                    qPrintable(mode));
        painter.drawImage(pixelX(i), 0, o.wallpaper);
    }
    painter.end();
    const QString file = dir.filePath("wallpaper.png");
    *script = kSession;
    *args = {monitors, '[' + layout + ']', file};
    return wallpaper.save(file);
}

QStringList GnomeDesktop::helper() const
{
    QStringList command{"/usr/bin/python3", readable(CORVANE_GNOME_INPUT)};
    for (qsizetype i = 0; i < outputs().size(); ++i)
        command << QString("%1:%2").arg(place(i).x()).arg(outputs()[i].scale);
    return command;
}

QImage GnomeDesktop::screen() const
{
    const QImage shot = HelperDesktop::screen();
    // Each monitor's pixels, a monitor at a lower scale enlarged pixel for pixel.
    const int scale = std::ranges::max(outputs(), {}, &Output::scale).scale;
    QRect layout;
    for (qsizetype i = 0; i < outputs().size(); ++i)
        layout |= place(i);
    QImage image(layout.size() * scale, QImage::Format_RGB32);
    QPainter painter(&image);
    for (qsizetype i = 0; i < outputs().size(); ++i)
        painter.drawImage(QRect(place(i).topLeft() * scale, place(i).size() * scale), shot,
                          QRect(QPoint(pixelX(i), 0), outputs()[i].pixels));
    return image;
}

QRect GnomeDesktop::points(const QRect &pixels) const
{
    qsizetype o = outputs().size() - 1;
    while (o > 0 && pixels.x() < pixelX(o))
        --o;
    const int s = outputs()[o].scale;
    return {place(o).topLeft() + (pixels.topLeft() - QPoint(pixelX(o), 0)) / s, pixels.size() / s};
}

} // namespace testkit
