// A pointer for the test desktop, one device for as long as it runs:
//   corvane_test_pointer WIDTHxHEIGHT
// reads lines of steps in xdotool's words (mousemove X Y | mousedown B | mouseup B | click B,
// B 1 or 3) and answers each line with "ok" once the compositor has them all. Positions are
// in the layout's coordinates; WIDTHxHEIGHT is the layout's extent.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include <linux/input-event-codes.h>
#include <time.h>
#include <unistd.h>
#include <wayland-client.h>

#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

namespace {

wl_seat *seat = nullptr;
zwlr_virtual_pointer_manager_v1 *manager = nullptr;

void global(void *, wl_registry *registry, uint32_t name, const char *interface, uint32_t)
{
    if (std::strcmp(interface, wl_seat_interface.name) == 0)
        seat = static_cast<wl_seat *>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    else if (std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0)
        manager = static_cast<zwlr_virtual_pointer_manager_v1 *>(
            wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1));
}

uint32_t now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return uint32_t(t.tv_sec * 1000 + t.tv_nsec / 1000000);
}

} // namespace

int main(int argc, char **argv)
{
    unsigned width = 0, height = 0;
    if (argc != 2 || std::sscanf(argv[1], "%ux%u", &width, &height) != 2) {
        std::fprintf(stderr, "usage: %s WIDTHxHEIGHT\n", argv[0]);
        return 2;
    }
    wl_display *display = wl_display_connect(nullptr);
    if (!display)
        return 1;
    wl_registry *registry = wl_display_get_registry(display);
    const wl_registry_listener listener{global, [](void *, wl_registry *, uint32_t) {}};
    wl_registry_add_listener(registry, &listener, nullptr);
    wl_display_roundtrip(display);
    if (!seat || !manager)
        return 1;
    zwlr_virtual_pointer_v1 *pointer =
        zwlr_virtual_pointer_manager_v1_create_virtual_pointer(manager, seat);
    std::string line, step;
    while (std::getline(std::cin, line)) {
        std::istringstream steps(line);
        while (steps >> step) {
            unsigned x = 0, y = 0;
            if (step == "mousemove" && steps >> x >> y) {
                // A quarter pixel into the named one: the compositor's scaling to the layout
                // may land a hair below a whole coordinate, and a client may round or truncate.
                zwlr_virtual_pointer_v1_motion_absolute(pointer, now(), 4 * x + 1, 4 * y + 1,
                                                        4 * width, 4 * height);
            } else if (steps >> x && (x == 1 || x == 3) &&
                       (step == "mousedown" || step == "mouseup" || step == "click")) {
                const uint32_t code = x == 1 ? BTN_LEFT : BTN_RIGHT;
                if (step != "mouseup")
                    zwlr_virtual_pointer_v1_button(pointer, now(), code,
                                                   WL_POINTER_BUTTON_STATE_PRESSED);
                if (step == "click")
                    zwlr_virtual_pointer_v1_frame(pointer);
                if (step != "mousedown")
                    zwlr_virtual_pointer_v1_button(pointer, now(), code,
                                                   WL_POINTER_BUTTON_STATE_RELEASED);
            } else {
                std::fprintf(stderr, "unknown step %s\n", step.c_str());
                return 2;
            }
            zwlr_virtual_pointer_v1_frame(pointer);
            wl_display_roundtrip(display);
            // The application sees each step as its own event, as from a hand on a mouse.
            usleep(30000);
        }
        std::puts("ok");
        std::fflush(stdout);
    }
    // Disconnecting also destroys the device.
    wl_display_disconnect(display);
    return 0;
}
