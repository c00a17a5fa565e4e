#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <poll.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sched.h>
#include <unistd.h>
#include <wayland-client.h>

#include "ReferenceDecoders.h"
#include "RunBenchmarks.h"
#include "capture/PortalCapture.h"
#include "testkit/WaylandDesktop.h"
#include "testkit/XServer.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"

// A capture under Wayland, on the headless sway desktop with one output, timed per capture,
// once through the compositor's screen copies (what corvane uses there) and once through the
// desktop portal (CORVANE_CAPTURE=portal, what it uses on desktops without them), and on the
// headless GNOME Shell desktop, whose only way is its portal:
//   answer   the request leaving corvane to the pixels' arrival: the copies ready, or the
//            portal's Response (corvane's own milestones, CORVANE_MILESTONES, CLOCK_MONOTONIC);
//   own      corvane's share: that arrival to the overlay's first frame on screen;
//   whole    the request leaving corvane to that first frame.
// "First frame on screen" is the compositor's word for it: this harness is a client of the
// screen-copy protocol, keeps copies of the output pending that the compositor fills at each
// commit of the output that changed it, and takes the commit stamp (CLOCK_MONOTONIC, taken
// by wlroots as the output commits) of the first copy whose pixels are the overlay's, the
// desktop's picture dimmed. The output commits at most once per refresh (60 Hz), so a frame
// ready just after a commit waits up to 16.7 ms for the next; that wait is in "own". GNOME
// Shell offers no screen copies: there the first frame is the shell's first paint of the
// overlay's window, which a script of ours in the shell stamps (see kNoteFirstFrames). On the
// headless KWin desktop corvane, admitted by a desktop file, captures through KWin's
// screenshots, and through its portal as well; there the first frame is the overlay's first
// buffer as KWin takes it (composited at the next refresh, up to 16.7 ms later, which "own"
// leaves out there), which a KWin script of ours stamps (see kKwinFirstFrames). A
// capture is started as a person's shortcut would: by launching corvane a second time.
// The baseline of each ratio is the portal's round trip measured in the same run.
// BENCH_CORVANE names another build of corvane to time, to compare two builds on the same
// machine.
namespace {

using Ns = long long;

Ns monotonicNow()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return Ns(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

QString executable()
{
    return qEnvironmentVariable("BENCH_CORVANE", QStringLiteral(CORVANE_EXECUTABLE));
}

double ms(Ns ns)
{
    return double(ns) / 1e6;
}

struct Config
{
    const char *name;
    QSize pixels;
    int scale;
    bool gnome = false;
    bool kde = false;
};
const Config kConfigs[] = {
    {"1920x1080", {1920, 1080}, 1},
    {"3840x2160", {3840, 2160}, 1},
    {"3840x2160@2", {3840, 2160}, 2},
    {"GNOME 1920x1080", {1920, 1080}, 1, true},
    {"GNOME 3840x2160", {3840, 2160}, 1, true},
    {"KDE 1920x1080", {1920, 1080}, 1, false, true},
    {"KDE 3840x2160", {3840, 2160}, 1, false, true},
};

// Something like a desktop, whose picture costs about what a real one does to encode and
// decode: a photograph's grain on the left, lines of dark words on white on the right. No
// channel is darker than 32, so that dimmed and undimmed pixels never agree.
QImage desktopPicture(QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    QRandomGenerator rng(7);
    const int photo = size.width() * 3 / 5;
    for (int y = 0; y < size.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < photo; ++x) {
            const int grain = int(rng.bounded(13)) - 6;
            line[x] =
                qRgb(std::clamp(60 + 150 * x / photo + grain, 32, 255),
                     std::clamp(200 - 120 * y / size.height() + grain, 32, 255),
                     std::clamp(90 + 60 * (x + y) / (photo + size.height()) + grain, 32, 255));
        }
        const int row = y % 24;
        int x = photo + 40;
        std::fill(line + photo, line + size.width(), qRgb(250, 250, 250));
        while (row >= 6 && row < 18 && x < size.width() - 40) {
            const int word = 20 + int(rng.bounded(60));
            for (int i = x; i < std::min(x + word, size.width() - 40); ++i)
                line[i] = rng.bounded(3) ? qRgb(40, 40, 48) : qRgb(120, 120, 128);
            x += word + 12;
        }
    }
    return image;
}

QRgb same(QRgb p)
{
    return p;
}

// Black at alpha 128 over a pixel, as the overlay dims.
QRgb dimmed(QRgb p)
{
    const auto half = [](int c) { return (c * 127 + 127) / 255; };
    return qRgb(half(qRed(p)), half(qGreen(p)), half(qBlue(p)));
}

// The frame shows picture (passed through look) at every point of a grid of 48 x 27, each
// channel within 2.
bool shows(const QImage &frame, const QImage &picture, QRgb (*look)(QRgb))
{
    if (frame.size() != picture.size())
        return false;
    for (int j = 0; j < 27; ++j) {
        const int y = (2 * j + 1) * picture.height() / 54;
        for (int i = 0; i < 48; ++i) {
            const int x = (2 * i + 1) * picture.width() / 96;
            const QRgb want = look(picture.pixel(x, y)), got = frame.pixel(x, y);
            if (std::abs(qRed(want) - qRed(got)) > 2 || std::abs(qGreen(want) - qGreen(got)) > 2 ||
                std::abs(qBlue(want) - qBlue(got)) > 2)
                return false;
        }
    }
    return true;
}

// The output's frames as the compositor commits them, through two copies kept pending at
// all times: when one is filled the other waits for the next changed commit, so that no
// commit goes by unseen while the first is handed back and asked again.
class FrameWatch
{
public:
    ~FrameWatch()
    {
        for (Copy &c : m_copies) {
            if (c.frame)
                zwlr_screencopy_frame_v1_destroy(c.frame);
            if (c.buffer)
                wl_buffer_destroy(c.buffer);
            if (c.pixels)
                munmap(c.pixels, c.size);
        }
        if (m_display)
            wl_display_disconnect(m_display);
    }

