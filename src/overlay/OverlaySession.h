#pragma once

#include <QList>
#include <QObject>
#include <QPointer>

#include "capture/ScreenShot.h"

class AppSettings;
class OverlaySession;
class OverlayWindow;

class OverlaySessionDelegate
{
public:
    virtual ~OverlaySessionDelegate() = default;
    virtual void overlaySessionDidClose(OverlaySession *session) = 0;
};

// One capture: a full-screen window per frozen display, shown together and closed together.
class OverlaySession : public QObject
{
    Q_OBJECT
public:
    OverlaySession(QList<ScreenShot> shots, AppSettings &settings);
    ~OverlaySession() override;

    // Not owned; the delegate outlives every session it is told about.
    OverlaySessionDelegate *delegate = nullptr;

    bool isClosed() const { return m_closed; }
    QList<OverlayWindow *> windows() const;

    // Shows (or shows again) every window; the one under the pointer takes the keyboard.
    void show();
    // Hides and releases every window and tells the delegate. Only the first call acts.
    void close();

private:
    QList<QPointer<OverlayWindow>> m_windows;
    bool m_closed = false;
};
