#pragma once

#include <cstdlib>

#include <xcb/xcb.h>

// Qt puts its windows on the display's default screen. With a single X screen (the usual
// case, monitors being RandR outputs of that screen) that is the first root; on a display of
// several (":0.1") it is the one named.
inline const xcb_screen_t *x11DefaultScreen(const xcb_setup_t *setup)
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
