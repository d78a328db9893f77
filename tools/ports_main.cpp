// stravon-ports: which serial devices the machine has, which COM port of the
// router leads to which of them, and the router's log as the terminal shows it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tools/i18n.h"
#include "tools/recode.h"
#include "tools/serial_ports.h"

using tools::format;

namespace {

const char* usage() {
    return _("Usage:\n"
             "  stravon-ports                 list the serial devices and COM1 to COM8\n"
             "  stravon-ports map N DEVICE    link COMn to DEVICE\n"
             "  stravon-ports unmap N         remove the COMn link\n"
             "  stravon-ports log [-f] [DIR]  print the router's log from DIR (by default\n"
             "                                the current directory) in the terminal's\n"
             "                                encoding; -f (--follow) goes on printing\n"
             "                                the lines the router adds, until Ctrl+C\n"
             "  stravon-ports --help          show this text\n"
             "\n"
             "N is 1 to 8 (or COM1 to COM8). DEVICE is /dev/ttyUSB0, ttyUSB0 or a\n"
             "/dev/serial/by-id or /dev/serial/by-path name. COMn is linked under the\n"
             "device's by-id name, or its by-path name when the by-id name does not tell\n"
             "adapters apart (CH340/CH341 adapters have no serial number).\n"
             "\n"
             "The links live in ${XDG_CONFIG_HOME:-$HOME/.config}/stravon/dosdevices; COMn\n"
             "without a link is /dev/ttyS<n-1>. No port is opened: an open raises RTS and\n"
             "DTR on the line. Restart the router after changing a link.\n"
             "\n"
             "The router writes its log errorlog.txt in Windows-1250 into its working\n"
             "directory; log shows characters that the terminal cannot show as '?'.\n");
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

// The file open for reading, refused unless it is a plain file: a pipe
// left in a shared directory would hold the command up.
int open_log(const std::string& path, struct stat& st, int& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    error = errno;
    if (fd < 0) return -1;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = EINVAL;
        ::close(fd);
        return -1;
    }
    return fd;
}

// Prints DIR/errorlog.txt; following, goes on as the router appends, and
// starts again from the top when the file is emptied or replaced.
int show_log(const std::string& dir, bool follow) {
    const std::string path = (dir.empty() || dir.back() == '/' ? dir : dir + "/") + "errorlog.txt";
    std::error_code ec;
    const std::string shown_path = std::filesystem::absolute(path, ec).lexically_normal().string();
    struct stat st{};
    int error = 0;
    int fd = open_log(path, st, error);
    if (fd < 0) {
        if (error == ENOENT)
            return fail(format(_("%s: no such file; the router writes it into its working directory: "
                                 "stravon-ports log DIR"),
                               shown_path.c_str()));
        if (error == EINVAL) return fail(format(_("%s: not a plain file"), path.c_str()));
        return fail(format(_("cannot read %s: %s"), path.c_str(), std::strerror(error)));
    }
    tools::LogText text(tools::terminal_codeset());
    off_t offset = 0;
    char buf[65536];
    while (true) {
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0) {
            offset += n;
            const std::string shown = text.feed(std::string_view(buf, size_t(n)));
            if (std::fwrite(shown.data(), 1, shown.size(), stdout) != shown.size()) return 1;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            const int e = errno;
            ::close(fd);
            return fail(format(_("cannot read %s: %s"), path.c_str(), std::strerror(e)));
        }
        if (std::fflush(stdout) != 0) return 1;
        if (!follow) break;

        // Polled rather than watched: the directory may be a network share.
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        struct stat now{};
        if (::stat(path.c_str(), &now) == 0 && (now.st_ino != st.st_ino || now.st_dev != st.st_dev)) {
            struct stat fresh{};
            if (const int again = open_log(path, fresh, error); again >= 0) {
                ::close(fd);
                fd = again;
                st = fresh;
                offset = 0;
            }
        } else if (::fstat(fd, &now) == 0 && now.st_size < offset) {
            ::lseek(fd, 0, SEEK_SET);
            offset = 0;
        }
    }
    ::close(fd);
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
    if (args[0] == "log") {
        bool follow = false;
        std::vector<std::string> dirs;
        for (size_t i = 1; i < args.size(); ++i) {
            if (args[i] == "-f" || args[i] == "--follow") follow = true;
            else if (!args[i].empty() && args[i][0] == '-')
                return fail(format(_("unknown option '%s' (see --help)"), args[i].c_str()));
            else dirs.push_back(args[i]);
        }
        if (dirs.size() > 1) return fail(_("wrong number of arguments (see --help)"));
        return show_log(dirs.empty() ? "." : dirs[0], follow);
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
