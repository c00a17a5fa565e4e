#include "platform/OverlayWindowing.h"

#include <QGuiApplication>
#include <QWindow>
#include <qpa/qplatformnativeinterface.h>

#include <wayland-client.h>

namespace {

// Override-redirect windows at the root's coordinates, able to show the server's pixmaps.
class X11Windowing final : public OverlayWindowing
{
public:
    QString name() const override { return QStringLiteral("X11 서버 측 그림"); }
    bool serverSidePicture() const override { return true; }
    bool retriesKeyboardGrab() const override { return true; }
};

// A client cannot place its windows; full screen on a screen covers one output.
class WaylandWindowing final : public OverlayWindowing
{
public:
    QString name() const override { return QStringLiteral("Wayland 전체 화면 창"); }
    bool fullScreenPlacement() const override { return true; }
    bool keepsWindows() const override { return true; }
    void commit(QWindow *window) const override
    {
        if (!window || !window->handle())
            return;
        QPlatformNativeInterface *native = QGuiApplication::platformNativeInterface();
        auto *surface =
            native ? static_cast<wl_surface *>(native->nativeResourceForWindow("surface", window))
                   : nullptr;
        if (surface)
            wl_surface_commit(surface);
    }
};

class NullWindowing final : public OverlayWindowing
{
public:
    QString name() const override { return QStringLiteral("없음"); }
};

} // namespace

std::unique_ptr<OverlayWindowing> makeX11Windowing()
{
    return std::make_unique<X11Windowing>();
}

std::unique_ptr<OverlayWindowing> makeWaylandWindowing()
{
    return std::make_unique<WaylandWindowing>();
}

std::unique_ptr<OverlayWindowing> makeNullWindowing()
{
    return std::make_unique<NullWindowing>();
}
