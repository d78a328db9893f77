// The files of the working directory on Windows.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "platform/files.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;

namespace {

class FilesWin32 : public ScratchDirTest {
protected:
    FilesWin32() : ScratchDirTest("stravon-files-") {}
    std::string content(const std::string& name) const {
        std::ifstream in(dir / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    size_t entries() const { return size_t(std::distance(fs::directory_iterator(dir), fs::directory_iterator())); }
};

}  // namespace

TEST_F(FilesWin32, ReplaceWritesOverAnExistingFileAndLeavesNothingBeside) {
    EXPECT_STREQ(platform::Text_line_end, "\r\n");
    ASSERT_EQ(platform::replace_file(path("porcom.sta"), "1,2\r\n"), 0);
    // rename() of the C runtime would refuse here: the file exists.
    ASSERT_EQ(platform::replace_file(path("porcom.sta"), "12,345\r\n"), 0);
    EXPECT_EQ(content("porcom.sta"), "12,345\r\n");
    EXPECT_EQ(entries(), 1u);

    // A reader that has the file open holds the replace up only while it
    // has it (Windows lets a reader that shares deletion be replaced at
    // once; Wine does not).
    HANDLE reader = CreateFileA(path("porcom.sta").c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    std::thread closer([reader] {
        Sleep(30);
        CloseHandle(reader);
    });
    EXPECT_EQ(platform::replace_file(path("porcom.sta"), "-1,-1\r\n"), 0);
    closer.join();
    EXPECT_EQ(content("porcom.sta"), "-1,-1\r\n");
    EXPECT_EQ(entries(), 1u);
}

TEST_F(FilesWin32, AReaderThatNeverLetsGoLeavesTheOldFileWhole) {
    ASSERT_EQ(platform::replace_file(path("porcom.sta"), "1,2\r\n"), 0);
    HANDLE reader = CreateFileA(path("porcom.sta").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_LT(platform::replace_file(path("porcom.sta"), "3,4\r\n"), 0);
    CloseHandle(reader);
    EXPECT_EQ(content("porcom.sta"), "1,2\r\n");
    EXPECT_EQ(entries(), 1u);
}

TEST_F(FilesWin32, AReplaceThatCannotBeDoneChangesNothing) {
    fs::create_directory(dir / "porcom.sta");
    EXPECT_LT(platform::replace_file(path("porcom.sta"), "1,1\r\n"), 0);
    EXPECT_TRUE(fs::is_directory(dir / "porcom.sta"));
    EXPECT_EQ(entries(), 1u);
    EXPECT_EQ(platform::replace_file(path("missing\\porcom.sta"), "1,1\r\n"), -ENOENT);
}

TEST_F(FilesWin32, AppendCreatesAndGrowsAndRemoveTakesTheName) {
    ASSERT_EQ(platform::append_file(path("errorlog.txt"), "a\r\n"), 0);
    ASSERT_EQ(platform::append_file(path("errorlog.txt"), "b\r\n"), 0);
    EXPECT_EQ(content("errorlog.txt"), "a\r\nb\r\n");
    fs::create_directory(dir / "dir.txt");
    EXPECT_LT(platform::append_file(path("dir.txt"), "x"), 0);
    EXPECT_EQ(platform::remove_file(path("errorlog.txt")), 0);
    EXPECT_EQ(platform::remove_file(path("errorlog.txt")), -ENOENT);
    EXPECT_FALSE(platform::error_text(-ENOENT).empty());
    EXPECT_NE(platform::error_text(-ELOOP).find("symbolic"), std::string::npos);
}

TEST_F(FilesWin32, ReadTakesRegularFilesWithinTheirBound) {
    ASSERT_EQ(platform::replace_file(path("in.txt"), std::string(100, 'x')), 0);
    std::string out = "old";
    EXPECT_EQ(platform::read_regular_file(path("in.txt"), 100, out), 0);
    EXPECT_EQ(out, std::string(100, 'x'));
    out = "old";
    EXPECT_EQ(platform::read_regular_file(path("in.txt"), 99, out), -EFBIG);
    EXPECT_EQ(out, "old");
    EXPECT_EQ(platform::read_regular_file(path("none.txt"), 100, out), -ENOENT);
    fs::create_directory(dir / "sub");
    EXPECT_EQ(platform::read_regular_file(path("sub"), 100, out), -EINVAL);
    // A device name is no file; opening it must not wait on it.
    EXPECT_EQ(platform::read_regular_file("NUL", 100, out), -EINVAL);
    // The writer that is still at it keeps the file open for writing.
    HANDLE writer = CreateFileA(path("in.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(platform::read_regular_file(path("in.txt"), 100, out), 0);
    CloseHandle(writer);
}
