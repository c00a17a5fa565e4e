#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>

#include <QApplication>
#include <QFile>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScreen>
#include <QTemporaryDir>

#include "annotate/Tool.h"
#include "capture/ScreenShot.h"
#include "overlay/OverlayView.h"
#include "RunBenchmarks.h"

// The paint work of one pointer step on a 3840x2160 overlay (1920x1080 points at scale 2):
// the view is driven with real mouse events, the area it marks for repainting is recorded,
// and drawContents() of that area is timed against the full repaint measured in the same run.
namespace {

// Records the areas the view asks to repaint instead of painting them.
class DirtyRecorder : public QObject
{
public:
    QRegion dirty;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() != QEvent::Paint)
            return false;
        dirty += static_cast<QPaintEvent *>(event)->region();
        return true;
    }
};

QImage screenPicture()
{
    QImage image(3840, 2160, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            line[x] = qRgb(x * 7 + y, (x ^ y) & 0xff, (x * y) >> 4);
    }
    return image;
}

struct Overlay
{
    std::unique_ptr<OverlayView> view;
    DirtyRecorder recorder;
    QImage target{3840, 2160, QImage::Format_RGB32};

    Overlay()
    {
        view = std::make_unique<OverlayView>(
            ScreenShot{QGuiApplication::primaryScreen(), screenPicture()}, nullptr);
        view->installEventFilter(&recorder);
        view->show();
        target.setDevicePixelRatio(view->scale());
        target.fill(Qt::black);
        settle();
        // A 600x400-point selection, idle, with both bars shown.
        press({500, 300});
        move({800, 500});
        move({1100, 700});
        release();
    }

    void send(QEvent::Type type, QPointF p, Qt::MouseButton button, Qt::MouseButtons buttons)
    {
        QMouseEvent event(type, p, view->mapToGlobal(p), button, buttons, Qt::NoModifier);
        QCoreApplication::sendEvent(view.get(), &event);
    }
    void press(QPointF p)
    {
        m_last = p;
        send(QEvent::MouseButtonPress, p, Qt::LeftButton, Qt::LeftButton);
    }
    void move(QPointF p)
    {
        m_last = p;
        send(QEvent::MouseMove, p, Qt::NoButton, Qt::LeftButton);
    }
    void release() { send(QEvent::MouseButtonRelease, m_last, Qt::LeftButton, Qt::NoButton); }
    void click(QPointF p)
    {
        press(p);
        send(QEvent::MouseButtonRelease, p, Qt::LeftButton, Qt::NoButton);
    }
    void chooseTool(Tool tool)
    {
        const auto &tools = OverlayView::drawTools();
        for (size_t i = 0; i < tools.size(); ++i) {
            if (tools[i].tool == tool)
                click(view->toolCell(int(i)).center());
        }
    }

    // The area that one more pointer step to p marks for repainting.
    QRegion step(QPointF p)
    {
        settle();
        move(p);
        QCoreApplication::processEvents();
        return recorder.dirty;
    }
    void settle()
    {
        QCoreApplication::processEvents();
        recorder.dirty = QRegion();
    }

    QPointF m_last;
};

std::unique_ptr<Overlay> overlay;

void paint(benchmark::State &state, const QRegion &dirty)
{
    const QRect r = dirty.boundingRect();
    for (auto _ : state) {
        QPainter painter(&overlay->target);
        overlay->view->drawContents(painter, r);
    }
    const double s = overlay->view->scale();
    state.counters["dirty_px"] = r.width() * s * r.height() * s;
    state.counters["dirty_of_screen"] =
        double(r.width()) * r.height() / (double(overlay->view->width()) * overlay->view->height());
}

void fullRepaint(benchmark::State &state)
{
    overlay = std::make_unique<Overlay>();
    paint(state, QRegion(overlay->view->rect()));
}

void moveStep(benchmark::State &state)
{
    overlay = std::make_unique<Overlay>();
    overlay->press({800, 500});
    overlay->move({820, 510});
    paint(state, overlay->step({821, 511}));
}

void resizeStep(benchmark::State &state)
{
    overlay = std::make_unique<Overlay>();
    overlay->press({1100, 700});
    overlay->move({1150, 740});
    paint(state, overlay->step({1151, 741}));
}

void drawingStep(benchmark::State &state, Tool tool)
{
    overlay = std::make_unique<Overlay>();
    overlay->chooseTool(tool);
    overlay->press({520, 320});
    // A stroke of 300 steps across the selection, then the measured step.
    for (int i = 1; i <= 300; ++i)
        overlay->move({520.0 + i * 1.5, 320.0 + i});
    paint(state, overlay->step({971, 621}));
}
void penStep(benchmark::State &state)
{
    drawingStep(state, Tool::pen);
}
void mosaicStep(benchmark::State &state)
{
    drawingStep(state, Tool::mosaic);
}

BENCHMARK(fullRepaint)->Unit(benchmark::kMillisecond);
BENCHMARK(moveStep)->Unit(benchmark::kMillisecond);
BENCHMARK(resizeStep)->Unit(benchmark::kMillisecond);
BENCHMARK(penStep)->Unit(benchmark::kMillisecond);
BENCHMARK(mosaicStep)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    // One 1920x1080-point screen at scale 2.
    QTemporaryDir dir;
    QFile config(dir.filePath(QStringLiteral("screens.json")));
    if (!config.open(QIODevice::WriteOnly))
        return 1;
    config.write(R"({"screens": [{"name": "4K", "x": 0, "y": 0, "width": 1920, "height": 1080,
                     "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 2}]})");
    config.close();
    const QByteArray platform = "offscreen:configfile=" + config.fileName().toLocal8Bit();
    setenv("QT_QPA_PLATFORM", platform.constData(), 1);
    QApplication app(argc, argv);
    QApplication::setAttribute(Qt::AA_Use96Dpi);
    if (!runBenchmarks(argc, argv))
        return 1;
    overlay.reset();
    return 0;
}
