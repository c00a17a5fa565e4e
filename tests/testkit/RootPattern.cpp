#include "testkit/RootPattern.h"

#include <algorithm>
#include <cstdlib>

#include <QImage>
#include <QScopeGuard>

#include <xcb/xcb.h>

QRgb RootPattern::at(int x, int y, bool inverted)
{
    const QRgb rgb = qRgb(x & 0xff, y & 0xff, ((x >> 8) & 0x0f) | ((y >> 8) & 0x07) << 4);
    return inverted ? (rgb ^ 0x00ffffffu) : rgb;
}

bool RootPattern::paint(const QString &display, bool inverted)
{
    xcb_connection_t *c = xcb_connect(display.toLocal8Bit().constData(), nullptr);
    const auto disconnect = qScopeGuard([c] { xcb_disconnect(c); });
    const xcb_setup_t *setup = xcb_get_setup(c);
    const xcb_screen_t *screen =
        xcb_connection_has_error(c) ? nullptr : xcb_setup_roots_iterator(setup).data;
    // Our QImage rows go to the server unchanged, so its layout must be theirs.
    if (!screen || screen->root_depth != 24 ||
        setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST || Q_BYTE_ORDER != Q_LITTLE_ENDIAN)
        return false;
    const int width = screen->width_in_pixels, height = screen->height_in_pixels;
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        // The padding byte goes to the server as 0, as most clients leave it; readers must
        // make it opaque themselves.
        for (int x = 0; x < width; ++x)
            line[x] = at(x, y, inverted) & 0x00ffffffu;
    }

    const xcb_pixmap_t pixmap = xcb_generate_id(c);
    xcb_create_pixmap(c, 24, pixmap, screen->root, uint16_t(width), uint16_t(height));
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, pixmap, 0, nullptr);
    const int bandRows =
        std::max<int>(1, (int(xcb_get_maximum_request_length(c)) * 4 - 64) / image.bytesPerLine());
    for (int y = 0; y < height; y += bandRows) {
        const int rows = std::min(bandRows, height - y);
        xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, gc, uint16_t(width), uint16_t(rows), 0,
                      int16_t(y), 0, 24, uint32_t(rows * image.bytesPerLine()),
                      image.constScanLine(y));
    }
    const uint32_t background = pixmap;
    xcb_change_window_attributes(c, screen->root, XCB_CW_BACK_PIXMAP, &background);
    xcb_clear_area(c, 0, screen->root, 0, 0, 0, 0);
    xcb_free_gc(c, gc);
    xcb_free_pixmap(c, pixmap);
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    return !xcb_connection_has_error(c);
}
