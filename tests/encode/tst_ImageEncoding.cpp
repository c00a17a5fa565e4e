#include <QBuffer>
#include <QtTest>

#include "overlay/ImageEncoding.h"

namespace {

// Every alpha value at many row positions (Qt un-premultiplies groups of pixels and the rest
// of a row differently), with colour values up to the alpha.
QImage pattern(QSize size, QImage::Format format, bool translucent)
{
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x) {
            const int a = translucent ? (x * 7 + y * 13) % 256 : 255;
            image.setPixel(x, y,
                           qRgba((x * 31 + y) % (a + 1), (x ^ y) % (a + 1), (y * 5) % (a + 1), a));
        }
    return image.convertToFormat(format);
}

QImage decoded(const QByteArray &png)
{
    return QImage::fromData(png, "png").convertToFormat(QImage::Format_ARGB32);
}

} // namespace

class TestImageEncoding : public QObject
{
    Q_OBJECT

private slots:
    void pngMatchesQt_data()
    {
        QTest::addColumn<QImage>("image");
        QTest::addColumn<int>("colorType");          // 2 = RGB, 6 = RGBA
        const QSize small(37, 9), large(1100, 1000); // large is split across threads
        for (auto [name, format] :
             {std::pair{"ARGB32 premultiplied", QImage::Format_ARGB32_Premultiplied},
              {"RGBA8888 premultiplied", QImage::Format_RGBA8888_Premultiplied},
              {"ARGB32", QImage::Format_ARGB32}}) {
            QTest::addRow("%s translucent", name) << pattern(small, format, true) << 6;
            QTest::addRow("%s translucent, large", name) << pattern(large, format, true) << 6;
            QTest::addRow("%s opaque, large", name) << pattern(large, format, false) << 2;
        }
        QTest::newRow("RGB32, one pixel") << pattern({1, 1}, QImage::Format_RGB32, false) << 2;
        QTest::newRow("RGB888") << pattern(small, QImage::Format_RGB888, false) << 2;
    }

    void pngMatchesQt()
    {
        QFETCH(QImage, image);
        QFETCH(int, colorType);
        const QByteArray png = ImageEncoding::encodePng(image);
        QByteArray qtPng;
        QBuffer buffer(&qtPng);
        buffer.open(QIODevice::WriteOnly);
        QVERIFY(image.save(&buffer, "png"));
        QCOMPARE(decoded(png), decoded(qtPng));
        // libpng, under Qt's decoder, has checked the chunks and the zlib checksum over all
        // the parts; opaque images are stored without alpha.
        QCOMPARE(int(png[25]), colorType);
    }
};

QTEST_GUILESS_MAIN(TestImageEncoding)
#include "tst_ImageEncoding.moc"
