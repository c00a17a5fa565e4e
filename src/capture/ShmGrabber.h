#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include <QImage>
#include <QRect>

#include <xcb/render.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

// Reads rectangles of a drawable through the X server's shared-memory extension into segments
// kept per size and reused across reads: creating and attaching a segment costs many times the
// read itself. Segments are marked for removal as soon as the server has attached them, so
// they vanish with the process however it ends. Between reads the process may unmap its side
// (unmapClient()): the server's attachment keeps the segment and its pages, and the next read
// maps it again. A segment can also be lent out as the image itself (lend()); it is not
// written again until the last copy of that image is gone.
class ShmGrabber
{
public:
    explicit ShmGrabber(xcb_connection_t *connection);
    ~ShmGrabber();
    ShmGrabber(const ShmGrabber &) = delete;
    ShmGrabber &operator=(const ShmGrabber &) = delete;

    // Called for each band of rows once the server has written it; pixels point at the
    // band's first row.
    using BandReady = std::function<void(const uchar *pixels, int firstRow, int rowCount)>;

    // Reads rect of drawable as a 32-bit-per-pixel ZPixmap, rows rect.width() * 4 bytes
    // apart. The pixels stay valid until the next read of the same size or until its
    // segment is released; nullptr when any part of the read failed. With bandReady the
    // rectangle is requested in bands of about bandBytes, all at once, so that the caller's
    // work on one band overlaps the server's on the next.
    const uchar *read(xcb_drawable_t drawable, const QRect &rect, const BandReady &bandReady = {});
    static constexpr qsizetype bandBytes = 1 << 20;
    // Copies rect of drawable (of the given visual, its inferiors included) into a segment and
    // returns a Format_RGB32 image over the segment itself, with no pass over its pixels in
    // this process. The server writes the pixels through RENDER into a 32-bit pixmap over the
    // segment, so the padding byte comes out opaque as Format_RGB32 requires (a read of a
    // 24-bit drawable leaves it zero). The segment stays the image's, mapped in this process,
    // until the last copy of the image is gone (from any thread); reads of the same size use
    // another segment meanwhile. Null when the server cannot (no shared pixmaps or RENDER,
    // another byte order) or refused.
    QImage lend(xcb_drawable_t drawable, xcb_visualid_t visual, const QRect &rect);
    // Releases the segments of every size not in keep (screens gone or resized). Lent images
    // stay valid: the process keeps its mapping until they are gone.
    void keepOnly(const std::vector<QSize> &keep);
    // Unmaps every segment from this process, leaving them attached in the server only; the
    // pointers returned by read() become invalid.
    void unmapClient();

private:
    struct Segment
    {
        QSize size;
        xcb_shm_seg_t id = 0;
        int shmId = -1;
        // Null while unmapped from this process or lent, when the image holds the mapping.
        uchar *address = nullptr;
        // A 32-bit pixmap over the segment and its picture, where images can be lent.
        xcb_pixmap_t pixmap = XCB_PIXMAP_NONE;
        xcb_render_picture_t picture = XCB_NONE;
        // Set while an image lent from the segment exists; cleared by its last copy.
        std::shared_ptr<std::atomic<bool>> lent = std::make_shared<std::atomic<bool>>(false);
    };

    Segment *segmentFor(const QSize &size);
    bool readInto(const Segment &segment, xcb_drawable_t drawable, const QRect &rect,
                  const BandReady &bandReady);
    void release(const Segment &segment);

    void findOpaqueFormats();

    xcb_connection_t *m_connection;
    bool m_usable = false;
    xcb_window_t m_root = XCB_WINDOW_NONE;
    // The RENDER formats of the lent images (0 when none can be lent) and of every visual.
    xcb_render_pictformat_t m_opaqueFormat = 0;
    std::vector<std::pair<xcb_visualid_t, xcb_render_pictformat_t>> m_visualFormats;
    std::vector<Segment> m_segments;
};
