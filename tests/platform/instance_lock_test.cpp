#include "platform/instance_lock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

using platform::InstanceLock;

namespace {

// Exit status of a fresh process that tries the lock: 0 acquired, 1 refused.
int try_in_other_process(const std::string& path)
{
    pid_t child = fork();
    if (child == 0) {
        InstanceLock other(path);
        _exit(other.acquire() ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string temp_lock_path()
{
    return "/tmp/stravon-lock-test-" + std::to_string(getpid()) + ".lock";
}

}  // namespace

TEST(InstanceLock, SecondProcessIsRefusedWhileTheFirstHoldsIt)
{
    const std::string path = temp_lock_path();
    {
        InstanceLock lock(path);
        ASSERT_TRUE(lock.acquire());
        EXPECT_TRUE(lock.held());
        // Nobody else may read or lock this user's file.
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_EQ(try_in_other_process(path), 1);
        // A second holder in this same process is refused as well.
        InstanceLock again(path);
        EXPECT_FALSE(again.acquire());
        EXPECT_EQ(again.last_error(), EWOULDBLOCK);
        lock.release();
        EXPECT_FALSE(lock.held());
        EXPECT_EQ(try_in_other_process(path), 0);
        ASSERT_TRUE(lock.acquire());
        EXPECT_EQ(try_in_other_process(path), 1);
    }
    // The destructor let it go.
    EXPECT_EQ(try_in_other_process(path), 0);
    unlink(path.c_str());
}

TEST(InstanceLock, LockOfAProcessThatDiedIsFree)
{
    const std::string path = temp_lock_path();
    pid_t child = fork();
    if (child == 0) {
        InstanceLock lock(path);
        if (!lock.acquire()) _exit(1);
        abort();  // no destructor runs
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    InstanceLock lock(path);
    EXPECT_TRUE(lock.acquire());
    unlink(path.c_str());
}

TEST(InstanceLock, UnopenableFileIsAFailureNotAnotherCopy)
{
    InstanceLock lock("/nonexistent-dir/Stravonprogram.lock");
    EXPECT_FALSE(lock.acquire());
    EXPECT_EQ(lock.last_error(), ENOENT);

    // A name that someone else made first, as anyone can in /tmp: a link to
    // elsewhere, or a file of another user.
    const std::string path = temp_lock_path();
    ASSERT_EQ(symlink("/tmp/elsewhere", path.c_str()), 0);
    InstanceLock linked(path);
    EXPECT_FALSE(linked.acquire());
    EXPECT_EQ(linked.last_error(), ELOOP);
    unlink(path.c_str());
    if (getuid() == 0) {
        InstanceLock mine(path);
        ASSERT_TRUE(mine.acquire());
        mine.release();
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
        InstanceLock foreign(path);
        EXPECT_FALSE(foreign.acquire()) << "a lock file of another user is not ours to trust";
        EXPECT_EQ(foreign.last_error(), EPERM);
    }
    unlink(path.c_str());
}

TEST(InstanceLock, DefaultPathUsesTheRuntimeDirectoryOrTheUid)
{
    const char* saved = getenv("XDG_RUNTIME_DIR");
    std::string keep = saved ? saved : "";
    setenv("XDG_RUNTIME_DIR", "/run/user/1000", 1);
    EXPECT_EQ(platform::default_instance_lock_path(), "/run/user/1000/Stravonprogram.lock");
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(platform::default_instance_lock_path(), "/tmp/Stravonprogram-" + std::to_string(getuid()) + ".lock");
    if (saved) setenv("XDG_RUNTIME_DIR", keep.c_str(), 1);
}
