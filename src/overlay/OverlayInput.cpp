#include "overlay/OverlayView.h"

#include <cmath>

#include <QKeyEvent>
#include <QMouseEvent>
#include <QScopeGuard>

#include "annotate/Drawing.h"
#include "annotate/LineAnnotation.h"
#include "annotate/MosaicAnnotation.h"
#include "annotate/RectAnnotation.h"
#include "annotate/StrokeAnnotation.h"
#include "annotate/TextEntryView.h"
#include "hotkey/KeyCodeMap.h"
#include "overlay/OverlaySession.h"
#include "overlay/OverlayWindow.h"

OverlayView::Grip OverlayView::hitGrip(QPointF p) const
{
    if (!hasSelection())
        return Grip::none;
    const qreal r = gripRadius;
    const qreal x = p.x(), y = p.y();
    const QRectF s = m_sel;
    if (!(s.left() - r < x && x < s.right() + r && s.top() - r < y && y < s.bottom() + r))
        return Grip::none;
    const bool nearL = std::abs(x - s.left()) <= r;
    const bool nearR = std::abs(x - s.right()) <= r;
    const bool nearT = std::abs(y - s.top()) <= r;
    const bool nearB = std::abs(y - s.bottom()) <= r;
    const bool nearX = nearL || nearR;
    if (nearT && nearX)
        return nearL ? Grip::nw : Grip::ne;
    if (nearB && nearX)
        return nearL ? Grip::sw : Grip::se;
    if (nearT)
        return Grip::n;
    if (nearB)
        return Grip::s;
    if (nearL)
        return Grip::w;
    if (nearR)
        return Grip::e;
    return Drawing::contains(s, p) ? Grip::move : Grip::none;
}

void OverlayView::makeKey()
{
    if (auto *overlayWindow = qobject_cast<OverlayWindow *>(window()))
        overlayWindow->takeKeyboard();
}

void OverlayView::mouseDown(QPointF p)
{
    makeKey();
    if (uploadRunning())
        return;
    commitText();
    const int b = hitButton(p);
    if (b >= 0) {
        buttons()[size_t(b)].run(*this);
        return;
    }
    const int t = hitTool(p);
    if (t >= 0) {
        if (t == colorItem())
            popUpColorMenu(p);
        else if (t == widthItem())
            popUpWidthMenu(p);
        else if (t == undoItem())
            undo();
        else
            toggleTool(drawTools()[size_t(t)].tool);
        return;
    }
    const Grip g = hitGrip(p);
    if (g == Grip::move) {
        if (m_tool == Tool::none)
            beginDrag(p, g);
        else
            startDrawing(p);
    } else if (g == Grip::none) {
        if (m_tool == Tool::none)
            beginDrag(p, g);
    } else {
        beginDrag(p, g);
    }
}

void OverlayView::toggleTool(Tool t)
{
    m_tool = m_tool == t ? Tool::none : t;
    markDirty(toolsRect());
}

void OverlayView::beginDrag(QPointF p, Grip g)
{
    m_dragStart = p;
    m_selAtDragStart = m_sel;
    // A new selection replaces this one, its shapes and the other displays' only once the
    // drag has made it big enough to keep (mouseDragged): a stray click loses nothing.
    redrawingChrome([&] {
        m_grip = g;
        m_mode = g == Grip::none   ? Mode::selecting
                 : g == Grip::move ? Mode::moving
                                   : Mode::resizing;
    });
}

bool OverlayView::selectionPending() const
{
    // The old selection stays until then. A drag from outside every grip never spans it
    // again: the press point is a corner of the new rectangle and no corner of the old one.
    return m_mode == Mode::selecting && m_sel == m_selAtDragStart;
}

bool OverlayView::uploadRunning() const
{
    return m_uploadProgress || (m_session && m_session->uploading());
}

void OverlayView::startDrawing(QPointF p)
{
    if (m_tool == Tool::text) {
        auto *entry = new TextEntryView(p, m_color, m_textFont, this);
        QPointer<OverlayView> self(this);
        entry->onCommit = [self](const QString &text, QPointF origin) {
            if (self)
                self->addText(text, origin);
        };
        entry->onCancel = [self] {
            if (self)
                self->cancelText();
        };
        m_textEntry = entry;
        entry->installEventFilter(this);
        entry->show();
        entry->grabKeyboard();
        entry->setFocus(Qt::MouseFocusReason);
        return;
    }
    const qreal w = lineWidths[m_widthLevel];
    std::shared_ptr<Annotation> shape;
    switch (m_tool) {
    case Tool::pen:
        shape = std::make_shared<StrokeAnnotation>(p, m_color, w);
        break;
    case Tool::line:
    case Tool::arrow:
        shape = std::make_shared<LineAnnotation>(p, m_color, w, m_tool == Tool::arrow);
        break;
    case Tool::rect:
        shape = std::make_shared<RectAnnotation>(p, m_color, w);
        break;
    case Tool::marker:
        shape = std::make_shared<StrokeAnnotation>(p, StrokeAnnotation::markerColor(m_color),
                                                   markerWidths[m_widthLevel]);
        break;
    default:
        shape = std::make_shared<MosaicAnnotation>(p, m_screenImage, m_scale, mosaicBlock,
                                                   QRectF(rect()));
        break;
    }
    addShape(shape);
    m_drawing = shape;
    m_mode = Mode::drawing;
    markDirty(m_sel);
}

