#include "CaptureTest.h"

#include <QFile>
#include <QGuiApplication>
#include <QScreen>
#include <QTest>

#include <unistd.h>

#include "RootPattern.h"
#include "capture/GetImageReader.h"
#include "capture/ScreenCaptureReaders.h"
#include "capture/ServerCopy.h"
#include "capture/X11Root.h"
#include "testkit/XServer.h"

Q_DECLARE_METATYPE(ScreenCapture::Reader)

namespace {

constexpr int monitorWidth = 1920;
constexpr int monitorHeight = 1080;

// The first pixel where image differs from the pattern of the monitor whose left edge is at
// root x = left, compared as raw words (so the padding byte must be opaque too); empty when
// there is none.
QString firstDifference(const QImage &image, int left, bool inverted = false)
{
    if (image.format() != QImage::Format_RGB32)
        return QStringLiteral("format %1").arg(image.format());
    for (int y = 0; y < image.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const QRgb expected = RootPattern::at(left + x, y, inverted);
            if (line[x] != expected)
                return QStringLiteral("(%1,%2) is %3, expected %4")
                    .arg(x)
                    .arg(y)
                    .arg(line[x], 8, 16, QLatin1Char('0'))
                    .arg(expected, 8, 16, QLatin1Char('0'));
        }
    }
    return {};
}

// Shared-memory segments created by this process that still exist.
int ownSegments()
{
    QFile table(QStringLiteral("/proc/sysvipc/shm"));
    if (!table.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray pid = QByteArray::number(getpid());
    int count = 0;
    table.readLine();
    while (!table.atEnd()) {
        const QList<QByteArray> fields = table.readLine().simplified().split(' ');
        if (fields.size() > 4 && fields[4] == pid)
            ++count;
    }
    return count;
}

} // namespace

CaptureTest::CaptureTest(QList<qreal> scales) : m_scales(std::move(scales)) {}

void CaptureTest::initTestCase()
{
    const QList<QScreen *> screens = QGuiApplication::screens();
    QCOMPARE(screens.size(), 2);
    for (int i = 0; i < 2; ++i)
        QCOMPARE(screens[i]->devicePixelRatio(), m_scales[i]);
    QVERIFY(RootPattern::paint(testkit::serverOf(this).display()));
}

void CaptureTest::capturesEveryScreen_data()
{
    QTest::addColumn<ScreenCapture::Reader>("reader");
    QTest::newRow("automatic") << ScreenCapture::Reader::Automatic;
    QTest::newRow("shared memory") << ScreenCapture::Reader::SharedMemory;
    QTest::newRow("plain read") << ScreenCapture::Reader::GetImage;
    QTest::newRow("Qt grab") << ScreenCapture::Reader::QtGrab;
}

void CaptureTest::capturesEveryScreen()
{
    QFETCH(ScreenCapture::Reader, reader);
    const QList<QScreen *> screens = QGuiApplication::screens();
    const QList<ScreenShot> shots = ScreenCapture::captureAll(reader);
    QCOMPARE(shots.size(), screens.size());
    for (int i = 0; i < shots.size(); ++i) {
        QCOMPARE(shots[i].screen.data(), screens[i]);
        const QImage &image = shots[i].image;
        QCOMPARE(image.size(), QSize(monitorWidth, monitorHeight));
        QCOMPARE(screens[i]->geometry().width() * m_scales[i], qreal(image.width()));
        QCOMPARE(image.devicePixelRatio(), 1.0);
        QCOMPARE(firstDifference(image, i * monitorWidth), QString());
    }
}

void CaptureTest::plainReadInBands_data()
{
    QTest::addColumn<qsizetype>("maxBandBytes");
    QTest::newRow("server's limit") << qsizetype(0);
    QTest::newRow("uneven bands") << qsizetype(100'000);
    QTest::newRow("one row each") << qsizetype(1);
}

void CaptureTest::plainReadInBands()
{
    QFETCH(qsizetype, maxBandBytes);
    const std::optional<X11Root> root = X11Root::current();
    QVERIFY(root);
    const QRect right(monitorWidth, 0, monitorWidth, monitorHeight);
    const QImage image = GetImageReader::read(*root, right, maxBandBytes);
    QCOMPARE(image.size(), right.size());
    QCOMPARE(firstDifference(image, monitorWidth), QString());
}

void CaptureTest::imagesOutliveLaterCaptures()
{
    const QString display = testkit::serverOf(this).display();
    const QList<ScreenShot> before = ScreenCapture::captureAll();
    QVERIFY(RootPattern::paint(display, true));
    const QList<ScreenShot> after = ScreenCapture::captureAll();
    QVERIFY(RootPattern::paint(display));
    QCOMPARE(before.size(), 2);
    QCOMPARE(after.size(), 2);
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(firstDifference(before[i].image, i * monitorWidth), QString());
        QCOMPARE(firstDifference(after[i].image, i * monitorWidth, true), QString());
    }
}

// The read of a frozen screen lends its memory to the image; a capture made while the image
// lives must not write into it.
void CaptureTest::frozenScreensReadAsFrozen()
{
    const QString display = testkit::serverOf(this).display();
    const QList<ScreenShot> frozen = ScreenCapture::freezeAll();
    QVERIFY(RootPattern::paint(display, true));
    QList<QImage> read;
    for (const ScreenShot &shot : frozen)
        read.append(shot.serverCopy ? shot.serverCopy->read() : QImage());
    const QList<ScreenShot> later = ScreenCapture::captureAll();
    QVERIFY(RootPattern::paint(display));
    QCOMPARE(read.size(), 2);
    QCOMPARE(later.size(), 2);
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(firstDifference(read[i], i * monitorWidth), QString());
        QCOMPARE(firstDifference(later[i].image, i * monitorWidth, true), QString());
    }
}

void CaptureTest::segmentsFollowTheScreens()
{
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(ScreenCapture::captureAll(ScreenCapture::Reader::SharedMemory).size(), 2);
        QCOMPARE(ownSegments(), 2);
    }
    QCOMPARE(testkit::serverOf(this).run(QStringLiteral("xrandr"),
                                         {QStringLiteral("--delmonitor"), QStringLiteral("RIGHT")}),
             0);
    QVERIFY(testkit::waitUntil([] { return QGuiApplication::screens().size() == 1; }, 5000));
    const QList<ScreenShot> shots = ScreenCapture::captureAll(ScreenCapture::Reader::SharedMemory);
    QCOMPARE(shots.size(), 1);
    QCOMPARE(firstDifference(shots[0].image, 0), QString());
    QVERIFY(testkit::waitUntil([] { return ownSegments() == 1; }, 5000));
}
