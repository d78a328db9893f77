// The registry store over the real registry of the (Wine) user.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/registry.h"

namespace {

// Each test works in a key of its own, removed afterwards.
class RegistryWin32 : public ::testing::Test {
protected:
    void SetUp() override {
        key = std::string("Software\\StravonTest\\") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    }
    void TearDown() override { RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\StravonTest"); }
    std::string key;
    platform::RegistryStore store;
};

std::vector<uint8_t> config_record() {
    std::vector<uint8_t> v(68);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(i * 7 + 1);
    v[31] = 'o';
    v[32] = 0;  // zero bytes inside are data, not an end
    return v;
}

}  // namespace

TEST_F(RegistryWin32, TheSetupKeyOfTheCurrentUserIsTheDefault) {
    EXPECT_EQ(store.path(), "HKEY_CURRENT_USER\\Software\\VELKON_Software\\Porcio\\Setup");
    EXPECT_FALSE(store.damaged());
}

TEST_F(RegistryWin32, AConfigurationAPcAlreadyHasIsReadAsItStands) {
    // Written the way the PC's program wrote it, not through the store.
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
              ERROR_SUCCESS);
    const std::vector<uint8_t> record = config_record();
    ASSERT_EQ(RegSetValueExA(h, "Data_CFG", 0, REG_BINARY, record.data(), DWORD(record.size())), ERROR_SUCCESS);
    RegCloseKey(h);

    EXPECT_TRUE(store.open_key("HKEY_CURRENT_USER\\" + key, false));
    bool unreadable = true;
    const auto v = store.read(key, "Data_CFG", &unreadable);
    ASSERT_TRUE(v.has_value());
    EXPECT_FALSE(unreadable);
    EXPECT_EQ(v->type, platform::Reg_binary);
    EXPECT_EQ(v->data, record);
}

TEST_F(RegistryWin32, ValuesComeBackWithTheirTypesAndBytes) {
    EXPECT_FALSE(store.open_key(key, false));
    EXPECT_TRUE(store.open_key(key, true));
    EXPECT_TRUE(store.open_key(key, false));

    const platform::RegValue binary{platform::Reg_binary, config_record()};
    const platform::RegValue text{platform::Reg_sz, {'J', 0xC3, 0xAD, 'd', 'e', 'l', 'n', 'a'}};  // "Jídelna"
    const platform::RegValue dword{platform::Reg_dword, {0x78, 0x56, 0x34, 0x12}};
    const platform::RegValue qword{platform::Reg_qword, {1, 2, 3, 4, 5, 6, 7, 8}};
    const platform::RegValue expand{platform::Reg_expand_sz, {'%', 0, 'X', 0, '%', 0, 0, 0}};
    const platform::RegValue empty{platform::Reg_binary, {}};
    for (const auto& [name, value] : {std::pair{"Data_CFG", binary}, {"Text", text}, {"Dword", dword},
                                      {"Qword", qword}, {"Expand", expand}, {"Empty", empty}}) {
        ASSERT_TRUE(store.write(key, name, value)) << name;
        bool unreadable = true;
        EXPECT_EQ(store.read(key, name, &unreadable), value) << name;
        EXPECT_FALSE(unreadable) << name;
    }
    // The numbering is Windows' own, and a text is stored as Windows keeps one.
    HKEY h = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &h), ERROR_SUCCESS);
    DWORD type = 0, n = 0;
    EXPECT_EQ(RegQueryValueExA(h, "Dword", nullptr, &type, nullptr, &n), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD(REG_DWORD));
    wchar_t wide[16] = {};
    n = sizeof wide;
    EXPECT_EQ(RegQueryValueExW(h, L"Text", nullptr, &type, reinterpret_cast<BYTE*>(wide), &n), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD(REG_SZ));
    EXPECT_EQ(std::wstring(wide), L"J\u00EDdelna");
    RegCloseKey(h);

    // A rewrite replaces the value, type and length included.
    ASSERT_TRUE(store.write(key, "Data_CFG", dword));
    EXPECT_EQ(store.read(key, "Data_CFG"), dword);
}

TEST_F(RegistryWin32, AMissingValueIsNotAnUnreadableOne) {
    bool unreadable = true;
    EXPECT_FALSE(store.read(key, "Data_CFG", &unreadable).has_value());
    EXPECT_FALSE(unreadable);
    ASSERT_TRUE(store.open_key(key, true));
    unreadable = true;
    EXPECT_FALSE(store.read(key, "Data_CFG", &unreadable).has_value());
    EXPECT_FALSE(unreadable);
    // Text that could not be read back the same is refused.
    EXPECT_FALSE(store.write(key, "Bad", platform::RegValue{platform::Reg_sz, {0xFF, 0xFE}}));
    EXPECT_FALSE(store.read(key, "Bad").has_value());
}
