#include <QApplication>
#include <QScreen>
#include <QTest>

#include <algorithm>

#include <unistd.h>

#include "capture/GetImageReader.h"
#include "capture/PixelLayout.h"
#include "capture/ScreenCaptureReaders.h"
#include "capture/ServerCopy.h"
#include "capture/X11Root.h"
#include "testkit/Files.h"
#include "testkit/RootPattern.h"
#include "testkit/XServer.h"

namespace {

constexpr int monitorWidth = 1920;
constexpr int monitorHeight = 1080;

// How image differs from the pattern of the monitor whose left edge is at root x = left: its
// size or format, or its first pixel, compared as raw words (so the padding byte must be
// opaque too); empty when it does not.
QString firstDifference(const QImage &image, int left, bool inverted = false)
{
    if (image.size() != QSize(monitorWidth, monitorHeight))
        return QStringLiteral("size %1x%2").arg(image.width()).arg(image.height());
    if (image.format() != QImage::Format_RGB32)
        return QStringLiteral("format %1").arg(image.format());
    for (int y = 0; y < image.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const QRgb expected = RootPattern::at(left + x, y, inverted);
            if (line[x] != expected)
                return QString::asprintf("(%d,%d) is %08x, expected %08x", x, y, line[x], expected);
        }
    }
    return {};
}

// Shared-memory segments created by this process that still exist.
int ownSegments()
{
    const QByteArray pid = QByteArray::number(getpid());
    const QList<QByteArray> rows = testkit::readFile("/proc/sysvipc/shm").split('\n');
    // The fifth field is the creator's process id; the first row names the fields.
    return int(std::count_if(rows.begin() + 1, rows.end(), [&](const QByteArray &row) {
        return row.simplified().split(' ').value(4) == pid;
    }));
}

// How the executable runs, named by CORVANE_CAPTURE_SETUP: two 1920x1080 monitors side by
// side on one X screen (LEFT primary, RIGHT beside it) at the scales Qt gives them, or a server
// without shared memory; one executable per run, as Qt reads the scale once, at start-up.
struct Setup
{
    QByteArray name;
    QList<qreal> scales;
    QMap<QByteArray, QByteArray> env;
    QStringList xvfbArgs;
};

const Setup &currentSetup()
{
    static const Setup setups[] = {
        {"", {1, 1}},
        {"mixedscale", {2, 1}, {{"QT_SCREEN_SCALE_FACTORS", "LEFT=2;RIGHT=1"}}},
        {"scale2", {2, 2}, {{"QT_SCALE_FACTOR", "2"}}},
        // Points that are no whole number of pixels (1920 / 1.4).
        {"scale1.4", {1.4, 1.4}, {{"QT_SCALE_FACTOR", "1.4"}}},
        {"noshm", {1, 1}, {}, {"-extension", "MIT-SHM"}},
    };
    const QByteArray name = qgetenv("CORVANE_CAPTURE_SETUP");
    const auto setup = std::ranges::find(setups, name, &Setup::name);
    if (setup == std::end(setups))
        qFatal("no set-up %s", name.constData());
    return *setup;
}

} // namespace

// Captures of the root showing RootPattern; every expectation holds at any of the set-ups.
class CaptureTest : public QObject
{
    Q_OBJECT

    const Setup &setup = currentSetup();
    const bool shm = !setup.xvfbArgs.contains("MIT-SHM");

private slots:
    void initTestCase()
    {
        const QList<QScreen *> screens = QGuiApplication::screens();
        QCOMPARE(screens.size(), 2);
        for (int i = 0; i < 2; ++i)
            QCOMPARE(screens[i]->devicePixelRatio(), setup.scales[i]);
        QVERIFY(RootPattern::paint(testkit::serverOf(this).display()));
    }

    // Without the shared-memory extension only that reader fails; the others fall back. The
    // automatic choice is what imagesOutliveLaterCaptures() reads with. The readers read in the
    // default bands, which do not divide a screen's rows evenly; last, a plain read in bands of
    // a single row, the least a read is split into.
    void capturesEveryScreen()
    {
        using enum ScreenCapture::Reader;
        for (const ScreenCapture::Reader reader : {SharedMemory, GetImage, QtGrab}) {
            const QList<ScreenShot> shots = ScreenCapture::captureAll(reader);
            QCOMPARE(shots.size(), shm || reader != SharedMemory ? 2 : 0);
            for (int i = 0; i < shots.size(); ++i) {
                QCOMPARE(shots[i].screen.data(), QGuiApplication::screens().at(i));
                QCOMPARE(shots[i].image.devicePixelRatio(), 1.0);
                QCOMPARE(firstDifference(shots[i].image, i * monitorWidth), QString());
            }
        }
        const std::optional<X11Root> root = X11Root::current();
        QVERIFY(root);
        const QRect right(monitorWidth, 0, monitorWidth, monitorHeight);
        QCOMPARE(firstDifference(GetImageReader::read(*root, right, 1), monitorWidth), QString());
    }

