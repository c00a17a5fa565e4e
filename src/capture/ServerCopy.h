#pragma once

#include <QImage>
#include <QSize>

#include <xcb/xcb.h>

#include "capture/PixelLayout.h"

// A frozen screen held by the X server: a pixmap of the root's pixels at capture time, in
// device pixels. Showing it takes no client memory and no client work, so an overlay can put
// it on screen before the picture has been read into this process at all. The pixmap belongs
// to the capture and is reused by the next one.
struct ServerCopy
{
    xcb_connection_t *connection = nullptr;
    xcb_pixmap_t pixmap = XCB_PIXMAP_NONE;
    uint8_t depth = 0;
    xcb_visualid_t visual = 0;
    QSize size;
    PixelLayout layout;

    // The pixels read into this process, held in a shared-memory segment the image keeps
    // until its last copy is gone; null when the server refused.
    QImage read() const;
};
