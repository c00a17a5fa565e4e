#pragma once

#include <QColor>
#include <QFont>
#include <QPointF>
#include <QString>

#include "annotate/Annotation.h"

// A committed text label; origin is the top-left of its first line. A drag does not change it.
class TextAnnotation : public Annotation
{
public:
    TextAnnotation(QPointF origin, QString text, QColor color, QFont font);

    void draw(QPainter &painter) const override;

    const QPointF origin;
    const QString text;
    const QColor color;
    const QFont font;
};
