#include "hotkey/HotKeyRecorder.h"

#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>

#include "hotkey/KeyCodeMap.h"

namespace {

constexpr int kWidth = 220;
constexpr int kHeight = 24;
constexpr uint16_t kEscape = 53;
// The stored codes of the modifier keys, either side, and Caps Lock.
constexpr uint16_t kFirstModifier = 54, kLastModifier = 62;

bool isModifierOrLock(int key)
{
    switch (key) {
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Meta:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R:
    case Qt::Key_Hyper_L:
    case Qt::Key_Hyper_R:
    case Qt::Key_CapsLock:
    case Qt::Key_NumLock:
    case Qt::Key_ScrollLock:
    case Qt::Key_Mode_switch:
        return true;
    default:
        return false;
    }
}

// Qt's names follow its own convention: Ctrl is the stored Command, Meta the stored Control.
uint64_t storedModifiers(Qt::KeyboardModifiers modifiers)
{
    uint64_t flags = 0;
    if (modifiers & Qt::ShiftModifier)
        flags |= HotKeyCombo::Shift;
    if (modifiers & Qt::ControlModifier)
        flags |= HotKeyCombo::Command;
    if (modifiers & Qt::MetaModifier)
        flags |= HotKeyCombo::Control;
    if (modifiers & Qt::AltModifier)
        flags |= HotKeyCombo::Option;
    return flags;
}

} // namespace

HotKeyRecorder::HotKeyRecorder(const HotKeyCombo &combo, QWidget *parent)
    : QWidget(parent), m_combo(combo)
{
    setFocusPolicy(Qt::StrongFocus);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    resize(kWidth, kHeight);
}

void HotKeyRecorder::setCombo(const HotKeyCombo &combo)
{
    m_combo = combo;
    update();
}

QSize HotKeyRecorder::sizeHint() const
{
    return {kWidth, kHeight};
}

bool HotKeyRecorder::event(QEvent *event)
{
    // Tab and Shift+Tab step through the window; held with Super, Tab is a combination to
    // record, where Qt would step on.
    if (event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        if ((key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) &&
            key->modifiers().testFlag(Qt::MetaModifier)) {
            keyPressEvent(key);
            return true;
        }
    }
    return QWidget::event(event);
}

void HotKeyRecorder::keyPressEvent(QKeyEvent *event)
{
    event->accept();
    // The stored code is the key's position, which the hardware key code gives whatever the
    // layout; a key outside the table cannot be registered and so is refused.
    const std::optional<uint16_t> code = KeyCodeMap::fromNative(event->nativeScanCode());
    // Modifier and lock keys alone are not a key press of a combination, also where the layout
    // names one otherwise (Shift switching the layout while Alt is held).
    if (isModifierOrLock(event->key()) || (code >= kFirstModifier && code <= kLastModifier))
        return;
    if (code == kEscape || event->key() == Qt::Key_Escape)
        return;
    const HotKeyCombo candidate(code.value_or(0), storedModifiers(event->modifiers()));
    if (code && candidate.isValid()) {
        setCombo(candidate);
        if (onChange)
            onChange();
    } else if (onInvalid) {
        onInvalid();
    }
}

void HotKeyRecorder::mousePressEvent(QMouseEvent *event)
{
    event->accept();
    setFocus(Qt::MouseFocusReason);
}

void HotKeyRecorder::focusInEvent(QFocusEvent *event)
{
    update();
    QWidget::focusInEvent(event);
}

void HotKeyRecorder::focusOutEvent(QFocusEvent *event)
{
    update();
    QWidget::focusOutEvent(event);
}

void HotKeyRecorder::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const bool focused = hasFocus();
    QPainterPath frame;
    frame.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 4, 4);
    painter.fillPath(frame, palette().color(QPalette::Base));
    painter.strokePath(frame, QPen(palette().color(focused ? QPalette::Highlight : QPalette::Mid),
                                   focused ? 2.0 : 1.0));

    QFont font = this->font();
    font.setPixelSize(13);
    const QFontMetricsF metrics(font);
    painter.setFont(font);
    painter.setPen(palette().color(QPalette::Text));
    const qreal top = (height() - metrics.height()) / 2;
    painter.drawText(QPointF(8, top + metrics.ascent()), m_combo.display());
}
