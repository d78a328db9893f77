#include "sim/attach.h"

#include "serial/com_port.h"
#include "sim/sim_line_device.h"

namespace sim {

void attach_to_driver(const std::map<int, LineSim*>& lines, platform::VirtualClock& clock) {
    set_device_factory([lines, &clock](int port_index) -> std::unique_ptr<platform::SerialDevice> {
        auto it = lines.find(port_index);
        if (it == lines.end() || !it->second) return platform::make_serial_device();
        return std::make_unique<SimLineDevice>(*it->second, clock);
    });
}

void detach_from_driver() { set_device_factory({}); }

}  // namespace sim
