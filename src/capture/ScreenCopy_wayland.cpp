#include "capture/ScreenCopy.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QScreen>
#include <QTransform>
#include <qpa/qplatformnativeinterface.h>

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <wayland-client.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "platform/Platform.h"
#include "platform/Milestone.h"
#include "platform/SharedPages.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"

namespace {

// A compositor copies an output within a frame or two; one that stalls must not freeze the
// tray for longer than this.
constexpr int kCopyTimeoutMs = 3000;

// Memory shared with the compositor that it copies one output into, kept mapped from one
// capture to the next. Its pages go back to the system once the image made of them goes, so that
// an idle process holds nothing the size of a screen: the next copy writes fresh pages, which
// costs the compositor about 8 ms at 1920x1080 and 18 ms at 3840x2160. A shot's image is the
// buffer itself, lent until the last copy of the image goes; a capture meanwhile copies into
// another one.
struct SharedBuffer
{
    wl_buffer *buffer = nullptr;
    uchar *pixels = nullptr;
    size_t size = 0;
    uint32_t format = 0, width = 0, height = 0, stride = 0;
    // Images are dropped on whichever thread held the last copy (an encoder's, say): lent and
    // dropped are one word, so that of the image's end and discard() exactly the later deletes.
    static constexpr unsigned kLent = 1, kDropped = 2;
    std::atomic<unsigned> state{0};

    bool lent() const { return state & kLent; }
    void releasePages() { SharedPages::release({pixels, size}); }
    // Of no more use: deleted now, or by its image once that goes.
    void discard()
    {
        if (!(state.fetch_or(kDropped) & kLent))
            delete this;
    }
    // Its image is gone: free for the next copy, or deleted once discarded.
    void giveBack()
    {
        releasePages();
        if (state.fetch_and(~kLent) & kDropped)
            delete this;
    }

    bool fits(uint32_t f, uint32_t w, uint32_t h, uint32_t s) const
    {
        return format == f && width == w && height == h && stride == s;
    }

    ~SharedBuffer()
    {
        if (buffer)
            wl_buffer_destroy(buffer);
        if (pixels)
            munmap(pixels, size);
    }
};

// How an output shows its buffer, which the compositor copies as it stands: turned, mirrored or
// both, as its name tells Qt's screen apart. Bound beside Qt's own, which say nothing of
// mirroring.
struct OutputShape
{
    uint32_t global = 0;
    wl_output *output = nullptr;
    QString name;
    int32_t transform = WL_OUTPUT_TRANSFORM_NORMAL;
};

// The protocol's globals, bound on a queue of this code's own, so that waiting for a copy
// dispatches nothing of Qt's, and the buffers kept for each output.
struct Connection
{
    wl_display *display = nullptr;
    wl_event_queue *queue = nullptr;
    wl_shm *shm = nullptr;
    zwlr_screencopy_manager_v1 *manager = nullptr;
    std::map<wl_output *, std::vector<SharedBuffer *>> kept;
    std::vector<std::unique_ptr<OutputShape>> shapes;

