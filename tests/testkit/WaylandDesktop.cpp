#include "testkit/WaylandDesktop.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <csignal>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "testkit/Files.h"
#include "testkit/XServer.h"

namespace testkit {

namespace {

// The start of every desktop's session script: what every session exports, portals NAME...,
// which has the portal read only the named back ends (with every installed one it would take a
// service from another desktop's), and poll CODE COMMAND..., which waits up to 30 seconds for
// COMMAND to succeed and otherwise ends the session with CODE.
const char kSessionStart[] = R"(#!/bin/sh
trap 'echo "session: exit $?" >&2; kill 0' EXIT
export XDG_SESSION_TYPE=wayland NO_AT_BRIDGE=1 GTK_USE_PORTAL=0
export XDG_DESKTOP_PORTAL_DIR="$XDG_RUNTIME_DIR/portals"
portals() {
    mkdir -p "$XDG_DESKTOP_PORTAL_DIR"
    for p; do
        cp /usr/share/xdg-desktop-portal/portals/$p.portal "$XDG_DESKTOP_PORTAL_DIR/" || exit 5
    done
}
poll() {
    code=$1 n=0; shift
    until "$@"; do n=$((n + 1)); [ $n -lt 300 ] || exit $code; sleep 0.1; done
}
)";

// Runs sway with $2 outputs. $3 is a stand-in for a global-shortcut service, which the portal
// offers only once XDG_DESKTOP_PORTAL_DIR names $XDG_RUNTIME_DIR/portals-shortcuts and the
// portal is started again.
const char kSession[] =
    R"(export WLR_BACKENDS=headless WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1
export XDG_CURRENT_DESKTOP=sway
portals wlr gtk
(XDG_DESKTOP_PORTAL_DIR="$XDG_RUNTIME_DIR/portals-shortcuts"; portals wlr gtk) || exit 5
printf '[portal]\nDBusName=org.freedesktop.impl.portal.desktop.corvanetest\nInterfaces=%s;\nUseIn=sway;\n' \
    org.freedesktop.impl.portal.GlobalShortcuts >"$XDG_RUNTIME_DIR/portals-shortcuts/corvanetest.portal"
# Full-screen windows are composited like any other: scanned out, their later frames were
# missing from screenshots of an output without the pointer.
sway -Dnoscanout -c "$XDG_RUNTIME_DIR/../sway.conf" 2>"$XDG_RUNTIME_DIR/sway.log" &
up() { [ -S "$XDG_RUNTIME_DIR/wayland-1" ] && SWAYSOCK=$(ls "$XDG_RUNTIME_DIR"/sway-ipc.*.sock 2>/dev/null); }
poll 3 up
export WAYLAND_DISPLAY=wayland-1 SWAYSOCK
dbus-update-activation-environment --all
pipewire >/dev/null 2>&1 &
wireplumber >/dev/null 2>&1 &
for _ in $(seq 2 "$2"); do swaymsg create_output >/dev/null; done
"$3" >/dev/null &
ready="SWAYSOCK=$SWAYSOCK WAYLAND_DISPLAY=$XDG_RUNTIME_DIR/wayland-1 XDG_CURRENT_DESKTOP=sway"
)";

// The end of every desktop's session script, once it has set $ready to the variables its
// clients need beside the session bus, runtime folder, PATH and session type: it waits for the
// portal, whose back ends start on its first call, some of them slowly, says READY with them, and
// stops the session when the test
// ($1) is gone.
const char kSessionEnd[] = R"(poll 4 sh -c 'dbus-send --session --print-reply --reply-timeout=5000 \
    --dest=org.freedesktop.portal.Desktop /org/freedesktop/portal/desktop \
    org.freedesktop.DBus.Introspectable.Introspect | grep -q org.freedesktop.portal.Screenshot'
echo "READY DBUS_SESSION_BUS_ADDRESS=$DBUS_SESSION_BUS_ADDRESS XDG_RUNTIME_DIR=$XDG_RUNTIME_DIR" \
    "PATH=$PATH XDG_SESSION_TYPE=$XDG_SESSION_TYPE $ready"
while [ -d "/proc/$1" ]; do sleep 0.2; done
)";

} // namespace

