// Shared pieces of the window tests: a private configuration and working
// directory per test, and dialogs answered by the test.
#pragma once
#include "app/dialogs.h"
#include "diag/diag.h"
#include "platform/codepage.h"
#include "platform/registry.h"

#include <QApplication>
#include <deque>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

// fontconfig keeps a cache for the process's life; not ours to free.
extern "C" __attribute__((used)) inline const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig\n";
}

namespace gui_test {

inline QApplication& app()
{
    static int argc = 1;
    static char arg0[] = "gui_test";
    static char* argv[] = {arg0, nullptr};
    // These tests run without a display unless told otherwise.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Never destroyed: Qt's own globals are gone by the time statics end.
    static QApplication* a = new QApplication(argc, argv);
    return *a;
}

struct Box {
    QString text;
    QString caption;
    TBoxIcon icon;
    bool question;
};

class ScriptedDialogs : public TDialogs {
public:
    void message(QWidget*, const QString& text, const QString& caption, TBoxIcon icon) override
    {
        boxes.push_back({text, caption, icon, false});
    }
    bool ask_yes_no(QWidget*, const QString& text, const QString& caption, TBoxIcon icon) override
    {
        boxes.push_back({text, caption, icon, true});
        if (answers.empty())
            return false;
        const bool a = answers.front();
        answers.pop_front();
        return a;
    }
    std::optional<QString> open_file(QWidget*, const TOpenFileRequest& r) override
    {
        last_open = r;
        return std::nullopt;
    }
    std::vector<Box> boxes;
    std::deque<bool> answers;
    TOpenFileRequest last_open;
};

// A temporary home for one test: configuration, working directory, and
// COM1..COM8 mapped to devices that do not exist.
class Sandbox {
public:
    Sandbox()
    {
        char tmpl[] = "/tmp/stravon-gui-XXXXXX";
        root = mkdtemp(tmpl);
        std::filesystem::create_directories(root / "cfg/stravon/dosdevices");
        std::filesystem::create_directories(root / "wd");
        for (int n = 1; n <= 8; ++n)
            std::filesystem::create_symlink(root / "missing", com_link(n));
        setenv("XDG_CONFIG_HOME", (root / "cfg").c_str(), 1);
        old_cwd = std::filesystem::current_path();
        std::filesystem::current_path(root / "wd");
    }
    ~Sandbox()
    {
        std::filesystem::current_path(old_cwd);
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    std::filesystem::path com_link(int n) const
    {
        return root / "cfg/stravon/dosdevices" / ("com" + std::to_string(n));
    }
    std::string registry_path() const { return (root / "cfg/stravon/user.reg").string(); }

    void store(uint32_t type, const std::vector<uint8_t>& data) const
    {
        platform::RegistryStore s(registry_path());
        ASSERT_TRUE(s.write(platform::Setup_key, "Data_CFG", platform::RegValue{type, data}));
    }
    std::optional<platform::RegValue> stored() const
    {
        return platform::RegistryStore(registry_path()).read(platform::Setup_key, "Data_CFG");
    }
    // The error log's lines without their time stamps, as UTF-8.
    std::vector<std::string> log_lines() const
    {
        std::ifstream in(root / "wd/errorlog.txt", std::ios::binary);
        std::vector<std::string> lines;
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            const auto dash = line.find(" - ");
            lines.push_back(platform::cp1250_to_utf8(dash == std::string::npos ? line : line.substr(dash + 3)));
        }
        return lines;
    }

    std::filesystem::path root;
    std::filesystem::path old_cwd;
};

} // namespace gui_test
