#include "capture/X11Root.h"

#include <QGuiApplication>

#include "platform/X11DefaultScreen.h"

std::optional<X11Root> X11Root::current()
{
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t *connection = x11 ? x11->connection() : nullptr;
    if (!connection || xcb_connection_has_error(connection))
        return std::nullopt;
    const xcb_setup_t *setup = xcb_get_setup(connection);
    const xcb_screen_t *screen = x11DefaultScreen(setup);
    if (!screen)
        return std::nullopt;
    const std::optional<PixelLayout> layout = PixelLayout::of(setup, screen);
    if (!layout)
        return std::nullopt;
    xcb_get_geometry_reply_t *geometry =
        xcb_get_geometry_reply(connection, xcb_get_geometry(connection, screen->root), nullptr);
    if (!geometry)
        return std::nullopt;
    X11Root root{connection, screen->root,       QRect(0, 0, geometry->width, geometry->height),
                 *layout,    screen->root_depth, screen->root_visual};
    std::free(geometry);
    return root;
}
