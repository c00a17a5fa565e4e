#include "testkit/WaylandDesktop.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>

#include <pwd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "testkit/XServer.h"

namespace testkit {

namespace {

const char kConfig[] = R"(output * bg #204060 solid_color
default_border none
default_floating_border none
bar {
    mode hide
    tray_output *
}
)";

// Runs the desktop, says READY with the bus address and sway's socket, and takes everything
// down with it once the test process ($1) is gone.
const char kSession[] = R"(#!/bin/sh
trap 'kill 0' EXIT
export WLR_BACKENDS=headless WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1
export XDG_CURRENT_DESKTOP=sway XDG_SESSION_TYPE=wayland NO_AT_BRIDGE=1 GTK_USE_PORTAL=0
# Full-screen windows are composited like any other: scanned out, their later frames were
# missing from screenshots of an output without the pointer.
sway -Dnoscanout -c "$XDG_RUNTIME_DIR/../sway.conf" 2>"$XDG_RUNTIME_DIR/../sway.log" &
n=0
until [ -S "$XDG_RUNTIME_DIR/wayland-1" ]; do
    n=$((n + 1)); [ $n -lt 300 ] || exit 3; sleep 0.05
done
export WAYLAND_DISPLAY=wayland-1
until SWAYSOCK=$(ls "$XDG_RUNTIME_DIR"/sway-ipc.*.sock 2>/dev/null); do sleep 0.05; done
export SWAYSOCK
dbus-update-activation-environment WAYLAND_DISPLAY XDG_CURRENT_DESKTOP XDG_SESSION_TYPE \
    XDG_RUNTIME_DIR SWAYSOCK NO_AT_BRIDGE GTK_USE_PORTAL
pipewire >/dev/null 2>&1 &
wireplumber >/dev/null 2>&1 &
# A headless output takes its scale once; later changes report success and do nothing.
if [ -n "$SECOND_OUTPUT" ]; then
    swaymsg create_output >/dev/null
    swaymsg output HEADLESS-2 $SECOND_OUTPUT >/dev/null
fi
# The portal's back ends start on its first call, some of them slowly.
n=0
until dbus-send --session --print-reply --reply-timeout=5000 \
        --dest=org.freedesktop.portal.Desktop /org/freedesktop/portal/desktop \
        org.freedesktop.DBus.Introspectable.Introspect 2>/dev/null |
        grep -q org.freedesktop.portal.Screenshot; do
    n=$((n + 1)); [ $n -lt 60 ] || exit 4; sleep 0.5
done
echo "READY $DBUS_SESSION_BUS_ADDRESS $SWAYSOCK"
while [ -d "/proc/$1" ]; do sleep 0.2; done
kill 0
)";

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

} // namespace

WaylandDesktop::WaylandDesktop(QList<Output> outputs) : m_outputs(std::move(outputs)) {}

WaylandDesktop::WaylandDesktop(QImage leftWallpaper, QImage rightWallpaper)
    : WaylandDesktop(QList<Output>{{left.size(), 1, std::move(leftWallpaper)},
                                   {right.size() * 2, 2, std::move(rightWallpaper)}})
{}

// The placement of output i, after those to its left.
static QByteArray placement(const QList<WaylandDesktop::Output> &outputs, int i)
{
    int x = 0;
    for (int j = 0; j < i; ++j)
        x += outputs[j].pixels.width() / outputs[j].scale;
    const WaylandDesktop::Output &o = outputs[i];
    return QStringLiteral("resolution %1x%2 position %3 0 scale %4")
        .arg(o.pixels.width())
        .arg(o.pixels.height())
        .arg(x)
        .arg(o.scale)
        .toUtf8();
}

WaylandDesktop::~WaylandDesktop()
{
    stop();
}

