#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <tuple>
#include <vector>

#include "platform/clock.h"
#include "platform/dispatch.h"
#include "serial/com_port.h"
#include "serial/com_port_private.h"
#include "tests/serial/fake_device.h"

namespace {

std::vector<std::string> printed;
void collect(const char* line) { printed.emplace_back(line); }

int hook_calls = 0;
int abort_after = -1;  // the hook aborts on this call (1-based); -1 never
int counting_hook(ComPort*) {
    ++hook_calls;
    return hook_calls == abort_after ? USERABORT : 0;
}

int count(const std::vector<std::string>& v, const std::string& what) {
    int n = 0;
    for (auto& s : v) n += s == what;
    return n;
}

class FakeDriver : public ::testing::Test {
protected:
    void SetUp() override {
        platform::set_clock(&clock);
        line = std::make_shared<FakeLine>();
        auto l = line;
        set_device_factory([l](int) { return std::make_unique<FakeDevice>(l); });
        hook_calls = 0;
        abort_after = -1;
        set_idle_hook(counting_hook);
        printed.clear();
    }
    void TearDown() override {
        close_all_ports();
        set_device_factory({});
        set_idle_hook(nullptr);
        platform::set_clock(nullptr);
    }
    ComPort* open(int baud = 19200, char parity = 'N', uint8_t bits = 8, int stop = 1) {
        return open_com_port(0, baud, parity, bits, stop);
    }