    bool connect(const QString &socket, QString *error)
    {
        m_display = wl_display_connect(QFile::encodeName(socket).constData());
        if (!m_display) {
            *error = QStringLiteral("no connection to the compositor");
            return false;
        }
        wl_registry *registry = wl_display_get_registry(m_display);
        static const wl_registry_listener listener{
            [](void *data, wl_registry *r, uint32_t name, const char *interface, uint32_t v) {
                static_cast<FrameWatch *>(data)->global(r, name, interface, v);
            },
            [](void *, wl_registry *, uint32_t) {}};
        wl_registry_add_listener(registry, &listener, this);
        wl_display_roundtrip(m_display);
        if (!m_shm || !m_manager || !m_output) {
            *error = QStringLiteral("the compositor offers no screen copies of its output");
            return false;
        }
        for (Copy &c : m_copies)
            request(c);
        return wl_display_flush(m_display) >= 0;
    }

    // Called with each copied frame: its pixels and the output's commit stamp.
    std::function<void(const QImage &frame, Ns committed)> onFrame;

    // Handles what the compositor sent, waiting at most timeoutMs for it.
    bool dispatch(int timeoutMs)
    {
        while (wl_display_prepare_read(m_display) != 0)
            wl_display_dispatch_pending(m_display);
        wl_display_flush(m_display);
        pollfd p{wl_display_get_fd(m_display), POLLIN, 0};
        if (poll(&p, 1, timeoutMs) > 0)
            wl_display_read_events(m_display);
        else
            wl_display_cancel_read(m_display);
        return wl_display_dispatch_pending(m_display) >= 0;
    }

private:
    struct Copy
    {
        FrameWatch *watch = nullptr;
        zwlr_screencopy_frame_v1 *frame = nullptr;
        wl_buffer *buffer = nullptr;
        uchar *pixels = nullptr;
        size_t size = 0;
        uint32_t format = 0, width = 0, height = 0, stride = 0;
    };

    void global(wl_registry *registry, uint32_t name, const char *interface, uint32_t version)
    {
        if (std::strcmp(interface, wl_shm_interface.name) == 0)
            m_shm = static_cast<wl_shm *>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
        else if (std::strcmp(interface, wl_output_interface.name) == 0)
            m_output =
                static_cast<wl_output *>(wl_registry_bind(registry, name, &wl_output_interface, 1));
        else if (std::strcmp(interface, zwlr_screencopy_manager_v1_interface.name) == 0 &&
                 version >= 2)
            m_manager = static_cast<zwlr_screencopy_manager_v1 *>(wl_registry_bind(
                registry, name, &zwlr_screencopy_manager_v1_interface, std::min(version, 3u)));
    }

