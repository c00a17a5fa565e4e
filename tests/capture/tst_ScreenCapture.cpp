#include <QApplication>
#include <QTest>

#include "CaptureTest.h"
#include "testkit/XServer.h"

CORVANE_X11_TEST_MAIN(CaptureTest, .windowManager = false, .tray = false, .twoMonitors = true)