    platform::VirtualClock clock{1'000'000};
    std::shared_ptr<FakeLine> line;
};

TEST_F(FakeDriver, OpensTheMappedPathWithTheCallersLineAndRaisesDtrRts) {
    ComPort* p = open_com_port(2, 9600, 'N', 8, 1);
    EXPECT_EQ(p->status, 0);
    EXPECT_EQ(p->port_index, 2);
    EXPECT_EQ(line->opened_path, platform::com_device_path(3));
    ASSERT_EQ(line->applied.size(), 1u);
    const platform::LineSettings& s = line->applied.back();
    EXPECT_EQ(s.baud, 9600u);
    EXPECT_EQ(s.data_bits, 8);
    EXPECT_EQ(s.parity, 0);
    EXPECT_EQ(s.stop_bits, 1);
    EXPECT_FALSE(s.xon_xoff_in || s.xon_xoff_out || s.cts_flow || s.rts_flow || s.dsr_flow || s.dtr_flow);
    EXPECT_TRUE(line->dtr);
    EXPECT_TRUE(line->rts);
}

TEST_F(FakeDriver, OpenFailuresMapToDriverCodesAndLeaveOnlyDefaults) {
    const std::pair<int, int> cases[] = {
        {ENOENT, NO8250}, {ENODEV, NO8250}, {ENXIO, NO8250},   {ENOTTY, NO8250},
        {EACCES, INUSE},  {EBUSY, INUSE},   {EWOULDBLOCK, INUSE}, {ENOMEM, NOMEMORY},
        {EPERM, GENERALERROR}, {EIO, GENERALERROR},
    };
    for (auto [err, code] : cases) {
        line->open_result = -err;
        ComPort* p = open();
        EXPECT_EQ(p->status, code) << "errno " << err;
        EXPECT_EQ(p->op_write_byte(p, 'x'), NOTSUPPORTED);
        EXPECT_EQ(p->op_close(p), 0);
    }
    EXPECT_TRUE(line->tx.empty());
    EXPECT_EQ(count(line->calls, "close"), 0);
}

TEST_F(FakeDriver, SetLineValidatesBeforeTouchingTheLine) {
    ComPort* p = open();
    EXPECT_EQ(p->op_set_line(p, 115200, 'N', 8, 1), 0);
    EXPECT_EQ(line->applied.back().baud, 115200u);
    size_t applied = line->applied.size();

    EXPECT_EQ(p->op_set_line(p, 115201, 'N', 8, 1), ILLEGALBAUDRATE);
    EXPECT_EQ(p->status, ILLEGALBAUDRATE);
    EXPECT_EQ(p->op_set_line(p, -1, 'N', 8, 1), ILLEGALBAUDRATE);
    EXPECT_EQ(line->applied.size(), applied);
    EXPECT_EQ(p->data->dcb.BaudRate, 115200u);

    p->op_clear_status(p);
    EXPECT_EQ(p->status, 0);
    const std::pair<char, int> parities[] = {{'e', 2}, {'E', 2}, {'o', 1}, {'M', 3}, {'s', 4}, {'n', 0}};
    for (auto [c, v] : parities) {
        EXPECT_EQ(p->op_set_line(p, 9600, c, 8, 1), 0) << c;
        EXPECT_EQ(line->applied.back().parity, v) << c;
    }
    applied = line->applied.size();
    EXPECT_EQ(p->op_set_line(p, 9600, 'X', 8, 1), ILLEGALPARITY);
    EXPECT_EQ(p->op_set_line(p, 9600, 'N', 8, 0), ILLEGALSTOPBITS);
    EXPECT_EQ(p->op_set_line(p, 9600, 'N', 8, 3), ILLEGALSTOPBITS);
    EXPECT_EQ(p->op_set_line(p, 9600, 'N', 9, 1), ILLEGALWORDLENGTH);
    EXPECT_EQ(line->applied.size(), applied);

    EXPECT_EQ(p->op_set_line(p, 31250, 'N', 7, 2), 0);
    EXPECT_EQ(line->applied.back().baud, 31250u);
    EXPECT_EQ(line->applied.back().data_bits, 7);
    EXPECT_EQ(line->applied.back().stop_bits, 2);

    line->apply_result = -EINVAL;
    EXPECT_EQ(p->op_set_line(p, 9600, 'N', 8, 1), GENERALERROR);
    EXPECT_EQ(p->status, GENERALERROR);
}

TEST_F(FakeDriver, RefusedLineSettingsAtOpenStillLeaveADevicePort) {
    ComPort* p = open(115201);
    EXPECT_EQ(p->status, ILLEGALBAUDRATE);
    EXPECT_TRUE(line->applied.empty());
    EXPECT_EQ(p->op_write_byte(p, 0x55), 0);
    EXPECT_EQ(line->tx, std::vector<uint8_t>{0x55});
}

TEST_F(FakeDriver, HandshakeOperationsEditTheWorkingCopyAndApplyIt) {
    ComPort* p = open();
    EXPECT_EQ(p->op_xon_xoff(p, 1), 0);
    EXPECT_TRUE(line->applied.back().xon_xoff_in && line->applied.back().xon_xoff_out);
    EXPECT_EQ(p->op_rts_cts(p, 1), 0);
    EXPECT_TRUE(line->applied.back().cts_flow && line->applied.back().rts_flow);
    EXPECT_EQ(p->op_dtr_dsr(p, 1), 0);
    EXPECT_TRUE(line->applied.back().dsr_flow && line->applied.back().dtr_flow);
    EXPECT_TRUE(line->applied.back().xon_xoff_in);  // earlier edits are kept

    // Keying RTS leaves the handshake, which needs the settings applied again.
    size_t applied = line->applied.size();
    EXPECT_EQ(p->op_rts(p, 1), 0);
    EXPECT_EQ(line->applied.size(), applied + 1);
    EXPECT_FALSE(line->applied.back().rts_flow);
    EXPECT_EQ(p->op_rts(p, 0), 0);
    EXPECT_FALSE(line->rts);
    EXPECT_EQ(line->applied.size(), applied + 1);  // a plain level change
    EXPECT_EQ(p->op_dtr(p, 0), 0);
    EXPECT_FALSE(line->dtr);

    line->apply_result = -EINVAL;
    EXPECT_EQ(p->op_xon_xoff(p, 0), GENERALERROR);
    EXPECT_EQ(p->status, GENERALERROR);
    EXPECT_EQ(p->op_rts_cts(p, 1), GENERALERROR);
    // Device errors are returned: a level change that leaves the handshake
    // applies the settings, and a plain one sets the line.
    EXPECT_EQ(p->op_rts(p, 1), GENERALERROR);
    line->apply_result = 0;
    EXPECT_EQ(p->op_rts(p, 1), 0);
    p->op_clear_status(p);
    line->line_result = -EINVAL;
    EXPECT_EQ(p->op_rts(p, 0), GENERALERROR);
    EXPECT_EQ(p->op_dtr(p, 1), GENERALERROR);
    EXPECT_EQ(p->op_break(p, 1), GENERALERROR);
    EXPECT_EQ(p->status, GENERALERROR);
    // A line without modem lines (a pty) has nothing to set: no error.
    line->line_result = -ENOTTY;
    EXPECT_EQ(p->op_rts(p, 1), 0);
}

TEST_F(FakeDriver, CloseDropsDtrBeforeRtsThenClosesAndUnlinks) {
    ComPort* p = open();
    ASSERT_TRUE(line->dtr && line->rts);
    EXPECT_EQ(p->op_close(p), 0);
    ASSERT_GE(line->calls.size(), 3u);
    std::vector<std::string> tail(line->calls.end() - 3, line->calls.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"dtr0", "rts0", "close"}));
    close_all_ports();  // the closed port is no longer listed
    EXPECT_EQ(count(line->calls, "close"), 1);
}

