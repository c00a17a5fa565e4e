#include "annotate/TextAnnotation.h"

#include <utility>

#include <QPainter>
#include <QTextLayout>

TextAnnotation::TextAnnotation(QPointF origin, QString text, QColor color, QFont font)
    : origin(origin), text(std::move(text)), color(color), font(std::move(font))
{}

void TextAnnotation::draw(QPainter &painter) const
{
    // Line by line as the editor it was typed in lays its lines out, leading included: a line
    // with glyphs from a fallback font (Hangul under a Latin font, an emoji) is as tall, and
    // its baseline as low, here as it was there.
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setRenderHint(QPainter::TextAntialiasing, true);
    painter.setPen(color);
    QPointF at = origin;
    for (const QString &line : text.split(u'\n')) {
        QTextLayout layout(line, font, painter.device());
        layout.beginLayout();
        QTextLine row = layout.createLine();
        row.setLeadingIncluded(true);
        layout.endLayout();
        layout.draw(&painter, at);
        at.ry() += row.height();
    }
    painter.restore();
}