    void request(Copy &c)
    {
        static const zwlr_screencopy_frame_v1_listener listener{
            [](void *data, zwlr_screencopy_frame_v1 *, uint32_t format, uint32_t width,
               uint32_t height, uint32_t stride) {
                auto *c = static_cast<Copy *>(data);
                c->format = format, c->width = width, c->height = height, c->stride = stride;
                if (zwlr_screencopy_manager_v1_get_version(c->watch->m_manager) < 3)
                    c->watch->copy(*c);
            },
            [](void *, zwlr_screencopy_frame_v1 *, uint32_t) {},
            [](void *data, zwlr_screencopy_frame_v1 *, uint32_t hi, uint32_t lo, uint32_t nsec) {
                auto *c = static_cast<Copy *>(data);
                const Ns committed = Ns((uint64_t(hi) << 32) | lo) * 1000000000LL + nsec;
                // Both 32-bit formats of the protocol read as Format_RGB32.
                if (c->watch->onFrame)
                    c->watch->onFrame(QImage(c->pixels, int(c->width), int(c->height),
                                             int(c->stride), QImage::Format_RGB32),
                                      committed);
                c->watch->again(*c);
            },
            [](void *data, zwlr_screencopy_frame_v1 *) {
                auto *c = static_cast<Copy *>(data);
                c->watch->again(*c);
            },
            [](void *, zwlr_screencopy_frame_v1 *, uint32_t, uint32_t, uint32_t, uint32_t) {},
            [](void *, zwlr_screencopy_frame_v1 *, uint32_t, uint32_t, uint32_t) {},
            [](void *data, zwlr_screencopy_frame_v1 *) {
                auto *c = static_cast<Copy *>(data);
                c->watch->copy(*c);
            },
        };
        c.watch = this;
        c.frame = zwlr_screencopy_manager_v1_capture_output(m_manager, 0, m_output);
        zwlr_screencopy_frame_v1_add_listener(c.frame, &listener, &c);
    }

    void copy(Copy &c)
    {
        const size_t size = size_t(c.stride) * c.height;
        if (c.size != size) {
            if (c.buffer)
                wl_buffer_destroy(c.buffer);
            if (c.pixels)
                munmap(c.pixels, c.size);
            const int fd = memfd_create("frame", MFD_CLOEXEC);
            if (fd < 0 || ftruncate(fd, off_t(size)) != 0)
                return;
            c.pixels = static_cast<uchar *>(
                mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
            wl_shm_pool *pool = wl_shm_create_pool(m_shm, fd, int(size));
            c.buffer = wl_shm_pool_create_buffer(pool, 0, int(c.width), int(c.height),
                                                 int(c.stride), c.format);
            wl_shm_pool_destroy(pool);
            close(fd);
            c.size = size;
        }
        zwlr_screencopy_frame_v1_copy_with_damage(c.frame, c.buffer);
    }

    void again(Copy &c)
    {
        zwlr_screencopy_frame_v1_destroy(c.frame);
        c.frame = nullptr;
        request(c);
    }

    wl_display *m_display = nullptr;
    wl_shm *m_shm = nullptr;
    zwlr_screencopy_manager_v1 *m_manager = nullptr;
    wl_output *m_output = nullptr;
    Copy m_copies[2];
};

// Run once in GNOME Shell (its Eval call, which the test desktop's shell admits): stamps the
// shell's first paint of each window (mutter's "first-frame" of the window's actor) with the
// window's size, on GLib's monotonic clock (CLOCK_MONOTONIC in microseconds).
const char kNoteFirstFrames[] = R"(global._benchFrames = [];
global.window_group.connect('actor-added', (group, actor) => {
    if (actor.meta_window)
        actor.connect('first-frame', () => {
            const r = actor.meta_window.get_frame_rect();
            global._benchFrames.push([r.width, r.height, imports.gi.GLib.get_monotonic_time()]);
        });
}); true)";

// The shell's answer to code (JSON), or an empty document when it gave none.
QJsonDocument shellEval(const testkit::WaylandDesktop &desktop, const QString &code)
{
    QByteArray out;
    if (desktop.run("gdbus",
                    {"call", "--session", "--dest", "org.gnome.Shell", "--object-path",
                     "/org/gnome/Shell", "--method", "org.gnome.Shell.Eval", code},
                    &out) != 0 ||
        !out.startsWith("(true, '")) {
        std::fprintf(stderr, "the shell said: %s\n", out.constData());
        return {};
    }
    return QJsonDocument::fromJson("[" + out.mid(8, out.lastIndexOf('\'') - 8) + "]");
}

// One capture's times, CLOCK_MONOTONIC in nanoseconds.
struct Capture
{
    std::map<QByteArray, Ns> milestones;
    std::optional<Ns> firstFrame;
    Ns frameSeen = 0;
};

// Loaded into KWin: writes a line to KWin's log when one of corvane's windows takes its first
// buffer (KWin adds a Wayland window to the workspace only then, so that buffer's own damage
// comes before the script hears of the window) and at each damage after it, stamped in
// milliseconds of the realtime clock (all a script can read).
const char kKwinFirstFrames[] = R"(workspace.clientAdded.connect(w => {
    if (w.resourceClass != "corvane")
        return;
    const frame = () => print("bench-frame " + w.frameGeometry.width + " " +
        w.frameGeometry.height + " " + Date.now());
    frame();
    w.damaged.connect(frame);
});
)";

