#include "Desktop.h"
#include "testkit/WaylandDesktop.h"

namespace testkit {

namespace {

// One output at scale 1 and, to its right, one at scale 2. Built with CORVANE_GNOME, GNOME
// Shell, whose screen is read back monitor by monitor, without blending, instead of sway.
// Built with CORVANE_KDE, KWin, whose virtual outputs share one pixel size and are read back
// as one render of the layout at scale 2; the built application is admitted to its screenshots
// as an installed one is, and a copy elsewhere is not.
#ifdef CORVANE_GNOME
using Session = GnomeDesktop;
constexpr bool kBlended = false;
constexpr QSize kRight(960, 540);
#elif defined(CORVANE_KDE)
struct Session : KwinDesktop
{
    explicit Session(const QList<Output> &outputs)
        : KwinDesktop(outputs, {CORVANE_BUNDLE_DIR "/Contents/MacOS/corvane"})
    {}
};
constexpr bool kBlended = true;
constexpr QSize kRight(640, 360);
#else
using Session = WaylandDesktop;
constexpr bool kBlended = true;
constexpr QSize kRight(960, 540);
#endif
const QList<Desktop::Output> kOutputs{{{0, 0, 1280, 720}, 1, {0, 0}, false, kBlended},
                                      {{QPoint(1280, 0), kRight}, 2, {0, 0}, true, false}};

// The outputs for the session, each showing its part of the pattern at its pixel size.
QList<WaylandDesktop::Output> painted(const QList<Desktop::Output> &outputs)
{
    QList<WaylandDesktop::Output> painted;
    for (const Desktop::Output &output : outputs) {
        QImage image(output.rect.size() * output.scale, QImage::Format_RGB32);
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                image.setPixel(x, y, output.shows({x, y}));
        painted.append({image.size(), output.scale, image});
    }
    return painted;
}

class WaylandSessionDesktop : public Desktop
{
public:
    WaylandSessionDesktop() : Desktop(kOutputs), m_session(painted(kOutputs)) {}
    bool start(QString *error) { return m_session.start(error); }

    AppProcess app() override
    {
        return AppProcess(m_session.environment(), [this](QProcess &process) {
            // Its home, with what the test put there, is the desktop user's. Where the desktop
            // gives one, it shares the shell's home, where a portal writes its pictures.
            QProcessEnvironment env = process.processEnvironment();
            QProcess::execute("chown", {"-R", WaylandDesktop::user, env.value("HOME")});
            env.insert("HOME", m_session.environment().value("HOME", env.value("HOME")));
            m_session.runAsUser(process, process.program(), process.arguments(), env);
        });
    }
    bool requestCapture(AppProcess &app) override
    {
        return waitUntil([&] { return app.stderrText().contains("화면 플랫폼: Wayland"); },
                         20000) &&
               app.launchAgain() == 0;
    }
    QList<Window> overlays() const override { return windows(false); }
    QList<Window> menus() const override { return windows(true); }
    bool pointer(const QStringList &steps) const override { return m_session.pointer(steps); }
    bool keys(const QString &chord) const override { return m_session.keys(chord); }
    QByteArray clipboard(const QString &mimeType) const override
    {
        return output("wl-paste", {"--no-newline", "--type", mimeType});
    }
    QImage screen() const override { return m_session.screen(); }
    int run(const QString &program, const QStringList &args,
            QByteArray *out = nullptr) const override
    {
        return m_session.run(program, args, out);
    }

private:
    // The application's full-screen or floating windows.
    QList<Window> windows(bool floating) const
    {
        QList<Window> found;
        for (const WaylandDesktop::Window &w : m_session.windows())
            if (w.appId == "corvane" && (floating ? w.floating : w.fullScreen))
                found.append({w.rect, w.focused});
        return found;
    }

    Session m_session;
};

} // namespace

std::unique_ptr<Desktop> Desktop::start(QString *error)
{
    auto desktop = std::make_unique<WaylandSessionDesktop>();
    return desktop->start(error) ? std::move(desktop) : nullptr;
}

} // namespace testkit
