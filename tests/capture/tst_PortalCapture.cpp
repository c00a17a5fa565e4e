#include <QBuffer>
#include <QGuiApplication>
#include <QImageReader>
#include <QImageWriter>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <cstdlib>

#include <zlib.h>

#include "capture/PortalCapture.h"
#include "platform/DisplayPlatform.h"

using PortalCapture::Area;

namespace {

// Every pixel of a screen tells its screen and position.
QImage screenPattern(QSize size, int screen)
{
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            image.setPixel(x, y, qRgb(x % 251, y % 241, screen * 60 + (x + y) % 50));
    return image;
}

// What the portal hands over: the whole layout at one scale, each screen's pixels repeated
// where the layout's scale is a multiple of its own.
QImage layoutPicture(const QList<Area> &areas, const QList<QImage> &screens, int scale)
{
    QRect bounds;
    for (const Area &area : areas)
        bounds |= area.geometry;
    QImage picture(bounds.size() * scale, QImage::Format_RGB32);
    picture.fill(Qt::magenta);
    for (int i = 0; i < areas.size(); ++i) {
        const QRect target((areas[i].geometry.topLeft() - bounds.topLeft()) * scale,
                           areas[i].geometry.size() * scale);
        const QImage rendered =
            screens[i].scaled(target.size(), Qt::IgnoreAspectRatio, Qt::FastTransformation);
        for (int y = 0; y < target.height(); ++y)
            for (int x = 0; x < target.width(); ++x)
                picture.setPixel(target.x() + x, target.y() + y, rendered.pixel(x, y));
    }
    return picture;
}

QByteArray chunk(const char *type, const QByteArray &body)
{
    QByteArray out(4, 0);
    qToBigEndian<quint32>(quint32(body.size()), out.data());
    const QByteArray typed = type + body;
    QByteArray crc(4, 0);
    qToBigEndian<quint32>(
        quint32(crc32(0, reinterpret_cast<const Bytef *>(typed.constData()), uInt(typed.size()))),
        crc.data());
    return out + typed + crc;
}

// An 8-bit RGB or RGBA PNG of image with row y filtered by filter y % 5 (none, left, up,
// average, Paeth), as a portal's back end may write it.
QByteArray filteredPng(const QImage &image, int channels)
{
    const int w = image.width(), n = w * channels;
    QByteArray raw, above(n, 0);
    for (int y = 0; y < image.height(); ++y) {
        QByteArray row;
        for (int x = 0; x < w; ++x) {
            const QRgb p = image.pixel(x, y);
            const char rgba[] = {char(qRed(p)), char(qGreen(p)), char(qBlue(p)), char(qAlpha(p))};
            row.append(rgba, channels);
        }
        raw += char(y % 5);
        for (int i = 0; i < n; ++i) {
            const int a = i >= channels ? uchar(row[i - channels]) : 0, b = uchar(above[i]);
            const int c = i >= channels ? uchar(above[i - channels]) : 0, q = a + b - c;
            const int paeth =
                std::abs(q - a) <= std::abs(q - b) && std::abs(q - a) <= std::abs(q - c)
                    ? a
                    : (std::abs(q - b) <= std::abs(q - c) ? b : c);
            const int predicted[] = {0, a, b, (a + b) / 2, paeth};
            raw += char(uchar(row[i]) - predicted[y % 5]);
        }
        above = row;
    }
    QByteArray header(13, 0), compressed(int(compressBound(uLong(raw.size()))), 0);
    qToBigEndian<quint32>(quint32(w), header.data());
    qToBigEndian<quint32>(quint32(image.height()), header.data() + 4);
    header[8] = 8;
    header[9] = char(channels == 3 ? 2 : 6);
    uLongf size = uLongf(compressed.size());
    compress(reinterpret_cast<Bytef *>(compressed.data()), &size,
             reinterpret_cast<const Bytef *>(raw.constData()), uLong(raw.size()));
    return "\x89PNG\r\n\x1a\n" + chunk("IHDR", header) + chunk("IDAT", compressed.left(size)) +
           chunk("IEND", {});
}

QByteArray written(const QImage &image, const char *format)
{
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter(&buffer, format).write(image);
    return data;
}

} // namespace

// The cut of the portal's one picture into screens, on synthetic pictures, and which platform
// a start in a given environment asks Qt for.
class PortalCaptureTest : public QObject
{
    Q_OBJECT

private slots:
    void cutsThePictureIntoScreens_data()
    {
        QTest::addColumn<QList<QRect>>("geometries");
        QTest::addColumn<QList<qreal>>("scales");
        QTest::addColumn<int>("pictureScale");
        QTest::newRow("one screen") << QList<QRect>{{0, 0, 320, 200}} << QList<qreal>{1} << 1;
        QTest::newRow("one screen at scale 2")
            << QList<QRect>{{0, 0, 320, 200}} << QList<qreal>{2} << 2;
        QTest::newRow("side by side, scale 1 beside 2, shorter second")
            << QList<QRect>{{0, 0, 320, 180}, {320, 0, 240, 135}} << QList<qreal>{1, 2} << 2;
        QTest::newRow("scale 2 left of scale 1")
            << QList<QRect>{{0, 0, 200, 150}, {200, 40, 300, 100}} << QList<qreal>{2, 1} << 2;
        QTest::newRow("stacked, layout left of the origin")
            << QList<QRect>{{-160, 0, 160, 100}, {-160, 100, 200, 120}} << QList<qreal>{1, 1} << 1;
        QTest::newRow("three screens, two at scale 3")
            << QList<QRect>{{0, 0, 100, 80}, {100, 0, 90, 60}, {190, 0, 70, 80}}
            << QList<qreal>{3, 1, 3} << 3;
    }
    void cutsThePictureIntoScreens()
    {
        QFETCH(QList<QRect>, geometries);
        QFETCH(QList<qreal>, scales);
        QFETCH(int, pictureScale);
        QList<Area> areas;
        QList<QImage> screens;
        for (int i = 0; i < geometries.size(); ++i) {
            areas.append(Area{geometries[i], scales[i]});
            screens.append(screenPattern(geometries[i].size() * scales[i], i));
        }
        const QList<QImage> pieces =
            PortalCapture::cutLayout(layoutPicture(areas, screens, pictureScale), areas);
        QCOMPARE(pieces.size(), screens.size());
        for (int i = 0; i < pieces.size(); ++i) {
            QCOMPARE(pieces[i].format(), QImage::Format_RGB32);
            QCOMPARE(pieces[i], screens[i]);
        }
    }

