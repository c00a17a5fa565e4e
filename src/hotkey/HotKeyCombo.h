#pragma once

#include <QHash>
#include <QSet>
#include <QString>

#include <cstdint>

// One global keyboard shortcut: a layout-independent virtual key code and up to four
// modifiers. The modifier bits are the stored values; on this platform Command is the Ctrl
// key, Control the Super key and Option the Alt key.
struct HotKeyCombo
{
    static constexpr uint64_t Shift = 0x20000;
    static constexpr uint64_t Control = 0x40000;
    static constexpr uint64_t Option = 0x80000;
    static constexpr uint64_t Command = 0x100000;
    static constexpr uint64_t ModifierMask = 0x1E0000;
    // PC keyboards' Print Screen, the usual capture key here. It has no name in the key table
    // and, like a function key, is usable alone.
    static constexpr uint16_t printScreen = 112;

    HotKeyCombo(uint16_t keyCode, uint64_t modifiers)
        : keyCode(keyCode), modifiers(modifiers & ModifierMask)
    {}

    uint16_t keyCode;
    uint64_t modifiers;

    static const HotKeyCombo standard;
    static const QSet<uint16_t> &functionKeys();
    static const QHash<uint16_t, QString> &keyNames();

    bool isStandaloneKey() const
    {
        return keyCode == printScreen || functionKeys().contains(keyCode);
    }
    // Shift alone is not enough: it only changes the character of an ordinary key.
    bool hasModifier() const { return (modifiers & (Control | Option | Command)) != 0; }
    bool isValid() const { return hasModifier() || isStandaloneKey(); }
    uint32_t carbonModifiers() const;
    // The keyboard's own names joined by "+", modifiers first ("Shift+Ctrl+9").
    QString display() const;

    friend bool operator==(const HotKeyCombo &, const HotKeyCombo &) = default;
};
