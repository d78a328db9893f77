// The 68-byte configuration record "Data_CFG" and what is derived from it.
// Pure data: no registry access.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "protocol/settings.h"

inline constexpr std::size_t ConfigRecordSize = 68;
inline constexpr std::size_t FileNameFieldSize = 15;
inline constexpr std::size_t FileNameMaxLength = 12;
using TConfigBytes = std::array<uint8_t, ConfigRecordSize>;

struct TDataCFG {
    uint8_t Adr1 = 0, Port1 = 0, Pripojen1 = 0;
    uint8_t Adr2 = 0, Port2 = 0, Pripojen2 = 0;
    uint8_t Adr3 = 0, Port3 = 0, Pripojen3 = 0;
    uint8_t Adr4 = 0, Port4 = 0, Pripojen4 = 0;
    int32_t K_Baud1 = 0;
    int32_t Radku1 = 0;
    int32_t MxSn1 = 0;
    int32_t MxVec1 = 0;
    uint8_t CCode1 = 0, DT_use1 = 0, Kredit1 = 0;
    // Single-byte (Windows-1250) text, zero-padded.
    std::array<uint8_t, FileNameFieldSize> InSoubor{};
    std::array<uint8_t, FileNameFieldSize> OutSoubor{};
    uint8_t Rep_read = 0, Rep_write = 0, Priority_set = 0, Delay_add = 0;

    // Terminal position n = 1..4.
    uint8_t& Adr(int n);
    uint8_t& Port(int n);
    uint8_t& Pripojen(int n);
    uint8_t Adr(int n) const;
    uint8_t Port(int n) const;
    uint8_t Pripojen(int n) const;

    friend bool operator==(const TDataCFG&, const TDataCFG&) = default;
};

TConfigBytes encode_config(const TDataCFG& cfg);
// Copies at most 68 bytes; a shorter value leaves the rest zero.
TDataCFG decode_config(std::span<const uint8_t> bytes);
TDataCFG default_config();

// The stored bytes of a name field up to the first zero.
std::string field_text(const std::array<uint8_t, FileNameFieldSize>& field);
// The first 12 bytes of text, zero-padded.
std::array<uint8_t, FileNameFieldSize> make_field(std::string_view bytes);

// Largest capacity a terminal buffer is made for: two records (both halves of
// four weeks) for every 16-bit diner number. No real terminal holds more.
inline constexpr int32_t MaxRecords = 2 * 65536;

struct TDerivedSettings {
    // Radku1 within 1 .. MaxRecords; Data_length is made from it.
    int32_t Records = 0;
    // Master_wait keeps its base; the Delay_add selection adds to it.
    TLinkSettings Link;
};
TDerivedSettings derive_settings(const TDataCFG& cfg);
int32_t baud_for_index(int32_t k_baud);

// What reading the stored value leads to.
enum class TStoredValueKind { Missing, Binary, String, ExpandString, Dword, Other, ReadFailed };
enum class TReadOutcome { NoValue, UseAsIs, ReplaceByDefaults };
TReadOutcome classify_stored_value(TStoredValueKind kind, std::size_t size);

// Why a request file name cannot be watched: it names the output file or one
// of the files the program writes itself, and the router would take its own
// answers as requests.
enum class TNameClash { None, Output, OwnFile };
TNameClash request_name_clash(std::string_view in_name, std::string_view out_name);

// Master_wait = 40 + the number of the selected Delay_add item.
inline constexpr uint32_t MasterWaitBase = 40;

// Integer text as the window's number fields always took it: leading blanks,
// an optional sign, decimal digits or "$"/"0x" hexadecimal (up to 32 bits,
// "$FFFFFFFF" is -1); nullopt for anything else, the empty text included,
// and for decimal values outside 32 bits.
std::optional<int32_t> parse_int(std::string_view text);
