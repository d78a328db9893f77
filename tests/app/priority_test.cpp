// The exchange's priority for an ordinary user: through a RealtimeKit
// stand-in on a private bus, raised for the run and put back after it; and
// without one, the reason.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "app/realtimekit.h"
#include "platform/process.h"
#include "tests/integration/harness.h"

namespace {

int nice_of_this_thread() { return ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid())); }

// Runs f in a child as the user nobody, with the bus as its system bus;
// f's result is the child's exit status, its words come back in *said.
int as_nobody(const std::string& bus, int (*f)(std::string&), std::string* said)
{
    int out[2];
    if (::pipe(out) != 0) return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(out[0]);
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.c_str(), 1);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(100);
        static int argc = 1;
        static char arg0[] = "priority_test";
        static char* argv[] = {arg0, nullptr};
        QCoreApplication app(argc, argv);
        std::string words;
        const int code = f(words);
        [[maybe_unused]] const ssize_t n = ::write(out[1], words.data(), words.size());
        _exit(code);
    }
    ::close(out[1]);
    char buf[512];
    for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) said->append(buf, size_t(n));
    ::close(out[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
}

int raise_for_a_run(std::string& said)
{
    platform::set_priority_broker(&realtimekit_raise);
    if (nice_of_this_thread() != 0) return 1;
    {
        platform::ScopedHighPriority exchange(true);
        said = exchange.why();
        if (!exchange.raised() || nice_of_this_thread() != platform::High_priority_nice) return 2;
    }
    // Held for the run: the next exchange asks nobody.
    {
        platform::ScopedHighPriority exchange(true);
        if (!exchange.raised() || nice_of_this_thread() != platform::High_priority_nice) return 3;
    }
    platform::priority_run_ended();
    return nice_of_this_thread() == 0 ? 0 : 4;
}

int refused(std::string& said)
{
    platform::set_priority_broker(&realtimekit_raise);
    {
        platform::ScopedHighPriority exchange(true);
        said = exchange.why();
        if (exchange.raised() || nice_of_this_thread() != 0) return 1;
    }
    // A refusal stands for the rest of the run: the bus is not asked again.
    {
        platform::ScopedHighPriority exchange(true);
        if (exchange.raised() || exchange.why().rfind("setpriority: ", 0) != 0) return 2;
    }
    platform::priority_run_ended();
    platform::ScopedHighPriority next_run(true);
    return next_run.why().rfind("RealtimeKit: ", 0) == 0 ? 0 : 3;
}

}  // namespace

TEST(RealtimeKit, RaisesTheThreadOfAnOrdinaryUserForTheRunAndPutsItBack)
{
    if (::getuid() != 0) GTEST_SKIP() << "needs root to run the router as another user";
    const std::string root = std::filesystem::temp_directory_path() / ("stravon-rtkit-" + std::to_string(::getpid()));
    std::filesystem::create_directories(root);
    itest::write_file(root + "/bus.conf",
                      "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                      " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                      "<busconfig><type>session</type><listen>unix:path=" + root + "/bus</listen>"
                      "<auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
                      "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/><allow own=\"*\"/>"
                      "</policy></busconfig>\n");
    itest::Child bus({"/usr/bin/dbus-daemon", "--config-file=" + root + "/bus.conf", "--nofork", "--print-address=1"},
                     {"HOME=" + root}, root);
    const std::string address = bus.read_line(15000);
    ASSERT_EQ(address.rfind("unix:", 0), 0u) << bus.output();
    ::chmod((root + "/bus").c_str(), 0777);
    std::filesystem::permissions(root, std::filesystem::perms::all);

    {
        itest::Child kit({itest::bin_dir() + "/stravon-rtkit-standin"}, {"DBUS_SESSION_BUS_ADDRESS=" + address}, root);
        ASSERT_EQ(kit.read_line(15000), "ready") << kit.output();
        std::string said;
        EXPECT_EQ(as_nobody(address, &raise_for_a_run, &said), 0) << said;
    }
    // No RealtimeKit: not raised, and why.
    std::string said;
    EXPECT_EQ(as_nobody(address, &refused, &said), 0);
    EXPECT_EQ(said.rfind("RealtimeKit: ", 0), 0u) << said;
    EXPECT_NE(said.find("; setpriority: Permission denied (RLIMIT_NICE "), std::string::npos) << said;
    std::filesystem::remove_all(root);
}