// The desktop of one configuration with corvane running on it.
class Session
{
public:
    Session(const Config &config, bool viaPortal)
        : m_config(config), m_viaPortal(viaPortal), m_picture(desktopPicture(config.pixels))
    {
        const QList<testkit::WaylandDesktop::Output> outputs{
            {config.pixels, config.scale, m_picture}};
        if (config.gnome)
            m_desktop = std::make_unique<testkit::GnomeDesktop>(outputs);
        else if (config.kde)
            m_desktop = std::make_unique<testkit::KwinDesktop>(outputs, QStringList{executable()});
        else
            m_desktop = std::make_unique<testkit::WaylandDesktop>(outputs);
    }
    ~Session()
    {
        for (QProcess *p : {&m_app, &m_second}) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(3000);
            }
        }
    }

    bool start(QString *error)
    {
        if (!m_desktop->start(error))
            return false;
        // The desktop names its display by path, so the application may have a runtime folder
        // of its own.
        m_env = m_desktop->environment();
        if (m_config.gnome) {
            if (!shellEval(*m_desktop, kNoteFirstFrames).isArray()) {
                *error = "the shell ran no script of ours";
                return false;
            }
        } else if (m_config.kde) {
            const QString runtime = m_env.value("XDG_RUNTIME_DIR"), script = runtime + "/bench.js";
            m_kwinLog.setFileName(runtime + "/kwin.log");
            const auto scripting = [this](const QStringList &call) {
                return m_desktop->run("gdbus",
                                      QStringList{"call", "--session", "--dest", "org.kde.KWin",
                                                  "--object-path", "/Scripting", "--method"} +
                                          call) == 0;
            };
            QFile file(script);
            const bool written =
                file.open(QIODevice::WriteOnly) && file.write(kKwinFirstFrames) > 0;
            file.close();
            if (!written || !scripting({"org.kde.kwin.Scripting.loadScript", script, "bench"}) ||
                !scripting({"org.kde.kwin.Scripting.start"}) ||
                !m_kwinLog.open(QIODevice::ReadOnly)) {
                *error = "KWin ran no script of ours";
                return false;
            }
            m_kwinLog.seek(m_kwinLog.size());
        } else {
            if (!m_watch.connect(m_env.value("WAYLAND_DISPLAY"), error))
                return false;
            m_watch.onFrame = [this](const QImage &frame, Ns committed) { seen(frame, committed); };
            // The compositor shows the picture at the output's full size before corvane starts.
            m_wantWallpaper = true;
            if (!pump([this] { return !m_wantWallpaper; }, 20000)) {
                *error = "the output never showed its picture";
                return false;
            }
        }

        QDir(m_home.path()).mkpath("runtime");
        QProcess::execute("chown", {"-R", testkit::WaylandDesktop::user, m_home.path()});
        QFile::setPermissions(m_home.filePath("runtime"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        m_env.insert("XDG_RUNTIME_DIR", m_home.filePath("runtime"));
        // The home the desktop gives, where a portal writes its pictures, as in a login session.
        if (!m_env.contains("HOME"))
            m_env.insert("HOME", m_home.path());
        m_env.insert("XDG_CONFIG_HOME", m_home.filePath("config"));
        m_env.insert("CORVANE_MILESTONES", "1");
        if (m_viaPortal)
            m_env.insert("CORVANE_CAPTURE", "portal");
        testkit::dieWithParent(m_app);
        m_desktop->runAsUser(m_app, executable(), {}, m_env);
        m_app.start();
        if (!pump([this] { return m_log.contains("화면 플랫폼: Wayland"); }, 20000)) {
            *error = "corvane did not start on Wayland: " + QString::fromUtf8(m_log.right(2000));
            return false;
        }
        return true;
    }

    // Asks for a capture and waits until its overlay's first frame is on screen.
    std::optional<Capture> capture()
    {
        m_capture = Capture{};
        m_capturing = true;
        m_second.close();
        testkit::dieWithParent(m_second);
        m_desktop->runAsUser(m_second, executable(), {}, m_env);
        m_second.start();
        const auto has = [this](const char *name) { return m_capture.milestones.count(name); };
        Ns asked = 0;
        const bool done = pump(
            [&] {
                // The shell is asked from a second after the overlay is made on, so that asking
                // does not compete with the frame.
                if (m_config.gnome && !m_capture.firstFrame && has("screens-cut") &&
                    monotonicNow() - std::max(asked, m_capture.milestones["screens-cut"]) >
                        1000000000LL) {
                    asked = monotonicNow();
                    shellFrame();
                }
                return m_capture.firstFrame && has("screens-cut") &&
                       (has("copy-ready") || (has("portal-response") && has("picture-read")));
            },
            20000);
        m_capturing = false;
        m_second.waitForFinished(5000);
        if (!done) {
            std::fprintf(stderr, "capture: no overlay on screen; corvane said:\n%s\n",
                         m_log.right(3000).constData());
            return std::nullopt;
        }
        return m_capture;
    }

    // The application's resident memory in MiB, shared memory included, after a second's rest.
    double residentMiB()
    {
        pump([] { return false; }, 1000);
        QFile status(QStringLiteral("/proc/%1/status").arg(m_app.processId()));
        status.open(QIODevice::ReadOnly);
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024;
        }
        return 0;
    }

    // Closes the overlay with Escape and waits until the screen shows the desktop again.
    bool close()
    {
        if (m_config.gnome) {
            const auto overlayShown = [this] {
                return std::ranges::any_of(m_desktop->windows(),
                                           &testkit::WaylandDesktop::Window::fullScreen);
            };
            return m_desktop->keys("Escape") && pump([&] { return !overlayShown(); }, 10000);
        }
        if (m_config.kde) {
            const auto overlayShown = [this] {
                return std::ranges::any_of(m_desktop->windows(), [](const auto &w) {
                    return w.appId == "corvane" && w.fullScreen;
                });
            };
            return m_desktop->keys("Escape") && pump([&] { return !overlayShown(); }, 10000);
        }
        m_wantWallpaper = true;
        return m_desktop->run("wtype", {"-s", "300", "-k", "Escape"}) == 0 &&
               pump([this] { return !m_wantWallpaper; }, 10000);
    }

private:
    template<typename Done> bool pump(Done done, int timeoutMs)
    {
        const Ns deadline = monotonicNow() + Ns(timeoutMs) * 1000000;
        while (!done()) {
            if (monotonicNow() > deadline)
                return false;
            if (m_config.gnome || m_config.kde)
                poll(nullptr, 0, 1);
            else if (!m_watch.dispatch(1))
                return false;
            QCoreApplication::processEvents();
            readLog();
            if (m_config.kde)
                kwinFrame();
        }
        return true;
    }

    void readLog()
    {
        if (m_app.state() != QProcess::NotRunning)
            m_log += m_app.readAllStandardError();
        qsizetype end;
        while ((end = m_log.indexOf('\n', m_parsed)) >= 0) {
            const QList<QByteArray> words = m_log.mid(m_parsed, end - m_parsed).split(' ');
            m_parsed = end + 1;
            if (m_capturing && words.size() == 4 && words[0] == "corvane" &&
                words[1] == "milestone")
                m_capture.milestones[words[2]] = words[3].toLongLong();
        }
    }

    // The shell's first paint of a window covering the output since the last capture.
    void shellFrame()
    {
        for (const QJsonValue &frame :
             shellEval(*m_desktop, "global._benchFrames.splice(0)").array().first().toArray()) {
            const QJsonArray f = frame.toArray();
            if (QSize(f[0].toInt(), f[1].toInt()) == m_config.pixels && !m_capture.firstFrame) {
                m_capture.firstFrame = Ns(f[2].toDouble()) * 1000;
                m_capture.frameSeen = monotonicNow();
            }
        }
    }

    // KWin's first buffer of an overlay covering the output since the capture was asked for.
    void kwinFrame()
    {
        while (m_kwinLog.canReadLine() || m_kwinLog.bytesAvailable() > 0) {
            const QByteArray line = m_kwinLog.readLine();
            if (line.isEmpty())
                break;
            const QList<QByteArray> w = line.trimmed().split(' ');
            if (!m_capturing || m_capture.firstFrame || w.size() != 5 || w[1] != "bench-frame" ||
                QSize(w[2].toInt(), w[3].toInt()) != m_config.pixels)
                continue;
            timespec real{}, mono{};
            clock_gettime(CLOCK_REALTIME, &real);
            clock_gettime(CLOCK_MONOTONIC, &mono);
            const Ns offset =
                (Ns(real.tv_sec) - mono.tv_sec) * 1000000000LL + (Ns(real.tv_nsec) - mono.tv_nsec);
            const Ns stamp = w[4].toLongLong() * 1000000 - offset;
            const auto request = m_capture.milestones.find(
                m_capture.milestones.count("copy-request") ? "copy-request" : "portal-request");
            if (request != m_capture.milestones.end() && stamp >= request->second) {
                m_capture.firstFrame = stamp;
                m_capture.frameSeen = monotonicNow();
            }
        }
    }

    void seen(const QImage &frame, Ns committed)
    {
        if (m_wantWallpaper && shows(frame, m_picture, same))
            m_wantWallpaper = false;
        if (m_capturing && !m_capture.firstFrame && shows(frame, m_picture, dimmed)) {
            m_capture.firstFrame = committed;
            m_capture.frameSeen = monotonicNow();
        }
    }

    Config m_config;
    bool m_viaPortal;
    QImage m_picture;
    std::unique_ptr<testkit::WaylandDesktop> m_desktop;
    FrameWatch m_watch;
    QFile m_kwinLog;
    QTemporaryDir m_home;
    QProcessEnvironment m_env;
    QProcess m_app, m_second;
    QByteArray m_log;
    qsizetype m_parsed = 0;
    bool m_wantWallpaper = false;
    bool m_capturing = false;
    Capture m_capture;
};

