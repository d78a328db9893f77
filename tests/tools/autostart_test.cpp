// stravon-autostart writes an entry that a desktop's own launcher runs, and
// that starts the router in the chosen directory or not at all.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/tools/run_tool.h"

namespace fs = std::filesystem;
using testing_tools::run_tool;
using testing_tools::slurp;
using testing_tools::ToolResult;

namespace {

class Autostart : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("stravon-autostart-" + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        // A copy of the tool beside a stand-in router that notes where it was started.
        fs::create_directories(root_ / "bin");
        fs::copy_file(testing_tools::tool_path("stravon-autostart"), tool());
        std::ofstream(root_ / "bin/stravon") << "#!/bin/sh\npwd > '" << started_in().string() << "'\n";
        fs::permissions(root_ / "bin/stravon", fs::perms::owner_all);
    }
    void TearDown() override { fs::remove_all(root_); }

    fs::path tool() const { return root_ / "bin/stravon-autostart"; }
    fs::path started_in() const { return root_ / "started-in"; }
    fs::path entry() const { return root_ / "cfg/autostart/cz.stravon.Stravon.desktop"; }

    ToolResult autostart(const std::vector<std::string>& args, std::vector<std::string> env = {}) {
        env.push_back("XDG_CONFIG_HOME=" + (root_ / "cfg").string());
        return run_tool(tool(), args, env, root_, root_);
    }

    fs::path root_;
};

bool installed(const char* path) { return access(path, X_OK) == 0; }

}  // namespace

TEST_F(Autostart, EntryValidatesAndStartsTheRouterInItsDirectory) {
    // Every character that the entry's quoting must carry through.
    const std::string name = "jidelna \"A\" $HOME 100% `x` \\ 'b'";
    fs::create_directories(root_ / name);

    const ToolResult w = autostart({name + "/"});  // relative: made absolute
    ASSERT_EQ(w.status, 0) << w.err;
    const std::string text = slurp(entry());
    for (const char* key : {"Type=Application\n", "Icon=cz.stravon.Stravon\n", "X-KDE-autostart-after=panel\n",
                            "X-LXQt-Need-Tray=true\n", "X-GNOME-Autostart-Delay="})
        EXPECT_NE(text.find(key), std::string::npos) << key << " missing in\n" << text;

    std::string missing;
    if (installed("/usr/bin/desktop-file-validate")) {
        const ToolResult v = run_tool("/usr/bin/desktop-file-validate", {entry()}, {}, root_);
        EXPECT_EQ(v.status, 0) << v.out << v.err;
        EXPECT_EQ(v.out + v.err, "");
    } else {
        missing += " desktop-file-validate";
    }
    // GLib's launcher parses Exec as a desktop session does.
    if (installed("/usr/bin/gio")) {
        const ToolResult g = run_tool("/usr/bin/gio", {"launch", entry()}, {}, root_);
        EXPECT_EQ(g.status, 0) << g.err;
        for (int i = 0; i < 100 && slurp(started_in()).empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(slurp(started_in()), (root_ / name).string() + "\n");
    } else {
        missing += " gio";
    }

    EXPECT_EQ(autostart({"--remove"}).status, 0);
    EXPECT_FALSE(fs::exists(entry()));
    EXPECT_EQ(autostart({"--remove"}).status, 0) << "removing twice is no error";
    if (!missing.empty()) GTEST_SKIP() << "not installed (scripts/deps.sh installs them):" << missing;
}

TEST_F(Autostart, MissingDirectoryWritesNothingAndStartFailsLoudly) {
    const ToolResult w = autostart({"gone"});
    EXPECT_NE(w.status, 0);
    EXPECT_NE(w.err.find((root_ / "gone").string() + ": no such directory"), std::string::npos) << w.err;
    EXPECT_FALSE(fs::exists(entry()));

    // At login: a word on stderr for the journal, and no router elsewhere.
    const ToolResult s = autostart({"--start", (root_ / "gone").string()});
    EXPECT_EQ(s.status, 1);
    EXPECT_NE(s.err.find("cannot start Stravon in " + (root_ / "gone").string()), std::string::npos) << s.err;
    EXPECT_FALSE(fs::exists(started_in()));

    const ToolResult cs = autostart({"--start", (root_ / "gone").string()}, testing_tools::czech());
    EXPECT_EQ(cs.status, 1);
    EXPECT_EQ(cs.err.rfind("stravon-autostart: Stravon nelze spustit v adresáři " + (root_ / "gone").string() + ": ", 0),
              0u)
        << cs.err;
}
