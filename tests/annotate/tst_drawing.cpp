#include <optional>

#include <QFont>
#include <QFontMetricsF>
#include <QPainter>
#include <QtTest>

#include "annotate/Drawing.h"
#include "annotate/MosaicAnnotation.h"
#include "Canvas.h"

class TestDrawing : public QObject
{
    Q_OBJECT

private slots:
    void dimmedHalvesBrightness_data();
    void dimmedHalvesBrightness();
    void dimmedKeepsGeometry();
    void pixelatedSize_data();
    void pixelatedSize();
    void pixelatedAveragesBlocks_data();
    void pixelatedAveragesBlocks();
    void mosaicPastSourceEdgeIsStretched();
    void drawImageUpright_data();
    void drawImageUpright();
    void drawTextBaselines_data();
    void drawTextBaselines();
    void roundedRectClampsRadius_data();
    void roundedRectClampsRadius();
    void geometry();
};

void TestDrawing::dimmedHalvesBrightness_data()
{
    QTest::addColumn<QImage::Format>("format");
    QTest::addColumn<QColor>("input");
    QTest::addColumn<QColor>("expected"); // premultiplied channels, each +-1

    QTest::newRow("opaque white") << QImage::Format_RGB32 << QColor(Qt::white)
                                  << QColor(127, 127, 127, 255);
    QTest::newRow("white premultiplied")
        << QImage::Format_ARGB32_Premultiplied << QColor(Qt::white) << QColor(127, 127, 127, 255);
    QTest::newRow("transparent") << QImage::Format_ARGB32_Premultiplied << QColor(Qt::transparent)
                                 << QColor(0, 0, 0, 128);
    QTest::newRow("red, 24-bit") << QImage::Format_RGB888 << QColor(Qt::red)
                                 << QColor(127, 0, 0, 255);
    QTest::newRow("half white, straight alpha")
        << QImage::Format_ARGB32 << QColor(255, 255, 255, 128) << QColor(64, 64, 64, 192);
}

void TestDrawing::dimmedHalvesBrightness()
{
    QFETCH(QImage::Format, format);
    QFETCH(QColor, input);
    QFETCH(QColor, expected);

    QImage image(3, 2, format);
    image.fill(input);
    const QImage out = Drawing::dimmed(image);

    QCOMPARE(out.format(), QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < out.height(); ++y)
        for (int x = 0; x < out.width(); ++x)
            QVERIFY2((expected.alpha() == 255) == (qAlpha(out.pixel(x, y)) == 255) &&
                         canvas::sameColor(out.pixel(x, y), expected.rgba()),
                     qPrintable(QColor::fromRgba(out.pixel(x, y)).name(QColor::HexArgb)));
}

void TestDrawing::dimmedKeepsGeometry()
{
    QImage image = canvas::pattern({40, 30});
    image.setDevicePixelRatio(2);
    const QImage out = Drawing::dimmed(image);
    QCOMPARE(out.size(), image.size());
    QCOMPARE(out.devicePixelRatio(), 2.0);
    QCOMPARE(qRed(out.pixel(33, 17)), qRed(image.pixel(33, 17)) / 2);
    QVERIFY(Drawing::dimmed(QImage()).isNull());
}

