#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <xcb/xcb.h>

#include "testkit/XServer.h"
#include "RunBenchmarks.h"

// Start to tray icon at 1920x1080 (Xvfb, openbox, trayer): from the start of the process to
// the map of its window after the tray host took it in, for the built application and for the
// smallest Qt program with a tray icon, started by turns so that both see the same load. The
// processor time each spent until then, and how long it waited for a processor, tell the
// work from the machine's load.
namespace {

using Clock = std::chrono::steady_clock;

struct Launch
{
    double wallMs = 0;
    // Of the time to the icon, what the process's threads ran and waited for a processor.
    double cpuMs = 0;
    double queuedMs = 0;
};

// Adds the run and run-queue times of every thread of pid so far (/proc/PID/task/*/schedstat).
void addSchedStat(qint64 pid, Launch *launch)
{
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile file(tasks.filePath(task + QStringLiteral("/schedstat")));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> fields = file.readAll().split(' ');
        if (fields.size() >= 2) {
            launch->cpuMs += fields[0].toDouble() / 1e6;
            launch->queuedMs += fields[1].toDouble() / 1e6;
        }
    }
}

// From starting program to the map of a window of its that the tray host reparented;
// nothing after ten seconds.
std::optional<Launch> timeToTray(const testkit::XServer &server, const QString &program)
{
    xcb_connection_t *c = xcb_connect(nullptr, nullptr);
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &mask);
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));

    QTemporaryDir home;
    QProcessEnvironment env = server.environment();
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
    QProcess process;
    testkit::dieWithParent(process);
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const auto start = Clock::now();
    process.start(program);
    std::optional<Launch> result;
    std::set<xcb_window_t> created, docked;
    const auto deadline = start + std::chrono::seconds(10);
    while (!result && Clock::now() < deadline) {
        while (xcb_generic_event_t *event = xcb_poll_for_event(c)) {
            const uint8_t type = event->response_type & 0x7f;
            if (type == XCB_CREATE_NOTIFY) {
                const auto *e = reinterpret_cast<xcb_create_notify_event_t *>(event);
                const uint32_t own = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
                xcb_change_window_attributes(c, e->window, XCB_CW_EVENT_MASK, &own);
                xcb_flush(c);
                created.insert(e->window);
            } else if (type == XCB_REPARENT_NOTIFY) {
                const auto *e = reinterpret_cast<xcb_reparent_notify_event_t *>(event);
                if (created.count(e->window) && e->parent != root)
                    docked.insert(e->window);
            } else if (type == XCB_MAP_NOTIFY) {
                const auto *e = reinterpret_cast<xcb_map_notify_event_t *>(event);
                if (docked.count(e->window)) {
                    result = Launch{
                        std::chrono::duration<double, std::milli>(Clock::now() - start).count()};
                    addSchedStat(process.processId(), &*result);
                }
            }
            free(event);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    process.terminate();
    process.waitForFinished(3000);
    xcb_disconnect(c);
    return result;
}

double median(std::vector<double> values)
{
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

void startToTray(benchmark::State &state)
{
    testkit::XServer server;
    QString error;
    if (!server.start(&error)) {
        state.SkipWithError(qPrintable(error));
        return;
    }
    server.exportToProcess();
    std::vector<double> minimal, own, ratios, minimalCpu, ownCpu, ownQueued;
    int unmapped = 0;
    for (auto _ : state) {
        const std::optional<Launch> base = timeToTray(server, QStringLiteral(MINIMAL_TRAY));
        const std::optional<Launch> app = timeToTray(server, QStringLiteral(CORVANE_EXECUTABLE));
        // A launch whose icon the tray host never shows is counted, not timed.
        if (!base || !app) {
            ++unmapped;
            continue;
        }
        state.SetIterationTime(app->wallMs / 1000);
        minimal.push_back(base->wallMs);
        own.push_back(app->wallMs);
        ratios.push_back(app->wallMs / base->wallMs);
        minimalCpu.push_back(base->cpuMs);
        ownCpu.push_back(app->cpuMs);
        ownQueued.push_back(app->queuedMs);
    }
    if (own.empty()) {
        state.SkipWithError("no tray icon was mapped");
        return;
    }
    const auto [low, high] = std::minmax_element(own.begin(), own.end());
    state.counters["corvane_ms"] = median(own);
    state.counters["min_ms"] = *low;
    state.counters["max_ms"] = *high;
    state.counters["minimal_ms"] = median(minimal);
    state.counters["ratio"] = median(ratios);
    state.counters["corvane_cpu_ms"] = median(ownCpu);
    state.counters["minimal_cpu_ms"] = median(minimalCpu);
    state.counters["corvane_queued_ms"] = median(ownQueued);
    state.counters["unmapped"] = unmapped;
}
BENCHMARK(startToTray)->UseManualTime()->Iterations(15)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    return runBenchmarks(argc, argv) ? 0 : 1;
}
