#include "router/config_record.h"

#include <algorithm>
#include <cstring>

namespace {

void put32(TConfigBytes& b, std::size_t at, int32_t v)
{
    const auto u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(u >> (8 * i));
}

int32_t get32(const TConfigBytes& b, std::size_t at)
{
    uint32_t u = 0;
    for (int i = 0; i < 4; ++i)
        u |= static_cast<uint32_t>(b[at + i]) << (8 * i);
    return static_cast<int32_t>(u);
}

constexpr std::size_t OffKBaud = 12, OffRadku = 16, OffMxSn = 20, OffMxVec = 24;
constexpr std::size_t OffCCode = 28, OffDTUse = 29, OffKredit = 30;
constexpr std::size_t OffIn = 31, OffOut = 46;
constexpr std::size_t OffRepRead = 61, OffRepWrite = 62, OffPriority = 63, OffDelay = 64;

uint8_t* terminal_field(TDataCFG& c, int n, int which)
{
    uint8_t* base[4][3] = {{&c.Adr1, &c.Port1, &c.Pripojen1},
                           {&c.Adr2, &c.Port2, &c.Pripojen2},
                           {&c.Adr3, &c.Port3, &c.Pripojen3},
                           {&c.Adr4, &c.Port4, &c.Pripojen4}};
    return base[std::clamp(n, 1, 4) - 1][which];
}

} // namespace

uint8_t& TDataCFG::Adr(int n) { return *terminal_field(*this, n, 0); }
uint8_t& TDataCFG::Port(int n) { return *terminal_field(*this, n, 1); }
uint8_t& TDataCFG::Pripojen(int n) { return *terminal_field(*this, n, 2); }
uint8_t TDataCFG::Adr(int n) const { return const_cast<TDataCFG&>(*this).Adr(n); }
uint8_t TDataCFG::Port(int n) const { return const_cast<TDataCFG&>(*this).Port(n); }
uint8_t TDataCFG::Pripojen(int n) const { return const_cast<TDataCFG&>(*this).Pripojen(n); }

TConfigBytes encode_config(const TDataCFG& cfg)
{
    TConfigBytes b{};
    for (int n = 1; n <= 4; ++n) {
        b[3 * (n - 1) + 0] = cfg.Adr(n);
        b[3 * (n - 1) + 1] = cfg.Port(n);
        b[3 * (n - 1) + 2] = cfg.Pripojen(n);
    }
    put32(b, OffKBaud, cfg.K_Baud1);
    put32(b, OffRadku, cfg.Radku1);
    put32(b, OffMxSn, cfg.MxSn1);
    put32(b, OffMxVec, cfg.MxVec1);
    b[OffCCode] = cfg.CCode1;
    b[OffDTUse] = cfg.DT_use1;
    b[OffKredit] = cfg.Kredit1;
    std::copy(cfg.InSoubor.begin(), cfg.InSoubor.end(), b.begin() + OffIn);
    std::copy(cfg.OutSoubor.begin(), cfg.OutSoubor.end(), b.begin() + OffOut);
    b[OffRepRead] = cfg.Rep_read;
    b[OffRepWrite] = cfg.Rep_write;
    b[OffPriority] = cfg.Priority_set;
    b[OffDelay] = cfg.Delay_add;
    return b;
}

TDataCFG decode_config(std::span<const uint8_t> bytes)
{
    TConfigBytes b{};
    std::copy_n(bytes.begin(), std::min(bytes.size(), b.size()), b.begin());
    TDataCFG c;
    for (int n = 1; n <= 4; ++n) {
        c.Adr(n) = b[3 * (n - 1) + 0];
        c.Port(n) = b[3 * (n - 1) + 1];
        c.Pripojen(n) = b[3 * (n - 1) + 2];
    }
    c.K_Baud1 = get32(b, OffKBaud);
    c.Radku1 = get32(b, OffRadku);
    c.MxSn1 = get32(b, OffMxSn);
    c.MxVec1 = get32(b, OffMxVec);
    c.CCode1 = b[OffCCode];
    c.DT_use1 = b[OffDTUse];
    c.Kredit1 = b[OffKredit];
    std::copy_n(b.begin() + OffIn, FileNameFieldSize, c.InSoubor.begin());
    std::copy_n(b.begin() + OffOut, FileNameFieldSize, c.OutSoubor.begin());
    c.Rep_read = b[OffRepRead];
    c.Rep_write = b[OffRepWrite];
    c.Priority_set = b[OffPriority];
    c.Delay_add = b[OffDelay];
    return c;
}

