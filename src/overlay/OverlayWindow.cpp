#include "overlay/OverlayWindow.h"

#include <malloc.h>

#include <QBackingStore>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <QSet>
#include <QTimer>
#include <QWindow>
#include <qpa/qplatformbackingstore.h>

#include <memory>

#include <unistd.h>

#include "overlay/OverlaySession.h"

#include "annotate/TextEntryView.h"
#include "overlay/OverlayView.h"
#include "platform/Platform.h"
#include "platform/OverlayWindowing.h"

namespace {

const OverlayWindowing &windowing()
{
    return *Platform::current().overlay;
}

// Windows retired where the desktop keeps them, hidden until a capture of their screen.
QList<QPointer<OverlayWindow>> &retired()
{
    static QList<QPointer<OverlayWindow>> windows;
    return windows;
}

// Once the views of a closed capture are gone, the heap's free pages go back to the system;
// glibc keeps them otherwise, and the process stays above its idle size.
void trimHeapSoon()
{
    QTimer::singleShot(0, QCoreApplication::instance(), [] { malloc_trim(0); });
}

} // namespace

OverlayWindow::OverlayWindow(const ScreenShot &shot, OverlaySession *session)
    : QWidget(nullptr,
              Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::X11BypassWindowManagerHint)
{
    setObjectName(QStringLiteral("corvane-overlay"));
    setWindowTitle(QStringLiteral("corvane-overlay"));
    // There is no compositor to blend with: every pixel is painted by the view.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    adopt(shot, session);
}

OverlayWindow::~OverlayWindow()
{
    trimHeapSoon();
}

OverlayWindow *OverlayWindow::forShot(const ScreenShot &shot, OverlaySession *session)
{
    QList<QPointer<OverlayWindow>> &pool = retired();
    pool.removeAll(nullptr);
    for (const QPointer<OverlayWindow> &window : std::as_const(pool)) {
        if (window->m_screen && window->m_screen == shot.screen) {
            OverlayWindow *found = window.data();
            pool.removeOne(window);
            found->adopt(shot, session);
            return found;
        }
    }
    return new OverlayWindow(shot, session);
}

void OverlayWindow::adopt(const ScreenShot &shot, OverlaySession *session)
{
    m_screen = shot.screen;
    m_place = shot.geometry();
    // The view first: the window's size and contents come from it.
    m_view = new OverlayView(shot, session, this);
    m_view->show();
    setFocusProxy(m_view);
    if (m_screen) {
        setScreen(m_screen);
        setGeometry(m_place);
    } else {
        resize(m_view->size());
    }
}

void OverlayWindow::warmRetired()
{
    QList<OverlayWindow *> windows;
    for (const QPointer<OverlayWindow> &window : std::as_const(retired())) {
        if (window)
            windows.append(window);
    }
    SharedPages::populate(paintBuffers(windows));
}

SharedPages::Span OverlayWindow::paintBuffer()
{
    // Before its first exposure the window has painted nothing and has no buffer to ask for.
    QBackingStore *store = m_exposed ? backingStore() : nullptr;
    QPaintDevice *device = store && store->handle() ? store->handle()->paintDevice() : nullptr;
    if (!device || device->devType() != QInternal::Image)
        return {};
    auto *image = static_cast<QImage *>(device);
    return {image->bits(), size_t(image->sizeInBytes())};
}

std::vector<SharedPages::Span> OverlayWindow::paintBuffers(const QList<OverlayWindow *> &windows)
{
    // A compositor that holds on to the buffer it shows until the next one comes (KWin) has Qt
    // paint into a second buffer of the same size, which only the process's map names: shared
    // memory as Qt names it, of the length of a window's buffer and none of theirs. The map is
    // read once for all the windows.
    const auto page = size_t(sysconf(_SC_PAGESIZE));
    std::vector<SharedPages::Span> spans;
    QSet<size_t> lengths, starts;
    for (OverlayWindow *window : windows) {
        const SharedPages::Span own = window->paintBuffer();
        if (!own.start)
            continue;
        spans.push_back(own);
        lengths.insert((own.size + page - 1) & ~(page - 1));
        starts.insert(size_t(own.start) & ~(page - 1));
    }
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (spans.empty() || !maps.open(QIODevice::ReadOnly))
        return spans;
    for (const QByteArray &line : maps.readAll().split('\n')) {
        if (!line.endsWith("/memfd:wayland-shm (deleted)"))
            continue;
        const QList<QByteArray> range = line.left(line.indexOf(' ')).split('-');
        const auto from = size_t(range.value(0).toULongLong(nullptr, 16));
        const auto to = size_t(range.value(1).toULongLong(nullptr, 16));
        if (lengths.contains(to - from) && !starts.contains(from))
            spans.push_back({reinterpret_cast<void *>(from), to - from});
    }
    return spans;
}

void OverlayWindow::closeEvent(QCloseEvent *event)
{
    // The desktop's close (Alt+F4, a compositor's binding) ends the whole capture, as Escape
    // does, and not while an upload runs: one overlay gone would leave the others frozen. The
    // session hides this window with the others; closed, it would lose its platform window,
    // which a kept window still uses.
    event->ignore();
    OverlaySession *session = m_view ? m_view->session() : nullptr;
    if (session && !session->uploading())
        session->close();
}

