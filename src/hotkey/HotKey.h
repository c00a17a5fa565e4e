#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>

#include <cstdint>
#include <functional>

#include "hotkey/HotKeyCombo.h"

// One system-wide shortcut. Presses arrive on the main thread through onPressed, whatever
// application has the keyboard focus.
class HotKey : public QObject, public QAbstractNativeEventFilter
{
    Q_OBJECT
public:
    explicit HotKey(std::function<void()> onPressed);
    ~HotKey() override;

    // Replaces any current registration. False when the platform refuses it, for example
    // because another client holds the same combination.
    bool registerHotKey(const HotKeyCombo &combo);
    void unregister();
    bool isRegistered() const { return m_isRegistered; }

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) override;

private:
    std::function<void()> m_onPressed;
    bool m_isRegistered = false;
    uint32_t m_nativeKey = 0;
    uint32_t m_nativeMask = 0;
};
