// Name transliteration, meal coding and the readers of short number fields.
#pragma once
#include <cstdint>

struct TLinkSettings;

// Code page 852 byte -> the byte the terminal display shows.
uint8_t ToTerminalChar(uint8_t c);

// Meal kinds of one day.
enum MealKind { kMainMeal = 0, kBreakfast = 1, kDinner = 2 };

// A day byte with one code folded in. A rejected breakfast or dinner code is
// logged and leaves the byte as it was.
struct TFolded {
    uint8_t day_byte;
    bool rejected;
};
// Meal coding reads CCode, MxSn and MxVec of the settings.
TFolded FoldMealCode(uint8_t day_byte, char ch, int kind, const TLinkSettings& s);

struct MealChars {
    char main, breakfast, dinner;
};
MealChars SplitDayByte(uint8_t day_byte, const TLinkSettings& s);

// The meal strings of 14 days, each closed by a zero byte.
struct DayStrings {
    char main[15];
    char breakfast[15];
    char dinner[15];
};
DayStrings DecodeDays(uint8_t flag, const uint8_t days[14], const TLinkSettings& s);

// Read a zero-terminated field (trailing blanks are cut off in place).
// Success when the whole field is a number; value is written only then.
bool ReadNumber16(char* text, uint16_t& value);
bool ReadNumber32(char* text, int32_t& value);
