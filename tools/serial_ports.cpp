#include "tools/serial_ports.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "platform/com_path.h"
#include "platform/tty_info.h"
#include "tools/i18n.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

std::string read_attr(const fs::path& p) { return platform::read_sysfs_attr(p.string()); }

// True for anything at p, a dangling link included.
bool lexists(const fs::path& p) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(p, ec));
}

fs::path canonical_or_empty(const fs::path& p) {
    std::error_code ec;
    fs::path r = fs::canonical(p, ec);
    return ec ? fs::path() : r;
}

fs::path dev_real(const Roots& roots) {
    std::error_code ec;
    fs::path r = fs::weakly_canonical(roots.dev, ec);
    return ec ? fs::path(roots.dev) : r;
}

// ttyS2 before ttyS10.
bool natural_less(const std::string& a, const std::string& b) {
    auto split = [](const std::string& s) {
        size_t i = s.size();
        while (i > 0 && std::isdigit(static_cast<unsigned char>(s[i - 1]))) --i;
        const std::string digits = s.substr(i);
        return std::pair(s.substr(0, i), digits.empty() ? -1L : std::strtol(digits.c_str(), nullptr, 10));
    };
    return split(a) < split(b);
}

// The device dirs from a tty's device up to the top of sysfs' device tree.
std::vector<fs::path> device_chain(const Roots& roots, const std::string& name) {
    std::vector<fs::path> chain;
    const fs::path top = canonical_or_empty(fs::path(roots.sysfs) / "devices");
    fs::path d = canonical_or_empty(fs::path(roots.sysfs) / "class/tty" / name / "device");
    if (top.empty()) return chain;
    while (!d.empty() && d != top && d != d.parent_path() &&
           d.string().compare(0, top.string().size(), top.string()) == 0) {
        chain.push_back(d);
        d = d.parent_path();
    }
    return chain;
}

// The /dev/serial/<kind> names, keyed by the node they resolve to.
std::map<std::string, std::vector<std::string>> stable_names(const Roots& roots, const char* kind) {
    std::map<std::string, std::vector<std::string>> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(fs::path(roots.dev) / "serial" / kind, ec)) {
        const fs::path target = canonical_or_empty(e.path());
        if (!target.empty())
            names[target.string()].push_back(roots.dev + "/serial/" + kind + "/" + e.path().filename().string());
    }
    for (auto& [_, v] : names) std::sort(v.begin(), v.end());
    return names;
}

// Why a tty name under /dev is no serial port the router can use; empty when it is one.
std::string unusable_reason(const Roots& roots, const std::string& name,
                            const std::vector<SerialPort>& ports) {
    auto it = std::find_if(ports.begin(), ports.end(), [&](const SerialPort& p) { return p.name == name; });
    if (it != ports.end()) return it->console ? _("the system console: the router never opens it") : "";
    const fs::path cls = fs::path(roots.sysfs) / "class/tty" / name;
    if (!lexists(cls)) return _("not a serial tty");
    if (!lexists(cls / "device")) return _("a virtual terminal, not a serial port");
    return _("no UART behind it");
}

fs::path device_path(const Roots& roots, const std::string& device) {
    if (device.find('/') == std::string::npos) return fs::path(roots.dev) / device;
    if (device.rfind("/dev/", 0) == 0) return fs::path(roots.dev) / device.substr(5);
    return device;
}

bool same_adapter_kind(const SerialPort& a, const SerialPort& b) {
    return a.usb && b.usb && a.vid == b.vid && a.pid == b.pid && a.serial == b.serial &&
           a.interface == b.interface;
}

}  // namespace

Roots roots_from_environment() {
    Roots r;
    if (const char* s = std::getenv("STRAVON_SYSFS_ROOT"); s && *s) r.sysfs = s;
    if (const char* d = std::getenv("STRAVON_DEV_ROOT"); d && *d) r.dev = d;
    r.dosdevices = platform::dosdevices_dir();
    return r;
}

