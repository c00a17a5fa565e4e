#include <cstdlib>

#include <QGuiApplication>
#include <QImage>

#include <benchmark/benchmark.h>

#include "annotate/Drawing.h"
#include "RunBenchmarks.h"

namespace {

// A full 3840x2160 screen (1920x1080 points at scale 2) with varied content, as captured.
const QImage &screen()
{
    static const QImage image = [] {
        QImage img(3840, 2160, QImage::Format_RGB32);
        for (int y = 0; y < img.height(); ++y) {
            auto *line = reinterpret_cast<QRgb *>(img.scanLine(y));
            for (int x = 0; x < img.width(); ++x)
                line[x] = qRgb(x * 7 + y, (x ^ y) & 0xff, (x * y) >> 4);
        }
        return img;
    }();
    return image;
}

// The baseline: one plain copy of the whole image, close to a memcpy of 33 MB.
void copyScreen(benchmark::State &state)
{
    for (auto _ : state) {
        QImage copy = screen().copy();
        benchmark::DoNotOptimize(copy.constBits());
    }
}
BENCHMARK(copyScreen)->Unit(benchmark::kMillisecond);

void dimmedScreen(benchmark::State &state)
{
    for (auto _ : state) {
        QImage out = Drawing::dimmed(screen());
        benchmark::DoNotOptimize(out.constBits());
    }
}
BENCHMARK(dimmedScreen)->Unit(benchmark::kMillisecond);

// A mosaic over the whole screen: 192x108 blocks averaging every one of its 8.3 M pixels.
void pixelatedScreen(benchmark::State &state)
{
    for (auto _ : state) {
        auto out = Drawing::pixelated(screen(), QRectF(0, 0, 1920, 1080), 2, 10);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(pixelatedScreen)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QGuiApplication app(argc, argv);
    if (!runBenchmarks(argc, argv))
        return 1;
    return 0;
}
