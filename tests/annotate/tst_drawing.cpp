#include <optional>

#include <QFont>
#include <QFontMetricsF>
#include <QPainter>
#include <QtTest>

#include "annotate/Drawing.h"
#include "Canvas.h"

struct MosaicCase
{
    QRectF rect;
    QSize size;                   // invalid: no mosaic
    QSize blockPixels = {10, 10}; // source pixels under each block; invalid if uneven
    qreal scale = 1;
    qreal block = 10;
    QImage::Format format = QImage::Format_RGB32;
};
Q_DECLARE_METATYPE(MosaicCase)

class TestDrawing : public QObject
{
    Q_OBJECT

private slots:
    void dimmed_data()
    {
        QTest::addColumn<QImage::Format>("format");
        QTest::addColumn<QColor>("input");
        QTest::addColumn<QColor>("expected"); // premultiplied, each channel +-1

        QTest::newRow("white") << QImage::Format_RGB32 << QColor(Qt::white)
                               << QColor(127, 127, 127);
        QTest::newRow("transparent") << QImage::Format_ARGB32_Premultiplied
                                     << QColor(Qt::transparent) << QColor(0, 0, 0, 128);
        QTest::newRow("red, 24-bit")
            << QImage::Format_RGB888 << QColor(Qt::red) << QColor(127, 0, 0);
        QTest::newRow("half white, straight alpha")
            << QImage::Format_ARGB32 << QColor(255, 255, 255, 128) << QColor(64, 64, 64, 192);
    }

    void dimmed()
    {
        QFETCH(QImage::Format, format);
        QFETCH(QColor, input);
        QFETCH(QColor, expected);

        QImage image(3, 2, format);
        image.fill(input);
        image.setDevicePixelRatio(2);
        const QImage out = Drawing::dimmed(image);
        QCOMPARE(out.format(), QImage::Format_ARGB32_Premultiplied);
        QCOMPARE(out.size(), image.size());
        QCOMPARE(out.devicePixelRatio(), 2.0);
        const QRgb p = out.pixel(2, 1); // the last one
        // The tolerance must not let an opaque pixel turn slightly transparent.
        QVERIFY2(canvas::sameColor(p, expected.rgba()) &&
                     (qAlpha(p) == 255) == (expected.alpha() == 255),
                 qPrintable(QColor::fromRgba(p).name(QColor::HexArgb)));
        QVERIFY(Drawing::dimmed(QImage()).isNull());
    }

    void pixelated_data()
    {
        QTest::addColumn<MosaicCase>("c");
        const auto add = [](const char *name, MosaicCase c) { QTest::newRow(name) << c; };
        add("35x12", {.rect = {0, 0, 35, 12}, .size = {3, 1}, .blockPixels = {}});
        add("0.3x20 at scale 2",
            {.rect = {5, 0, 0.3, 20}, .size = {1, 2}, .blockPixels = {1, 20}, .scale = 2});
        add("blocks in points",
            {.rect = {5, 5, 20, 10}, .size = {2, 1}, .blockPixels = {20, 20}, .scale = 2});
        add("24-bit", {.rect = {3, 1, 30, 30}, .size = {3, 3}, .format = QImage::Format_RGB888});
        add("translucent", {.rect = {3, 1, 30, 30},
                            .size = {3, 3},
                            .format = QImage::Format_ARGB32_Premultiplied});
        // Only 10 columns of the source lie under the rectangle.
        add("past the edge", {.rect = {40, 0, 20, 10}, .size = {2, 1}, .blockPixels = {5, 10}});
        add("zero width", {.rect = {5, 5, 0, 20}});
        add("outside the source", {.rect = {60, 5, 20, 20}});
        add("block zero", {.rect = {0, 0, 20, 20}, .block = 0});
        add("block far below a pixel", {.rect = {0, 0, 50, 40}, .block = 1e-6});
        add("NaN rectangle", {.rect = {qQNaN(), 0, 20, 20}});
    }

    // Each block is the mean of the source pixels under it, not a sample of one of them.
    void pixelated()
    {
        QFETCH(MosaicCase, c);

        const bool translucent = c.format == QImage::Format_ARGB32_Premultiplied;
        const QImage source = canvas::pattern({50, 40}, translucent).convertToFormat(c.format);
        const std::optional<QImage> mosaic = Drawing::pixelated(source, c.rect, c.scale, c.block);
        QVERIFY(!Drawing::pixelated(QImage(), c.rect, c.scale, c.block));
        QCOMPARE(mosaic.has_value(), c.size.isValid());
        if (!mosaic)
            return;
        QCOMPARE(mosaic->size(), c.size);
        QCOMPARE(mosaic->format(), QImage::Format_ARGB32_Premultiplied);
        for (int row = 0; row < mosaic->height() && c.blockPixels.isValid(); ++row) {
            for (int column = 0; column < mosaic->width(); ++column) {
                const QPoint offset(column * c.blockPixels.width(), row * c.blockPixels.height());
                const QRect area((c.rect.topLeft() * c.scale).toPoint() + offset, c.blockPixels);
                QVERIFY2(
                    canvas::sameColor(mosaic->pixel(column, row), canvas::meanColor(source, area)),
                    qPrintable(QStringLiteral("block %1,%2").arg(column).arg(row)));
            }
        }
    }

