// The driver over a real pty, in real time: bytes, waits and failures.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix_serial.h"
#include "serial/com_port.h"
#include "tests/serial/pty_line.h"

using namespace std::chrono;
using testing_pty::eventually;
using testing_pty::Pty;
using testing_pty::TempConfig;

namespace {

std::vector<std::string> printed;
void collect(const char* line) { printed.emplace_back(line); }

int hook_calls = 0;
int abort_after = -1;
int counting_hook(ComPort*) {
    ++hook_calls;
    return hook_calls == abort_after ? USERABORT : 0;
}

long elapsed_ms(steady_clock::time_point since) {
    return long(duration_cast<milliseconds>(steady_clock::now() - since).count());
}

double thread_cpu_ms() {
    struct rusage ru;
    getrusage(RUSAGE_THREAD, &ru);
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
}

class PtyDriver : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        cfg.map(1, pty.slave());
        hook_calls = 0;
        abort_after = -1;
        set_idle_hook(counting_hook);
        printed.clear();
    }
    void TearDown() override {
        close_all_ports();
        set_idle_hook(nullptr);
    }
    ComPort* open_com1(int baud = 19200) { return open_com_port(0, baud, 'N', 8, 1); }
    // Sends from the far end and waits until the driver sees it all queued.
    void arrive(ComPort* p, const std::string& bytes) {
        int before = p->op_rx_count(p);
        pty.send(bytes);
        ASSERT_TRUE(eventually([&] { return p->op_rx_count(p) == before + int(bytes.size()); }));
    }

    TempConfig cfg;
    Pty pty;
};

TEST_F(PtyDriver, OpensAndCarriesBytesBothWays) {
    ComPort* p = open_com1();
    ASSERT_EQ(p->status, 0);
    const uint8_t out[] = {0x10, 0x04, 0x55, 0x69};
    EXPECT_EQ(p->op_write_block(p, out, 4), 0);
    EXPECT_EQ(p->transfer_count, 4);
    EXPECT_EQ(wait_tx_empty(p), 0);
    EXPECT_EQ(pty.receive(4), std::string("\x10\x04\x55\x69", 4));
    arrive(p, std::string("\x06\x00\xff", 3));
    EXPECT_EQ(p->op_read_byte(p), 0x06);
    EXPECT_EQ(p->op_read_byte(p), 0x00);
    EXPECT_EQ(p->op_read_byte(p), 0xff);
    EXPECT_EQ(p->op_read_byte(p), BUFREMPTY);
    EXPECT_EQ(p->status, 0);
}

TEST_F(PtyDriver, BlockReadTakesWhatIsQueuedAndNeverWaits) {
    ComPort* p = open_com1();
    arrive(p, "abcd");
    uint8_t buf[10] = {};
    EXPECT_EQ(p->op_read_block(p, buf, 10), 0);
    EXPECT_EQ(p->transfer_count, 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), "abcd");
    auto start = steady_clock::now();
    EXPECT_EQ(p->op_read_block(p, buf, 10), BUFREMPTY);
    EXPECT_EQ(p->transfer_count, 0);
    EXPECT_EQ(p->status, 0);
    EXPECT_LT(elapsed_ms(start), 100);
}

TEST_F(PtyDriver, TimedReadWaitsWithoutBurningTheProcessor) {
    ComPort* p = open_com1();
    auto start = steady_clock::now();
    EXPECT_EQ(read_byte_timed(p, 0), BUFREMPTY);
    EXPECT_LT(elapsed_ms(start), 50);
    arrive(p, "Z");
    EXPECT_EQ(read_byte_timed(p, 0), 'Z');

    double cpu0 = thread_cpu_ms();
    start = steady_clock::now();
    EXPECT_EQ(read_byte_timed(p, 80), BUFREMPTY);
    long waited = elapsed_ms(start);
    double cpu = thread_cpu_ms() - cpu0;
    EXPECT_GE(waited, 75);
    EXPECT_LT(waited, 2000);
    EXPECT_LT(cpu, 0.3 * waited) << "cpu " << cpu << " ms over " << waited << " ms";
    EXPECT_GE(hook_calls, 4);  // messages still dispatched while blocked
    EXPECT_EQ(p->status, 0);
}

