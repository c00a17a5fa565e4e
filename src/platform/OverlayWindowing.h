#pragma once

#include <QString>

#include <memory>

class QWindow;

// How the overlay's full-screen windows are placed, kept and painted on this desktop.
class OverlayWindowing
{
public:
    virtual ~OverlayWindowing() = default;

    virtual QString name() const = 0;
    // A window can show a copy of its screen that the display server keeps, so that the server
    // paints the first frame and the view paints by copying from it.
    virtual bool serverSidePicture() const { return false; }
    // A window is placed only by asking for full screen on its screen, at its output's size,
    // and each of the compositor's configurations is committed.
    virtual bool fullScreenPlacement() const { return false; }
    // Windows are hidden and kept for the next capture of their screen, whose first frame
    // then finds the window's buffers warm.
    virtual bool keepsWindows() const { return false; }
    // The server may refuse a keyboard grab while another client holds one; it is asked again.
    virtual bool retriesKeyboardGrab() const { return false; }
    // Commits the window's surface with the buffer it already shows. A compositor applies a
    // new configuration only once the client commits after acknowledging it, and Qt
    // acknowledges one that leaves the size alone without committing: sway then holds the
    // window back until its timeout. Nothing happens before the window has a surface.
    virtual void commit(QWindow *window) const { (void)window; }
};

// The backends the loader chooses from.
std::unique_ptr<OverlayWindowing> makeX11Windowing();
std::unique_ptr<OverlayWindowing> makeWaylandWindowing();
// Windows shown as Qt shows them (Qt's offscreen platform).
std::unique_ptr<OverlayWindowing> makeNullWindowing();
