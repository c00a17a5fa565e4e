#include "annotate/TextAnnotation.h"

#include <utility>

#include "annotate/Drawing.h"

TextAnnotation::TextAnnotation(QPointF origin, QString text, QColor color, QFont font)
    : origin(origin), text(std::move(text)), color(color), font(std::move(font))
{}

void TextAnnotation::draw(QPainter &painter) const
{
    Drawing::drawText(painter, text, origin, font, color);
}
