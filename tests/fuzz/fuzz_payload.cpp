// Command lines to payloads, under any coding settings, and the readers of
// number fields. Work_dir stays empty, so rejected meal codes log nowhere.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "protocol/conversion.h"
#include "protocol/porcio.h"
#include "protocol/settings.h"

namespace {

void check_number_readers(const std::string& field)
{
    std::string a = field.substr(0, field.find('\0'));
    std::string b = a;
    uint16_t v16 = 0x5A5A;
    int32_t v32 = 0x5A5A;
    const bool ok16 = ReadNumber16(a.data(), v16);
    const bool ok32 = ReadNumber32(b.data(), v32);
    FUZZ_CHECK(ok16 == ok32);
    FUZZ_CHECK(ok16 ? v16 == static_cast<uint16_t>(v32) : v16 == 0x5A5A && v32 == 0x5A5A);
    // Only trailing blanks are cut off, in place.
    const std::string cut = std::string(a.c_str());
    const size_t end = field.substr(0, field.find('\0')).find_last_not_of(' ');
    FUZZ_CHECK(cut == field.substr(0, end == std::string::npos ? 0 : end + 1));
    // Plain decimal fields read as their number.
    if (!cut.empty() && cut.size() <= 9 && cut.find_first_not_of("0123456789") == std::string::npos)
        FUZZ_CHECK(ok32 && v32 == std::stoi(cut));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const uint8_t flags = in.ConsumeIntegral<uint8_t>();
    TLinkSettings s;
    s.CCode = flags & 1;
    s.Kredit = (flags >> 1) & 1;
    s.MxSn = in.ConsumeIntegralInRange<int32_t>(-2, 20);
    s.MxVec = in.ConsumeIntegralInRange<int32_t>(-2, 20);
    const size_t spare = in.ConsumeIntegralInRange<size_t>(0, 60);
    check_number_readers(in.ConsumeRandomLengthString(12));
    const std::string text = in.ConsumeRemainingBytesAsString();

    // Exactly the room the caller gives, so a write past it is caught.
    const size_t capacity = text.size() + 1 + spare;
    std::unique_ptr<char[]> line(new char[capacity]());
    std::memcpy(line.get(), text.data(), text.size());
    const std::string original(line.get());
    const int expected = PayloadLength(line.get(), s);

    const int n = BuildPayload(line.get(), capacity, s);
    if (n < 0) {
        FUZZ_CHECK(std::string(line.get()) == original);
        return 0;
    }
    FUZZ_CHECK(n == expected);
    FUZZ_CHECK(static_cast<size_t>(n) < capacity && line[n] == '\0');
    const char letter = original.empty() ? '\0' : original[0];
    if (letter == 'Q' || letter == 'R' || letter == 'q' || letter == 'r') {
        FUZZ_CHECK(line[0] == (letter == 'Q' ? 'X' : letter));
        // Names leave the transliteration as plain bytes.
        for (size_t k = 0; k < 14; ++k) {
            const uint8_t c = 56 + k < original.size() ? static_cast<uint8_t>(original[56 + k]) : 0;
            FUZZ_CHECK(static_cast<uint8_t>(line[26 + k]) == ToTerminalChar(c));
        }
    } else if (letter != 'c') {
        FUZZ_CHECK(std::string(line.get()) == original);
    }
    return 0;
}
