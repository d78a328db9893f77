// Run-time settings derived from the configuration record at start.
#pragma once
#include <cstdint>

extern int32_t Baud_rate;
extern int32_t Data_length;
extern uint8_t CCode;
extern uint8_t DT_use;
extern int32_t Kredit;
extern int32_t MxSn;
extern int32_t MxVec;
// 40 ms plus the Delay_add selection; the window changes it at run time.
extern uint32_t Master_wait;
