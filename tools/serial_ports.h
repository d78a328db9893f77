// The machine's serial devices as sysfs and udev's /dev/serial names show
// them, and the user's COM links to them. Nothing here opens a port: an open
// raises RTS and DTR on the line.
#pragma once
#include <optional>
#include <string>
#include <vector>

namespace tools {

// Where sysfs, /dev and the COM links are looked for; tests point them at a
// tree of their own.
struct Roots {
    std::string sysfs = "/sys";
    std::string dev = "/dev";
    std::string dosdevices;  // the directory of the comN links
};

// STRAVON_SYSFS_ROOT and STRAVON_DEV_ROOT when set, the user's dosdevices.
Roots roots_from_environment();

constexpr int Com_count = 8;

struct SerialPort {
    std::string name;                  // ttyUSB0
    std::string node;                  // <dev>/ttyUSB0
    std::vector<std::string> by_id;    // <dev>/serial/by-id/... names of the node
    std::vector<std::string> by_path;  // <dev>/serial/by-path/...
    std::string driver;
    bool usb = false;
    std::string vid, pid, product, serial, interface;
    // Its by-id name would fit another adapter as well: one of the same kind
    // plugged in now, or later when the adapter has no serial number.
    bool by_id_ambiguous = false;
    std::string latency_ms;            // FTDI latency_timer, when there is one
    bool console = false;              // the system console: never opened
};

// Every serial device, by name; virtual ttys and ports without a UART are left out.
std::vector<SerialPort> list_serial_ports(const Roots& roots);

struct ComLink {
    int number = 0;
    std::string link;       // <dosdevices>/comN
    bool linked = false;    // the link exists; else the router falls back to target
    std::string target;     // what the link says, or <dev>/ttyS<N-1>
    std::string absent;     // why the target is unusable now; empty when it is there
    std::string device;     // the tty name the target leads to, when known
};

ComLink com_link(const Roots& roots, int number, const std::vector<SerialPort>& ports);

// "3", "COM3" or "com3" in 1..Com_count.
std::optional<int> parse_com_number(const std::string& text);

// Links COMn to the device's stable name. On failure error says why and
// nothing has changed; on success message tells what was linked.
bool map_com(const Roots& roots, int number, const std::string& device, std::string& message,
             std::string& error);
bool unmap_com(const Roots& roots, int number, std::string& message, std::string& error);

}  // namespace tools