TDataCFG default_config()
{
    TDataCFG c;
    c.Adr1 = 1;
    c.Port1 = 0;
    c.Pripojen1 = 1;
    c.K_Baud1 = 4;
    c.Radku1 = 2500;
    c.MxSn1 = 5;
    c.MxVec1 = 5;
    c.Rep_read = 1;
    c.Rep_write = 1;
    c.Priority_set = 1;
    c.Delay_add = 0;
    return c;
}

std::string field_text(const std::array<uint8_t, FileNameFieldSize>& field)
{
    const auto end = std::find(field.begin(), field.end(), uint8_t{0});
    return std::string(field.begin(), end);
}

std::array<uint8_t, FileNameFieldSize> make_field(std::string_view bytes)
{
    std::array<uint8_t, FileNameFieldSize> f{};
    const std::size_t n = std::min(bytes.size(), FileNameMaxLength);
    std::memcpy(f.data(), bytes.data(), n);
    return f;
}

int32_t baud_for_index(int32_t k_baud)
{
    static constexpr int32_t rates[] = {1200, 2400, 4800, 9600, 19200};
    const auto u = static_cast<uint32_t>(k_baud);
    return u < 5 ? rates[u] : 19200;
}

TDerivedSettings derive_settings(const TDataCFG& cfg)
{
    TDerivedSettings s;
    s.Link.CCode = cfg.CCode1;
    s.Link.DT_use = cfg.DT_use1;
    s.Link.Kredit = cfg.Kredit1;
    s.Link.MxSn = cfg.MxSn1;
    s.Link.MxVec = cfg.MxVec1;
    // Bounded, so that no capacity allocates gigabytes or wraps to nothing.
    s.Records = std::clamp<int32_t>(cfg.Radku1, 1, MaxRecords);
    s.Link.Data_length = s.Records * (cfg.DT_use1 ? 29 : 24);
    s.Link.Baud_rate = baud_for_index(cfg.K_Baud1);
    s.Link.Master_wait = MasterWaitBase;
    return s;
}

TReadOutcome classify_stored_value(TStoredValueKind kind, std::size_t size)
{
    switch (kind) {
    case TStoredValueKind::Missing:
        return TReadOutcome::NoValue;
    case TStoredValueKind::String:
    case TStoredValueKind::ExpandString:
    case TStoredValueKind::Dword:
    case TStoredValueKind::ReadFailed:
        return TReadOutcome::ReplaceByDefaults;
    case TStoredValueKind::Binary:
    case TStoredValueKind::Other:
        break;
    }
    return size <= ConfigRecordSize ? TReadOutcome::UseAsIs : TReadOutcome::ReplaceByDefaults;
}

std::optional<int32_t> parse_int(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    bool hex = false;
    if (i < text.size() && text[i] == '$') {
        hex = true;
        ++i;
    } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        hex = true;
        i += 2;
    }
    if (i == text.size())
        return std::nullopt;
    uint64_t value = 0;
    for (; i < text.size(); ++i) {
        const char ch = text[i];
        int digit;
        if (ch >= '0' && ch <= '9')
            digit = ch - '0';
        else if (hex && ch >= 'a' && ch <= 'f')
            digit = ch - 'a' + 10;
        else if (hex && ch >= 'A' && ch <= 'F')
            digit = ch - 'A' + 10;
        else
            return std::nullopt;
        value = value * (hex ? 16 : 10) + static_cast<uint64_t>(digit);
        if (value > 0xFFFFFFFFull)
            return std::nullopt;
    }
    if (hex) {
        const auto u = static_cast<uint32_t>(value);
        return static_cast<int32_t>(negative ? 0u - u : u);
    }
    if (!negative && value > 0x7FFFFFFFull)
        return std::nullopt;
    if (negative && value > 0x80000000ull)
        return std::nullopt;
    return negative ? static_cast<int32_t>(-static_cast<int64_t>(value)) : static_cast<int32_t>(value);
}

TNameClash request_name_clash(std::string_view in_name, std::string_view out_name)
{
    if (in_name.empty())
        return TNameClash::None;  // names no file at all
    if (in_name == out_name)
        return TNameClash::Output;
    for (std::string_view own : {"porcom.sta", "errorlog.txt", "binarni.bin"})
        if (in_name == own)
            return TNameClash::OwnFile;
    return TNameClash::None;
}