TEST_F(FakeDriver, CloseAllPortsClosesEveryListedPortOnce) {
    open_com_port(0, 9600, 'N', 8, 1);
    open_com_port(1, 9600, 'N', 8, 1);
    line->open_result = -ENOENT;
    ComPort* failed = open_com_port(2, 9600, 'N', 8, 1);
    EXPECT_EQ(failed->status, NO8250);
    close_all_ports();
    EXPECT_EQ(count(line->calls, "close"), 2);
    EXPECT_EQ(count(line->calls, "dtr0"), 2);
    close_all_ports();
    EXPECT_EQ(count(line->calls, "close"), 2);
}

TEST_F(FakeDriver, LineErrorsAccumulateFromCounterDeltasUntilCleared) {
    line->counts.frame = 5;  // before the open: not this port's
    ComPort* p = open();
    EXPECT_EQ(p->op_line_status(p), 0);

    line->counts.frame = 6;
    EXPECT_EQ(p->op_line_status(p), 0x08);
    EXPECT_EQ(p->op_line_status(p), 0x08);  // reading does not clear
    line->counts.parity = 1;
    line->counts.overrun = 2;
    EXPECT_EQ(p->op_line_status(p), 0x0E);
    line->counts.brk = 1;
    line->counts.buf_overrun = 1;
    EXPECT_EQ(p->op_line_status(p), 0x1E);
    EXPECT_NE(p->data->line_errors & Ce_rxover, 0u);

    EXPECT_EQ(p->op_clear_line_errors(p), 0);
    EXPECT_EQ(p->op_line_status(p), 0);

    // Any queue query picks errors up as well; none ever fails an operation.
    line->counts.frame = 7;
    line->rx = {1, 2};
    EXPECT_EQ(p->op_rx_count(p), 2);
    EXPECT_EQ(p->data->line_errors, uint32_t(Ce_frame));
    EXPECT_EQ(p->op_read_byte(p), 1);
    EXPECT_EQ(p->status, 0);

    line->has_counts = false;  // a device without counters
    p->op_clear_line_errors(p);
    EXPECT_EQ(p->op_line_status(p), 0);
}

TEST_F(FakeDriver, DeviceWithoutErrorCountersIsAskedOnlyOnce) {
    line->has_counts = false;
    ComPort* p = open();
    line->rx = {1, 2, 3};
    EXPECT_EQ(p->op_rx_count(p), 3);
    EXPECT_EQ(read_byte_timed(p, 10), 1);
    EXPECT_EQ(p->op_read_byte(p), 2);
    EXPECT_EQ(p->op_write_byte(p, 7), 0);
    EXPECT_EQ(drain_rx(p), 0);
    EXPECT_EQ(p->op_line_status(p), 0);
    EXPECT_EQ(line->count_queries, 1);  // at the open, never again

    // A device that has counters is still asked every time: its errors matter.
    close_all_ports();
    line->has_counts = true;
    line->count_queries = 0;
    p = open();
    line->rx = {1, 2};
    line->counts.overrun = 1;
    EXPECT_EQ(p->op_read_byte(p), 1);
    EXPECT_EQ(p->op_read_byte(p), 2);
    EXPECT_EQ(p->op_line_status(p), 0x02);
    EXPECT_GE(line->count_queries, 4);
}

