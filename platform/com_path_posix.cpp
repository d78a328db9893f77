#include "platform/com_path.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/serial_device.h"

namespace platform {

std::string config_home() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') return xdg;
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        const passwd* pw = ::getpwuid(::getuid());
        if (!pw || !pw->pw_dir || !*pw->pw_dir) return {};
        home = pw->pw_dir;
    }
    return std::string(home) + "/.config";
}

std::string dosdevices_dir() {
    const std::string config = config_home();
    return config.empty() ? std::string() : config + "/stravon/dosdevices";
}

const char* how_to_link_port() { return "COM port se k prevodniku pripoji prikazem stravon-ports map N ZARIZENI"; }

std::string com_device_path(int com_number) {
    if (const std::string dir = dosdevices_dir(); !dir.empty()) {
        std::string link = dir + "/com" + std::to_string(com_number);
        // lstat: a dangling link still names the port, so its open fails with
        // a clear code instead of silently falling back to a ttyS.
        struct stat st;
        if (::lstat(link.c_str(), &st) == 0) return link;
    }
    return "/dev/ttyS" + std::to_string(com_number - 1);
}

bool device_present(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace platform
