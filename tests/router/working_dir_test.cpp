// The working directory as other users and odd writers leave it: links at
// the names the router writes, things that are no file at the request's
// name, huge requests, a full or read-only file system.
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "router_fixture.h"

using namespace router_test;

namespace {

// A small file system of its own over the working directory, where the test
// may mount one (root); unmounted at the end.
class OwnFileSystem {
public:
    OwnFileSystem(const std::filesystem::path& at, const std::string& options) : at_(at) {
        mounted_ = ::mount("tmpfs", at.c_str(), "tmpfs", 0, options.c_str()) == 0;
        error_ = errno;
    }
    ~OwnFileSystem() {
        if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    std::string why() const { return std::string("cannot mount a tmpfs: ") + std::strerror(error_); }
    bool read_only() { return ::mount(nullptr, at_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0; }

private:
    std::filesystem::path at_;
    bool mounted_ = false;
    int error_ = 0;
};

std::string Target(const std::filesystem::path& link) { return std::filesystem::read_symlink(link).string(); }

}  // namespace

TEST_F(RouterTest, NothingIsWrittenThroughALinkAnotherUserPlanted) {
    Start();
    // Links at every name the router writes, to files of the router's user.
    const std::vector<std::string> names = {"vystup.txt", "porcom.sta", "binarni.bin", "errorlog.txt"};
    for (const std::string& n : names) {
        Write("victim-" + n, "mine\n");
        std::filesystem::remove(Work(n));
        std::filesystem::create_symlink(Work("victim-" + n), Work(n));
    }
    testing::internal::CaptureStderr();
    Request("S\r\n");
    Log_error("a second line");
    const std::string said = testing::internal::GetCapturedStderr();
    for (const std::string& n : names) EXPECT_EQ(Read("victim-" + n), "mine\n") << n;
    // The router answered: its files replaced the links.
    EXPECT_EQ(Read("porcom.sta"), "1,1\n");
    EXPECT_FALSE(std::filesystem::is_symlink(Work("porcom.sta")));
    EXPECT_FALSE(std::filesystem::is_symlink(Work("vystup.txt")));
    EXPECT_EQ(Read("vystup.txt").substr(0, 1), "S");
    EXPECT_FALSE(std::filesystem::is_symlink(Work("binarni.bin")));
    EXPECT_EQ(Read("binarni.bin").size(), 27u);
    // The log is not written through its link, and that is said once.
    EXPECT_TRUE(std::filesystem::is_symlink(Work("errorlog.txt")));
    const std::string notice = "errorlog.txt je odkaz, pres ktery se nezapisuje";
    EXPECT_NE(said.find(notice), std::string::npos) << said;
    EXPECT_EQ(said.find(notice), said.rfind(notice)) << "once";
    EXPECT_NE(said.find("a second line"), std::string::npos) << "the journal still gets the lines";
    for (const std::string& n : names) EXPECT_TRUE(std::filesystem::is_regular_file(Work("victim-" + n))) << n;
    EXPECT_EQ(Target(Work("errorlog.txt")), Work("victim-errorlog.txt").string());
}

TEST_F(RouterTest, WhatIsNoRequestFileIsSaidTakenAwayAndAnswered) {
    Start();
    const auto no_request = [&](const char* what) {
        const size_t lines = Log().size();
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_TRUE(router->Process_request(Work("pozad.txt").string())) << what;
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2)) << what << ": nothing blocks";
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(Work("pozad.txt")))) << what;
        EXPECT_EQ(Read("porcom.sta"), "-1,-1\n") << what;
        const auto log = Log();
        EXPECT_EQ(log.size(), lines + 1) << what;
        return log.back();
    };
    // A FIFO put in the request's place, as between the watcher's look and
    // the open: nobody writes to it, and nothing waits for it.
    ASSERT_EQ(::mkfifo(Work("pozad.txt").c_str(), 0666), 0);
    EXPECT_EQ(no_request("FIFO"), "Soubor pozadavku " + Work("pozad.txt").string() + " nelze pouzit: neni obycejny soubor");
    std::filesystem::create_symlink(Work("elsewhere"), Work("pozad.txt"));
    Write("elsewhere", "S\r\n");
    no_request("link");
    EXPECT_EQ(Read("elsewhere"), "S\r\n") << "what a link leads to is not the request";
    if (::mknod(Work("pozad.txt").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) no_request("device node");

    // A huge request (a sparse file of 8 GiB) is not read whole.
    {
        std::ofstream(Work("pozad.txt"));
        ASSERT_EQ(::truncate(Work("pozad.txt").c_str(), 8ll << 30), 0);
    }
    EXPECT_NE(no_request("huge").find("je vetsi nez 16 MiB"), std::string::npos);
    EXPECT_TRUE(Commands(com1).empty()) << "nothing was sent";

    // The next good request is answered.
    Request("S\r\n");
    EXPECT_EQ(Read("porcom.sta"), "1,1\n");
}

TEST_F(RouterTest, ARequestThatCannotBeDeletedIsNotRunAndAReadOnlyDirectoryIsSaid) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to mount a file system of its own";
    OwnFileSystem fs(std::filesystem::current_path(), "size=1m");
    if (!fs.mounted()) GTEST_SKIP() << fs.why();
    Start();
    Write("pozad.txt", "S\r\n");
    Write("porcom.sta", "150,0\n");
    ASSERT_TRUE(fs.read_only());
    testing::internal::CaptureStderr();
    EXPECT_TRUE(router->Process_request(Work("pozad.txt").string()));
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(Commands(com1).empty()) << "run once it could be deleted, not before";
    EXPECT_TRUE(Exists("pozad.txt"));
    EXPECT_NE(said.find("nelze smazat (Read-only file system), pozadavek se neprovede"), std::string::npos) << said;
    // Neither can a status be written: the journal says so, and why the old
    // one stays.
    EXPECT_NE(said.find("Status -1,-1 nelze zapsat do porcom.sta (Read-only file system), stary soubor "
                        "porcom.sta nelze smazat (Read-only file system)"),
              std::string::npos)
        << said;

    // The watcher offers such a file once, not at every look.
    testing::internal::CaptureStderr();
    router->Start_watcher("pozad.txt", [](const std::function<void()>& fn) { fn(); }, 200);
    while (router->Watcher()->Looks() < 8) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    router->Close_requested(false);
    const std::string again = testing::internal::GetCapturedStderr();
    const std::string refused = "pozadavek se neprovede";
    ASSERT_NE(again.find(refused), std::string::npos) << again;
    EXPECT_EQ(again.find(refused), again.rfind(refused)) << "once";
}

TEST_F(RouterTest, AFullFileSystemLeavesNoStaleStatus) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to mount a file system of its own";
    // Few files, so that the disk is full once they are used up.
    OwnFileSystem fs(std::filesystem::current_path(), "size=1m,nr_inodes=64");
    if (!fs.mounted()) GTEST_SKIP() << fs.why();
    Start();
    Write("porcom.sta", "150,0\n");
    Write("pozad.txt", "A1\r\n");
    for (int i = 0; i < 100; ++i) std::ofstream(Work("fill-" + std::to_string(i)));
    ASSERT_EQ(::creat(Work("one-more").c_str(), 0666), -1) << "the file system is full";
    Request("A1\r\n");
    // The deleted request made room for the output; the status found none.
    EXPECT_FALSE(Exists("porcom.sta")) << "the request before's 150,0 must not pass for this one's";
    EXPECT_EQ(Log().back(),
              "Status 1,0 nelze zapsat do porcom.sta (No space left on device), stary soubor porcom.sta je smazan");
}