QByteArray WaylandDesktop::config() const
{
    QByteArray text = kConfig + ("output HEADLESS-1 " + placement(m_outputs, 0) + '\n');
    for (int i = 0; i < m_outputs.size(); ++i) {
        const QString file = m_dir.filePath(QStringLiteral("wallpaper%1.png").arg(i + 1));
        if (!m_outputs[i].wallpaper.isNull() && m_outputs[i].wallpaper.save(file))
            text += "output HEADLESS-" + QByteArray::number(i + 1) + " bg " +
                    QFile::encodeName(file) + " center\n";
    }
    return text;
}

bool WaylandDesktop::start(QString *error)
{
    auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    const passwd *account = getpwnam(user);
    if (!account)
        return fail(QStringLiteral("no user %1 (run tools/setup.sh)").arg(user));
    if (geteuid() != 0)
        return fail(QStringLiteral("the desktop's user can only be taken on as root"));
    if (!m_dir.isValid())
        return fail(QStringLiteral("no temporary folder"));
    QFile::setPermissions(m_dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                            QFile::ReadOther | QFile::ExeOther);
    m_runtimeDir = m_dir.filePath(QStringLiteral("runtime"));
    const QString script = m_dir.filePath(QStringLiteral("session.sh"));
    if (!QDir().mkpath(m_runtimeDir) ||
        chown(QFile::encodeName(m_runtimeDir).constData(), account->pw_uid, account->pw_gid) ||
        !writeFile(m_dir.filePath(QStringLiteral("sway.conf")), config()) ||
        !writeFile(script, kSession))
        return fail(QStringLiteral("could not prepare the desktop's folder"));
    QFile::setPermissions(m_runtimeDir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    // sway writes its log beside the runtime folder.
    const QString log = m_dir.filePath(QStringLiteral("sway.log"));
    writeFile(log, {});
    chown(QFile::encodeName(log).constData(), account->pw_uid, account->pw_gid);

    QProcessEnvironment env;
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtimeDir);
    env.insert(QStringLiteral("HOME"), m_runtimeDir);
    if (m_outputs.size() > 1)
        env.insert(QStringLiteral("SECOND_OUTPUT"), QString::fromUtf8(placement(m_outputs, 1)));
    m_session = std::make_unique<QProcess>();
    // Its own process group, so that stop() reaches every process of the desktop.
    m_session->setChildProcessModifier([] {
        setsid();
        prctl(PR_SET_PDEATHSIG, SIGKILL);
    });
    m_session->setStandardErrorFile(m_dir.filePath(QStringLiteral("session.log")));
    runAsUser(*m_session, QStringLiteral("dbus-run-session"),
              {QStringLiteral("--"), QStringLiteral("sh"), script,
               QString::number(QCoreApplication::applicationPid())},
              env);
    m_session->start();
    if (!m_session->waitForStarted(5000))
        return fail(QStringLiteral("the session did not start (is dbus installed?)"));
    m_group = pid_t(m_session->processId());
    QByteArray line;
    QDeadlineTimer deadline(60000);
    while (!line.contains('\n')) {
        if (deadline.hasExpired() || m_session->state() != QProcess::Running) {
            QFile log(m_dir.filePath(QStringLiteral("session.log")));
            log.open(QIODevice::ReadOnly);
            return fail(QStringLiteral("the desktop did not come up: ") +
                        QString::fromLocal8Bit(log.readAll().right(2000)));
        }
        m_session->waitForReadyRead(200);
        line += m_session->readAllStandardOutput();
    }
    const QList<QByteArray> words = line.trimmed().split(' ');
    if (words.size() != 3 || words[0] != "READY")
        return fail(QStringLiteral("the desktop said: ") + QString::fromLocal8Bit(line));
    m_busAddress = words[1];
    m_swaySocket = words[2];
    return true;
}

void WaylandDesktop::stop()
{
    if (!m_session || m_group <= 0)
        return;
    if (m_session->state() != QProcess::NotRunning) {
        kill(-m_group, SIGTERM);
        if (!m_session->waitForFinished(3000)) {
            kill(-m_group, SIGKILL);
            m_session->waitForFinished(3000);
        }
    }
    // Members that outlived the leader are still in its group.
    kill(-m_group, SIGKILL);
    m_pointer.reset();
    m_group = 0;
    m_session.reset();
}

