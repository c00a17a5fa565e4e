#include "capture/ScreenCapture.h"

#include "capture/PortalCapture.h"
#include "capture/ScreenCaptureReaders.h"
#include "platform/DisplayPlatform.h"

namespace ScreenCapture {

QList<ScreenShot> captureAll()
{
    if (DisplayPlatform::capturesThroughPortal())
        return PortalCapture::captureAll();
    return captureAll(Reader::Automatic);
}

} // namespace ScreenCapture