TEST_F(FakeDriver, TimedReadInMicrosecondsKeepsItsDeadline) {
    ComPort* p = open();
    const uint64_t start = clock.now_us();
    line->scheduled.push_back({uint32_t(start / 1000 + 3), 0x31});
    EXPECT_EQ(read_byte_timed_us(p, 3500), 0x31);
    EXPECT_EQ(clock.now_us() - start, 3000u);
    // Nothing more: the wait ends at its deadline, which this device can only
    // meet in whole milliseconds, so it ends at the first one past it.
    const uint64_t t = clock.now_us();
    EXPECT_EQ(read_byte_timed_us(p, 2500), BUFREMPTY);
    EXPECT_EQ(clock.now_us() - t, 3000u);
    EXPECT_EQ(p->status, 0);
    EXPECT_EQ(read_byte_timed_us(p, 0), BUFREMPTY);
    EXPECT_EQ(clock.now_us() - t, 3000u);
}

TEST_F(FakeDriver, BlockWriteHandsOverOnlyWhatTheTransmitQueueTakes) {
    ComPort* p = open();
    std::vector<uint8_t> buf(100);
    for (size_t i = 0; i < buf.size(); ++i) buf[i] = uint8_t(i);

    line->tx_queued = 1000;
    EXPECT_EQ(p->op_tx_free(p), 50);
    EXPECT_EQ(p->op_write_block(p, buf.data(), 100), BUFRFULL);
    EXPECT_EQ(p->status, BUFRFULL);
    EXPECT_EQ(p->transfer_count, 50);
    EXPECT_EQ(line->tx, std::vector<uint8_t>(buf.begin(), buf.begin() + 50));

    p->op_clear_status(p);
    line->tx.clear();
    line->tx_queued = 0;
    EXPECT_EQ(p->op_write_block(p, buf.data(), 100), 0);
    EXPECT_EQ(p->transfer_count, 100);
    EXPECT_EQ(p->status, 0);

    // A queue reported over its size has no room rather than a wrapped-around lot.
    line->tx.clear();
    line->tx_queued = 2000;
    EXPECT_EQ(p->op_write_block(p, buf.data(), 100), BUFRFULL);
    EXPECT_EQ(p->transfer_count, 0);
    EXPECT_TRUE(line->tx.empty());

    // The device itself taking less is no success either.
    line->tx_queued = 0;
    line->write_limit = 3;
    EXPECT_EQ(p->op_write_block(p, buf.data(), 10), BUFRFULL);
    EXPECT_EQ(p->transfer_count, 3);

    line->write_limit = SIZE_MAX;
    line->tx.clear();
    EXPECT_EQ(p->op_write_byte(p, 0x1A5), 0);  // low 8 bits
    EXPECT_EQ(line->tx, std::vector<uint8_t>{0xA5});
}

TEST_F(FakeDriver, VanishedDeviceMakesEveryReadFailWithoutWaiting) {
    // Each of these says the tty is gone for good: its descriptor goes at once.
    for (int gone : {EIO, ENODEV, ENXIO}) {
        line->rx_result = 0;
        ComPort* p = open();
        line->rx = {1, 2, 3};
        line->rx_result = -gone;
        uint32_t start = platform::GetTickCount();
        EXPECT_EQ(p->op_read_byte(p), map_system_error(-gone)) << gone;
        EXPECT_TRUE(device_lost(p)) << gone;
        EXPECT_FALSE(line->is_open) << gone;
        uint8_t buf[4];
        EXPECT_LT(p->op_read_block(p, buf, 4), 0);
        EXPECT_EQ(p->transfer_count, 0);
        EXPECT_LT(read_byte_timed(p, -1), 0);
        EXPECT_LT(drain_rx(p), 0);
        EXPECT_LT(is_rx_empty(p), 0);
        EXPECT_EQ(platform::GetTickCount(), start);
        EXPECT_EQ(p->op_close(p), 0);
    }

    // Lost in the middle of a timed wait: the wait still lasts its time, so
    // a caller that waits again at once does not spin.
    line->rx_result = 0;
    line->rx.clear();
    ComPort* p = open();
    line->wait_result = -EIO;
    const uint32_t start = platform::GetTickCount();
    EXPECT_EQ(read_byte_timed(p, 30), GENERALERROR);
    EXPECT_EQ(platform::GetTickCount() - start, 30u);
    EXPECT_TRUE(device_lost(p));
}

