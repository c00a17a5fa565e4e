#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <vector>

#include <QApplication>
#include <QPixmap>
#include <QScreen>

#include "capture/GetImageReader.h"
#include "capture/ScreenCapture.h"
#include "capture/ScreenCaptureReaders.h"
#include "capture/ServerCopy.h"
#include "capture/ShmGrabber.h"
#include "capture/X11Root.h"
#include "testkit/XServer.h"
#include "RunBenchmarks.h"

// One 3840x2160 screen, read every way there is. The raw shared-memory read is the floor
// the whole captureAll() path and the read of the overlay's frozen screen are measured
// against.
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
BENCHMARK(sharedMemoryReadOnly)->UseRealTime()->Unit(benchmark::kMillisecond);

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
BENCHMARK(plainRead)->UseRealTime()->Unit(benchmark::kMillisecond);

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
BENCHMARK(qtGrabWindow)->UseRealTime()->Unit(benchmark::kMillisecond);

// Each iteration times the raw shared-memory read of the same screen right before the path
// measured, so that the ratio compares the two under the same load: "floor_ms" is the read,
// "ratio" the median of the per-iteration quotients.
template<typename Read> void againstSharedMemory(benchmark::State &state, Read read)
{
    const std::optional<X11Root> root = X11Root::current();
    if (!root) {
        state.SkipWithError("no X11 root");
        return;
    }
    ShmGrabber floor(root->connection);
    const QRect rect = primaryRect();
    std::vector<double> floors, ratios;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(floor.read(root->window, rect));
        const auto middle = std::chrono::steady_clock::now();
        if (!read()) {
            state.SkipWithError("the read failed");
            return;
        }
        const std::chrono::duration<double> base = middle - start;
        const std::chrono::duration<double> own = std::chrono::steady_clock::now() - middle;
        state.SetIterationTime(own.count());
        floors.push_back(base.count() * 1000);
        ratios.push_back(own / base);
    }
    const auto median = [](std::vector<double> values) {
        std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
        return values[values.size() / 2];
    };
    state.counters["floor_ms"] = median(floors);
    state.counters["ratio"] = median(ratios);
}

void captureAll(benchmark::State &state)
{
    againstSharedMemory(state, [] {
        const QList<ScreenShot> shots = ScreenCapture::captureAll();
        return shots.size() == 1 && !shots.front().image.isNull();
    });
}
BENCHMARK(captureAll)->UseManualTime()->Unit(benchmark::kMillisecond);

// The read the overlay makes of its frozen screen, after the frame from the server's copy.
void serverCopyRead(benchmark::State &state)
{
    const QList<ScreenShot> shots = ScreenCapture::freezeAll();
    if (shots.size() != 1 || !shots.front().serverCopy) {
        state.SkipWithError("no server copy");
        return;
    }
    againstSharedMemory(state, [&shots] { return !shots.front().serverCopy->read().isNull(); });
}
BENCHMARK(serverCopyRead)->UseManualTime()->Unit(benchmark::kMillisecond);

// The same read into a segment made for it and released after, as when nothing is kept
// between captures: what keeping a segment per screen saves.
void serverCopyReadFresh(benchmark::State &state)
{
    const QList<ScreenShot> shots = ScreenCapture::freezeAll();
    if (shots.size() != 1 || !shots.front().serverCopy) {
        state.SkipWithError("no server copy");
        return;
    }
    const ServerCopy &copy = *shots.front().serverCopy;
    const std::optional<X11Root> root = X11Root::current();
    againstSharedMemory(state, [&copy, &root] {
        ShmGrabber grabber(copy.connection);
        return !grabber.lend(copy.pixmap, root->visual, QRect(QPoint(), copy.size)).isNull();
    });
}
BENCHMARK(serverCopyReadFresh)->UseManualTime()->Unit(benchmark::kMillisecond);

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
