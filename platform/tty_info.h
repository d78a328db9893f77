// What the system tells about a serial device without opening it: where a
// COM link leads, its sysfs entry, who else holds it, why access is denied.
#pragma once
#include <sys/types.h>

#include <optional>
#include <string>

namespace platform {

// The device a path leads to with every link followed; for a dangling link
// the last target that could be read.
std::string resolve_device(const std::string& path);

// ${STRAVON_SYSFS_ROOT:-/sys}, so tests can give a tree of their own.
std::string sysfs_root();
// The first line of a sysfs attribute without its line end and trailing
// blanks; empty when it cannot be read.
std::string read_sysfs_attr(const std::string& path);
// The tty's sysfs directory: <root>/class/tty/<name>, name = the last part of device.
std::string sysfs_tty_dir(const std::string& device, const std::string& root = sysfs_root());
// Listed in <root>/class/tty/console/active, or the console device itself.
bool is_system_console(const std::string& device, const std::string& root = sysfs_root());
// The tty's sysfs "type" is 0 (PORT_UNKNOWN): a ttyS without a UART behind it.
bool uart_absent(const std::string& device, const std::string& root = sysfs_root());
// The USB adapter's latency_timer in ms; -1 where the device has none.
int latency_timer_ms(const std::string& device, const std::string& root = sysfs_root());

struct TtyHolder {
    int pid = 0;
    std::string comm;
    std::string lock_file;  // set when found through a UUCP lock file
};
// Another process that has the tty (rdev) open, or a live UUCP lock file
// LCK..<name> in lock_dir. The other end of a pty (a process that also holds
// its master) is the line itself, not a holder. Best effort: processes we may
// not look into are skipped.
std::optional<TtyHolder> find_tty_holder(const std::string& device, dev_t rdev,
                                         const std::string& lock_dir = "/var/lock",
                                         const std::string& proc_dir = "/proc");

// Plain texts for the log, without the COM prefix.
std::string holder_text(const TtyHolder& h);
// Why the calling user may not open device, with the remedy.
std::string access_denied_text(const std::string& device);

}  // namespace platform
