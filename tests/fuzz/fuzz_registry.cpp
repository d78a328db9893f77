// The .reg store: any file is read without harm, and a write either reads
// back exactly what it wrote, keeping the other values, or changes nothing.
#include <fuzzer/FuzzedDataProvider.h>

#include <fstream>
#include <iterator>
#include <string>

#include "fuzz_support.h"
#include "platform/registry.h"

namespace {

const std::string& scratch_file()
{
    static const std::string path = fuzz_scratch_dir() + "/user.reg";
    return path;
}

std::string contents(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string upper(std::string s)
{
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using platform::RegValue;
    FuzzedDataProvider in(data, size);
    // The value to write comes first, the file it goes into after it.
    const std::string key = in.ConsumeBool() ? std::string(platform::Setup_key) : in.ConsumeRandomLengthString(24);
    const std::string name = in.ConsumeBool() ? std::string("Data_CFG") : in.ConsumeRandomLengthString(16);
    RegValue value;
    static const uint32_t types[] = {platform::Reg_binary, platform::Reg_sz, platform::Reg_expand_sz,
                                     platform::Reg_dword, platform::Reg_multi_sz, platform::Reg_qword};
    const size_t pick = in.ConsumeIntegralInRange<size_t>(0, std::size(types));
    value.type = pick < std::size(types) ? types[pick] : in.ConsumeIntegral<uint32_t>();
    const std::string bytes = in.ConsumeRandomLengthString(96);
    value.data.assign(bytes.begin(), bytes.end());
    const bool open_first = in.ConsumeBool();
    const std::string file = in.ConsumeRemainingBytesAsString();

    const std::string& path = scratch_file();
    std::ofstream(path, std::ios::binary | std::ios::trunc) << file;
    platform::RegistryStore store(path);

    // Values the write must leave alone.
    const std::string others[] = {"Data_CFG", "A", "B", ""};
    std::optional<RegValue> before[std::size(others)];
    for (size_t i = 0; i < std::size(others); ++i) {
        bool unreadable = false;
        before[i] = store.read(key, others[i], &unreadable);
        FUZZ_CHECK(!(before[i] && unreadable));
    }

    if (open_first && !store.open_key(key, true)) {
        FUZZ_CHECK(contents(path) == file);
        return 0;
    }
    const std::string opened = contents(path);
    if (open_first) FUZZ_CHECK(store.open_key(key, false));

    if (!store.write(key, name, value)) {
        FUZZ_CHECK(contents(path) == opened);
        return 0;
    }
    FUZZ_CHECK(store.read(key, name) == value);
    for (size_t i = 0; i < std::size(others); ++i)
        if (upper(others[i]) != upper(name) && before[i]) FUZZ_CHECK(store.read(key, others[i]) == before[i]);
    return 0;
}
