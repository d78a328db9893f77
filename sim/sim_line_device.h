// A serial device whose far end is a LineSim, on a VirtualClock. Bytes
// written go out at the line's baud rate one after the other; each is tagged
// with the RTS state while it was actually on the wire. Waiting for input
// moves the virtual clock to the next arriving byte.
#pragma once
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/serial_device.h"
#include "sim/line_sim.h"

namespace sim {

class SimLineDevice final : public platform::SerialDevice {
public:
    // Neither is owned; both must outlive the device.
    SimLineDevice(LineSim& line, platform::VirtualClock& clock);
    ~SimLineDevice() override;

    int open(const std::string& path) override;
    int apply(const platform::LineSettings& s) override;
    int rx_count() override;
    int tx_count() override;
    int read(uint8_t* buf, size_t n) override;
    int write(const uint8_t* buf, size_t n) override;
    // -1 waits until the next byte; with nothing ever to come it gives 0
    // after a minute of virtual time instead of hanging.
    int wait_rx(int timeout_ms) override;
    int wait_rx_us(uint64_t timeout_us) override;
    int drain_tx() override;
    int set_rts(bool on) override;
    int set_dtr(bool on) override;
    int set_break(bool on) override;
    int modem_status(unsigned* bits) override;
    int error_counts(platform::LineErrorCounts* c) override;
    int purge_tx() override;
    // Bytes not yet fully on the wire are dropped.
    int close() override;

    // The caller comes back from every drain this much later than the line
    // allows, as a program the system did not schedule in time.
    void set_late_drain_us(uint64_t us) { late_drain_us_ = us; }

    bool is_open() const { return open_; }
    const std::string& path() const { return path_; }
    const platform::LineSettings& settings() const { return settings_; }
    bool rts() const { return rts_; }
    bool dtr() const { return dtr_; }
    // End of the last byte queued for the wire (0 if none was ever written).
    uint64_t tx_end_us() const { return tx_end_; }

    static constexpr uint64_t NO_LIMIT_WAIT_US = 60'000'000;

private:
    struct QueuedByte {
        uint8_t b;
        uint64_t start, end;
        bool rts_ok;
    };
    // Hands the bytes that have left the wire by now to the line, takes
    // the line's arrived bytes into the receive buffer.
    void catch_up();
    void commit_until(uint64_t t);

    LineSim& line_;
    platform::VirtualClock& clock_;
    std::string path_;
    platform::LineSettings settings_;
    bool open_ = false;
    bool rts_ = false;
    bool dtr_ = false;
    uint64_t rts_low_since_ = 0;
    uint64_t tx_end_ = 0;
    uint64_t late_drain_us_ = 0;
    std::deque<QueuedByte> txq_;
    std::deque<uint8_t> rx_;
};

}  // namespace sim