TEST_F(FakeDriver, TimedReadBlocksInShortSlicesUntilItsDeadline) {
    ComPort* p = open();
    uint32_t start = platform::GetTickCount();
    EXPECT_EQ(read_byte_timed(p, 55), BUFREMPTY);
    EXPECT_EQ(platform::GetTickCount() - start, 55u);
    EXPECT_EQ(p->status, 0);
    ASSERT_FALSE(line->wait_slices.empty());
    for (int s : line->wait_slices) {
        EXPECT_GT(s, 0);
        EXPECT_LE(s, 10);
    }
    EXPECT_GE(hook_calls, 6);  // the window keeps getting its messages

    // A byte that arrives mid-wait is returned when it arrives.
    start = platform::GetTickCount();
    line->scheduled.push_back({start + 35, 0x42});
    EXPECT_EQ(read_byte_timed(p, 100), 0x42);
    EXPECT_EQ(platform::GetTickCount() - start, 35u);

    // 0 ms: a queued byte or -8, at once.
    line->wait_slices.clear();
    start = platform::GetTickCount();
    EXPECT_EQ(read_byte_timed(p, 0), BUFREMPTY);
    line->rx = {0x99};
    EXPECT_EQ(read_byte_timed(p, 0), 0x99);
    EXPECT_EQ(platform::GetTickCount(), start);
    EXPECT_TRUE(line->wait_slices.empty());

    // -1: no deadline; only a byte or the idle hook ends it.
    hook_calls = 0;
    abort_after = 40;
    start = platform::GetTickCount();
    EXPECT_EQ(read_byte_timed(p, -1), USERABORT);
    EXPECT_EQ(p->status, USERABORT);
    EXPECT_GE(platform::GetTickCount() - start, 390u);
}

TEST_F(FakeDriver, TimedReadDeadlineSurvivesTheTickCountWrapping) {
    platform::VirtualClock near_wrap((uint64_t(0xFFFFFFFF) - 20) * 1000);
    platform::set_clock(&near_wrap);
    ComPort* p = open();
    EXPECT_EQ(read_byte_timed(p, 50), BUFREMPTY);
    EXPECT_EQ(near_wrap.now_us() / 1000, uint64_t(0xFFFFFFFF) - 20 + 50);
    EXPECT_EQ(idle_wait(p, 30), 0);
    EXPECT_EQ(near_wrap.now_us() / 1000, uint64_t(0xFFFFFFFF) - 20 + 80);
    platform::set_clock(&clock);  // near_wrap ends with this scope, before the ports close
}

TEST_F(FakeDriver, IdleWaitAndBreakPassTimeThroughTheClock) {
    ComPort* p = open();
    uint32_t start = platform::GetTickCount();
    EXPECT_EQ(idle_wait(p, 25), 0);
    EXPECT_EQ(platform::GetTickCount() - start, 25u);
    EXPECT_GE(hook_calls, 3);

    hook_calls = 0;
    abort_after = 1;
    start = platform::GetTickCount();
    EXPECT_EQ(idle_wait(p, 25), USERABORT);
    EXPECT_EQ(platform::GetTickCount(), start);

    abort_after = -1;
    start = platform::GetTickCount();
    EXPECT_EQ(p->op_break(p, 30), 0);
    EXPECT_EQ(count(line->calls, "brk1@" + std::to_string(start)), 1);
    EXPECT_EQ(count(line->calls, "brk0@" + std::to_string(start + 30)), 1);
}

