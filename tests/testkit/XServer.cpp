#include "testkit/XServer.h"

#include <QFile>
#include <QScopeGuard>

#include <csignal>

#include <sys/prctl.h>
#include <xcb/xcb.h>

namespace testkit {

void dieWithParent(QProcess &process)
{
    process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

bool fail(QString *error, const QString &why)
{
    if (error)
        *error = why;
    return false;
}

XServer::~XServer()
{
    for (auto *child : {&m_tray, &m_windowManager, &m_xvfb})
        if (*child)
            stopProcess(**child);
}

bool XServer::startChild(std::unique_ptr<QProcess> &process, const QString &command,
                         const char *selection)
{
    process = std::make_unique<QProcess>();
    dieWithParent(*process);
    process->setProcessEnvironment(environment());
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->setStandardOutputFile(QProcess::nullDevice());
    process->startCommand(command);
    if (!process->waitForStarted(5000))
        return false;
    xcb_connection_t *c = xcb_connect(m_display.toLocal8Bit().constData(), nullptr);
    const auto disconnect = qScopeGuard([c] { xcb_disconnect(c); });
    auto *atomReply = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, uint16_t(qstrlen(selection)), selection), nullptr);
    const xcb_atom_t atom = atomReply ? atomReply->atom : xcb_atom_t(XCB_ATOM_NONE);
    free(atomReply);
    return waitUntil(
        [&] {
            auto *r = xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom), nullptr);
            const bool owned = r && r->owner != XCB_WINDOW_NONE;
            free(r);
            return owned;
        },
        15000);
}

bool XServer::start(QString *error)
{
    if (!m_runtimeDir.isValid())
        return fail(error, "no temporary folder");
    QFile::setPermissions(m_runtimeDir.path(),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    const int width = m_options.twoMonitors ? m_options.width * 2 : m_options.width;
    m_xvfb = std::make_unique<QProcess>();
    dieWithParent(*m_xvfb);
    m_xvfb->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // -displayfd picks a free display number and writes it to our stdout.
    m_xvfb->start("Xvfb", QStringList{"-displayfd", "1", "-screen", "0",
                                      QString("%1x%2x24").arg(width).arg(m_options.height),
                                      "-noreset", "-nolisten", "tcp"} +
                              m_options.xvfbArgs);
    if (!m_xvfb->waitForStarted(5000))
        return fail(error, "Xvfb did not start (is the xvfb package installed?)");
    while (!m_xvfb->canReadLine() && m_xvfb->waitForReadyRead(15000)) {
    }
    if (!m_xvfb->canReadLine())
        return fail(error, "Xvfb did not report a display");
    m_display = ':' + QString::fromLatin1(m_xvfb->readLine().trimmed());

    if (m_options.twoMonitors) {
        // LEFT (primary) and RIGHT, each half of the screen's width.
        const QString monitor = "--setmonitor %1 %2/508x%3/286+%4+0 %5";
        const int w = m_options.width, h = m_options.height;
        for (const QString &args : {monitor.arg("*LEFT").arg(w).arg(h).arg(0).arg("screen"),
                                    monitor.arg("RIGHT").arg(w).arg(h).arg(w).arg("none")})
            if (run("xrandr", args.split(' ')) != 0)
                return fail(error, "xrandr could not split the screen");
    }
    // A window manager and a tray host each own a selection of the screen once they run.
    if (m_options.windowManager && !startChild(m_windowManager, "openbox --sm-disable", "WM_S0"))
        return fail(error, "the window manager did not come up");
    if (m_options.tray && !startChild(m_tray,
                                      "trayer --edge top --align right --widthtype request "
                                      "--height 24 --SetDockType true",
                                      "_NET_SYSTEM_TRAY_S0"))
        return fail(error, "the tray host did not come up");
    return true;
}

QProcessEnvironment XServer::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", m_display);
    env.insert("XDG_RUNTIME_DIR", m_runtimeDir.path());
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.remove("DBUS_SESSION_BUS_ADDRESS");
    env.remove("WAYLAND_DISPLAY");
    return env;
}

void XServer::exportToProcess() const
{
    const QProcessEnvironment env = environment();
    for (const char *key : {"DISPLAY", "XDG_RUNTIME_DIR", "QT_QPA_PLATFORM"})
        qputenv(key, env.value(key).toLocal8Bit());
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    qunsetenv("WAYLAND_DISPLAY");
    for (auto it = m_options.processEnv.cbegin(); it != m_options.processEnv.cend(); ++it)
        qputenv(it.key().constData(), it.value());
}

int XServer::run(const QString &program, const QStringList &args, QByteArray *out) const
{
    QProcess process;
    process.setProcessEnvironment(environment());
    process.setProgram(program);
    process.setArguments(args);
    return runToEnd(process, out, 10000);
}

int runToEnd(QProcess &process, QByteArray *out, int timeoutMs)
{
    dieWithParent(process);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start();
    if (!process.waitForStarted(5000))
        return -1;
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

} // namespace testkit
