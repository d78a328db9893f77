// The current user's registry itself. Keys, names and Reg_sz texts go
// through the wide functions, so they are the same UTF-8 as in the Linux
// store; every other type is the registry's bytes as they stand (a PC's
// 68-byte Data_CFG among them).
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "platform/codepage.h"
#include "platform/registry.h"

namespace platform {
namespace {

std::wstring widen(const std::string& s, bool* ok = nullptr) {
    if (ok) *ok = true;
    if (s.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), int(s.size()), nullptr, 0);
    if (n <= 0) {
        if (ok) *ok = false;
        return {};
    }
    std::wstring w(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), int(s.size()), w.data(), n);
    return w;
}

std::string upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return s;
}

// Root and subkey of a key name; HKEY_CURRENT_USER when it names no root.
HKEY split_key(const std::string& key, std::wstring& sub, bool& ok) {
    std::string k = key;
    while (!k.empty() && k.front() == '\\') k.erase(0, 1);
    while (!k.empty() && k.back() == '\\') k.pop_back();
    HKEY root = HKEY_CURRENT_USER;
    const std::string u = upper(k);
    for (const auto& [name, hive] : {std::pair<const char*, HKEY>{"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                                     {"HKCU", HKEY_CURRENT_USER},
                                     {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
                                     {"HKLM", HKEY_LOCAL_MACHINE}}) {
        const std::string n = name;
        if (u == n || u.rfind(n + "\\", 0) == 0) {
            root = hive;
            k.erase(0, std::min(k.size(), n.size() + 1));
            break;
        }
    }
    sub = widen(k, &ok);
    return root;
}

class Key {
public:
    ~Key() {
        if (h_) RegCloseKey(h_);
    }
    HKEY* out() { return &h_; }
    HKEY get() const { return h_; }

private:
    HKEY h_ = nullptr;
};

}  // namespace


std::string default_registry_path() { return std::string("HKEY_CURRENT_USER\\") + Setup_key; }

RegistryStore::RegistryStore(std::string path) : path_(std::move(path)) {}

bool RegistryStore::open_key(const std::string& key, bool create) {
    std::wstring sub;
    bool ok = true;
    const HKEY root = split_key(key, sub, ok);
    if (!ok) return false;
    Key k;
    if (create)
        return RegCreateKeyExW(root, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.out(), nullptr) ==
               ERROR_SUCCESS;
    return RegOpenKeyExW(root, sub.c_str(), 0, KEY_READ, k.out()) == ERROR_SUCCESS;
}

std::optional<RegValue> RegistryStore::read(const std::string& key, const std::string& name, bool* unreadable) const {
    if (unreadable) *unreadable = false;
    std::wstring sub;
    bool ok = true;
    const HKEY root = split_key(key, sub, ok);
    const std::wstring wname = widen(name, &ok);
    if (!ok) return std::nullopt;
    Key k;
    if (RegOpenKeyExW(root, sub.c_str(), 0, KEY_QUERY_VALUE, k.out()) != ERROR_SUCCESS) return std::nullopt;
    // The size asked first may grow before the read: asked again then.
    std::vector<uint8_t> data;
    DWORD type = 0;
    LSTATUS r = ERROR_MORE_DATA;
    for (int attempt = 0; attempt < 4 && r == ERROR_MORE_DATA; ++attempt) {
        DWORD size = 0;
        r = RegQueryValueExW(k.get(), wname.c_str(), nullptr, &type, nullptr, &size);
        if (r != ERROR_SUCCESS) break;
        data.resize(size);
        r = RegQueryValueExW(k.get(), wname.c_str(), nullptr, &type, data.empty() ? nullptr : data.data(), &size);
        if (r == ERROR_SUCCESS) data.resize(size);
    }
    if (r == ERROR_FILE_NOT_FOUND) return std::nullopt;
    if (r != ERROR_SUCCESS) {
        if (unreadable) *unreadable = true;
        return std::nullopt;
    }
    RegValue v;
    v.type = type;
    if (type == Reg_sz) {
        // UTF-16 with its terminator, as text without one.
        std::string units(data.begin(), data.end() - ptrdiff_t(data.size() % 2));
        while (units.size() >= 2 && units[units.size() - 1] == 0 && units[units.size() - 2] == 0)
            units.resize(units.size() - 2);
        const std::string text = utf16le_to_utf8(units);
        v.data.assign(text.begin(), text.end());
    } else {
        v.data = std::move(data);
    }
    return v;
}

bool RegistryStore::write(const std::string& key, const std::string& name, const RegValue& value) {
    std::wstring sub;
    bool ok = true;
    const HKEY root = split_key(key, sub, ok);
    const std::wstring wname = widen(name, &ok);
    if (!ok) return false;
    std::vector<uint8_t> bytes = value.data;
    if (value.type == Reg_sz) {
        // Text that cannot be read back the same is not written at all.
        const std::wstring text = widen(std::string(value.data.begin(), value.data.end()), &ok);
        if (!ok || text.find(L'\0') != std::wstring::npos) return false;
        const auto* p = reinterpret_cast<const uint8_t*>(text.c_str());
        bytes.assign(p, p + (text.size() + 1) * sizeof(wchar_t));
    }
    if (bytes.size() > 0x7fffffff) return false;
    Key k;
    if (RegCreateKeyExW(root, sub.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, k.out(), nullptr) != ERROR_SUCCESS)
        return false;
    return RegSetValueExW(k.get(), wname.c_str(), 0, value.type, bytes.empty() ? nullptr : bytes.data(),
                          static_cast<DWORD>(bytes.size())) == ERROR_SUCCESS;
}

// The registry itself has no file that could be damaged.
bool RegistryStore::damaged() const { return false; }

}  // namespace platform
