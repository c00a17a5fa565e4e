// A pointer for the test desktop, one device for as long as it runs:
//   corvane_test_pointer WIDTHxHEIGHT
// reads lines of steps (move X Y | down | up | rightclick) and answers each line with "ok"
// once the compositor has them all. Positions are in the layout's coordinates; WIDTHxHEIGHT
// is the layout's extent.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include <linux/input-event-codes.h>
#include <time.h>
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

void globalRemove(void *, wl_registry *, uint32_t) {}

uint32_t now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return uint32_t(t.tv_sec * 1000 + t.tv_nsec / 1000000);
}

void pause(long ms)
{
    timespec t{ms / 1000, (ms % 1000) * 1000000};
    nanosleep(&t, nullptr);
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
    const wl_registry_listener listener{global, globalRemove};
    wl_registry_add_listener(registry, &listener, nullptr);
    wl_display_roundtrip(display);
    if (!seat || !manager)
        return 1;
    zwlr_virtual_pointer_v1 *pointer =
        zwlr_virtual_pointer_manager_v1_create_virtual_pointer(manager, seat);
    const auto button = [&](uint32_t code, wl_pointer_button_state state) {
        zwlr_virtual_pointer_v1_button(pointer, now(), code, state);
    };
    std::string line, step;
    while (std::getline(std::cin, line)) {
        std::istringstream steps(line);
        while (steps >> step) {
            if (step == "move") {
                unsigned x = 0, y = 0;
                steps >> x >> y;
                // A quarter pixel into the named one: the compositor's scaling to the layout
                // may land a hair below a whole coordinate, and a client may round or truncate.
                zwlr_virtual_pointer_v1_motion_absolute(pointer, now(), 4 * x + 1, 4 * y + 1,
                                                        4 * width, 4 * height);
            } else if (step == "down") {
                button(BTN_LEFT, WL_POINTER_BUTTON_STATE_PRESSED);
            } else if (step == "up") {
                button(BTN_LEFT, WL_POINTER_BUTTON_STATE_RELEASED);
            } else if (step == "rightclick") {
                button(BTN_RIGHT, WL_POINTER_BUTTON_STATE_PRESSED);
                zwlr_virtual_pointer_v1_frame(pointer);
                button(BTN_RIGHT, WL_POINTER_BUTTON_STATE_RELEASED);
            } else {
                std::fprintf(stderr, "unknown step %s\n", step.c_str());
                return 2;
            }
            zwlr_virtual_pointer_v1_frame(pointer);
            wl_display_roundtrip(display);
            // The application sees each step as its own event, as from a hand on a mouse.
            pause(30);
        }
        std::puts("ok");
        std::fflush(stdout);
    }
    zwlr_virtual_pointer_v1_destroy(pointer);
    wl_display_roundtrip(display);
    wl_display_disconnect(display);
    return 0;
}
