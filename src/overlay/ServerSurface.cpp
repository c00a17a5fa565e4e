#include "overlay/ServerSurface.h"

#include <algorithm>
#include <cstdlib>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <xcb/shm.h>

#include "capture/ServerCopy.h"

namespace {

// The shared canvas: room for a pointer step's pieces, and for a few steps before the server
// must be waited for.
constexpr size_t canvasBytes = size_t(4) << 20;

template<typename Reply> using Owned = std::unique_ptr<Reply, decltype(&std::free)>;
template<typename Reply> Owned<Reply> owned(Reply *reply)
{
    return Owned<Reply>(reply, &std::free);
}

// The RENDER format of a visual, or 0 when the server has none for it.
xcb_render_pictformat_t formatOf(const xcb_render_query_pict_formats_reply_t *formats,
                                 xcb_visualid_t visual)
{
    if (!formats)
        return 0;
    for (auto screens = xcb_render_query_pict_formats_screens_iterator(formats); screens.rem;
         xcb_render_pictscreen_next(&screens)) {
        for (auto depths = xcb_render_pictscreen_depths_iterator(screens.data); depths.rem;
             xcb_render_pictdepth_next(&depths)) {
            for (auto visuals = xcb_render_pictdepth_visuals_iterator(depths.data); visuals.rem;
                 xcb_render_pictvisual_next(&visuals)) {
                if (visuals.data->visual == visual)
                    return visuals.data->format;
            }
        }
    }
    return 0;
}

} // namespace

std::unique_ptr<ServerSurface> ServerSurface::create(std::shared_ptr<const ServerCopy> copy,
                                                     xcb_window_t window)
{
    if (!copy || !window || copy->layout.swapBytes || copy->layout.swapRedBlue)
        return nullptr;
    xcb_connection_t *c = copy->connection;
    const xcb_query_extension_reply_t *render = xcb_get_extension_data(c, &xcb_render_id);
    if (!render || !render->present)
        return nullptr;
    // All three asked at once: this runs between the capture request and the first frame.
    const auto geometryCookie = xcb_get_geometry(c, window);
    const auto attributesCookie = xcb_get_window_attributes(c, window);
    const auto formatsCookie = xcb_render_query_pict_formats(c);
    const auto geometry = owned(xcb_get_geometry_reply(c, geometryCookie, nullptr));
    const auto attributes = owned(xcb_get_window_attributes_reply(c, attributesCookie, nullptr));
    const auto formats = owned(xcb_render_query_pict_formats_reply(c, formatsCookie, nullptr));
    if (!geometry || !attributes || geometry->depth != copy->depth)
        return nullptr;
    const xcb_render_pictformat_t format = formatOf(formats.get(), attributes->visual);
    if (!format)
        return nullptr;
    // The class belongs on top-level windows; on this child it would make the overlay look
    // like two windows of the application to anything listing them.
    xcb_delete_property(c, window, XCB_ATOM_WM_CLASS);
    const xcb_gcontext_t gc = xcb_generate_id(c);
    const uint32_t noExposures = 0;
    xcb_create_gc(c, gc, window, XCB_GC_GRAPHICS_EXPOSURES, &noExposures);
    const xcb_render_picture_t picture = xcb_generate_id(c);
    xcb_render_create_picture(c, picture, window, format, 0, nullptr);
    return std::unique_ptr<ServerSurface>(new ServerSurface(std::move(copy), window, gc, picture));
}

ServerSurface::ServerSurface(std::shared_ptr<const ServerCopy> copy, xcb_window_t window,
                             xcb_gcontext_t gc, xcb_render_picture_t picture)
    : m_copy(std::move(copy)), m_connection(m_copy->connection), m_window(window), m_gc(gc),
      m_picture(picture)
{}

ServerSurface::~ServerSurface()
{
    if (m_shared.address) {
        xcb_shm_detach(m_connection, m_shared.segment);
        shmdt(m_shared.address);
    }
    xcb_render_free_picture(m_connection, m_picture);
    xcb_free_gc(m_connection, m_gc);
    xcb_flush(m_connection);
}