QProcessEnvironment WaylandDesktop::environment() const
{
    QProcessEnvironment env;
    env.insert(QStringLiteral("PATH"), QStringLiteral("/usr/local/bin:/usr/bin:/bin"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtimeDir);
    env.insert(QStringLiteral("WAYLAND_DISPLAY"), QStringLiteral("wayland-1"));
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QString::fromLocal8Bit(m_busAddress));
    env.insert(QStringLiteral("SWAYSOCK"), QString::fromLocal8Bit(m_swaySocket));
    env.insert(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("wayland"));
    env.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("sway"));
    // Sanitizer settings of the test run reach the application under test.
    const QProcessEnvironment own = QProcessEnvironment::systemEnvironment();
    for (const QString &name : own.keys()) {
        if (name.endsWith(QLatin1String("SAN_OPTIONS")))
            env.insert(name, own.value(name));
    }
    return env;
}

void WaylandDesktop::runAsUser(QProcess &process, const QString &program, const QStringList &args,
                               const QProcessEnvironment &env) const
{
    QStringList command{QStringLiteral("--reuid=%1").arg(user),
                        QStringLiteral("--regid=%1").arg(user), QStringLiteral("--init-groups"),
                        QStringLiteral("--reset-env"), QStringLiteral("env")};
    for (const QString &name : env.keys())
        command << name + QLatin1Char('=') + env.value(name);
    process.setProgram(QStringLiteral("setpriv"));
    process.setArguments(command << program << args);
}

int WaylandDesktop::run(const QString &program, const QStringList &args, QByteArray *out,
                        int timeoutMs) const
{
    QProcess process;
    dieWithParent(process);
    runAsUser(process, program, args, environment());
    return runToEnd(process, out, timeoutMs);
}

bool WaylandDesktop::pointer(const QStringList &steps) const
{
    // One device for the session, so that a button held down stays down until a later call.
    if (!m_pointer) {
        m_pointer = std::make_unique<QProcess>();
        dieWithParent(*m_pointer);
        QSize layout(0, 0);
        for (const Output &o : m_outputs)
            layout = QSize(layout.width() + o.pixels.width() / o.scale,
                           std::max(layout.height(), o.pixels.height() / o.scale));
        runAsUser(*m_pointer, QStringLiteral(CORVANE_TEST_POINTER),
                  {QStringLiteral("%1x%2").arg(layout.width()).arg(layout.height())},
                  environment());
        m_pointer->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_pointer->start();
    }
    m_pointer->write(steps.join(QLatin1Char(' ')).toUtf8() + '\n');
    while (!m_pointer->canReadLine())
        if (!m_pointer->waitForReadyRead(10000))
            return false;
    return m_pointer->readLine() == "ok\n";
}

QList<WaylandDesktop::Window> WaylandDesktop::windows() const
{
    QByteArray tree;
    if (run(QStringLiteral("swaymsg"), {QStringLiteral("-t"), QStringLiteral("get_tree")}, &tree) !=
        0)
        return {};
    QList<Window> found;
    const std::function<void(const QJsonObject &)> walk = [&](const QJsonObject &node) {
        if (node.contains(QLatin1String("app_id")) &&
            !node.value(QLatin1String("app_id")).isNull()) {
            const QJsonObject r = node.value(QLatin1String("rect")).toObject();
            found.append(
                {node.value(QLatin1String("app_id")).toString(),
                 QRect(r.value(QLatin1String("x")).toInt(), r.value(QLatin1String("y")).toInt(),
                       r.value(QLatin1String("width")).toInt(),
                       r.value(QLatin1String("height")).toInt()),
                 node.value(QLatin1String("focused")).toBool(),
                 node.value(QLatin1String("fullscreen_mode")).toInt() != 0});
        }
        for (const char *key : {"nodes", "floating_nodes"})
            for (const QJsonValue &child : node.value(QLatin1String(key)).toArray())
                walk(child.toObject());
    };
    walk(QJsonDocument::fromJson(tree).object());
    return found;
}

} // namespace testkit
