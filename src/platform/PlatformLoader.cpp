#include "platform/PlatformLoader.h"

#include <cstring>
#include <vector>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QFileInfo>
#include <QGuiApplication>
#include <qpa/qplatformnativeinterface.h>

#include <wayland-client.h>

#include "platform/OverlayWindowing.h"
#include "platform/WindowList.h"

namespace {

enum class Kind
{
    X11,
    Wayland,
    // Qt's offscreen platform in tests, or anything else without a screen to read.
    Other,
};

Kind currentKind()
{
    const QString name = QGuiApplication::platformName();
    if (name == QLatin1String("xcb"))
        return Kind::X11;
    if (name.startsWith(QLatin1String("wayland")))
        return Kind::Wayland;
    return Kind::Other;
}

// A Wayland compositor's socket is reachable from this process.
bool isWaylandSession()
{
    QString socket = qEnvironmentVariable("WAYLAND_DISPLAY");
    if (socket.isEmpty() && qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland"))
        socket = QStringLiteral("wayland-0");
    if (socket.isEmpty())
        return false;
    // A variable left over from another session names no socket here.
    if (!socket.startsWith(QLatin1Char('/')))
        socket = qEnvironmentVariable("XDG_RUNTIME_DIR") + QLatin1Char('/') + socket;
    return QFileInfo(socket).exists();
}

// Whether Qt's compositor announces a global of this interface; binds nothing, and dispatches
// nothing of Qt's.
bool compositorOffers(const char *interface)
{
    QPlatformNativeInterface *native = QGuiApplication::platformNativeInterface();
    auto *display =
        native ? static_cast<wl_display *>(native->nativeResourceForIntegration("wl_display"))
               : nullptr;
    if (!display)
        return false;
    struct Search
    {
        const char *interface;
        bool found;
    } search{interface, false};
    static const wl_registry_listener listener{
        [](void *data, wl_registry *, uint32_t, const char *name, uint32_t) {
            auto *s = static_cast<Search *>(data);
            s->found = s->found || std::strcmp(name, s->interface) == 0;
        },
        [](void *, wl_registry *, uint32_t) {}};
    wl_event_queue *queue = wl_display_create_queue(display);
    auto *wrapper = static_cast<wl_display *>(wl_proxy_create_wrapper(display));
    wl_proxy_set_queue(reinterpret_cast<wl_proxy *>(wrapper), queue);
    wl_registry *registry = wl_display_get_registry(wrapper);
    wl_proxy_wrapper_destroy(wrapper);
    wl_registry_add_listener(registry, &listener, &search);
    wl_display_roundtrip_queue(display, queue);
    wl_registry_destroy(registry);
    wl_event_queue_destroy(queue);
    return search.found;
}

// Whether KWin runs the session, and with it Plasma's panel where there is one.
bool kwinRuns()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    return bus.isConnected() &&
           bus.interface()->isServiceRegistered(QStringLiteral("org.kde.KWin"));
}

// Whether KWin runs the session and offers its screenshots on the session bus.
bool kwinOffersScreenShots()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QString service = QStringLiteral("org.kde.KWin");
    if (!kwinRuns())
        return false;
    const QDBusMessage reply = bus.call(
        QDBusMessage::createMethodCall(service, QStringLiteral("/org/kde/KWin/ScreenShot2"),
                                       QStringLiteral("org.freedesktop.DBus.Introspectable"),
                                       QStringLiteral("Introspect")),
        QDBus::Block, 2000);
    return reply.type() == QDBusMessage::ReplyMessage &&
           reply.arguments().value(0).toString().contains(
               QLatin1String("\"org.kde.KWin.ScreenShot2\""));
}

CaptureBackend::Source captureSource(Kind kind, bool session)
{
    using Source = CaptureBackend::Source;
    if (qEnvironmentVariable("CORVANE_CAPTURE") == QLatin1String("portal"))
        return Source::Portal;
    switch (kind) {
    case Kind::Wayland:
        if (compositorOffers("zwlr_screencopy_manager_v1"))
            return Source::CompositorCopies;
        return kwinOffersScreenShots() ? Source::KWinScreenShots : Source::Portal;
    case Kind::X11:
        // Reading the root of XWayland would miss every native window.
        return session ? Source::Portal : Source::RootWindow;
    case Kind::Other:
        break;
    }
    return Source::QtGrab;
}

