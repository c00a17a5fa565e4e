#pragma once

#include <QHash>
#include <QSet>
#include <QString>

#include <cstdint>

// One global keyboard shortcut: a layout-independent virtual key code and up to four
// modifiers. The modifier bits are the stored values; on this platform Command is the Ctrl
// key and Control is the Super key.
struct HotKeyCombo
{
    static constexpr uint64_t Shift = 0x20000;
    static constexpr uint64_t Control = 0x40000;
    static constexpr uint64_t Option = 0x80000;
    static constexpr uint64_t Command = 0x100000;
    static constexpr uint64_t ModifierMask = 0x1E0000;

    HotKeyCombo(uint16_t keyCode, uint64_t modifiers)
        : keyCode(keyCode), modifiers(modifiers & ModifierMask)
    {}

    uint16_t keyCode;
    uint64_t modifiers;

    static const HotKeyCombo standard;
    static const QSet<uint16_t> &functionKeys();
    static const QHash<uint16_t, QString> &keyNames();

    bool isStandaloneKey() const { return functionKeys().contains(keyCode); }
    // Shift alone is not enough: it only changes the character of an ordinary key.
    bool hasModifier() const { return (modifiers & (Control | Option | Command)) != 0; }
    bool isValid() const { return hasModifier() || isStandaloneKey(); }
    uint32_t carbonModifiers() const;
    QString display() const;

    friend bool operator==(const HotKeyCombo &, const HotKeyCombo &) = default;
};
