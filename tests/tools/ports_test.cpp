// stravon-ports against a sysfs and /dev tree built the way the kernel and
// udev lay them out; the real /sys and /dev are never read.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tests/integration/harness.h"
#include "tests/tools/run_tool.h"
#include "tools/recode.h"

namespace fs = std::filesystem;
using testing_tools::run_tool;
using testing_tools::ToolResult;

namespace {

const char* const Ftdi_by_id = "usb-FTDI_FT232R_USB_UART_A10KZP4Q-if00-port0";
const char* const Ftdi_by_path = "pci-0000:00:14.0-usb-0:1:1.0-port0";
const char* const Ch340_by_id = "usb-1a86_USB_Serial-if00-port0";

class FakeMachine : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("stravon-ports-" + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        for (const char* d : {"sys/class/tty", "sys/bus/usb-serial/drivers/ftdi_sio",
                              "sys/bus/usb-serial/drivers/ch341-uart", "sys/bus/pnp/drivers/serial",
                              "sys/bus/serial-base/drivers/port", "sys/bus/serial-base/drivers/ctrl",
                              "dev/serial/by-id", "dev/serial/by-path", "cfg/stravon/dosdevices"})
            fs::create_directories(root_ / d);

        const fs::path usb = "pci0000:00/0000:00:14.0/usb1";
        usb_serial("ttyUSB0", usb / "1-1", "ftdi_sio", "0403", "6001", "FT232R USB UART", "A10KZP4Q");
        usb_serial("ttyUSB1", usb / "1-2", "ch341-uart", "1a86", "7523", "USB Serial", "");
        usb_serial("ttyUSB2", usb / "1-3", "ch341-uart", "1a86", "7523", "USB Serial", "");
        stable("by-id", Ftdi_by_id, "ttyUSB0");
        stable("by-path", Ftdi_by_path, "ttyUSB0");
        // Both CH340s make the same by-id name; the one that came last holds it.
        stable("by-id", Ch340_by_id, "ttyUSB2");
        stable("by-path", "pci-0000:00:14.0-usb-0:2:1.0-port0", "ttyUSB1");
        stable("by-path", "pci-0000:00:14.0-usb-0:3:1.0-port0", "ttyUSB2");
        uart("ttyS0", "00:01", "4");
        uart("ttyS1", "00:02", "0");  // no UART at that address
        uart("ttyS2", "00:03", "4");
        virtual_tty("tty1");
        virtual_tty("console");
        write(root_ / "sys/devices/virtual/tty/console/active", "tty1 ttyS2\n");
        write(root_ / "dev/null", "");

        // What the technician wired before: COM1 at the FTDI, COM3 at an
        // adapter that is unplugged now, and a stray plain file as COM6.
        fs::create_symlink(dev() + "/serial/by-id/" + Ftdi_by_id, dosdevices() / "com1");
        fs::create_symlink(dev() + "/ttyUSB9", dosdevices() / "com3");
        write(dosdevices() / "com6", "");
    }
    void TearDown() override { fs::remove_all(root_); }

    fs::path root_;
    fs::path sys() const { return root_ / "sys"; }
    std::string dev() const { return (root_ / "dev").string(); }
    fs::path dosdevices() const { return root_ / "cfg/stravon/dosdevices"; }

    ToolResult ports(const std::vector<std::string>& args, const std::vector<std::string>& more_env = {}) {
        std::vector<std::string> env = {"STRAVON_SYSFS_ROOT=" + sys().string(), "STRAVON_DEV_ROOT=" + dev(),
                                        "XDG_CONFIG_HOME=" + (root_ / "cfg").string()};
        env.insert(env.end(), more_env.begin(), more_env.end());
        return run_tool(testing_tools::tool_path("stravon-ports"), args, env, root_, root_);
    }

    // Each entry of the dosdevices directory and what it points at.
    std::map<std::string, std::string> links() const {
        std::map<std::string, std::string> m;
        for (const auto& e : fs::directory_iterator(dosdevices()))
            m[e.path().filename()] = e.is_symlink() ? fs::read_symlink(e.path()).string() : "(file)";
        return m;
    }

