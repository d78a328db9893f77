// A terminal object on a simulated line, on virtual time.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "protocol/command_view.h"
#include "protocol/porcio.h"
#include "serial/com_port.h"
#include "serial/ser_port.h"
#include "sim/line_sim.h"
#include "sim/sim_line_device.h"
#include "test_support.h"

namespace testing_support {

class RecordingView : public TCommandView {
public:
    void ShowWriteAttempt(int attempt) override { attempts_shown.push_back(attempt); }
    void ShowReceived(int bytes) override { received_shown.push_back(bytes); }
    void AddLine(const std::string& line) override { lines.push_back(line); }
    int WriteAttempts() override { return write_attempts; }

    int write_attempts = 2;
    std::vector<int> attempts_shown;
    std::vector<int> received_shown;
    std::vector<std::string> lines;
};

class SimLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::set_clock(&clock);
        set_device_factory([this](int) -> std::unique_ptr<platform::SerialDevice> {
            auto d = std::make_unique<sim::SimLineDevice>(line, clock);
            device = d.get();
            return d;
        });
    }
    void TearDown() override {
        term.reset();
        port.reset();
        set_device_factory({});
        platform::set_clock(nullptr);
    }
    // Settings that size the terminal's buffer must be set before this.
    void Open(uint8_t address) {
        port = std::make_unique<TSer_Port>(0, 19200);
        ASSERT_TRUE(port->Opened());
        term = std::make_unique<TPorcio>(port.get(), address, settings);
    }
    int Transact(const std::string& text) {
        char buf[kWorkLineSize] = {};
        text.copy(buf, sizeof buf - 1);
        return term->Transact(buf, sizeof buf);
    }
    bool Run(const std::string& text) {
        char buf[255] = {};
        text.copy(buf, sizeof buf - 1);
        const bool ok = term->RunCommand(buf, view);
        last_line = std::string(buf, text.size());
        return ok;
    }
    uint64_t ByteUs() const { return line.byte_time_us(); }

    ScratchDir dir;
    TLinkSettings settings;
    platform::VirtualClock clock{1'000'000'000};
    sim::LineSim line{19200};
    std::unique_ptr<TSer_Port> port;
    // The device the driver opened last.
    sim::SimLineDevice* device = nullptr;
    std::unique_ptr<TPorcio> term;
    RecordingView view;
    std::string last_line;
};

}  // namespace testing_support