bool WaylandDesktop::start(QString *error)
{
    const passwd *account = getpwnam(user);
    if (!account)
        return fail(error, QString("no user %1 (run tools/setup.sh)").arg(user));
    if (geteuid() != 0)
        return fail(error, "the desktop's user can only be taken on as root");
    // The user reads the script and the configuration; the runtime folder is its own.
    const QString runtimeDir = m_dir.filePath("runtime");
    const QByteArray runtime = QFile::encodeName(runtimeDir);
    const QString script = m_dir.filePath("session.sh"), log = m_dir.filePath("session.log");
    QByteArray text;
    QStringList args;
    if (!m_dir.isValid() || chmod(QFile::encodeName(m_dir.path()).constData(), 0705) ||
        mkdir(runtime.constData(), 0700) ||
        chown(runtime.constData(), account->pw_uid, account->pw_gid) ||
        !prepare(m_dir, &text, &args) || !writeFile(script, kSessionStart + text + kSessionEnd))
        return fail(error, "could not prepare the desktop's folder");

    QProcessEnvironment env;
    env.insert("XDG_RUNTIME_DIR", runtimeDir);
    env.insert("HOME", runtimeDir);
    m_session = std::make_unique<QProcess>();
    // Its own process group, so that the destructor reaches every process of the desktop.
    m_session->setChildProcessModifier([] { setsid(); });
    m_session->setStandardErrorFile(log);
    runAsUser(*m_session, "dbus-run-session",
              QStringList{"--", "sh", script, QString::number(QCoreApplication::applicationPid())} +
                  args,
              env);
    m_session->start();
    if (!m_session->waitForStarted(5000))
        return fail(error, "the session did not start (is dbus installed?)");
    m_group = pid_t(m_session->processId());
    const QDeadlineTimer deadline(60000);
    while (!m_session->canReadLine() && m_session->state() == QProcess::Running &&
           !deadline.hasExpired())
        m_session->waitForReadyRead(200);
    // The session's log ends with its exit code when it ended.
    const QStringList words = QString::fromLocal8Bit(m_session->readLine()).trimmed().split(' ');
    if (words[0] != "READY")
        return fail(error, QString("the desktop did not come up%1: ")
                                   .arg(deadline.hasExpired() ? " in time" : "") +
                               QString::fromLocal8Bit(readFile(log).right(2000)));
    // No test looks at a window's frame, and Qt's own frames would load the EGL driver, which
    // is unloaded at exit with allocations the leak checker cannot trace.
    m_env.insert("QT_WAYLAND_DISABLE_WINDOWDECORATION", "1");
    for (const QString &word : words.mid(1))
        m_env.insert(word.section('=', 0, 0), word.section('=', 1));
    // Sanitizer settings of the test run reach the application under test.
    const QProcessEnvironment own = QProcessEnvironment::systemEnvironment();
    for (const QString &name : own.keys()) {
        const QString value = own.value(name),
                      file = value.section("suppressions=", 1).section(':', 0, 0);
        if (name.endsWith("SAN_OPTIONS"))
            m_env.insert(name,
                         file.isEmpty() ? value : QString(value).replace(file, readable(file)));
    }
    return true;
}

WaylandDesktop::~WaylandDesktop()
{
    if (m_helper)
        stopProcess(*m_helper);
    if (m_group <= 0)
        return;
    // Members that outlive the leader, or a leader that does not stop, are still in its group.
    kill(-m_group, SIGTERM);
    m_session->waitForFinished(3000);
    kill(-m_group, SIGKILL);
    m_session->waitForFinished(3000);
    // The portal's document store stays mounted in the runtime folder once its process is
    // gone, which would keep the folder, and the mount, after the run.
    QProcess::execute("sh", {"-c", "! grep -q \" $0 \" /proc/self/mounts || umount --lazy \"$0\"",
                             m_dir.filePath("runtime/doc")});
}

void WaylandDesktop::runAsUser(QProcess &process, const QString &program, const QStringList &args,
                               const QProcessEnvironment &env) const
{
    QStringList command{QString("--reuid=%1").arg(user), QString("--regid=%1").arg(user),
                        "--init-groups", "--reset-env", "env"};
    for (const QString &name : env.keys())
        command << name + '=' + env.value(name);
    process.setProgram("setpriv");
    process.setArguments(command << (program.startsWith('/') ? readable(program) : program)
                                 << args);
}

QString WaylandDesktop::readable(const QString &path) const
{
    const qsizetype inBundle = path.indexOf(".app/Contents/MacOS/");
    const QString top = inBundle > 0 ? path.left(inBundle + 4) : path;
    QString &copy = m_copies[top];
    if (copy.isEmpty()) {
        QProcess test;
        runAsUser(test, "test", {"-r", path}, {});
        const QString folder = m_dir.filePath(QString("shared/%1").arg(m_copies.size()));
        copy = top;
        if (runToEnd(test, nullptr, 10000) != 0 && QDir().mkpath(folder) &&
            QProcess::execute("cp", {"-R", top, folder}) == 0 &&
            QProcess::execute("chmod", {"-R", "a+rX", folder}) == 0)
            copy = folder + '/' + QFileInfo(top).fileName();
    }
    return copy + path.mid(top.size());
}

int WaylandDesktop::run(const QString &program, const QStringList &args, QByteArray *out,
                        int timeoutMs) const
{
    QProcess process;
    runAsUser(process, program, args, environment());
    return runToEnd(process, out, timeoutMs);
}

