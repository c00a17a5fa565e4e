#include <memory>

#include <QPainter>
#include <QtTest>

#include "annotate/LineAnnotation.h"
#include "annotate/MosaicAnnotation.h"
#include "annotate/RectAnnotation.h"
#include "annotate/StrokeAnnotation.h"
#include "annotate/TextAnnotation.h"
#include "annotate/Tool.h"
#include "Canvas.h"

namespace {

const QSize canvasSize(80, 80);

// The shape a tool leaves, made the way the overlay makes it (line width 3, marker 16).
std::unique_ptr<Annotation> shapeFor(Tool tool, QPointF start)
{
    static const QImage screen = canvas::pattern(canvasSize);
    switch (tool) {
    case Tool::pen:
        return std::make_unique<StrokeAnnotation>(start, Qt::black, 3);
    case Tool::marker:
        return std::make_unique<StrokeAnnotation>(start, StrokeAnnotation::markerColor(Qt::black),
                                                  16);
    case Tool::line:
    case Tool::arrow:
        return std::make_unique<LineAnnotation>(start, Qt::black, 3, tool == Tool::arrow);
    case Tool::rect:
        return std::make_unique<RectAnnotation>(start, Qt::black, 3);
    case Tool::mosaic:
        return std::make_unique<MosaicAnnotation>(start, screen, 1, 10, QRectF({}, canvasSize));
    case Tool::text: {
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPixelSize(18);
        return std::make_unique<TextAnnotation>(start, QStringLiteral("Hi"), Qt::black, font);
    }
    case Tool::none:
        break;
    }
    return std::make_unique<Annotation>();
}

QImage render(const QList<const Annotation *> &shapes, qreal dpr = 1)
{
    QImage image = canvas::white(canvasSize, dpr);
    QPainter painter(&image);
    for (const Annotation *shape : shapes)
        shape->draw(painter);
    return image;
}

QImage render(const Annotation &shape, qreal dpr = 1)
{
    return render(QList<const Annotation *>{&shape}, dpr);
}

QImage drag(Tool tool, QPointF start, const QList<QPointF> &moves)
{
    const std::unique_ptr<Annotation> shape = shapeFor(tool, start);
    for (QPointF p : moves)
        shape->update(p);
    return render(*shape);
}

} // namespace

class TestAnnotations : public QObject
{
    Q_OBJECT

private slots:
    void dragLeavesInk_data();
    void dragLeavesInk();
    void penClickDrawsDot_data();
    void penClickDrawsDot();
    void strokeSkipsRepeatedPoints();
    void markerCrossings_data();
    void markerCrossings();
    void lineExtent_data();
    void lineExtent();
    void rectangleIsNormalisedWithMitredCorners();
    void mosaicBlocks_data();
    void mosaicBlocks();
    void mosaicStaysInsideBounds();
    void drawingRestoresPainter_data();
    void drawingRestoresPainter();
};

void TestAnnotations::dragLeavesInk_data()
{
    QTest::addColumn<Tool>("tool");
    QTest::addColumn<QList<QPointF>>("moves");
    QTest::addColumn<bool>("inked");

    const QList<QPointF> none;
    const QList<QPointF> away{{40, 40}};
    const QList<QPointF> backToStart{{40, 40}, {20, 20}};
    QTest::newRow("pen click") << Tool::pen << none << true;
    for (Tool tool : {Tool::line, Tool::arrow, Tool::rect, Tool::mosaic}) {
        const int id = int(tool);
        QTest::addRow("tool %d: click", id) << tool << none << false;
        QTest::addRow("tool %d: dragged away", id) << tool << away << true;
        QTest::addRow("tool %d: dragged back onto start", id) << tool << backToStart << false;
    }
    QTest::newRow("rect of zero height") << Tool::rect << QList<QPointF>{{50, 20}} << false;
    QTest::newRow("rect of zero width") << Tool::rect << QList<QPointF>{{20, 60}} << false;
    QTest::newRow("mosaic under a point high")
        << Tool::mosaic << QList<QPointF>{{50, 20.5}} << false;
}

void TestAnnotations::dragLeavesInk()
{
    QFETCH(Tool, tool);
    QFETCH(QList<QPointF>, moves);
    QFETCH(bool, inked);

    const QImage image = drag(tool, {20, 20}, moves);
    QCOMPARE(!canvas::inkBounds(image, 0).isEmpty(), inked);
}

