#pragma once

#include <QString>

#include <memory>

class OverlayWindowing;
class WindowList;

// How the screens are captured. The readers live with the capture code; this names the one
// the desktop lets this process use.
struct CaptureBackend
{
    enum class Source
    {
        // The X11 root window, read in process or copied within the server.
        RootWindow,
        // Qt's own grab, where no display server can be read directly.
        QtGrab,
        // The compositor's screen-copy protocol, with the portal where a copy fails.
        CompositorCopies,
        // KWin's own screenshots of each output, with the portal where KWin refuses.
        KWinScreenShots,
        // The desktop portal's Screenshot interface.
        Portal,
    };
    Source source = Source::QtGrab;

    // This process reads the screens itself, at once and without asking anyone. Otherwise a
    // capture may be asked of the desktop portal, which answers later and may refuse.
    bool readsScreens() const { return source == Source::RootWindow || source == Source::QtGrab; }
    // The compositor copies each output into memory shared with this process.
    bool compositorCopies() const { return source == Source::CompositorCopies; }
};

// How the system-wide shortcut is held. The registrations live with the hotkey code.
struct HotKeyBackend
{
    enum class Binding
    {
        // A key grab on the X11 root window.
        KeyGrab,
        // The desktop portal's global shortcuts, where the desktop offers them.
        PortalShortcuts,
        // KDE's global shortcut service on the session bus, which KWin fires.
        KGlobalAccel,
        // The desktop offers no global shortcut to this process.
        None,
    };
    Binding binding = Binding::None;
    // With None: why, for the log.
    QString unavailableReason;

    // Registrations are answered through the event loop, so they are made once it runs.
    bool answersThroughEventLoop() const { return binding == Binding::PortalShortcuts; }
};

// How the status item's menu is shown.
struct TrayBackend
{
    // A menu popped up by hand is a window of its own that the desktop places like an
    // application window: a tiling desktop stretches it over the screen unless its size is
    // fixed, which makes it float.
    bool fixedSizeMenu = false;
    // The panel shows the menu exported with a D-Bus status item itself, at the icon, and
    // asks the item for none; a request that comes anyway gets no window of ours, which
    // KWin would place as an application window in the middle of the screen.
    bool panelShowsExportedMenu = false;
};

// The backends for the desktop this process runs on, picked once at start by
// PlatformLoader::load(). Callers ask them what the desktop can do, never which desktop it is.
struct Platform
{
    CaptureBackend capture;
    HotKeyBackend hotKey;
    TrayBackend tray;
    std::unique_ptr<const OverlayWindowing> overlay;
    std::unique_ptr<const WindowList> windows;
    // One line naming the display system and each backend chosen, for the log at start.
    QString description;

    Platform();
    ~Platform();

    // The backends loaded last; loaded at the first call where nothing loaded them (tests).
    static const Platform &current();
};
