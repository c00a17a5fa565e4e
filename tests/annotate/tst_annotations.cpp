#include <memory>
#include <tuple>

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

// The shape a tool leaves, made as the overlay makes it (marker width 16), dragged through moves.
std::unique_ptr<Annotation> shapeFor(Tool tool, QPointF start, const QList<QPointF> &moves = {},
                                     qreal width = 3)
{
    static const QImage screen = canvas::pattern(canvasSize);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(18);
    std::unique_ptr<Annotation> shape;
    if (tool == Tool::pen || tool == Tool::marker) {
        const bool pen = tool == Tool::pen;
        shape = std::make_unique<StrokeAnnotation>(
            start, pen ? QColor(Qt::black) : StrokeAnnotation::markerColor(Qt::black),
            pen ? width : 16);
    } else if (tool == Tool::line || tool == Tool::arrow) {
        shape = std::make_unique<LineAnnotation>(start, Qt::black, width, tool == Tool::arrow);
    } else if (tool == Tool::rect) {
        shape = std::make_unique<RectAnnotation>(start, Qt::black, width);
    } else if (tool == Tool::mosaic) {
        shape = std::make_unique<MosaicAnnotation>(start, screen, 1, 10, QRectF({}, canvasSize));
    } else {
        shape = std::make_unique<TextAnnotation>(start, QStringLiteral("Hi"), Qt::black, font);
    }
    for (QPointF p : moves)
        shape->update(p);
    return shape;
}

QImage render(const QList<const Annotation *> &shapes, qreal dpr = 1)
{
    QImage image = canvas::white(canvasSize, dpr);
    QPainter painter(&image);
    for (const Annotation *shape : shapes)
        shape->draw(painter);
    return image;
}

} // namespace

class TestAnnotations : public QObject
{
    Q_OBJECT

private slots:
    void drawLeavesInkAndRestoresPainter_data()
    {
        QTest::addColumn<Tool>("tool");
        QTest::addColumn<QList<QPointF>>("moves");
        QTest::addColumn<bool>("inked");

        const QList<QPointF> away{{30, 25}, {60, 50}};
        QTest::newRow("pen click") << Tool::pen << QList<QPointF>{} << true;
        QTest::newRow("marker") << Tool::marker << away << true;
        QTest::newRow("text") << Tool::text << away << true;
        for (Tool tool : {Tool::pen, Tool::line, Tool::arrow, Tool::rect, Tool::mosaic}) {
            QTest::addRow("tool %d: dragged away", int(tool)) << tool << away << true;
            if (tool == Tool::pen)
                continue;
            QTest::addRow("tool %d: dragged back onto start", int(tool))
                << tool << QList<QPointF>{{40, 40}, {20, 20}} << false;
        }
        QTest::newRow("rect of zero height") << Tool::rect << QList<QPointF>{{50, 20}} << false;
        QTest::newRow("rect of zero width") << Tool::rect << QList<QPointF>{{20, 60}} << false;
        QTest::newRow("mosaic under a point high")
            << Tool::mosaic << QList<QPointF>{{50, 20.5}} << false;
    }

    // The painter comes with a white pen and brush: shapes set up their own and leave the
    // painter as they found it.
    void drawLeavesInkAndRestoresPainter()
    {
        QFETCH(Tool, tool);
        QFETCH(QList<QPointF>, moves);
        QFETCH(bool, inked);

        const std::unique_ptr<Annotation> shape = shapeFor(tool, {20, 20}, moves);
        QImage image = canvas::white(canvasSize);
        QPainter painter(&image);
        painter.setPen(QPen(Qt::white, 7, Qt::DashLine, Qt::FlatCap, Qt::BevelJoin));
        painter.setBrush(Qt::white);
        painter.setRenderHint(QPainter::TextAntialiasing, false);
        painter.setFont(QFont(QStringLiteral("DejaVu Serif"), 31));
        painter.translate(1, 2);
        const auto state = [&] {
            return std::tuple(painter.pen(), painter.brush(), painter.renderHints(), painter.font(),
                              painter.transform());
        };
        const auto before = state();
        shape->draw(painter);
        QVERIFY(state() == before);
        painter.end();
        QCOMPARE(!canvas::inkBounds(image, 0).isEmpty(), inked);
    }