void OverlayWindow::retire()
{
    hideOverlay();
    // A window whose screen went during the session, or that the desktop moved to another,
    // has nothing to be kept for.
    if (!windowing().keepsWindows() || !m_screen ||
        (windowHandle() && windowHandle()->screen() != m_screen)) {
        // The call may come from inside an event handler of this very window.
        deleteLater();
        return;
    }
    setFocusProxy(nullptr);
    m_view->deleteLater();
    m_view = nullptr;
    // A screen gone meanwhile takes its window with it.
    connect(m_screen, &QObject::destroyed, this, &QObject::deleteLater, Qt::UniqueConnection);
    retired().append(this);
    // Hidden, the window shows nothing, and its next showing paints it whole. Once every
    // window of the session is hidden: a buffer of another one may be of the same length.
    QTimer::singleShot(0, this, [this] {
        if (isHidden()) {
            for (const SharedPages::Span &span : paintBuffers({this}))
                SharedPages::release(span);
        }
    });
    trimHeapSoon();
}

void OverlayWindow::showOverlay()
{
    if (m_screen && windowing().fullScreenPlacement()) {
        // Held at the output's size, but only from the window's first exposure on. Until its
        // first buffer GNOME counts a new window on the output under the pointer, and scales
        // size limits given at once by that output's scale: the overlay could end full screen
        // at twice its size over the other output. Without limits GNOME may size it by the
        // other output's scale instead (a quarter of its own output); limits that come with
        // the first buffer hold it at its output's size.
        setMinimumSize(0, 0);
        setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
        m_sizeHeld = false;
        showFullScreen();
        windowHandle()->installEventFilter(this);
        connect(windowHandle(), &QWindow::screenChanged, this, &OverlayWindow::movedTo,
                Qt::UniqueConnection);
        return;
    }
    if (m_screen)
        setGeometry(m_place);
    // Before show(): the native windows are made here, and the first frame follows the map.
    const bool fromServer = m_view->paintFromServer();
    if (fromServer)
        windowHandle()->installEventFilter(this);
    show();
    raise();
    connect(windowHandle(), &QWindow::screenChanged, this, &OverlayWindow::movedTo,
            Qt::UniqueConnection);
    if (fromServer)
        m_view->paintOnServer(m_view->rect());
}

void OverlayWindow::movedTo(QScreen *screen)
{
    // The desktop moved the overlay off its display: GNOME does so when the display's scale
    // changes, which leaves its geometry as it was. A full-screen window may first enter
    // another output until its size is held.
    const bool placed = m_sizeHeld || !windowing().fullScreenPlacement();
    OverlaySession *session = m_view ? m_view->session() : nullptr;
    if (screen != m_screen && session && isVisible() && placed)
        session->displaysChanged();
}

bool OverlayWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == windowHandle() && windowing().fullScreenPlacement()) {
        if (event->type() == QEvent::Expose && windowHandle()->isExposed() && !m_sizeHeld) {
            m_sizeHeld = true;
            setFixedSize(m_place.size());
        }
        // Qt paints on the first exposure; a later one follows a new configuration.
        if (event->type() == QEvent::Expose || event->type() == QEvent::Paint)
            windowing().commit(windowHandle());
        m_exposed = m_exposed || (event->type() == QEvent::Expose && windowHandle()->isExposed());
        return QWidget::eventFilter(watched, event);
    }
    // The view's own native window covers this one and paints itself. Painting this window
    // for an exposure would only make a backing store of the screen's size (33 MB at 4K)
    // with nothing to show; the text editor is the one part that needs it.
    if (watched == windowHandle() && event->type() == QEvent::Expose && !m_view->textEntry())
        return true;
    return QWidget::eventFilter(watched, event);
}

void OverlayWindow::hideOverlay()
{
    if (QWidget *grabber = QWidget::keyboardGrabber(); grabber && grabber->window() == this)
        grabber->releaseKeyboard();
    hide();
}

void OverlayWindow::takeKeyboard()
{
    raise();
    activateWindow();
    QWidget *target = m_view;
    if (TextEntryView *entry = m_view->textEntry())
        target = entry;
    target->setFocus(Qt::OtherFocusReason);
    target->grabKeyboard();
    // The server refuses a grab while another client holds one (a menu closing, a key still
    // held) or before the window is viewable; without it no key reaches this window. Ask
    // again for a while, as long as this window is still the one meant to have the keys.
    if (!windowing().retriesKeyboardGrab() || !windowHandle() ||
        windowHandle()->setKeyboardGrabEnabled(true))
        return;
    auto *retry = new QTimer(this);
    auto tries = std::make_shared<int>(0);
    connect(
        retry, &QTimer::timeout, this, [this, retry, target = QPointer<QWidget>(target), tries] {
            const bool stillMeant = target && isVisible() && QWidget::keyboardGrabber() == target;
            if (stillMeant && !windowHandle()->setKeyboardGrabEnabled(true) && ++*tries < 50)
                return;
            retry->stop();
            retry->deleteLater();
        });
    retry->start(20);
}
