#include "capture/ShmGrabber.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include <sys/ipc.h>
#include <sys/shm.h>

#include "platform/X11DefaultScreen.h"

namespace {

bool fitsRequest(const QRect &rect)
{
    return rect.x() >= INT16_MIN && rect.x() <= INT16_MAX && rect.y() >= INT16_MIN &&
           rect.y() <= INT16_MAX && rect.width() > 0 && rect.width() <= UINT16_MAX &&
           rect.height() > 0 && rect.height() <= UINT16_MAX &&
           size_t(rect.width()) * size_t(rect.height()) * 4 <= UINT32_MAX;
}

} // namespace

ShmGrabber::ShmGrabber(xcb_connection_t *connection) : m_connection(connection)
{
    const xcb_query_extension_reply_t *extension = xcb_get_extension_data(connection, &xcb_shm_id);
    m_usable = extension && extension->present;
    if (m_usable)
        findOpaqueFormats();
}

void ShmGrabber::findOpaqueFormats()
{
    const xcb_setup_t *setup = xcb_get_setup(m_connection);
    m_root = x11DefaultScreen(setup)->root;
    const xcb_query_extension_reply_t *render =
        xcb_get_extension_data(m_connection, &xcb_render_id);
    const bool sameOrder =
        (setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST) == (Q_BYTE_ORDER == Q_LITTLE_ENDIAN);
    if (!render || !render->present || !sameOrder)
        return;
    const auto versionCookie = xcb_shm_query_version(m_connection);
    const auto formatsCookie = xcb_render_query_pict_formats(m_connection);
    xcb_shm_query_version_reply_t *version =
        xcb_shm_query_version_reply(m_connection, versionCookie, nullptr);
    xcb_render_query_pict_formats_reply_t *formats =
        xcb_render_query_pict_formats_reply(m_connection, formatsCookie, nullptr);
    if (version && version->shared_pixmaps && formats) {
        for (auto it = xcb_render_query_pict_formats_formats_iterator(formats); it.rem;
             xcb_render_pictforminfo_next(&it)) {
            const xcb_render_directformat_t &d = it.data->direct;
            if (it.data->type == XCB_RENDER_PICT_TYPE_DIRECT && it.data->depth == 32 &&
                d.alpha_shift == 24 && d.alpha_mask == 0xff && d.red_shift == 16 &&
                d.red_mask == 0xff && d.green_shift == 8 && d.green_mask == 0xff &&
                d.blue_shift == 0 && d.blue_mask == 0xff)
                m_opaqueFormat = it.data->id;
        }
        for (auto screens = xcb_render_query_pict_formats_screens_iterator(formats); screens.rem;
             xcb_render_pictscreen_next(&screens)) {
            for (auto depths = xcb_render_pictscreen_depths_iterator(screens.data); depths.rem;
                 xcb_render_pictdepth_next(&depths)) {
                for (auto visuals = xcb_render_pictdepth_visuals_iterator(depths.data); visuals.rem;
                     xcb_render_pictvisual_next(&visuals))
                    m_visualFormats.emplace_back(visuals.data->visual, visuals.data->format);
            }
        }
    }
    std::free(version);
    std::free(formats);
}

ShmGrabber::~ShmGrabber()
{
    for (const Segment &segment : m_segments)
        release(segment);
    xcb_flush(m_connection);
}

const uchar *ShmGrabber::read(xcb_drawable_t drawable, const QRect &rect,
                              const BandReady &bandReady)
{
    if (!m_usable || !fitsRequest(rect))
        return nullptr;
    Segment *segment = segmentFor(rect.size());
    if (!segment || !readInto(*segment, drawable, rect, bandReady))
        return nullptr;
    return segment->address;
}

QImage ShmGrabber::lend(xcb_drawable_t drawable, xcb_visualid_t visual, const QRect &rect)
{
    const auto known = std::find_if(m_visualFormats.begin(), m_visualFormats.end(),
                                    [visual](const auto &entry) { return entry.first == visual; });
    if (!m_usable || !m_opaqueFormat || known == m_visualFormats.end() || !fitsRequest(rect))
        return {};
    Segment *segment = segmentFor(rect.size());
    if (!segment || !segment->picture)
        return {};
    xcb_connection_t *c = m_connection;
    const xcb_render_picture_t source = xcb_generate_id(c);
    const uint32_t includeInferiors = XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS;
    const xcb_void_cookie_t created = xcb_render_create_picture_checked(
        c, source, drawable, known->second, XCB_RENDER_CP_SUBWINDOW_MODE, &includeInferiors);
    const xcb_void_cookie_t copied = xcb_render_composite_checked(
        c, XCB_RENDER_PICT_OP_SRC, source, XCB_NONE, segment->picture, int16_t(rect.x()),
        int16_t(rect.y()), 0, 0, 0, 0, uint16_t(rect.width()), uint16_t(rect.height()));
    const xcb_void_cookie_t freed = xcb_render_free_picture_checked(c, source);
    // The check waits for the server, which has then written the segment.
    bool complete = true;
    for (const xcb_void_cookie_t cookie : {created, copied, freed}) {
        xcb_generic_error_t *error = xcb_request_check(c, cookie);
        complete = complete && !error;
        std::free(error);
    }
    if (!complete)
        return {};
    // The image takes over the process's mapping; the segment waits, attached in the server,
    // until the image gives it back.
    struct Lease
    {
        uchar *address;
        std::shared_ptr<std::atomic<bool>> lent;
    };
    auto *lease = new Lease{segment->address, segment->lent};
    segment->address = nullptr;
    segment->lent->store(true);
    return QImage(
        lease->address, rect.width(), rect.height(), qsizetype(rect.width()) * 4,
        QImage::Format_RGB32,
        [](void *info) {
            auto *lease = static_cast<Lease *>(info);
            shmdt(lease->address);
            lease->lent->store(false, std::memory_order_release);
            delete lease;
        },
        lease);
}

