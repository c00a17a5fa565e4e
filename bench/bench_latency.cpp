#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <xcb/xcb.h>

#include "testkit/XServer.h"

// End to end: from the capture hotkey leaving a key-injecting client to the first overlay
// window mapped by the running application. The baseline is the same injected key path
// ending at a passive grab of this harness, so the ratio is what the application adds.
namespace {

using Clock = std::chrono::steady_clock;

testkit::XServer *server = nullptr;
xcb_connection_t *connection = nullptr;
constexpr uint8_t kEight = 17; // X11 keycode of the "8" key

// Starts a key-injecting client; the caller waits for its effect, then for it to finish, so
// that no two injections overlap and leave modifiers in a mixed state.
std::unique_ptr<QProcess> inject(const QString &keys)
{
    auto process = std::make_unique<QProcess>();
    process->start(QStringLiteral("xdotool"), {QStringLiteral("key"), keys});
    return process;
}

void finish(std::unique_ptr<QProcess> process)
{
    process->waitForFinished(5000);
}

// Waits for the first event of the given type; false after five seconds.
bool waitFor(uint8_t type, Clock::time_point *at)
{
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < deadline) {
        while (xcb_generic_event_t *event = xcb_poll_for_event(connection)) {
            bool match = (event->response_type & 0x7f) == type;
            // Overlays bypass the window manager; other windows mapping are not captures.
            if (match && type == XCB_MAP_NOTIFY)
                match = reinterpret_cast<xcb_map_notify_event_t *>(event)->override_redirect;
            free(event);
            if (match) {
                *at = Clock::now();
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
}

void drain()
{
    while (xcb_generic_event_t *event = xcb_poll_for_event(connection))
        free(event);
}

void injectedKeyBaseline(benchmark::State &state)
{
    for (auto _ : state) {
        drain();
        const auto start = Clock::now();
        auto key = inject(QStringLiteral("shift+ctrl+8"));
        Clock::time_point seen;
        if (!waitFor(XCB_KEY_PRESS, &seen)) {
            state.SkipWithError("the injected key never arrived");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(seen - start).count());
        finish(std::move(key));
    }
}
BENCHMARK(injectedKeyBaseline)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

void hotKeyToOverlay(benchmark::State &state)
{
    for (auto _ : state) {
        drain();
        const auto start = Clock::now();
        auto key = inject(QStringLiteral("shift+ctrl+9"));
        Clock::time_point shown;
        if (!waitFor(XCB_MAP_NOTIFY, &shown)) {
            state.SkipWithError("no overlay appeared");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(shown - start).count());
        finish(std::move(key));
        Clock::time_point hidden;
        finish(inject(QStringLiteral("Escape")));
        waitFor(XCB_UNMAP_NOTIFY, &hidden);
    }
}
BENCHMARK(hotKeyToOverlay)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    testkit::XServer xserver(testkit::XServerOptions{.windowManager = true, .tray = true});
    QString error;
    if (!xserver.start(&error)) {
        std::fprintf(stderr, "X server did not start: %s\n", qPrintable(error));
        return 1;
    }
    server = &xserver;
    xserver.exportToProcess();

    QTemporaryDir home;
    QProcess corvane;
    testkit::dieWithParent(corvane);
    QProcessEnvironment env = xserver.environment();
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
    corvane.setProcessEnvironment(env);
    corvane.start(QStringLiteral(CORVANE_EXECUTABLE));

    connection = xcb_connect(nullptr, nullptr);
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection, root, XCB_CW_EVENT_MASK, &mask);
    xcb_grab_key(connection, 1, root, XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL, kEight,
                 XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
    xcb_flush(connection);

    // Ready once a hotkey press opens an overlay; that first capture also warms caches.
    bool ready = false;
    for (int attempt = 0; attempt < 20 && !ready; ++attempt) {
        drain();
        auto key = inject(QStringLiteral("shift+ctrl+9"));
        Clock::time_point at;
        ready = waitFor(XCB_MAP_NOTIFY, &at);
        finish(std::move(key));
    }
    if (!ready) {
        std::fprintf(stderr, "corvane did not answer its hotkey\n");
        return 1;
    }
    finish(inject(QStringLiteral("Escape")));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    xcb_disconnect(connection);
    corvane.terminate();
    corvane.waitForFinished(3000);
    return 0;
}
