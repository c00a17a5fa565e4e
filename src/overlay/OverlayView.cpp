#include "overlay/OverlayView.h"

#include <QApplication>
#include <QMenu>
#include <QTimer>

#include "annotate/TextAnnotation.h"
#include "annotate/TextEntryView.h"
#include "capture/ServerCopy.h"
#include "overlay/OverlaySession.h"
#include "overlay/ServerSurface.h"
#include "platform/Platform.h"
#include "platform/OverlayWindowing.h"
#include "upload/Uploader.h"

namespace {

QFont systemFont(int pixelSize)
{
    QFont font = QApplication::font();
    font.setPixelSize(pixelSize);
    return font;
}

} // namespace

OverlayView::OverlayView(const ScreenShot &shot, OverlaySession *session, QWidget *parent)
    : QWidget(parent), m_session(session), m_screenImage(shot.image), m_serverCopy(shot.serverCopy),
      m_font(systemFont(12)), m_textFont(systemFont(18)), m_uploader(new Uploader(this)),
      m_color(palette().front().color)
{
    const QRect geometry = shot.geometry();
    m_scale = geometry.width() > 0 ? qreal(shot.pixelSize().width()) / geometry.width() : 1.0;
    setGeometry(QRect(QPoint(), geometry.size()));
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    setAttribute(Qt::WA_InputMethodEnabled, false);
    setCursor(Qt::CrossCursor);
}

OverlayView::~OverlayView() = default;

bool OverlayView::paintFromServer()
{
    if (m_surface)
        return true;
    if (!m_serverCopy || !Platform::current().overlay->serverSidePicture())
        return false;
    setAttribute(Qt::WA_PaintOnScreen);
    m_surface = ServerSurface::create(m_serverCopy, xcb_window_t(winId()));
    if (!m_surface)
        setAttribute(Qt::WA_PaintOnScreen, false);
    return bool(m_surface);
}

bool OverlayView::readScreenImage()
{
    if (m_screenImage.isNull() && m_serverCopy)
        m_screenImage = m_serverCopy->read();
    return !m_screenImage.isNull();
}

QPaintEngine *OverlayView::paintEngine() const
{
    return m_surface ? nullptr : QWidget::paintEngine();
}

TextEntryView *OverlayView::textEntry() const
{
    return m_textEntry.data();
}

QMenu *OverlayView::openMenu() const
{
    return m_menu.data();
}

void OverlayView::clearSelectionExternally()
{
    commitText();
    if (!hasSelection())
        return;
    redrawingChrome([this] {
        m_sel = QRectF();
        clearShapes();
        m_hoverButton = -1;
        m_hoverTool = -1;
    });
}

void OverlayView::tearDown()
{
    if (m_spinner) {
        m_spinner->stop();
        m_spinner->deleteLater();
        m_spinner = nullptr;
    }
    if (m_errorTimer) {
        m_errorTimer->stop();
        m_errorTimer->deleteLater();
        m_errorTimer = nullptr;
    }
    dropTextEntry();
    if (m_menu)
        m_menu->close();
}

void OverlayView::markDirty(const std::optional<QRectF> &r)
{
    if (r)
        update(r->toAlignedRect());
}

void OverlayView::closeSession()
{
    if (m_session)
        m_session->close();
}

void OverlayView::commitText()
{
    // The editor answers through addText() or cancelText(), which close it.
    if (TextEntryView *entry = m_textEntry)
        entry->commit();
}

void OverlayView::addText(const QString &text, QPointF origin)
{
    cancelText();
    addShape(std::make_shared<TextAnnotation>(origin, text, m_color, m_textFont));
    markDirty(m_sel);
}

void OverlayView::cancelText()
{
    if (!m_textEntry)
        return;
    dropTextEntry();
    if (isVisible())
        makeKey();
}

void OverlayView::dropTextEntry()
{
    TextEntryView *entry = m_textEntry;
    m_textEntry = nullptr;
    if (!entry)
        return;
    entry->onCommit = nullptr;
    entry->onCancel = nullptr;
    entry->releaseKeyboard();
    entry->hide();
    entry->deleteLater();
}