    // The transform of the output Qt names so; none known for one whose name the compositor
    // does not tell (before version 4 of its outputs).
    std::optional<int32_t> transformOf(const QString &name)
    {
        const auto find = [&]() -> std::optional<int32_t> {
            for (const auto &shape : shapes) {
                if (!shape->name.isEmpty() && shape->name == name)
                    return shape->transform;
            }
            return std::nullopt;
        };
        std::optional<int32_t> found = find();
        // An output plugged in since: its name comes with the next round trip.
        if (!found && !shapes.empty()) {
            wl_display_roundtrip_queue(display, queue);
            found = find();
        }
        return found;
    }
};

const wl_output_listener kOutputListener{
    [](void *data, wl_output *, int32_t, int32_t, int32_t, int32_t, int32_t, const char *,
       const char *,
       int32_t transform) { static_cast<OutputShape *>(data)->transform = transform; },
    [](void *, wl_output *, uint32_t, int32_t, int32_t, int32_t) {},
    [](void *, wl_output *) {},
    [](void *, wl_output *, int32_t) {},
    [](void *data, wl_output *, const char *name) {
        static_cast<OutputShape *>(data)->name = QString::fromUtf8(name);
    },
    [](void *, wl_output *, const char *) {},
};

void *nativeResource(const char *name, QScreen *screen = nullptr)
{
    QPlatformNativeInterface *native = QGuiApplication::platformNativeInterface();
    if (!native)
        return nullptr;
    return screen ? native->nativeResourceForScreen(name, screen)
                  : native->nativeResourceForIntegration(name);
}

Connection *connection()
{
    static Connection *bound = []() -> Connection * {
        if (!Platform::current().capture.compositorCopies())
            return nullptr;
        auto *display = static_cast<wl_display *>(nativeResource("wl_display"));
        if (!display)
            return nullptr;
        auto *c =
            new Connection{display, wl_display_create_queue(display), nullptr, nullptr, {}, {}};
        auto *wrapper = static_cast<wl_display *>(wl_proxy_create_wrapper(display));
        wl_proxy_set_queue(reinterpret_cast<wl_proxy *>(wrapper), c->queue);
        wl_registry *registry = wl_display_get_registry(wrapper);
        wl_proxy_wrapper_destroy(wrapper);
        static const wl_registry_listener listener{
            [](void *data, wl_registry *r, uint32_t name, const char *interface, uint32_t v) {
                auto *c = static_cast<Connection *>(data);
                if (std::strcmp(interface, wl_shm_interface.name) == 0)
                    c->shm = static_cast<wl_shm *>(wl_registry_bind(r, name, &wl_shm_interface, 1));
                else if (std::strcmp(interface, zwlr_screencopy_manager_v1_interface.name) == 0)
                    c->manager = static_cast<zwlr_screencopy_manager_v1 *>(wl_registry_bind(
                        r, name, &zwlr_screencopy_manager_v1_interface, std::min(v, 3u)));
                else if (std::strcmp(interface, wl_output_interface.name) == 0 && v >= 4) {
                    auto shape = std::make_unique<OutputShape>();
                    shape->global = name;
                    shape->output = static_cast<wl_output *>(
                        wl_registry_bind(r, name, &wl_output_interface, 4));
                    wl_output_add_listener(shape->output, &kOutputListener, shape.get());
                    c->shapes.push_back(std::move(shape));
                }
            },
            [](void *data, wl_registry *, uint32_t name) {
                std::erase_if(static_cast<Connection *>(data)->shapes, [name](const auto &shape) {
                    if (shape->global != name)
                        return false;
                    wl_output_release(shape->output);
                    return true;
                });
            }};
        // Kept for the outputs that come and go; its events wait in the queue for a capture.
        wl_registry_add_listener(registry, &listener, c);
        wl_display_roundtrip_queue(display, c->queue);
        wl_display_roundtrip_queue(display, c->queue);
        if (c->shm && c->manager)
            return c;
        wl_registry_destroy(registry);
        if (c->shm)
            wl_shm_destroy(c->shm);
        wl_event_queue_destroy(c->queue);
        delete c;
        return nullptr;
    }();
    return bound;
}

// One output's copy, from the request to its pixels.
struct Copy
{
    Connection *connection = nullptr;
    wl_output *output = nullptr;
    zwlr_screencopy_frame_v1 *frame = nullptr;
    SharedBuffer *target = nullptr;
    uint32_t format = 0, width = 0, height = 0, stride = 0;
    bool offered = false, yInverted = false, done = false, copied = false;

    ~Copy()
    {
        if (frame)
            zwlr_screencopy_frame_v1_destroy(frame);
    }

    // Both 32-bit formats with red in the third byte are the screens' own format.
    static bool readable(uint32_t format)
    {
        return format == WL_SHM_FORMAT_XRGB8888 || format == WL_SHM_FORMAT_ARGB8888;
    }

    void start()
    {
        if (!offered) {
            done = true;
            return;
        }
        std::vector<SharedBuffer *> &kept = connection->kept[output];
        // A buffer of another size is of no more use: it goes now, or when its image goes.
        kept.erase(std::remove_if(kept.begin(), kept.end(),
                                  [this](SharedBuffer *b) {
                                      if (b->fits(format, width, height, stride))
                                          return false;
                                      b->discard();
                                      return true;
                                  }),
                   kept.end());
        const auto free =
            std::find_if(kept.begin(), kept.end(), [](SharedBuffer *b) { return !b->lent(); });
        target = free != kept.end() ? *free : makeBuffer();
        if (!target) {
            done = true;
            return;
        }
        if (free == kept.end())
            kept.push_back(target);
        zwlr_screencopy_frame_v1_copy(frame, target->buffer);
    }