TEST_F(PtyDriver, EndlessTimedReadEndsWithAByteOrTheIdleHook) {
    ComPort* p = open_com1();
    std::thread sender([&] {
        std::this_thread::sleep_for(milliseconds(20));
        pty.send("q");
    });
    EXPECT_EQ(read_byte_timed(p, -1), 'q');
    sender.join();

    hook_calls = 0;
    abort_after = 3;
    EXPECT_EQ(read_byte_timed(p, -1), USERABORT);
    EXPECT_EQ(p->status, USERABORT);
}

TEST_F(PtyDriver, DrainRxDiscardsMoreThanOneScratchBuffer) {
    ComPort* p = open_com1();
    EXPECT_EQ(drain_rx(p), 0);
    arrive(p, std::string(200, 'x'));
    EXPECT_EQ(is_rx_empty(p), 0);
    EXPECT_EQ(drain_rx(p), 0);
    EXPECT_EQ(is_rx_empty(p), 1);
}

TEST_F(PtyDriver, ModemLineCallsThePtyRefusesAreHarmless) {
    ComPort* p = open_com1();
    EXPECT_EQ(p->op_rts(p, 1), 0);
    EXPECT_EQ(p->op_rts(p, 0), 0);
    EXPECT_EQ(p->op_dtr(p, 0), 0);
    EXPECT_EQ(p->op_modem_status(p), 0);
    EXPECT_EQ(p->op_line_status(p), 0);
    EXPECT_EQ(p->op_break(p, 5), 0);
    EXPECT_EQ(p->op_purge_tx(p), 0);
    EXPECT_EQ(p->status, 0);
    EXPECT_EQ(p->op_close(p), 0);
}

TEST_F(PtyDriver, SecondOpenOfTheSamePortIsInUseUntilTheFirstCloses) {
    ComPort* a = open_com1();
    ASSERT_EQ(a->status, 0);
    ComPort* b = open_com1();
    EXPECT_EQ(b->status, INUSE);
    EXPECT_EQ(b->op_close(b), 0);
    EXPECT_EQ(a->op_close(a), 0);
    ComPort* c = open_com1();
    EXPECT_EQ(c->status, 0);
}

TEST_F(PtyDriver, MissingOrNonTerminalDevicesFailWithNo8250AtOnce) {
    std::string file = cfg.root() + "/plain";
    std::ofstream(file) << "not a port";
    cfg.map(2, file);
    cfg.map(3, cfg.root());
    cfg.map(4, cfg.root() + "/gone");
    auto start = steady_clock::now();
    for (int index : {1, 2, 3, 199}) {  // 199: no link, so /dev/ttyS199
        ComPort* p = open_com_port(index, 19200, 'N', 8, 1);
        EXPECT_EQ(p->status, NO8250) << "COM" << index + 1;
        EXPECT_EQ(p->op_close(p), 0);
    }
    EXPECT_LT(elapsed_ms(start), 1000);
}

