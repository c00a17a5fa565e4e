#include "annotate/TextEntryView.h"

#include <algorithm>
#include <cmath>

#include <QAbstractTextDocumentLayout>
#include <QGuiApplication>
#include <QInputMethod>
#include <QKeyEvent>
#include <QMimeData>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextLayout>

#include "annotate/Drawing.h"
#include "hotkey/KeyCodeMap.h"

namespace {

bool isCommitKey(const QKeyEvent *event)
{
    return (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
           event->modifiers().testFlag(Qt::ControlModifier);
}

} // namespace

TextEntryView::TextEntryView(QPointF origin, const QColor &color, const QFont &font,
                             QWidget *parent)
    : QPlainTextEdit(parent)
{
    setFont(font);
    QPalette colors = palette();
    colors.setColor(QPalette::Base, Qt::white);
    colors.setColor(QPalette::Window, Qt::white);                 // the margins around the text
    colors.setColor(QPalette::Text, color);                       // the caret is drawn in it too
    colors.setColor(QPalette::WindowText, QColor(128, 128, 128)); // a plain frame's colour
    setPalette(colors);
    // The viewport margins are this widget's own area: unfilled, they show what is behind the
    // editor, black in a window without a backing store.
    setAutoFillBackground(true);
    setFrameStyle(QFrame::Box | QFrame::Plain);
    setLineWidth(1);
    // With the 1-point frame, these margins put the text at inset from the frame's corner and
    // leave room for the caret after the longest line.
    setViewportMargins(int(inset.width()) - 1, int(inset.height()) - 1, 2, 1);
    document()->setDocumentMargin(0);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    move(Drawing::floored(origin).toPoint());
    connect(this, &QPlainTextEdit::textChanged, this, &TextEntryView::fitToText);
    fitToText();
}

QPointF TextEntryView::textOrigin() const
{
    return QPointF(pos()) + QPointF(inset.width(), inset.height());
}

void TextEntryView::commit()
{
    if (m_done)
        return;
    // Text still being composed in an input method belongs to the label.
    if (hasFocus())
        QGuiApplication::inputMethod()->commit();
    const QString text = toPlainText();
    if (text.trimmed().isEmpty())
        return cancel();
    m_done = true;
    if (const auto done = onCommit)
        done(text, textOrigin());
}

void TextEntryView::cancel()
{
    if (m_done)
        return;
    m_done = true;
    if (const auto done = onCancel)
        done();
}

bool TextEntryView::event(QEvent *event)
{
    // These keys are the editor's own even where the window has shortcuts for them.
    if (event->type() == QEvent::ShortcutOverride) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Escape || isCommitKey(key)) {
            event->accept();
            return true;
        }
    }
    return QPlainTextEdit::event(event);
}

void TextEntryView::keyPressEvent(QKeyEvent *event)
{
    if (isCommitKey(event))
        return commit();
    if (event->key() == Qt::Key_Escape)
        return cancel();
    // Paste, undo and select-all by the key's place where the layout has no Latin letters.
    const int key = KeyCodeMap::shortcutKey(event->key(), event->nativeScanCode());
    if (key != event->key() && event->modifiers() & Qt::ControlModifier) {
        QKeyEvent latin(event->type(), key, event->modifiers(), event->nativeScanCode(),
                        event->nativeVirtualKey(), event->nativeModifiers());
        QPlainTextEdit::keyPressEvent(&latin);
        return event->setAccepted(latin.isAccepted());
    }
    QPlainTextEdit::keyPressEvent(event);
}

void TextEntryView::insertFromMimeData(const QMimeData *source)
{
    const int kept = toPlainText().size() - textCursor().selectedText().size();
    insertPlainText(source->text().left(std::max(0, longestText - kept)));
}

void TextEntryView::fitToText()
{
    const QAbstractTextDocumentLayout *layout = document()->documentLayout();
    qreal usedWidth = 0;
    qreal usedHeight = 0;
    int lines = 0;
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next(), ++lines) {
        usedHeight += layout->blockBoundingRect(block).height(); // lays the block out
        const QTextLayout *text = block.layout();
        for (int i = 0; i < text->lineCount(); ++i)
            usedWidth = qMax(usedWidth, text->lineAt(i).naturalTextWidth());
    }
    // An empty last line still needs its height.
    const qreal content = qMax(usedHeight, Drawing::lineHeight(font()) * lines);
    resize(int(qMax(minWidth, std::ceil(usedWidth) + 2 * inset.width() + 4)),
           int(2 * inset.height() + std::ceil(content) + 2));
    horizontalScrollBar()->setValue(0);
    verticalScrollBar()->setValue(0);
}