struct Figures
{
    std::vector<double> answer, own, whole, decode, cut, overlay, stampToSeen;
    std::optional<Capture> first;
    double residentAtStart = 0;
    // A second after each capture closed.
    std::vector<double> residentAfterEach;
};
std::map<std::pair<int, bool>, Figures> figures;

void add(Figures &f, const Capture &c)
{
    const auto at = [&c](const char *name) { return c.milestones.at(name); };
    const bool copied = c.milestones.count("copy-ready");
    const Ns request = at(copied ? "copy-request" : "portal-request");
    const Ns answer = at(copied ? "copy-ready" : "portal-response");
    const Ns read = copied ? answer : at("picture-read");
    f.answer.push_back(ms(answer - request));
    f.own.push_back(ms(*c.firstFrame - answer));
    f.whole.push_back(ms(*c.firstFrame - request));
    f.decode.push_back(ms(read - answer));
    f.cut.push_back(ms(at("screens-cut") - read));
    f.overlay.push_back(ms(*c.firstFrame - at("screens-cut")));
    f.stampToSeen.push_back(ms(c.frameSeen - *c.firstFrame));
}

// The first capture after start is kept apart: it pays for what later ones find ready.
void captureToFirstFrame(benchmark::State &state)
{
    const Config &config = kConfigs[state.range(0)];
    const bool viaPortal = state.range(1);
    state.SetLabel(std::string(config.name) + (viaPortal ? " portal" : " copies"));
    Session session(config, viaPortal);
    QString error;
    if (!session.start(&error)) {
        state.SkipWithError(qPrintable(error));
        return;
    }
    Figures &f = figures[{int(state.range(0)), viaPortal}];
    f.residentAtStart = session.residentMiB();
    f.first = session.capture();
    if (!f.first || !session.close()) {
        state.SkipWithError("the first capture did not show its overlay");
        return;
    }
    for (auto _ : state) {
        const std::optional<Capture> c = session.capture();
        if (!c) {
            state.SkipWithError("no overlay reached the screen");
            return;
        }
        add(f, *c);
        state.SetIterationTime(f.own.back() / 1000);
        if (!session.close()) {
            state.SkipWithError("Escape did not bring the desktop back");
            return;
        }
        f.residentAfterEach.push_back(session.residentMiB());
    }
}

