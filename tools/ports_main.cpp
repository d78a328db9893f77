// stravon-ports: which serial devices the machine has, and which COM port
// of the router leads to which of them.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/serial_ports.h"

namespace {

const char* const Usage = R"(Usage:
  stravon-ports                 list the serial devices and COM1 to COM8
  stravon-ports map N DEVICE    link COMn to DEVICE
  stravon-ports unmap N         remove the COMn link
  stravon-ports --help          show this text

N is 1 to 8 (or COM1 to COM8). DEVICE is /dev/ttyUSB0, ttyUSB0 or a
/dev/serial/by-id or /dev/serial/by-path name. COMn is linked under the
device's by-id name, or its by-path name when the by-id name does not tell
adapters apart (CH340/CH341 adapters have no serial number).

The links live in ${XDG_CONFIG_HOME:-$HOME/.config}/stravon/dosdevices; COMn
without a link is /dev/ttyS<n-1>. No port is opened: an open raises RTS and
DTR on the line. Restart the router after changing a link.
)";

int fail(const std::string& text) {
    std::fprintf(stderr, "stravon-ports: %s\n", text.c_str());
    return 1;
}

void print_field(const char* label, const std::string& value) {
    std::printf("  %-9s%s\n", label, value.c_str());
}

int list(const tools::Roots& roots) {
    const auto ports = tools::list_serial_ports(roots);
    std::vector<tools::ComLink> links;
    for (int n = 1; n <= tools::Com_count; ++n) links.push_back(tools::com_link(roots, n, ports));

    std::printf("Serial devices:\n");
    if (ports.empty()) std::printf("  none found\n");
    for (const auto& p : ports) {
        std::printf("%s\n", p.node.c_str());
        for (const auto& n : p.by_id)
            print_field("by-id", p.by_id_ambiguous ? n + " (fits other adapters of its kind too)" : n);
        for (const auto& n : p.by_path) print_field("by-path", n);
        print_field("driver", p.driver.empty() ? "unknown" : p.driver);
        if (p.usb) {
            print_field("usb", p.vid + ":" + p.pid);
            if (!p.product.empty()) print_field("product", p.product);
            print_field("serial", p.serial.empty() ? "none" : p.serial);
        }
        if (!p.latency_ms.empty()) print_field("latency", p.latency_ms + " ms");
        if (p.console) print_field("console", "yes: the router never opens it");
        std::string coms;
        for (const auto& c : links) {
            if (c.device != p.name) continue;
            if (!coms.empty()) coms += ", ";
            coms += "COM" + std::to_string(c.number) + (c.linked ? "" : " (no link, default)");
        }
        print_field("COM", coms.empty() ? "none" : coms);
    }

    std::printf("\nCOM ports (links in %s):\n",
                roots.dosdevices.empty() ? "an unknown directory: no home directory" : roots.dosdevices.c_str());
    for (const auto& c : links) {
        std::string line = "  COM" + std::to_string(c.number) + "  ";
        line += !c.linked ? "no link: " + c.target : c.target == c.link ? c.target : "-> " + c.target;
        if (!c.device.empty() && c.target != roots.dev + "/" + c.device) line += " (" + c.device + ")";
        if (!c.absent.empty()) line += "  [" + c.absent + "]";
        std::printf("%s\n", line.c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    const tools::Roots roots = tools::roots_from_environment();
    if (args.empty()) return list(roots);
    if (args[0] == "--help" || args[0] == "-h") {
        std::fputs(Usage, stdout);
        return 0;
    }
    const bool map = args[0] == "map", unmap = args[0] == "unmap";
    if (!(map && args.size() == 3) && !(unmap && args.size() == 2))
        return fail(map || unmap ? "wrong number of arguments (see --help)"
                                 : "unknown command '" + args[0] + "' (see --help)");
    const auto n = tools::parse_com_number(args[1]);
    if (!n) return fail("'" + args[1] + "' is no COM port: N is 1 to 8");
    std::string message, error;
    const bool ok = map ? tools::map_com(roots, *n, args[2], message, error)
                        : tools::unmap_com(roots, *n, message, error);
    if (!ok) return fail(error);
    std::printf("%s\n", message.c_str());
    return 0;
}
