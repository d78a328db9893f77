// A model of one half-duplex terminal line: up to four terminals and an
// optional polling master. No I/O; every time is in microseconds on a clock
// the caller owns, so tests can drive it on virtual time and say exactly
// which byte reaches the router when.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

inline constexpr uint8_t ACK = 0x06;
inline constexpr uint8_t NAK = 0x15;
inline constexpr std::array<uint8_t, 4> POLL_FRAME = {0x10, 0x04, 0x55, 0x69};

// Sum of the bytes modulo 256.
uint8_t checksum(const uint8_t* bytes, size_t n);
// address, length, payload, checksum.
std::vector<uint8_t> make_frame(uint8_t address, const std::vector<uint8_t>& payload);
std::vector<uint8_t> make_frame(uint8_t address, const std::string& payload);
// Upper-case hex separated by blanks ("01 04 41 46").
std::string to_hex(const std::vector<uint8_t>& bytes);

// A frame as the line carried it from the router.
struct ReceivedFrame {
    std::vector<uint8_t> bytes;
    uint64_t start_us = 0;     // first bit of the first byte
    uint64_t end_us = 0;       // last bit of the last byte
    bool rts_high = true;      // RTS was high under every byte
    bool complete = true;      // false: cut off by a gap before its length was reached
    bool checksum_ok = false;
    uint8_t address() const { return bytes.empty() ? 0 : bytes[0]; }
    // Bytes 2 .. N-2.
    std::vector<uint8_t> payload() const;
};

enum class AnswerKind { Ack, Refusal, Block, Poll };

// Bytes the model put on the line toward the router.
struct SentAnswer {
    uint8_t address = 0;       // terminal address; 0x10 for the master's polls
    AnswerKind kind = AnswerKind::Ack;
    std::vector<uint8_t> bytes;
    uint64_t start_us = 0;     // first bit of the first byte
    uint64_t end_us = 0;       // last bit of the last byte
};

// One diner as a terminal keeps it. The identifier is the 8 characters of
// the command; records carry 4 bytes of it: the 8 characters read as hex
// when they are all hex digits, else their first 4 bytes.
struct Diner {
    char letter = 'R';                 // record letter: 'R', or 'Z' for a diner sent with "X"
    uint16_t number = 0;
    std::array<uint8_t, 8> ident{};
    uint8_t flag = 0;
    std::array<uint8_t, 14> days{};    // days 1-14
    std::array<uint8_t, 14> name{};
    std::array<uint8_t, 5> dt{};       // sent only in 29-byte records
    std::array<uint8_t, 3> credit{};   // from a 43-byte "X" payload
    bool has_credit = false;
    bool has_first = true;             // false: only days 15-28 are known
    // Days 15-28 as a "q" or "r" command stored them.
    char second_letter = 0;            // 0: none, else 'q' or 'r'
    std::array<uint8_t, 8> second_ident{};
    uint8_t second_flag = 0;
    std::array<uint8_t, 14> second_days{};
    std::array<uint8_t, 14> second_name{};
};

// The 4 record bytes of an 8-character identifier.
std::array<uint8_t, 4> ident_bytes(const std::array<uint8_t, 8>& ident);

enum class FaultKind {
    NoAck,        // silence instead of an answer
    Refuse,       // 0x15 instead of 0x06; the command is not carried out
    LoseBytes,    // `amount` bytes (default 1) dropped from the middle of the block, or the ack
    PollInBlock,  // a poll frame inside the data block (at byte `amount`, default the middle)
    WrongLength,  // block `amount` bytes longer (>0) or shorter (<0; default -1)
    Noise,        // `amount` stray bytes (default 1, each 0x00) on the line just before the block
    Dead,         // silence for every frame
    LoseAck,      // the 0x06 lost on the line; a block still follows it
};

struct Fault {
    FaultKind kind = FaultKind::NoAck;
    int count = 1;        // how many frames (or blocks) it hits; -1: all
    int amount = 0;       // see FaultKind; 0 picks the default
};

struct TerminalConfig {
    uint8_t address = 1;
    uint64_t ack_delay_us = 10'000;    // last byte of the frame -> first bit of the ack
    uint64_t block_delay_us = 20'000;  // end of the ack -> first bit of the block
    bool dt = false;                   // 29-byte diner records
    std::string status_text = "STRAVON TERMSIM";  // padded or cut to 16 bytes
};

// What one terminal received and answered.
struct TerminalEvent {
    std::vector<uint8_t> payload;
    uint64_t end_us = 0;               // end of the frame
    bool answered = false;             // sent 0x06
    bool refused = false;              // sent 0x15
};

class Terminal {
public:
    explicit Terminal(const TerminalConfig& cfg) : cfg_(cfg) {}

    TerminalConfig& config() { return cfg_; }
    const TerminalConfig& config() const { return cfg_; }
    uint8_t address() const { return cfg_.address; }

    // Stored diners by number.
    const std::map<uint16_t, Diner>& diners() const { return diners_; }
    void store_diner(const Diner& d) { diners_[d.number] = d; }
    void clear_diners() { diners_.clear(); }

    // A raw block for the next read command (any letter), used once.
    void set_next_block(const std::vector<uint8_t>& bytes) { next_block_ = bytes; }
    // A raw block for every read command with this letter (0: any letter).
    void set_block(char letter, const std::vector<uint8_t>& bytes) { blocks_[letter] = bytes; }
    void clear_blocks() { blocks_.clear(); next_block_.reset(); }

