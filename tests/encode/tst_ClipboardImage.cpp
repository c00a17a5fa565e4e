#include <QApplication>
#include <QClipboard>
#include <QProcess>
#include <QtTest>

#include "overlay/ClipboardImage.h"
#include "overlay/ImageEncoding.h"
#include "testkit/XServer.h"

// The clipboard as another program sees it: this process owns it, xclip reads it through the
// X server.
class TestClipboardImage : public QObject
{
    Q_OBJECT

    QByteArray paste(const char *target)
    {
        QProcess xclip;
        xclip.setProcessEnvironment(testkit::serverOf(this).environment());
        xclip.start(QStringLiteral("xclip"), {"-selection", "clipboard", "-t", target, "-o"});
        QByteArray out;
        // The event loop must run: this process answers xclip's requests.
        testkit::waitUntil(
            [&] {
                out += xclip.readAllStandardOutput();
                return xclip.state() == QProcess::NotRunning;
            },
            30000);
        return out + xclip.readAllStandardOutput();
    }

private slots:
    void pasteFromAnotherProgram()
    {
        QImage image(640, 360, QImage::Format_RGBA8888_Premultiplied);
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                image.setPixel(x, y, qRgb(x * 3 % 256, (x ^ y) % 256, y * 7 % 256));
        const QByteArray png = ImageEncoding::encodePng(image);
        QGuiApplication::clipboard()->setMimeData(new ClipboardImage(png));

        const QList<QByteArray> targets = paste("TARGETS").split('\n');
        QVERIFY(targets.contains("image/png") && targets.contains("image/tiff"));
        const QByteArray pasted = paste("image/png");
        QVERIFY(pasted == png); // the stored bytes, not encoded again
        image.convertTo(QImage::Format_ARGB32);
        QCOMPARE(QImage::fromData(pasted, "png").convertToFormat(QImage::Format_ARGB32), image);
        QCOMPARE(
            QImage::fromData(paste("image/tiff"), "tiff").convertToFormat(QImage::Format_ARGB32),
            image);
    }
};

CORVANE_X11_TEST_MAIN(TestClipboardImage, .windowManager = false, .tray = false)
#include "tst_ClipboardImage.moc"
