// Puts simulated lines beneath the serial driver: opens of the given COM
// indexes (0 = COM1) get a SimLineDevice on that index's line.
#pragma once
#include <map>

#include "platform/clock.h"
#include "sim/line_sim.h"

namespace sim {

// Lines and clock are not owned and must outlive every port opened on them.
// Indexes not in the map get the ordinary termios device.
void attach_to_driver(const std::map<int, LineSim*>& lines, platform::VirtualClock& clock);
// Back to the termios device for every index.
void detach_from_driver();

}  // namespace sim