void TestDrawing::pixelatedSize_data()
{
    QTest::addColumn<QSize>("sourceSize");
    QTest::addColumn<QRectF>("rect");
    QTest::addColumn<qreal>("scale");
    QTest::addColumn<qreal>("block");
    QTest::addColumn<QSize>("expected"); // invalid: no mosaic

    const QSize src(100, 100);
    QTest::newRow("35x12, block 10") << src << QRectF(0, 0, 35, 12) << 1.0 << 10.0 << QSize(3, 1);
    QTest::newRow("0.3x20 at scale 2")
        << src << QRectF(5, 5, 0.3, 20) << 2.0 << 10.0 << QSize(1, 2);
    QTest::newRow("40x20 at scale 2") << src << QRectF(0, 0, 40, 20) << 2.0 << 10.0 << QSize(4, 2);
    QTest::newRow("narrower than a block")
        << src << QRectF(3, 3, 4, 4) << 1.0 << 10.0 << QSize(1, 1);
    QTest::newRow("past the edge: counted in points")
        << QSize(30, 20) << QRectF(20, 0, 20, 10) << 1.0 << 10.0 << QSize(2, 1);
    QTest::newRow("zero width") << src << QRectF(5, 5, 0, 20) << 1.0 << 10.0 << QSize();
    QTest::newRow("outside the source") << src << QRectF(120, 5, 20, 20) << 1.0 << 10.0 << QSize();
    QTest::newRow("empty source") << QSize(0, 0) << QRectF(0, 0, 20, 20) << 1.0 << 10.0 << QSize();
    QTest::newRow("block zero") << src << QRectF(0, 0, 20, 20) << 1.0 << 0.0 << QSize();
    QTest::newRow("block far below a pixel")
        << src << QRectF(0, 0, 50, 50) << 1.0 << 1e-6 << QSize();
    QTest::newRow("NaN rectangle") << src << QRectF(qQNaN(), 0, 20, 20) << 1.0 << 10.0 << QSize();
}

void TestDrawing::pixelatedSize()
{
    QFETCH(QSize, sourceSize);
    QFETCH(QRectF, rect);
    QFETCH(qreal, scale);
    QFETCH(qreal, block);
    QFETCH(QSize, expected);

    const QImage source = sourceSize.isEmpty() ? QImage() : canvas::pattern(sourceSize);
    const std::optional<QImage> mosaic = Drawing::pixelated(source, rect, scale, block);
    QCOMPARE(mosaic.has_value(), expected.isValid());
    if (mosaic) {
        QCOMPARE(mosaic->size(), expected);
        QCOMPARE(mosaic->format(), QImage::Format_ARGB32_Premultiplied);
    }
}

void TestDrawing::pixelatedAveragesBlocks_data()
{
    QTest::addColumn<QImage::Format>("format");
    QTest::addColumn<QRectF>("rect");
    QTest::addColumn<qreal>("scale");

    QTest::newRow("scale 1") << QImage::Format_RGB32 << QRectF(0, 0, 40, 20) << 1.0;
    QTest::newRow("scale 2, offset") << QImage::Format_RGB32 << QRectF(5, 5, 40, 20) << 2.0;
    QTest::newRow("24-bit source") << QImage::Format_RGB888 << QRectF(3, 1, 30, 30) << 1.0;
    QTest::newRow("translucent source")
        << QImage::Format_ARGB32_Premultiplied << QRectF(3, 1, 30, 30) << 1.0;
}

// Every block is the mean of the source pixels under it, not a sample of one of them.
void TestDrawing::pixelatedAveragesBlocks()
{
    QFETCH(QImage::Format, format);
    QFETCH(QRectF, rect);
    QFETCH(qreal, scale);

    QImage source = canvas::pattern({100, 80}).convertToFormat(format);
    for (int y = 0; y < source.height() && source.hasAlphaChannel(); ++y) {
        for (int x = 0; x < source.width(); ++x) {
            QColor color = source.pixelColor(x, y);
            color.setAlpha((x * 13 + y * 7) % 256);
            source.setPixelColor(x, y, color);
        }
    }
    const std::optional<QImage> mosaic = Drawing::pixelated(source, rect, scale, 10);
    QVERIFY(mosaic);
    const int side = qRound(10 * scale);
    for (int row = 0; row < mosaic->height(); ++row) {
        for (int column = 0; column < mosaic->width(); ++column) {
            const QRect area(qRound(rect.x() * scale) + column * side,
                             qRound(rect.y() * scale) + row * side, side, side);
            const QRgb expected = canvas::meanColor(source, area);
            QVERIFY2(canvas::sameColor(mosaic->pixel(column, row), expected),
                     qPrintable(QStringLiteral("block %1,%2").arg(column).arg(row)));
        }
    }
}

