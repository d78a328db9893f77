#include "diag/diag.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class DiagTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/stravon-diag-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = fs::canonical(tmpl).string();
        Work_dir = dir;
    }
    void TearDown() override
    {
        Work_dir.clear();
        fs::remove_all(dir);
    }
    std::string file(const std::string& name) const
    {
        std::ifstream in(dir + "/" + name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::vector<std::string> log_lines() const
    {
        std::vector<std::string> lines;
        std::string all = file("errorlog.txt");
        size_t start = 0, nl;
        while ((nl = all.find('\n', start)) != std::string::npos) {
            lines.push_back(all.substr(start, nl - start));
            start = nl + 1;
        }
        EXPECT_EQ(start, all.size()) << "last line not ended";
        return lines;
    }
    // The message part of a log line, after its time stamp.
    static std::string message(const std::string& line)
    {
        static const std::regex stamp(R"(^\d{2}/\d{2}/\d{4} \d{2}:\d{2}:\d{2} - )");
        std::smatch m;
        if (!std::regex_search(line, m, stamp)) return "<no time stamp: " + line + ">";
        return m.suffix();
    }

    std::string dir;
};

// A fixed zone away from UTC in which, for the next minute, day and month
// differ and hour and minute differ, so a mixed-up field cannot pass.
class DistinctLocalZone {
public:
    DistinctLocalZone()
    {
        const char* tz = std::getenv("TZ");
        if (tz) saved_ = tz;
        had_ = tz != nullptr;
        for (int minutes : {337, -337, 443, -443, 61, -61, 719, -719, 203, -203}) {
            char zone[32];
            std::snprintf(zone, sizeof zone, "STV%c%02d:%02d", minutes > 0 ? '-' : '+', std::abs(minutes) / 60,
                          std::abs(minutes) % 60);
            setenv("TZ", zone, 1);
            tzset();
            const std::time_t now = std::time(nullptr);
            if (distinct(now) && distinct(now + 60)) return;
        }
        ADD_FAILURE() << "no zone found";
    }
    ~DistinctLocalZone()
    {
        if (had_) setenv("TZ", saved_.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }
    static std::string stamp(std::time_t t)
    {
        std::tm tm{};
        localtime_r(&t, &tm);
        char text[32];
        std::strftime(text, sizeof text, "%d/%m/%Y %H:%M:%S", &tm);
        return text;
    }

private:
    static bool distinct(std::time_t t)
    {
        std::tm local{}, utc{};
        localtime_r(&t, &local);
        gmtime_r(&t, &utc);
        return local.tm_mday != local.tm_mon + 1 && local.tm_hour != local.tm_min && local.tm_hour != utc.tm_hour &&
               local.tm_min != utc.tm_min;
    }
    std::string saved_;
    bool had_ = false;
};

}  // namespace

TEST_F(DiagTest, ReadWorkDirTakesTheCurrentDirectoryOnce)
{
    std::string start = fs::current_path().string();
    ASSERT_EQ(chdir(dir.c_str()), 0);
    Work_dir.clear();
    EXPECT_EQ(Read_work_dir(), int(dir.size()));
    EXPECT_EQ(Work_dir, dir);
    // A later change of directory does not move the files.
    ASSERT_EQ(chdir("/"), 0);
    EXPECT_EQ(Log_error("Start programu"), 0);
    EXPECT_EQ(log_lines().size(), 1u);
    ASSERT_EQ(chdir(start.c_str()), 0);

    char buffer[256];
    EXPECT_STREQ(GetWorkDir(buffer), dir.c_str());
    EXPECT_EQ(GetWorkDir(), dir);
}

TEST_F(DiagTest, LogLineHasTimeStampAndWindows1250Text)
{
    ASSERT_FALSE(fs::exists(dir + "/errorlog.txt"));
    DistinctLocalZone zone;
    const std::time_t before = std::time(nullptr);
    EXPECT_EQ(Log_error("COM1 otevřen"), 0);
    const std::time_t after = std::time(nullptr);
    std::string all = file("errorlog.txt");
    EXPECT_TRUE(std::regex_match(all, std::regex(R"(\d{2}/\d{2}/\d{4} \d{2}:\d{2}:\d{2} - COM1 otev\xF8en\n)")))
        << all;
    // Day, month and year are in range, so the fields are not swapped.
    int day = std::stoi(all.substr(0, 2)), month = std::stoi(all.substr(3, 2));
    EXPECT_TRUE(day >= 1 && day <= 31 && month >= 1 && month <= 12) << all;
    // Local time, field by field.
    const std::string got = all.substr(0, 19);
    EXPECT_TRUE(got == DistinctLocalZone::stamp(before) || got == DistinctLocalZone::stamp(after))
        << got << " is not " << DistinctLocalZone::stamp(before);
    // Characters Windows-1250 lacks become '?' rather than losing the line.
    EXPECT_EQ(Log_error("Ω漢 konec"), 0);
    auto lines = log_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(message(lines[1]), "?? konec");
}

TEST_F(DiagTest, LinesAreAppendedInCallOrder)
{
    EXPECT_EQ(Log_error("Start programu"), 0);
    EXPECT_EQ(Log_error("TERM 1 MASTER"), 0);
    EXPECT_EQ(Log_error_bytes("R \x9F\xFD"), 0);  // a code-page-852 name goes out unchanged
    auto lines = log_lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(message(lines[0]), "Start programu");
    EXPECT_EQ(message(lines[1]), "TERM 1 MASTER");
    EXPECT_EQ(message(lines[2]), "R \x9F\xFD");
    // Someone deleting the log while we run is fine: the next line recreates it.
    fs::remove(dir + "/errorlog.txt");
    EXPECT_EQ(Log_error("Stop programu"), 0);
    ASSERT_EQ(log_lines().size(), 1u);

    // An outside line is logged whole up to its bound, then cut with its length.
    fs::remove(dir + "/errorlog.txt");
    EXPECT_EQ(Log_long_line(std::string(Max_logged_line, 'x')), 0);
    EXPECT_EQ(Log_long_line(std::string(Max_logged_line + 1, 'y')), 0);
    lines = log_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(message(lines[0]), std::string(200, 'x'));
    EXPECT_EQ(message(lines[1]), std::string(200, 'y') + "... (201 znaku)");
}

TEST_F(DiagTest, SerialErrorMessages)
{
    const std::vector<std::pair<int, std::string>> cases = {
        {-14, "Chyba RS232 cislo: -14  NO8250"},
        {14, "Chyba RS232 cislo: -14  NO8250"},
        {-1, "Chyba RS232 cislo: -1  GENERALERROR"},
        {-24, "Chyba RS232 cislo: -24  NOTSUPPORTED"},
        {-42, "Chyba RS232 cislo: -42  _PACKING_ERROR"},
        {75, "Chyba RS232 cislo: -75  USERDEFINEDERROR"},
        {-75, "Chyba RS232 cislo: -75  USERDEFINEDERROR"},
        {-43, "Chyba RS232 cislo: -43  NEDEFINOVANA CHYBA"},
        {0, "Chyba RS232 cislo: 0  NEDEFINOVANA CHYBA"},
        {INT_MIN, "Chyba RS232 cislo: -2147483648  NEDEFINOVANA CHYBA"},
    };
    for (const auto& [code, text] : cases) EXPECT_EQ(Log_serial_error(code), 0);
    auto lines = log_lines();
    ASSERT_EQ(lines.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(message(lines[i]), cases[i].second);
}

TEST(SerialErrorNames, TableFollowsTheDriverCodes)
{
    // 1..42, then 75, then the end row; every driver code has its own name.
    int row = 0;
    for (int n = 1; n <= 42; ++n, ++row) EXPECT_EQ(Serial_error_names[row].number, n);
    EXPECT_EQ(Serial_error_names[row].number, 75);
    EXPECT_EQ(Serial_error_names[row + 1].number, -1);
    EXPECT_STREQ(Serial_error_names[row + 1].name, "NEDEFINOVANA CHYBA");
    for (int a = 0; a <= row; ++a)
        for (int b = a + 1; b <= row; ++b)
            EXPECT_STRNE(Serial_error_names[a].name, Serial_error_names[b].name);
    EXPECT_STREQ(serial_error_name(-3), "INUSE");
    EXPECT_STREQ(serial_error_name(-8), "BUFREMPTY");
    EXPECT_STREQ(serial_error_name(-28), "ILLEGALSTOPBITS");
    EXPECT_STREQ(serial_error_name(-40), "_THUNK_SETUP_FAILED");
}

TEST_F(DiagTest, StatusFileIsRewrittenWhole)
{
    EXPECT_EQ(Write_status(12, 345), 0);
    EXPECT_EQ(file("porcom.sta"), "12,345\n");
    EXPECT_EQ(Write_status(-1, -1), 0);
    EXPECT_EQ(file("porcom.sta"), "-1,-1\n");
    // Nothing but the status file is left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 1);
}

TEST_F(DiagTest, FailuresAreReportedAndLeaveTheProgramRunning)
{
    fs::create_directory(dir + "/errorlog.txt");  // a directory where the file should be
    EXPECT_NE(Log_error("Start programu"), 0);
    fs::create_directory(dir + "/porcom.sta");
    EXPECT_NE(Write_status(1, 2), 0);
    EXPECT_TRUE(fs::is_directory(dir + "/porcom.sta"));
    Work_dir.clear();  // no working directory taken
    EXPECT_NE(Log_error("x"), 0);
    EXPECT_NE(Write_status(1, 2), 0);
}

TEST_F(DiagTest, TooLongWorkDirIsRefusedWithoutWritingElsewhere)
{
    // 255 characters of directory: no path built from it fits.
    std::string longdir = dir;
    while (longdir.size() < 255) longdir += "/" + std::string(std::min<size_t>(50, 255 - longdir.size() - 1), 'd');
    ASSERT_EQ(longdir.size(), 255u);
    fs::create_directories(longdir);
    std::string start = fs::current_path().string();
    ASSERT_EQ(chdir(longdir.c_str()), 0);
    EXPECT_EQ(Read_work_dir(), 255);
    ASSERT_EQ(chdir(start.c_str()), 0);

    std::string path = "unchanged";
    EXPECT_FALSE(work_path("errorlog.txt", path));
    EXPECT_EQ(path, "unchanged");
    EXPECT_NE(Log_error("Start programu"), 0);
    EXPECT_NE(Write_status(1, 1), 0);
    char buffer[256];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_STREQ(GetWorkDir(buffer), "");
    size_t files = 0;
    for (auto& entry : fs::recursive_directory_iterator(dir))
        if (entry.is_regular_file()) ++files;
    EXPECT_EQ(files, 0u);
}

TEST_F(DiagTest, VanishedCurrentDirectoryGivesNoWorkDir)
{
    std::string start = fs::current_path().string();
    std::string gone = dir + "/gone";
    fs::create_directory(gone);
    ASSERT_EQ(chdir(gone.c_str()), 0);
    fs::remove(gone);
    EXPECT_EQ(Read_work_dir(), 0);
    ASSERT_EQ(chdir(start.c_str()), 0);
    EXPECT_TRUE(Work_dir.empty());
    // Nothing may land in the root directory instead.
    bool existed = fs::exists("/porcom.sta");
    EXPECT_NE(Write_status(3, 4), 0);
    EXPECT_EQ(fs::exists("/porcom.sta"), existed);
}

TEST_F(DiagTest, WorkPathLimitIsExact)
{
    // Directory of 243 characters + "/" + "errorlog.txt" (12) = 256: refused; 242 fits.
    Work_dir = "/" + std::string(242, 'w');
    std::string out;
    EXPECT_FALSE(work_path("errorlog.txt", out));
    Work_dir.pop_back();
    ASSERT_TRUE(work_path("errorlog.txt", out));
    EXPECT_EQ(out.size(), 255u);
    EXPECT_EQ(out, Work_dir + "/errorlog.txt");
    Work_dir = "/";
    ASSERT_TRUE(work_path("porcom.sta", out));
    EXPECT_EQ(out, "/porcom.sta");
}