BENCHMARK(captureToFirstFrame)
    ->ArgsProduct({{0, 1, 2}, {0, 1}})
    ->Args({3, 1})
    ->Args({4, 1})
    ->ArgsProduct({{5, 6}, {0, 1}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20);

// The portal's picture on GNOME, decoded by corvane and by the decoders of ReferenceDecoders.h.
// GNOME's portal has the shell write its picture (8-bit RGBA, a filter chosen per row by
// libpng, zlib's default level, chunks of 8 KiB); the shell's own screenshot call writes the
// same file, and is asked here for one of the desktop picture, on a desktop of that size
// that is stopped before the decoders run.
QByteArray gnomePicture(const Config &config)
{
    const QImage picture = desktopPicture(config.pixels);
    testkit::GnomeDesktop desktop({{config.pixels, 1, picture}});
    if (!desktop.start())
        return {};
    const QString file = desktop.environment().value("XDG_RUNTIME_DIR") + "/picture.png";
    const QPoint middle(config.pixels.width() / 2, config.pixels.height() / 2);
    for (int attempt = 0; attempt < 20; ++attempt) {
        QFile::remove(file);
        QFile png(file);
        if (desktop.run("gdbus",
                        {"call", "--session", "--dest", "org.gnome.Shell.Screenshot",
                         "--object-path", "/org/gnome/Shell/Screenshot", "--method",
                         "org.gnome.Shell.Screenshot.Screenshot", "false", "false", file},
                        nullptr, 30000) == 0 &&
            png.open(QIODevice::ReadOnly)) {
            const QByteArray data = png.readAll();
            // The shell may show its wallpaper a moment after it starts.
            if (QImage::fromData(data).pixel(middle) == picture.pixel(middle))
                return data;
        }
        QProcess::execute("sleep", {"0.5"});
    }
    return {};
}

struct Decoder
{
    const char *name;
    QImage (*decode)(const QByteArray &);
};
const Decoder kDecoders[] = {
    {"zlib, two threads (before)", ReferenceDecoders::zlibTwoThreads},
    {"libspng", ReferenceDecoders::spng},
    {"Qt (libpng)", ReferenceDecoders::qt},
    {"corvane (libdeflate)", PortalCapture::decodePicture},
};
constexpr size_t kDecoderCount = std::size(kDecoders);
// By configuration and decoder: milliseconds per decode, and each decode's time over the
// first decoder's in the same iteration.
std::map<std::pair<int, size_t>, std::vector<double>> decodeMs, decodeRatios;

// Each iteration decodes the picture once with every decoder, so that all meet the same load.
void decodeGnomePicture(benchmark::State &state)
{
    const Config &config = kConfigs[state.range(0)];
    state.SetLabel(std::string(config.name) + ", the time of " + kDecoders[kDecoderCount - 1].name);
    const QByteArray png = gnomePicture(config);
    if (png.isEmpty()) {
        state.SkipWithError("GNOME Shell wrote no picture of its desktop");
        return;
    }
    for (const Decoder &decoder : kDecoders) {
        if (decoder.decode(png) != ReferenceDecoders::qt(png)) {
            state.SkipWithError("a decoder's pixels are not Qt's");
            return;
        }
    }
    for (auto _ : state) {
        double took[kDecoderCount];
        for (size_t i = 0; i < kDecoderCount; ++i) {
            const auto start = std::chrono::steady_clock::now();
            const QImage image = kDecoders[i].decode(png);
            benchmark::DoNotOptimize(image.constBits());
            took[i] =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count();
        }
        for (size_t i = 0; i < kDecoderCount; ++i) {
            decodeMs[{int(state.range(0)), i}].push_back(took[i]);
            decodeRatios[{int(state.range(0)), i}].push_back(took[i] / took[0]);
        }
        state.SetIterationTime(took[kDecoderCount - 1] / 1000);
    }
}

BENCHMARK(decodeGnomePicture)
    ->Arg(3)
    ->Arg(4)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(25);

double quantile(std::vector<double> v, double q)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[size_t(q * double(v.size() - 1) + 0.5)];
}

} // namespace

