#include <memory>
#include <optional>
#include <tuple>

#include <QClipboard>
#include <QPainter>
#include <QShortcut>
#include <QtTest>

#include "annotate/Drawing.h"
#include "annotate/LineAnnotation.h"
#include "annotate/MosaicAnnotation.h"
#include "annotate/RectAnnotation.h"
#include "annotate/StrokeAnnotation.h"
#include "annotate/TextAnnotation.h"
#include "annotate/TextEntryView.h"
#include "annotate/Tool.h"
#include "testkit/Golden.h"
#include "testkit/ViewInput.h"

namespace {

const QSize canvasSize(90, 90);

// The rounded mean of the raw (premultiplied where so stored) pixels of area.
QRgb meanColor(const QImage &image, QRect area)
{
    double sum[4] = {};
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const QRgb p = image.pixel(x, y);
            sum[0] += qRed(p), sum[1] += qGreen(p), sum[2] += qBlue(p), sum[3] += qAlpha(p);
        }
    }
    const double n = double(area.width()) * area.height();
    return qRgba(qRound(sum[0] / n), qRound(sum[1] / n), qRound(sum[2] / n), qRound(sum[3] / n));
}

bool sameColor(QRgb a, QRgb b)
{
    return qAbs(qRed(a) - qRed(b)) <= 1 && qAbs(qGreen(a) - qGreen(b)) <= 1 &&
           qAbs(qBlue(a) - qBlue(b)) <= 1 && qAbs(qAlpha(a) - qAlpha(b)) <= 1;
}

QFont labelFont()
{
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(16);
    return font;
}

// The shape a tool leaves, made as the overlay makes it (marker width 16), pressed at the first
// point and dragged through the others. A mosaic covers a screen of 60x60 points within
// 70x70; a label's text is `text`.
std::unique_ptr<Annotation> shapeFor(Tool tool, const QList<QPointF> &points, qreal width = 3,
                                     qreal dpr = 1, const QString &text = QStringLiteral("Hi"))
{
    const QPointF start = points.first();
    std::unique_ptr<Annotation> shape;
    if (tool == Tool::pen) {
        shape = std::make_unique<StrokeAnnotation>(start, Qt::black, width);
    } else if (tool == Tool::marker) {
        shape =
            std::make_unique<StrokeAnnotation>(start, StrokeAnnotation::markerColor(Qt::black), 16);
    } else if (tool == Tool::line || tool == Tool::arrow) {
        shape = std::make_unique<LineAnnotation>(start, Qt::black, width, tool == Tool::arrow);
    } else if (tool == Tool::rect) {
        shape = std::make_unique<RectAnnotation>(start, Qt::black, width);
    } else if (tool == Tool::mosaic) {
        shape = std::make_unique<MosaicAnnotation>(start, testkit::pattern(QSize(60, 60) * dpr),
                                                   dpr, 10, QRectF(0, 0, 70, 70));
    } else {
        shape = std::make_unique<TextAnnotation>(start, text, Qt::black, labelFont());
    }
    for (QPointF p : points.mid(1))
        shape->update(p);
    return shape;
}

// The shape on a white canvas, drawn whole or, as a view repaints part of it, within clip.
QImage render(const Annotation &shape, const QRect &clip = {})
{
    QImage image = testkit::canvas(canvasSize, 1, Qt::white);
    QPainter painter(&image);
    if (!clip.isNull())
        painter.setClipRect(clip);
    shape.draw(painter);
    return image;
}

// One shape of a golden picture: its points, its width and, for a label, its text.
struct Drag
{
    QList<QPointF> points;
    qreal width = 3;
    QString text = QStringLiteral("Hi");
};

// A text entry on a stand-in for the overlay, which has window-wide shortcuts on the entry's
// keys.
struct Entry
{
    QWidget overlay;
    TextEntryView *view = new TextEntryView(QPointF(40.7, 30.2), Qt::red, labelFont(), &overlay);
    QString committed; // null until committed
    int ends = 0;
    int shortcuts = 0;

    Entry()
    {
        for (const auto keys : {QKeyCombination(Qt::Key_Escape), Qt::CTRL | Qt::Key_Return})
            QObject::connect(new QShortcut(keys, &overlay), &QShortcut::activated,
                             [this] { ++shortcuts; });
        view->onCommit = [this](const QString &text, QPointF) { committed = text, ++ends; };
        view->onCancel = [this] { ++ends; };
        overlay.show();
        overlay.activateWindow();
        view->setFocus();
    }
};

} // namespace