TEST_F(PtyDriver, EveryOperationOfAFailedPortAnswersNotSupported) {
    cfg.map(5, cfg.root() + "/gone");
    ComPort* p = open_com_port(4, 19200, 'N', 8, 1);
    ASSERT_EQ(p->status, NO8250);
    uint8_t buf[4] = {};
    auto expect_24 = [&](int result, const char* what) {
        EXPECT_EQ(result, NOTSUPPORTED) << what;
        EXPECT_EQ(p->status, NOTSUPPORTED) << what;
        p->status = 0;
    };
    expect_24(p->op_read_byte(p), "read_byte");
    expect_24(p->op_reserved_a(p), "reserved_a");
    expect_24(p->op_write_byte(p, 1), "write_byte");
    expect_24(p->op_set_line(p, 9600, 'N', 8, 1), "set_line");
    expect_24(p->op_xon_xoff(p, 1), "xon_xoff");
    expect_24(p->op_rts_cts(p, 1), "rts_cts");
    expect_24(p->op_dtr_dsr(p, 1), "dtr_dsr");
    expect_24(p->op_dtr(p, 1), "dtr");
    expect_24(p->op_rts(p, 1), "rts");
    expect_24(p->op_tx_free(p), "tx_free");
    expect_24(p->op_tx_count(p), "tx_count");
    expect_24(p->op_rx_free(p), "rx_free");
    expect_24(p->op_rx_count(p), "rx_count");
    expect_24(p->op_purge_tx(p), "purge_tx");
    expect_24(p->op_write_block(p, buf, 4), "write_block");
    expect_24(p->op_read_block(p, buf, 4), "read_block");
    expect_24(p->op_break(p, 1), "break");
    expect_24(p->op_modem_status(p), "modem_status");
    expect_24(p->op_line_status(p), "line_status");
    expect_24(p->op_clear_line_errors(p), "clear_line_errors");
    expect_24(p->op_reserved_b(p), "reserved_b");
    expect_24(read_byte_timed(p, 50), "read_byte_timed");
    expect_24(drain_rx(p), "drain_rx");
    expect_24(is_rx_empty(p), "is_rx_empty");
    expect_24(wait_tx_empty(p), "wait_tx_empty");
    expect_24(p->op_dump(p, collect), "dump");
    EXPECT_EQ(printed, (std::vector<std::string>{"Port dump not supported for this driver", ""}));
    p->status = 7;
    p->op_clear_status(p);
    EXPECT_EQ(p->status, 0);
    EXPECT_EQ(p->op_close(p), 0);
}

TEST_F(PtyDriver, DumpOfAFreshPort) {
    ComPort* p = open_com1(19200);
    EXPECT_EQ(p->op_dump(p, collect), 0);
    const std::vector<std::string> expected = {
        "",
        "Port type:  MS Windows  DCB BaudRate: 19200   ByteSize: 8  Parity: 0",
        "StopBits: 0 fBinary: 1  fRtsControl: 1",
        "Parity: 0  OutCtsFlow: 0  OutDsrFlow: 0  DtrControl: 1  OutX: 0  InX: 0",
        "Null: 0  DtrControl: 1  RtsControl: 1  XonChar: 11  XoffChar: 13",
        "XonLim: 262   XoffLim: 262   EofChr: 00  EvtChr: 00",
        "RX count/free:     0/1050   TX count/free:     0/1050   BREAK/FE/OE/PE: 0000",
        "CE_BREAK:0  CE_FRAME:0  CE_MODE:0 CE_OVERRUN:0",
        "CE_RXOVER:0 CE_RXPARITY:0 CE_TXFULL:0  CTS/DSR/RI/CD: 0000",
        "8250:0000",
    };
    EXPECT_EQ(printed, expected);
    EXPECT_EQ(p->status, 0);
}

TEST_F(PtyDriver, PeerClosingTurnsReadsIntoErrorsWithoutSpinning) {
    ComPort* p = open_com1();
    arrive(p, "xy");
    pty.close_master();
    abort_after = 100000;  // a spinning wait would end here instead of with an error
    auto start = steady_clock::now();
    int r = read_byte_timed(p, -1);
    EXPECT_LT(r, 0);
    EXPECT_NE(r, BUFREMPTY);
    EXPECT_NE(r, USERABORT);
    EXPECT_LT(elapsed_ms(start), 1000);
    EXPECT_LT(hook_calls, 10);
    EXPECT_LT(p->op_read_byte(p), 0);
    EXPECT_NE(p->op_read_byte(p), BUFREMPTY);
    EXPECT_LT(read_byte_timed(p, 100), 0);
    EXPECT_EQ(p->op_close(p), 0);
}

TEST_F(PtyDriver, RatesWithoutATermiosConstantAreAppliedExactly) {
    for (int baud : {31250, 100000, 19200}) {
        ComPort* p = open_com1(baud);
        ASSERT_EQ(p->status, 0) << baud;
        uint32_t out = 0, in = 0;
        ASSERT_EQ(platform::termios2_get_baud(pty.master(), &out, &in), 0);
        EXPECT_EQ(out, uint32_t(baud));
        EXPECT_EQ(in, uint32_t(baud));
        EXPECT_EQ(p->op_close(p), 0);
    }
}

}  // namespace
