#include <utility>

#include <QAbstractNativeEventFilter>
#include <QGuiApplication>

#include <xcb/xcb.h>

#include "hotkey/HotKeyRegistrations.h"
#include "hotkey/KeyCodeMap.h"

namespace {

xcb_connection_t *connection()
{
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

xcb_window_t rootWindow(xcb_connection_t *c)
{
    return xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
}

constexpr uint16_t kModifierMask =
    XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;

// Caps Lock and Num Lock change the reported state; the grab must hold with either on.
constexpr uint16_t kLockVariants[] = {0, XCB_MOD_MASK_LOCK, XCB_MOD_MASK_2,
                                      XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2};

uint16_t nativeMask(uint64_t modifiers)
{
    uint16_t mask = 0;
    if (modifiers & HotKeyCombo::Shift)
        mask |= XCB_MOD_MASK_SHIFT;
    if (modifiers & HotKeyCombo::Command)
        mask |= XCB_MOD_MASK_CONTROL;
    if (modifiers & HotKeyCombo::Control)
        mask |= XCB_MOD_MASK_4;
    if (modifiers & HotKeyCombo::Option)
        mask |= XCB_MOD_MASK_1;
    return mask;
}

void ungrab(xcb_connection_t *c, uint32_t key, uint32_t mask)
{
    for (uint16_t lock : kLockVariants)
        xcb_ungrab_key(c, xcb_keycode_t(key), rootWindow(c), uint16_t(mask | lock));
    xcb_flush(c);
}

class X11Registration : public QObject,
                        public QAbstractNativeEventFilter,
                        public HotKey::Registration
{
public:
    explicit X11Registration(std::function<void()> onPressed);
    ~X11Registration() override;

    bool registerHotKey(const HotKeyCombo &combo) override;
    void unregister() override;
    bool isRegistered() const override { return m_isRegistered; }
    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) override;

private:
    std::function<void()> m_onPressed;
    bool m_isRegistered = false;
    uint32_t m_nativeKey = 0;
    uint32_t m_nativeMask = 0;
};

X11Registration::X11Registration(std::function<void()> onPressed)
    : m_onPressed(std::move(onPressed))
{
    if (QCoreApplication::instance())
        QCoreApplication::instance()->installNativeEventFilter(this);
}

X11Registration::~X11Registration()
{
    unregister();
    if (QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(this);
}

bool X11Registration::registerHotKey(const HotKeyCombo &combo)
{
    unregister();
    xcb_connection_t *c = connection();
    const auto key = KeyCodeMap::toNative(combo.keyCode);
    if (!c || !key)
        return false;
    const uint16_t mask = nativeMask(combo.modifiers);
    xcb_void_cookie_t cookies[std::size(kLockVariants)];
    for (size_t i = 0; i < std::size(kLockVariants); ++i)
        cookies[i] = xcb_grab_key_checked(c, 1, rootWindow(c), uint16_t(mask | kLockVariants[i]),
                                          *key, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
    bool refused = false;
    for (xcb_void_cookie_t cookie : cookies) {
        if (xcb_generic_error_t *error = xcb_request_check(c, cookie)) {
            refused = true; // BadAccess: another client holds this combination
            free(error);
        }
    }
    if (refused) {
        ungrab(c, *key, mask);
        return false;
    }
    m_nativeKey = *key;
    m_nativeMask = mask;
    m_isRegistered = true;
    return true;
}

void X11Registration::unregister()
{
    if (!m_isRegistered)
        return;
    if (xcb_connection_t *c = connection())
        ungrab(c, m_nativeKey, m_nativeMask);
    m_isRegistered = false;
}

bool X11Registration::nativeEventFilter(const QByteArray &eventType, void *message, qintptr *)
{
    if (!m_isRegistered || eventType != "xcb_generic_event_t")
        return false;
    auto *event = static_cast<xcb_generic_event_t *>(message);
    if ((event->response_type & 0x7f) != XCB_KEY_PRESS)
        return false;
    auto *press = reinterpret_cast<xcb_key_press_event_t *>(event);
    if (press->detail != m_nativeKey || (press->state & kModifierMask) != m_nativeMask)
        return false;
    // Leave the native event handling before a capture opens windows and grabs input.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_onPressed)
                m_onPressed();
        },
        Qt::QueuedConnection);
    return true;
}

} // namespace

std::unique_ptr<HotKey::Registration> makeX11Registration(std::function<void()> onPressed)
{
    return std::make_unique<X11Registration>(std::move(onPressed));
}