struct MosaicCase
{
    QRectF rect;
    QSize size;                   // invalid: no mosaic
    QSize blockPixels = {10, 10}; // source pixels under each block
    qreal scale = 1;
    qreal block = 10;
    QImage::Format format = QImage::Format_RGB32;
};
Q_DECLARE_METATYPE(MosaicCase)
Q_DECLARE_METATYPE(QList<Drag>)

class TestAnnotations : public QObject
{
    Q_OBJECT

private slots:
    // Each tool's shapes at scale 1 and 2; drags back onto their start, and rectangles and
    // mosaics of no height or width, leave nothing. The painter comes with a white pen and
    // brush, another font and a translation: shapes set up their own and leave the painter
    // as they found it.
    void goldenShapes_data()
    {
        QTest::addColumn<Tool>("tool");
        QTest::addColumn<int>("scale");
        QTest::addColumn<QList<Drag>>("drags");
        const QList<QPointF> back{{45, 80}, {60, 85}, {45, 80}};
        const auto add = [](const char *name, Tool tool, const QList<Drag> &drags) {
            for (int scale : {1, 2})
                QTest::addRow("%s@%dx", name, scale) << tool << scale << drags;
        };
        // A press whose pointer then moves within its point (positions are whole points)
        // leaves a dot.
        add("pen", Tool::pen,
            {{{{10, 10}, {10, 10}}}, {{{40, 20}}, 24}, {{{5, 60}, {25, 75}, {45, 55}, {75, 70}}}});
        // Two strokes cross darker; one is even where it crosses itself.
        add("marker", Tool::marker,
            {{{{5, 20}, {55, 20}}},
             {{{30, 5}, {30, 45}}},
             {{{40, 55}, {80, 55}, {80, 80}, {60, 80}, {60, 40}}}});
        add("line", Tool::line, {{{{10, 10}, {70, 10}}}, {{{10, 70}, {70, 30}}, 5}, {back}});
        // At width 3 heads are min(length, 12) long and 12 wide; a shaft adds a round cap
        // behind its start, even one of no length behind a head as long as the line.
        add("arrow", Tool::arrow,
            {{{{20, 15}, {26, 15}}}, {{{70, 40}, {20, 40}}}, {{{10, 70}, {60, 55}}}, {back}});
        add("rect", Tool::rect,
            {{{{30, 30}, {10, 15}}, 6},
             {{{40, 40}, {80, 60}}},
             {{{40, 20}, {80, 20}}},
             {{{60, 5}, {60, 30}}}});
        add("mosaic", Tool::mosaic,
            {{{{5, 5}, {35, 17}}}, {{{40, 40}, {90, 90}}}, {{{5, 50}, {30, 50.5}}}, {back}});
        add("text", Tool::text, {{{{2, 2}}}, {{{40, 0}}, 3, QStringLiteral("\nWy\n\nH")}});
    }
    void goldenShapes()
    {
        QFETCH(Tool, tool);
        QFETCH(int, scale);
        QFETCH(QList<Drag>, drags);
        QImage image = testkit::canvas(canvasSize, scale, Qt::white);
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
        for (const Drag &drag : drags) {
            shapeFor(tool, drag.points, drag.width, scale, drag.text)->draw(painter);
            QVERIFY(state() == before);
        }
        painter.end();
        const QString golden =
            QStringLiteral(CORVANE_TEST_DATA_DIR "/golden/%1.png").arg(QTest::currentDataTag());
        QVERIFY(testkit::matchesGolden(image, golden, 24, 0));
    }

    // A view repaints only what update() reports: every pixel a step changed lies in it, from
    // and to shapes that draw nothing (of no height, under a point high, of no width).
    void updatesReportWhatTheyChange_data()
    {
        QTest::addColumn<Tool>("tool");
        for (Tool tool : {Tool::pen, Tool::marker, Tool::line, Tool::arrow, Tool::rect,
                          Tool::mosaic, Tool::text})
            QTest::addRow("tool %d", int(tool)) << tool;
    }
    void updatesReportWhatTheyChange()
    {
        QFETCH(Tool, tool);
        const std::unique_ptr<Annotation> shape = shapeFor(tool, {{20, 20}});
        // Away, back onto the start, of no height, under a point high, of no width, away again.
        const QPointF moves[] = {{30, 25},   {60, 50}, {40, 40}, {20, 20}, {50, 20},
                                 {50, 20.5}, {20, 60}, {70, 12}, {8, 66}};
        for (QPointF p : moves) {
            const QImage before = render(*shape);
            const QRectF changed = shape->update(p);
            const QImage after = render(*shape);
            for (int y = 0; y < after.height(); ++y) {
                for (int x = 0; x < after.width(); ++x) {
                    if (before.pixel(x, y) != after.pixel(x, y) &&
                        !changed.contains(QRectF(x, y, 1, 1)))
                        QFAIL(qPrintable(QStringLiteral("%1,%2 changed outside").arg(x).arg(y)));
                }
            }
        }
    }

