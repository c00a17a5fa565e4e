#include "capture/GetImageReader.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

// The reply's fixed part, which counts against the request length like the pixels.
constexpr qsizetype replyHeaderBytes = 32;

} // namespace

QImage GetImageReader::read(const X11Root &root, const QRect &rect, qsizetype maxBandBytes)
{
    if (rect.isEmpty() || !root.bounds.contains(rect))
        return {};
    xcb_connection_t *c = root.connection;
    const qsizetype rowBytes = qsizetype(rect.width()) * 4;
    qsizetype maxBytes = qsizetype(xcb_get_maximum_request_length(c)) * 4;
    if (maxBandBytes > 0)
        maxBytes = std::min(maxBytes, maxBandBytes + replyHeaderBytes);
    const int bandRows =
        int(std::clamp<qsizetype>((maxBytes - replyHeaderBytes) / rowBytes, 1, rect.height()));

    std::vector<xcb_get_image_cookie_t> cookies;
    for (int y = 0; y < rect.height(); y += bandRows) {
        const int rows = std::min(bandRows, rect.height() - y);
        cookies.push_back(xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, root.window,
                                        int16_t(rect.x()), int16_t(rect.y() + y),
                                        uint16_t(rect.width()), uint16_t(rows), ~0u));
    }

    QImage image(rect.size(), QImage::Format_RGB32);
    bool complete = !image.isNull();
    int y = 0;
    for (const xcb_get_image_cookie_t &cookie : cookies) {
        const int rows = std::min(bandRows, rect.height() - y);
        // Errors are taken here so that none reaches Qt's event queue as a warning.
        xcb_generic_error_t *error = nullptr;
        xcb_get_image_reply_t *reply = xcb_get_image_reply(c, cookie, &error);
        if (complete && reply && xcb_get_image_data_length(reply) >= rowBytes * rows)
            root.layout.copyRows(xcb_get_image_data(reply), rowBytes, image, y, rows);
        else
            complete = false;
        std::free(reply);
        std::free(error);
        y += rows;
    }
    return complete ? image : QImage();
}
