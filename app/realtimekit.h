// The exchange's priority through RealtimeKit, the service desktops run so
// that an ordinary user's thread may be raised for work that must keep time.
#pragma once
#include <string>

// Asks RealtimeKit on the system bus to give the thread tid the nice value;
// false with the reason when it cannot.
bool realtimekit_raise(long tid, int nice, std::string& why);
