// The current user's registry, kept as a text file in the .reg format that
// regedit exports, so a key exported on a Windows PC can be copied over.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// Value types in the Windows numbering.
constexpr uint32_t Reg_none = 0;
constexpr uint32_t Reg_sz = 1;
constexpr uint32_t Reg_expand_sz = 2;
constexpr uint32_t Reg_binary = 3;
constexpr uint32_t Reg_dword = 4;
constexpr uint32_t Reg_multi_sz = 7;
constexpr uint32_t Reg_qword = 11;

// The program's key; "HKEY_CURRENT_USER\" is implied when a key has no root.
inline constexpr const char* Setup_key = "Software\\VELKON_Software\\Porcio\\Setup";

// Reg_sz data are the UTF-8 bytes of the text without a terminator; Reg_dword
// four little-endian bytes; every other type the bytes as listed in the file.
struct RegValue {
    uint32_t type = Reg_binary;
    std::vector<uint8_t> data;
    bool operator==(const RegValue&) const = default;
};

// ${XDG_CONFIG_HOME:-$HOME/.config}/stravon/user.reg
std::string default_registry_path();

class RegistryStore {
public:
    explicit RegistryStore(std::string path = default_registry_path());

    // True when the key exists. With create, a missing key is added to the
    // file as an empty section at once (false when that cannot be written).
    bool open_key(const std::string& key, bool create);
    // The value, or nothing when the file, key or value is missing, deleted
    // ("=-") or unreadable.
    // unreadable, when given, tells a value that is there but cannot be
    // parsed from one that is missing.
    std::optional<RegValue> read(const std::string& key, const std::string& name,
                                 bool* unreadable = nullptr) const;
    // Replaces or adds one value and keeps everything else of the file. The
    // file is replaced whole by rename, so on failure it stays as it was.
    bool write(const std::string& key, const std::string& name, const RegValue& value);

    // The file is there but is no registry file this store can read
    // (another format, or unreadable): every write would fail.
    bool damaged() const;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};


}  // namespace platform
