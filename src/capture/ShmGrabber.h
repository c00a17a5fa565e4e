#pragma once

#include <functional>
#include <vector>

#include <QRect>

#include <xcb/shm.h>
#include <xcb/xcb.h>

// Reads rectangles of a drawable through the X server's shared-memory extension into one
// segment per rectangle, kept and reused across reads: creating and attaching a segment costs
// many times the read itself. Segments are marked for removal as soon as the server has
// attached them, so they vanish with the process however it ends. Between reads the process
// may unmap its side (unmapClient()): the server's attachment keeps the segment and its pages,
// and the next read maps it again.
class ShmGrabber
{
public:
    explicit ShmGrabber(xcb_connection_t *connection);
    ~ShmGrabber();
    ShmGrabber(const ShmGrabber &) = delete;
    ShmGrabber &operator=(const ShmGrabber &) = delete;

    xcb_connection_t *connection() const { return m_connection; }
    // False once the server lacks the extension or refused a segment; reads then fail at once.
    bool usable() const { return m_usable; }

    // Called for each band of rows once the server has written it; pixels point at the
    // band's first row.
    using BandReady = std::function<void(const uchar *pixels, int firstRow, int rowCount)>;

    // Reads rect of drawable as a 32-bit-per-pixel ZPixmap, rows rect.width() * 4 bytes
    // apart. The pixels stay valid until the next read of the same rectangle or until its
    // segment is released; nullptr when any part of the read failed. With bandReady the
    // rectangle is requested in bands of about bandBytes, all at once, so that the caller's
    // work on one band overlaps the server's on the next.
    const uchar *read(xcb_drawable_t drawable, const QRect &rect, const BandReady &bandReady = {});
    static constexpr qsizetype bandBytes = 1 << 20;
    // Releases the segments of every rectangle not in keep (screens gone or resized).
    void keepOnly(const std::vector<QRect> &keep);
    // Unmaps every segment from this process, leaving them attached in the server only; the
    // pointers returned by read() become invalid.
    void unmapClient();

private:
    struct Segment
    {
        QRect rect;
        xcb_shm_seg_t id = 0;
        int shmId = -1;
        // Null while unmapped from this process.
        uchar *address = nullptr;
    };

    Segment *segmentFor(const QRect &rect);
    void release(const Segment &segment);

    xcb_connection_t *m_connection;
    bool m_usable = false;
    std::vector<Segment> m_segments;
};