    void add_fault(const Fault& f) { faults_.push_back(f); }
    void clear_faults() { faults_.clear(); }
    const std::vector<Fault>& faults() const { return faults_; }

    // Every frame addressed here with a good checksum, in order.
    const std::vector<TerminalEvent>& received() const { return received_; }

    // The block a read command gets when no raw block is set.
    std::vector<uint8_t> diner_block() const;
    std::vector<uint8_t> status_block() const;

    // Carries out one command (no faults, no timing): stores diner data and
    // gives the data block for a read command (nullopt: not a read command).
    std::optional<std::vector<uint8_t>> execute(const std::vector<uint8_t>& payload);

private:
    friend class LineSim;
    bool take_fault(FaultKind k, int* amount = nullptr);
    bool has_fault(FaultKind k) const;

    TerminalConfig cfg_;
    std::map<uint16_t, Diner> diners_;
    std::map<char, std::vector<uint8_t>> blocks_;
    std::optional<std::vector<uint8_t>> next_block_;
    std::vector<Fault> faults_;
    std::vector<TerminalEvent> received_;
    uint32_t acknowledged_ = 0;
};

class LineSim {
public:
    explicit LineSim(uint32_t baud = 19200);
    LineSim(const LineSim&) = delete;
    LineSim& operator=(const LineSim&) = delete;

    uint32_t baud() const { return baud_; }
    void set_baud(uint32_t baud);
    // Time of one byte on the wire (start, 8 data bits, stop), rounded to 1 us.
    uint64_t byte_time_us() const { return byte_us_; }

    // At most four terminals, distinct addresses. The reference stays valid.
    Terminal& add_terminal(const TerminalConfig& cfg);
    Terminal& add_terminal(uint8_t address);
    Terminal* terminal(uint8_t address);
    const std::vector<std::unique_ptr<Terminal>>& terminals() const { return terminals_; }

    // A master that sends the poll frame at first_poll_us + k * period while
    // the line is quiet (a slot that falls on traffic is skipped). After a
    // data block it stays silent for holdoff_us, so the router can read the
    // block to its end before the next poll.
    void set_master(uint32_t period_ms, uint64_t first_poll_us = 0, uint64_t holdoff_us = 1'000'000);
    void clear_master() { master_ = false; }
    bool has_master() const { return master_; }
    // Time of the master's next poll slot, if there is a master.
    std::optional<uint64_t> next_master_slot_us() const {
        return master_ ? std::optional<uint64_t>(next_poll_us_) : std::nullopt;
    }

    // Terminals answer only frames whose bytes were all sent with RTS high
    // (an unkeyed transmitter does not reach the line). On by default.
    void set_require_rts(bool on) { require_rts_ = on; }
    // The router hears its own bytes back, as on a two-wire line. Off by default.
    void set_echo(bool on) { echo_ = on; }
    // A gap this long inside a frame drops the partial frame (default 20 ms).
    void set_frame_gap_us(uint64_t us) { frame_gap_us_ = us; }

    // One byte from the router, on the wire from start_us for byte_time_us().
    // Bytes must come in time order and after advance_to(start_us).
    void router_byte(uint8_t b, uint64_t start_us, bool rts_high);
    // The router has bytes queued that keep the line busy until until_us.
    void reserve_line(uint64_t until_us);

    // Lets the master act up to t.
    void advance_to(uint64_t t);
    // Lets the master act up to `limit` or until the first byte toward the
    // router arrives, whichever is first; gives the arrival time (end of the
    // byte) of the next byte toward the router, if any is scheduled.
    std::optional<uint64_t> next_arrival_us(uint64_t limit);
    // Bytes toward the router whose last bit has arrived by `now`.
    std::vector<uint8_t> take_arrived(uint64_t now);
    // Bytes toward the router still on their way.
    size_t pending_count() const { return pending_.size(); }

    const std::vector<ReceivedFrame>& frames() const { return frames_; }
    const std::vector<SentAnswer>& sent() const { return sent_; }
    // Sent answers of one kind, e.g. every poll.
    std::vector<SentAnswer> sent_of(AnswerKind k) const;

private:
    void run_poll_slot();
    bool line_busy(uint64_t t) const;
    void finish_frame(bool complete);
    void answer(Terminal& t, const ReceivedFrame& f);
    uint64_t transmit(uint8_t address, AnswerKind kind, const std::vector<uint8_t>& bytes, uint64_t start);

    uint32_t baud_;
    uint64_t byte_us_;
    std::vector<std::unique_ptr<Terminal>> terminals_;

    bool master_ = false;
    uint64_t period_us_ = 0;
    uint64_t next_poll_us_ = 0;
    uint64_t holdoff_us_ = 0;

    bool require_rts_ = true;
    bool echo_ = false;
    uint64_t frame_gap_us_ = 20'000;

    ReceivedFrame partial_;
    bool in_frame_ = false;
    uint64_t router_busy_until_ = 0;   // end of the router's last known byte
    uint64_t answer_busy_until_ = 0;   // end of the last answer scheduled (or its hold-off)
    uint64_t tx_free_at_ = 0;          // the model's own transmitter is free from here
    uint64_t seen_until_ = 0;          // latest time the model has been told about

    std::multimap<uint64_t, uint8_t> pending_;  // arrival time -> byte
    std::vector<ReceivedFrame> frames_;
    std::vector<SentAnswer> sent_;
};

}  // namespace sim
