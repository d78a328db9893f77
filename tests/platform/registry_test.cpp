#include "platform/codepage.h"
#include "platform/registry.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using platform::RegistryStore;
using platform::RegValue;

namespace {

const std::string Key = "HKEY_CURRENT_USER\\Software\\VELKON_Software\\Porcio\\Setup";

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/stravon-reg-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        path = dir + "/user.reg";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    void put(const std::string& bytes) const
    {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    std::string get() const
    {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    size_t files_in_dir() const
    {
        return size_t(std::distance(std::filesystem::directory_iterator(dir), {}));
    }

    std::string dir;
    std::string path;
};

std::vector<uint8_t> bytes(std::initializer_list<int> list)
{
    std::vector<uint8_t> out;
    for (int b : list) out.push_back(uint8_t(b));
    return out;
}

std::string utf16le_with_bom(const std::string& ascii_crlf)
{
    std::string out = "\xFF\xFE";
    for (char c : ascii_crlf) {
        out += c;
        out += '\0';
    }
    return out;
}

}  // namespace

TEST_F(RegistryTest, EveryValueTypeSurvivesAWriteAndARead)
{
    RegistryStore store(path);
    std::vector<uint8_t> record(68);
    for (size_t i = 0; i < record.size(); ++i) record[i] = uint8_t(i * 7 + 1);
    const std::vector<std::pair<std::string, RegValue>> values = {
        {"Data_CFG", {platform::Reg_binary, record}},
        {"Empty", {platform::Reg_binary, {}}},
        {"Count", {platform::Reg_dword, bytes({0x78, 0x56, 0x34, 0x12})}},
        {"Text", {platform::Reg_sz, bytes({'C', ':', '\\', 'a', '"', 'b'})}},
        {"Czech", {platform::Reg_sz, std::vector<uint8_t>({0xC5, 0x99})}},  // "ř" in UTF-8
        {"Terminated", {platform::Reg_sz, bytes({'a', 0})}},
        {"Expand", {platform::Reg_expand_sz, bytes({'%', 0, 'X', 0, 0, 0})}},
        {"Quad", {platform::Reg_qword, bytes({1, 2, 3, 4, 5, 6, 7, 8})}},
        {"Odd \"name\"", {0x20, bytes({0xFF})}},
    };
    for (const auto& [name, value] : values) ASSERT_TRUE(store.write(Key, name, value)) << name;
    for (const auto& [name, value] : values) {
        auto got = store.read(Key, name);
        ASSERT_TRUE(got.has_value()) << name;
        EXPECT_EQ(*got, value) << name;
    }
    std::string text = get();
    EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\n", 0), 0u);
    EXPECT_NE(text.find("\"Count\"=dword:12345678\n"), std::string::npos);
    EXPECT_NE(text.find("\"Text\"=\"C:\\\\a\\\"b\"\n"), std::string::npos);
    // A 68-byte record is wrapped onto continuation lines like regedit does.
    EXPECT_NE(text.find(",\\\n  "), std::string::npos);
    EXPECT_FALSE(store.read(Key, "Missing").has_value());
    EXPECT_FALSE(store.read("Software\\Other", "Data_CFG").has_value());
}

TEST_F(RegistryTest, ReadsAHandWrittenFileWithAllKindsOfLines)
{
    put("Windows Registry Editor Version 5.00\n"
        "\n"
        "; exported by hand\n"
        "[HKEY_CURRENT_USER\\Software\\VELKON_Software\\Porcio\\Setup]\n"
        "@=\"default\"\n"
        "\"Data_CFG\"=hex:01,00,01,\\\n"
        "  00,00,00, \\\n"
        "  04\n"
        "\"Small\"=dword:0000002a\n"
        "\"Path\"=\"C:\\\\Porcio\\\\in.txt\"\n"
        "\"Multi\"=hex(7):61,00,00,00,00,00\n"
        "\"Gone\"=-\n"
        "\"Broken\"=hex:zz\n"
        // A string cut off by hand after a backslash: not a continued line.
        "\"Cut\"=\"C:\\\n"
        "\"After\"=dword:00000007\n"
        "[-HKEY_CURRENT_USER\\Software\\Removed]\n");
    RegistryStore store(path);
    EXPECT_TRUE(store.open_key("\\Software\\VELKON_Software\\Porcio\\Setup", false));
    EXPECT_EQ(store.read(Key, "Data_CFG"), (RegValue{platform::Reg_binary, bytes({1, 0, 1, 0, 0, 0, 4})}));
    EXPECT_EQ(store.read(Key, "small"), (RegValue{platform::Reg_dword, bytes({42, 0, 0, 0})}));
    auto text = store.read(Key, "Path");
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(std::string(text->data.begin(), text->data.end()), "C:\\Porcio\\in.txt");
    EXPECT_EQ(store.read(Key, "Multi"), (RegValue{platform::Reg_multi_sz, bytes({0x61, 0, 0, 0, 0, 0})}));
    bool unreadable = true;
    EXPECT_FALSE(store.read(Key, "Gone", &unreadable).has_value());
    EXPECT_FALSE(unreadable) << "a deleted value is missing, not unreadable";
    EXPECT_FALSE(store.read(Key, "Nowhere", &unreadable).has_value());
    EXPECT_FALSE(unreadable);
    EXPECT_FALSE(store.read(Key, "Broken", &unreadable).has_value());
    EXPECT_TRUE(unreadable);
    EXPECT_FALSE(store.read(Key, "Cut").has_value());
    EXPECT_EQ(store.read(Key, "After"), (RegValue{platform::Reg_dword, bytes({7, 0, 0, 0})}));
    EXPECT_FALSE(store.open_key("Software\\Removed", false));
}

TEST_F(RegistryTest, ReadsAWindowsExportInUtf16WithCrLf)
{
    put(utf16le_with_bom("Windows Registry Editor Version 5.00\r\n\r\n"
                         "[HKEY_CURRENT_USER\\Software\\VELKON_Software\\Porcio\\Setup]\r\n"
                         "\"Data_CFG\"=hex:01,00,01,00,00,00,00,00,00,00,00,00,04,00,00,00,c4,09,00,\\\r\n"
                         "  00,05,00,00,00\r\n"
                         "\"Name\"=\"x\"\r\n"));
    RegistryStore store(path);
    auto v = store.read(Key, "Data_CFG");
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(v->type, platform::Reg_binary);
    EXPECT_EQ(v->data, bytes({1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0xc4, 9, 0, 0, 5, 0, 0, 0}));
    EXPECT_EQ(store.read(Key, "Name"), (RegValue{platform::Reg_sz, bytes({'x'})}));

    // Rewriting keeps the other value and turns the file into UTF-8 text.
    ASSERT_TRUE(store.write(Key, "Data_CFG", RegValue{platform::Reg_binary, bytes({9})}));
    EXPECT_EQ(store.read(Key, "Data_CFG"), (RegValue{platform::Reg_binary, bytes({9})}));
    EXPECT_EQ(store.read(Key, "Name"), (RegValue{platform::Reg_sz, bytes({'x'})}));
    EXPECT_EQ(get().find('\0'), std::string::npos);
}

TEST_F(RegistryTest, ReadsRegedit4InTheAnsiCodePage)
{
    put("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\VELKON_Software\\Porcio\\Setup]\r\n"
        "\"Label\"=\"otev\xF8" "en\"\r\n"
        "\"Data_CFG\"=hex:05\r\n");
    RegistryStore store(path);
    EXPECT_EQ(store.read(Key, "Data_CFG"), (RegValue{platform::Reg_binary, bytes({5})}));
    auto label = store.read(Key, "Label");
    ASSERT_TRUE(label.has_value());
    EXPECT_EQ(std::string(label->data.begin(), label->data.end()), "otev\xC5\x99" "en");
}

TEST_F(RegistryTest, WriteKeepsOtherKeysValuesAndComments)
{
    const std::string other_key = "[HKEY_CURRENT_USER\\Software\\Other]\n\"Keep\"=dword:00000001\n";
    put("Windows Registry Editor Version 5.00\n\n"
        "; technician's note\n" + other_key + "\n"
        "[HKEY_CURRENT_USER\\Software\\VELKON_Software\\Porcio\\Setup]\n"
        "\"Before\"=\"b\"\n"
        "\"Data_CFG\"=hex:01,\\\n  02\n"
        "\"After\"=hex(2):41,00,00,00\n\n"
        "[HKEY_CURRENT_USER\\Software\\Third]\n\"Z\"=\"z\"\n");
    RegistryStore store(path);
    ASSERT_TRUE(store.write(Key, "Data_CFG", RegValue{platform::Reg_binary, bytes({7, 7})}));
    ASSERT_TRUE(store.write(Key, "New", RegValue{platform::Reg_dword, bytes({2, 0, 0, 0})}));

    std::string text = get();
    EXPECT_NE(text.find("; technician's note\n" + other_key), std::string::npos);
    EXPECT_EQ(text.find("01,\\"), std::string::npos) << "old value must be replaced, not kept";
    EXPECT_EQ(store.read(Key, "Data_CFG"), (RegValue{platform::Reg_binary, bytes({7, 7})}));
    EXPECT_EQ(store.read(Key, "New"), (RegValue{platform::Reg_dword, bytes({2, 0, 0, 0})}));
    EXPECT_EQ(store.read(Key, "Before"), (RegValue{platform::Reg_sz, bytes({'b'})}));
    EXPECT_EQ(store.read(Key, "After"), (RegValue{platform::Reg_expand_sz, bytes({0x41, 0, 0, 0})}));
    EXPECT_EQ(store.read("Software\\Third", "Z"), (RegValue{platform::Reg_sz, bytes({'z'})}));
    // The new value lands in its own key, not in the section that follows it.
    EXPECT_LT(text.find("\"New\"="), text.find("[HKEY_CURRENT_USER\\Software\\Third]"));
}

TEST_F(RegistryTest, EveryWriteReadsBackWhatItWrote)
{
    // The last line of the key asks for a continuation the file does not have.
    const std::string cut = "Windows Registry Editor Version 5.00\n\n[" + Key + "]\n\"Note\"=hex:01,02,\\\n";
    put(cut);
    RegistryStore store(path);
    bool unreadable = false;
    EXPECT_FALSE(store.read(Key, "Note", &unreadable).has_value());
    EXPECT_TRUE(unreadable);
    const RegValue record{platform::Reg_binary, std::vector<uint8_t>(68, 0x5A)};
    ASSERT_TRUE(store.open_key(Key, true));
    ASSERT_TRUE(store.write(Key, "Data_CFG", record));
    EXPECT_EQ(store.read(Key, "Data_CFG"), record);
    EXPECT_FALSE(store.read(Key, "Note", &unreadable).has_value());
    EXPECT_TRUE(unreadable) << "the cut-off value is left as it was";

    // A write that could not be read back the same fails and changes nothing.
    const std::string before = get();
    EXPECT_FALSE(store.write(Key, "two\nlines", RegValue{platform::Reg_binary, bytes({1})}));
    EXPECT_FALSE(store.write("", "Data_CFG", record));
    EXPECT_FALSE(store.open_key("Software\\Bad\nKey", true));
    EXPECT_EQ(get(), before);
    EXPECT_EQ(files_in_dir(), 1u);
}

TEST_F(RegistryTest, OpenKeyCreatesTheSectionAndTheDirectory)
{
    RegistryStore store(dir + "/a/b/user.reg");
    EXPECT_FALSE(store.open_key(Key, false));
    EXPECT_FALSE(std::filesystem::exists(dir + "/a"));
    EXPECT_TRUE(store.open_key(Key, true));
    EXPECT_TRUE(store.open_key(Key, false));
    EXPECT_FALSE(store.read(Key, "Data_CFG").has_value());
}

TEST_F(RegistryTest, UnknownFileIsNeitherReadNorOverwritten)
{
    const std::string foreign = "not a registry file\n\"Data_CFG\"=hex:01\n";
    put(foreign);
    RegistryStore store(path);
    EXPECT_FALSE(store.read(Key, "Data_CFG").has_value());
    EXPECT_FALSE(store.write(Key, "Data_CFG", RegValue{platform::Reg_binary, bytes({1})}));
    EXPECT_EQ(get(), foreign);
}

TEST_F(RegistryTest, FailedWriteLeavesTheOldFileUntouched)
{
    std::string old = "Windows Registry Editor Version 5.00\n\n[" + Key + "]\n\"Data_CFG\"=hex:" ;
    for (int i = 0; i < 100; ++i) old += "00,";
    old += "01\n";
    put(old);
    // The child may write at most 64 bytes per file, so the new file cannot be written.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{64, 64};
        setrlimit(RLIMIT_FSIZE, &limit);
        RegistryStore store(path);
        bool ok = store.write(Key, "Data_CFG", RegValue{platform::Reg_binary, std::vector<uint8_t>(68, 0xAB)});
        _exit(ok ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the failed write was reported as success";
    EXPECT_EQ(get(), old);
    EXPECT_EQ(files_in_dir(), 1u) << "temporary file left behind";
}

TEST_F(RegistryTest, WriteFailsWhenTheDirectoryCannotBeMade)
{
    put("Windows Registry Editor Version 5.00\n");
    RegistryStore store(path + "/stravon/user.reg");  // user.reg is a file, not a directory
    EXPECT_FALSE(store.write(Key, "Data_CFG", RegValue{platform::Reg_binary, bytes({1})}));
    EXPECT_FALSE(store.open_key(Key, true));
    EXPECT_EQ(get(), "Windows Registry Editor Version 5.00\n");
}

TEST(RegistryPath, FollowsXdgConfigHomeThenHome)
{
    std::string saved_xdg = getenv("XDG_CONFIG_HOME") ? getenv("XDG_CONFIG_HOME") : "";
    bool had_xdg = getenv("XDG_CONFIG_HOME") != nullptr;
    std::string saved_home = getenv("HOME") ? getenv("HOME") : "";
    setenv("XDG_CONFIG_HOME", "/x/conf", 1);
    EXPECT_EQ(platform::default_registry_path(), "/x/conf/stravon/user.reg");
    unsetenv("XDG_CONFIG_HOME");
    setenv("HOME", "/home/kuchar", 1);
    EXPECT_EQ(platform::default_registry_path(), "/home/kuchar/.config/stravon/user.reg");
    setenv("HOME", saved_home.c_str(), 1);
    if (had_xdg) setenv("XDG_CONFIG_HOME", saved_xdg.c_str(), 1);
}

TEST(Utf16, SurrogatePairsAndStrayHalves)
{
    // U+1F600 as a pair, then a lone high surrogate followed by 'A'.
    std::string in = std::string("\x3D\xD8\x00\xDE", 4) + std::string("\x00\xD8\x41\x00", 4);
    EXPECT_EQ(platform::utf16le_to_utf8(in), "\xF0\x9F\x98\x80\xEF\xBF\xBD" "A");
}