    // Repainting part of a stroke gives the same pixels there as painting all of it.
    void clippedStrokeMatchesTheWholeStroke()
    {
        const auto marker =
            shapeFor(Tool::marker, {{5, 40}, {75, 40}, {40, 5}, {40, 75}, {70, 70}});
        const QImage whole = render(*marker);
        // The last clip takes in the first, second and fourth segments but not the third.
        for (const QRect clip : {QRect(30, 30, 20, 20), QRect(60, 60, 15, 15), QRect(10, 44, 10, 6),
                                 QRect(55, 45, 15, 20)})
            QCOMPARE(render(*marker, clip).copy(clip), whole.copy(clip));
    }

    // Half brightness, premultiplied, with the source's size and scale.
    void dimmed()
    {
        const QRgb in[] = {qRgb(255, 255, 255), qRgba(255, 255, 255, 128), qRgba(0, 0, 0, 0)};
        const QRgb out[] = {qRgb(127, 127, 127), qRgba(64, 64, 64, 192), qRgba(0, 0, 0, 128)};
        QImage image(reinterpret_cast<const uchar *>(in), 3, 1, QImage::Format_ARGB32);
        QImage expected(reinterpret_cast<const uchar *>(out), 3, 1,
                        QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(2);
        expected.setDevicePixelRatio(2);
        QCOMPARE(Drawing::dimmed(image), expected);
        // Opaque pixels, four at a time and then one by one.
        QImage opaque(5, 1, QImage::Format_RGB32),
            halved(5, 1, QImage::Format_ARGB32_Premultiplied);
        for (int x = 0; x < 5; ++x) {
            opaque.setPixel(x, 0, qRgb(255 - x, 2 * x + 1, 131 + x));
            halved.setPixel(x, 0, qRgb((255 - x) / 2, (2 * x + 1) / 2, (131 + x) / 2));
        }
        QCOMPARE(Drawing::dimmed(opaque), halved);
    }

    // Pointer positions become whole points downward, below zero too.
    void floored() { QCOMPARE(Drawing::floored({2.7, -0.5}), QPointF(2, -1)); }

    void pixelated_data()
    {
        QTest::addColumn<MosaicCase>("c");
        const auto add = [](const char *name, MosaicCase c) { QTest::newRow(name) << c; };
        const auto premultiplied = QImage::Format_ARGB32_Premultiplied;
        add("0.3x20 at scale 2",
            {.rect = {5, 0, 0.3, 20}, .size = {1, 2}, .blockPixels = {1, 20}, .scale = 2});
        add("24-bit", {.rect = {3, 1, 30, 30}, .size = {3, 3}, .format = QImage::Format_RGB888});
        add("translucent", {.rect = {3, 1, 30, 30}, .size = {3, 3}, .format = premultiplied});
        add("outside the source", {.rect = {60, 5, 20, 20}});
        add("negative block", {.rect = {0, 0, 20, 20}, .block = -10});
        add("block far below a pixel", {.rect = {0, 0, 50, 40}, .block = 1e-6});
        add("NaN rectangle", {.rect = {qQNaN(), 0, 20, 20}});
    }

    // Each block is the mean of the source pixels under it, not a sample of one of them.
    void pixelated()
    {
        QFETCH(MosaicCase, c);
        const QImage source = testkit::pattern({50, 40}, c.format);
        const std::optional<QImage> mosaic = Drawing::pixelated(source, c.rect, c.scale, c.block);
        QCOMPARE(mosaic.has_value(), c.size.isValid());
        if (!mosaic)
            return;
        QCOMPARE(mosaic->size(), c.size);
        QCOMPARE(mosaic->format(), QImage::Format_ARGB32_Premultiplied);
        for (int row = 0; row < mosaic->height(); ++row) {
            for (int column = 0; column < mosaic->width(); ++column) {
                const QPoint offset(column * c.blockPixels.width(), row * c.blockPixels.height());
                const QRect area((c.rect.topLeft() * c.scale).toPoint() + offset, c.blockPixels);
                QVERIFY2(sameColor(mosaic->pixel(column, row), meanColor(source, area)),
                         qPrintable(QStringLiteral("block %1,%2").arg(column).arg(row)));
            }
        }
    }

    // Three blocks over 32 pixels: the last one still takes in the last pixel column.
    void pixelatedTakesEveryColumn()
    {
        QImage source(40, 10, QImage::Format_RGB32);
        source.fill(Qt::black);
        for (int y = 0; y < source.height(); ++y)
            source.setPixel(31, y, qRgb(255, 255, 255));
        const std::optional<QImage> mosaic = Drawing::pixelated(source, {0, 0, 32, 10}, 1, 10);
        QVERIFY(mosaic && mosaic->width() == 3);
        QCOMPARE(qRed(mosaic->pixel(2, 0)), 255 / 11);
    }

    // Radius 4 makes the ends of 20x8 half circles; an unclamped 6 leaves (1, 1.5) outside.
    void roundedRectClampsRadius()
    {
        const QRectF rect(0, 0, 20, 8);
        const QPainterPath path = Drawing::roundedRect(rect, 6);
        QCOMPARE(path.boundingRect(), rect);
        QVERIFY(path.contains(QPointF(1, 1.5)));
        QVERIFY(!path.contains(QPointF(0.4, 0.4))); // the corner is cut
        QVERIFY(!path.contains(QPointF(0.2, 2)));   // the end is round
    }

    void textEntryEnds_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QKeySequence>("key"); // none: the owner calls commit()
        QTest::addColumn<QString>("label");    // null: cancelled
        const QKeySequence commit(Qt::CTRL | Qt::Key_Return);
        QTest::newRow("two lines") << "first\nsecond" << commit << "first\nsecond";
        QTest::newRow("keypad Enter")
            << "a" << QKeySequence(Qt::ControlModifier | Qt::KeypadModifier | Qt::Key_Enter) << "a";
        QTest::newRow("from outside, leading space") << " hi" << QKeySequence() << " hi";
        QTest::newRow("blank") << "  \n " << commit << QString();
        QTest::newRow("Escape") << "abc" << QKeySequence(Qt::Key_Escape) << QString();
    }
    // Once, whatever ends it, and the overlay's shortcuts never see the entry's keys.
    void textEntryEnds()
    {
        QFETCH(QString, typed);
        QFETCH(QKeySequence, key);
        QFETCH(QString, label);
        Entry e;
        QVERIFY(QTest::qWaitForWindowActive(&e.overlay));
        testkit::type(e.view, typed);
        key.isEmpty() ? e.view->commit() : QTest::keySequence(e.view, key);
        QCOMPARE(e.committed, label);
        QCOMPARE(e.shortcuts, 0);
        e.view->commit();
        e.view->cancel();
        QCOMPARE(e.ends, 1);
    }

