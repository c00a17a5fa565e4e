#pragma once

#include <memory>

#include <QImage>
#include <QRect>

#include <xcb/render.h>
#include <xcb/xcb.h>

struct ServerCopy;

// Paints an overlay's native window from the X server's copy of its frozen screen. The clear
// and the dimmed parts are copies within the server (the dimming is a RENDER fill of black at
// half alpha), so the first frame needs nothing from this process but a few requests, and a
// pointer step costs it only the chrome it draws itself and puts. Coordinates are the
// window's device pixels, which are the copy's.
class ServerSurface
{
public:
    // Null when the window cannot take the copy's pixels as they are (another depth, another
    // byte layout, no RENDER); the view then paints through Qt.
    static std::unique_ptr<ServerSurface> create(std::shared_ptr<const ServerCopy> copy,
                                                 xcb_window_t window);
    ~ServerSurface();
    ServerSurface(const ServerSurface &) = delete;
    ServerSurface &operator=(const ServerSurface &) = delete;

    void copy(const QRect &r, bool dimmed);
    // An image of the given size to paint into and put(). Up to a few megabytes it lies in
    // memory shared with the server, kept for the surface: put() then sends no pixels through
    // the connection, and no fresh pages are touched per pointer step.
    QImage canvas(QSize size);
    // The part of Format_RGB32 pixels painted here, placed with its top-left at `at`.
    void put(const QImage &image, const QRect &part, QPoint at);
    void flush();

private:
    ServerSurface(std::shared_ptr<const ServerCopy> copy, xcb_window_t window, xcb_gcontext_t gc,
                  xcb_render_picture_t picture);
    bool attachCanvas();

    std::shared_ptr<const ServerCopy> m_copy;
    xcb_connection_t *m_connection;
    xcb_window_t m_window;
    xcb_gcontext_t m_gc;
    xcb_render_picture_t m_picture;
    // The shared canvas memory, used from m_canvasOffset on; the server may still be reading
    // what lies before it.
    struct SharedCanvas
    {
        uchar *address = nullptr;
        uint32_t segment = 0;
        bool failed = false;
    } m_shared;
    size_t m_canvasOffset = 0;
};
