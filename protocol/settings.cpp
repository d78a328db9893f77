#include "protocol/settings.h"

// Values of the default configuration until the window loads the stored one.
int32_t Baud_rate = 19200;
int32_t Data_length = 2500 * 24;
uint8_t CCode = 0;
uint8_t DT_use = 0;
int32_t Kredit = 0;
int32_t MxSn = 5;
int32_t MxVec = 5;
uint32_t Master_wait = 40;
