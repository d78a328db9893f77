// The whole program's figure: the real router offscreen, measured from outside.
#pragma once
#include <string>
#include <vector>

// The request's road as seen from outside: renamed into place, taken (the
// router deletes it), the block written to binarni.bin, porcom.sta written.
// Times in seconds from the rename; CPU of the router process at each.
struct ProgramRun {
    double taken_s = 0, block_s = 0, wall_s = 0;
    double cpu_taken_s = 0, cpu_block_s = 0, cpu_s = 0;
    std::string status;    // porcom.sta
    int output_lines = 0;  // lines of the output file
};

struct ProgramFigures {
    bool started = false;
    std::string failure;     // why nothing was measured
    // The protocol's least time for the request: the link's part (from the
    // request taken to the block's end) and the list's (the lines' pauses).
    double link_minimum_s = 0, list_minimum_s = 0;
    double minimum_s = 0;
    std::vector<ProgramRun> runs;
    std::string log;  // errorlog.txt, shown when a request was not answered in full
};

// Runs `stravon` (in bin_dir) in a private configuration and working
// directory under dir, with stravon-termsim on a pty as its COM1, and times
// `requests` requests of one read command answered with `records` diner
// records. priority: the record's Priority_set.
// The block: records of 24 bytes, letter R, numbered, flag 1, 14 day bytes.
std::string DinerBlock(int records);
// The simulator's answer times the minimum assumes.
constexpr int kProgramAckDelayMs = 10;
constexpr int kProgramBlockDelayMs = 20;
double LinkMinimumSeconds(int records);
double ListMinimumSeconds(int records);

ProgramFigures MeasureProgram(const std::string& bin_dir, const std::string& dir, int records, int requests,
                              bool priority);
// link_alone: the same request run by the link in this process, if measured.
void PrintProgram(const ProgramFigures& f, int records, const ProgramRun* link_alone = nullptr);
