#include <cmath>
#include <cstdio>
#include <iterator>

#include <QBuffer>
#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QProcess>
#include <QRandomGenerator>

#include <benchmark/benchmark.h>

#include "overlay/ClipboardImage.h"
#include "overlay/ImageEncoding.h"
#include "testkit/XServer.h"
#include "RunBenchmarks.h"

namespace {

testkit::XServer *server = nullptr;

void textBlock(QPainter &p, QRandomGenerator &rng, QRect r, QColor ink, int px)
{
    static const char *words[] = {"capture", "window", "selection", "the",      "of",    "build",
                                  "render",  "상태",   "저장",      "PNG",      "12:45", "settings",
                                  "overlay", "text",   "and",       "clipboard"};
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(px);
    p.setFont(font);
    p.setPen(ink);
    for (int y = r.top() + px; y < r.bottom(); y += px * 3 / 2) {
        QString line;
        while (line.size() < r.width() / (px / 2 + 1) - 8)
            line += QString::fromUtf8(words[rng.bounded(int(std::size(words)))]) + u' ';
        p.drawText(QPoint(r.left() + 10, y), line);
    }
}

// A busy 3840x2160 desktop as the output would hold it: a gradient wallpaper, overlapping
// windows with flat fills, title bars, many lines of antialiased text (light and dark),
// photo-like areas with grain, round icons and a taskbar.
const QImage &busyScreen()
{
    static const QImage image = [] {
        const QSize size(3840, 2160);
        QImage img(size, QImage::Format_RGBA8888_Premultiplied);
        QRandomGenerator rng(7);
        QPainter p(&img);
        QLinearGradient wallpaper(0, 0, size.width(), size.height());
        wallpaper.setColorAt(0, QColor(40, 70, 120));
        wallpaper.setColorAt(1, QColor(150, 90, 140));
        p.fillRect(img.rect(), wallpaper);
        p.setRenderHint(QPainter::Antialiasing);
        for (int i = 0; i < 7; ++i) {
            const QRect w(rng.bounded(size.width() - 1400), rng.bounded(size.height() - 900),
                          900 + rng.bounded(600), 500 + rng.bounded(500));
            p.fillRect(w.translated(8, 8), QColor(0, 0, 0, 60));
            p.fillRect(w, i % 3 == 1 ? QColor(30, 30, 34) : QColor(246, 246, 246));
            QLinearGradient title(w.topLeft(), w.topLeft() + QPoint(0, 56));
            title.setColorAt(0, QColor(230, 230, 235));
            title.setColorAt(1, QColor(200, 200, 210));
            p.fillRect(QRect(w.left(), w.top(), w.width(), 56), title);
            textBlock(p, rng, QRect(w.left(), w.top() + 4, w.width(), 50), Qt::black, 26);
            if (i % 3 == 2) {
                QImage photo(w.width() - 40, w.height() - 100, QImage::Format_RGB32);
                for (int y = 0; y < photo.height(); ++y) {
                    auto *line = reinterpret_cast<QRgb *>(photo.scanLine(y));
                    for (int x = 0; x < photo.width(); ++x) {
                        const int n = int(rng.bounded(12));
                        line[x] = qRgb(qBound(0, 120 + int(80 * std::sin(x / 90.0)) + n, 255),
                                       qBound(0, 110 + int(60 * std::cos(y / 70.0)) + n, 255),
                                       qBound(0, 90 + (x + y) / 40 % 100 + n, 255));
                    }
                }
                p.drawImage(w.left() + 20, w.top() + 80, photo);
            } else {
                const QColor ink = i % 3 == 1 ? QColor(180, 220, 160) : QColor(40, 40, 40);
                textBlock(p, rng, w.adjusted(0, 60, 0, 0), ink, 24 + rng.bounded(8));
            }
            p.setPen(Qt::NoPen);
            for (int k = 0; k < 12; ++k) {
                p.setBrush(QColor::fromHsv(rng.bounded(360), 180, 220));
                p.drawEllipse(QRect(w.right() - 60 - k * 60, w.top() + 12, 32, 32));
            }
        }
        p.fillRect(QRect(0, size.height() - 80, size.width(), 80), QColor(20, 20, 24, 230));
        textBlock(p, rng, QRect(0, size.height() - 80, size.width(), 80), Qt::white, 28);
        return img;
    }();
    return image;
}

QByteArray qtPng(const QImage &image)
{
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "png");
    return out;
}

