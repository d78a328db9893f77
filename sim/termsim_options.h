// Command line of stravon-termsim.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/line_sim.h"

namespace sim {

struct TermsimOptions {
    bool pty = false;
    std::string link;              // symlink to create to the pty's slave
    std::string device;            // existing device to open instead of a pty
    uint32_t baud = 19200;
    std::vector<uint8_t> terminals;            // empty: one terminal at 1
    std::optional<uint32_t> master_period_ms;
    uint32_t master_holdoff_ms = 1000;
    uint32_t ack_delay_ms = 10;
    uint32_t block_delay_ms = 20;
    bool dt = false;
    struct Block {
        uint8_t address;
        char letter;
        std::string file;
    };
    std::vector<Block> blocks;
    struct AddressedFault {
        uint8_t address;
        Fault fault;
    };
    std::vector<AddressedFault> faults;
    std::string log;
    bool quiet = false;
    bool exit_on_hangup = false;
    bool help = false;
};

// Fills `out`; gives an error message, or an empty string when all is well.
std::string parse_termsim_options(const std::vector<std::string>& args, TermsimOptions& out);

// "noack", "refuse", "lose", "poll-in-block", "short", "long", "dead";
// count -1 (or the word "always") hits every frame.
std::optional<Fault> parse_fault(const std::string& kind, const std::string& count);

const char* termsim_usage();

}  // namespace sim
