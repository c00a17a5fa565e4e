#pragma once

#include <QPointF>
#include <QRectF>

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

    // Returns the area whose drawing may have changed (empty for none), so that a view
    // repaints only that much of a shape that grows with the pointer.
    virtual QRectF update(QPointF point);
    // Leaves the painter's state as it found it.
    virtual void draw(QPainter &painter) const;
    // Where draw() covers every pixel with opaque paint, so that nothing under it needs
    // drawing first; empty for shapes that let the picture show through.
    virtual QRectF opaqueArea() const { return {}; }
};
