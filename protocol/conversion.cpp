#include "protocol/conversion.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "diag/diag.h"
#include "protocol/settings.h"

namespace {

// Output for the code page 852 bytes 0x80..0xFF; letters lose their accents,
// symbols and box drawing keep their code.
const uint8_t kTerminalChars[128] = {
    0x80, 0xFC, 'e', 'a', 'a', 'u', 'c', 'c', 'l', 'e', 'O', 'o', 'i', 'Z', 'A', 'C',  // 8x
    'E', 'L', 'l', 'o', 'o', 'L', 'l', 'S', 's', 'O', 'U', 'T', 't', 'L', 0x9E, 'c',  // 9x
    'a', 'i', 'o', 'u', 'A', 'a', 'Z', 'z', 'E', 'e', 0xAA, 'z', 'C', 's', 0xAA, 0xBB,  // Ax
    0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 'A', 'A', 'E', 'S', 0xB9, 0xBA, 0xBB, 0xBC, 'Z', 'z', 0xBF,  // Bx
    0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xCB, 0xCC, 0xCD, 0xCE, 0xCF,  // Cx
    'd', 'D', 'D', 'E', 'd', 'N', 'I', 'I', 'e', 0xD9, 0xDA, 0xDB, 0xDC, 'T', 'U', 0xDF,  // Dx
    'O', 0xDF, 'O', 'N', 'n', 'n', 'S', 's', 'R', 'U', 'r', 'U', 'y', 'Y', 't', 0xEF,  // Ex
    0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA, 'u', 'R', 'r', 0xFE, 0xFF,  // Fx
};

// Digits and letters alternate: "1" is the first coded order, "H" the last.
const char kOrderChars[] = "1A2B3C4D5E6F7G8H";

int CodeValue(char ch, uint8_t ccode) {
    const int shift = ccode ? 1 : 0;
    if (ch == 'N') return 1 - shift;
    if (ch == '0') return 2 - shift;
    if (ch == '\0') return 0;
    const char* p = std::strchr(kOrderChars, ch);
    if (p == nullptr) return 0;
    return static_cast<int>(p - kOrderChars) + 3 - shift;
}

char CodeChar(uint32_t value, uint8_t ccode) {
    if (value == 0) return '*';
    if (ccode) {
        if (value == 1) return '0';
        if (value <= 17) return kOrderChars[value - 2];
        return '0';
    }
    if (value == 1) return 'N';
    if (value == 2) return '0';
    if (value <= 18) return kOrderChars[value - 3];
    return '0';
}

// Zero or negative limits would divide by zero; as 1 they allow only the value 0.
uint32_t MealLimit(int32_t configured) { return configured < 1 ? 1u : static_cast<uint32_t>(configured); }

struct MealValues {
    uint32_t main, breakfast, dinner;
};

MealValues SplitValues(uint8_t day_byte, const TLinkSettings& set) {
    const uint64_t s = MealLimit(set.MxSn);
    const uint64_t v = MealLimit(set.MxVec);
    return {static_cast<uint32_t>(day_byte / (s * v)), static_cast<uint32_t>((day_byte / v) % s),
            static_cast<uint32_t>(day_byte % v)};
}

uint8_t CombineValues(const MealValues& m, const TLinkSettings& set) {
    // Unsigned arithmetic wraps modulo 2^32, which keeps the result modulo 256 exact.
    const uint32_t s = MealLimit(set.MxSn);
    const uint32_t v = MealLimit(set.MxVec);
    return static_cast<uint8_t>(m.main * s * v + m.breakfast * v + m.dinner);
}

void TrimTrailingBlanks(char* text) {
    size_t n = std::strlen(text);
    while (n > 0 && text[n - 1] == ' ') text[--n] = '\0';
}

bool ReadNumber(char* text, int32_t& value) {
    TrimTrailingBlanks(text);
    const int base = (text[0] != '\0' && (text[1] == 'x' || text[1] == 'X')) ? 16 : 10;
    char* end = nullptr;
    errno = 0;
    long long n = std::strtoll(text, &end, base);
    if (n > INT32_MAX) n = INT32_MAX;
    if (n < INT32_MIN) n = INT32_MIN;
    if (*end != '\0') return false;
    value = static_cast<int32_t>(n);
    return true;
}

}  // namespace

uint8_t ToTerminalChar(uint8_t c) { return c < 0x80 ? c : kTerminalChars[c - 0x80]; }

TFolded FoldMealCode(uint8_t day_byte, char ch, int kind, const TLinkSettings& s) {
    MealValues m = SplitValues(day_byte, s);
    const uint32_t f = static_cast<uint32_t>(CodeValue(ch, s.CCode));
    if (kind == kBreakfast) {
        if (f >= MealLimit(s.MxSn)) {
            Log_error("Spatne kodovani snidani");
            return {day_byte, true};
        }
        m.breakfast = f;
    } else if (kind == kDinner) {
        if (f >= MealLimit(s.MxVec)) {
            Log_error("Spatne kodovani veceri");
            return {day_byte, true};
        }
        m.dinner = f;
    } else {
        m.main = f;
    }
    return {CombineValues(m, s), false};
}

MealChars SplitDayByte(uint8_t day_byte, const TLinkSettings& s) {
    const MealValues m = SplitValues(day_byte, s);
    return {CodeChar(m.main, s.CCode), CodeChar(m.breakfast, s.CCode), CodeChar(m.dinner, s.CCode)};
}

DayStrings DecodeDays(uint8_t flag, const uint8_t days[14], const TLinkSettings& s) {
    DayStrings out{};
    for (int d = 0; d < 14; ++d) {
        if (flag & 0x80) {
            out.main[d] = static_cast<char>(days[d]);
            out.breakfast[d] = '*';
            out.dinner[d] = '*';
        } else {
            const MealChars c = SplitDayByte(days[d], s);
            out.main[d] = c.main;
            out.breakfast[d] = c.breakfast;
            out.dinner[d] = c.dinner;
        }
    }
    return out;
}

bool ReadNumber16(char* text, uint16_t& value) {
    int32_t n = 0;
    if (!ReadNumber(text, n)) return false;
    value = static_cast<uint16_t>(n);
    return true;
}

bool ReadNumber32(char* text, int32_t& value) { return ReadNumber(text, value); }