void OverlayView::mouseDragged(QPointF p)
{
    if (m_uploadProgress || m_mode == Mode::idle)
        return;
    if (m_mode == Mode::drawing) {
        if (m_drawing) {
            // A mosaic hides what it covers: past the last point it takes in the far edge, as
            // its near edge is reached, so that no strip is left unhidden.
            const qreal far = m_tool == Tool::mosaic ? 0 : 1;
            const auto inside = [&](qreal v, qreal low, qreal high) {
                return v < low ? low : v >= high - 1 ? high - far : v;
            };
            const qreal x = inside(p.x(), m_sel.left(), m_sel.right());
            const qreal y = inside(p.y(), m_sel.top(), m_sel.bottom());
            // Only what the shape changed, inside the selection: a long pen stroke repaints
            // its newest segment, not the whole selection.
            const QRectF changed = m_drawing->update(QPointF(x, y)).intersected(m_sel);
            if (!changed.isEmpty())
                markDirty(changed);
        }
        return;
    }
    // The pointer stops on the view's last point, one short of its far edge: there a corner or
    // grip stands for the edge, so that a drag can take in the whole view.
    if (m_mode != Mode::moving)
        p = QPointF(p.x() >= width() - 1 ? width() : p.x(),
                    p.y() >= height() - 1 ? height() : p.y());
    const qreal dx = p.x() - m_dragStart.x(), dy = p.y() - m_dragStart.y();
    const QRectF s = m_selAtDragStart;
    QRectF c;
    if (m_mode == Mode::selecting) {
        c = Drawing::spanning(m_dragStart, p);
    } else if (m_mode == Mode::moving) {
        c = movedInside(s, dx, dy);
    } else {
        qreal minX = s.left(), minY = s.top(), maxX = s.right(), maxY = s.bottom();
        const bool north = m_grip == Grip::n || m_grip == Grip::ne || m_grip == Grip::nw;
        const bool south = m_grip == Grip::s || m_grip == Grip::se || m_grip == Grip::sw;
        const bool east = m_grip == Grip::e || m_grip == Grip::ne || m_grip == Grip::se;
        const bool west = m_grip == Grip::w || m_grip == Grip::nw || m_grip == Grip::sw;
        // A pointer held at the view's edge takes the grip's edge onto it, wherever within the
        // grip's reach the drag began.
        minY = !north ? minY : p.y() <= 0 ? 0 : minY + dy;
        maxY = !south ? maxY : p.y() >= height() ? height() : maxY + dy;
        maxX = !east ? maxX : p.x() >= width() ? width() : maxX + dx;
        minX = !west ? minX : p.x() <= 0 ? 0 : minX + dx;
        c = Drawing::spanning(QPointF(minX, minY), QPointF(maxX, maxY));
    }
    // A rectangle of zero width still has a position; QRectF::intersected would drop it.
    const QRectF bounds(rect());
    const qreal left = std::max(c.left(), bounds.left()), top = std::max(c.top(), bounds.top());
    const qreal right = std::min(c.right(), bounds.right());
    const qreal bottom = std::min(c.bottom(), bounds.bottom());
    QRectF clipped;
    if (left <= right && top <= bottom) {
        const qreal l = std::floor(left), t = std::floor(top);
        clipped = QRectF(l, t, std::ceil(right) - l, std::ceil(bottom) - t);
    }
    if (selectionPending()) {
        if (clipped.width() < minimumSide || clipped.height() < minimumSide)
            return;
        redrawingChrome([&] { replaceSelection(clipped); });
        return;
    }
    redrawingChrome([&] { m_sel = clipped; });
}

void OverlayView::replaceSelection(const QRectF &s)
{
    clearShapes();
    m_hoverButton = -1;
    m_hoverTool = -1;
    if (m_session) {
        m_session->clearSelections(this);
        // A label that was being typed on another display, committed on the way, gave the
        // keyboard back to its own display: the one with the new selection takes it.
        if (isVisible())
            makeKey();
    }
    m_sel = s;
}