    void drawImageUpright_data()
    {
        QTest::addColumn<bool>("smooth");
        QTest::newRow("nearest") << false;
        QTest::newRow("smooth") << true;
    }

    void drawImageUpright()
    {
        QFETCH(bool, smooth);

        const QRgb corners[] = {qRgb(255, 0, 0), qRgb(0, 255, 0), qRgb(0, 0, 255), qRgb(0, 0, 0)};
        QImage tiny(2, 2, QImage::Format_RGB32);
        for (int i = 0; i < 4; ++i)
            tiny.setPixel(i % 2, i / 2, corners[i]);
        tiny.setDevicePixelRatio(2); // must not shrink the image: the rectangle decides
        QImage image = canvas::white({40, 40});
        QPainter painter(&image);
        Drawing::drawImage(painter, tiny, QRectF(10, 10, 20, 20), smooth);
        painter.end();

        for (int i = 0; i < 4; ++i)
            QCOMPARE(image.pixel(11 + 17 * (i % 2), 11 + 17 * (i / 2)), corners[i]);
        QCOMPARE(image.pixel(9, 9), qRgb(255, 255, 255));
        QCOMPARE(image.pixel(30, 30), qRgb(255, 255, 255));
        // Beside the middle of the top edge, red and green blend only when smoothing.
        const QRgb middle = image.pixel(19, 11);
        QCOMPARE(qRed(middle) > 0 && qGreen(middle) > 0, smooth);
    }

    void drawTextBaselines_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QList<bool>>("inked"); // for each line

        QTest::newRow("empty middle line") << "H\n\nH" << QList<bool>{true, false, true};
        QTest::newRow("empty first line") << "\nH" << QList<bool>{false, true};
        QTest::newRow("empty text") << "" << QList<bool>{};
    }

    // The ink of a line stays within its line height and ends at its baseline, the bottom of
    // an "H".
    void drawTextBaselines()
    {
        QFETCH(QString, text);
        QFETCH(QList<bool>, inked);

        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPixelSize(20);
        const QFontMetricsF metrics(font);
        const qreal height = Drawing::lineHeight(font);
        QVERIFY(height >= metrics.ascent() + metrics.descent());
        const QPointF origin(10, 7.5);
        QImage image = canvas::white({80, 120});
        QPainter painter(&image);
        Drawing::drawText(painter, text, origin, font, Qt::black);
        painter.end();

        inked.resize(4); // and nothing below
        for (int i = 0; i < inked.size(); ++i) {
            const QRect line(0, qRound(origin.y() + i * height), image.width(), qRound(height));
            const QRect ink = canvas::inkBounds(image.copy(line), 128).translated(line.topLeft());
            QVERIFY2(ink.isEmpty() != inked[i], qPrintable(QString::number(i)));
            const qreal baseline = origin.y() + metrics.ascent() + i * height;
            QVERIFY(ink.isEmpty() || qAbs(ink.bottom() + 1 - baseline) <= 1);
            QVERIFY(ink.isEmpty() || qAbs(ink.left() - origin.x()) <= 3);
        }
    }

    void roundedRectClampsRadius_data()
    {
        QTest::addColumn<QRectF>("rect");
        QTest::addColumn<qreal>("radius");
        QTest::addColumn<QPointF>("point");
        QTest::addColumn<bool>("inside");

        // Radius 4 makes the ends of 20x8 half circles; an unclamped 6 leaves (1, 1.5) outside.
        const QRectF r(0, 0, 20, 8);
        QTest::newRow("20x8 radius 6: corner point") << r << 6.0 << QPointF(1, 1.5) << true;
        QTest::newRow("20x8 radius 6: cut corner") << r << 6.0 << QPointF(0.4, 0.4) << false;
        QTest::newRow("20x8 radius 6: end is round") << r << 6.0 << QPointF(0.2, 2) << false;
        QTest::newRow("radius 2 keeps corners") << r << 2.0 << QPointF(0.4, 1.5) << true;
        QTest::newRow("negative radius is square") << r << -3.0 << QPointF(0.2, 0.2) << true;
        QTest::newRow("reversed rect") << QRectF(20, 8, -20, -8) << 6.0 << QPointF(10, 4) << true;
    }

    void roundedRectClampsRadius()
    {
        QFETCH(QRectF, rect);
        QFETCH(qreal, radius);
        QFETCH(QPointF, point);
        QFETCH(bool, inside);

        const QPainterPath path = Drawing::roundedRect(rect, radius);
        QCOMPARE(path.contains(point), inside);
        QCOMPARE(path.boundingRect(), rect.normalized());
    }

    void geometry()
    {
        QCOMPARE(Drawing::spanning({10, 30}, {4, 2}), QRectF(4, 2, 6, 28));
        QCOMPARE(Drawing::spanning({4, 2}, {10, 30}), QRectF(4, 2, 6, 28));
        QCOMPARE(Drawing::spanning({5, 5}, {5, 9}), QRectF(5, 5, 0, 4));
        QCOMPARE(Drawing::floored({2.7, -0.5}), QPointF(2, -1));
    }
};

QTEST_MAIN(TestDrawing)
#include "tst_drawing.moc"
