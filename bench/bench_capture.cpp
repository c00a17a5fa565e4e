#include <benchmark/benchmark.h>

#include <cstdio>
#include <optional>

#include <QApplication>
#include <QPixmap>
#include <QScreen>

#include "capture/GetImageReader.h"
#include "capture/ScreenCapture.h"
#include "capture/ScreenCaptureReaders.h"
#include "capture/ShmGrabber.h"
#include "capture/X11Root.h"
#include "testkit/XServer.h"
#include "RunBenchmarks.h"

// One 3840x2160 screen, read every way there is. The raw shared-memory read is the floor
// the whole captureAll() path is measured against.
namespace {

QRect primaryRect()
{
    return ScreenCapture::nativeRect(QGuiApplication::primaryScreen());
}

void sharedMemoryReadOnly(benchmark::State &state)
{
    const std::optional<X11Root> root = X11Root::current();
    if (!root) {
        state.SkipWithError("no X11 root");
        return;
    }
    ShmGrabber grabber(root->connection);
    const QRect rect = primaryRect();
    for (auto _ : state) {
        const uchar *pixels = grabber.read(root->window, rect);
        if (!pixels) {
            state.SkipWithError("shared-memory read failed");
            break;
        }
        benchmark::DoNotOptimize(pixels);
    }
}
BENCHMARK(sharedMemoryReadOnly)->Unit(benchmark::kMillisecond);

void plainRead(benchmark::State &state)
{
    const std::optional<X11Root> root = X11Root::current();
    if (!root) {
        state.SkipWithError("no X11 root");
        return;
    }
    const QRect rect = primaryRect();
    for (auto _ : state) {
        const QImage image = GetImageReader::read(*root, rect);
        if (image.isNull()) {
            state.SkipWithError("plain read failed");
            break;
        }
        benchmark::DoNotOptimize(image.constBits());
    }
}
BENCHMARK(plainRead)->Unit(benchmark::kMillisecond);

void qtGrabWindow(benchmark::State &state)
{
    QScreen *screen = QGuiApplication::primaryScreen();
    for (auto _ : state) {
        const QPixmap pixmap = screen->grabWindow(0);
        if (pixmap.isNull()) {
            state.SkipWithError("grabWindow failed");
            break;
        }
        benchmark::DoNotOptimize(pixmap.cacheKey());
    }
}
BENCHMARK(qtGrabWindow)->Unit(benchmark::kMillisecond);

void captureAll(benchmark::State &state)
{
    for (auto _ : state) {
        const QList<ScreenShot> shots = ScreenCapture::captureAll();
        if (shots.size() != 1) {
            state.SkipWithError("captureAll() did not read the screen");
            break;
        }
        benchmark::DoNotOptimize(shots.front().image.constBits());
    }
}
BENCHMARK(captureAll)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    testkit::XServer server(testkit::XServerOptions{
        .width = 3840, .height = 2160, .windowManager = false, .tray = false, .processEnv = {}});
    QString error;
    if (!server.start(&error)) {
        std::fprintf(stderr, "X server did not start: %s\n", qPrintable(error));
        return 1;
    }
    server.exportToProcess();
    QApplication app(argc, argv);
    return runBenchmarks(argc, argv) ? 0 : 1;
}
