#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <cstdlib>
#include <string>

#include "platform/com_path.h"
#include "platform/serial_device.h"

namespace platform {

std::string config_home() {
    const char* appdata = std::getenv("APPDATA");
    return appdata && *appdata ? std::string(appdata) : std::string();
}

// Windows names its ports itself; there are no links to make.
std::string dosdevices_dir() { return {}; }

const char* how_to_link_port() { return "cislo COM portu prevodniku ukazuje Spravce zarizeni, Porty (COM a LPT)"; }

std::string com_device_path(int com_number) { return "\\\\.\\COM" + std::to_string(com_number); }

bool device_present(const std::string& path) {
    // The port's DOS name exists while its device is there; asking for it
    // opens nothing, so the line is not disturbed.
    const std::string prefix = "\\\\.\\";
    if (path.compare(0, prefix.size(), prefix) == 0) {
        char target[512];
        return QueryDosDeviceA(path.c_str() + prefix.size(), target, sizeof target) != 0;
    }
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace platform
