#pragma once

#include "platform/Platform.h"

// Picks the backends of the platform layer for the display system under the application
// (X11, Wayland, or Qt's offscreen platform in tests), the session around it and what the
// desktop offers.
namespace PlatformLoader {

// Called before the application object exists. Inside a Wayland session, and unless the
// user named a Qt platform, asks for Qt's Wayland platform with X11 as the fallback: on
// XWayland the X11 root shows no native window.
void preferWaylandInWaylandSession();

// Picks every backend; the application object must exist. CORVANE_CAPTURE=portal chooses the
// desktop portal for captures and CORVANE_WINDOW_LIST=none the list of no windows. Called
// once at start; a later call picks anew for what is made after it, and what the earlier call
// picked stays valid.
const Platform &load();

} // namespace PlatformLoader
