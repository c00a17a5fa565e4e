#include "capture/ScreenCapture.h"

#include <optional>
#include <vector>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include "capture/GetImageReader.h"
#include "capture/ScreenCaptureReaders.h"
#include "capture/ShmGrabber.h"
#include "capture/X11Root.h"

namespace {

ShmGrabber *sharedGrabber = nullptr;

void releaseSharedGrabber()
{
    delete sharedGrabber;
    sharedGrabber = nullptr;
}

// The segments live as long as the application object: its post routines run while Qt's
// connection is still open, so they can be detached properly.
ShmGrabber &grabberFor(xcb_connection_t *connection)
{
    if (!sharedGrabber) {
        sharedGrabber = new ShmGrabber(connection);
        qAddPostRoutine(releaseSharedGrabber);
    }
    return *sharedGrabber;
}

// Each band is copied out while the server writes the next one into the segment.
QImage readShared(ShmGrabber &grabber, const X11Root &root, const QRect &rect)
{
    QImage image(rect.size(), QImage::Format_RGB32);
    if (image.isNull())
        return {};
    const qsizetype stride = qsizetype(rect.width()) * 4;
    const auto copyBand = [&](const uchar *pixels, int firstRow, int rowCount) {
        root.layout.copyRows(pixels, stride, image, firstRow, rowCount);
    };
    return grabber.read(root.window, rect, copyBand) ? image : QImage();
}

QImage grabWithQt(QScreen *screen)
{
    QImage image = screen->grabWindow(0).toImage();
    if (image.isNull())
        return {};
    if (image.format() != QImage::Format_RGB32)
        image.convertTo(QImage::Format_RGB32);
    // Pure pixels: consumers take the scale from the image and screen widths.
    image.setDevicePixelRatio(1);
    return image;
}

} // namespace

namespace ScreenCapture {

// Reading the screen needs no grant on X11.
bool hasPermission()
{
    return true;
}

// There is no grant to ask for on X11.
void requestPermission() {}

// There is no privacy pane for screen reading on X11.
void openPrivacySettings() {}

QList<ScreenShot> captureAll()
{
    return captureAll(Reader::Automatic);
}

QList<ScreenShot> captureAll(Reader reader)
{
    const bool useShm = reader == Reader::Automatic || reader == Reader::SharedMemory;
    const bool useGetImage = reader == Reader::Automatic || reader == Reader::GetImage;
    const bool useQt = reader == Reader::Automatic || reader == Reader::QtGrab;
    const std::optional<X11Root> root =
        useShm || useGetImage ? X11Root::current() : std::optional<X11Root>();
    ShmGrabber *grabber = root && useShm ? &grabberFor(root->connection) : nullptr;

    QList<ScreenShot> shots;
    std::vector<QRect> rectsRead;
    for (QScreen *screen : QGuiApplication::screens()) {
        const QRect rect = root ? nativeRect(screen).intersected(root->bounds) : QRect();
        QImage image;
        if (grabber && !rect.isEmpty()) {
            rectsRead.push_back(rect);
            image = readShared(*grabber, *root, rect);
        }
        if (image.isNull() && useGetImage && !rect.isEmpty())
            image = GetImageReader::read(*root, rect);
        if (image.isNull() && useQt)
            image = grabWithQt(screen);
        if (!image.isNull())
            shots.append(ScreenShot{screen, image});
    }
    if (grabber)
        grabber->keepOnly(rectsRead);
    return shots;
}

QRect nativeRect(const QScreen *screen)
{
    const QRect geometry = screen->geometry();
    const qreal ratio = screen->devicePixelRatio();
    return QRect(geometry.topLeft(),
                 QSize(qRound(geometry.width() * ratio), qRound(geometry.height() * ratio)));
}

} // namespace ScreenCapture
