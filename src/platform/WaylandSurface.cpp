#include "platform/WaylandSurface.h"

#include <QGuiApplication>
#include <QWindow>
#include <qpa/qplatformnativeinterface.h>

#include <wayland-client.h>

#include "platform/DisplayPlatform.h"

namespace WaylandSurface {

void commit(QWindow *window)
{
    if (!window || !window->handle() ||
        DisplayPlatform::current() != DisplayPlatform::Kind::Wayland)
        return;
    QPlatformNativeInterface *native = QGuiApplication::platformNativeInterface();
    auto *surface =
        native ? static_cast<wl_surface *>(native->nativeResourceForWindow("surface", window))
               : nullptr;
    if (surface)
        wl_surface_commit(surface);
}

} // namespace WaylandSurface
