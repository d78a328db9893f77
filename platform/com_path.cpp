#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "platform/serial_device.h"

namespace platform {

std::string com_device_path(int com_number) {
    std::string config;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
        config = xdg;
    else if (const char* home = std::getenv("HOME"); home && *home)
        config = std::string(home) + "/.config";
    if (!config.empty()) {
        std::string link = config + "/stravon/dosdevices/com" + std::to_string(com_number);
        // lstat: a dangling link still names the port, so its open fails with
        // a clear code instead of silently falling back to a ttyS.
        struct stat st;
        if (::lstat(link.c_str(), &st) == 0) return link;
    }
    return "/dev/ttyS" + std::to_string(com_number - 1);
}

}  // namespace platform