    // A label is drawn where it was typed, also where the font lacks a line's glyphs: Hangul
    // under DejaVu Sans comes from a taller font.
    void labelLandsWhereTyped()
    {
        Entry e;
        const QString text = QStringLiteral("first\n한글 label\nthird");
        e.view->setCursorWidth(0);
        e.view->setPlainText(text);
        QWidget *port = e.view->viewport();
        const QImage typed = port->grab().toImage().convertToFormat(QImage::Format_RGB32);
        QImage drawn(typed.size(), QImage::Format_RGB32);
        drawn.fill(Qt::white);
        QPainter painter(&drawn);
        TextAnnotation(e.view->textOrigin() - port->mapTo(&e.overlay, QPoint()), text, Qt::red,
                       labelFont())
            .draw(painter);
        painter.end();
        QCOMPARE(testkit::differingPixels(drawn, typed, 24), 0);
    }

    // A paste brings in what fits in a label, in place of the selected text.
    void pasteFitsInALabel()
    {
        Entry e;
        e.view->setPlainText("abc");
        e.view->selectAll();
        QGuiApplication::clipboard()->setText(QString(TextEntryView::longestText + 5, 'x'));
        e.view->paste();
        QCOMPARE(e.view->toPlainText(), QString(TextEntryView::longestText, 'x'));
    }

    void textEntryInputMethod()
    {
        Entry e;
        const QString composing = QStringLiteral("가나다라마바사아자차카타파하");
        QInputMethodEvent preedit(composing, {});
        QCoreApplication::sendEvent(e.view, &preedit);
        QCOMPARE(e.view->geometry().topLeft(), QPoint(40, 30)); // at the point it was opened
        // Grown to the right by the composed text, with the insets and room for the caret.
        const qreal advance = QFontMetricsF(labelFont()).horizontalAdvance(composing);
        QCOMPARE(e.view->width(), int(std::ceil(advance)) + 10);
    }
};

QTEST_MAIN(TestAnnotations)
#include "tst_annotations.moc"
