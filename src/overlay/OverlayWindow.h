#pragma once

#include <QWidget>

#include <vector>

#include "capture/ScreenShot.h"
#include "platform/SharedPages.h"

class OverlaySession;
class OverlayView;

// A borderless window covering one whole display, above panels and every other window,
// holding that display's overlay view.
class OverlayWindow : public QWidget
{
    Q_OBJECT
public:
    OverlayWindow(const ScreenShot &shot, OverlaySession *session);
    ~OverlayWindow() override;

    // A window for shot. Where the desktop keeps overlay windows, it is the one an earlier
    // capture of the same screen retired, when there is one: a new window's first frame pays for
    // making the window and its buffers, a kept one's buffers were brought back by
    // warmRetired() while the screens were copied.
    static OverlayWindow *forShot(const ScreenShot &shot, OverlaySession *session);
    // Hides the window at the end of its session and lets its view go. Where the desktop keeps
    // overlay windows, it is kept for the next capture of its screen; elsewhere it is deleted.
    void retire();
    // Brings the paint buffers of the kept windows back into memory, on a thread, while the
    // screens are copied: their pages are given back between captures.
    static void warmRetired();

    OverlayView *overlayView() const { return m_view; }

    void showOverlay();
    // Hides the window and gives back the keyboard if this window holds it.
    void hideOverlay();
    // Gives this window the keyboard: a window that bypasses the window manager is never
    // given focus, so it takes it.
    void takeKeyboard();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void adopt(const ScreenShot &shot, OverlaySession *session);
    void movedTo(QScreen *screen);
    // The buffer the window last painted into, or none.
    SharedPages::Span paintBuffer();
    // Every buffer the windows paint into.
    static std::vector<SharedPages::Span> paintBuffers(const QList<OverlayWindow *> &windows);

    QPointer<QScreen> m_screen;
    // The screen's area in global coordinates, at the scale of the view's image.
    QRect m_place;
    bool m_exposed = false;
    // Whether this showing has fixed the window's size yet.
    bool m_sizeHeld = false;
    OverlayView *m_view;
};
