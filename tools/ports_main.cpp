// stravon-ports: which serial devices the machine has, and which COM port
// of the router leads to which of them.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/i18n.h"
#include "tools/serial_ports.h"

using tools::format;

namespace {

const char* usage() {
    return _("Usage:\n"
             "  stravon-ports                 list the serial devices and COM1 to COM8\n"
             "  stravon-ports map N DEVICE    link COMn to DEVICE\n"
             "  stravon-ports unmap N         remove the COMn link\n"
             "  stravon-ports --help          show this text\n"
             "\n"
             "N is 1 to 8 (or COM1 to COM8). DEVICE is /dev/ttyUSB0, ttyUSB0 or a\n"
             "/dev/serial/by-id or /dev/serial/by-path name. COMn is linked under the\n"
             "device's by-id name, or its by-path name when the by-id name does not tell\n"
             "adapters apart (CH340/CH341 adapters have no serial number).\n"
             "\n"
             "The links live in ${XDG_CONFIG_HOME:-$HOME/.config}/stravon/dosdevices; COMn\n"
             "without a link is /dev/ttyS<n-1>. No port is opened: an open raises RTS and\n"
             "DTR on the line. Restart the router after changing a link.\n");
}

int fail(const std::string& text) {
    std::fprintf(stderr, "stravon-ports: %s\n", text.c_str());
    return 1;
}

// Labels in one column, however many bytes their letters take.
class Fields {
public:
    Fields(std::initializer_list<const char*> labels) {
        for (const char* l : labels) width_ = std::max(width_, tools::display_width(l) + 2);
    }
    void print(const char* label, const std::string& value) const {
        const std::string pad(width_ - std::min(width_, tools::display_width(label)), ' ');
        std::printf("  %s%s%s\n", label, pad.c_str(), value.c_str());
    }

private:
    size_t width_ = 0;
};

int list(const tools::Roots& roots) {
    const auto ports = tools::list_serial_ports(roots);
    std::vector<tools::ComLink> links;
    for (int n = 1; n <= tools::Com_count; ++n) links.push_back(tools::com_link(roots, n, ports));

    // The names of the /dev/serial folders and the bus stay as they are.
    const char* const by_id = "by-id";
    const char* const by_path = "by-path";
    const char* const usb = "usb";
    const char* const driver = C_("device", "driver");
    const char* const product = C_("device", "product");
    const char* const serial = C_("device", "serial");
    const char* const latency = C_("device", "latency");
    const char* const console = C_("device", "console");
    const char* const com = "COM";
    const Fields fields{by_id, by_path, usb, driver, product, serial, latency, console, com};

    std::printf("%s\n", _("Serial devices:"));
    if (ports.empty()) std::printf("  %s\n", _("none found"));
    for (const auto& p : ports) {
        std::printf("%s\n", p.node.c_str());
        for (const auto& n : p.by_id)
            fields.print(by_id, p.by_id_ambiguous ? n + " " + _("(fits other adapters of its kind too)") : n);
        for (const auto& n : p.by_path) fields.print(by_path, n);
        fields.print(driver, p.driver.empty() ? C_("driver", "unknown") : p.driver);
        if (p.usb) {
            fields.print(usb, p.vid + ":" + p.pid);
            if (!p.product.empty()) fields.print(product, p.product);
            fields.print(serial, p.serial.empty() ? C_("serial number", "none") : p.serial);
        }
        if (!p.latency_ms.empty()) fields.print(latency, p.latency_ms + " ms");
        if (p.console) fields.print(console, _("yes: the router never opens it"));
        std::string coms;
        for (const auto& c : links) {
            if (c.device != p.name) continue;
            if (!coms.empty()) coms += ", ";
            coms += "COM" + std::to_string(c.number);
            if (!c.linked) coms += std::string(" ") + _("(no link, default)");
        }
        fields.print(com, coms.empty() ? C_("COM port", "none") : coms);
    }

    std::printf("\n");
    std::printf(_("COM ports (links in %s):\n"),
                roots.dosdevices.empty() ? _("an unknown directory: no home directory") : roots.dosdevices.c_str());
    for (const auto& c : links) {
        std::string line = "  COM" + std::to_string(c.number) + "  ";
        line += !c.linked              ? format(_("no link: %s"), c.target.c_str())
                : c.target == c.link ? c.target
                                     : "-> " + c.target;
        if (!c.device.empty() && c.target != roots.dev + "/" + c.device) line += " (" + c.device + ")";
        if (!c.absent.empty()) line += "  [" + c.absent + "]";
        std::printf("%s\n", line.c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    tools::init_messages();
    std::vector<std::string> args(argv + 1, argv + argc);
    const tools::Roots roots = tools::roots_from_environment();
    if (args.empty()) return list(roots);
    if (args[0] == "--help" || args[0] == "-h") {
        std::fputs(usage(), stdout);
        return 0;
    }
    const bool map = args[0] == "map", unmap = args[0] == "unmap";
    if (!(map && args.size() == 3) && !(unmap && args.size() == 2))
        return fail(map || unmap ? _("wrong number of arguments (see --help)")
                                 : format(_("unknown command '%s' (see --help)"), args[0].c_str()));
    const auto n = tools::parse_com_number(args[1]);
    if (!n) return fail(format(_("'%s' is no COM port: N is 1 to 8"), args[1].c_str()));
    std::string message, error;
    const bool ok = map ? tools::map_com(roots, *n, args[2], message, error)
                        : tools::unmap_com(roots, *n, message, error);
    if (!ok) return fail(error);
    std::printf("%s\n", message.c_str());
    return 0;
}
