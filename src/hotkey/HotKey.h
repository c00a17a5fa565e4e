#pragma once

#include <QObject>

#include <functional>
#include <memory>

#include "hotkey/HotKeyCombo.h"

// One system-wide shortcut. Presses arrive on the main thread through onPressed, whatever
// application has the keyboard focus.
class HotKey : public QObject
{
    Q_OBJECT
public:
    explicit HotKey(std::function<void()> onPressed);
    ~HotKey() override;

    // Replaces any current registration. False when the platform refuses it, for example
    // because another client holds the same combination.
    bool registerHotKey(const HotKeyCombo &combo);
    void unregister();
    bool isRegistered() const;

    // How one display system holds the shortcut; chosen once, when the HotKey is made. A
    // registration releases what it holds when destroyed.
    class Registration
    {
    public:
        virtual ~Registration() = default;
        virtual bool registerHotKey(const HotKeyCombo &combo) = 0;
        virtual void unregister() = 0;
        virtual bool isRegistered() const = 0;
    };

private:
    std::unique_ptr<Registration> m_registration;
};
