#include "hotkey/HotKey.h"

#include <utility>

#include "hotkey/HotKeyRegistrations.h"
#include "platform/Platform.h"
#include "settings/SystemLog.h"

namespace {

// Where the desktop offers no global shortcut: nothing is held, and the log says why once.
class NullRegistration final : public HotKey::Registration
{
public:
    explicit NullRegistration(QString why) : m_why(std::move(why)) {}
    bool registerHotKey(const HotKeyCombo &) override
    {
        if (!std::exchange(m_told, true))
            systemLog(m_why);
        return false;
    }
    void unregister() override {}
    bool isRegistered() const override { return false; }
    bool isOffered() const override { return false; }

private:
    QString m_why;
    bool m_told = false;
};

std::unique_ptr<HotKey::Registration> makeRegistration(std::function<void()> onPressed)
{
    const HotKeyBackend &backend = Platform::current().hotKey;
    switch (backend.binding) {
    case HotKeyBackend::Binding::KeyGrab:
        return makeX11Registration(std::move(onPressed));
    case HotKeyBackend::Binding::PortalShortcuts:
        return makePortalRegistration(std::move(onPressed));
    case HotKeyBackend::Binding::KGlobalAccel:
        return makeKGlobalAccelRegistration(std::move(onPressed));
    case HotKeyBackend::Binding::None:
        break;
    }
    return std::make_unique<NullRegistration>(backend.unavailableReason);
}

} // namespace

HotKey::HotKey(std::function<void()> onPressed)
    : m_registration(makeRegistration(std::move(onPressed)))
{
    m_registration->onUnavailable = [this] {
        if (onUnavailable)
            onUnavailable();
    };
    m_registration->onBoundAs = [this](const QString &keys) {
        if (onBoundAs)
            onBoundAs(keys);
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
