#include <QGuiApplication>
#include <QScreen>
#include <QTest>

#include "capture/PixelLayout.h"
#include "capture/ScreenCapture.h"
#include "capture/ScreenCaptureReaders.h"

// Without Qt's X11 interface only Qt's own grab can read the screens. The pixel conversion
// is checked here for the server layouts that the test server does not have.
class ScreenCaptureOffscreenTest : public QObject
{
    Q_OBJECT

private slots:
    void convertsServerPixels_data()
    {
        QTest::addColumn<bool>("msbFirstServer");
        QTest::addColumn<bool>("bgrVisual");
        QTest::addColumn<QByteArray>("pixel");
        // Red 0x11, green 0x22, blue 0x33, as each server lays it out in memory.
        QTest::newRow("LSB first, RGB") << false << false << QByteArray("\x33\x22\x11\x00", 4);
        QTest::newRow("MSB first, RGB") << true << false << QByteArray("\x00\x11\x22\x33", 4);
        QTest::newRow("LSB first, BGR") << false << true << QByteArray("\x11\x22\x33\x00", 4);
        QTest::newRow("MSB first, BGR") << true << true << QByteArray("\x00\x33\x22\x11", 4);
    }

    void convertsServerPixels()
    {
        QFETCH(bool, msbFirstServer);
        QFETCH(bool, bgrVisual);
        QFETCH(QByteArray, pixel);
        PixelLayout layout;
        layout.swapBytes = msbFirstServer == (Q_BYTE_ORDER == Q_LITTLE_ENDIAN);
        layout.swapRedBlue = bgrVisual;
        // Two padded source rows of eleven pixels into rows 1 and 2 of the image: rows that
        // start off vector alignment and end in a remainder.
        const QByteArray row = pixel.repeated(11) + QByteArray(4, '\xee');
        const QByteArray source = row + row;
        QImage image(11, 3, QImage::Format_RGB32);
        image.fill(qRgb(1, 2, 3));
        layout.copyRows(reinterpret_cast<const uchar *>(source.constData()), row.size(), image, 1,
                        2);
        for (int y = 0; y < 3; ++y) {
            const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
            for (int x = 0; x < 11; ++x)
                QCOMPARE(line[x], y == 0 ? qRgb(1, 2, 3) : qRgb(0x11, 0x22, 0x33));
        }
    }

    void fallsBackToQtGrab()
    {
        const QList<QScreen *> screens = QGuiApplication::screens();
        const QList<ScreenShot> shots = ScreenCapture::captureAll();
        QCOMPARE(shots.size(), screens.size());
        for (int i = 0; i < shots.size(); ++i) {
            QCOMPARE(shots[i].screen.data(), screens[i]);
            QCOMPARE(shots[i].image.size(),
                     screens[i]->geometry().size() * screens[i]->devicePixelRatio());
        }
        QVERIFY(ScreenCapture::captureAll(ScreenCapture::Reader::SharedMemory).isEmpty());
        QVERIFY(ScreenCapture::captureAll(ScreenCapture::Reader::GetImage).isEmpty());
    }
};

QTEST_MAIN(ScreenCaptureOffscreenTest)
#include "tst_ScreenCaptureOffscreen.moc"
