#pragma once

#include <QString>

// The display system under the application. The X11 and Wayland implementations of capture
// and hotkey are both built in; this chooses between them once, from Qt's platform.
namespace DisplayPlatform {

enum class Kind
{
    X11,
    Wayland,
    // Qt's offscreen platform in tests, or anything else without a screen to read.
    Other,
};

// Called before the application object exists. Inside a Wayland session, and unless the
// user named a Qt platform, asks for Qt's Wayland platform with X11 as the fallback: on
// XWayland the X11 root shows no native window.
void preferWaylandInWaylandSession();

// A Wayland compositor's socket is reachable from this process.
bool isWaylandSession();

Kind current();

// Captures go through the desktop portal: on Wayland, and on XWayland inside a Wayland
// session, where reading the X11 root would miss every native window.
bool capturesThroughPortal();

// One line to the system log naming the platform in use, and under Wayland whether the
// compositor's own screen copies or the portal capture.
void logChoice(bool compositorCopies);

} // namespace DisplayPlatform
