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

    QImage m_image;
    QByteArray m_png;

    QByteArray paste(const QString &target)
    {
        QProcess xclip;
        xclip.setProcessEnvironment(testkit::serverOf(this).environment());
        xclip.start(QStringLiteral("xclip"),
                    {QStringLiteral("-selection"), QStringLiteral("clipboard"),
                     QStringLiteral("-t"), target, QStringLiteral("-o")});
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
    void initTestCase()
    {
        m_image = QImage(640, 360, QImage::Format_RGBA8888_Premultiplied);
        for (int y = 0; y < m_image.height(); ++y)
            for (int x = 0; x < m_image.width(); ++x)
                m_image.setPixel(x, y, qRgb(x * 3 % 256, (x ^ y) % 256, y * 7 % 256));
        m_png = ImageEncoding::encodePng(m_image);
        QGuiApplication::clipboard()->setMimeData(new ClipboardImage(m_png));
    }

    void offersBothTypes()
    {
        const QList<QByteArray> targets = paste(QStringLiteral("TARGETS")).split('\n');
        QVERIFY2(targets.contains("image/png") && targets.contains("image/tiff"),
                 targets.join(' ').constData());
    }

    void decodesToTheImage_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QByteArray>("format");
        QTest::newRow("png") << QStringLiteral("image/png") << QByteArray("png");
        QTest::newRow("tiff") << QStringLiteral("image/tiff") << QByteArray("tiff");
    }

    void decodesToTheImage()
    {
        QFETCH(QString, target);
        QFETCH(QByteArray, format);
        const QByteArray data = paste(target);
        if (format == "png")
            QVERIFY(data == m_png); // the stored bytes, not encoded again
        const QImage image = QImage::fromData(data, format.constData());
        QCOMPARE(image.convertToFormat(QImage::Format_ARGB32),
                 m_image.convertToFormat(QImage::Format_ARGB32));
    }
};

CORVANE_X11_TEST_MAIN(TestClipboardImage, .windowManager = false, .tray = false)
#include "tst_ClipboardImage.moc"
