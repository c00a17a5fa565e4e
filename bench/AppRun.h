#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <xcb/damage.h>
#include <xcb/xcb.h>

#include "testkit/XServer.h"

// The built application running under a private X server, watched from a separate client:
// which windows it maps, when the server first draws into them (the X Damage extension on
// the root and on each overlay window), and whether it holds its hotkey yet.
namespace apprun {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kNine = 18; // X11 keycode of the "9" key
constexpr uint16_t kHotKeyMask = XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL;

struct Overlay
{
    xcb_window_t window = XCB_WINDOW_NONE;
    xcb_rectangle_t area{};
    std::optional<Clock::time_point> mapped;
    std::optional<Clock::time_point> firstFrame;
};

class App
{
public:
    // monitors: 1 for one 3840x2160 screen, 2 for two of them side by side. Without
    // listWindows the application is told to record no windows at capture.
    explicit App(int monitors, bool listWindows = true)
        : m_monitors(monitors), m_listWindows(listWindows),
          m_server(testkit::XServerOptions{.width = 3840,
                                           .height = 2160,
                                           .windowManager = true,
                                           .tray = true,
                                           .twoMonitors = monitors == 2})
    {}
    ~App()
    {
        if (m_c)
            xcb_disconnect(m_c);
        if (m_app.state() != QProcess::NotRunning) {
            m_app.terminate();
            m_app.waitForFinished(3000);
        }
    }

