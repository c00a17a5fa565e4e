#include "annotate/Annotation.h"

void Annotation::update(QPointF) {}

void Annotation::draw(QPainter &) const {}