    SharedBuffer *makeBuffer() const
    {
        auto made = std::make_unique<SharedBuffer>();
        made->size = size_t(stride) * height;
        const int fd = memfd_create("corvane-screen", MFD_CLOEXEC);
        if (fd < 0 || ftruncate(fd, off_t(made->size)) != 0) {
            if (fd >= 0)
                close(fd);
            return nullptr;
        }
        void *mapped = mmap(nullptr, made->size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        wl_shm_pool *pool = mapped == MAP_FAILED
                                ? nullptr
                                : wl_shm_create_pool(connection->shm, fd, int(made->size));
        close(fd);
        if (!pool) {
            if (mapped != MAP_FAILED)
                munmap(mapped, made->size);
            return nullptr;
        }
        made->pixels = static_cast<uchar *>(mapped);
        made->buffer =
            wl_shm_pool_create_buffer(pool, 0, int(width), int(height), int(stride), format);
        wl_shm_pool_destroy(pool);
        made->format = format, made->width = width, made->height = height, made->stride = stride;
        return made.release();
    }

    // The pixels as an image of their own, valid after later copies, the way the output shows
    // them: its buffer undone of the output's transform.
    QImage take(int32_t transform) const
    {
        // The padding byte may come as anything; the screens' format wants it opaque. This is
        // on the way to the first frame: the two halves of the screen go on two threads.
        auto *words = reinterpret_cast<quint32 *>(target->pixels);
        const auto settle = [words](size_t from, size_t to) {
            for (size_t i = from; i < to; ++i)
                words[i] |= 0xff000000u;
        };
        const size_t n = target->size / 4;
        std::thread other(settle, n / 2, n);
        settle(0, n / 2);
        other.join();
        if (yInverted || transform != WL_OUTPUT_TRANSFORM_NORMAL) {
            QImage shown =
                QImage(target->pixels, int(width), int(height), int(stride), QImage::Format_RGB32)
                    .mirrored(false, yInverted);
            // The output turns its picture counter-clockwise by a quarter for each step, after
            // mirroring it for the flipped ones: undone in the other order.
            if (const int quarters = transform & 3)
                shown = shown.transformed(QTransform().rotate(90 * quarters));
            if (transform & 4)
                shown = std::move(shown).mirrored(true, false);
            target->releasePages();
            return shown;
        }
        target->state |= SharedBuffer::kLent;
        return QImage(
            target->pixels, int(width), int(height), int(stride), QImage::Format_RGB32,
            [](void *info) { static_cast<SharedBuffer *>(info)->giveBack(); }, target);
    }
};

const zwlr_screencopy_frame_v1_listener kFrameListener{
    // buffer: one shared-memory format the compositor can copy into
    [](void *data, zwlr_screencopy_frame_v1 *, uint32_t format, uint32_t width, uint32_t height,
       uint32_t stride) {
        auto *c = static_cast<Copy *>(data);
        if (!c->offered && Copy::readable(format) && stride >= width * 4) {
            c->format = format, c->width = width, c->height = height, c->stride = stride;
            c->offered = true;
        }
        // Before version 3 no list of formats follows: the one offered is the one.
        if (zwlr_screencopy_manager_v1_get_version(c->connection->manager) < 3)
            c->start();
    },
    [](void *data, zwlr_screencopy_frame_v1 *, uint32_t flags) {
        static_cast<Copy *>(data)->yInverted = flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT;
    },
    [](void *data, zwlr_screencopy_frame_v1 *, uint32_t, uint32_t, uint32_t) {
        auto *c = static_cast<Copy *>(data);
        c->done = c->copied = true;
    },
    [](void *data, zwlr_screencopy_frame_v1 *) { static_cast<Copy *>(data)->done = true; },
    [](void *, zwlr_screencopy_frame_v1 *, uint32_t, uint32_t, uint32_t, uint32_t) {},
    [](void *, zwlr_screencopy_frame_v1 *, uint32_t, uint32_t, uint32_t) {},
    [](void *data, zwlr_screencopy_frame_v1 *) { static_cast<Copy *>(data)->start(); },
};

// Dispatches this code's queue until every copy is done or the time is up. Qt's own thread
// reads the same connection; preparing the read first makes sure that whichever thread reads
// the socket, the events for this queue are waited for here.
bool waitForCopies(Connection *c, const std::vector<std::unique_ptr<Copy>> &copies)
{
    const auto allDone = [&copies] {
        return std::all_of(copies.begin(), copies.end(),
                           [](const auto &copy) { return copy->done; });
    };
    QElapsedTimer clock;
    clock.start();
    while (!allDone()) {
        const int left = kCopyTimeoutMs - int(clock.elapsed());
        if (left <= 0)
            return false;
        while (wl_display_prepare_read_queue(c->display, c->queue) != 0)
            wl_display_dispatch_queue_pending(c->display, c->queue);
        wl_display_flush(c->display);
        pollfd p{wl_display_get_fd(c->display), POLLIN, 0};
        if (poll(&p, 1, left) > 0) {
            if (wl_display_read_events(c->display) != 0)
                return false;
        } else {
            wl_display_cancel_read(c->display);
        }
        if (wl_display_dispatch_queue_pending(c->display, c->queue) < 0)
            return false;
    }
    return true;
}

} // namespace

namespace ScreenCopy {

bool available()
{
    return connection() != nullptr;
}

QList<ScreenShot> captureAll(QString *why)
{
    Connection *c = connection();
    if (!c) {
        *why = QStringLiteral("컴포지터가 화면 복사를 제공하지 않습니다");
        return {};
    }
    const QList<QScreen *> screens = QGuiApplication::screens();
    // The buffers of an output gone since the last capture (a monitor unplugged) are of no
    // more use: they go now, or when their image goes.
    std::set<wl_output *> live;
    for (QScreen *screen : screens)
        live.insert(static_cast<wl_output *>(nativeResource("output", screen)));
    std::erase_if(c->kept, [&live](const auto &entry) {
        if (live.count(entry.first))
            return false;
        for (SharedBuffer *buffer : entry.second)
            buffer->discard();
        return true;
    });
    // This process reads the copies first thing on the way to the first frame: their pages are
    // brought back while the compositor copies.
    std::vector<SharedPages::Span> idle;
    for (const auto &[output, buffers] : c->kept) {
        for (const SharedBuffer *buffer : buffers) {
            if (!buffer->lent())
                idle.push_back({buffer->pixels, buffer->size});
        }
    }
    SharedPages::populate(std::move(idle));
    std::vector<std::unique_ptr<Copy>> copies;
    for (QScreen *screen : screens) {
        auto *output = static_cast<wl_output *>(nativeResource("output", screen));
        if (!output) {
            *why = QStringLiteral("화면 %1 을 찾지 못했습니다").arg(screen->name());
            return {};
        }
        auto copy = std::make_unique<Copy>();
        copy->connection = c;
        copy->output = output;
        copy->frame = zwlr_screencopy_manager_v1_capture_output(c->manager, 0, output);
        zwlr_screencopy_frame_v1_add_listener(copy->frame, &kFrameListener, copy.get());
        copies.push_back(std::move(copy));
    }
    milestone("copy-request");
    if (!waitForCopies(c, copies)) {
        *why = QStringLiteral("컴포지터가 화면을 복사하지 않았습니다");
        return {};
    }
    milestone("copy-ready");
    QList<ScreenShot> shots;
    for (size_t i = 0; i < copies.size(); ++i) {
        QScreen *screen = screens[int(i)];
        Copy &copy = *copies[i];
        // Without its name, only a landscape output's half turn is known, from Qt.
        const int32_t transform =
            c->transformOf(screen->name())
                .value_or(screen->orientation() == Qt::InvertedLandscapeOrientation
                              ? WL_OUTPUT_TRANSFORM_180
                              : WL_OUTPUT_TRANSFORM_NORMAL);
        const bool turned = transform & 1;
        const uint32_t shownWidth = turned ? copy.height : copy.width;
        const uint32_t shownHeight = turned ? copy.width : copy.height;
        // An output whose size Qt has not heard of yet would be cut wrongly.
        if (!copy.copied || !ScreenShot::fitsScreen(shownWidth, shownHeight, screen)) {
            *why = copy.copied ? QStringLiteral("화면 %1 의 복사본 크기 %2x%3 가 맞지 않습니다")
                                     .arg(screen->name())
                                     .arg(copy.width)
                                     .arg(copy.height)
                               : QStringLiteral("컴포지터가 화면 %1 을 복사하지 못했습니다")
                                     .arg(screen->name());
            return {};
        }
        shots.append(ScreenShot{screen, copy.take(transform), nullptr});
    }
    milestone("screens-cut");
    return shots;
}

} // namespace ScreenCopy
