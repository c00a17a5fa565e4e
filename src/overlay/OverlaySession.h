#pragma once

#include <QDeadlineTimer>
#include <QList>
#include <QObject>
#include <QPoint>
#include <QPointer>

#include <utility>

#include "capture/ScreenShot.h"

class AppSettings;
class OverlaySession;
class OverlayView;
class OverlayWindow;

class OverlaySessionDelegate
{
public:
    virtual ~OverlaySessionDelegate() = default;
    virtual void overlaySessionDidClose(OverlaySession *session) = 0;
};

// One capture: a full-screen window per frozen display, shown together, holding at most one
// selection among them, and closed together.
class OverlaySession : public QObject
{
    Q_OBJECT
public:
    OverlaySession(QList<ScreenShot> shots, AppSettings &settings);
    ~OverlaySession() override;

    // Not owned; the delegate outlives every session it is told about.
    OverlaySessionDelegate *delegate = nullptr;

    AppSettings &settings() const { return m_settings; }
    bool isClosed() const { return m_closed; }
    // In the order of the shots; empty once closed.
    QList<OverlayWindow *> windows() const;

    // Shows (or shows again) every window; the one with the selection takes the keyboard, else
    // the one under the pointer, the first one when the pointer is outside every window.
    void show();
    // A left press near `at` (global) before `until` is ignored, once: the second press of a
    // double click on the tray icon, which lands on the capture the first one opened.
    void ignorePressNear(QPoint at, QDeadlineTimer until) { m_ignoredPress = {at, until}; }
    bool ignoresPress(QPoint global);
    // Hides every window and gives the keyboard back; the session stays open.
    void hideAll();
    // Whether any view is uploading.
    bool uploading() const;
    // Closes the capture if the displays changed while the upload that has just ended ran.
    void uploadEnded();
    // The view holding the selection, if any.
    OverlayView *selectionHolder() const;
    // Clears the selection and shapes of every view but `except`.
    void clearSelections(OverlayView *except);
    // Tears the views down, hides the windows, releases them on the next turn of the event
    // loop and tells the delegate. Only the first call acts.
    void close();
    // Closes the capture, or once the upload under way ends: the displays are no longer those
    // that were frozen.
    void displaysChanged();

private:
    AppSettings &m_settings;
    QList<QPointer<OverlayWindow>> m_windows;
    bool m_closed = false;
    bool m_displaysChanged = false;
    std::pair<QPoint, QDeadlineTimer> m_ignoredPress;
};