void TestAnnotations::penClickDrawsDot_data()
{
    QTest::addColumn<qreal>("width");
    QTest::addColumn<qreal>("dpr");
    for (qreal width : {2.0, 3.0, 5.0, 10.0, 24.0})
        for (qreal dpr : {1.0, 2.0})
            QTest::addRow("width %g, scale %g", width, dpr) << width << dpr;
}

void TestAnnotations::penClickDrawsDot()
{
    QFETCH(qreal, width);
    QFETCH(qreal, dpr);

    const StrokeAnnotation dot({40, 40}, Qt::black, width);
    const QImage image = render(dot, dpr);
    const qreal expectedArea = M_PI * width * width / 4 * dpr * dpr;
    QVERIFY2(qAbs(canvas::inkArea(image) - expectedArea) <= 0.1 * expectedArea + 1,
             qPrintable(QString::number(canvas::inkArea(image))));
    const QRectF circle(40 - width / 2, 40 - width / 2, width, width);
    const QRect bounds = canvas::inkBounds(image, 0);
    QVERIFY(QRectF(circle.topLeft() * dpr, circle.size() * dpr)
                .adjusted(-1, -1, 1, 1)
                .contains(QRectF(bounds)));
}

void TestAnnotations::strokeSkipsRepeatedPoints()
{
    StrokeAnnotation stroke({5, 5}, Qt::black, 2);
    for (QPointF p : {QPointF(5, 5), {6, 5}, {6, 5}, {6, 5}, {7, 8}, {6, 5}, {6, 5}})
        stroke.update(p);
    QCOMPARE(stroke.points(), (QList<QPointF>{{5, 5}, {6, 5}, {7, 8}, {6, 5}}));
}

void TestAnnotations::markerCrossings_data()
{
    QTest::addColumn<QList<QList<QPointF>>>("strokes");
    QTest::addColumn<bool>("darkerAtCrossing");

    QTest::newRow("two strokes") << QList<QList<QPointF>>{{{10, 40}, {70, 40}},
                                                          {{40, 10}, {40, 70}}}
                                 << true;
    QTest::newRow("one stroke crossing itself")
        << QList<QList<QPointF>>{{{10, 40}, {70, 40}, {70, 70}, {40, 70}, {40, 10}}} << false;
}

void TestAnnotations::markerCrossings()
{
    QFETCH(QList<QList<QPointF>>, strokes);
    QFETCH(bool, darkerAtCrossing);

    std::vector<std::unique_ptr<Annotation>> shapes;
    QList<const Annotation *> drawn;
    for (const QList<QPointF> &points : strokes) {
        shapes.push_back(shapeFor(Tool::marker, points.first()));
        for (QPointF p : points.mid(1))
            shapes.back()->update(p);
        drawn.append(shapes.back().get());
    }
    const QImage image = render(drawn);
    const int single = canvas::darkness(image, 20, 40);
    const int crossing = canvas::darkness(image, 40, 40);
    QVERIFY(single > 60 && single < 200); // translucent
    QCOMPARE(crossing > single + 20, darkerAtCrossing);
    if (!darkerAtCrossing)
        QVERIFY(qAbs(crossing - single) <= 2);
}

void TestAnnotations::lineExtent_data()
{
    QTest::addColumn<bool>("arrow");
    QTest::addColumn<QPointF>("start");
    QTest::addColumn<QPointF>("end");
    QTest::addColumn<qreal>("width");
    QTest::addColumn<QRectF>("extent");

    // Heads are min(length, 4w) long and 4w wide; a shaft adds a round cap behind start.
    QTest::newRow("arrow 6 long at width 3: head only")
        << true << QPointF(20, 40) << QPointF(26, 40) << 3.0 << QRectF(20, 34, 6, 12);
    QTest::newRow("arrow right") << true << QPointF(10, 20) << QPointF(50, 20) << 3.0
                                 << QRectF(8.5, 14, 41.5, 12);
    QTest::newRow("arrow left") << true << QPointF(70, 40) << QPointF(20, 40) << 5.0
                                << QRectF(20, 30, 52.5, 20);
    QTest::newRow("arrow down") << true << QPointF(40, 10) << QPointF(40, 50) << 2.0
                                << QRectF(36, 9, 8, 41);
    QTest::newRow("line") << false << QPointF(10, 20) << QPointF(50, 20) << 4.0
                          << QRectF(8, 18, 44, 4);
}

