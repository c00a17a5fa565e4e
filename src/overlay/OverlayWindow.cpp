#include "overlay/OverlayWindow.h"

#include <QKeyEvent>
#include <QPainter>

OverlayWindow::OverlayWindow(const ScreenShot &shot)
    : QWidget(nullptr,
              Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::X11BypassWindowManagerHint),
      m_shot(shot)
{
    setObjectName(QStringLiteral("corvane-overlay"));
    setWindowTitle(QStringLiteral("corvane-overlay"));
    setFocusPolicy(Qt::StrongFocus);
    // There is no compositor to blend with: every pixel is painted.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    setCursor(Qt::CrossCursor);
    if (m_shot.screen) {
        setScreen(m_shot.screen);
        setGeometry(m_shot.screen->geometry());
    }
}

void OverlayWindow::showOverlay()
{
    if (m_shot.screen)
        setGeometry(m_shot.screen->geometry());
    show();
    raise();
}

void OverlayWindow::takeKeyboard()
{
    // A window that bypasses the window manager is never given focus: take it.
    raise();
    activateWindow();
    setFocus(Qt::OtherFocusReason);
    grabKeyboard();
}

void OverlayWindow::paintEvent(QPaintEvent *event)
{
    QPainter painter(this);
    painter.drawImage(QRectF(rect()), m_shot.image);
    painter.fillRect(event->rect(), QColor(0, 0, 0, 128));
}

void OverlayWindow::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape && onEscape) {
        onEscape();
        return;
    }
    QWidget::keyPressEvent(event);
}