TEST_F(FakeDriver, DrainRxEmptiesTheQueueAndAnEmptyQueueCostsNoRead) {
    ComPort* p = open();
    EXPECT_EQ(drain_rx(p), 0);
    EXPECT_EQ(line->reads, 0);
    for (int i = 0; i < 150; ++i) line->rx.push_back(uint8_t(i));
    EXPECT_EQ(is_rx_empty(p), 0);
    EXPECT_EQ(drain_rx(p), 0);
    EXPECT_TRUE(line->rx.empty());
    EXPECT_EQ(is_rx_empty(p), 1);
}

TEST_F(FakeDriver, QueueModemAndTransmitterQueries) {
    ComPort* p = open();
    line->rx = {1, 2, 3};
    line->tx_queued = 7;
    EXPECT_EQ(p->op_rx_count(p), 3);
    EXPECT_EQ(p->op_rx_free(p), 1047);
    EXPECT_EQ(p->op_tx_count(p), 7);
    EXPECT_EQ(p->op_tx_free(p), 1043);
    // The kernel queues more than the nominal size: no room, not an error code.
    line->rx.assign(1058, 0x55);
    EXPECT_EQ(p->op_rx_free(p), 0);
    line->tx_queued = 1100;
    EXPECT_EQ(p->op_tx_free(p), 0);

    line->modem = platform::MODEM_CTS | platform::MODEM_CD;
    EXPECT_EQ(p->op_modem_status(p), 0x90);
    line->modem_result = -ENOTTY;  // no modem lines at all
    EXPECT_EQ(p->op_modem_status(p), 0);
    line->modem_result = -EINVAL;  // EIO would mean the device is gone
    EXPECT_EQ(p->op_modem_status(p), GENERALERROR);

    EXPECT_EQ(p->op_purge_tx(p), 0);
    EXPECT_EQ(wait_tx_empty(p), 0);
    EXPECT_EQ(count(line->calls, "purge"), 1);
    EXPECT_EQ(count(line->calls, "drain"), 1);

    EXPECT_EQ(p->op_reserved_a(p), NOTSUPPORTED);
    EXPECT_EQ(p->op_reserved_b(p), NOTSUPPORTED);
}

