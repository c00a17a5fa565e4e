#include "capture/X11Root.h"

#include <cstdlib>

#include <QGuiApplication>

namespace {

// Qt puts its windows on the display's default screen. With a single X screen (the usual
// case, monitors being RandR outputs of that screen) that is the first root.
const xcb_screen_t *defaultScreen(const xcb_setup_t *setup)
{
    auto roots = xcb_setup_roots_iterator(setup);
    int number = 0;
    if (roots.rem > 1) {
        char *host = nullptr;
        int display = 0;
        if (!xcb_parse_display(nullptr, &host, &display, &number))
            number = 0;
        std::free(host);
    }
    for (int i = 0; roots.rem; xcb_screen_next(&roots), ++i) {
        if (i == number)
            return roots.data;
    }
    return xcb_setup_roots_iterator(setup).data;
}

} // namespace

std::optional<X11Root> X11Root::current()
{
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t *connection = x11 ? x11->connection() : nullptr;
    if (!connection || xcb_connection_has_error(connection))
        return std::nullopt;
    const xcb_setup_t *setup = xcb_get_setup(connection);
    const xcb_screen_t *screen = defaultScreen(setup);
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
