// The real router's window under a window manager (openbox) on a private X
// display: what the manager shows of it, and the restart that the save offers.
#include "tests/gui/desktop.h"
#include "tests/integration/harness.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <unistd.h>

// fontconfig keeps a cache for the process's life; not ours to free.
extern "C" __attribute__((used)) const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig\n";
}

namespace {

using desktop::Router;
namespace fs = std::filesystem;

constexpr const char* WindowTitle = "Stravon - komunikátor pro jídelny";

struct WithApp {
    WithApp()
    {
        static int argc = 1;
        static char arg0[] = "window_desktop_test";
        static char* argv[] = {arg0, nullptr};
        // Only for the test's own bus connection.
        static QCoreApplication* a = new QCoreApplication(argc, argv);
        (void)a;
    }
};

// The error log's lines without their time stamps.
std::vector<std::string> log_lines(const itest::Sandbox& box)
{
    std::istringstream in(itest::read_file(box.work + "/errorlog.txt"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const auto dash = line.find(" - ");
        lines.push_back(dash == std::string::npos ? line : line.substr(dash + 3));
    }
    return lines;
}

long count_of(const std::vector<std::string>& lines, const std::string& line)
{
    return std::count(lines.begin(), lines.end(), line);
}

class WindowDesktop : public ::testing::Test, private WithApp {
protected:
    WindowDesktop() { desk.start_window_manager(); }

    desktop::Desktop desk;

    // The router's window, once it exists, brought up as from its icon.
    uint32_t shown_window()
    {
        uint32_t w = 0;
        desktop::wait_until([&] { return (w = desk.x().client_window(WindowTitle)) != 0; }, 15000);
        if (w)
            desk.run({"xdotool", "windowactivate", "--sync", std::to_string(w)});
        return w;
    }
    void click(uint32_t window, int x, int y)
    {
        ASSERT_EQ(desk.run({"xdotool", "mousemove", "--sync", "--window", std::to_string(window), std::to_string(x),
                            std::to_string(y), "click", "1"}),
                  0);
    }
    // With STRAVON_SHOTS set, the screen is kept there for a person to look at.
    void screenshot(const std::string& name)
    {
        if (const char* dir = std::getenv("STRAVON_SHOTS"))
            desk.run({"import", "-window", "root", std::string(dir) + "/" + name});
    }
};

} // namespace

TEST_F(WindowDesktop, TheWindowManagerShowsTheIconAndOffersNoMaximize)
{
    Router r(desk);
    ASSERT_TRUE(r.started()) << r.box.log() << r.router.output();
    const uint32_t w = shown_window();
    ASSERT_NE(w, 0u) << r.router.output();

    // _NET_WM_ICON: width, height and the ARGB pixels, for each size.
    const std::vector<uint32_t> icon = desk.x().values(w, "_NET_WM_ICON");
    std::vector<uint32_t> sizes;
    int opaque16 = 0;
    for (size_t at = 0; at + 2 <= icon.size();) {
        const uint32_t width = icon[at], height = icon[at + 1];
        ASSERT_LE(at + 2 + size_t(width) * height, icon.size());
        sizes.push_back(width);
        if (width == 16)
            opaque16 = static_cast<int>(std::count_if(icon.begin() + long(at) + 2, icon.begin() + long(at + 2 + 256),
                                                      [](uint32_t px) { return (px >> 24) > 128; }));
        at += 2 + size_t(width) * height;
    }
    EXPECT_NE(std::find(sizes.begin(), sizes.end(), 16u), sizes.end()) << "a title bar's size";
    EXPECT_TRUE(std::any_of(sizes.begin(), sizes.end(), [](uint32_t s) { return s >= 32; })) << "a task list's size";
    EXPECT_GT(opaque16, 40) << "the picture is drawn, not blank";

    // What the manager offers in the title bar and its menu.
    std::vector<std::string> actions;
    ASSERT_TRUE(desktop::wait_until(
        [&] { return !(actions = desk.x().atom_names(w, "_NET_WM_ALLOWED_ACTIONS")).empty(); }, 10000));
    const auto offers = [&](const char* a) { return std::find(actions.begin(), actions.end(), a) != actions.end(); };
    EXPECT_TRUE(offers("_NET_WM_ACTION_CLOSE"));
    EXPECT_TRUE(offers("_NET_WM_ACTION_MINIMIZE"));
    EXPECT_FALSE(offers("_NET_WM_ACTION_MAXIMIZE_HORZ"));
    EXPECT_FALSE(offers("_NET_WM_ACTION_MAXIMIZE_VERT"));
    EXPECT_FALSE(offers("_NET_WM_ACTION_RESIZE"));
    screenshot("window-openbox.png");
}

TEST_F(WindowDesktop, AnoToTheRestartQuestionStartsTheRouterAgainInItsDirectory)
{
    Router r(desk);
    ASSERT_TRUE(r.started()) << r.box.log() << r.router.output();
    const uint32_t old_window = shown_window();
    ASSERT_NE(old_window, 0u) << r.router.output();

    // "Konfigurace terminálů", then "Uložit CFG"; again should the window not
    // have taken the clicks yet.
    const auto box_up = [&](const char* caption, uint32_t& box, int timeout_ms) {
        return desktop::wait_until([&] { return (box = desk.x().client_window(caption)) != 0; }, timeout_ms);
    };
    uint32_t restart_box = 0;
    for (int attempt = 0; attempt < 5 && !box_up("Varování", restart_box, 2000); ++attempt) {
        click(old_window, 215, 12);
        click(old_window, 487, 283);
    }
    // The restart question, then the close question: Enter takes the default, Ano.
    for (const char* caption : {"Varování", "Pozor!"}) {
        uint32_t box = 0;
        const bool up = box_up(caption, box, 15000);
        if (!up)
            screenshot("restart-no-box.png");
        ASSERT_TRUE(up) << "no box " << caption << "\n" << r.router.output();
        desk.run({"xdotool", "windowactivate", "--sync", std::to_string(box)});
        ASSERT_EQ(desk.run({"xdotool", "key", "--clearmodifiers", "Return"}), 0);
        desktop::wait_until([&] { return !desk.x().exists(box); }, 10000);
    }

    // The old copy closed as a confirmed close does, and a new one started.
    const std::string dir_line = "Pracovni adresar: " + r.box.work;
    ASSERT_TRUE(desktop::wait_until([&] { return count_of(log_lines(r.box), "TERM 1 SLAVE") == 2; }, 30000))
        << r.box.log() << r.router.output();
    const std::vector<std::string> lines = log_lines(r.box);
    const auto stop = std::find(lines.begin(), lines.end(), "Stop programu");
    ASSERT_NE(stop, lines.end());
    EXPECT_EQ(std::vector<std::string>(stop, stop + 4),
              (std::vector<std::string>{"Stop programu", "Restart programu", "Start programu", dir_line}));
    EXPECT_EQ(count_of(lines, "Start programu"), 2);

    // One router in that directory: the program itself, started there again.
    std::vector<pid_t> routers;
    for (const auto& p : fs::directory_iterator("/proc")) {
        std::error_code ec;
        if (fs::read_symlink(p.path() / "cwd", ec) == r.box.work &&
            fs::read_symlink(p.path() / "exe", ec) == fs::canonical(itest::bin_dir() + "/stravon"))
            routers.push_back(std::stoi(p.path().filename().string()));
    }
    EXPECT_EQ(routers, std::vector<pid_t>{r.router.pid()});
    EXPECT_TRUE(r.router.running());
    // With its own window (X may give it the old one's id).
    EXPECT_TRUE(desktop::wait_until([&] { return desk.x().client_window(WindowTitle) != 0; }, 15000));
    // And it holds the single-instance lock again.
    itest::Child second({itest::bin_dir() + "/stravon"}, r.box.env(), r.box.work);
    EXPECT_EQ(second.wait(30000), 255) << second.output();
}
