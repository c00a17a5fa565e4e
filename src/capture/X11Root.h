#pragma once

#include <optional>

#include <QRect>

#include <xcb/xcb.h>

#include "capture/PixelLayout.h"

// The root window that Qt's X11 connection shows its screens on, with what reading its pixels
// needs. Absent when the platform is not X11 or the root's pixel layout is not one
// PixelLayout handles.
struct X11Root
{
    xcb_connection_t *connection = nullptr;
    xcb_window_t window = XCB_WINDOW_NONE;
    // The root's current size in pixels; asked of the server, as the connection's setup
    // data goes stale when the screen is resized.
    QRect bounds;
    PixelLayout layout;
    uint8_t depth = 0;
    xcb_visualid_t visual = 0;

    static std::optional<X11Root> current();
};
