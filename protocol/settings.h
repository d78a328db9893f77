// Run-time settings, derived from the configuration record at start and
// given to the terminal objects; only Master_wait changes while the program runs.
#pragma once
#include <cstdint>

struct TLinkSettings {
    int32_t Baud_rate = 19200;
    // Size of a terminal's data buffer: capacity times the record length.
    int32_t Data_length = 2500 * 24;
    uint8_t CCode = 0;
    uint8_t DT_use = 0;
    int32_t Kredit = 0;
    int32_t MxSn = 5;
    int32_t MxVec = 5;
    // 40 ms plus the Delay_add selection.
    uint32_t Master_wait = 40;
};