    // The pixel conversion, also for the server layouts that the test server does not have.
    void convertsServerPixels()
    {
        // Whether the server sends the most significant byte first, whether the visual is BGR,
        // and red 0x11, green 0x22, blue 0x33 as that server lays it out in memory.
        const std::tuple<bool, bool, QByteArray> layouts[] = {
            {false, false, QByteArray("\x33\x22\x11\x00", 4)},
            {true, false, QByteArray("\x00\x11\x22\x33", 4)},
            {false, true, QByteArray("\x11\x22\x33\x00", 4)},
            {true, true, QByteArray("\x00\x33\x22\x11", 4)}};
        for (const auto &[msbFirstServer, bgrVisual, pixel] : layouts) {
            const PixelLayout layout{.swapBytes =
                                         msbFirstServer == (Q_BYTE_ORDER == Q_LITTLE_ENDIAN),
                                     .swapRedBlue = bgrVisual};
            // Two padded source rows of eleven pixels into rows 1 and 2 of the image: rows that
            // start off vector alignment and end in a remainder.
            const QByteArray row = pixel.repeated(11) + QByteArray(4, '\xee');
            QImage image(11, 3, QImage::Format_RGB32);
            image.fill(qRgb(1, 2, 3));
            layout.copyRows(reinterpret_cast<const uchar *>((row + row).constData()), row.size(),
                            image, 1, 2);
            for (int y = 0; y < 3; ++y) {
                const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
                for (int x = 0; x < 11; ++x)
                    QCOMPARE(line[x], y == 0 ? qRgb(1, 2, 3) : qRgb(0x11, 0x22, 0x33));
            }
        }
    }

    // Images stay as read while later captures are made; the read of a frozen screen lends
    // its memory to the image, which a later capture must not write into either.
    void imagesOutliveLaterCaptures()
    {
        const QList<ScreenShot> before = ScreenCapture::captureAll();
        const QList<ScreenShot> frozen = ScreenCapture::freezeAll();
        QVERIFY(RootPattern::paint(testkit::serverOf(this).display(), true));
        QList<QImage> read;
        for (const ScreenShot &shot : frozen)
            read.append(shot.serverCopy ? shot.serverCopy->read() : QImage());
        const QList<ScreenShot> after = ScreenCapture::captureAll();
        QVERIFY(RootPattern::paint(testkit::serverOf(this).display()));
        // A missing image shows as one of size 0x0.
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(firstDifference(before.value(i).image, i * monitorWidth), QString());
            QCOMPARE(firstDifference(read.value(i), i * monitorWidth), QString());
            QCOMPARE(firstDifference(after.value(i).image, i * monitorWidth, true), QString());
        }
    }

    // Changes the monitors, so it runs last.
    void segmentsFollowTheScreens()
    {
        if (!shm)
            QSKIP("no shared memory");
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(ScreenCapture::captureAll(ScreenCapture::Reader::SharedMemory).size(), 2);
            QCOMPARE(ownSegments(), 2);
        }
        QCOMPARE(testkit::serverOf(this).run("xrandr", {"--delmonitor", "RIGHT"}), 0);
        QVERIFY(testkit::waitUntil([] { return QGuiApplication::screens().size() == 1; }, 5000));
        const auto shots = ScreenCapture::captureAll(ScreenCapture::Reader::SharedMemory);
        QCOMPARE(shots.size(), 1);
        QCOMPARE(firstDifference(shots[0].image, 0), QString());
        QVERIFY(testkit::waitUntil([] { return ownSegments() == 1; }, 5000));
    }
};

CORVANE_X11_TEST_MAIN(CaptureTest, .windowManager = false, .tray = false, .twoMonitors = true,
                      .xvfbArgs = currentSetup().xvfbArgs, .processEnv = currentSetup().env)
#include "tst_ScreenCapture.moc"
