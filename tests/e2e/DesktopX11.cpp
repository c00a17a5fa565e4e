#include "Desktop.h"

namespace testkit {

namespace {

class X11Desktop : public Desktop
{
public:
    X11Desktop()
        : Desktop({{{0, 0, 1280, 800}, 1, {0, 0}, false, false},
                   {{1280, 0, 1280, 800}, 1, {1280, 0}, false, false}})
    {}
    bool start(QString *error)
    {
        *error = "the pattern could not be painted";
        return m_server.start(error) && RootPattern::paint(m_server.display());
    }

    AppProcess app() override { return AppProcess(m_server); }
    bool requestCapture(AppProcess &) override
    {
        return waitForWindow(m_server, Kind::TrayIcon) && keys("shift+ctrl+9");
    }
    QList<Window> overlays() const override
    {
        const QByteArray focus = output("xdotool", {"getwindowfocus"}).trimmed();
        QList<Window> found;
        for (const XWindow &w : windowsOf(m_server, Kind::Overlay))
            found.append({w.geometry, w.id == focus});
        std::ranges::sort(found, {}, [](const Window &w) { return w.rect.x(); });
        return found;
    }
    bool pointer(const QStringList &steps) const override { return run("xdotool", steps) == 0; }
    bool keys(const QString &chord) const override { return run("xdotool", {"key", chord}) == 0; }
    bool type(const QString &text) const override
    {
        return run("xdotool", {"type", "--delay", "20", text}) == 0;
    }
    QByteArray clipboard(const QString &mimeType) const override
    {
        return output("xclip", {"-selection", "clipboard", "-t", mimeType, "-o"});
    }
    QImage screen() const override
    {
        return QImage::fromData(output("import", {"-window", "root", "png:-"}));
    }
    int run(const QString &program, const QStringList &args,
            QByteArray *out = nullptr) const override
    {
        return m_server.run(program, args, out);
    }
    const XServer &server() const override { return m_server; }

private:
    XServer m_server{{.width = 1280, .height = 800, .twoMonitors = true}};
};

} // namespace

std::unique_ptr<Desktop> Desktop::start(QString *error)
{
    auto desktop = std::make_unique<X11Desktop>();
    return desktop->start(error) ? std::move(desktop) : nullptr;
}

} // namespace testkit
