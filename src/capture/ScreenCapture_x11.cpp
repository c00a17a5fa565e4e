#include "capture/ScreenCapture.h"

#include <algorithm>
#include <optional>
#include <vector>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <qpa/qplatformscreen.h>

#include "capture/GetImageReader.h"
#include "capture/HugePages.h"
#include "capture/ScreenCaptureReaders.h"
#include "capture/ServerCopy.h"
#include "capture/ShmGrabber.h"
#include "capture/X11Root.h"

namespace {

// What the capture keeps between captures: one shared-memory segment per screen size,
// attached in the X server only (this process unmaps it once the images read into it are
// gone, so its own size goes back to idle). Creating and attaching a segment per capture
// costs about 55 ms at 3840x2160 and the server's first write into fresh pages as much again;
// a kept one is read in 3-4 ms.
ShmGrabber *sharedGrabber = nullptr;

void releaseSharedGrabber()
{
    delete sharedGrabber;
    sharedGrabber = nullptr;
}

// The segments live as long as the application object: its post routines run while Qt's
// connection is still open, so they can be detached properly.
ShmGrabber &grabberFor(xcb_connection_t *connection)
{
    if (!sharedGrabber) {
        sharedGrabber = new ShmGrabber(connection);
        qAddPostRoutine(releaseSharedGrabber);
    }
    return *sharedGrabber;
}

// What a capture for the overlay keeps between captures: one server pixmap per screen, the
// copy target of the next capture. A new pixmap costs 25-130 ms before its pages are warm in
// the server; a kept one takes a screen in about 2 ms.
struct KeptPixmap
{
    QRect rect;
    xcb_pixmap_t pixmap = XCB_PIXMAP_NONE;
    xcb_gcontext_t gc = 0;
};
std::vector<KeptPixmap> keptPixmaps;
xcb_connection_t *keptConnection = nullptr;

void releaseKept(const KeptPixmap &kept)
{
    xcb_free_gc(keptConnection, kept.gc);
    xcb_free_pixmap(keptConnection, kept.pixmap);
}

void releaseKeptPixmaps()
{
    for (const KeptPixmap &kept : keptPixmaps)
        releaseKept(kept);
    keptPixmaps.clear();
    if (keptConnection)
        xcb_flush(keptConnection);
}

const KeptPixmap *keptPixmapFor(const X11Root &root, const QRect &rect)
{
    if (keptConnection != root.connection) {
        keptPixmaps.clear();
        if (!keptConnection)
            qAddPostRoutine(releaseKeptPixmaps);
        keptConnection = root.connection;
    }
    for (const KeptPixmap &kept : keptPixmaps) {
        if (kept.rect == rect)
            return &kept;
    }
    xcb_connection_t *c = root.connection;
    KeptPixmap kept{rect, xcb_generate_id(c), xcb_generate_id(c)};
    // Checked once here, where a refusal (no memory in the server) can still be answered by
    // reading the screen the ordinary way.
    xcb_generic_error_t *error = xcb_request_check(
        c, xcb_create_pixmap_checked(c, root.depth, kept.pixmap, root.window,
                                     uint16_t(rect.width()), uint16_t(rect.height())));
    if (error) {
        std::free(error);
        return nullptr;
    }
    // The root's own pixels hold only its background: the windows on it are its inferiors.
    const uint32_t values[] = {XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS, 0};
    xcb_create_gc(c, kept.gc, kept.pixmap, XCB_GC_SUBWINDOW_MODE | XCB_GC_GRAPHICS_EXPOSURES,
                  values);
    keptPixmaps.push_back(kept);
    return &keptPixmaps.back();
}

// The segment itself becomes the image where the server can write it opaque; otherwise each
// band is converted while the server writes the next one.
QImage readShared(ShmGrabber &grabber, xcb_drawable_t drawable, xcb_visualid_t visual,
                  const PixelLayout &layout, const QRect &rect)
{
    if (QImage lent = grabber.lend(drawable, visual, rect); !lent.isNull())
        return lent;
    QImage image = ScreenCapture::freshImage(rect.size());
    if (image.isNull())
        return {};
    const qsizetype stride = qsizetype(rect.width()) * 4;
    const auto copyBand = [&](const uchar *pixels, int firstRow, int rowCount) {
        layout.copyRows(pixels, stride, image, firstRow, rowCount);
    };
    return grabber.read(drawable, rect, copyBand) ? image : QImage();
}

QImage grabWithQt(QScreen *screen)
{
    QImage image = screen->grabWindow(0).toImage();
    if (image.isNull())
        return {};
    if (image.format() != QImage::Format_RGB32)
        image.convertTo(QImage::Format_RGB32);
    // Pure pixels: consumers take the scale from the image and screen widths.
    image.setDevicePixelRatio(1);
    return image;
}

} // namespace

