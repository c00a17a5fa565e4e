#include "Desktop.h"
#include "testkit/WaylandDesktop.h"

namespace testkit {

namespace {

// HEADLESS-1 at scale 1 and, to its right, HEADLESS-2 at scale 2.
const QList<Desktop::Output> kOutputs{{{0, 0, 1280, 720}, 1, {0, 0}, false, true},
                                      {{1280, 0, 960, 540}, 2, {0, 0}, true, false}};

// The outputs for sway, each showing its part of the pattern at its pixel size.
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

class SwayDesktop : public Desktop
{
public:
    SwayDesktop() : Desktop(kOutputs), m_session(painted(kOutputs)) {}
    bool start(QString *error) { return m_session.start(error); }

    AppProcess app() override
    {
        return AppProcess(m_session.environment(), [this](QProcess &process) {
            // Its home, with what the test put there, is the desktop user's.
            const QProcessEnvironment env = process.processEnvironment();
            QProcess::execute("chown", {"-R", WaylandDesktop::user, env.value("HOME")});
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
    // wtype, after its pause for the seat to learn the new keyboard.
    bool keys(const QString &chord) const override
    {
        QStringList modifiers = chord.split('+'), args{"-k", modifiers.takeLast()};
        for (const QString &modifier : modifiers)
            args = QStringList{"-M", modifier} + args + QStringList{"-m", modifier};
        return run("wtype", QStringList{"-s", "300"} + args) == 0;
    }
    bool type(const QString &text) const override
    {
        return run("wtype", {"-s", "300", "-d", "20", text}) == 0;
    }
    QByteArray clipboard(const QString &mimeType) const override
    {
        return output("wl-paste", {"--no-newline", "--type", mimeType});
    }
    QImage screen() const override { return QImage::fromData(output("grim", {"-"})); }
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

    WaylandDesktop m_session;
};

} // namespace

std::unique_ptr<Desktop> Desktop::start(QString *error)
{
    auto desktop = std::make_unique<SwayDesktop>();
    return desktop->start(error) ? std::move(desktop) : nullptr;
}

} // namespace testkit
