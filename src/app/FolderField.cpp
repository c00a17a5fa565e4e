#include "app/FolderField.h"

#include <QStyle>
#include <QStyleOptionFrame>

namespace {
// QLineEdit keeps this much space between its contents rectangle and the text.
constexpr int kTextMargins = 4;
} // namespace

FolderField::FolderField(QWidget *parent) : QLineEdit(parent)
{
    setReadOnly(true);
}

void FolderField::setPath(const QString &path)
{
    m_path = path;
    setToolTip(path);
    refresh();
}

void FolderField::refresh()
{
    if (hasFocus()) {
        setText(m_path);
        selectAll();
        return;
    }
    QStyleOptionFrame option;
    initStyleOption(&option);
    const int room =
        style()->subElementRect(QStyle::SE_LineEditContents, &option, this).width() - kTextMargins;
    setText(fontMetrics().elidedText(m_path, Qt::ElideMiddle, room));
    setCursorPosition(0);
}

void FolderField::focusInEvent(QFocusEvent *event)
{
    QLineEdit::focusInEvent(event);
    refresh();
}

void FolderField::focusOutEvent(QFocusEvent *event)
{
    QLineEdit::focusOutEvent(event);
    refresh();
}

void FolderField::showEvent(QShowEvent *event)
{
    QLineEdit::showEvent(event);
    refresh();
}