int main(int argc, char **argv)
{
    // The portal's back end writes every picture to the same file in /tmp, shared with any
    // other desktop on this machine (a test running beside): a private /tmp keeps them apart.
    // A namespace can only be left alone by a process with one thread, so before anything.
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0)
        std::fprintf(stderr, "no private /tmp: another desktop may overwrite the pictures\n");
    QCoreApplication application(argc, argv);
    if (!runBenchmarks(argc, argv))
        return 1;

    // Medians in milliseconds, with the spread [min, max], and the median of each decode's
    // time over that of the decoder before libdeflate in the same iteration.
    if (!decodeMs.empty())
        std::printf("\n%-16s %-28s %-24s %9s\n", "picture", "decoder", "ms", "ratio");
    for (const auto &[key, times] : decodeMs) {
        std::printf("%-16s %-28s %6.1f [%6.1f,%6.1f] %9.2f\n", kConfigs[key.first].name,
                    kDecoders[key.second].name, quantile(times, 0.5), quantile(times, 0),
                    quantile(times, 1), quantile(decodeRatios[key], 0.5));
    }
    if (figures.empty())
        return 0;

    // Medians with the spread [min, max] in milliseconds; each ratio is the median of one
    // capture's figure over the median of the portal's round trip in the same configuration.
    std::printf("\n%-12s %-7s %3s  %-22s  %-22s  %-22s  %11s %11s  %6s %6s %8s  %-36s %s\n",
                "output", "via", "n", "answer", "own", "whole", "own/portal", "whole/portal",
                "decode", "cut", "overlay", "first after start: answer/own/whole",
                "MiB at start/after the last");
    for (const auto &[key, f] : figures) {
        const auto cell = [](const std::vector<double> &v) {
            char text[64];
            std::snprintf(text, sizeof text, "%6.1f [%5.1f,%6.1f]", quantile(v, 0.5),
                          quantile(v, 0), quantile(v, 1));
            return std::string(text);
        };
        const auto portal = figures.find({key.first, true});
        const double base = portal == figures.end() ? 0 : quantile(portal->second.answer, 0.5);
        Figures first;
        if (f.first)
            add(first, *f.first);
        std::printf("%-12s %-7s %3zu  %-22s  %-22s  %-22s  %11.2f %11.2f  %6.1f %6.1f %8.1f  "
                    "%.1f/%.1f/%-22.1f %.0f/%.0f\n",
                    kConfigs[key.first].name, key.second ? "portal" : "copies", f.own.size(),
                    cell(f.answer).c_str(), cell(f.own).c_str(), cell(f.whole).c_str(),
                    base > 0 ? quantile(f.own, 0.5) / base : 0,
                    base > 0 ? quantile(f.whole, 0.5) / base : 0, quantile(f.decode, 0.5),
                    quantile(f.cut, 0.5), quantile(f.overlay, 0.5),
                    first.answer.empty() ? 0 : first.answer[0],
                    first.own.empty() ? 0 : first.own[0], first.whole.empty() ? 0 : first.whole[0],
                    f.residentAtStart,
                    f.residentAfterEach.empty() ? 0 : f.residentAfterEach.back());
    }
    // Resident memory a second after each capture closed, above its size after start.
    for (const auto &[key, f] : figures) {
        std::printf("%-12s %-7s MiB above start after each capture:", kConfigs[key.first].name,
                    key.second ? "portal" : "copies");
        for (double each : f.residentAfterEach)
            std::printf(" %.0f", each - f.residentAtStart);
        std::printf("\n");
    }
    std::printf("(decode: the portal's Response to its picture read; cut: to the shots cut per "
                "screen; "
                "overlay: from there to the first frame; the compositor's stamp reached this "
                "harness %.1f ms later in the median)\n",
                [] {
                    std::vector<double> all;
                    for (const auto &[index, f] : figures)
                        all.insert(all.end(), f.stampToSeen.begin(), f.stampToSeen.end());
                    return quantile(all, 0.5);
                }());
    return 0;
}