void TestAnnotations::lineExtent()
{
    QFETCH(bool, arrow);
    QFETCH(QPointF, start);
    QFETCH(QPointF, end);
    QFETCH(qreal, width);
    QFETCH(QRectF, extent);

    LineAnnotation line(start, Qt::black, width, arrow);
    line.update(end);
    const QRectF ink(canvas::inkBounds(render(line)));
    const QMarginsF slack(1, 1, 1, 1);
    QVERIFY2((extent + slack).contains(ink) && ink.contains(extent - slack),
             std::unique_ptr<char[]>(QTest::toString(ink)).get());
}

void TestAnnotations::rectangleIsNormalisedWithMitredCorners()
{
    RectAnnotation rect({30, 30}, Qt::black, 6);
    rect.update({10, 15});
    const QImage image = render(rect);
    QCOMPARE(canvas::inkBounds(image), QRect(7, 12, 26, 21));
    QVERIFY(canvas::darkness(image, 7, 12) > 200); // a round join would cut this pixel
    QCOMPARE(canvas::darkness(image, 20, 22), 0);  // outline only
}

void TestAnnotations::mosaicBlocks_data()
{
    QTest::addColumn<qreal>("dpr");
    QTest::newRow("scale 1") << 1.0;
    QTest::newRow("scale 2") << 2.0;
}

// A 35x12 drag gives three blocks of one row, each the mean of the screen under it.
void TestAnnotations::mosaicBlocks()
{
    QFETCH(qreal, dpr);

    const QImage screen = canvas::pattern(canvasSize * dpr);
    MosaicAnnotation mosaic({10, 20}, screen, dpr, 10, QRectF({}, canvasSize));
    mosaic.update({45, 32});
    const QImage image = render(mosaic, dpr);

    const auto at = [&](qreal x, qreal y) { return image.pixel(int(x * dpr), int(y * dpr)); };
    QList<QRgb> blocks;
    for (qreal x = 10; x < 45; x += 0.5) {
        QCOMPARE(at(x, 20), at(x, 31.5)); // one row, full height
        if (blocks.isEmpty() || blocks.last() != at(x, 25))
            blocks.append(at(x, 25));
    }
    QCOMPARE(blocks.size(), 3);
    const int side = qRound(35 * dpr);
    const QRect first(qRound(10 * dpr), qRound(20 * dpr), side / 3, qRound(12 * dpr));
    QVERIFY(canvas::sameColor(blocks.first(), canvas::meanColor(screen, first), 2));
    QCOMPARE(at(9.5, 25), qRgb(255, 255, 255));
    QCOMPARE(at(45, 25), qRgb(255, 255, 255));
}

void TestAnnotations::mosaicStaysInsideBounds()
{
    MosaicAnnotation mosaic({20, 20}, canvas::pattern(canvasSize), 1, 10, QRectF(0, 0, 40, 40));
    mosaic.update({70, 70});
    const QImage image = render(mosaic);
    QCOMPARE(canvas::inkBounds(image, 0), QRect(20, 20, 20, 20));
}

void TestAnnotations::drawingRestoresPainter_data()
{
    QTest::addColumn<Tool>("tool");
    for (Tool tool :
         {Tool::pen, Tool::marker, Tool::line, Tool::arrow, Tool::rect, Tool::mosaic, Tool::text})
        QTest::addRow("tool %d", int(tool)) << tool;
}

void TestAnnotations::drawingRestoresPainter()
{
    QFETCH(Tool, tool);

    const std::unique_ptr<Annotation> shape = shapeFor(tool, {20, 20});
    shape->update({30, 25});
    shape->update({60, 50});
    QImage image = canvas::white(canvasSize);
    QPainter painter(&image);
    const QPen pen(Qt::green, 7, Qt::DashLine, Qt::FlatCap, Qt::BevelJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::red);
    painter.setRenderHint(QPainter::TextAntialiasing, false);
    const QPainter::RenderHints hints = painter.renderHints();
    painter.setFont(QFont(QStringLiteral("DejaVu Serif"), 31));
    const QFont font = painter.font();
    painter.translate(1, 2);
    shape->draw(painter);

    QCOMPARE(painter.pen(), pen);
    QCOMPARE(painter.brush(), QBrush(Qt::red));
    QCOMPARE(painter.renderHints(), hints);
    QCOMPARE(painter.font(), font);
    QCOMPARE(painter.transform(), QTransform::fromTranslate(1, 2));
    painter.end();
    QVERIFY(!canvas::inkBounds(image).isEmpty());
}

QTEST_MAIN(TestAnnotations)
#include "tst_annotations.moc"
