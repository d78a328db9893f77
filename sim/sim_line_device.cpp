#include "sim/sim_line_device.h"

#include <algorithm>
#include <cerrno>

namespace sim {

SimLineDevice::SimLineDevice(LineSim& line, platform::VirtualClock& clock) : line_(line), clock_(clock) {}

SimLineDevice::~SimLineDevice() = default;

int SimLineDevice::open(const std::string& path) {
    path_ = path;
    open_ = true;
    catch_up();
    rx_.clear();  // what the line carried before the port was opened is not heard
    return 0;
}

int SimLineDevice::apply(const platform::LineSettings& s) {
    if (!open_) return -EBADF;
    settings_ = s;
    return 0;
}

void SimLineDevice::commit_until(uint64_t t) {
    while (!txq_.empty() && txq_.front().end <= t) {
        QueuedByte q = txq_.front();
        txq_.pop_front();
        // RTS that is low now and fell before the byte ended cut it.
        if (!rts_ && rts_low_since_ < q.end) q.rts_ok = false;
        line_.advance_to(q.start);
        line_.router_byte(q.b, q.start, q.rts_ok);
    }
}

void SimLineDevice::catch_up() {
    const uint64_t now = clock_.now_us();
    commit_until(now);
    for (uint8_t b : line_.take_arrived(now))
        if (open_) rx_.push_back(b);
}

int SimLineDevice::rx_count() {
    if (!open_) return -EBADF;
    catch_up();
    return static_cast<int>(rx_.size());
}

int SimLineDevice::tx_count() {
    if (!open_) return -EBADF;
    catch_up();
    return static_cast<int>(txq_.size());
}

int SimLineDevice::read(uint8_t* buf, size_t n) {
    if (!open_) return -EBADF;
    catch_up();
    size_t k = 0;
    while (k < n && !rx_.empty()) {
        buf[k++] = rx_.front();
        rx_.pop_front();
    }
    return static_cast<int>(k);
}

int SimLineDevice::write(const uint8_t* buf, size_t n) {
    if (!open_) return -EBADF;
    catch_up();
    const uint64_t now = clock_.now_us();
    const uint64_t bt = line_.byte_time_us();
    for (size_t i = 0; i < n; ++i) {
        const uint64_t start = std::max(now, tx_end_);
        tx_end_ = start + bt;
        txq_.push_back(QueuedByte{buf[i], start, tx_end_, true});
    }
    if (n) line_.reserve_line(tx_end_);
    return static_cast<int>(n);
}

int SimLineDevice::wait_rx(int timeout_ms) {
    return wait_rx_us(timeout_ms < 0 ? NO_LIMIT_WAIT_US : uint64_t(timeout_ms) * 1000);
}

int SimLineDevice::wait_rx_us(uint64_t timeout_us) {
    if (!open_) return -EBADF;
    catch_up();
    if (!rx_.empty()) return 1;
    const uint64_t deadline = clock_.now_us() + timeout_us;
    for (;;) {
        // Step to whichever comes first: a byte of ours leaving the wire
        // (it may complete a frame and bring an answer), an arrival, the end.
        uint64_t limit = deadline;
        if (!txq_.empty()) limit = std::min(limit, txq_.front().end);
        std::optional<uint64_t> next = line_.next_arrival_us(limit);
        if (next && *next <= limit) limit = *next;
        clock_.advance_to_us(limit);
        catch_up();
        if (!rx_.empty()) return 1;
        if (clock_.now_us() >= deadline) return 0;
    }
}

int SimLineDevice::drain_tx() {
    if (!open_) return -EBADF;
    clock_.advance_to_us(tx_end_ + late_drain_us_);
    catch_up();
    return 0;
}

int SimLineDevice::set_rts(bool on) {
    if (!open_) return -EBADF;
    catch_up();
    const uint64_t now = clock_.now_us();
    if (on && !rts_) {
        // Bytes already on the wire while RTS was low went out unkeyed.
        for (auto& q : txq_)
            if (q.start < now && rts_low_since_ < q.end) q.rts_ok = false;
    } else if (!on && rts_) {
        rts_low_since_ = now;
    }
    rts_ = on;
    return 0;
}

int SimLineDevice::set_dtr(bool on) {
    if (!open_) return -EBADF;
    dtr_ = on;
    return 0;
}

int SimLineDevice::set_break(bool) { return open_ ? 0 : -EBADF; }

int SimLineDevice::modem_status(unsigned* bits) {
    if (!open_) return -EBADF;
    if (bits) *bits = platform::MODEM_CTS | platform::MODEM_DSR;
    return 0;
}

int SimLineDevice::error_counts(platform::LineErrorCounts* c) {
    if (!open_) return -EBADF;
    if (c) *c = platform::LineErrorCounts{};
    return 0;
}

int SimLineDevice::purge_tx() {
    if (!open_) return -EBADF;
    catch_up();
    const uint64_t now = clock_.now_us();
    while (!txq_.empty() && txq_.back().start >= now) txq_.pop_back();
    tx_end_ = txq_.empty() ? std::min(tx_end_, now) : txq_.back().end;
    return 0;
}

int SimLineDevice::close() {
    if (!open_) return 0;
    catch_up();
    txq_.clear();
    rx_.clear();
    rts_ = false;
    dtr_ = false;
    rts_low_since_ = clock_.now_us();
    open_ = false;
    return 0;
}

}  // namespace sim