HotKeyBackend hotKeyBackend(Kind kind, bool session)
{
    // KDE's service binds for every client of the session, XWayland's too; where it runs,
    // Plasma's portal binds nothing.
    if (kind != Kind::X11 || session) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (bus.isConnected() &&
            bus.interface()->isServiceRegistered(QStringLiteral("org.kde.kglobalaccel")))
            return {HotKeyBackend::Binding::KGlobalAccel, {}};
    }
    switch (kind) {
    case Kind::Wayland:
        return {HotKeyBackend::Binding::PortalShortcuts, {}};
    case Kind::X11:
        if (!session)
            return {HotKeyBackend::Binding::KeyGrab, {}};
        // A key grab on XWayland sees only the keys typed into other XWayland windows, so it
        // would claim a shortcut that native windows never pass on.
        return {HotKeyBackend::Binding::None,
                QStringLiteral("Wayland 세션의 XWayland 에서는 전역 단축키를 쓸 수 없습니다. "
                               "Qt 의 Wayland 플랫폼 플러그인(qt6-wayland)을 설치하거나, "
                               "데스크톱의 단축키 설정에서 corvane 실행을 연결하세요 (실행 "
                               "중에 다시 실행하면 캡처합니다).")};
    case Kind::Other:
        break;
    }
    return {HotKeyBackend::Binding::None,
            QStringLiteral("화면 플랫폼 %1 에서는 전역 단축키를 쓸 수 없습니다.")
                .arg(QGuiApplication::platformName())};
}

std::unique_ptr<WindowList> windowList(Kind kind, bool session)
{
    if (qEnvironmentVariable("CORVANE_WINDOW_LIST") == QLatin1String("none"))
        return makeNullWindowList();
    // XWayland's root shows the X clients alone; the compositor, where it answers, tells all.
    if (session || kind == Kind::Wayland) {
        if (auto sway = makeSwayWindowList())
            return sway;
        return makeNullWindowList();
    }
    if (kind == Kind::X11)
        return makeStackingWindowList();
    return makeNullWindowList();
}

QString captureName(CaptureBackend::Source source)
{
    switch (source) {
    case CaptureBackend::Source::RootWindow:
        return QStringLiteral("X11 루트 창");
    case CaptureBackend::Source::QtGrab:
        return QStringLiteral("Qt 의 화면 가져오기");
    case CaptureBackend::Source::CompositorCopies:
        return QStringLiteral("컴포지터의 화면 복사");
    case CaptureBackend::Source::KWinScreenShots:
        return QStringLiteral("KWin 의 화면 복사");
    case CaptureBackend::Source::Portal:
        break;
    }
    return QStringLiteral("데스크톱 포털");
}

QString hotKeyName(HotKeyBackend::Binding binding)
{
    switch (binding) {
    case HotKeyBackend::Binding::KeyGrab:
        return QStringLiteral("X11 키 잡기");
    case HotKeyBackend::Binding::PortalShortcuts:
        return QStringLiteral("포털의 전역 단축키");
    case HotKeyBackend::Binding::KGlobalAccel:
        return QStringLiteral("KDE 전역 단축키 서비스");
    case HotKeyBackend::Binding::None:
        break;
    }
    return QStringLiteral("없음");
}

std::vector<std::unique_ptr<const Platform>> &loaded()
{
    static std::vector<std::unique_ptr<const Platform>> platforms;
    return platforms;
}

} // namespace

Platform::Platform() = default;
Platform::~Platform() = default;

const Platform &Platform::current()
{
    // Once, even when threads ask first at the same time.
    static const bool ready = [] {
        if (loaded().empty())
            PlatformLoader::load();
        return true;
    }();
    Q_UNUSED(ready);
    return *loaded().back();
}

namespace PlatformLoader {

void preferWaylandInWaylandSession()
{
    if (qEnvironmentVariableIsSet("QT_QPA_PLATFORM") || !isWaylandSession())
        return;
    qputenv("QT_QPA_PLATFORM", "wayland;xcb");
}

const Platform &load()
{
    const Kind kind = currentKind();
    const bool session = isWaylandSession();
    auto platform = std::make_unique<Platform>();
    platform->capture.source = captureSource(kind, session);
    platform->hotKey = hotKeyBackend(kind, session);
    platform->tray.fixedSizeMenu = kind == Kind::Wayland;
    platform->tray.panelShowsExportedMenu = kind == Kind::Wayland && kwinRuns();
    platform->overlay = kind == Kind::X11       ? makeX11Windowing()
                        : kind == Kind::Wayland ? makeWaylandWindowing()
                                                : makeNullWindowing();
    platform->windows = windowList(kind, session);

    QString display = QGuiApplication::platformName();
    if (kind == Kind::X11)
        display = session ? QStringLiteral("X11 (Wayland 세션의 XWayland)") : QStringLiteral("X11");
    else if (kind == Kind::Wayland)
        display = QStringLiteral("Wayland");
    platform->description = QStringLiteral("화면 플랫폼: %1, 캡처: %2, 단축키: %3, 창 목록: %4, "
                                           "오버레이: %5")
                                .arg(display, captureName(platform->capture.source),
                                     hotKeyName(platform->hotKey.binding),
                                     platform->windows->name(), platform->overlay->name());
    loaded().push_back(std::move(platform));
    return *loaded().back();
}

} // namespace PlatformLoader
