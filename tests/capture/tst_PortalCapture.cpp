#include <QBuffer>
#include <QDataStream>
#include <QDir>
#include <QGuiApplication>
#include <QPainter>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <optional>

#include <libdeflate.h>
#include <sys/stat.h>

#include "capture/PortalCapture.h"
#include "testkit/PortalBus.h"

using PortalCapture::Area;

namespace {

// Random pixels: a misplaced pixel shows, and the PNG filters' predictors meet their ties.
QImage noise(QSize size, QImage::Format format, quint32 seed)
{
    QImage image(size, format);
    QRandomGenerator random(seed);
    for (int i = 0; i < size.width() * size.height(); ++i)
        image.setPixel(i % size.width(), i / size.width(), random.generate());
    return image;
}

// An 8-bit RGB or RGBA PNG of image with row y filtered by filter y % 5 (none, left, up,
// average, Paeth), as a portal's back end may write it.
QByteArray filteredPng(const QImage &image, int channels)
{
    const QImage bytes =
        image.convertToFormat(channels == 3 ? QImage::Format_RGB888 : QImage::Format_RGBA8888);
    const int n = image.width() * channels;
    QByteArray raw, above(n, 0), header("IHDR"), png("\x89PNG\r\n\x1a\n");
    for (int y = 0; y < image.height(); ++y) {
        const QByteArray row(reinterpret_cast<const char *>(bytes.constScanLine(y)), n);
        raw += char(y % 5);
        for (int i = 0; i < n; ++i) {
            const int a = i >= channels ? uchar(row[i - channels]) : 0, b = uchar(above[i]);
            const int c = i >= channels ? uchar(above[i - channels]) : 0, q = a + b - c;
            const int pa = qAbs(q - a), pb = qAbs(q - b), pc = qAbs(q - c);
            const int paeth = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
            const int predicted[] = {0, a, b, (a + b) / 2, paeth};
            raw += char(uchar(row[i]) - predicted[y % 5]);
        }
        above = row;
    }
    QDataStream(&header, QIODevice::Append)
        << quint32(image.width()) << quint32(image.height()) << quint8(8)
        << quint8(channels == 3 ? 2 : 6) << quint8(0) << quint8(0) << quint8(0);
    QDataStream out(&png, QIODevice::Append);
    for (const QByteArray &typed : {header, "IDAT" + qCompress(raw).mid(4), QByteArray("IEND")}) {
        out << quint32(typed.size() - 4);
        out.writeRawData(typed.constData(), int(typed.size()));
        out << quint32(libdeflate_crc32(0, typed.constData(), size_t(typed.size())));
    }
    return png;
}

// The desktop portal's Screenshot interface on a private session bus, as a desktop offers it:
// each request is answered with `code` and a picture written into a folder outside the
// temporary one (the user's pictures, say); with a negative code it is never answered, as a
// portal waiting for its permission dialog does.
class ScreenshotPortal : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Screenshot")
public:
    int code = 0;
    QImage picture;
    QString file;
public slots:
    QDBusObjectPath Screenshot(const QString &, const QVariantMap &options)
    {
        if (code == 0)
            picture.save(file);
        return testkit::answerRequest(options, code, {{"uri", "file://" + file}});
    }
};

// The picture as a watch takes it, written in pieces, as a desktop writes it, into a folder
// where other files were created first: one left empty, one of text.
QImage followed(const QByteArray &data)
{
    QTemporaryDir dir;
    PortalCapture::PictureWatch watch({dir.filePath("absent"), dir.path()});
    QFile other(dir.filePath("notes")), file(dir.filePath("shot.png"));
    other.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    other.write("no picture");
    QFile(dir.filePath("lock")).open(QIODevice::WriteOnly);
    file.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    for (qsizetype at = 0; at < data.size(); at += 700) {
        file.write(data.mid(at, 700));
        QThread::usleep(100);
    }
    return watch.take(file.fileName());
}

} // namespace

// The desktop portal's picture asked for, decoded and cut into screens.
class PortalCaptureTest : public QObject
{
    Q_OBJECT

    QProcess bus;
    ScreenshotPortal portal;

private slots:
    void initTestCase()
    {
        QVERIFY(testkit::servePortal(bus, &portal, QDBusConnection::ExportAllSlots));
    }

