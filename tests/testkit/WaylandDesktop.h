#pragma once

#include <QByteArray>
#include <QHash>
#include <QImage>
#include <QList>
#include <QProcess>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

#include <sys/types.h>

namespace testkit {

// A headless Wayland desktop for one test executable: sway with the given outputs side by side
// from the left, a session bus with the desktop portal, PipeWire, and a bar hosting tray items.
// sway refuses to run as root, so the desktop and every client run as the unprivileged user
// that tools/setup.sh creates. Everything the desktop starts is one process group, stopped
// with it and when the test process dies. Another compositor's desktop derives from it.
class WaylandDesktop
{
public:
    static constexpr const char *user = "corvane-desktop";

    struct Output
    {
        QSize pixels;
        int scale = 1;
        // A picture of the output's pixel size, drawn one to one.
        QImage wallpaper;
    };
    explicit WaylandDesktop(QList<Output> outputs) : m_outputs(std::move(outputs)) {}
    virtual ~WaylandDesktop();

    bool start(QString *error = nullptr);
    // Where output i sits in the layout, in points: right of those before it.
    QRect place(qsizetype i) const;

    // The session's variables for a client: its runtime folder, display (by path, for a client
    // with a runtime folder of its own), bus and sway socket.
    QProcessEnvironment environment() const { return m_env; }
    // Prepares process to run program as the desktop's user with env. A program named by its
    // path runs from a copy that user can read (see readable()).
    void runAsUser(QProcess &process, const QString &program, const QStringList &args,
                   const QProcessEnvironment &env) const;
    // path, or where the desktop's user cannot read it (the tests may be built in a folder
    // only root enters) a copy made once in the desktop's folder; a program inside an
    // application bundle is copied with its bundle. The path itself when it cannot be copied.
    QString readable(const QString &path) const;
    // Runs a client in the session and returns its exit code, or -1 when it could not start
    // or timed out.
    int run(const QString &program, const QStringList &args, QByteArray *out = nullptr,
            int timeoutMs = 10000) const;

    // Steps for the test pointer, in xdotool's words ("mousemove", x, y, "mousedown", "1"),
    // x and y in the layout's points.
    virtual bool pointer(const QStringList &steps) const;
    // One chord, such as "ctrl+c" or "Escape".
    virtual bool keys(const QString &chord) const;
    // The whole layout at its highest scale.
    virtual QImage screen() const;

    struct Window
    {
        QString appId;
        QRect rect;
        bool focused = false;
        bool fullScreen = false;
        bool floating = false; // such as a menu
    };
    virtual QList<Window> windows() const;

protected:
    // The session's script (see kSession for its duties) and its arguments after the test's
    // process id; what it reads from the desktop's folder dir is written there.
    virtual bool prepare(const QTemporaryDir &dir, QByteArray *script, QStringList *args) const;
    // The program and arguments of a helper in the session that answers each line written
    // to it with one line, "ok" or more when it went well.
    virtual QStringList helper() const;
    QByteArray ask(const QByteArray &line) const;
    const QList<Output> &outputs() const { return m_outputs; }

private:
    QList<Output> m_outputs;
    QTemporaryDir m_dir;
    QProcessEnvironment m_env;
    std::unique_ptr<QProcess> m_session;
    mutable std::unique_ptr<QProcess> m_helper;
    mutable QHash<QString, QString> m_copies;
    pid_t m_group = 0;
};

// A desktop whose helper in the session also types, lists the windows ("windows": a JSON list
// of [app id, x, y, width, height, focused, full screen]) and reads the screen into a file.
class HelperDesktop : public WaylandDesktop
{
public:
    using WaylandDesktop::WaylandDesktop;

    bool keys(const QString &chord) const override { return ask("key " + chord.toUtf8()) == "ok"; }
    QImage screen() const override;
    QList<Window> windows() const override;

protected:
    // A window's rectangle as the helper gives it, in the layout's points.
    virtual QRect points(const QRect &rect) const { return rect; }
};

// A headless GNOME Shell desktop, run and reached like the sway one: its outputs are virtual
// monitors side by side in GNOME's default layout mode, where the shell places them by their
// pixels; input goes through mutter's remote-desktop API and the screen is read with the
// shell's own screenshot call, both by a helper in the session (gnome-input.py).
class GnomeDesktop : public HelperDesktop
{
public:
    using HelperDesktop::HelperDesktop;

    QImage screen() const override;

protected:
    bool prepare(const QTemporaryDir &dir, QByteArray *script, QStringList *args) const override;
    QStringList helper() const override;
    QRect points(const QRect &pixels) const override;

private:
    // Output i's left edge in the shell's pixels.
    int pixelX(qsizetype i) const;
};

// A headless KWin desktop, run and reached like the sway one: virtual outputs of one pixel size
// side by side, each at its own scale, with kded's tray watcher and KDE's portal. KWin admits a
// program to its screenshots and its fake input only through an installed desktop file naming
// the program's path: the desktop's own helper (input, read-back, wallpaper) is admitted so,
// and so are the programs under test that the session is started with.
class KwinDesktop : public HelperDesktop
{
public:
    // programs (absolute paths) may take KWin's screenshots.
    KwinDesktop(const QList<Output> &outputs, const QStringList &programs)
        : HelperDesktop(outputs), m_admitted(programs)
    {}

protected:
    bool prepare(const QTemporaryDir &dir, QByteArray *script, QStringList *args) const override;

private:
    QStringList m_admitted;
};

} // namespace testkit
