// The router core as a window drives it, on simulated lines and virtual time:
// a private configuration and working directory, terminals on in-process
// lines, and a view that records what the window would show.
#pragma once
#include <gtest/gtest.h>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "diag/diag.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/dispatch.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "router/config_record.h"
#include "router/router.h"
#include "sim/attach.h"
#include "sim/line_sim.h"

namespace router_test {

class TestView : public TRouterView {
public:
    void ShowWriteAttempt(int attempt) override { write_attempts_shown.push_back(attempt); }
    void ShowReceived(int bytes) override { received = std::to_string(bytes); }
    void AddLine(const std::string& line) override { memo.push_back(line); }
    int WriteAttempts() override { return write_attempts; }
    void ClearLog() override { memo.clear(); }
    void ClearRunLabels(bool attempts) override {
        received.clear();
        status.clear();
        if (attempts) write_attempts_shown.clear(), read_attempts_shown.clear();
    }
    void ShowReadAttempt(int attempt) override { read_attempts_shown.push_back(attempt); }
    void ShowStatus(int delivered, int records) override {
        status = std::to_string(delivered) + "," + std::to_string(records);
    }
    void ShowBusy(bool on) override { busy_shown.push_back(on); }
    void ShowRunning(bool on) override { running_shown.push_back(on); }
    void ShowTerminal(int position, TTerminalState s) override { terminal[position] = s; }
    void NoPortWarning() override { ++no_port_warnings; }
    void SelectTerminal(int index) override { selected = index; }
    void CloseNow() override { ++close_now; }
    int SelectedTerminal() override { return selected; }
    int ReadAttempts() override { return read_attempts; }
    bool PrioritySet() override { return priority; }

    // What the test sets, read as the window's controls would be.
    int selected = 0;
    int read_attempts = 2;
    int write_attempts = 2;
    bool priority = false;
    // What the router showed.
    std::vector<std::string> memo;
    std::string received, status;
    std::vector<int> write_attempts_shown, read_attempts_shown;
    std::vector<bool> busy_shown, running_shown;
    std::map<int, TTerminalState> terminal;
    int no_port_warnings = 0;
    int close_now = 0;
};

class RouterTest : public ::testing::Test {
protected:
    RouterTest() {
        // A name nobody has: create_directory is false for one that exists.
        std::random_device random;
        do {
            root_ = std::filesystem::temp_directory_path() / ("stravon-router-" + std::to_string(random()));
        } while (!std::filesystem::create_directory(root_));
        std::filesystem::create_directories(root_ / "wd");
#ifdef _WIN32
        // The registry of the user is this test's own key, so no stored
        // configuration is touched. COM ports are named by Windows: the tests
        // run under Wine in a prefix where none leads anywhere.
        const std::string key = "Software\\Stravon-router-test-" + root_.filename().string();
        RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &user_, nullptr);
        user_key_ = key;
        RegOverridePredefKey(HKEY_CURRENT_USER, user_);
#else
        std::filesystem::create_directories(root_ / "cfg/stravon/dosdevices");
        // Every COM port leads nowhere, so nothing here ever opens a real port.
        for (int n = 1; n <= 8; ++n)
            std::filesystem::create_symlink(root_ / "missing", root_ / "cfg/stravon/dosdevices" / ("com" + std::to_string(n)));
        old_config_ = getenv("XDG_CONFIG_HOME") ? getenv("XDG_CONFIG_HOME") : "";
        setenv("XDG_CONFIG_HOME", (root_ / "cfg").c_str(), 1);
#endif
        old_cwd_ = std::filesystem::current_path();
        std::filesystem::current_path(root_ / "wd");
        platform::set_clock(&clock);
        sim::attach_to_driver({{0, &com1}, {1, &com2}}, clock);
        com1.add_terminal(1);
    }
    ~RouterTest() override {
        router.reset();
        platform::set_message_dispatcher(nullptr);
        Events() = nullptr;
        sim::detach_from_driver();
        platform::set_clock(nullptr);
        std::filesystem::current_path(old_cwd_);
#ifdef _WIN32
        RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        RegCloseKey(user_);
        RegDeleteTreeA(HKEY_CURRENT_USER, user_key_.c_str());
#else
        if (old_config_.empty())
            unsetenv("XDG_CONFIG_HOME");
        else
            setenv("XDG_CONFIG_HOME", old_config_.c_str(), 1);
#endif
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }

    // Terminal 1 at address 1 on COM1 (connected); files pozad.txt and vystup.txt.
    static TDataCFG Config() {
        TDataCFG c = default_config();
        c.InSoubor = make_field("pozad.txt");
        c.OutSoubor = make_field("vystup.txt");
        return c;
    }
    void Store(const TDataCFG& c) {
        const TConfigBytes b = encode_config(c);
        platform::RegistryStore store;
        ASSERT_TRUE(store.write(platform::Setup_key, "Data_CFG",
                                platform::RegValue{platform::Reg_binary, std::vector<uint8_t>(b.begin(), b.end())}));
    }
    // The start-up of the window, without the watcher.
    TRouter& Start(const TDataCFG& c = Config()) {
        Store(c);
        router = std::make_unique<TRouter>(view);
        router->ReadCFG();
        router->Read_work_dir();
        router->Set_delay(4u * router->Data_CFG().Delay_add);
        router->Log_start();
        router->Line_up();
        return *router;
    }

    // What runs in the router's waits, where the window's events would.
    static std::function<void()>& Events() {
        static std::function<void()> events;
        return events;
    }
    static void RunEvents(int) {
        if (Events()) Events()();
    }
    void OnEvents(std::function<void()> f) {
        Events() = std::move(f);
        platform::set_message_dispatcher(&RunEvents);
    }

    std::filesystem::path Work(const std::string& name) const { return root_ / "wd" / name; }
    void Write(const std::string& name, const std::string& bytes) const {
        std::ofstream(Work(name), std::ios::binary) << bytes;
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(Work(name), std::ios::binary);
        std::ostringstream ss;
        ss << in.rdbuf();
        std::string bytes = ss.str();
        // The status line ends as text lines end on the system.
        const std::string eol = platform::Text_line_end;
        if (name == "porcom.sta" && eol != "\n" && bytes.size() >= eol.size() &&
            bytes.compare(bytes.size() - eol.size(), eol.size(), eol) == 0)
            bytes.replace(bytes.size() - eol.size(), eol.size(), "\n");
        return bytes;
    }
    bool Exists(const std::string& name) const { return std::filesystem::exists(Work(name)); }
    // A request put in place and handed over, as the watcher does.
    void Request(const std::string& text) {
        Write("pozad.txt", text);
        router->Process_request(Work("pozad.txt").string());
    }
    // The error log's messages, as UTF-8 without time stamps.
    std::vector<std::string> Log() const {
        std::vector<std::string> out;
        std::istringstream in(Read("errorlog.txt"));
        for (std::string l; std::getline(in, l);) {
            if (!l.empty() && l.back() == '\r') l.pop_back();
            out.push_back(platform::cp1250_to_utf8(l.substr(l.find(" - ") + 3)));
        }
        return out;
    }
    // Frames the line carried since the n-th, as hex, without the probes "A".
    std::vector<std::string> Commands(const sim::LineSim& line, size_t from = 0) const {
        std::vector<std::string> out;
        for (size_t i = from; i < line.frames().size(); ++i) {
            const std::string hex = sim::to_hex(line.frames()[i].bytes);
            if (hex != "01 04 41 46") out.push_back(hex);
        }
        return out;
    }

    platform::VirtualClock clock{1'000'000'000};
    sim::LineSim com1{19200};
    sim::LineSim com2{19200};
    TestView view;
    std::unique_ptr<TRouter> router;

private:
    std::filesystem::path root_;
    std::filesystem::path old_cwd_;
#ifdef _WIN32
    HKEY user_ = nullptr;
    std::string user_key_;
#else
    std::string old_config_;
#endif
};

// An encoded command frame for address 1 as hex.
inline std::string Frame(const std::vector<uint8_t>& payload) { return sim::to_hex(sim::make_frame(1, payload)); }
inline std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

}  // namespace router_test
