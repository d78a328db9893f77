// An in-memory serial device that records what the driver asks of it, for
// what a pty cannot show (modem lines, line errors, a full transmit queue).
// Waiting advances the process clock, which the tests set to virtual time.
#pragma once
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/serial_device.h"

struct FakeLine {
    // What the test arranges.
    int open_result = 0;
    int apply_result = 0;
    int rx_result = 0;          // a negative value makes rx_count fail
    int tx_queued = 0;          // what tx_count reports
    size_t write_limit = SIZE_MAX;
    bool has_counts = true;
    platform::LineErrorCounts counts;
    unsigned modem = 0;
    int modem_result = 0;
    int line_result = 0;        // what setting RTS, DTR or break answers
    int wait_result = 0;        // a negative value makes a wait for input fail
    std::deque<uint8_t> rx;
    // Bytes that arrive at a given virtual time (ms).
    std::vector<std::pair<uint32_t, uint8_t>> scheduled;

    // What the test inspects.
    std::string opened_path;
    std::vector<std::string> calls;
    std::vector<uint8_t> tx;
    std::vector<platform::LineSettings> applied;
    std::vector<int> wait_slices;
    int reads = 0;
    int count_queries = 0;  // calls of error_counts
    bool rts = false, dtr = false, brk = false, is_open = false;
    uint64_t rts_low_at_us = 0;  // when RTS was last lowered

    void arrive_due() {
        uint32_t now = platform::GetTickCount();
        for (auto it = scheduled.begin(); it != scheduled.end();) {
            if (it->first <= now) {
                rx.push_back(it->second);
                it = scheduled.erase(it);
            } else {
                ++it;
            }
        }
    }
};

class FakeDevice final : public platform::SerialDevice {
public:
    explicit FakeDevice(std::shared_ptr<FakeLine> line) : l_(std::move(line)) {}

    int open(const std::string& path) override {
        l_->opened_path = path;
        l_->calls.push_back("open");
        if (l_->open_result == 0) l_->is_open = true;
        return l_->open_result;
    }
    int apply(const platform::LineSettings& s) override {
        l_->calls.push_back("apply");
        if (l_->apply_result == 0) l_->applied.push_back(s);
        return l_->apply_result;
    }
    int rx_count() override {
        l_->arrive_due();
        return l_->rx_result < 0 ? l_->rx_result : int(l_->rx.size());
    }
    int tx_count() override { return l_->tx_queued; }
    int read(uint8_t* buf, size_t n) override {
        ++l_->reads;
        size_t k = 0;
        while (k < n && !l_->rx.empty()) {
            buf[k++] = l_->rx.front();
            l_->rx.pop_front();
        }
        return int(k);
    }
    int write(const uint8_t* buf, size_t n) override {
        size_t k = n < l_->write_limit ? n : l_->write_limit;
        l_->tx.insert(l_->tx.end(), buf, buf + k);
        return int(k);
    }
    int wait_rx(int timeout_ms) override {
        l_->wait_slices.push_back(timeout_ms);
        if (l_->rx_result < 0) return l_->rx_result;
        if (l_->wait_result < 0) return l_->wait_result;
        uint64_t now = platform::clock().now_us();
        uint64_t until = now + uint64_t(timeout_ms) * 1000;
        for (auto& s : l_->scheduled) until = std::min(until, std::max(uint64_t(s.first) * 1000, now));
        platform::clock().sleep_us(until - now);
        l_->arrive_due();
        return l_->rx.empty() ? 0 : 1;
    }
    int drain_tx() override {
        l_->calls.push_back("drain");
        return 0;
    }
    int set_rts(bool on) override {
        if (!on) l_->rts_low_at_us = platform::clock().now_us();
        l_->rts = on;
        l_->calls.push_back(on ? "rts1" : "rts0");
        return l_->line_result;
    }
    int set_dtr(bool on) override {
        l_->dtr = on;
        l_->calls.push_back(on ? "dtr1" : "dtr0");
        return l_->line_result;
    }
    int set_break(bool on) override {
        l_->brk = on;
        l_->calls.push_back((on ? "brk1@" : "brk0@") + std::to_string(platform::GetTickCount()));
        return l_->line_result;
    }
    int modem_status(unsigned* bits) override {
        *bits = l_->modem;
        return l_->modem_result;
    }
    int error_counts(platform::LineErrorCounts* c) override {
        ++l_->count_queries;
        if (!l_->has_counts) return -ENOTTY;
        *c = l_->counts;
        return 0;
    }
    int purge_tx() override {
        l_->calls.push_back("purge");
        return 0;
    }
    int close() override {
        l_->calls.push_back("close");
        l_->is_open = false;
        return 0;
    }

private:
    std::shared_ptr<FakeLine> l_;
};
