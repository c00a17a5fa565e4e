#include "hotkey/HotKey.h"

#include "hotkey/HotKeyRegistrations.h"
#include "platform/DisplayPlatform.h"

HotKey::HotKey(std::function<void()> onPressed)
    : m_registration(DisplayPlatform::current() == DisplayPlatform::Kind::Wayland
                         ? makePortalRegistration(std::move(onPressed))
                         : makeX11Registration(std::move(onPressed)))
{
    m_registration->onUnavailable = [this] {
        if (onUnavailable)
            onUnavailable();
    };
}

HotKey::~HotKey() = default;

bool HotKey::registerHotKey(const HotKeyCombo &combo)
{
    return m_registration->registerHotKey(combo);
}

void HotKey::unregister()
{
    m_registration->unregister();
}

bool HotKey::isRegistered() const
{
    return m_registration->isRegistered();
}

bool HotKey::isOffered() const
{
    return m_registration->isOffered();
}
