#include <QApplication>
#include <QTest>

#include "RootPattern.h"
#include "capture/ScreenCaptureReaders.h"
#include "testkit/XServer.h"

// A server without the shared-memory extension: capture falls back to the plain read.
class TestCaptureWithoutShm : public QObject
{
    Q_OBJECT

private slots:
    void fallsBackToThePlainRead()
    {
        QVERIFY(RootPattern::paint(testkit::serverOf(this).display()));
        QVERIFY(ScreenCapture::captureAll(ScreenCapture::Reader::SharedMemory).isEmpty());
        const QList<ScreenShot> shots = ScreenCapture::captureAll();
        QCOMPARE(shots.size(), 2);
        for (int i = 0; i < shots.size(); ++i) {
            const QImage &image = shots[i].image;
            QCOMPARE(image.size(), QSize(1920, 1080));
            for (const QPoint p : {QPoint(0, 0), QPoint(1919, 1079), QPoint(700, 300)})
                QCOMPARE(image.pixel(p), RootPattern::at(i * 1920 + p.x(), p.y()));
        }
    }
};

CORVANE_X11_TEST_MAIN(TestCaptureWithoutShm, .windowManager = false, .tray = false,
                      .twoMonitors = true, .xvfbArgs = {"-extension", "MIT-SHM"})
#include "tst_ScreenCaptureNoShm.moc"