QRect WaylandDesktop::place(qsizetype i) const
{
    int x = 0;
    for (qsizetype j = 0; j < i; ++j)
        x += m_outputs[j].pixels.width() / m_outputs[j].scale;
    return {QPoint(x, 0), m_outputs[i].pixels / m_outputs[i].scale};
}

bool WaylandDesktop::prepare(const QTemporaryDir &dir, QByteArray *script, QStringList *args) const
{
    // Outputs named as sway's headless back end names them, the first made at its start and
    // the others later by the session; each takes its place, scale and wallpaper as it appears.
    QString config = "default_border none\ndefault_floating_border none\n"
                     "bar {\n    mode hide\n    tray_output *\n}\n";
    for (qsizetype i = 0; i < m_outputs.size(); ++i) {
        const Output &o = m_outputs[i];
        const QString file = dir.filePath(QString("wallpaper%1.png").arg(i + 1));
        config +=
            QString::asprintf("output HEADLESS-%lld resolution %dx%d position %d 0 scale %d\n",
                              i + 1, o.pixels.width(), o.pixels.height(), place(i).x(), o.scale);
        if (o.wallpaper.save(file))
            config += QString("output HEADLESS-%1 bg %2 center\n").arg(i + 1).arg(file);
    }
    *script = kSession;
    *args = {QString::number(m_outputs.size()), readable(CORVANE_TEST_SHORTCUTS)};
    return writeFile(dir.filePath("sway.conf"), config.toUtf8());
}

QStringList WaylandDesktop::helper() const
{
    return {CORVANE_TEST_HELPER};
}

QByteArray WaylandDesktop::ask(const QByteArray &line) const
{
    // One helper for the session, so that a button held down stays down until a later call.
    if (!m_helper) {
        QStringList command = helper();
        m_helper = std::make_unique<QProcess>();
        dieWithParent(*m_helper);
        runAsUser(*m_helper, command.takeFirst(), command, environment());
        m_helper->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_helper->start();
    }
    m_helper->write(line + '\n');
    while (!m_helper->canReadLine())
        if (!m_helper->waitForReadyRead(10000))
            return {};
    return m_helper->readLine().chopped(1);
}

bool WaylandDesktop::pointer(const QStringList &steps) const
{
    return ask(steps.join(' ').toUtf8()) == "ok";
}

// wtype, after its pause for the seat to learn the new keyboard.
bool WaylandDesktop::keys(const QString &chord) const
{
    QStringList modifiers = chord.split('+'), args{"-k", modifiers.takeLast()};
    for (const QString &modifier : modifiers)
        args = QStringList{"-M", modifier} + args + QStringList{"-m", modifier};
    return run("wtype", QStringList{"-s", "300"} + args) == 0;
}

QImage WaylandDesktop::screen() const
{
    QByteArray png;
    run("grim", {"-"}, &png);
    return QImage::fromData(png);
}

QImage HelperDesktop::screen() const
{
    // Read by its content, as a helper writes whichever format it writes quickest.
    const QString file = environment().value("XDG_RUNTIME_DIR") + "/screen.png";
    if (ask("shot " + file.toUtf8()) != "ok")
        return {};
    const QImage image(file);
    QFile::remove(file);
    return image;
}

QList<WaylandDesktop::Window> HelperDesktop::windows() const
{
    const QByteArray answer = ask("windows");
    if (!answer.startsWith("ok "))
        return {};
    QList<Window> found;
    for (const QJsonValue &v : QJsonDocument::fromJson(answer.mid(3)).array()) {
        const QJsonArray w = v.toArray();
        const QRect rect(w[1].toInt(), w[2].toInt(), w[3].toInt(), w[4].toInt());
        // What is not full screen counts as floating, as the application's menu does.
        found.append({w[0].toString(), points(rect), w[5].toBool(), w[6].toBool(), !w[6].toBool()});
    }
    // Left to right, as sway lists them, rather than in the desktop's stacking order.
    std::ranges::stable_sort(found, {}, [](const Window &w) { return w.rect.x(); });
    return found;
}

QList<WaylandDesktop::Window> WaylandDesktop::windows() const
{
    QByteArray tree;
    if (run("swaymsg", {"-t", "get_tree"}, &tree) != 0)
        return {};
    QList<Window> found;
    const std::function<void(const QJsonValue &)> walk = [&](const QJsonValue &node) {
        const QJsonValue r = node["rect"];
        if (node["app_id"].isString())
            found.append(
                {node["app_id"].toString(),
                 QRect(r["x"].toInt(), r["y"].toInt(), r["width"].toInt(), r["height"].toInt()),
                 node["focused"].toBool(), node["fullscreen_mode"].toInt() != 0,
                 node["type"] == "floating_con"});
        for (const char *key : {"nodes", "floating_nodes"})
            for (const QJsonValue &child : node[key].toArray())
                walk(child);
    };
    walk(QJsonDocument::fromJson(tree).object());
    return found;
}

} // namespace testkit
