#include <QBuffer>
#include <QGuiApplication>
#include <QDataStream>
#include <QImageReader>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

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

// An 8-bit RGB or RGBA PNG of image with row y filtered by filter y % 5 (none, left, up,
// average, Paeth), as a portal's back end may write it.
QByteArray filteredPng(const QImage &image, int channels)
{
    const int n = image.width() * channels;
    QByteArray raw, above(n, 0), png("\x89PNG\r\n\x1a\n");
    for (int y = 0; y < image.height(); ++y) {
        QByteArray row;
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            row +=
                (QByteArray(1, char(qRed(p))) + char(qGreen(p)) + char(qBlue(p)) + char(qAlpha(p)))
                    .left(channels);
        }
        raw += char(y % 5);
        for (int i = 0; i < n; ++i) {
            const int a = i >= channels ? uchar(row[i - channels]) : 0, b = uchar(above[i]);
            const int c = i >= channels ? uchar(above[i - channels]) : 0, q = a + b - c;
            const int pa = std::abs(q - a), pb = std::abs(q - b), pc = std::abs(q - c);
            const int predicted[] = {0, a, b, (a + b) / 2,
                                     pa <= pb && pa <= pc ? a
                                     : pb <= pc           ? b
                                                          : c};
            raw += char(uchar(row[i]) - predicted[y % 5]);
        }
        above = row;
    }
    QDataStream out(&png, QIODevice::Append);
    const auto chunk = [&out](const QByteArray &typed) {
        out << quint32(typed.size() - 4);
        out.writeRawData(typed.constData(), int(typed.size()));
        out << quint32(
            crc32(0, reinterpret_cast<const Bytef *>(typed.constData()), uInt(typed.size())));
    };
    QByteArray header("IHDR");
    QDataStream(&header, QIODevice::Append)
        << quint32(image.width()) << quint32(image.height()) << quint8(8)
        << quint8(channels == 3 ? 2 : 6) << quint8(0) << quint8(0) << quint8(0);
    chunk(header);
    chunk("IDAT" + qCompress(raw).mid(4));
    chunk("IEND");
    return png;
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
        // Noise, translucent in places, so that the filters' predictors meet their ties.
        QImage noise(67, 31, QImage::Format_ARGB32);
        QRandomGenerator random(3);
        for (int y = 0; y < noise.height(); ++y)
            for (int x = 0; x < noise.width(); ++x)
                noise.setPixel(x, y, random.generate());
        const QByteArray rgb = filteredPng(noise, 3);
        QTest::newRow("RGB, every filter") << rgb << true;
        QTest::newRow("RGBA, every filter") << filteredPng(noise, 4) << true;
        QByteArray palette;
        QBuffer paletteFile(&palette);
        paletteFile.open(QIODevice::WriteOnly);
        noise.convertToFormat(QImage::Format_Indexed8).save(&paletteFile, "png");
        QTest::newRow("a PNG of another kind") << palette << true;
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