void TestDrawing::mosaicPastSourceEdgeIsStretched()
{
    const QImage source = canvas::pattern({30, 20});
    MosaicAnnotation mosaic({20, 0}, source, 1, 10, QRectF(0, 0, 40, 20));
    mosaic.update({40, 10});
    QImage image = canvas::white({40, 20});
    QPainter painter(&image);
    mosaic.draw(painter);
    painter.end();

    // Source columns 20..29 are the two blocks, drawn over points 20..39.
    const QRgb left = canvas::meanColor(source, QRect(20, 0, 5, 10));
    const QRgb right = canvas::meanColor(source, QRect(25, 0, 5, 10));
    for (int y : {0, 9}) {
        for (int x : {20, 29})
            QVERIFY(canvas::sameColor(image.pixel(x, y), left));
        for (int x : {30, 39})
            QVERIFY(canvas::sameColor(image.pixel(x, y), right));
    }
    QCOMPARE(image.pixel(19, 5), qRgb(255, 255, 255));
    QCOMPARE(image.pixel(25, 10), qRgb(255, 255, 255));
}

void TestDrawing::drawImageUpright_data()
{
    QTest::addColumn<qreal>("dpr");
    QTest::addColumn<bool>("smooth");
    for (qreal dpr : {1.0, 2.0}) {
        QTest::addRow("scale %g, nearest", dpr) << dpr << false;
        QTest::addRow("scale %g, smooth", dpr) << dpr << true;
    }
}

void TestDrawing::drawImageUpright()
{
    QFETCH(qreal, dpr);
    QFETCH(bool, smooth);

    QImage tiny(2, 2, QImage::Format_RGB32);
    tiny.setPixel(0, 0, qRgb(255, 0, 0));
    tiny.setPixel(1, 0, qRgb(0, 255, 0));
    tiny.setPixel(0, 1, qRgb(0, 0, 255));
    tiny.setPixel(1, 1, qRgb(0, 0, 0));
    tiny.setDevicePixelRatio(2); // must not shrink the image: the rectangle decides
    QImage image = canvas::white({40, 40}, dpr);
    QPainter painter(&image);
    Drawing::drawImage(painter, tiny, QRectF(10, 10, 20, 20), smooth);
    painter.end();

    const auto at = [&](qreal x, qreal y) { return image.pixel(int(x * dpr), int(y * dpr)); };
    QCOMPARE(at(11, 11), qRgb(255, 0, 0));
    QCOMPARE(at(28, 11), qRgb(0, 255, 0));
    QCOMPARE(at(11, 28), qRgb(0, 0, 255));
    QCOMPARE(at(28, 28), qRgb(0, 0, 0));
    QCOMPARE(at(9, 9), qRgb(255, 255, 255));
    QCOMPARE(at(30, 30), qRgb(255, 255, 255));
    // Beside the middle of the top edge, red and green blend only when smoothing.
    const QRgb middle = at(19.5, 11);
    QCOMPARE(qRed(middle) > 0 && qGreen(middle) > 0, smooth);
}

void TestDrawing::drawTextBaselines_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<int>>("inkedLines");
    QTest::addColumn<qreal>("dpr");

    for (qreal dpr : {1.0, 2.0}) {
        QTest::addRow("empty middle line, scale %g", dpr) << "H\n\nH" << QList<int>{0, 2} << dpr;
        QTest::addRow("three lines, scale %g", dpr) << "H\nHH\nH" << QList<int>{0, 1, 2} << dpr;
    }
    QTest::newRow("empty first line") << "\nH" << QList<int>{1} << 1.0;
    QTest::newRow("trailing line break") << "H\n" << QList<int>{0} << 1.0;
    QTest::newRow("empty text") << "" << QList<int>{} << 1.0;
}

