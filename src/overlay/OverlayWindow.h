#pragma once

#include <QWidget>

#include "capture/ScreenShot.h"

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

    OverlayView *overlayView() const { return m_view; }
    QScreen *targetScreen() const { return m_screen; }

    void showOverlay();
    // Hides the window and gives back the keyboard if this window holds it.
    void hideOverlay();
    // Gives this window the keyboard: a window that bypasses the window manager is never
    // given focus, so it takes it.
    void takeKeyboard();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QPointer<QScreen> m_screen;
    OverlayView *m_view;
};
