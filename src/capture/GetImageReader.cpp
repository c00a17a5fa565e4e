#include "capture/GetImageReader.h"

#include "capture/ScreenCaptureReaders.h"

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <vector>

namespace {

// The reply's fixed part, which counts against the request length like the pixels.
constexpr qsizetype replyHeaderBytes = 32;
constexpr qsizetype defaultBandBytes = 1 << 20;
constexpr size_t bandsInFlight = 4;

} // namespace

QImage GetImageReader::read(const X11Root &root, const QRect &rect, qsizetype maxBandBytes)
{
    return read(root.connection, root.window, root.layout, root.bounds, rect, maxBandBytes);
}

QImage GetImageReader::read(xcb_connection_t *c, xcb_drawable_t drawable, const PixelLayout &layout,
                            const QRect &bounds, const QRect &rect, qsizetype maxBandBytes)
{
    if (rect.isEmpty() || !bounds.contains(rect))
        return {};
    const qsizetype rowBytes = qsizetype(rect.width()) * 4;
    qsizetype maxBytes = qsizetype(xcb_get_maximum_request_length(c)) * 4;
    maxBytes =
        std::min(maxBytes, (maxBandBytes > 0 ? maxBandBytes : defaultBandBytes) + replyHeaderBytes);
    const int bandRows =
        int(std::clamp<qsizetype>((maxBytes - replyHeaderBytes) / rowBytes, 1, rect.height()));

    QImage image = ScreenCapture::freshImage(rect.size());
    bool complete = !image.isNull();
    // A few bands in flight keep the server busy; all of them at once would have the whole
    // picture in reply buffers, which the heap keeps after they are freed.
    std::deque<std::pair<xcb_get_image_cookie_t, int>> inFlight;
    int requested = 0, y = 0;
    while (complete && y < rect.height()) {
        while (requested < rect.height() && inFlight.size() < bandsInFlight) {
            const int rows = std::min(bandRows, rect.height() - requested);
            inFlight.emplace_back(xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable,
                                                int16_t(rect.x()), int16_t(rect.y() + requested),
                                                uint16_t(rect.width()), uint16_t(rows), ~0u),
                                  rows);
            requested += rows;
        }
        const auto [cookie, rows] = inFlight.front();
        inFlight.pop_front();
        // Errors are taken here so that none reaches Qt's event queue as a warning.
        xcb_generic_error_t *error = nullptr;
        xcb_get_image_reply_t *reply = xcb_get_image_reply(c, cookie, &error);
        if (reply && xcb_get_image_data_length(reply) >= rowBytes * rows)
            layout.copyRows(xcb_get_image_data(reply), rowBytes, image, y, rows);
        else
            complete = false;
        std::free(reply);
        std::free(error);
        y += rows;
    }
    for (const auto &[cookie, rows] : inFlight)
        xcb_discard_reply(c, cookie.sequence);
    return complete ? image : QImage();
}
