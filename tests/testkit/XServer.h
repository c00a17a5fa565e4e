#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <memory>

namespace testkit {

struct XServerOptions
{
    int width = 1920;
    int height = 1080;
    bool windowManager = true;
    bool tray = true;
    // Split the one screen into two xrandr monitors, LEFT (primary) and RIGHT, each half
    // of the screen's width.
    bool twoMonitors = false;
    // Further Xvfb arguments, for example {"-extension", "MIT-SHM"} to switch one off.
    QStringList xvfbArgs;
    // Extra variables set in this process by exportToProcess() (for example
    // QT_SCREEN_SCALE_FACTORS) before the test's QApplication exists.
    QMap<QByteArray, QByteArray> processEnv;
};

// A private X server for one test executable: Xvfb on a free display (with -noreset), and
// on request a window manager and a system-tray host. Everything it starts is stopped when
// it is destroyed.
class XServer
{
public:
    explicit XServer(XServerOptions options = {}) : m_options(std::move(options)) {}
    ~XServer();

    bool start(QString *error = nullptr);

    QString display() const { return m_display; }
    // DISPLAY, a private XDG_RUNTIME_DIR, QT_QPA_PLATFORM=xcb and no session bus, so that Qt
    // uses the X11 tray protocol.
    QProcessEnvironment environment() const;
    // Applies environment() and the options' processEnv to this process.
    void exportToProcess() const;

    // Runs an X client (xdotool, xclip, xrandr, ...) against this server and returns its
    // exit code, or -1 when it could not start or ran for more than 10 s.
    int run(const QString &program, const QStringList &args, QByteArray *out = nullptr) const;

private:
    // Starts command (words split at spaces) as process, and waits until it owns selection.
    bool startChild(std::unique_ptr<QProcess> &process, const QString &command,
                    const char *selection);

    XServerOptions m_options;
    QString m_display;
    QTemporaryDir m_runtimeDir;
    std::unique_ptr<QProcess> m_xvfb;
    std::unique_ptr<QProcess> m_windowManager;
    std::unique_ptr<QProcess> m_tray;
};

// Makes a child started through process die with the test process, even when the test is
// killed or aborts, so that no server outlives the run that started it.
void dieWithParent(QProcess &process);

// Asks process to end, kills it when it has not within timeoutMs, and gives its exit code, or
// -1 unless it exited normally.
int stopProcess(QProcess &process, int timeoutMs = 3000);

// Starts the configured process, with no input and dying with the test process, and waits for
// it: its exit code, or -1 when it could not start, crashed or ran out of time (then it is
// killed).
int runToEnd(QProcess &process, QByteArray *out, int timeoutMs);

// Sets *error, where given, to why, and gives false.
bool fail(QString *error, const QString &why);

// Waits, processing events, until pred() holds or the time runs out.
template<typename Pred> bool waitUntil(Pred pred, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!pred()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
    return true;
}

// The server a CORVANE_X11_TEST_MAIN test runs under, from inside a test slot.
inline XServer &serverOf(const QObject *test)
{
    return *static_cast<XServer *>(test->property("xserver").value<void *>());
}

} // namespace testkit

// A main() for a test executable that needs a real X server: the server is started before
// the QApplication exists and stopped after the tests ran.
#define CORVANE_X11_TEST_MAIN(TestClass, ...)                                                      \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        testkit::XServer server(testkit::XServerOptions{__VA_ARGS__});                             \
        QString error;                                                                             \
        if (!server.start(&error)) {                                                               \
            qCritical("X server did not start: %s", qPrintable(error));                            \
            return 1;                                                                              \
        }                                                                                          \
        server.exportToProcess();                                                                  \
        QApplication app(argc, argv);                                                              \
        TestClass tc;                                                                              \
        tc.setProperty("xserver", QVariant::fromValue<void *>(&server));                           \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }
