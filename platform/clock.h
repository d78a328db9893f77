// Tick count and sleep behind one seam, so link timing can run on virtual time.
#pragma once
#include <cstdint>

namespace platform {

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds since an arbitrary start; wraps like GetTickCount.
    virtual uint32_t tick_ms() = 0;
    // Microseconds since the same start, for sub-millisecond waits.
    virtual uint64_t now_us() = 0;
    virtual void sleep_ms(uint32_t ms) = 0;
    virtual void sleep_us(uint64_t us) = 0;
};

class SteadyClock final : public Clock {
public:
    uint32_t tick_ms() override;
    uint64_t now_us() override;
    void sleep_ms(uint32_t ms) override;
    void sleep_us(uint64_t us) override;
};

// Time moves only when someone sleeps or advances it.
class VirtualClock final : public Clock {
public:
    explicit VirtualClock(uint64_t start_us = 0) : now_(start_us) {}
    uint32_t tick_ms() override { return static_cast<uint32_t>(now_ / 1000); }
    uint64_t now_us() override { return now_; }
    void sleep_ms(uint32_t ms) override { now_ += uint64_t(ms) * 1000; }
    void sleep_us(uint64_t us) override { now_ += us; }
    void advance_to_us(uint64_t t) { if (t > now_) now_ = t; }

private:
    uint64_t now_;
};

// The process-wide clock; a SteadyClock unless a test installs another.
Clock& clock();
// Installs c (not owned) as the process clock; nullptr restores the steady clock.
void set_clock(Clock* c);

// The local time of day, as GetLocalTime gives it.
struct LocalTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};
LocalTime local_time_now();

// GetTickCount and Sleep of the process clock.
inline uint32_t GetTickCount() { return clock().tick_ms(); }
inline void Sleep(uint32_t ms) { clock().sleep_ms(ms); }

}  // namespace platform