    // The event loop runs while the portal has not answered; its picture is read, cut and
    // removed; a refusal is told apart from a failure. The picture is written by libpng at its
    // defaults, as a desktop's is: a filter chosen per row and the stream split into chunks of
    // 8 KiB. A file named that gives no picture, text or a pipe that never ends, is left alone.
    void capturesThroughThePortal()
    {
        QTemporaryDir pictures(QDir::currentPath() + "/Pictures-XXXXXX");
        portal.file = pictures.filePath("Screenshot-1.png");
        const QImage picture =
            noise(QGuiApplication::primaryScreen()->size(), QImage::Format_RGB32, 5);
        // Allowed, refused, never answered; a pipe and a text file named.
        for (const int code : {0, 2, -1, 10, 20}) {
            portal.code = code % 10;
            portal.picture = code ? QImage() : picture;
            QFile::remove(portal.file);
            if (code == 10)
                QVERIFY(mkfifo(QFile::encodeName(portal.file), 0600) == 0);
            if (code == 20)
                QVERIFY(QFile(portal.file).open(QIODevice::WriteOnly));
            QObject context;
            std::optional<std::pair<QList<ScreenShot>, bool>> answer;
            const auto done = [&](auto shots, bool refused) { answer = {shots, refused}; };
            PortalCapture::captureAll(&context, done, 5000);
            QVERIFY(!answer);
            QTRY_VERIFY_WITH_TIMEOUT(answer, 10000);
            QCOMPARE(answer->second, code == 2);
            QCOMPARE(answer->first.size(), code == 0 ? 1 : 0);
            if (code == 0)
                QCOMPARE(answer->first[0].image, picture);
            QCOMPARE(QFileInfo::exists(portal.file), code >= 10);
        }
    }

    void cutsThePictureIntoScreens_data()
    {
        QTest::addColumn<QList<Area>>("areas");
        QTest::addColumn<int>("pictureScale");
        QTest::newRow("side by side, scale 1 beside 2, shorter second")
            << QList<Area>{{{0, 0, 320, 180}, 1}, {{320, 0, 240, 135}, 2}} << 2;
        QTest::newRow("stacked, layout left of the origin")
            << QList<Area>{{{-160, 0, 160, 100}, 1}, {{-160, 100, 200, 120}, 1}} << 1;
        QTest::newRow("three screens, two at scale 3")
            << QList<Area>{{{0, 0, 100, 80}, 3}, {{100, 0, 90, 60}, 1}, {{190, 0, 70, 80}, 3}} << 3;
        // A desktop laying its outputs out in pixels reports a scale-2 output at its pixel size.
        QTest::newRow("scale 2, laid out in pixels") << QList<Area>{{{0, 0, 320, 200}, 2}} << 1;
    }
    void cutsThePictureIntoScreens()
    {
        QFETCH(QList<Area>, areas);
        QFETCH(int, pictureScale);
        QRect bounds;
        for (const Area &area : areas)
            bounds |= area.geometry;
        // The portal's picture: the layout at one scale, each screen's pixels repeated up to it.
        QImage picture(bounds.size() * pictureScale, QImage::Format_RGB32);
        picture.fill(Qt::magenta);
        QPainter painter(&picture);
        QList<QImage> screens;
        for (const Area &area : areas) {
            screens.append(noise(area.geometry.size() * std::min<qreal>(area.scale, pictureScale),
                                 QImage::Format_RGB32, quint32(screens.size())));
            painter.drawImage((area.geometry.topLeft() - bounds.topLeft()) * pictureScale,
                              screens.last().scaled(area.geometry.size() * pictureScale,
                                                    Qt::IgnoreAspectRatio, Qt::FastTransformation));
        }
        painter.end();
        QCOMPARE(PortalCapture::cutLayout(picture, areas), screens);
        // A picture that fits no scale of the layout, as if a screen were missing, or none.
        for (const QImage &other :
             {picture.copy(0, 0, picture.width() / 2, picture.height()), QImage()})
            QVERIFY(PortalCapture::cutLayout(other, areas).isEmpty());
    }

    // As QImageReader decodes it, in Format_RGB32 without alpha; damaged data gives none.
    void decodesThePicture()
    {
        const QImage image = noise(QSize(67, 31), QImage::Format_ARGB32, 3);
        QBuffer palette;
        image.convertToFormat(QImage::Format_Indexed8).save(&palette, "png");
        // RGB and RGBA with every filter, RGBA one pixel wide, and a PNG of another kind.
        for (const QByteArray &data : {filteredPng(image, 3), filteredPng(image, 4),
                                       filteredPng(image.copy(0, 0, 1, 10), 4), palette.data()}) {
            const QImage picture = PortalCapture::decodePicture(data);
            QVERIFY(!picture.isNull());
            QCOMPARE(picture, QImage::fromData(data).convertToFormat(QImage::Format_RGB32));
            // Followed while written, but for the kind left to a whole reading.
            QCOMPARE(followed(data), data == palette.data() ? QImage() : picture);
            QByteArray changed = data;
            changed[data.size() / 2] ^= 0x10;
            for (const QByteArray &damaged : {data.left(data.size() * 2 / 3), changed})
                QVERIFY(PortalCapture::decodePicture(damaged).isNull() &&
                        followed(damaged).isNull());
        }
        // A file that was there before the watch is not the one followed.
        QTemporaryDir dir;
        QFile before(dir.filePath("before.png"));
        QVERIFY(before.open(QIODevice::WriteOnly) && before.write(filteredPng(image, 3)) > 0);
        before.close();
        PortalCapture::PictureWatch watch({dir.path()});
        QFile(dir.filePath("after.png")).open(QIODevice::WriteOnly);
        QVERIFY(watch.take(before.fileName()).isNull());
    }
};

QTEST_MAIN(PortalCaptureTest)
#include "tst_PortalCapture.moc"