// Finds the bottom of each horizontal band of ink: the bottom of "H" sits on its baseline.
void TestDrawing::drawTextBaselines()
{
    QFETCH(QString, text);
    QFETCH(QList<int>, inkedLines);
    QFETCH(qreal, dpr);

    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(20);
    const QFontMetricsF metrics(font);
    const qreal height = Drawing::lineHeight(font);
    QVERIFY(height >= metrics.ascent() + metrics.descent());
    const QPointF origin(10, 7.5);

    QImage image = canvas::white({80, 120}, dpr);
    QPainter painter(&image);
    Drawing::drawText(painter, text, origin, font, Qt::black);
    painter.end();

    QList<int> bandBottoms;
    bool inInk = false;
    for (int y = 0; y < image.height(); ++y) {
        bool inked = false;
        for (int x = 0; x < image.width() && !inked; ++x)
            inked = canvas::darkness(image, x, y) > 128;
        if (inInk && !inked)
            bandBottoms.append(y);
        inInk = inked;
    }
    QCOMPARE(bandBottoms.size(), inkedLines.size());
    for (qsizetype i = 0; i < inkedLines.size(); ++i) {
        const qreal baseline = origin.y() + metrics.ascent() + inkedLines[i] * height;
        QVERIFY2(qAbs(bandBottoms[i] - baseline * dpr) <= dpr,
                 qPrintable(QString::number(bandBottoms[i])));
        // Lines are whole line heights apart, so their ink is the same pixels shifted.
        QCOMPARE(bandBottoms[i] - bandBottoms[0],
                 qRound((inkedLines[i] - inkedLines[0]) * height * dpr));
    }
    if (!inkedLines.isEmpty())
        QVERIFY(qAbs(canvas::inkBounds(image, 128).left() - origin.x() * dpr) <= 3 * dpr);
}

void TestDrawing::roundedRectClampsRadius_data()
{
    QTest::addColumn<QRectF>("rect");
    QTest::addColumn<qreal>("radius");
    QTest::addColumn<QPointF>("point");
    QTest::addColumn<bool>("inside");

    // With radius 4 the 20x8 rectangle's ends are half circles; an unclamped 6 would
    // leave (1, 1.5) outside its corner.
    const QRectF r(0, 0, 20, 8);
    QTest::newRow("20x8 radius 6: corner point") << r << 6.0 << QPointF(1, 1.5) << true;
    QTest::newRow("20x8 radius 6: cut corner") << r << 6.0 << QPointF(0.4, 0.4) << false;
    QTest::newRow("20x8 radius 6: end is round") << r << 6.0 << QPointF(0.2, 2) << false;
    QTest::newRow("radius 2 keeps corners") << r << 2.0 << QPointF(0.4, 1.5) << true;
    QTest::newRow("negative radius is square") << r << -3.0 << QPointF(0.2, 0.2) << true;
    QTest::newRow("reversed rect") << QRectF(20, 8, -20, -8) << 6.0 << QPointF(10, 4) << true;
}

void TestDrawing::roundedRectClampsRadius()
{
    QFETCH(QRectF, rect);
    QFETCH(qreal, radius);
    QFETCH(QPointF, point);
    QFETCH(bool, inside);

    const QPainterPath path = Drawing::roundedRect(rect, radius);
    QCOMPARE(path.contains(point), inside);
    QCOMPARE(path.boundingRect(), rect.normalized());
}

void TestDrawing::geometry()
{
    QCOMPARE(Drawing::spanning({10, 30}, {4, 2}), QRectF(4, 2, 6, 28));
    QCOMPARE(Drawing::spanning({4, 2}, {10, 30}), QRectF(4, 2, 6, 28));
    QCOMPARE(Drawing::spanning({5, 5}, {5, 9}), QRectF(5, 5, 0, 4));
    QCOMPARE(Drawing::floored({2.7, -0.5}), QPointF(2, -1));
    QCOMPARE(Drawing::floored({3, 4}), QPointF(3, 4));
}

QTEST_MAIN(TestDrawing)
#include "tst_drawing.moc"