    // A view repaints only what update() reports: every pixel the step changed lies in it.
    void updatesReportWhatTheyChange_data() { drawLeavesInkAndRestoresPainter_data(); }
    void updatesReportWhatTheyChange()
    {
        QFETCH(Tool, tool);
        QFETCH(QList<QPointF>, moves);
        const QList<QPointF> steps = moves + QList<QPointF>{{70, 12}, {8, 66}};
        const std::unique_ptr<Annotation> shape = shapeFor(tool, {20, 20});
        for (QPointF p : steps) {
            const QImage before = render({shape.get()});
            const QRectF changed = shape->update(p);
            const QImage after = render({shape.get()});
            for (int y = 0; y < after.height(); ++y)
                for (int x = 0; x < after.width(); ++x)
                    if (before.pixel(x, y) != after.pixel(x, y) &&
                        !changed.contains(QRectF(x, y, 1, 1)))
                        QFAIL(qPrintable(
                            QStringLiteral("pixel %1,%2 changed outside").arg(x).arg(y)));
        }
    }

    // Repainting part of a stroke gives the same pixels there as painting all of it.
    void clippedStrokeMatchesTheWholeStroke()
    {
        const auto marker =
            shapeFor(Tool::marker, {5, 40}, {{75, 40}, {40, 5}, {40, 75}, {70, 70}});
        const QImage whole = render({marker.get()});
        for (const QRect clip :
             {QRect(30, 30, 20, 20), QRect(60, 60, 15, 15), QRect(10, 44, 10, 6)}) {
            QImage part = canvas::white(canvasSize);
            QPainter painter(&part);
            painter.setClipRect(clip);
            marker->draw(painter);
            painter.end();
            QCOMPARE(part.copy(clip), whole.copy(clip));
        }
    }

    void penClickDrawsDot_data()
    {
        QTest::addColumn<qreal>("width");
        QTest::addColumn<qreal>("dpr");
        QTest::newRow("width 3") << 3.0 << 1.0;
        QTest::newRow("width 24, scale 2") << 24.0 << 2.0;
    }

    void penClickDrawsDot()
    {
        QFETCH(qreal, width);
        QFETCH(qreal, dpr);

        const auto dot = shapeFor(Tool::pen, {40, 40}, {}, width);
        const QImage image = render({dot.get()}, dpr);
        double area = 0; // a partly covered pixel counts by its coverage
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                area += canvas::darkness(image, x, y) / 255.0;
        const qreal circle = M_PI * width * width / 4 * dpr * dpr;
        QVERIFY2(qAbs(area - circle) <= 0.1 * circle + 1, qPrintable(QString::number(area)));
        const QRectF square(QPointF(40 - width / 2, 40 - width / 2) * dpr,
                            QSizeF(width, width) * dpr);
        QVERIFY(square.adjusted(-1, -1, 1, 1).contains(QRectF(canvas::inkBounds(image, 0))));
    }

    void strokeSkipsRepeatedPoints()
    {
        StrokeAnnotation stroke({5, 5}, Qt::black, 2);
        for (QPointF p : {QPointF(5, 5), {6, 5}, {6, 5}, {6, 5}, {7, 8}, {6, 5}, {6, 5}})
            stroke.update(p);
        QCOMPARE(stroke.points(), (QList<QPointF>{{5, 5}, {6, 5}, {7, 8}, {6, 5}}));
    }

    // Two translucent strokes overlap darker; one stroke is even where it crosses itself.
    void markerCrossings()
    {
        const auto across = shapeFor(Tool::marker, {10, 40}, {{70, 40}});
        const auto down = shapeFor(Tool::marker, {40, 10}, {{40, 70}});
        const auto loop =
            shapeFor(Tool::marker, {10, 40}, {{70, 40}, {70, 70}, {40, 70}, {40, 10}});
        const QImage two = render({across.get(), down.get()});
        const QImage one = render({loop.get()});
        const int single = canvas::darkness(two, 20, 40);
        QVERIFY(single > 60 && single < 200);
        QVERIFY(canvas::darkness(two, 40, 40) > single + 20);
        QCOMPARE(canvas::darkness(one, 20, 40), single);
        QVERIFY(qAbs(canvas::darkness(one, 40, 40) - single) <= 2);
    }