void ServerSurface::copy(const QRect &r, bool dimmed)
{
    const QRect area = r.intersected(QRect(QPoint(), m_copy->size));
    if (area.isEmpty())
        return;
    xcb_copy_area(m_connection, m_copy->pixmap, m_window, m_gc, int16_t(area.x()),
                  int16_t(area.y()), int16_t(area.x()), int16_t(area.y()), uint16_t(area.width()),
                  uint16_t(area.height()));
    if (!dimmed)
        return;
    // Black at half alpha over a pixel halves each channel, as the client-side dimming does.
    const xcb_render_color_t black{0, 0, 0, 0x8000};
    const xcb_rectangle_t rect{int16_t(area.x()), int16_t(area.y()), uint16_t(area.width()),
                               uint16_t(area.height())};
    xcb_render_fill_rectangles(m_connection, XCB_RENDER_PICT_OP_OVER, m_picture, black, 1, &rect);
}

bool ServerSurface::attachCanvas()
{
    if (m_shared.address || m_shared.failed)
        return m_shared.address;
    m_shared.failed = true;
    const xcb_query_extension_reply_t *shm = xcb_get_extension_data(m_connection, &xcb_shm_id);
    if (!shm || !shm->present)
        return false;
    const int id = shmget(IPC_PRIVATE, canvasBytes, IPC_CREAT | 0600);
    if (id < 0)
        return false;
    void *address = shmat(id, nullptr, 0);
    const xcb_shm_seg_t segment = xcb_generate_id(m_connection);
    xcb_generic_error_t *error =
        address == reinterpret_cast<void *>(-1)
            ? nullptr
            : xcb_request_check(m_connection,
                                xcb_shm_attach_checked(m_connection, segment, uint32_t(id), 1));
    // Both sides hold it now, or never will: it goes away with the last of them.
    shmctl(id, IPC_RMID, nullptr);
    if (address == reinterpret_cast<void *>(-1))
        return false;
    if (error) {
        std::free(error);
        shmdt(address);
        return false;
    }
    m_shared = {static_cast<uchar *>(address), segment, false};
    return true;
}

QImage ServerSurface::canvas(QSize size)
{
    const size_t bytes = (size_t(size.width()) * size_t(size.height()) * 4 + 63) & ~size_t(63);
    if (size.isEmpty() || bytes > canvasBytes || !attachCanvas())
        return QImage(size, QImage::Format_RGB32);
    if (m_canvasOffset + bytes > canvasBytes) {
        // Back to the start once the server has read everything put so far.
        std::free(
            xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr));
        m_canvasOffset = 0;
    }
    QImage image(m_shared.address + m_canvasOffset, size.width(), size.height(), size.width() * 4,
                 QImage::Format_RGB32);
    m_canvasOffset += bytes;
    return image;
}

void ServerSurface::put(const QImage &image, const QRect &part, QPoint at)
{
    const QRect area = part.intersected(image.rect());
    if (image.format() != QImage::Format_RGB32 || area.isEmpty())
        return;
    const uchar *bits = image.constBits();
    if (m_shared.address && bits >= m_shared.address && bits < m_shared.address + canvasBytes) {
        xcb_shm_put_image(m_connection, m_window, m_gc, uint16_t(image.width()),
                          uint16_t(image.height()), uint16_t(area.x()), uint16_t(area.y()),
                          uint16_t(area.width()), uint16_t(area.height()), int16_t(at.x()),
                          int16_t(at.y()), m_copy->depth, XCB_IMAGE_FORMAT_Z_PIXMAP, 0,
                          m_shared.segment, uint32_t(bits - m_shared.address));
        return;
    }
    // Rows of the part, in bands that each fit one request with room for its header.
    const QImage pixels = area == image.rect() ? image : image.copy(area);
    const qsizetype maxBytes = qsizetype(xcb_get_maximum_request_length(m_connection)) * 4 - 64;
    const qsizetype rowBytes = pixels.bytesPerLine();
    const int bandRows = int(std::clamp<qsizetype>(maxBytes / rowBytes, 1, pixels.height()));
    for (int y = 0; y < pixels.height(); y += bandRows) {
        const int rows = std::min(bandRows, pixels.height() - y);
        xcb_put_image(m_connection, XCB_IMAGE_FORMAT_Z_PIXMAP, m_window, m_gc,
                      uint16_t(pixels.width()), uint16_t(rows), int16_t(at.x()),
                      int16_t(at.y() + y), 0, m_copy->depth, uint32_t(rowBytes * rows),
                      pixels.constScanLine(y));
    }
}

void ServerSurface::flush()
{
    xcb_flush(m_connection);
}
