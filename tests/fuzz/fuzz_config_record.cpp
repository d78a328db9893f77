// The 68-byte configuration record: decode and encode give back the stored
// bytes (the reserved tail reads back zero), and the number fields' parser.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <string>

#include "router/config_record.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const std::vector<uint8_t> stored = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 80));
    const std::string text = in.ConsumeRemainingBytesAsString();

    const TDataCFG cfg = decode_config(stored);
    const TConfigBytes bytes = encode_config(cfg);
    for (size_t i = 0; i < ConfigRecordSize; ++i) {
        const uint8_t want = i < stored.size() && i < 65 ? stored[i] : 0;
        FUZZ_CHECK(bytes[i] == want);
    }
    FUZZ_CHECK(decode_config(bytes) == cfg);
    const TDerivedSettings s = derive_settings(cfg);
    FUZZ_CHECK(s.Link.Baud_rate == baud_for_index(cfg.K_Baud1));

    FUZZ_CHECK(field_text(make_field(text)) == text.substr(0, std::min(text.find('\0'), FileNameMaxLength)));

    // What parses, parses again from its decimal text.
    if (const std::optional<int32_t> v = parse_int(text)) FUZZ_CHECK(parse_int(std::to_string(*v)) == v);
    return 0;
}