bool ShmGrabber::readInto(const Segment &segment, xcb_drawable_t drawable, const QRect &rect,
                          const BandReady &bandReady)
{
    const qsizetype rowBytes = qsizetype(rect.width()) * 4;
    const int bandRows = bandReady
                             ? int(std::clamp<qsizetype>(bandBytes / rowBytes, 1, rect.height()))
                             : rect.height();
    std::vector<xcb_shm_get_image_cookie_t> cookies;
    for (int y = 0; y < rect.height(); y += bandRows) {
        const int rows = std::min(bandRows, rect.height() - y);
        cookies.push_back(xcb_shm_get_image(m_connection, drawable, int16_t(rect.x()),
                                            int16_t(rect.y() + y), uint16_t(rect.width()),
                                            uint16_t(rows), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                                            segment.id, uint32_t(y * rowBytes)));
    }
    xcb_flush(m_connection);

    bool complete = true;
    int y = 0;
    for (const xcb_shm_get_image_cookie_t &cookie : cookies) {
        const int rows = std::min(bandRows, rect.height() - y);
        // Errors are taken here so that none reaches Qt's event queue as a warning.
        xcb_generic_error_t *error = nullptr;
        xcb_shm_get_image_reply_t *reply = xcb_shm_get_image_reply(m_connection, cookie, &error);
        complete = complete && reply && !error && reply->size == uint32_t(rows * rowBytes);
        std::free(reply);
        std::free(error);
        if (complete && bandReady)
            bandReady(segment.address + y * rowBytes, y, rows);
        y += rows;
    }
    return complete;
}

void ShmGrabber::unmapClient()
{
    for (Segment &segment : m_segments) {
        if (segment.address)
            shmdt(segment.address);
        segment.address = nullptr;
    }
}

void ShmGrabber::keepOnly(const std::vector<QSize> &keep)
{
    auto unused = [&keep](const Segment &segment) {
        return std::find(keep.begin(), keep.end(), segment.size) == keep.end();
    };
    for (const Segment &segment : m_segments) {
        if (unused(segment))
            release(segment);
    }
    std::erase_if(m_segments, unused);
    xcb_flush(m_connection);
}

ShmGrabber::Segment *ShmGrabber::segmentFor(const QSize &size)
{
    Segment *found = nullptr;
    for (auto it = m_segments.begin(); it != m_segments.end();) {
        if (it->size != size || it->lent->load(std::memory_order_acquire)) {
            ++it;
            continue;
        }
        if (!found && !it->address) {
            // Linux maps a segment already marked for removal as long as the server holds it.
            void *address = shmat(it->shmId, nullptr, 0);
            if (address != reinterpret_cast<void *>(-1))
                it->address = static_cast<uchar *>(address);
        }
        // One idle segment per size is enough; others were made while it was lent.
        if (found || !it->address) {
            release(*it);
            it = m_segments.erase(it);
            continue;
        }
        found = &*it;
        ++it;
    }
    if (found)
        return found;
    const size_t bytes = size_t(size.width()) * size_t(size.height()) * 4;
    const int shmId = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (shmId < 0) {
        m_usable = false;
        return nullptr;
    }
    void *address = shmat(shmId, nullptr, 0);
    if (address == reinterpret_cast<void *>(-1)) {
        shmctl(shmId, IPC_RMID, nullptr);
        m_usable = false;
        return nullptr;
    }
    const xcb_shm_seg_t id = xcb_generate_id(m_connection);
    xcb_generic_error_t *error =
        xcb_request_check(m_connection, xcb_shm_attach_checked(m_connection, id, shmId, 0));
    // The server holds its own attachment now (or never will): the id is no longer needed.
    shmctl(shmId, IPC_RMID, nullptr);
    if (error) {
        std::free(error);
        shmdt(address);
        // A server that cannot reach our memory (another host, other permissions) will not
        // reach the next segment either.
        m_usable = false;
        return nullptr;
    }
    Segment segment{size, id, shmId, static_cast<uchar *>(address)};
    if (m_opaqueFormat) {
        segment.pixmap = xcb_generate_id(m_connection);
        segment.picture = xcb_generate_id(m_connection);
        xcb_shm_create_pixmap(m_connection, segment.pixmap, m_root, uint16_t(size.width()),
                              uint16_t(size.height()), 32, id, 0);
        xcb_render_create_picture(m_connection, segment.picture, segment.pixmap, m_opaqueFormat, 0,
                                  nullptr);
    }
    m_segments.push_back(segment);
    return &m_segments.back();
}

void ShmGrabber::release(const Segment &segment)
{
    // Checked and discarded, so that a detach the server no longer knows (after it reset)
    // does not end up as a stray error in Qt's event queue.
    if (segment.picture) {
        xcb_discard_reply(m_connection,
                          xcb_render_free_picture_checked(m_connection, segment.picture).sequence);
        xcb_discard_reply(m_connection,
                          xcb_free_pixmap_checked(m_connection, segment.pixmap).sequence);
    }
    xcb_discard_reply(m_connection, xcb_shm_detach_checked(m_connection, segment.id).sequence);
    if (segment.address)
        shmdt(segment.address);
}
