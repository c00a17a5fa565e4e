#pragma once

#include <functional>

#include <QColor>
#include <QFont>
#include <QPlainTextEdit>
#include <QPointF>
#include <QSizeF>
#include <QString>

// The text tool's in-place editor: a plain-text editor with its top-left at the click point,
// in the label's colour and font on white with a grey border, that grows to the right and
// downward with its text (lines break only at newlines). Ctrl+Return (or Ctrl+Enter) commits
// the label, plain Return starts a new line, Escape discards. Input methods work as in any
// text editor.
class TextEntryView : public QPlainTextEdit
{
    Q_OBJECT

public:
    // Padding between the border and the text.
    static constexpr QSizeF inset{3, 2};
    static constexpr qreal minWidth = 120;
    // Characters a label holds: a pasted log file would take seconds to lay out at every key,
    // over every display.
    static constexpr int longestText = 10000;

    // origin is in the parent's coordinates.
    TextEntryView(QPointF origin, const QColor &color, const QFont &font,
                  QWidget *parent = nullptr);

    // Where the first line of text begins, in the parent's coordinates: a TextAnnotation
    // placed there in the same font draws the label exactly where it was typed.
    QPointF textOrigin() const;

    // Ends the editing. A text that is not blank goes to onCommit with textOrigin(); a blank
    // one is discarded through onCancel. The owner calls commit() before anything that would
    // lose the typed text (a click elsewhere, an output action). Only the first commit() or
    // cancel() acts. The closures may deleteLater() the editor, not delete it.
    void commit();
    void cancel();

    std::function<void(const QString &text, QPointF origin)> onCommit;
    std::function<void()> onCancel;

protected:
    bool event(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    // A paste (or a middle click) brings in what fits within longestText.
    void insertFromMimeData(const QMimeData *source) override;

private:
    void fitToText();

    bool m_done = false;
};
