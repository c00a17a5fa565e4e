#include "platform/WindowList.h"
#include "platform/X11DefaultScreen.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <QGuiApplication>

#include <unistd.h>
#include <xcb/xcb.h>

namespace {

template<typename T> struct Freed
{
    T *reply;
    ~Freed() { std::free(reply); }
    T *operator->() const { return reply; }
    explicit operator bool() const { return reply != nullptr; }
};

xcb_atom_t atom(xcb_connection_t *c, const char *name)
{
    Freed<xcb_intern_atom_reply_t> reply{
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, uint16_t(strlen(name)), name), nullptr)};
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

// The window manager's stacking list, each client's frame being the root's child that holds
// it. Every step asks about all windows at once: a handful of round trips whatever their number.
class StackingWindowList final : public WindowList
{
public:
    QString name() const override { return QStringLiteral("X11 창 쌓임 순서"); }
    bool listsWindows() const override { return true; }

    QList<QRect> topLevelWindows() const override
    {
        auto *x11 =
            qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
        xcb_connection_t *c = x11 ? x11->connection() : nullptr;
        if (!c)
            return {};
        if (m_stacking == XCB_ATOM_NONE) {
            m_stacking = atom(c, "_NET_CLIENT_LIST_STACKING");
            m_pid = atom(c, "_NET_WM_PID");
        }
        const xcb_window_t root = x11DefaultScreen(xcb_get_setup(c))->root;
        Freed<xcb_get_property_reply_t> list{xcb_get_property_reply(
            c, xcb_get_property(c, 0, root, m_stacking, XCB_ATOM_WINDOW, 0, 1 << 16), nullptr)};
        if (!list || list->format != 32)
            return {};
        const auto *ids = static_cast<const xcb_window_t *>(xcb_get_property_value(list.reply));
        std::vector<xcb_window_t> windows(ids, ids + xcb_get_property_value_length(list.reply) / 4);
        dropOwn(c, windows);
        // Up from each client until the root's child, which a reparenting manager's frame is.
        std::vector<xcb_window_t> frames(windows.size(), XCB_WINDOW_NONE);
        for (int depth = 0; depth < 8 && !windows.empty(); ++depth) {
            std::vector<xcb_query_tree_cookie_t> trees;
            for (xcb_window_t w : windows)
                trees.push_back(xcb_query_tree(c, w));
            for (size_t i = 0; i < windows.size(); ++i) {
                Freed<xcb_query_tree_reply_t> tree{xcb_query_tree_reply(c, trees[i], nullptr)};
                if (!tree)
                    windows[i] = XCB_WINDOW_NONE;
                else if (tree->parent == root || tree->parent == XCB_WINDOW_NONE)
                    frames[i] = windows[i];
                else
                    windows[i] = tree->parent;
            }
            bool settled = true;
            for (size_t i = 0; i < windows.size(); ++i)
                settled =
                    settled && (frames[i] != XCB_WINDOW_NONE || windows[i] == XCB_WINDOW_NONE);
            if (settled)
                break;
        }
        std::vector<xcb_get_window_attributes_cookie_t> attributes;
        std::vector<xcb_get_geometry_cookie_t> geometries;
        for (xcb_window_t f : frames) {
            attributes.push_back(xcb_get_window_attributes(c, f));
            geometries.push_back(xcb_get_geometry(c, f));
        }
        QList<QRect> found;
        for (size_t i = frames.size(); i-- > 0;) {
            Freed<xcb_get_window_attributes_reply_t> a{
                xcb_get_window_attributes_reply(c, attributes[i], nullptr)};
            Freed<xcb_get_geometry_reply_t> g{xcb_get_geometry_reply(c, geometries[i], nullptr)};
            if (frames[i] == XCB_WINDOW_NONE || !a || !g || a->map_state != XCB_MAP_STATE_VIEWABLE)
                continue;
            const int border = 2 * g->border_width;
            const QRect r(g->x, g->y, g->width + border, g->height + border);
            // A frame can hold more than one client; it counts once.
            if (!found.contains(r))
                found.append(r);
        }
        return found;
    }

private:
    // This process's windows (its dialogs) are no one else's to pick.
    void dropOwn(xcb_connection_t *c, std::vector<xcb_window_t> &windows) const
    {
        std::vector<xcb_get_property_cookie_t> pids;
        for (xcb_window_t w : windows)
            pids.push_back(xcb_get_property(c, 0, w, m_pid, XCB_ATOM_CARDINAL, 0, 1));
        const auto own = uint32_t(getpid());
        std::vector<xcb_window_t> others;
        for (size_t i = 0; i < windows.size(); ++i) {
            Freed<xcb_get_property_reply_t> pid{xcb_get_property_reply(c, pids[i], nullptr)};
            const bool mine =
                pid && xcb_get_property_value_length(pid.reply) == 4 &&
                *static_cast<const uint32_t *>(xcb_get_property_value(pid.reply)) == own;
            if (!mine)
                others.push_back(windows[i]);
        }
        windows = std::move(others);
    }

    mutable xcb_atom_t m_stacking = XCB_ATOM_NONE;
    mutable xcb_atom_t m_pid = XCB_ATOM_NONE;
};

} // namespace

std::unique_ptr<WindowList> makeStackingWindowList()
{
    return std::make_unique<StackingWindowList>();
}