QImage ServerCopy::read() const
{
    const QRect rect(QPoint(), size);
    QImage image = readShared(grabberFor(connection), pixmap, visual, layout, rect);
    return image.isNull() ? GetImageReader::read(connection, pixmap, layout, rect, rect) : image;
}

namespace ScreenCapture {

// A Format_RGB32 image in memory of its own, on huge pages where the system grants them: a
// 3840x2160 image spans 8,100 small pages whose first-touch faults cost several times the
// copy into them. The memory goes back to the system as soon as the last copy is dropped.
QImage freshImage(QSize size)
{
    HugePages *pages = HugePages::create(size_t(size.width()) * 4 * size_t(size.height()));
    if (!pages)
        return QImage(size, QImage::Format_RGB32);
    return QImage(
        pages->data(), size.width(), size.height(), qsizetype(size.width()) * 4,
        QImage::Format_RGB32, [](void *info) { delete static_cast<HugePages *>(info); }, pages);
}

QList<ScreenShot> copyInServer()
{
    const std::optional<X11Root> root = X11Root::current();
    if (!root)
        return {};
    QList<ScreenShot> shots;
    std::vector<QRect> rects;
    bool refused = false;
    for (QScreen *screen : QGuiApplication::screens()) {
        const QRect rect = nativeRect(screen).intersected(root->bounds);
        const KeptPixmap *kept = rect.isEmpty() ? nullptr : keptPixmapFor(*root, rect);
        refused = refused || (!rect.isEmpty() && !kept);
        if (!kept)
            continue;
        xcb_copy_area(root->connection, root->window, kept->pixmap, kept->gc, int16_t(rect.x()),
                      int16_t(rect.y()), 0, 0, uint16_t(rect.width()), uint16_t(rect.height()));
        rects.push_back(rect);
        auto copy = std::make_shared<ServerCopy>(ServerCopy{
            root->connection, kept->pixmap, root->depth, root->visual, rect.size(), root->layout});
        shots.append(ScreenShot{screen, QImage(), std::move(copy)});
    }
    // Pixmaps and segments of screens that went away or changed size are released.
    if (sharedGrabber) {
        std::vector<QSize> sizes;
        for (const QRect &rect : rects)
            sizes.push_back(rect.size());
        sharedGrabber->keepOnly(sizes);
    }
    std::erase_if(keptPixmaps, [&rects](const KeptPixmap &kept) {
        const bool gone = std::find(rects.begin(), rects.end(), kept.rect) == rects.end();
        if (gone)
            releaseKept(kept);
        return gone;
    });
    xcb_flush(root->connection);
    // A screen the server had no memory for would be left out of the capture: then every
    // screen is read the ordinary way instead, at one moment.
    return refused ? QList<ScreenShot>() : shots;
}

void prepareInServer()
{
    if (!keptPixmaps.empty())
        return;
    // A new pixmap's or segment's pages become warm in the server at its first write: one
    // copy and one read do that.
    for (const ScreenShot &shot : copyInServer()) {
        if (shot.serverCopy)
            shot.serverCopy->read();
    }
}

// Reading the screen needs no grant on X11.
bool hasPermission()
{
    return true;
}

// There is no grant to ask for on X11.
void requestPermission() {}

// There is no privacy pane for screen reading on X11.
void openPrivacySettings() {}

QList<ScreenShot> captureAll(Reader reader)
{
    const bool useShm = reader == Reader::Automatic || reader == Reader::SharedMemory;
    const bool useGetImage = reader == Reader::Automatic || reader == Reader::GetImage;
    const bool useQt = reader == Reader::Automatic || reader == Reader::QtGrab;
    const std::optional<X11Root> root =
        useShm || useGetImage ? X11Root::current() : std::optional<X11Root>();
    ShmGrabber *grabber = root && useShm ? &grabberFor(root->connection) : nullptr;

    QList<ScreenShot> shots;
    std::vector<QSize> sizesRead;
    for (QScreen *screen : QGuiApplication::screens()) {
        const QRect rect = root ? nativeRect(screen).intersected(root->bounds) : QRect();
        QImage image;
        if (grabber && !rect.isEmpty()) {
            sizesRead.push_back(rect.size());
            image = readShared(*grabber, root->window, root->visual, root->layout, rect);
        }
        if (image.isNull() && useGetImage && !rect.isEmpty())
            image = GetImageReader::read(*root, rect);
        if (image.isNull() && useQt)
            image = grabWithQt(screen);
        if (!image.isNull())
            shots.append(ScreenShot{screen, image, nullptr});
    }
    if (grabber) {
        grabber->keepOnly(sizesRead);
        grabber->unmapClient();
    }
    return shots;
}

QRect nativeRect(const QScreen *screen)
{
    // The platform's own: a size in points times a fractional ratio (1707 x 1.5 for 2560) may
    // round a pixel past the monitor, into its neighbour.
    return screen->handle()->geometry();
}

} // namespace ScreenCapture
