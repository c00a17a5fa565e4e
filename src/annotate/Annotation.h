#pragma once

#include <QPointF>

class QPainter;

// A shape left by a drawing tool, kept in view points. It grows with the drag through
// update() while under construction and is drawn, unchanged afterwards, by draw(). Shapes are
// shared by reference (the view's list and the shape under construction), so they are not
// copied.
class Annotation
{
public:
    Annotation() = default;
    Annotation(const Annotation &) = delete;
    Annotation &operator=(const Annotation &) = delete;
    virtual ~Annotation() = default;

    virtual void update(QPointF point);
    // Leaves the painter's state as it found it.
    virtual void draw(QPainter &painter) const;
};
