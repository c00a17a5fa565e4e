#include "overlay/OverlaySession.h"

#include <algorithm>

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>
#include <QStyleHints>

#include "overlay/OverlayView.h"
#include "overlay/OverlayWindow.h"
#include "platform/Platform.h"
#include "platform/WindowList.h"
#include "settings/SystemLog.h"

OverlaySession::OverlaySession(QList<ScreenShot> shots, AppSettings &settings)
    : m_settings(settings)
{
    // Before any overlay of this session shows, so that the windows are those under it.
    const QList<QRect> windows = Platform::current().windows->topLevelWindows();
    for (const ScreenShot &shot : shots) {
        if (!shot.screen || shot.pixelSize().isEmpty())
            continue;
        OverlayWindow *window = OverlayWindow::forShot(shot, this);
        window->overlayView()->setWindows(WindowList::onScreen(windows, *shot.screen));
        m_windows.append(window);
        connect(shot.screen, &QScreen::geometryChanged, this, &OverlaySession::displaysChanged);
    }
    connect(qApp, &QGuiApplication::screenAdded, this, &OverlaySession::displaysChanged);
    connect(qApp, &QGuiApplication::screenRemoved, this, &OverlaySession::displaysChanged);
}

void OverlaySession::displaysChanged()
{
    // The frozen pictures stand for the displays as they were: a display added, removed, moved
    // or resized would have the views copy other pixels than they show. An upload under way
    // already holds its picture; the capture closes when it ends, whichever way.
    if (m_closed)
        return;
    if (uploading()) {
        m_displaysChanged = true;
        return;
    }
    systemLog(QStringLiteral("디스플레이 구성이 바뀌어 캡처를 닫습니다"));
    close();
}

void OverlaySession::uploadEnded()
{
    if (m_displaysChanged && !uploading())
        displaysChanged();
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
    // Shown again (after the save panel, a failed save, another request) the keys stay with
    // the selection, wherever the pointer went meanwhile: elsewhere they would act on nothing.
    OverlayView *holder = selectionHolder();
    OverlayWindow *key = list.first();
    const QPoint pointer = QCursor::pos();
    for (OverlayWindow *window : list) {
        // Whole points: the right and bottom edges belong to the next display.
        if (holder ? window->overlayView() == holder : window->geometry().contains(pointer)) {
            key = window;
            break;
        }
    }
    key->takeKeyboard();
    // Every overlay is on screen; only now is the picture brought into this process.
    for (OverlayWindow *window : list) {
        if (!window->overlayView()->readScreenImage()) {
            systemLog(QStringLiteral("캡처한 화면을 읽지 못했습니다"));
            close();
            return;
        }
    }
}

bool OverlaySession::ignoresPress(QPoint global)
{
    const auto [at, until] = std::exchange(m_ignoredPress, {});
    return !until.hasExpired() &&
           (global - at).manhattanLength() <= QGuiApplication::styleHints()->startDragDistance();
}

void OverlaySession::hideAll()
{
    for (OverlayWindow *window : windows())
        window->hideOverlay();
}

bool OverlaySession::uploading() const
{
    const QList<OverlayWindow *> list = windows();
    return std::ranges::any_of(
        list, [](OverlayWindow *window) { return bool(window->overlayView()->uploadProgress()); });
}

OverlayView *OverlaySession::selectionHolder() const
{
    for (OverlayWindow *window : windows()) {
        if (window->overlayView()->hasSelection())
            return window->overlayView();
    }
    return nullptr;
}

void OverlaySession::clearSelections(OverlayView *except)
{
    for (OverlayWindow *window : windows()) {
        if (window->overlayView() != except)
            window->overlayView()->clearSelectionExternally();
    }
}

void OverlaySession::close()
{
    if (m_closed)
        return;
    m_closed = true;
    const QList<OverlayWindow *> taken = windows();
    m_windows.clear();
    for (OverlayWindow *window : taken) {
        window->overlayView()->tearDown();
        window->retire();
    }
    Platform::current().windows->restore();
    if (delegate)
        delegate->overlaySessionDidClose(this);
}
