#pragma once

#include <cstdint>
#include <cstdlib>

#include <xcb/xcb.h>

namespace testkit {

// Another X client on the current display, standing in for a program that holds (or tries to
// take) a global shortcut. Its grabs end with it.
class OtherClient
{
public:
    OtherClient() : m_c(xcb_connect(nullptr, nullptr))
    {
        if (xcb_connection_has_error(m_c) == 0)
            m_root = xcb_setup_roots_iterator(xcb_get_setup(m_c)).data->root;
    }
    ~OtherClient() { xcb_disconnect(m_c); }
    OtherClient(const OtherClient &) = delete;
    OtherClient &operator=(const OtherClient &) = delete;

    // The X11 keycode of the "9" key and the grab mask of Shift+Ctrl: the default hotkey's.
    static constexpr uint8_t nine = 18;
    static constexpr uint16_t shiftCtrl = XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL;

    // False when someone else holds the key with these modifiers.
    bool grab(uint8_t keycode = nine, uint16_t mask = shiftCtrl)
    {
        // An unreachable display takes any request and reports no error.
        if (!m_root)
            return false;
        xcb_generic_error_t *error =
            xcb_request_check(m_c, xcb_grab_key_checked(m_c, 1, m_root, mask, keycode,
                                                        XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        free(error);
        return error == nullptr;
    }
    void ungrab(uint8_t keycode = nine, uint16_t mask = shiftCtrl)
    {
        xcb_ungrab_key(m_c, keycode, m_root, mask);
        // A round trip: the server has handled the ungrab before anyone else asks.
        free(xcb_get_input_focus_reply(m_c, xcb_get_input_focus(m_c), nullptr));
    }

private:
    xcb_connection_t *m_c;
    xcb_window_t m_root = 0;
};

} // namespace testkit
