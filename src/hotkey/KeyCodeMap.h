#pragma once

#include <cstdint>
#include <optional>

// Translation between the stored virtual key codes (key positions, independent of the
// keyboard layout) and this platform's hardware key codes, which are positions too.
namespace KeyCodeMap {

std::optional<uint8_t> toNative(uint16_t virtualKeyCode);
std::optional<uint16_t> fromNative(uint32_t nativeKeyCode);
// The Qt key a Ctrl shortcut goes by: qtKey itself, or where the layout types no Latin letter
// there (a Cyrillic one, say) the letter at the key's place on a US keyboard, as other
// programs' shortcuts go.
int shortcutKey(int qtKey, uint32_t nativeKeyCode);

} // namespace KeyCodeMap
