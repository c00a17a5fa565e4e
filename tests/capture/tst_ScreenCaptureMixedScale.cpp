#include <QApplication>
#include <QTest>

#include "CaptureTest.h"
#include "testkit/XServer.h"

namespace {

struct MixedScaleCaptureTest : CaptureTest
{
    MixedScaleCaptureTest() : CaptureTest({2.0, 1.0}) {}
};

} // namespace

CORVANE_X11_TEST_MAIN(MixedScaleCaptureTest, .windowManager = false, .tray = false,
                      .twoMonitors = true,
                      .processEnv = {{"QT_SCREEN_SCALE_FACTORS", "LEFT=2;RIGHT=1"}})