TEST_F(FakeDriver, RtsNeverDropsBeforeTheFrameHasLeftTheWire) {
    const uint8_t frame[12] = {0x01, 0x0F, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 0x55};
    // At 1200 Bd a character is 10 bits in 8N1 and 12 in 8E2: 100 or 120 ms for the frame.
    const std::tuple<char, int, uint64_t> lines[] = {{'N', 1, 100'000}, {'E', 2, 120'000}};
    for (auto [parity, stop, wire_us] : lines) {
        close_all_ports();
        ComPort* p = open(1200, parity, 8, stop);
        // Lowered straight after the write: the drop itself drains and waits.
        p->op_rts(p, 1);
        const uint64_t t0 = clock.now_us();
        ASSERT_EQ(p->op_write_block(p, frame, sizeof frame), 0);
        line->calls.clear();
        EXPECT_EQ(p->op_rts(p, 0), 0);
        EXPECT_EQ(line->rts_low_at_us - t0, wire_us) << parity;
        EXPECT_EQ(line->calls, (std::vector<std::string>{"drain", "rts0"}));

        // Counted from the hand-over to the kernel (the next call), not from the write.
        p->op_rts(p, 1);
        ASSERT_EQ(p->op_write_block(p, frame, sizeof frame), 0);
        clock.sleep_us(30'000);
        const uint64_t t1 = clock.now_us();
        EXPECT_EQ(p->op_rx_count(p), 0);
        EXPECT_EQ(wait_tx_empty(p), 0);
        EXPECT_EQ(clock.now_us() - t1, wire_us) << parity;
        const uint64_t t2 = clock.now_us();
        p->op_rts(p, 0);  // already off the wire: no second wait
        EXPECT_EQ(line->rts_low_at_us, t2);

        // A frame handed over while the one before is still on the wire
        // follows it there: the floor is both frames' time.
        p->op_rts(p, 1);
        const uint64_t t3 = clock.now_us();
        ASSERT_EQ(p->op_write_block(p, frame, sizeof frame), 0);
        EXPECT_EQ(p->op_rx_count(p), 0);
        clock.sleep_us(10'000);
        ASSERT_EQ(p->op_write_block(p, frame, sizeof frame), 0);
        EXPECT_EQ(p->op_rx_count(p), 0);
        p->op_rts(p, 0);
        EXPECT_EQ(line->rts_low_at_us - t3, 2 * wire_us) << parity;
    }
}

TEST_F(FakeDriver, DumpOfAnOpenPortShowsSettingsQueuesErrorsAndModemLines) {
    ComPort* p = open(9600, 'E', 7, 2);
    line->rx = {1, 2, 3};
    line->tx_queued = 5;
    line->counts.frame = 1;
    line->counts.brk = 1;
    line->modem = platform::MODEM_CTS | platform::MODEM_DSR;
    EXPECT_EQ(p->op_dump(p, collect), 0);
    const std::vector<std::string> expected = {
        "",
        "Port type:  MS Windows  DCB BaudRate: 9600    ByteSize: 7  Parity: 2",
        "StopBits: 2 fBinary: 1  fRtsControl: 1",
        "Parity: 0  OutCtsFlow: 0  OutDsrFlow: 0  DtrControl: 1  OutX: 0  InX: 0",
        "Null: 0  DtrControl: 1  RtsControl: 1  XonChar: 11  XoffChar: 13",
        "XonLim: 262   XoffLim: 262   EofChr: 00  EvtChr: 00",
        "RX count/free:     3/1047   TX count/free:     5/1045   BREAK/FE/OE/PE: 1100",
        "CE_BREAK:1  CE_FRAME:1  CE_MODE:0 CE_OVERRUN:0",
        "CE_RXOVER:0 CE_RXPARITY:0 CE_TXFULL:0  CTS/DSR/RI/CD: 1100",
        "8250:0000",
    };
    EXPECT_EQ(printed, expected);
}

int dispatched = 0;
void count_dispatch(int) { ++dispatched; }

TEST_F(FakeDriver, DefaultIdleHookDispatchesTheThreadsPendingMessages) {
    ComPort* p = open();
    set_idle_hook(nullptr);
    dispatched = 0;
    platform::set_message_dispatcher(count_dispatch);
    EXPECT_EQ(read_byte_timed(p, 30), BUFREMPTY);
    platform::set_message_dispatcher(nullptr);
    EXPECT_GE(dispatched, 3);
    EXPECT_EQ(hook_calls, 0);
    int before = dispatched;
    EXPECT_EQ(idle_wait(p, 20), 0);  // unbound again: nothing to call
    EXPECT_EQ(dispatched, before);
}

}  // namespace

platform::VirtualClock* slow_clock = nullptr;
int slow_hook(ComPort*) {
    ++hook_calls;
    slow_clock->sleep_ms(50);  // a handler that ran long inside the wait
    return 0;
}

TEST_F(FakeDriver, ByteThatCameInTimeIsTakenEvenAfterAHookRanPastTheDeadline) {
    ComPort* p = open();
    slow_clock = &clock;
    set_idle_hook(slow_hook);
    line->scheduled.push_back({uint32_t(clock.now_us() / 1000 + 5), 0x42});
    EXPECT_EQ(read_byte_timed(p, 40), 0x42);
    EXPECT_EQ(hook_calls, 1);
}

TEST_F(FakeDriver, WaitWithoutDispatchNeverCallsTheIdleHook) {
    ComPort* p = open();
    EXPECT_EQ(read_byte_timed_us(p, 30'000, false), BUFREMPTY);
    EXPECT_EQ(hook_calls, 0);
    EXPECT_EQ(read_byte_timed_us(p, 30'000, true), BUFREMPTY);
    EXPECT_GE(hook_calls, 3);
}
