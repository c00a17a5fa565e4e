#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include <QCoreApplication>
#include <QFile>

#include <xcb/res.h>

#include "AppRun.h"
#include "RunBenchmarks.h"

// Memory of the running application around one 3840x2160 overlay: the process's resident
// size (/proc/<pid>/status) and the pixmaps the X server holds for it (X-Resource), idle
// before the first capture (the baseline), while an overlay is open without and with a
// selection, and a few seconds after each of twenty captures closed.
namespace {

using apprun::Clock;

constexpr double kMiB = 1024.0 * 1024.0;

struct Sample
{
    double rss = 0;
    double anon = 0;
    double shmem = 0;
    double pixmaps = 0;
};

double statusField(const QByteArray &status, const char *name)
{
    for (const QByteArray &line : status.split('\n')) {
        if (line.startsWith(name))
            return line.mid(qstrlen(name)).trimmed().split(' ').front().toDouble() / 1024.0;
    }
    return 0;
}

// The resource base of the application's X client, or 0: the client whose resource range
// holds one of the windows the process made.
uint32_t clientOf(apprun::App &app)
{
    QByteArray ids;
    app.server().run(
        QStringLiteral("xdotool"),
        {QStringLiteral("search"), QStringLiteral("--pid"), QString::number(app.pid())}, &ids);
    const uint32_t window = ids.split('\n').front().trimmed().toUInt();
    xcb_connection_t *c = app.connection();
    auto *reply = xcb_res_query_clients_reply(c, xcb_res_query_clients(c), nullptr);
    if (!reply)
        return 0;
    uint32_t client = 0;
    for (auto it = xcb_res_query_clients_clients_iterator(reply); window && it.rem;
         xcb_res_client_next(&it)) {
        if ((window & ~it.data->resource_mask) == it.data->resource_base)
            client = it.data->resource_base;
    }
    free(reply);
    return client;
}

Sample sample(apprun::App &app)
{
    Sample s;
    QFile status(QStringLiteral("/proc/%1/status").arg(app.pid()));
    if (status.open(QIODevice::ReadOnly)) {
        const QByteArray text = status.readAll();
        s.rss = statusField(text, "VmRSS:");
        s.anon = statusField(text, "RssAnon:");
        s.shmem = statusField(text, "RssShmem:");
    }
    xcb_connection_t *c = app.connection();
    if (const uint32_t client = clientOf(app)) {
        auto *reply = xcb_res_query_client_pixmap_bytes_reply(
            c, xcb_res_query_client_pixmap_bytes(c, client), nullptr);
        if (reply) {
            s.pixmaps =
                (double(reply->bytes) + double(reply->bytes_overflow) * 4294967296.0) / kMiB;
            free(reply);
        }
    }
    return s;
}

void settle(apprun::App &app, int ms)
{
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    app.pump([until] { return Clock::now() > until; });
}

void print(const char *what, const Sample &s, const Sample &idle)
{
    std::printf("%-28s  %8.1f  %8.1f  %8.1f  %10.1f  %13.1f  %8.2f\n", what, s.rss, s.anon, s.shmem,
                s.pixmaps, s.rss + s.pixmaps - idle.rss - idle.pixmaps,
                (s.rss + s.pixmaps) / (idle.rss + idle.pixmaps));
}

void overlayMemory(benchmark::State &state)
{
    apprun::App app(1);
    QString error;
    if (!app.start(&error)) {
        state.SkipWithError(qPrintable(error));
        return;
    }
    settle(app, 4000);
    const Sample idle = sample(app);
    Sample open, selected, closed, worstClosed;
    std::vector<double> afterEach;
    for (auto _ : state) {
        Clock::time_point start;
        if (!app.capture(&start)) {
            state.SkipWithError("no overlay reached the screen");
            return;
        }
        settle(app, 1000);
        const Sample o = sample(app);
        app.pointer({QStringLiteral("mousemove"), QStringLiteral("600"), QStringLiteral("400"),
                     QStringLiteral("mousedown"), QStringLiteral("1"), QStringLiteral("mousemove"),
                     QStringLiteral("1800"), QStringLiteral("1000"), QStringLiteral("mousemove"),
                     QStringLiteral("2400"), QStringLiteral("1500"), QStringLiteral("mouseup"),
                     QStringLiteral("1")});
        settle(app, 1000);
        const Sample s = sample(app);
        if (!app.close()) {
            state.SkipWithError("Escape did not close the overlay");
            return;
        }
        settle(app, 3000);
        const Sample c = sample(app);
        if (o.rss + o.pixmaps > open.rss + open.pixmaps)
            open = o;
        if (s.rss + s.pixmaps > selected.rss + selected.pixmaps)
            selected = s;
        if (c.rss + c.pixmaps > worstClosed.rss + worstClosed.pixmaps)
            worstClosed = c;
        closed = c;
        afterEach.push_back(c.rss + c.pixmaps);
        state.SetIterationTime(1);
    }
    state.counters["idle_MiB"] = idle.rss + idle.pixmaps;
    state.counters["open_MiB"] = selected.rss + selected.pixmaps;
    state.counters["closed_MiB"] = worstClosed.rss + worstClosed.pixmaps;

    std::printf("\n%-28s  %8s  %8s  %8s  %10s  %13s  %8s\n", "MiB", "process", "anon", "shmem",
                "X pixmaps", "above idle", "/idle");
    print("idle, before any capture", idle, idle);
    print("open, no selection", open, idle);
    print("open, with a selection", selected, idle);
    print("closed (3 s), largest of 20", worstClosed, idle);
    print("closed (3 s), last of 20", closed, idle);
    std::printf("closed (3 s), process and X pixmaps after each capture, above idle:");
    for (double each : afterEach)
        std::printf(" %.1f", each - idle.rss - idle.pixmaps);
    std::printf("\n");
    std::fflush(stdout);
}
BENCHMARK(overlayMemory)->UseManualTime()->Iterations(20)->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    if (!runBenchmarks(argc, argv))
        return 1;
    return 0;
}
