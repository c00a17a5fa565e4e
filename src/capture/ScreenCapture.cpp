#include "capture/ScreenCapture.h"

#include "capture/PortalCapture.h"
#include "capture/ScreenCaptureReaders.h"
#include "capture/ServerCopy.h"
#include "platform/DisplayPlatform.h"

QSize ScreenShot::pixelSize() const
{
    if (!image.isNull() || !serverCopy)
        return image.size();
    return serverCopy->size;
}

namespace ScreenCapture {

QList<ScreenShot> captureAll()
{
    if (DisplayPlatform::capturesThroughPortal())
        return PortalCapture::captureAll();
    return captureAll(Reader::Automatic);
}

QList<ScreenShot> freezeAll()
{
    if (DisplayPlatform::capturesThroughPortal())
        return PortalCapture::captureAll();
    QList<ScreenShot> shots = copyInServer();
    return shots.isEmpty() ? captureAll(Reader::Automatic) : shots;
}

void prepare()
{
    // A new pixmap's pages become warm in the server at its first write: one copy does that.
    if (!DisplayPlatform::capturesThroughPortal())
        copyInServer();
}

} // namespace ScreenCapture