    void lineExtent_data()
    {
        QTest::addColumn<Tool>("tool");
        QTest::addColumn<QPointF>("start");
        QTest::addColumn<QPointF>("end");
        QTest::addColumn<QRectF>("extent");

        // At width 3 heads are min(length, 12) long and 12 wide; a shaft adds a round cap
        // behind start, even one of no length behind a head as long as the line.
        QTest::newRow("arrow 6 long: head and the shaft's cap")
            << Tool::arrow << QPointF(20, 40) << QPointF(26, 40) << QRectF(18.5, 34, 7.5, 12);
        QTest::newRow("arrow left")
            << Tool::arrow << QPointF(70, 40) << QPointF(20, 40) << QRectF(20, 34, 51.5, 12);
        QTest::newRow("line") << Tool::line << QPointF(10, 20) << QPointF(50, 20)
                              << QRectF(8.5, 18.5, 43, 3);
    }

    void lineExtent()
    {
        QFETCH(Tool, tool);
        QFETCH(QPointF, start);
        QFETCH(QPointF, end);
        QFETCH(QRectF, extent);

        const QRectF ink(canvas::inkBounds(render({shapeFor(tool, start, {end}).get()})));
        const QMarginsF slack(1, 1, 1, 1);
        QVERIFY2((extent + slack).contains(ink) && ink.contains(extent - slack),
                 std::unique_ptr<char[]>(QTest::toString(ink)).get());
    }

    void rectangleIsNormalisedWithMitredCorners()
    {
        const auto rect = shapeFor(Tool::rect, {30, 30}, {{10, 15}}, 6);
        const QImage image = render({rect.get()});
        QCOMPARE(canvas::inkBounds(image), QRect(7, 12, 26, 21));
        QVERIFY(canvas::darkness(image, 7, 12) > 200); // a round join would cut this pixel
        QCOMPARE(canvas::darkness(image, 20, 22), 0);  // outline only
    }

    void mosaicBlocks_data()
    {
        QTest::addColumn<qreal>("dpr");
        QTest::addColumn<QPointF>("end");
        QTest::addColumn<QRectF>("bounds");
        QTest::addColumn<QRectF>("drawn");
        QTest::addColumn<int>("blocks");
        QTest::addColumn<QRect>("firstBlock"); // in screen pixels

        // Dragged from (20, 20) over a screen of 60x60 points.
        const QRectF all({}, canvasSize);
        QTest::newRow("30x12, scale 2") << 2.0 << QPointF(50, 32) << all << QRectF(20, 20, 30, 12)
                                        << 3 << QRect(40, 40, 20, 24);
        QTest::newRow("clipped to bounds") << 1.0 << QPointF(70, 70) << QRectF(0, 0, 40, 30)
                                           << QRectF(20, 20, 20, 10) << 2 << QRect(20, 20, 10, 10);
        QTest::newRow("past the screen, stretched")
            << 1.0 << QPointF(80, 30) << all << QRectF(20, 20, 60, 10) << 6 << QRect(20, 20, 6, 10);
    }

    // Each block is solid, the mean of the screen under it, and the blocks fill the area.
    void mosaicBlocks()
    {
        QFETCH(qreal, dpr);
        QFETCH(QPointF, end);
        QFETCH(QRectF, bounds);
        QFETCH(QRectF, drawn);
        QFETCH(int, blocks);
        QFETCH(QRect, firstBlock);

        const QImage screen = canvas::pattern(QSize(60, 60) * dpr);
        MosaicAnnotation mosaic({20, 20}, screen, dpr, 10, bounds);
        mosaic.update(end);
        const QImage image = render({&mosaic}, dpr);

        const QRectF pixels(drawn.topLeft() * dpr, drawn.size() * dpr);
        QCOMPARE(QRectF(canvas::inkBounds(image, 0)), pixels);
        QList<QRgb> colors;
        for (int x = pixels.left(); x < pixels.right(); ++x) {
            QCOMPARE(image.pixel(x, pixels.top()), image.pixel(x, pixels.bottom() - 1));
            if (colors.isEmpty() || colors.last() != image.pixel(x, pixels.center().y()))
                colors.append(image.pixel(x, pixels.center().y()));
        }
        QCOMPARE(colors.size(), blocks);
        QVERIFY(canvas::sameColor(colors.first(), canvas::meanColor(screen, firstBlock), 2));
    }
};

QTEST_MAIN(TestAnnotations)
#include "tst_annotations.moc"
