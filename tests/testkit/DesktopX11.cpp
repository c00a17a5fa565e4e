#include <QTest>

#include "testkit/Desktop.h"

namespace testkit {

namespace {

// The application's windows told apart by size: the tray icon is small, an overlay covers a
// monitor, anything else is a menu or a dialog.
enum class Kind
{
    TrayIcon,
    Menu,
    Overlay
};

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
        if (!m_server.start(error) || !RootPattern::paint(m_server.display()))
            return false;
        // For the test's own X clients.
        m_server.exportToProcess();
        return true;
    }

    AppProcess app() override { return AppProcess(m_server.environment()); }
    bool requestCapture(AppProcess &) override { return trayIcon() && keys("shift+ctrl+9"); }
    QList<Window> overlays() const override
    {
        QList<Window> found = windows(Kind::Overlay);
        std::ranges::sort(found, {}, [](const Window &w) { return w.rect.x(); });
        return found;
    }
    QList<Window> menus() const override { return windows(Kind::Menu); }
    std::optional<Window> trayIcon() const override
    {
        QList<Window> icons;
        waitUntil([&] { return !(icons = windows(Kind::TrayIcon)).isEmpty(); }, 15000);
        return icons.isEmpty() ? std::nullopt : std::optional(icons.first());
    }
    bool fromTrayMenu(const QStringList &steps, const std::function<bool()> &done,
                      Window *menu) const override
    {
        const std::optional<Window> icon = trayIcon();
        for (int attempt = 1; icon && attempt <= 3; ++attempt) {
            if (!pointer(at(icon->rect.center()) + QStringList{"click", "3"}) ||
                !waitUntil([&] { return !menus().isEmpty(); }, 15000))
                continue;
            if (menu)
                *menu = menus().value(0);
            QTest::qWait(500 * attempt);
            run("xdotool", QStringList{"key"} + steps);
            if (waitUntil(done, 5000))
                return true;
            keys("Escape");
            waitUntil([&] { return menus().isEmpty(); }, 3000);
        }
        return false;
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

private:
    // The application's visible top-level windows of one kind.
    QList<Window> windows(Kind kind) const
    {
        const QByteArray focus = output("xdotool", {"getwindowfocus"}).trimmed();
        QList<Window> found;
        const QByteArray ids =
            output("xdotool", {"search", "--onlyvisible", "--classname", "^corvane$"});
        for (const QByteArray &id : ids.split('\n')) {
            if (id.isEmpty())
                continue;
            QHash<QByteArray, int> v;
            for (const QByteArray &line :
                 output("xdotool", {"getwindowgeometry", "--shell", id}).split('\n'))
                v.insert(line.left(line.indexOf('=')), line.mid(line.indexOf('=') + 1).toInt());
            const QRect rect(v.value("X"), v.value("Y"), v.value("WIDTH"), v.value("HEIGHT"));
            const Kind is = rect.width() <= 64 && rect.height() <= 64 ? Kind::TrayIcon
                            : rect.width() >= 1000                    ? Kind::Overlay
                                                                      : Kind::Menu;
            if (rect.isValid() && is == kind)
                found.append({rect, id == focus, QString::fromLatin1(id)});
        }
        return found;
    }

    XServer m_server{{.width = 1280, .height = 800, .twoMonitors = true}};
};

} // namespace

std::unique_ptr<Desktop> Desktop::start(QString *error)
{
    auto desktop = std::make_unique<X11Desktop>();
    return desktop->start(error) ? std::move(desktop) : nullptr;
}

} // namespace testkit