    // Decoded as QImageReader decodes it, in Format_RGB32 with alpha dropped; damaged data
    // gives no picture.
    void decodesThePicture_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("valid");
        QImage translucent = screenPattern({67, 31}, 1).convertToFormat(QImage::Format_ARGB32);
        for (int x = 0; x < translucent.width(); ++x)
            translucent.setPixel(x, x % 31, qRgba(x, 200, 3 * x, x * 3));
        const QByteArray rgb = filteredPng(screenPattern({67, 31}, 2), 3);
        QTest::newRow("RGB, every filter") << rgb << true;
        QTest::newRow("RGBA, every filter") << filteredPng(translucent, 4) << true;
        QTest::newRow("16 bits a channel")
            << written(translucent.convertToFormat(QImage::Format_RGBA64), "png") << true;
        QTest::newRow("palette") << written(translucent.convertToFormat(QImage::Format_Indexed8),
                                            "png")
                                 << true;
        QTest::newRow("cut short") << rgb.left(rgb.size() * 2 / 3) << false;
        QByteArray changed = rgb;
        changed[changed.size() / 2] = char(changed[changed.size() / 2] ^ 0x10);
        QTest::newRow("a byte changed") << changed << false;
    }
    void decodesThePicture()
    {
        QFETCH(QByteArray, data);
        QFETCH(bool, valid);
        const QImage picture = PortalCapture::decodePicture(data);
        QCOMPARE(picture.isNull(), !valid);
        if (valid) {
            QBuffer buffer(&data);
            QCOMPARE(picture.format(), QImage::Format_RGB32);
            QCOMPARE(picture, QImageReader(&buffer).read().convertToFormat(QImage::Format_RGB32));
        }
    }

    void refusesAPictureOfAnotherLayout_data()
    {
        QTest::addColumn<QSize>("pictureSize");
        QTest::newRow("other aspect") << QSize(500, 500);
        QTest::newRow("one screen missing") << QSize(320, 180);
        QTest::newRow("empty") << QSize(0, 0);
    }
    void refusesAPictureOfAnotherLayout()
    {
        QFETCH(QSize, pictureSize);
        QImage picture(pictureSize, QImage::Format_RGB32);
        picture.fill(Qt::black);
        const QList<Area> areas{{QRect(0, 0, 320, 180), 1}, {QRect(320, 0, 320, 180), 1}};
        QVERIFY(PortalCapture::cutLayout(picture, areas).isEmpty());
    }

    void prefersWaylandInsideAWaylandSession_data()
    {
        QTest::addColumn<QByteArray>("waylandDisplay");
        QTest::addColumn<QByteArray>("sessionType");
        QTest::addColumn<QByteArray>("platform");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("socket named")
            << QByteArray("wayland-7") << QByteArray() << QByteArray() << QByteArray("wayland;xcb");
        QTest::newRow("session type, default socket")
            << QByteArray() << QByteArray("wayland") << QByteArray() << QByteArray("wayland;xcb");
        QTest::newRow("stale variable, no socket")
            << QByteArray("wayland-3") << QByteArray("wayland") << QByteArray() << QByteArray();
        QTest::newRow("X11 session")
            << QByteArray() << QByteArray("x11") << QByteArray() << QByteArray();
        QTest::newRow("platform named by the user")
            << QByteArray("wayland-7") << QByteArray() << QByteArray("xcb") << QByteArray("xcb");
    }
    void prefersWaylandInsideAWaylandSession()
    {
        QFETCH(QByteArray, waylandDisplay);
        QFETCH(QByteArray, sessionType);
        QFETCH(QByteArray, platform);
        QFETCH(QByteArray, expected);
        QTemporaryDir runtime;
        for (const char *socket : {"wayland-0", "wayland-7"}) {
            QFile file(runtime.filePath(socket));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        const QByteArray saved = qgetenv("QT_QPA_PLATFORM");
        const auto set = [](const char *name, const QByteArray &value) {
            if (value.isEmpty())
                qunsetenv(name);
            else
                qputenv(name, value);
        };
        set("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
        set("WAYLAND_DISPLAY", waylandDisplay);
        set("XDG_SESSION_TYPE", sessionType);
        set("QT_QPA_PLATFORM", platform);
        DisplayPlatform::preferWaylandInWaylandSession();
        const QByteArray chosen = qgetenv("QT_QPA_PLATFORM");
        set("QT_QPA_PLATFORM", saved);
        QCOMPARE(chosen, expected);
    }
};

QTEST_MAIN(PortalCaptureTest)
#include "tst_PortalCapture.moc"
