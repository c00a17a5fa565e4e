#include "hotkey/HotKeyCombo.h"

#include <QStringList>

const HotKeyCombo HotKeyCombo::standard{25, HotKeyCombo::Shift | HotKeyCombo::Command};

const QSet<uint16_t> &HotKeyCombo::functionKeys()
{
    static const QSet<uint16_t> keys{122, 120, 99,  118, 96,  97,  98, 100, 101, 109,
                                     103, 111, 105, 107, 113, 106, 64, 79,  80,  90};
    return keys;
}

const QHash<uint16_t, QString> &HotKeyCombo::keyNames()
{
    static const QHash<uint16_t, QString> names = [] {
        QHash<uint16_t, QString> n{
            {122, "F1"},  {120, "F2"},   {99, "F3"},   {118, "F4"},  {96, "F5"},   {97, "F6"},
            {98, "F7"},   {100, "F8"},   {101, "F9"},  {109, "F10"}, {103, "F11"}, {111, "F12"},
            {105, "F13"}, {107, "F14"},  {113, "F15"}, {106, "F16"}, {64, "F17"},  {79, "F18"},
            {80, "F19"},  {90, "F20"},   {0, "A"},     {1, "S"},     {2, "D"},     {3, "F"},
            {4, "H"},     {5, "G"},      {6, "Z"},     {7, "X"},     {8, "C"},     {9, "V"},
            {11, "B"},    {12, "Q"},     {13, "W"},    {14, "E"},    {15, "R"},    {16, "Y"},
            {17, "T"},    {31, "O"},     {32, "U"},    {34, "I"},    {35, "P"},    {37, "L"},
            {38, "J"},    {40, "K"},     {45, "N"},    {46, "M"},    {18, "1"},    {19, "2"},
            {20, "3"},    {21, "4"},     {23, "5"},    {22, "6"},    {26, "7"},    {28, "8"},
            {25, "9"},    {29, "0"},     {24, "="},    {27, "-"},    {30, "]"},    {33, "["},
            {39, "'"},    {41, ";"},     {42, "\\"},   {43, ","},    {44, "/"},    {47, "."},
            {50, "`"},    {49, "Space"},
        };
        const std::pair<uint16_t, char16_t> glyphs[] = {
            {36, u'\u21A9'},  {48, u'\u21E5'},  {51, u'\u232B'},  {53, u'\u238B'},
            {117, u'\u2326'}, {115, u'\u2196'}, {119, u'\u2198'}, {116, u'\u21DE'},
            {121, u'\u21DF'}, {123, u'\u2190'}, {124, u'\u2192'}, {125, u'\u2193'},
            {126, u'\u2191'},
        };
        for (const auto &[code, glyph] : glyphs)
            n.insert(code, QString(QChar(glyph)));
        return n;
    }();
    return names;
}

uint32_t HotKeyCombo::carbonModifiers() const
{
    uint32_t mask = 0;
    if (modifiers & Command)
        mask |= 0x100;
    if (modifiers & Shift)
        mask |= 0x200;
    if (modifiers & Option)
        mask |= 0x800;
    if (modifiers & Control)
        mask |= 0x1000;
    return mask;
}

QString HotKeyCombo::display() const
{
    // The keys the table names by a glyph or not at all (Print Screen, Insert, the keypad),
    // under the names that desktop shortcut settings use here.
    static const QHash<uint16_t, QString> ownNames = [] {
        QHash<uint16_t, QString> n{
            {36, "Return"},    {48, "Tab"},
            {51, "Backspace"}, {53, "Esc"},
            {117, "Del"},      {115, "Home"},
            {119, "End"},      {116, "PgUp"},
            {121, "PgDown"},   {123, "Left"},
            {124, "Right"},    {125, "Down"},
            {126, "Up"},       {printScreen, "Print"},
            {114, "Ins"},      {71, "NumLock"},
            {65, "Num+."},     {67, "Num+*"},
            {69, "Num++"},     {75, "Num+/"},
            {76, "Num+Enter"}, {78, "Num+-"},
            {81, "Num+="},
        };
        const uint16_t keypadDigits[] = {82, 83, 84, 85, 86, 87, 88, 89, 91, 92};
        for (int digit = 0; digit < 10; ++digit)
            n.insert(keypadDigits[digit], QStringLiteral("Num+") + QString::number(digit));
        return n;
    }();
    QStringList parts;
    if (modifiers & Control)
        parts << QStringLiteral("Super");
    if (modifiers & Option)
        parts << QStringLiteral("Alt");
    if (modifiers & Shift)
        parts << QStringLiteral("Shift");
    if (modifiers & Command)
        parts << QStringLiteral("Ctrl");
    if (const auto own = ownNames.constFind(keyCode); own != ownNames.cend())
        parts << *own;
    else if (const auto name = keyNames().constFind(keyCode); name != keyNames().cend())
        parts << *name;
    else
        parts << QStringLiteral("키") + QString::number(keyCode);
    return parts.join(QLatin1Char('+'));
}