std::vector<SerialPort> list_serial_ports(const Roots& roots) {
    std::vector<SerialPort> ports;
    const auto by_id = stable_names(roots, "by-id");
    const auto by_path = stable_names(roots, "by-path");
    const fs::path dev = dev_real(roots);
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(fs::path(roots.sysfs) / "class/tty", ec)) {
        const std::string name = e.path().filename().string();
        // Virtual ttys have no device; a serial core port of type 0 has no UART.
        if (!lexists(e.path() / "device")) continue;
        if (platform::uart_absent(name, roots.sysfs)) continue;

        SerialPort p;
        p.name = name;
        p.node = roots.dev + "/" + name;
        const std::string key = (dev / name).string();
        if (auto it = by_id.find(key); it != by_id.end()) p.by_id = it->second;
        if (auto it = by_path.find(key); it != by_path.end()) p.by_path = it->second;
        p.console = platform::is_system_console(name, roots.sysfs);
        if (const int ms = platform::latency_timer_ms(name, roots.sysfs); ms >= 0) p.latency_ms = std::to_string(ms);

        for (const fs::path& d : device_chain(roots, name)) {
            // Newer kernels put serial-base port and controller devices in
            // between; the driver worth naming sits above them.
            std::error_code lec;
            const fs::path drv = fs::read_symlink(d / "driver", lec);
            if (!lec && p.driver.empty() && drv.parent_path().parent_path().filename() != "serial-base")
                p.driver = drv.filename().string();
            if (p.interface.empty() && lexists(d / "bInterfaceNumber"))
                p.interface = read_attr(d / "bInterfaceNumber");
            if (lexists(d / "idVendor")) {
                p.usb = true;
                p.vid = read_attr(d / "idVendor");
                p.pid = read_attr(d / "idProduct");
                p.product = read_attr(d / "product");
                p.serial = read_attr(d / "serial");
                break;
            }
        }
        ports.push_back(std::move(p));
    }
    for (SerialPort& p : ports) {
        const auto same_kind = [&](const SerialPort& o) { return &o != &p && same_adapter_kind(o, p); };
        p.by_id_ambiguous = p.usb && (p.serial.empty() || std::any_of(ports.begin(), ports.end(), same_kind));
    }
    std::sort(ports.begin(), ports.end(),
              [](const SerialPort& a, const SerialPort& b) { return natural_less(a.name, b.name); });
    return ports;
}

ComLink com_link(const Roots& roots, int number, const std::vector<SerialPort>& ports) {
    ComLink c;
    c.number = number;
    if (!roots.dosdevices.empty()) c.link = roots.dosdevices + "/com" + std::to_string(number);
    fs::path resolved;
    if (!c.link.empty() && lexists(c.link)) {
        c.linked = true;
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(c.link, ec))) {
            c.target = c.link;
            c.absent = _("a plain file, not a link");
            return c;
        }
        c.target = fs::read_symlink(c.link, ec).string();
        resolved = canonical_or_empty(c.link);
    } else {
        c.target = roots.dev + "/ttyS" + std::to_string(number - 1);
        resolved = canonical_or_empty(c.target);
    }
    if (resolved.empty()) {
        c.absent = _("absent");
        return c;
    }
    // Only a node directly in /dev can be one of the listed ports; a pty or
    // anything else is taken as it is.
    if (resolved.parent_path() == dev_real(roots)) {
        c.device = resolved.filename().string();
        c.absent = unusable_reason(roots, c.device, ports);
    }
    return c;
}

std::optional<int> parse_com_number(const std::string& text) {
    std::string digits = text;
    if (digits.size() > 3 && (digits[0] | 0x20) == 'c' && (digits[1] | 0x20) == 'o' && (digits[2] | 0x20) == 'm')
        digits = digits.substr(3);
    if (digits.size() != 1 || digits[0] < '1' || digits[0] > '0' + Com_count) return std::nullopt;
    return digits[0] - '0';
}

