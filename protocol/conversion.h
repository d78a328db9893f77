// Name transliteration, meal coding and the readers of short number fields.
#pragma once
#include <cstdint>

// Set when a meal code was rejected; the command encoder logs the line and clears it.
extern bool Coding_error;

// Code page 852 byte -> the byte the terminal display shows.
uint8_t ToTerminalChar(uint8_t c);

// Meal kinds of one day.
enum MealKind { kMainMeal = 0, kBreakfast = 1, kDinner = 2 };

// Folds the code character ch of meal kind into the day byte. A rejected
// breakfast or dinner code is logged, sets Coding_error and returns the day
// byte unchanged.
uint8_t FoldMealCode(uint8_t day_byte, char ch, int kind);

struct MealChars {
    char main, breakfast, dinner;
};
MealChars SplitDayByte(uint8_t day_byte);

// The meal strings of 14 days, each closed by a zero byte.
struct DayStrings {
    char main[15];
    char breakfast[15];
    char dinner[15];
};
DayStrings DecodeDays(uint8_t flag, const uint8_t days[14]);

// Read a zero-terminated field (trailing blanks are cut off in place).
// Success when the whole field is a number; value is written only then.
bool ReadNumber16(char* text, uint16_t& value);
bool ReadNumber32(char* text, int32_t& value);
