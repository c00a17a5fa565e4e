#include <QApplication>
#include <QTest>

#include "CaptureTest.h"
#include "testkit/XServer.h"

namespace {

struct Scale2CaptureTest : CaptureTest
{
    Scale2CaptureTest() : CaptureTest({2.0, 2.0}) {}
};

} // namespace

CORVANE_X11_TEST_MAIN(Scale2CaptureTest, .windowManager = false, .tray = false, .twoMonitors = true,
                      .processEnv = {{"QT_SCALE_FACTOR", "2"}})