std::optional<QRectF> OverlayView::windowAt(QPointF p) const
{
    for (const QRect &w : m_windows) {
        if (Drawing::contains(w, p))
            return QRectF(w);
    }
    return std::nullopt;
}

bool OverlayView::selectionAnywhere() const
{
    return hasSelection() || (m_session && m_session->selectionHolder());
}

std::optional<QRectF> OverlayView::pickedWindow() const
{
    if (!m_pointer || selectionAnywhere() || m_tool != Tool::none || uploadRunning() ||
        !(m_mode == Mode::idle || selectionPending()))
        return std::nullopt;
    return windowAt(*m_pointer);
}

QRectF OverlayView::movedInside(const QRectF &s, qreal dx, qreal dy) const
{
    qreal x = s.left() + dx, y = s.top() + dy;
    x = x < 0 ? 0 : std::min(x, width() - s.width());
    y = y < 0 ? 0 : std::min(y, height() - s.height());
    return {QPointF(x, y), s.size()};
}

void OverlayView::mouseUp()
{
    // A click that selected nothing here leaves the keys with the display whose selection
    // they act on.
    const auto keysStay = qScopeGuard([this] {
        if (OverlayView *holder = m_session ? m_session->selectionHolder() : nullptr;
            holder && holder != this && !hasSelection())
            holder->makeKey();
    });
    if (m_mode == Mode::drawing) {
        m_drawing.reset();
        m_mode = Mode::idle;
        return;
    }
    if (m_mode == Mode::idle)
        return;
    // A click on a window, with no selection to keep on any display, selects that window as a
    // drag would.
    const QPointF p = m_pointer.value_or(m_dragStart);
    const std::optional<QRectF> window = windowAt(m_dragStart);
    if (selectionPending() && !selectionAnywhere() && window &&
        std::abs(p.x() - m_dragStart.x()) < minimumSide &&
        std::abs(p.y() - m_dragStart.y()) < minimumSide) {
        redrawingChrome([&] {
            replaceSelection(*window);
            m_mode = Mode::idle;
        });
        return;
    }
    redrawingChrome([this] {
        if (m_mode == Mode::selecting && !selectionPending() &&
            (m_sel.width() < minimumSide || m_sel.height() < minimumSide))
            m_sel = QRectF();
        m_mode = Mode::idle;
    });
}

void OverlayView::rightMouseDown()
{
    if (uploadRunning())
        return;
    commitText();
    if (hasSelection()) {
        redrawingChrome([this] {
            // A drag or a mark under way ends here: its next move would bring them back.
            m_mode = Mode::idle;
            m_drawing.reset();
            m_sel = QRectF();
            clearShapes();
            m_hoverButton = -1;
            m_hoverTool = -1;
        });
    } else {
        closeSession();
    }
}

void OverlayView::mouseMoved(QPointF p)
{
    if (m_uploadProgress || m_mode != Mode::idle)
        return;
    updateHover(p);
}

void OverlayView::updateHover(QPointF p)
{
    const int b = hitButton(p), t = hitTool(p);
    if (b != m_hoverButton || t != m_hoverTool) {
        redrawingChrome([&] {
            m_hoverButton = b;
            m_hoverTool = t;
        });
    }
    Qt::CursorShape shape = Qt::CrossCursor;
    if (b >= 0 || t >= 0) {
        shape = Qt::PointingHandCursor;
    } else {
        switch (hitGrip(p)) {
        case Grip::move:
            shape = m_tool == Tool::text   ? Qt::IBeamCursor
                    : m_tool == Tool::none ? Qt::OpenHandCursor
                                           : Qt::CrossCursor;
            break;
        case Grip::n:
        case Grip::s:
            shape = Qt::SizeVerCursor;
            break;
        case Grip::e:
        case Grip::w:
            shape = Qt::SizeHorCursor;
            break;
        default:
            break;
        }
    }
    if (cursor().shape() != shape)
        setCursor(shape);
}

void OverlayView::keyDown(QKeyEvent *event)
{
    if (uploadRunning())
        return;
    // Return and the keypad's Enter copy, Escape closes, whatever the modifiers.
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        copyToClipboard();
        return;
    case Qt::Key_Escape:
        closeSession();
        return;
    default:
        break;
    }
    if (nudge(event) || !(event->modifiers() & Qt::ControlModifier))
        return;
    // The key's letter ignoring Shift and the layout's case: Ctrl+Shift+C copies too; by its
    // place where the layout has no Latin letters.
    switch (KeyCodeMap::shortcutKey(event->key(), event->nativeScanCode())) {
    case Qt::Key_C:
        copyToClipboard();
        break;
    case Qt::Key_S:
        saveToFile();
        break;
    case Qt::Key_D:
        upload();
        break;
    case Qt::Key_Z:
        undo();
        break;
    case Qt::Key_Y:
        redo();
        break;
    default:
        break;
    }
}

