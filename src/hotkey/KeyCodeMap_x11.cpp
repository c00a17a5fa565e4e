#include "hotkey/KeyCodeMap.h"

#include <QHash>
#include <QKeyCombination>

#include <utility>

#include "hotkey/HotKeyCombo.h"

namespace {

// Virtual key code -> Linux evdev code; the X11 keycode is the evdev code plus 8.
constexpr std::pair<uint16_t, uint8_t> kTable[] = {
    // letters
    {0, 30},
    {1, 31},
    {2, 32},
    {3, 33},
    {4, 35},
    {5, 34},
    {6, 44},
    {7, 45},
    {8, 46},
    {9, 47},
    {11, 48},
    {12, 16},
    {13, 17},
    {14, 18},
    {15, 19},
    {16, 21},
    {17, 20},
    {31, 24},
    {32, 22},
    {34, 23},
    {35, 25},
    {37, 38},
    {38, 36},
    {40, 37},
    {45, 49},
    {46, 50},
    // digits
    {18, 2},
    {19, 3},
    {20, 4},
    {21, 5},
    {23, 6},
    {22, 7},
    {26, 8},
    {28, 9},
    {25, 10},
    {29, 11},
    // punctuation, and the extra key of ISO keyboards
    {24, 13},
    {27, 12},
    {30, 27},
    {33, 26},
    {39, 40},
    {41, 39},
    {42, 43},
    {43, 51},
    {44, 53},
    {47, 52},
    {50, 41},
    {10, 86},
    // editing and navigation
    {49, 57},
    {36, 28},
    {48, 15},
    {51, 14},
    {53, 1},
    {117, 111},
    {115, 102},
    {119, 107},
    {116, 104},
    {121, 109},
    {123, 105},
    {124, 106},
    {125, 108},
    {126, 103},
    {114, 110},
    // Print Screen (SysRq)
    {112, 99},
    // function keys
    {122, 59},
    {120, 60},
    {99, 61},
    {118, 62},
    {96, 63},
    {97, 64},
    {98, 65},
    {100, 66},
    {101, 67},
    {109, 68},
    {103, 87},
    {111, 88},
    {105, 183},
    {107, 184},
    {113, 185},
    {106, 186},
    {64, 187},
    {79, 188},
    {80, 189},
    {90, 190},
    // keypad
    {65, 83},
    {67, 55},
    {69, 78},
    {71, 69},
    {75, 98},
    {76, 96},
    {78, 74},
    {81, 117},
    {82, 82},
    {83, 79},
    {84, 80},
    {85, 81},
    {86, 75},
    {87, 76},
    {88, 77},
    {89, 71},
    {91, 72},
    {92, 73},
    // modifiers
    {56, 42},
    {60, 54},
    {59, 29},
    {62, 97},
    {58, 56},
    {61, 100},
    {55, 125},
    {54, 126},
    {57, 58},
};

constexpr int kEvdevOffset = 8;

} // namespace

namespace KeyCodeMap {

std::optional<uint8_t> toNative(uint16_t virtualKeyCode)
{
    for (const auto &[vk, evdev] : kTable) {
        if (vk == virtualKeyCode)
            return uint8_t(evdev + kEvdevOffset);
    }
    return std::nullopt;
}

std::optional<uint16_t> fromNative(uint32_t nativeKeyCode)
{
    for (const auto &[vk, evdev] : kTable) {
        if (uint32_t(evdev) + kEvdevOffset == nativeKeyCode)
            return vk;
    }
    return std::nullopt;
}

int shortcutKey(int qtKey, uint32_t nativeKeyCode)
{
    if (qtKey < 0x100 || qtKey >= Qt::Key_Escape)
        return qtKey;
    const QString place =
        HotKeyCombo::keyNames().value(fromNative(nativeKeyCode).value_or(UINT16_MAX));
    return place.size() == 1 && place[0].isLetter() ? place[0].unicode() : qtKey;
}

} // namespace KeyCodeMap