    static void write(const fs::path& p, const std::string& text) {
        fs::create_directories(p.parent_path());
        std::ofstream(p) << text;
    }
private:
    // A relative link, as sysfs and udev make them.
    static void link(const fs::path& target, const fs::path& at) {
        fs::create_directories(at.parent_path());
        fs::create_symlink(fs::relative(target, at.parent_path()), at);
    }
    void class_entry(const std::string& name, const fs::path& dir) {
        link(dir, root_ / "sys/class/tty" / name);
        write(root_ / "dev" / name, "");
    }
    void usb_serial(const std::string& name, const fs::path& usb_dir, const std::string& driver,
                    const std::string& vid, const std::string& pid, const std::string& product,
                    const std::string& serial) {
        const fs::path usb = root_ / "sys/devices" / usb_dir;
        write(usb / "idVendor", vid + "\n");
        write(usb / "idProduct", pid + "\n");
        write(usb / "product", product + "\n");
        if (!serial.empty()) write(usb / "serial", serial + "\n");
        const fs::path intf = usb / (usb_dir.filename().string() + ":1.0");
        write(intf / "bInterfaceNumber", "00\n");
        const fs::path port = intf / name;
        link(root_ / "sys/bus/usb-serial/drivers" / driver, port / "driver");
        if (driver == "ftdi_sio") write(port / "latency_timer", "16\n");
        const fs::path cls = port / "tty" / name;
        link(port, cls / "device");
        class_entry(name, cls);
    }
    // A UART as newer kernels show it: serial-base controller and port
    // devices between the tty and the pnp device that has the driver.
    void uart(const std::string& name, const std::string& pnp_name, const std::string& type) {
        const fs::path pnp = root_ / "sys/devices/pnp0" / pnp_name;
        link(root_ / "sys/bus/pnp/drivers/serial", pnp / "driver");
        const fs::path ctrl = pnp / (pnp_name + ":0");
        link(root_ / "sys/bus/serial-base/drivers/ctrl", ctrl / "driver");
        const fs::path port = ctrl / (pnp_name + ":0.0");
        link(root_ / "sys/bus/serial-base/drivers/port", port / "driver");
        const fs::path cls = port / "tty" / name;
        link(port, cls / "device");
        write(cls / "type", type + "\n");
        class_entry(name, cls);
    }
    void virtual_tty(const std::string& name) {
        const fs::path cls = root_ / "sys/devices/virtual/tty" / name;
        fs::create_directories(cls);
        class_entry(name, cls);
    }
    void stable(const std::string& kind, const std::string& name, const std::string& tty) {
        fs::create_symlink("../../" + tty, root_ / "dev/serial" / kind / name);
    }
};

// The lines of one device's paragraph in the listing.
std::string paragraph(const std::string& out, const std::string& header) {
    const size_t at = out.find(header + "\n");
    if (at == std::string::npos) return {};
    size_t end = at + header.size() + 1;
    while (end < out.size() && out[end] == ' ') end = out.find('\n', end) + 1;
    return out.substr(at, end - at);
}

}  // namespace

