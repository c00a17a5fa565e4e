#include "overlay/OverlaySession.h"

#include <QCursor>
#include <QGuiApplication>

#include "overlay/OverlayWindow.h"

// The settings are read by the output actions, which this session does not offer yet.
OverlaySession::OverlaySession(QList<ScreenShot> shots, AppSettings & /*settings*/)
{
    for (const ScreenShot &shot : shots) {
        if (!shot.screen)
            continue;
        auto *window = new OverlayWindow(shot);
        window->onEscape = [self = QPointer<OverlaySession>(this)] {
            if (self)
                self->close();
        };
        m_windows.append(window);
    }
}

OverlaySession::~OverlaySession()
{
    for (const auto &window : std::as_const(m_windows))
        delete window.data();
}

QList<OverlayWindow *> OverlaySession::windows() const
{
    QList<OverlayWindow *> list;
    for (const auto &window : m_windows) {
        if (window)
            list.append(window.data());
    }
    return list;
}

void OverlaySession::show()
{
    if (m_closed)
        return;
    const QList<OverlayWindow *> list = windows();
    for (OverlayWindow *window : list)
        window->showOverlay();
    if (list.isEmpty())
        return;
    OverlayWindow *key = list.first();
    const QPoint pointer = QCursor::pos();
    for (OverlayWindow *window : list) {
        if (window->geometry().contains(pointer)) {
            key = window;
            break;
        }
    }
    key->takeKeyboard();
}

void OverlaySession::close()
{
    if (m_closed)
        return;
    m_closed = true;
    for (OverlayWindow *window : windows()) {
        window->releaseKeyboard();
        window->hide();
        window->deleteLater();
    }
    m_windows.clear();
    if (delegate)
        delegate->overlaySessionDidClose(this);
}