bool map_com(const Roots& roots, int number, const std::string& device, std::string& message,
             std::string& error) {
    if (roots.dosdevices.empty()) {
        error = _("cannot tell where the COM links live: no home directory");
        return false;
    }
    const fs::path real = canonical_or_empty(device_path(roots, device));
    if (real.empty()) {
        error = format(_("%s: no such device"), device.c_str());
        return false;
    }
    const std::string name = real.filename().string();
    const auto ports = list_serial_ports(roots);
    const std::string why = real.parent_path() == dev_real(roots) ? unusable_reason(roots, name, ports)
                                                                 : _("not a serial tty");
    if (!why.empty()) {
        error = device + ": " + why;
        return false;
    }
    const SerialPort& port = *std::find_if(ports.begin(), ports.end(),
                                           [&](const SerialPort& p) { return p.name == name; });

    // An ambiguous by-id name follows whichever adapter of that kind came
    // last: take the USB socket then.
    std::string target, note;
    if (!port.by_id.empty() && !port.by_id_ambiguous) {
        target = port.by_id.front();
    } else if (!port.by_path.empty()) {
        target = port.by_path.front();
        if (port.by_id_ambiguous)
            note = _("note: its by-id name does not tell it from other adapters of its kind, so the "
                     "link follows the USB socket: keep the adapter in this socket");
    } else if (!port.by_id.empty()) {
        target = port.by_id.front();
        note = _("note: its by-id name does not tell it from other adapters of its kind: keep only "
                 "one of them plugged in");
    } else {
        target = port.node;
        if (port.usb)
            note = _("note: it has no name under /dev/serial (is udev running?), so after a replug "
                     "the link may lead to another adapter");
    }

    const fs::path dir = roots.dosdevices;
    const fs::path link = dir / ("com" + std::to_string(number));
    std::error_code ec;
    if (lexists(link) && !fs::is_symlink(fs::symlink_status(link, ec))) {
        error = format(_("%s exists and is not a link; left alone"), link.c_str());
        return false;
    }
    fs::create_directories(dir, ec);
    if (ec) {
        error = format(_("cannot create %s: %s"), dir.c_str(), ec.message().c_str());
        return false;
    }
    // A new link renamed over the old one: the router never sees COMn missing.
    const fs::path tmp = dir / (".com" + std::to_string(number) + ".new." + std::to_string(::getpid()));
    fs::remove(tmp, ec);
    fs::create_symlink(target, tmp, ec);
    if (!ec) fs::rename(tmp, link, ec);
    if (ec) {
        error = format(_("cannot link %s: %s"), link.c_str(), ec.message().c_str());
        std::error_code ignored;
        fs::remove(tmp, ignored);
        return false;
    }
    message = "COM" + std::to_string(number) + " -> " + target + " (" + name + ")";
    if (!note.empty()) message += "\n" + note;
    return true;
}

bool unmap_com(const Roots& roots, int number, std::string& message, std::string& error) {
    const std::string com = "COM" + std::to_string(number);
    const std::string fallback = roots.dev + "/ttyS" + std::to_string(number - 1);
    if (roots.dosdevices.empty()) {
        error = _("cannot tell where the COM links live: no home directory");
        return false;
    }
    const fs::path link = fs::path(roots.dosdevices) / ("com" + std::to_string(number));
    std::error_code ec;
    if (!lexists(link)) {
        message = format(_("%s was not linked; nothing changed"), com.c_str());
        return true;
    }
    if (!fs::is_symlink(fs::symlink_status(link, ec))) {
        error = format(_("%s is not a link; left alone"), link.c_str());
        return false;
    }
    const std::string old = fs::read_symlink(link, ec).string();
    if (!fs::remove(link, ec) || ec) {
        error = format(_("cannot remove %s: %s"), link.c_str(), ec.message().c_str());
        return false;
    }
    message = format(_("%s unlinked (was %s); the router now takes %s"), com.c_str(), old.c_str(), fallback.c_str());
    return true;
}

}  // namespace tools
