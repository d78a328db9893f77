#include "sim/termsim_options.h"

#include <cerrno>
#include <cstdlib>

namespace sim {

namespace {

// Whole-string unsigned decimal within [lo, hi].
bool read_uint(const std::string& s, unsigned long lo, unsigned long hi, unsigned long& out) {
    if (s.empty() || s[0] == '-' || s[0] == '+') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long v = std::strtoul(s.c_str(), &end, 10);
    if (errno || *end || v < lo || v > hi) return false;
    out = v;
    return true;
}

std::vector<std::string> split(const std::string& s, char sep, size_t max_parts) {
    std::vector<std::string> parts;
    size_t from = 0;
    while (parts.size() + 1 < max_parts) {
        size_t at = s.find(sep, from);
        if (at == std::string::npos) break;
        parts.push_back(s.substr(from, at - from));
        from = at + 1;
    }
    parts.push_back(s.substr(from));
    return parts;
}

}  // namespace

std::optional<Fault> parse_fault(const std::string& kind, const std::string& count) {
    Fault f;
    if (kind == "noack") f.kind = FaultKind::NoAck;
    else if (kind == "refuse") f.kind = FaultKind::Refuse;
    else if (kind == "lose") f.kind = FaultKind::LoseBytes;
    else if (kind == "poll-in-block") f.kind = FaultKind::PollInBlock;
    else if (kind == "short") f.kind = FaultKind::WrongLength, f.amount = -1;
    else if (kind == "long") f.kind = FaultKind::WrongLength, f.amount = 1;
    else if (kind == "noise") f.kind = FaultKind::Noise;
    else if (kind == "dead") f.kind = FaultKind::Dead, f.count = -1;
    else return std::nullopt;
    if (count.empty()) return f;
    if (count == "always" || count == "-1") {
        f.count = -1;
        return f;
    }
    unsigned long n = 0;
    if (!read_uint(count, 1, 1'000'000, n)) return std::nullopt;
    f.count = static_cast<int>(n);
    return f;
}

std::string parse_termsim_options(const std::vector<std::string>& args, TermsimOptions& o) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& v) {
            if (i + 1 >= args.size()) return false;
            v = args[++i];
            return true;
        };
        std::string v;
        unsigned long n = 0;
        if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--pty") {
            o.pty = true;
        } else if (a == "--dt") {
            o.dt = true;
        } else if (a == "--quiet") {
            o.quiet = true;
        } else if (a == "--exit-on-hangup") {
            o.exit_on_hangup = true;
        } else if (a == "--link" || a == "--device" || a == "--log") {
            if (!value(v) || v.empty()) return a + " needs a path";
            (a == "--link" ? o.link : a == "--device" ? o.device : o.log) = v;
        } else if (a == "--baud") {
            if (!value(v) || !read_uint(v, 50, 4'000'000, n)) return "--baud needs a rate from 50 to 4000000";
            o.baud = static_cast<uint32_t>(n);
        } else if (a == "--terminal") {
            if (!value(v) || !read_uint(v, 0, 255, n)) return "--terminal needs an address from 0 to 255";
            for (uint8_t t : o.terminals)
                if (t == n) return "--terminal " + v + " given twice";
            if (o.terminals.size() == 4) return "at most four terminals";
            o.terminals.push_back(static_cast<uint8_t>(n));
        } else if (a == "--master") {
            if (!value(v) || !read_uint(v, 1, 60'000, n)) return "--master needs a period from 1 to 60000 ms";
            o.master_period_ms = static_cast<uint32_t>(n);
        } else if (a == "--master-holdoff") {
            if (!value(v) || !read_uint(v, 0, 600'000, n)) return "--master-holdoff needs milliseconds";
            o.master_holdoff_ms = static_cast<uint32_t>(n);
        } else if (a == "--ack-delay" || a == "--block-delay") {
            if (!value(v) || !read_uint(v, 0, 600'000, n)) return a + " needs milliseconds";
            (a == "--ack-delay" ? o.ack_delay_ms : o.block_delay_ms) = static_cast<uint32_t>(n);
        } else if (a == "--block") {
            if (!value(v)) return "--block needs ADDR:LETTER:FILE";
            auto p = split(v, ':', 3);
            if (p.size() != 3 || !read_uint(p[0], 0, 255, n) || p[1].size() != 1 || p[2].empty())
                return "--block needs ADDR:LETTER:FILE, got " + v;
            o.blocks.push_back({static_cast<uint8_t>(n), p[1][0], p[2]});
        } else if (a == "--fault") {
            if (!value(v)) return "--fault needs ADDR:KIND[:COUNT]";
            auto p = split(v, ':', 3);
            std::optional<Fault> f;
            if (p.size() >= 2 && read_uint(p[0], 0, 255, n)) f = parse_fault(p[1], p.size() == 3 ? p[2] : "");
            if (!f) return "--fault needs ADDR:KIND[:COUNT], got " + v;
            o.faults.push_back({static_cast<uint8_t>(n), *f});
        } else {
            return "unknown option " + a;
        }
    }
    if (o.help) return "";
    if (o.pty == !o.device.empty()) return "give either --pty or --device PATH";
    if (!o.link.empty() && !o.pty) return "--link goes with --pty";
    if (o.terminals.empty()) o.terminals.push_back(1);
    for (const auto& b : o.blocks) {
        bool known = false;
        for (uint8_t t : o.terminals) known = known || t == b.address;
        if (!known) return "--block for address " + std::to_string(b.address) + ", which has no --terminal";
    }
    for (const auto& f : o.faults) {
        bool known = false;
        for (uint8_t t : o.terminals) known = known || t == f.address;
        if (!known) return "--fault for address " + std::to_string(f.address) + ", which has no --terminal";
    }
    return "";
}

const char* termsim_usage() {
    return R"(Usage: stravon-termsim (--pty [--link PATH] | --device PATH) [options]

Simulates meal-ordering terminals, and optionally a polling master, on one
half-duplex line, so the router can be tried without hardware. Terminals
acknowledge their frames with 06, keep the diner data that the commands
X (Q lines), R, q and r carry, and answer the read commands Y and P with
their diner records and S with a status record.

Line:
  --pty               create a pseudo-terminal; its path is printed on the
                      first line of standard output
  --link PATH         with --pty: also make PATH a symbolic link to it, e.g.
                      ~/.config/stravon/dosdevices/com1 so the router's COM1
                      is the simulator
  --device PATH       use an existing serial device instead (a USB adapter
                      wired to the router's port through a null-modem cable)
  --baud N            line speed, default 19200; answers are paced at it
  --exit-on-hangup    end when the router's side closes the line

Terminals and master:
  --terminal ADDR     a terminal at address ADDR (0..255); repeat for up to
                      four; default one terminal at 1
  --master PERIOD_MS  a polling master that sends 10 04 55 69 every
                      PERIOD_MS while the line is quiet; the router notices a
                      master only when PERIOD_MS is below its wait time
                      (40 ms plus the service delay), e.g. 25
  --master-holdoff MS the master's silence after a data block, default 1000,
                      so the router can read the block to its end
  --ack-delay MS      from the end of a frame to the acknowledgement, default
                      10 (the router throws away what comes within ~8 ms)
  --block-delay MS    from the acknowledgement to the data block, default 20
  --dt                diner records of 29 bytes (with the DT group)
  --block ADDR:LETTER:FILE
                      answer the read command LETTER (Y, P or S) at ADDR with
                      the bytes of FILE instead of the stored data

Faults (COUNT: how many frames or blocks, default 1, "always" for all):
  --fault ADDR:noack[:COUNT]          no answer at all
  --fault ADDR:refuse[:COUNT]         15 instead of 06
  --fault ADDR:lose[:COUNT]           one byte of the block (or the 06) lost
  --fault ADDR:poll-in-block[:COUNT]  a poll frame in the middle of the block
  --fault ADDR:short[:COUNT]          block one byte short
  --fault ADDR:long[:COUNT]           block one byte long
  --fault ADDR:noise[:COUNT]          a stray byte (00) on the line just before the block
  --fault ADDR:dead                   the terminal never answers

Output:
  --log FILE          append a line per frame received and per answer sent:
                        <ms since start> <address> RX <frame bytes> OK|BADSUM
                        <ms since start> <address> TX <bytes> ACK|NAK|BLOCK
                      (bytes in hex, an answer longer than 100 bytes as its
                      first 16, then ... (N B); address as two hex digits;
                      an answer is logged once it has begun on the line)
  --quiet             no traffic on standard error
  --help              this text

Examples:
  Try the router on COM1 with one terminal at address 1:
    stravon-termsim --pty --link ~/.config/stravon/dosdevices/com1
  Two terminals behind a polling master, logging the traffic:
    stravon-termsim --pty --link ~/.config/stravon/dosdevices/com2 \
        --terminal 1 --terminal 2 --master 25 --log /tmp/line.log
  Terminal 3 refuses the next two frames, then its status read comes back
  one byte short:
    stravon-termsim --pty --terminal 3 --fault 3:refuse:2 --fault 3:short
  A real adapter at 9600 baud answering Y from a file:
    stravon-termsim --device /dev/ttyUSB0 --baud 9600 --block 1:Y:diners.bin

The simulator runs until it gets SIGTERM or SIGINT (Ctrl+C).
)";
}

}  // namespace sim
