#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include <QCoreApplication>

#include "AppRun.h"
#include "RunBenchmarks.h"

// End to end at 3840x2160, with one such monitor and with two: from the capture hotkey
// leaving a key-injecting client to the first frame of every overlay window on screen (the
// server's first drawing into it, seen through the Damage extension). The baseline is the
// same injected key path ending at a passive grab of this harness, measured on the same
// server in the same run; overlay minus baseline is the time from the capture request on.
// The desktop shows a dozen windows of another program; with one monitor the first frame is
// measured again with the application told to record no windows, which shows what the
// recording of the windows at capture costs.
namespace {

using apprun::Clock;

constexpr uint8_t kEight = 17; // X11 keycode of the "8" key

struct Figures
{
    std::vector<double> key;
    std::vector<double> mapped;
    std::vector<double> frame;
    double firstAfterStart = 0;
};
std::map<int, Figures> figures;
// The first frames on one monitor with the windows recorded (true) and without.
std::map<bool, std::vector<double>> listing;
std::unique_ptr<apprun::App> app;

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// One application (and server) at a time; the first capture after its start is measured
// here, apart from the rest.
apprun::App *appFor(int monitors, benchmark::State &state, bool listWindows = true)
{
    if (app && app->monitors() == monitors && app->listsWindows() == listWindows)
        return app.get();
    app.reset();
    app = std::make_unique<apprun::App>(monitors, listWindows);
    QString error;
    if (!app->start(&error)) {
        state.SkipWithError(qPrintable(error));
        app.reset();
        return nullptr;
    }
    app->server().run(QStringLiteral("sh"),
                      {QStringLiteral("-c"),
                       QStringLiteral("for i in $(seq 12); do xmessage -geometry "
                                      "600x400+$((i * 150))+$((i * 90)) window >/dev/null 2>&1 "
                                      "& done")});
    xcb_connection_t *c = app->connection();
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    xcb_grab_key(c, 1, root, apprun::kHotKeyMask, kEight, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
    xcb_flush(c);
    Clock::time_point start;
    const auto first = app->capture(&start);
    if (!first || !app->close()) {
        state.SkipWithError("the first capture did not show its overlays");
        app.reset();
        return nullptr;
    }
    double last = 0;
    for (const apprun::Overlay &o : *first)
        last = std::max(last, apprun::ms(*o.firstFrame - start));
    if (listWindows)
        figures[monitors].firstAfterStart = last;
    return app.get();
}

void injectedKey(benchmark::State &state)
{
    const int monitors = int(state.range(0));
    apprun::App *a = appFor(monitors, state);
    if (!a)
        return;
    for (auto _ : state) {
        a->drain();
        a->lastKeyPress.reset();
        const auto start = Clock::now();
        QProcess xdotool;
        xdotool.start(QStringLiteral("xdotool"),
                      {QStringLiteral("key"), QStringLiteral("shift+ctrl+8")});
        if (!a->pump([a] { return a->lastKeyPress.has_value(); })) {
            state.SkipWithError("the injected key never arrived");
            return;
        }
        const double t = apprun::ms(*a->lastKeyPress - start);
        figures[monitors].key.push_back(t);
        state.SetIterationTime(t / 1000);
        xdotool.waitForFinished(5000);
    }
}

void hotKeyToFirstFrame(benchmark::State &state)
{
    const int monitors = int(state.range(0));
    const bool listWindows = state.range(1) != 0;
    apprun::App *a = appFor(monitors, state, listWindows);
    if (!a)
        return;
    Figures &f = figures[monitors];
    for (auto _ : state) {
        Clock::time_point start;
        const auto overlays = a->capture(&start);
        if (!overlays) {
            state.SkipWithError("no overlay reached the screen");
            return;
        }
        double mapped = 0, frame = 0;
        for (const apprun::Overlay &o : *overlays) {
            mapped = std::max(mapped, apprun::ms(*o.mapped - start));
            frame = std::max(frame, apprun::ms(*o.firstFrame - start));
        }
        if (monitors == 1)
            listing[listWindows].push_back(frame);
        if (listWindows) {
            f.mapped.push_back(mapped);
            f.frame.push_back(frame);
        }
        state.SetIterationTime(frame / 1000);
        if (!a->close()) {
            state.SkipWithError("Escape did not close the overlay");
            return;
        }
        // Lets the application settle after closing, as a person would.
        a->pump([start] { return Clock::now() - start > std::chrono::milliseconds(600); });
    }
    state.counters["mapped_ms"] = median(f.mapped);
    state.counters["first_after_start_ms"] = f.firstAfterStart;
}

BENCHMARK(injectedKey)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(hotKeyToFirstFrame)
    ->Args({1, 1})
    ->Args({1, 0})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20);
BENCHMARK(injectedKey)->Arg(2)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(hotKeyToFirstFrame)
    ->Args({2, 1})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20);

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    if (!runBenchmarks(argc, argv))
        return 1;
    app.reset();

    // Medians, and the time from the capture request on: the overlay's time less the key's.
    std::printf("\nmonitors  key(ms)  mapped(ms)  frame(ms)  frame/key  request->frame(ms)  "
                "first after start: request->frame(ms)\n");
    for (const auto &[monitors, f] : figures) {
        const double key = median(f.key), frame = median(f.frame);
        // Without its baseline (the injected key was skipped) a row is not worth printing.
        if (f.key.empty()) {
            std::printf("%8d  no baseline: run again\n", monitors);
            continue;
        }
        std::printf("%8d  %7.1f  %10.1f  %9.1f  %9.2f  %18.1f  %38.1f\n", monitors, key,
                    median(f.mapped), frame, frame / key, frame - key, f.firstAfterStart - key);
    }
    if (!listing[true].empty() && !listing[false].empty())
        std::printf("\none monitor, first frame (ms): windows recorded %.1f, not recorded %.1f, "
                    "recording %.1f\n",
                    median(listing[true]), median(listing[false]),
                    median(listing[true]) - median(listing[false]));
    return 0;
}
