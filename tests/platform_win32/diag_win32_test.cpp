// The error log and the status file as Windows readers expect them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include "diag/diag.h"

namespace fs = std::filesystem;

namespace {

class DiagWin32 : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / "stravon-diag-win32";
        fs::remove_all(dir);
        fs::create_directories(dir);
        old = fs::current_path();
        fs::current_path(dir);
        ASSERT_GT(Read_work_dir(), 0);
    }
    void TearDown() override {
        fs::current_path(old);
        Work_dir.clear();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::string file(const std::string& name) const {
        std::ifstream in(dir / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    fs::path dir, old;
};

}  // namespace

TEST_F(DiagWin32, LogLinesEndInCrLfAndAreWindows1250) {
    EXPECT_EQ(fs::path(Work_dir), dir);
    ASSERT_EQ(Log_error("COM1 otevřen"), 0);
    ASSERT_EQ(Log_error("Start programu"), 0);
    const std::string log = file("errorlog.txt");
    static const std::regex lines(
        R"(^\d{2}/\d{2}/\d{4} \d{2}:\d{2}:\d{2} - COM1 otev\xF8en\r\n\d{2}/\d{2}/\d{4} \d{2}:\d{2}:\d{2} - Start programu\r\n$)");
    EXPECT_TRUE(std::regex_match(log, lines)) << log;
}

TEST_F(DiagWin32, TheStatusFileIsReplacedWhole) {
    ASSERT_EQ(Write_status(12, 345), 0);
    ASSERT_EQ(Write_status(-1, -1), 0);
    EXPECT_EQ(file("porcom.sta"), "-1,-1\r\n");
    size_t entries = 0;
    for (const auto& e : fs::directory_iterator(dir)) entries += e.path().filename() != "errorlog.txt";
    EXPECT_EQ(entries, 1u);
}
