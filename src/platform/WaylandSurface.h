#pragma once

class QWindow;

// Direct requests on a window's Wayland surface, for what Qt's own painting does not do.
namespace WaylandSurface {

// Commits the window's surface with the buffer it already shows. A compositor applies a new
// configuration only once the client commits after acknowledging it, and Qt acknowledges one
// that leaves the size alone without committing: sway then holds the window back until its
// timeout. Nothing happens off Wayland or before the window has a surface.
void commit(QWindow *window);

} // namespace WaylandSurface