    bool start(QString *error)
    {
        if (!m_server.start(error))
            return false;
        m_server.exportToProcess();
        testkit::dieWithParent(m_app);
        QProcessEnvironment env = m_server.environment();
        env.insert(QStringLiteral("HOME"), m_home.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.filePath(QStringLiteral("config")));
        if (!m_listWindows)
            env.insert(QStringLiteral("CORVANE_WINDOW_LIST"), QStringLiteral("none"));
        m_app.setProcessEnvironment(env);
        m_app.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_app.start(QStringLiteral(CORVANE_EXECUTABLE));
        if (!m_app.waitForStarted(5000)) {
            *error = QStringLiteral("corvane did not start");
            return false;
        }
        m_c = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(m_c)) {
            *error = QStringLiteral("no connection to the X server");
            return false;
        }
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_c)).data->root;
        const xcb_query_extension_reply_t *damage = xcb_get_extension_data(m_c, &xcb_damage_id);
        if (!damage || !damage->present) {
            *error = QStringLiteral("the X server has no Damage extension");
            return false;
        }
        m_damageEvent = damage->first_event;
        free(xcb_damage_query_version_reply(m_c, xcb_damage_query_version(m_c, 1, 1), nullptr));
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(m_c, m_root, XCB_CW_EVENT_MASK, &mask);
        xcb_damage_create(m_c, xcb_generate_id(m_c), m_root,
                          XCB_DAMAGE_REPORT_LEVEL_RAW_RECTANGLES);
        xcb_flush(m_c);
        if (!waitForHotKey()) {
            *error = QStringLiteral("corvane did not take its hotkey");
            return false;
        }
        return true;
    }

    // When this client last received a key press (from a grab of its own).
    std::optional<Clock::time_point> lastKeyPress;

    qint64 pid() const { return m_app.processId(); }
    xcb_connection_t *connection() const { return m_c; }
    const testkit::XServer &server() const { return m_server; }
    int monitors() const { return m_monitors; }
    bool listsWindows() const { return m_listWindows; }

    // Injects keys and waits for the injecting client to finish, so that no two injections
    // overlap and leave modifiers in a mixed state.
    void keys(const QString &keys)
    {
        QProcess xdotool;
        xdotool.start(QStringLiteral("xdotool"), {QStringLiteral("key"), keys});
        xdotool.waitForFinished(5000);
    }
    void pointer(const QStringList &args) { m_server.run(QStringLiteral("xdotool"), args); }

    // Presses the capture hotkey and waits until every overlay window has been drawn into.
    // Returns the overlays with their times, or nothing after five seconds; *start is when
    // the key injection began.
    std::optional<std::vector<Overlay>> capture(Clock::time_point *start)
    {
        drain();
        m_overlays.clear();
        *start = Clock::now();
        QProcess xdotool;
        xdotool.start(QStringLiteral("xdotool"),
                      {QStringLiteral("key"), QStringLiteral("shift+ctrl+9")});
        const bool done = pump([this] {
            return int(m_overlays.size()) == m_monitors &&
                   std::all_of(m_overlays.begin(), m_overlays.end(),
                               [](const Overlay &o) { return o.firstFrame.has_value(); });
        });
        xdotool.waitForFinished(5000);
        if (!done) {
            std::fprintf(stderr, "capture: %zu of %d overlays mapped, %zu windows seen\n",
                         m_overlays.size(), m_monitors, m_candidates.size());
            return std::nullopt;
        }
        return m_overlays;
    }

    // Closes the overlay with Escape and waits until its windows are unmapped.
    bool close()
    {
        keys(QStringLiteral("Escape"));
        return pump([this] { return m_unmapped >= int(m_overlays.size()); });
    }

    // Runs the event pump until done() holds; false after five seconds.
    template<typename Done> bool pump(Done done)
    {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (!done()) {
            if (Clock::now() > deadline)
                return false;
            while (xcb_generic_event_t *event = xcb_poll_for_event(m_c)) {
                handle(event);
                free(event);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        return true;
    }

    void drain()
    {
        while (xcb_generic_event_t *event = xcb_poll_for_event(m_c))
            free(event);
        m_unmapped = 0;
    }

private:
    void handle(xcb_generic_event_t *event)
    {
        const uint8_t type = event->response_type & 0x7f;
        const auto now = Clock::now();
        if (type == XCB_CREATE_NOTIFY) {
            auto *e = reinterpret_cast<xcb_create_notify_event_t *>(event);
            // An overlay is an override-redirect window as large as a monitor; menus and
            // tips are far smaller.
            if (e->override_redirect) {
                m_candidates.push_back(Overlay{e->window, {e->x, e->y, e->width, e->height}});
                xcb_damage_create(m_c, xcb_generate_id(m_c), e->window,
                                  XCB_DAMAGE_REPORT_LEVEL_RAW_RECTANGLES);
                xcb_flush(m_c);
            }
        } else if (type == XCB_CONFIGURE_NOTIFY) {
            auto *e = reinterpret_cast<xcb_configure_notify_event_t *>(event);
            for (Overlay &o : m_candidates) {
                if (o.window == e->window)
                    o.area = {e->x, e->y, e->width, e->height};
            }
        } else if (type == XCB_MAP_NOTIFY) {
            auto *e = reinterpret_cast<xcb_map_notify_event_t *>(event);
            for (const Overlay &o : m_candidates) {
                if (o.window == e->window && o.area.width >= 1000 && o.area.height >= 1000 &&
                    !find(o.window)) {
                    m_overlays.push_back(o);
                    m_overlays.back().mapped = now;
                }
            }
        } else if (type == XCB_UNMAP_NOTIFY) {
            auto *e = reinterpret_cast<xcb_unmap_notify_event_t *>(event);
            if (find(e->window))
                ++m_unmapped;
        } else if (type == XCB_KEY_PRESS) {
            lastKeyPress = now;
        } else if (type == m_damageEvent + XCB_DAMAGE_NOTIFY) {
            auto *e = reinterpret_cast<xcb_damage_notify_event_t *>(event);
            if (Overlay *o = find(e->drawable)) {
                if (o->mapped && !o->firstFrame)
                    o->firstFrame = now;
                return;
            }
            if (e->drawable != m_root)
                return;
            // The server painting a window's background at map reports only on the root.
            for (Overlay &o : m_overlays) {
                if (o.mapped && !o.firstFrame && intersects(e->area, o.area))
                    o.firstFrame = now;
            }
        }
    }

    static bool intersects(const xcb_rectangle_t &a, const xcb_rectangle_t &b)
    {
        return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height &&
               b.y < a.y + a.height;
    }

    Overlay *find(xcb_window_t window)
    {
        for (Overlay &o : m_overlays) {
            if (o.window == window)
                return &o;
        }
        return nullptr;
    }

    // The application holds its hotkey once this client's grab of the same key is refused.
    bool waitForHotKey()
    {
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (Clock::now() < deadline) {
            xcb_generic_error_t *error = xcb_request_check(
                m_c, xcb_grab_key_checked(m_c, 1, m_root, kHotKeyMask, kNine, XCB_GRAB_MODE_ASYNC,
                                          XCB_GRAB_MODE_ASYNC));
            if (error) {
                free(error);
                return true;
            }
            xcb_ungrab_key(m_c, kNine, m_root, kHotKeyMask);
            xcb_flush(m_c);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    int m_monitors;
    bool m_listWindows;
    testkit::XServer m_server;
    QTemporaryDir m_home;
    QProcess m_app;
    xcb_connection_t *m_c = nullptr;
    xcb_window_t m_root = XCB_WINDOW_NONE;
    uint8_t m_damageEvent = 0;
    // Override-redirect windows of the application: overlays once mapped at monitor size.
    std::vector<Overlay> m_candidates;
    std::vector<Overlay> m_overlays;
    int m_unmapped = 0;
};

inline double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

} // namespace apprun
