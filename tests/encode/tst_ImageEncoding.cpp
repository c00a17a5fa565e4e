#include <QBuffer>
#include <QtEndian>
#include <QtTest>

#include <zlib.h>

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

        // The stream must also pass a decoder that checks everything: chunk layout, the
        // zlib checksum over all parts, and the exact amount of scanline data.
        QVERIFY(png.startsWith("\x89PNG\r\n\x1a\n"));
        QCOMPARE(int(png[25]), colorType);
        QByteArray stream;
        for (qsizetype at = 8; at + 12 <= png.size();) {
            const qsizetype length = qFromBigEndian<quint32>(png.constData() + at);
            if (png.mid(at + 4, 4) == "IDAT")
                stream += png.mid(at + 8, length);
            at += length + 12;
        }
        const qsizetype channels = colorType == 6 ? 4 : 3;
        QByteArray raw(image.height() * (1 + image.width() * channels) + 1, '\0');
        uLongf rawSize = uLongf(raw.size());
        QCOMPARE(uncompress(reinterpret_cast<Bytef *>(raw.data()), &rawSize,
                            reinterpret_cast<const Bytef *>(stream.constData()),
                            uLong(stream.size())),
                 Z_OK);
        QCOMPARE(qsizetype(rawSize), raw.size() - 1);
    }

    void jpegAndNothing()
    {
        const QImage image = pattern({64, 32}, QImage::Format_RGBA8888_Premultiplied, false);
        const QImage jpeg = QImage::fromData(ImageEncoding::encodeJpeg(image, 90), "jpeg");
        QCOMPARE(jpeg.size(), image.size());
        QVERIFY(ImageEncoding::encodeJpeg(image, 90).size() >
                ImageEncoding::encodeJpeg(image, 10).size());
        QVERIFY(ImageEncoding::encodePng(QImage()).isEmpty());
        QVERIFY(ImageEncoding::encodeJpeg(QImage()).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestImageEncoding)
#include "tst_ImageEncoding.moc"
