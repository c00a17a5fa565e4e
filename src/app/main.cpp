#include <QApplication>
#include <QStringList>

#include <cstdio>
#include <memory>

#include <xcb/xcb.h>

#include "app/AppDelegate.h"
#include "settings/AppSettings.h"
#include "app/SingleInstance.h"

namespace {

// QApplication aborts without a display; say what is wrong instead.
bool x11DisplayReachable()
{
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (!platform.isEmpty() && !platform.startsWith("xcb"))
        return true;
    xcb_connection_t *c = xcb_connect(nullptr, nullptr);
    const bool ok = !xcb_connection_has_error(c);
    xcb_disconnect(c);
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    if (!x11DisplayReachable()) {
        std::fprintf(stderr,
                     "corvane: X11 디스플레이에 연결할 수 없습니다 (DISPLAY=%s). "
                     "X11 데스크톱 세션에서 실행하세요.\n",
                     qgetenv("DISPLAY").constData());
        return 1;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("corvane"));
    QApplication::setOrganizationName(QStringLiteral("corvane"));
    QApplication::setQuitOnLastWindowClosed(false);

    // A process started by the updater replaces the one that is quitting; it waits for the
    // name instead of handing over to it.
    const bool updated = app.arguments().contains(QStringLiteral("--updated"));
    SingleInstance instance;
    if (!updated && instance.handOver())
        return 0;
    if (!instance.listen(updated ? 10000 : 0)) {
        std::fprintf(stderr, "corvane: 이미 실행 중인 corvane 에 연결할 수 없습니다.\n");
        return 1;
    }

    auto delegate = std::make_unique<AppDelegate>(AppSettings::shared());
    instance.onReopen = [d = delegate.get()] { d->applicationShouldHandleReopen(); };
    delegate->applicationDidFinishLaunching();
    const int rc = app.exec();
    instance.onReopen = nullptr;
    (void)rc;
    return 0;
}