TEST_F(FakeMachine, ListsSerialDevicesWithTheirNamesAndComPorts) {
    const ToolResult r = ports({});
    ASSERT_EQ(r.status, 0) << r.err;

    const std::string ftdi = paragraph(r.out, dev() + "/ttyUSB0");
    EXPECT_NE(ftdi.find("by-id    " + dev() + "/serial/by-id/" + Ftdi_by_id + "\n"), std::string::npos) << ftdi;
    EXPECT_NE(ftdi.find("by-path  " + dev() + "/serial/by-path/" + Ftdi_by_path + "\n"), std::string::npos);
    EXPECT_NE(ftdi.find("driver   ftdi_sio\n"), std::string::npos);
    EXPECT_NE(ftdi.find("usb      0403:6001\n"), std::string::npos);
    EXPECT_NE(ftdi.find("product  FT232R USB UART\n"), std::string::npos);
    EXPECT_NE(ftdi.find("serial   A10KZP4Q\n"), std::string::npos);
    EXPECT_NE(ftdi.find("latency  16 ms\n"), std::string::npos);
    EXPECT_NE(ftdi.find("COM      COM1\n"), std::string::npos);

    const std::string ch340 = paragraph(r.out, dev() + "/ttyUSB1");
    EXPECT_NE(ch340.find("serial   none\n"), std::string::npos) << ch340;
    EXPECT_EQ(ch340.find("by-id"), std::string::npos) << "the other CH340 holds the by-id name";
    EXPECT_NE(paragraph(r.out, dev() + "/ttyUSB2").find(std::string(Ch340_by_id) + " (fits other adapters"),
              std::string::npos);

    // The driver above the serial-base devices, and the console marked.
    EXPECT_NE(paragraph(r.out, dev() + "/ttyS0").find("driver   serial\n"), std::string::npos) << r.out;
    EXPECT_NE(paragraph(r.out, dev() + "/ttyS2").find("console  yes"), std::string::npos);
    // No UART behind ttyS1, and virtual ttys are no serial devices.
    EXPECT_EQ(paragraph(r.out, dev() + "/ttyS1"), "");
    EXPECT_EQ(paragraph(r.out, dev() + "/tty1"), "");
    EXPECT_EQ(paragraph(r.out, dev() + "/console"), "");

    EXPECT_NE(r.out.find("COM1  -> " + dev() + "/serial/by-id/" + Ftdi_by_id + " (ttyUSB0)\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("COM2  no link: " + dev() + "/ttyS1  [no UART behind it]\n"), std::string::npos);
    EXPECT_NE(r.out.find("COM3  -> " + dev() + "/ttyUSB9  [absent]\n"), std::string::npos);
    EXPECT_NE(r.out.find("COM4  no link: " + dev() + "/ttyS3  [absent]\n"), std::string::npos);
    EXPECT_NE(r.out.find("COM6  " + (dosdevices() / "com6").string() + "  [a plain file, not a link]\n"),
              std::string::npos);
}

TEST_F(FakeMachine, MapLinksByIdOrByPathWhenByIdCannotTellAdaptersApart) {
    // Any name of the FTDI gives its by-id name; the old COM1 link is replaced.
    for (const std::string& device :
         std::vector<std::string>{"ttyUSB0", "/dev/ttyUSB0", std::string("/dev/serial/by-path/") + Ftdi_by_path}) {
        fs::remove(dosdevices() / "com1");
        fs::create_symlink(dev() + "/ttyS0", dosdevices() / "com1");
        const ToolResult r = ports({"map", "1", device});
        ASSERT_EQ(r.status, 0) << device << ": " << r.err;
        EXPECT_EQ(fs::read_symlink(dosdevices() / "com1"), dev() + "/serial/by-id/" + Ftdi_by_id) << device;
    }

    // Both CH340s, the one holding the shared by-id name too, go by USB socket.
    EXPECT_EQ(ports({"map", "COM2", "ttyUSB2"}).status, 0);
    EXPECT_EQ(fs::read_symlink(dosdevices() / "com2"), dev() + "/serial/by-path/pci-0000:00:14.0-usb-0:3:1.0-port0");
    EXPECT_EQ(ports({"map", "4", std::string("/dev/serial/by-id/") + Ch340_by_id}).status, 0);
    EXPECT_EQ(fs::read_symlink(dosdevices() / "com4"), dev() + "/serial/by-path/pci-0000:00:14.0-usb-0:3:1.0-port0");
    EXPECT_EQ(ports({"map", "5", "ttyUSB1"}).status, 0);
    EXPECT_EQ(fs::read_symlink(dosdevices() / "com5"), dev() + "/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0");

    // A UART without udev names keeps its kernel name.
    EXPECT_EQ(ports({"map", "8", "ttyS0"}).status, 0);
    EXPECT_EQ(fs::read_symlink(dosdevices() / "com8"), dev() + "/ttyS0");

    // No temporary link is left behind.
    EXPECT_EQ(links().size(), 7u);

    // Cloned chips that share one serial number share the by-id name too.
    const fs::path usb = sys() / "devices/pci0000:00/0000:00:14.0/usb1";
    write(usb / "1-2/serial", "A50285BI\n");
    write(usb / "1-3/serial", "A50285BI\n");
    EXPECT_EQ(ports({"map", "7", "ttyUSB2"}).status, 0);
    EXPECT_EQ(fs::read_symlink(dosdevices() / "com7"), dev() + "/serial/by-path/pci-0000:00:14.0-usb-0:3:1.0-port0");
    // A lone adapter without a serial number: its by-id name would fit the next one plugged in.
    fs::remove(usb / "1-2/serial");
    fs::remove(usb / "1-3/serial");
    fs::remove(sys() / "class/tty/ttyUSB1");
    EXPECT_EQ(ports({"map", "7", "ttyUSB2"}).status, 0);
    EXPECT_EQ(fs::read_symlink(dosdevices() / "com7"), dev() + "/serial/by-path/pci-0000:00:14.0-usb-0:3:1.0-port0");

    // A relative XDG_CONFIG_HOME counts for nothing, as for the registry file;
    // taken as it is, it would lead into the router's working directory.
    EXPECT_EQ(ports({"map", "2", "ttyUSB0"}, {"XDG_CONFIG_HOME=cfg", "HOME=" + (root_ / "home").string()}).status, 0);
    EXPECT_TRUE(fs::is_symlink(root_ / "home/.config/stravon/dosdevices/com2"));

    const ToolResult unmap = ports({"unmap", "5"});
    EXPECT_EQ(unmap.status, 0) << unmap.err;
    EXPECT_FALSE(fs::exists(fs::symlink_status(dosdevices() / "com5")));
    EXPECT_EQ(ports({"unmap", "5"}).status, 0) << "unmapping twice is no error";
}

TEST_F(FakeMachine, RefusalsSayWhyOnOneLineAndChangeNothing) {
    // A file elsewhere that bears a serial port's name is not that port.
    write(root_ / "ttyUSB0", "");
    const auto before = links();
    const std::vector<std::vector<std::string>> refused = {
        {"map", "1", (root_ / "ttyUSB0").string()},
        {"map", "0", "ttyUSB0"},        {"map", "9", "ttyUSB0"},
        {"map", "x", "ttyUSB0"},        {"map", "1", "ttyUSB7"},
        {"map", "1", "/dev/serial/by-id/usb-gone-if00-port0"},
        {"map", "1", "tty1"},           {"map", "1", "ttyS1"},
        {"map", "1", "ttyS2"},          {"map", "1", "/dev/null"},
        {"map", "6", "ttyUSB0"},        {"map", "1"},
        {"unmap", "9"},                 {"unmap", "6"},
        {"list"},
    };
    for (const auto& args : refused) {
        std::string shown;
        for (const auto& a : args) shown += a + " ";
        const ToolResult r = ports(args);
        EXPECT_NE(r.status, 0) << shown;
        EXPECT_EQ(r.out, "") << shown;
        EXPECT_EQ(r.err.rfind("stravon-ports: ", 0), 0u) << shown << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << shown << r.err;
        EXPECT_EQ(links(), before) << shown;
    }
    EXPECT_NE(ports({"map", "1", "ttyS1"}).err.find("no UART"), std::string::npos);
    EXPECT_NE(ports({"map", "1", "ttyS2"}).err.find("console"), std::string::npos);
}

// The column (in characters, not bytes) where `value` starts on its line.
size_t column_of(const std::string& text, const std::string& value) {
    const size_t at = text.find(value);
    if (at == std::string::npos) return std::string::npos;
    const size_t line = text.rfind('\n', at) + 1;  // npos + 1 is the first line
    return size_t(std::count_if(text.begin() + long(line), text.begin() + long(at),
                                [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

TEST_F(FakeMachine, CzechUnderACzechLocale) {
    const ToolResult help = ports({"--help"}, testing_tools::czech());
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Použití:\n", 0), 0u) << help.out;
    EXPECT_NE(help.out.find("stravon-ports log [-f] [ADRESÁŘ]"), std::string::npos) << help.out;

    const ToolResult refused = ports({"map", "9", "ttyUSB0"}, testing_tools::czech());
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "stravon-ports: „9“ není port COM: N je 1 až 8\n");

    // The labels are longer in Czech and take more bytes than letters; the
    // values still start in one column.
    const ToolResult r = ports({}, testing_tools::czech());
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string ftdi = paragraph(r.out, dev() + "/ttyUSB0");
    std::vector<size_t> columns;
    for (const std::string& value : {dev() + "/serial/by-id/" + Ftdi_by_id, std::string("ftdi_sio"), std::string("0403:6001"),
                                     std::string("FT232R USB UART"), std::string("A10KZP4Q"), std::string("16 ms")})
        columns.push_back(column_of(ftdi, value + "\n"));
    EXPECT_EQ(std::count(columns.begin(), columns.end(), columns.front()), long(columns.size()))
        << testing::PrintToString(columns) << ftdi;
    EXPECT_NE(ftdi.find("  ovladač"), std::string::npos) << ftdi;
    EXPECT_NE(r.out.find("COM3  -> " + dev() + "/ttyUSB9  [chybí]\n"), std::string::npos) << r.out;
}

// errorlog.txt as the router writes it (and as a Windows PC did, with CR LF),
// with letters that some terminals cannot show and bytes that would drive one.
const std::string Sample_log =
    "07/03/2002 14:05:09 - Start programu\r\n"
    "07/03/2002 14:05:10 - COM1 otev\xF8" "en\n"
    "07/03/2002 14:05:11 - \x9A\xED\x9Ek \x80 \x1B[31m \x81\n";

TEST_F(FakeMachine, LogInTheTerminalsEncoding) {
    write(root_ / "work/errorlog.txt", Sample_log);
    const std::string first = "07/03/2002 14:05:09 - Start programu\n";
    const std::map<std::string, std::vector<std::string>> locales = {
        {"UTF-8", testing_tools::czech("UTF-8")},
        {"ISO-8859-2", testing_tools::czech("ISO-8859-2")},
        {"ASCII", {}},  // the C locale
    };
    const std::map<std::string, std::string> expected = {
        {"UTF-8", first + "07/03/2002 14:05:10 - COM1 otevřen\n07/03/2002 14:05:11 - šížk € ?[31m ?\n"},
        {"ISO-8859-2", first + "07/03/2002 14:05:10 - COM1 otev\xF8" "en\n07/03/2002 14:05:11 - \xB9\xED\xBEk ? ?[31m ?\n"},
        {"ASCII", first + "07/03/2002 14:05:10 - COM1 otev?en\n07/03/2002 14:05:11 - ???k ? ?[31m ?\n"},
    };
    for (const auto& [name, env] : locales) {
        std::vector<std::string> e = env;
        if (name == "ASCII") e = {"LC_ALL=C"};
        const ToolResult r = ports({"log", (root_ / "work").string()}, e);
        EXPECT_EQ(r.status, 0) << name << ": " << r.err;
        EXPECT_EQ(r.out, expected.at(name)) << name;
        EXPECT_EQ(r.err, "") << name;
    }
    // The file stays as it was, and the current directory is the default.
    EXPECT_EQ(testing_tools::slurp(root_ / "work/errorlog.txt"), Sample_log);
    EXPECT_EQ(run_tool(testing_tools::tool_path("stravon-ports"), {"log"}, {}, root_, root_ / "work").out,
              expected.at("UTF-8"));

    // A CR LF cut between two reads is still one line end.
    tools::LogText text("UTF-8");
    std::string shown = text.feed("a\r");
    shown += text.feed("\nb\r");
    shown += text.feed("c");
    EXPECT_EQ(shown, "a\nb?c");

    // No log there: one line that says where it was looked for and what to give.
    for (const auto& [env, words] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{}, "no such file"}, {testing_tools::czech(), "soubor neexistuje"}}) {
        const ToolResult missing = ports({"log", "cfg"}, env);
        EXPECT_EQ(missing.status, 1);
        EXPECT_EQ(missing.out, "");
        EXPECT_EQ(missing.err.rfind("stravon-ports: " + (root_ / "cfg/errorlog.txt").string() + ": " + words, 0), 0u)
            << missing.err;
        EXPECT_NE(missing.err.find("stravon-ports log "), std::string::npos) << missing.err;
        EXPECT_EQ(std::count(missing.err.begin(), missing.err.end(), '\n'), 1) << missing.err;
    }
}

TEST_F(FakeMachine, LogFollowsTheFileAsTheRouterWritesIt) {
    const fs::path log = root_ / "work/errorlog.txt";
    write(log, "07/03/2002 14:05:09 - Start programu\n");
    std::vector<std::string> env = testing_tools::tool_defaults();
    for (const std::string& e : testing_tools::czech()) env.push_back(e);
    itest::Child follow({testing_tools::tool_path("stravon-ports"), "log", "-f", (root_ / "work").string()}, env,
                        root_.string());
    EXPECT_EQ(follow.read_line(10000), "07/03/2002 14:05:09 - Start programu");

    std::ofstream(log, std::ios::app) << "07/03/2002 14:05:10 - COM1 otev\xF8" "en\n" << std::flush;
    EXPECT_EQ(follow.read_line(10000), "07/03/2002 14:05:10 - COM1 otevřen");

    // Deleted and written anew, as when a technician clears it: read from its start.
    fs::remove(log);
    write(root_ / "work/errorlog.new", "07/03/2002 15:00:00 - Start programu\n");
    fs::rename(root_ / "work/errorlog.new", log);
    EXPECT_EQ(follow.read_line(10000), "07/03/2002 15:00:00 - Start programu");
    EXPECT_TRUE(follow.running());
}
