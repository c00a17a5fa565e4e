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
    // Whether this desktop lets the application hold a system-wide shortcut at all. Where it
    // does not, every registration fails, the log says why once, and trying again is no use.
    bool isOffered() const;
    // Called when a registration accepted as under way ends holding nothing: the desktop
    // offers no shortcut, or refused this one or never answered (the log says which).
    std::function<void()> onUnavailable;
    // Called when the desktop, binding the shortcut, says how it is pressed: its user may have
    // chosen other keys than those asked for.
    std::function<void(const QString &keys)> onBoundAs;

    // How the desktop holds the shortcut, as the platform layer chose it; made with the
    // HotKey. A registration releases what it holds when destroyed.
    class Registration
    {
    public:
        virtual ~Registration() = default;
        virtual bool registerHotKey(const HotKeyCombo &combo) = 0;
        virtual void unregister() = 0;
        virtual bool isRegistered() const = 0;
        virtual bool isOffered() const { return true; }
        // Set by the HotKey; see its onUnavailable and onBoundAs.
        std::function<void()> onUnavailable;
        std::function<void(const QString &keys)> onBoundAs;
    };

private:
    std::unique_ptr<Registration> m_registration;
};