// Baseline: Qt's PNG writer with its default settings.
void pngQtDefault(benchmark::State &state)
{
    QByteArray png;
    for (auto _ : state)
        benchmark::DoNotOptimize(png = qtPng(busyScreen()));
    state.counters["bytes"] = double(png.size());
}
BENCHMARK(pngQtDefault)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Iterations(5);

void pngFast(benchmark::State &state)
{
    QByteArray png;
    for (auto _ : state)
        benchmark::DoNotOptimize(png = ImageEncoding::encodePng(busyScreen()));
    state.counters["bytes"] = double(png.size());
    state.counters["size_vs_qt"] = double(png.size()) / double(qtPng(busyScreen()).size());
}
BENCHMARK(pngFast)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Iterations(20);

const QByteArray &busyPng()
{
    static const QByteArray png = ImageEncoding::encodePng(busyScreen());
    return png;
}

// Baseline for serving a paste: one plain copy of the PNG's bytes.
void pasteBaselineCopy(benchmark::State &state)
{
    for (auto _ : state) {
        QByteArray copy(busyPng().constData(), busyPng().size());
        benchmark::DoNotOptimize(copy.constData());
    }
}
BENCHMARK(pasteBaselineCopy)->Unit(benchmark::kMicrosecond);

// What the clipboard hands the windowing system for each "image/png" request.
void pasteServedData(benchmark::State &state)
{
    const ClipboardImage data(busyPng());
    for (auto _ : state) {
        const QByteArray served = data.data(QStringLiteral("image/png"));
        benchmark::DoNotOptimize(served.constData());
    }
}
BENCHMARK(pasteServedData)->Unit(benchmark::kMicrosecond);

// A paste from another program: xclip reads "image/png" through the X server while this
// process owns the clipboard. Includes starting xclip.
void readWithXclip(benchmark::State &state)
{
    for (auto _ : state) {
        QProcess xclip;
        xclip.start(QStringLiteral("xclip"),
                    {QStringLiteral("-selection"), QStringLiteral("clipboard"),
                     QStringLiteral("-t"), QStringLiteral("image/png"), QStringLiteral("-o")});
        QByteArray out;
        while (xclip.state() != QProcess::NotRunning || xclip.bytesAvailable() > 0) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
            xclip.waitForReadyRead(0);
            out += xclip.readAllStandardOutput();
        }
        if (out != busyPng())
            state.SkipWithError("xclip did not read the stored PNG");
    }
}

void pasteThroughX(benchmark::State &state)
{
    if (!server)
        return state.SkipWithError("no X server");
    QGuiApplication::clipboard()->setMimeData(new ClipboardImage(busyPng()));
    readWithXclip(state);
}
BENCHMARK(pasteThroughX)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

// Baseline for the paste through X: the same bytes served by xclip itself from its memory.
void pasteThroughXFromXclip(benchmark::State &state)
{
    if (!server)
        return state.SkipWithError("no X server");
    QProcess owner;
    owner.start(QStringLiteral("xclip"),
                {QStringLiteral("-selection"), QStringLiteral("clipboard"), QStringLiteral("-t"),
                 QStringLiteral("image/png"), QStringLiteral("-i")});
    owner.write(busyPng());
    owner.closeWriteChannel();
    owner.waitForFinished(); // xclip forks a child that holds the selection.
    readWithXclip(state);
}
BENCHMARK(pasteThroughXFromXclip)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

} // namespace

int main(int argc, char **argv)
{
    // The paste needs a real X server; encoding alone runs offscreen without one.
    testkit::XServer xserver(testkit::XServerOptions{.windowManager = false, .tray = false});
    QString error;
    if (xserver.start(&error)) {
        xserver.exportToProcess();
        server = &xserver;
    } else {
        std::fprintf(stderr, "no X server (%s): paste benchmarks skipped\n", qPrintable(error));
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication app(argc, argv);
    if (!runBenchmarks(argc, argv))
        return 1;
    return 0;
}
