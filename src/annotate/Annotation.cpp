#include "annotate/Annotation.h"

QRectF Annotation::update(QPointF)
{
    return {};
}

void Annotation::draw(QPainter &) const {}
