#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>

#include <chrono>
#include <ctime>

#include <QApplication>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

#include <xcb/xcb.h>

#include "annotate/Tool.h"
#include "capture/ScreenCapture.h"
#include "overlay/OverlayView.h"
#include "overlay/OverlayWindow.h"
#include "RunBenchmarks.h"
#include "testkit/XServer.h"

// The paint work of one pointer step on a 3840x2160 overlay (1920x1080 points at scale 2) on
// a private X server: the view is driven with real mouse events, the area it marks for
// repainting is recorded, and painting that area is timed. The time is the painting thread's
// CPU time (drawing the chrome, sending the copies); with_server_ms adds waiting until the server
// has done its part, and raster_ms is the same area painted whole by the client, as a raster
// backing store would, next to the full repaint measured in the same run.
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

struct Overlay
{
    std::unique_ptr<OverlayWindow> window;
    OverlayView *view = nullptr;
    DirtyRecorder recorder;
    QImage target{3840, 2160, QImage::Format_RGB32};

    Overlay()
    {
        window = std::make_unique<OverlayWindow>(ScreenCapture::freezeAll().front(), nullptr);
        view = window->overlayView();
        window->showOverlay();
        view->readScreenImage();
        view->installEventFilter(&recorder);
        // The server's exposures of the new window arrive a moment after the map.
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
        while (std::chrono::steady_clock::now() < until)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
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
        QCoreApplication::sendEvent(view, &event);
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

double millisecondsOf(int times, const std::function<void()> &work)
{
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < times; ++i)
        work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
               .count() /
           times;
}

double threadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

void waitForServer()
{
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t *c = x11->connection();
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

void paint(benchmark::State &state, const QRegion &dirty)
{
    const QRect r = dirty.boundingRect();
    // The painting thread's own CPU time: Qt's X event thread and the server are not paint work.
    for (auto _ : state) {
        const double before = threadCpuSeconds();
        overlay->view->paintOnServer(dirty);
        state.SetIterationTime(threadCpuSeconds() - before);
    }
    waitForServer();
    state.counters["with_server_ms"] = millisecondsOf(20, [&] {
        overlay->view->paintOnServer(dirty);
        waitForServer();
    });
    state.counters["raster_ms"] = millisecondsOf(20, [&] {
        QPainter painter(&overlay->target);
        overlay->view->drawContents(painter, r);
    });
    const double s = overlay->view->scale();
    state.counters["dirty_px"] = r.width() * s * r.height() * s;
    state.counters["dirty_of_screen"] =
        double(r.width()) * r.height() / (double(overlay->view->width()) * overlay->view->height());
}

void fullRepaint(benchmark::State &state)
{
    overlay = std::make_unique<Overlay>();
    paint(state, QRegion(overlay->view->rect()));
    if (!overlay->view->paintFromServer())
        state.SkipWithError("the view does not paint from the server's copy");
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

BENCHMARK(fullRepaint)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(moveStep)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(resizeStep)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(penStep)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(mosaicStep)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    // One 3840x2160 screen at scale 2, without a window manager: the overlay bypasses it.
    testkit::XServer server({.width = 3840,
                             .height = 2160,
                             .windowManager = false,
                             .tray = false,
                             .processEnv = {{"QT_SCALE_FACTOR", "2"}}});
    QString error;
    if (!server.start(&error)) {
        std::fprintf(stderr, "bench_paint: %s\n", qPrintable(error));
        return 1;
    }
    server.exportToProcess();
    QApplication app(argc, argv);
    if (!runBenchmarks(argc, argv))
        return 1;
    overlay.reset();
    return 0;
}
