// Shared pieces of the window tests: a private configuration and working
// directory per test, and dialogs answered by the test.
#pragma once
#include "app/dialogs.h"
#include "app/form1.h"
#include "diag/diag.h"
#include "platform/codepage.h"
#include "platform/dispatch.h"
#include "platform/registry.h"
#include "ui_form1.h"

#include <QApplication>
#include <QProcess>
#include <QTest>
#include <memory>
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
    // Serial waits run the window's events as in the program.
    platform::set_message_dispatcher(&Process_window_events);
    return *a;
}

// The controls of terminal position i = 0..3.
inline QLineEdit* Adr(const Ui::TForm1& u, int i) { return std::array{u.Adr1, u.Adr2, u.Adr3, u.Adr4}[i]; }
inline QComboBox* Port(const Ui::TForm1& u, int i) { return std::array{u.Port1, u.Port2, u.Port3, u.Port4}[i]; }
inline TCheckBox* Pripojen(const Ui::TForm1& u, int i)
{
    return std::array{u.Pripojen1, u.Pripojen2, u.Pripojen3, u.Pripojen4}[i];
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
        return file_to_open;
    }
    std::vector<Box> boxes;
    std::deque<bool> answers;
    TOpenFileRequest last_open;
    std::optional<QString> file_to_open;  // what the operator picks; nothing = cancel
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
    // The line after "Start programu" that names the working directory.
    std::string work_dir_line() const { return "Pracovni adresar: " + (root / "wd").string(); }

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

// stravon-termsim processes on ptys that COM ports name, ended with the test.
class Simulators {
public:
    explicit Simulators(const Sandbox& box) : box_(box) {}
    ~Simulators() { stop_all(); }

    // The far ends go away, as an unplugged line.
    void stop_all()
    {
        for (auto& p : sims_) {
            p->terminate();
            if (!p->waitForFinished(3000))
                p->kill();
            p->waitForFinished(3000);
        }
        sims_.clear();
    }

    // A simulator on a pty that COM<com> names.
    void start(int com, const QStringList& args)
    {
        std::filesystem::remove(box_.com_link(com));
        auto p = std::make_unique<QProcess>();
        const char* bin = std::getenv("STRAVON_BIN");
        const QString program = QString::fromUtf8(bin ? bin : ".") + QStringLiteral("/stravon-termsim");
        p->start(program, QStringList{QStringLiteral("--pty"), QStringLiteral("--link"),
                                      QString::fromStdString(box_.com_link(com).string())} + args);
        ASSERT_TRUE(p->waitForStarted(5000)) << program.toStdString();
        ASSERT_TRUE(p->waitForReadyRead(10000)) << "the simulator printed no pty path";
        for (int i = 0; i < 200 && !std::filesystem::exists(box_.com_link(com)); ++i)
            QTest::qWait(10);
        ASSERT_TRUE(std::filesystem::exists(box_.com_link(com)));
        sims_.push_back(std::move(p));
    }

private:
    const Sandbox& box_;
    std::vector<std::unique_ptr<QProcess>> sims_;
};

} // namespace gui_test
