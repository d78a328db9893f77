// stravon-autostart writes an entry that a desktop's own launcher runs, and
// that starts the router in the chosen directory or not at all.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/integration/harness.h"
#include "tests/tools/run_tool.h"
#include "tools/notify.h"

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

namespace {

std::string program(const char* name) {
    for (const char* dir : {"/usr/bin", "/bin"})
        if (access((std::string(dir) + "/" + name).c_str(), X_OK) == 0) return std::string(dir) + "/" + name;
    return {};
}

// The fields of one line of stravon-notification-service.
std::vector<std::string> notify_fields(const std::string& line) {
    std::vector<std::string> fields(1);
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\t') {
            fields.emplace_back();
        } else if (line[i] == '\\' && i + 1 < line.size()) {
            const char c = line[++i];
            fields.back() += c == 'n' ? '\n' : c == 't' ? '\t' : c;
        } else {
            fields.back() += line[i];
        }
    }
    return fields;
}

}  // namespace

// At login the journal is all that standard error reaches: the desktop says
// why the router did not come, through whichever notification program the
// session has, and a missing or hung notification service holds nothing up.
TEST_F(Autostart, MissingDirectoryAtLoginIsShownOnTheDesktop) {
#ifndef STRAVON_NOTIFICATION_SERVICE
    GTEST_SKIP() << "the notification service stand-in needs Qt (STRAVON_GUI)";
#else
    const std::string dbus_daemon = program("dbus-daemon");
    if (dbus_daemon.empty()) GTEST_SKIP() << "no dbus-daemon (scripts/deps.sh installs it)";
    // A private session bus.
    itest::write_file((root_ / "bus.conf").string(),
        "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
        " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
        "<busconfig>\n  <type>session</type>\n  <listen>unix:path=" + (root_ / "bus").string() + "</listen>\n"
        "  <auth>EXTERNAL</auth>\n  <policy context=\"default\">\n"
        "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n    <allow eavesdrop=\"true\"/>\n"
        "    <allow own=\"*\"/>\n  </policy>\n</busconfig>\n");
    itest::Child bus({dbus_daemon, "--config-file=" + (root_ / "bus.conf").string(), "--nofork", "--print-address=1"},
                     {"HOME=" + root_.string()}, root_.string());
    const std::string address = bus.read_line(15000);
    ASSERT_EQ(address.rfind("unix:", 0), 0u) << bus.output();
    const std::vector<std::string> on_bus = {"DBUS_SESSION_BUS_ADDRESS=" + address, "HOME=" + root_.string()};
    auto start_service = [&](std::vector<std::string> args) {
        args.insert(args.begin(), testing_tools::tool_path("stravon-notification-service"));
        itest::Child service(args, on_bus, root_.string());
        EXPECT_EQ(service.read_line(15000), "ready") << service.output();
        return service;
    };

    // A directory that is gone, with a name that each quoting must carry through.
    const std::string gone = (root_ / "jídelna 'A' \"B\" \\ $HOME <x> & y").string();
    const std::string escaped_gone = tools::markup_escape(gone);
    // Each notification program alone on PATH.
    std::vector<std::pair<std::string, std::string>> senders;
    std::string missing;
    for (const char* name : {"notify-send", "gdbus"}) {
        const std::string path = program(name);
        if (path.empty()) {
            missing += std::string(" ") + name;
            continue;
        }
        fs::create_directories(root_ / name);
        fs::create_symlink(path, root_ / name / name);
        senders.emplace_back(name, (root_ / name).string());
    }
    ASSERT_FALSE(senders.empty()) << "neither notify-send nor gdbus";

    itest::Child service = start_service({});
    for (const auto& [name, dir] : senders) {
        // D-Bus carries UTF-8 also from a terminal in another encoding.
        for (const char* locale : {"cs_CZ.UTF-8", "cs_CZ.ISO-8859-2", "C.UTF-8"}) {
            const bool in_czech = std::string(locale).rfind("cs", 0) == 0;
            std::vector<std::string> env = on_bus;
            env.push_back("PATH=" + dir);
            if (in_czech)
                for (const std::string& e : testing_tools::czech(std::string(locale).substr(6))) env.push_back(e);
            const ToolResult s = autostart({"--start", gone}, env);
            EXPECT_EQ(s.status, 1) << name << " " << locale;
            EXPECT_EQ(s.out, "") << name;
            EXPECT_EQ(std::count(s.err.begin(), s.err.end(), '\n'), 1) << name << ": " << s.err;
            const std::vector<std::string> f = notify_fields(service.read_line(10000));
            ASSERT_EQ(f.size(), 7u) << name << " " << locale << ": " << service.output();
            EXPECT_EQ(f[0], "notify");
            EXPECT_EQ(f[1], "Stravon") << name;
            EXPECT_EQ(f[2], "cz.stravon.Stravon") << name;
            EXPECT_EQ(f[3], in_czech ? "Stravon se nespustil" : "Stravon did not start") << name;
            // The reason with the directory, and the remedy.
            EXPECT_NE(f[4].find((in_czech ? "Jeho pracovní adresář " : "Its working directory ") + escaped_gone +
                                " "),
                      std::string::npos)
                << name << " " << locale << ": " << f[4];
            EXPECT_NE(f[4].find(in_czech ? "Vytvořte ten adresář" : "Create the directory"), std::string::npos)
                << name << ": " << f[4];
            EXPECT_NE(f[4].find(in_czech ? "stravon-autostart ADRESÁŘ" : "stravon-autostart DIR"), std::string::npos)
                << name << ": " << f[4];
            EXPECT_EQ(f[5], "2") << name << ": critical, it stays until read";
            EXPECT_EQ(f[6], "cz.stravon.Stravon") << name;
        }
    }

    // No service on the bus, and none that answers: the start ends with its
    // line on standard error all the same, within the notification's time.
    service = itest::Child();
    itest::Child hung;
    for (const bool answers : {true, false}) {
        if (!answers) hung = start_service({"--no-reply"});
        for (const auto& [name, dir] : senders) {
            // The bound is the tool's own, whatever it calls: one sender
            // waits it out.
            if (!answers && name != senders.front().first) continue;
            const auto began = std::chrono::steady_clock::now();
            const ToolResult s = autostart({"--start", gone}, {on_bus[0], on_bus[1], "PATH=" + dir});
            const auto took = std::chrono::steady_clock::now() - began;
            EXPECT_EQ(s.status, 1) << name;
            EXPECT_NE(s.err.find("cannot start Stravon in " + gone), std::string::npos) << name << ": " << s.err;
            EXPECT_LT(took, std::chrono::milliseconds(tools::Notify_timeout_ms + 3000)) << name;
            if (!answers) {
                EXPECT_NE(hung.read_line(10000), "") << name << ": the hung service got no call";
            }
        }
    }
    if (!missing.empty()) GTEST_SKIP() << "not installed (scripts/deps.sh installs them):" << missing;
#endif
}
