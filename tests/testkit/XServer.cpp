#include "testkit/XServer.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#include <csignal>

#include <sys/prctl.h>
#include <xcb/xcb.h>

namespace testkit {

void dieWithParent(QProcess &process)
{
    process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

XServer::XServer(XServerOptions options) : m_options(std::move(options)) {}

XServer::~XServer()
{
    stop();
}

std::unique_ptr<QProcess> XServer::startChild(const QString &program, const QStringList &args)
{
    auto process = std::make_unique<QProcess>();
    dieWithParent(*process);
    process->setProcessEnvironment(environment());
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->setStandardOutputFile(QProcess::nullDevice());
    process->start(program, args);
    if (!process->waitForStarted(5000))
        return nullptr;
    return process;
}

bool XServer::start(QString *error)
{
    auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    if (!m_runtimeDir.isValid())
        return fail(QStringLiteral("no temporary folder"));
    QFile::setPermissions(m_runtimeDir.path(),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    const int width = m_options.twoMonitors ? m_options.width * 2 : m_options.width;
    m_xvfb = std::make_unique<QProcess>();
    dieWithParent(*m_xvfb);
    m_xvfb->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // -displayfd picks a free display number and writes it to our stdout.
    const QStringList args =
        QStringList{QStringLiteral("-displayfd"),
                    QStringLiteral("1"),
                    QStringLiteral("-screen"),
                    QStringLiteral("0"),
                    QStringLiteral("%1x%2x24").arg(width).arg(m_options.height),
                    QStringLiteral("-noreset"),
                    QStringLiteral("-nolisten"),
                    QStringLiteral("tcp")} +
        m_options.xvfbArgs;
    m_xvfb->start(QStringLiteral("Xvfb"), args);
    if (!m_xvfb->waitForStarted(5000))
        return fail(QStringLiteral("Xvfb did not start (is the xvfb package installed?)"));
    QByteArray number;
    QDeadlineTimer deadline(15000);
    while (!number.contains('\n')) {
        if (deadline.hasExpired() || m_xvfb->state() != QProcess::Running)
            return fail(QStringLiteral("Xvfb did not report a display"));
        m_xvfb->waitForReadyRead(200);
        number += m_xvfb->readAllStandardOutput();
    }
    m_display = QStringLiteral(":") + QString::fromLatin1(number.trimmed());

    if (m_options.twoMonitors) {
        const int w = m_options.width, h = m_options.height;
        const QString left = QStringLiteral("%1/508x%2/286+0+0").arg(w).arg(h);
        const QString right = QStringLiteral("%1/508x%2/286+%1+0").arg(w).arg(h);
        if (run(QStringLiteral("xrandr"), {QStringLiteral("--setmonitor"), QStringLiteral("*LEFT"),
                                           left, QStringLiteral("screen")}) != 0 ||
            run(QStringLiteral("xrandr"), {QStringLiteral("--setmonitor"), QStringLiteral("RIGHT"),
                                           right, QStringLiteral("none")}) != 0)
            return fail(QStringLiteral("xrandr could not split the screen"));
    }
    if (m_options.windowManager) {
        m_windowManager = startChild(QStringLiteral("openbox"), {QStringLiteral("--sm-disable")});
        if (!m_windowManager || !waitForRootAtom("_NET_SUPPORTING_WM_CHECK", 15000, false))
            return fail(QStringLiteral("the window manager did not come up"));
    }
    if (m_options.tray) {
        m_tray =
            startChild(QStringLiteral("trayer"),
                       {QStringLiteral("--edge"), QStringLiteral("top"), QStringLiteral("--align"),
                        QStringLiteral("right"), QStringLiteral("--widthtype"),
                        QStringLiteral("request"), QStringLiteral("--height"), QStringLiteral("24"),
                        QStringLiteral("--SetDockType"), QStringLiteral("true")});
        if (!m_tray || !waitForRootAtom("_NET_SYSTEM_TRAY_S0", 15000, true))
            return fail(QStringLiteral("the tray host did not come up"));
    }
    return true;
}

void XServer::stop()
{
    for (auto *child : {&m_tray, &m_windowManager, &m_xvfb}) {
        if (*child)
            stopProcess(**child);
        child->reset();
    }
}

QProcessEnvironment XServer::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), m_display);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtimeDir.path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    return env;
}

void XServer::exportToProcess() const
{
    const QProcessEnvironment env = environment();
    for (const QString &key : {QStringLiteral("DISPLAY"), QStringLiteral("XDG_RUNTIME_DIR"),
                               QStringLiteral("QT_QPA_PLATFORM")})
        qputenv(key.toLocal8Bit(), env.value(key).toLocal8Bit());
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    qunsetenv("WAYLAND_DISPLAY");
    for (auto it = m_options.processEnv.cbegin(); it != m_options.processEnv.cend(); ++it)
        qputenv(it.key().constData(), it.value());
}

int XServer::run(const QString &program, const QStringList &args, QByteArray *out, int timeoutMs,
                 const QByteArray &input) const
{
    QProcess process;
    dieWithParent(process);
    process.setProcessEnvironment(environment());
    process.setProgram(program);
    process.setArguments(args);
    return runToEnd(process, out, timeoutMs, input);
}

int runToEnd(QProcess &process, QByteArray *out, int timeoutMs, const QByteArray &input)
{
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start();
    if (!process.waitForStarted(5000))
        return -1;
    if (!input.isEmpty())
        process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(timeoutMs)) {
        stopProcess(process);
        return -1;
    }
    if (out)
        *out = process.readAllStandardOutput();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

int stopProcess(QProcess &process, int timeoutMs)
{
    if (process.state() != QProcess::NotRunning) {
        process.terminate();
        if (!process.waitForFinished(timeoutMs)) {
            process.kill();
            process.waitForFinished(timeoutMs);
        }
    }
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

bool XServer::waitForRootAtom(const char *name, int timeoutMs, bool selectionOwner) const
{
    xcb_connection_t *c = xcb_connect(m_display.toLocal8Bit().constData(), nullptr);
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        return false;
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    auto *atomReply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(qstrlen(name)), name), nullptr);
    const xcb_atom_t atom = atomReply ? atomReply->atom : xcb_atom_t(XCB_ATOM_NONE);
    free(atomReply);
    bool found = false;
    QDeadlineTimer deadline(timeoutMs);
    while (!found && !deadline.hasExpired()) {
        if (selectionOwner) {
            auto *r = xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom), nullptr);
            found = r && r->owner != XCB_WINDOW_NONE;
            free(r);
        } else {
            auto *r = xcb_get_property_reply(
                c, xcb_get_property(c, 0, root, atom, XCB_ATOM_WINDOW, 0, 1), nullptr);
            found = r && xcb_get_property_value_length(r) > 0;
            free(r);
        }
        if (!found)
            QThread::msleep(50);
    }
    xcb_disconnect(c);
    return found;
}

} // namespace testkit