bool OverlayView::nudge(const QKeyEvent *event)
{
    const int k = event->key();
    const qreal dx = k == Qt::Key_Left ? -1 : k == Qt::Key_Right ? 1 : 0;
    const qreal dy = k == Qt::Key_Up ? -1 : k == Qt::Key_Down ? 1 : 0;
    const Qt::KeyboardModifiers mods = event->modifiers();
    if ((dx == 0 && dy == 0) || (mods & Qt::ControlModifier))
        return false;
    if (!hasSelection() || m_textEntry || m_mode != Mode::idle)
        return true;
    const qreal step = mods & Qt::ShiftModifier ? 10 : 1;
    QRectF s = m_sel;
    if (!(mods & Qt::AltModifier)) {
        s = movedInside(m_sel, dx * step, dy * step);
    } else {
        // The far edge moves within the view; shrinking stops at the minimum side, or where
        // the edge is when the selection is already narrower.
        const auto edge = [](qreal far, qreal near, qreal d, qreal limit) {
            return d < 0 ? std::max(far + d, std::min(far, near + minimumSide))
                         : std::min(far + d, std::max(far, limit));
        };
        s.setRight(edge(s.right(), s.left(), dx * step, width()));
        s.setBottom(edge(s.bottom(), s.top(), dy * step, height()));
    }
    if (s != m_sel)
        redrawingChrome([&] { m_sel = s; });
    return true;
}

// Undo and redo each move the last mark of one list to the end of the other.
void OverlayView::moveLastShape(std::vector<std::shared_ptr<Annotation>> &from,
                                std::vector<std::shared_ptr<Annotation>> &to)
{
    if (m_textEntry || from.empty())
        return;
    to.push_back(from.back());
    from.pop_back();
    markDirty(m_sel);
}

void OverlayView::undo()
{
    moveLastShape(m_shapes, m_undone);
}

void OverlayView::redo()
{
    moveLastShape(m_undone, m_shapes);
}

void OverlayView::addShape(std::shared_ptr<Annotation> shape)
{
    m_shapes.push_back(std::move(shape));
    m_undone.clear();
}

void OverlayView::clearShapes()
{
    m_shapes.clear();
    m_undone.clear();
}

void OverlayView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && m_session &&
        m_session->ignoresPress(event->globalPosition().toPoint()))
        return;
    const QPointF p = Drawing::floored(event->position());
    followingPointer(p, [&] {
        if (event->button() == Qt::LeftButton)
            mouseDown(p);
        else if (event->button() == Qt::RightButton)
            rightMouseDown();
    });
}

void OverlayView::mouseMoveEvent(QMouseEvent *event)
{
    const QPointF p = Drawing::floored(event->position());
    followingPointer(p, [&] {
        if (event->buttons() & Qt::LeftButton)
            mouseDragged(p);
        else
            mouseMoved(p);
    });
}

void OverlayView::mouseReleaseEvent(QMouseEvent *event)
{
    followingPointer(Drawing::floored(event->position()), [&] {
        if (event->button() == Qt::LeftButton)
            mouseUp();
    });
}

void OverlayView::keyPressEvent(QKeyEvent *event)
{
    keyDown(event);
}

bool OverlayView::eventFilter(QObject *watched, QEvent *event)
{
    // Copy, save and upload reach the overlay from inside the editor too: they commit the
    // label into the output instead of acting on the editor's text.
    if (watched == m_textEntry && event->type() == QEvent::KeyPress) {
        auto *keyEvent = static_cast<QKeyEvent *>(event);
        const int k = keyEvent->key();
        if ((keyEvent->modifiers() & Qt::ControlModifier) &&
            (k == Qt::Key_C || k == Qt::Key_S || k == Qt::Key_D)) {
            keyDown(keyEvent);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void OverlayView::enterEvent(QEnterEvent *event)
{
    setCursor(Qt::CrossCursor);
    // A pointer that arrives in one step (Wayland tells where it entered, with no motion
    // after it) is followed as if it had moved there.
    const QPointF p = Drawing::floored(event->position());
    followingPointer(p, [&] { mouseMoved(p); });
}

void OverlayView::leaveEvent(QEvent *)
{
    followingPointer(std::nullopt, [] {});
}
