#include "capture/ShmGrabber.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include <sys/ipc.h>
#include <sys/shm.h>

namespace {

bool fitsRequest(const QRect &rect)
{
    return rect.x() >= INT16_MIN && rect.x() <= INT16_MAX && rect.y() >= INT16_MIN &&
           rect.y() <= INT16_MAX && rect.width() > 0 && rect.width() <= UINT16_MAX &&
           rect.height() > 0 && rect.height() <= UINT16_MAX &&
           size_t(rect.width()) * size_t(rect.height()) * 4 <= UINT32_MAX;
}

size_t byteSize(const QRect &rect)
{
    return size_t(rect.width()) * size_t(rect.height()) * 4;
}

} // namespace

ShmGrabber::ShmGrabber(xcb_connection_t *connection) : m_connection(connection)
{
    const xcb_query_extension_reply_t *extension = xcb_get_extension_data(connection, &xcb_shm_id);
    m_usable = extension && extension->present;
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
    Segment *segment = segmentFor(rect);
    if (!segment)
        return nullptr;
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
                                            segment->id, uint32_t(y * rowBytes)));
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
            bandReady(segment->address + y * rowBytes, y, rows);
        y += rows;
    }
    return complete ? segment->address : nullptr;
}

void ShmGrabber::unmapClient()
{
    for (Segment &segment : m_segments) {
        if (segment.address)
            shmdt(segment.address);
        segment.address = nullptr;
    }
}

void ShmGrabber::keepOnly(const std::vector<QRect> &keep)
{
    auto unused = [&keep](const Segment &segment) {
        return std::find(keep.begin(), keep.end(), segment.rect) == keep.end();
    };
    for (const Segment &segment : m_segments) {
        if (unused(segment))
            release(segment);
    }
    std::erase_if(m_segments, unused);
    xcb_flush(m_connection);
}

ShmGrabber::Segment *ShmGrabber::segmentFor(const QRect &rect)
{
    for (auto it = m_segments.begin(); it != m_segments.end(); ++it) {
        if (it->rect != rect)
            continue;
        if (!it->address) {
            // Linux maps a segment already marked for removal as long as the server holds it.
            void *address = shmat(it->shmId, nullptr, 0);
            if (address == reinterpret_cast<void *>(-1)) {
                release(*it);
                m_segments.erase(it);
                break;
            }
            it->address = static_cast<uchar *>(address);
        }
        return &*it;
    }
    const int shmId = shmget(IPC_PRIVATE, byteSize(rect), IPC_CREAT | 0600);
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
    m_segments.push_back(Segment{rect, id, shmId, static_cast<uchar *>(address)});
    return &m_segments.back();
}

void ShmGrabber::release(const Segment &segment)
{
    // Checked and discarded, so that a detach the server no longer knows (after it reset)
    // does not end up as a stray error in Qt's event queue.
    xcb_discard_reply(m_connection, xcb_shm_detach_checked(m_connection, segment.id).sequence);
    if (segment.address)
        shmdt(segment.address);
}
