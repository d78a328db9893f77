#include "tools/notify.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "tools/autostart.h"

extern char** environ;

namespace tools {

namespace {

// The program's path on PATH, or "".
std::string find_in_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string_view dirs = path ? path : "/usr/bin:/bin";
    while (true) {
        const size_t colon = dirs.find(':');
        std::string dir(dirs.substr(0, colon));
        if (dir.empty()) dir = ".";
        const std::string candidate = dir + "/" + name;
        struct stat st;
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (colon == std::string_view::npos) return {};
        dirs.remove_prefix(colon + 1);
    }
}

}  // namespace

std::string gvariant_string(std::string_view utf8) {
    std::string out = "'";
    for (char c : utf8) {
        if (c == '\'' || c == '\\') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out + "'";
}

std::string markup_escape(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else out += c;
    }
    return out;
}

std::vector<std::string> notification_command(const std::string& summary, const std::string& body) {
    const std::string icon = App_id;
    // Critical: the service keeps it until it is read, as the router is not running.
    if (const std::string send = find_in_path("notify-send"); !send.empty()) {
        // notify-send reads C escapes in the body (not in the summary).
        std::string escaped;
        for (char c : body) {
            if (c == '\\') escaped += '\\';
            escaped += c;
        }
        return {send, "--app-name=Stravon", "--icon=" + icon, "--urgency=critical",
                "--hint=string:desktop-entry:" + icon, "--", summary, escaped};
    }
    if (const std::string gdbus = find_in_path("gdbus"); !gdbus.empty())
        return {gdbus, "call", "--session", "--dest", "org.freedesktop.Notifications",
                "--object-path", "/org/freedesktop/Notifications",
                "--method", "org.freedesktop.Notifications.Notify",
                "--timeout", std::to_string(Notify_timeout_ms / 1000),
                "'Stravon'", "uint32 0", gvariant_string(icon), gvariant_string(summary), gvariant_string(body),
                "@as []", "@a{sv} {'urgency': <byte 2>, 'desktop-entry': <" + gvariant_string(icon) + ">}", "int32 -1"};
    return {};
}

bool notify_desktop(const std::string& summary, const std::string& body, int timeout_ms) {
    const std::vector<std::string> command = notification_command(summary, body);
    if (command.empty()) return false;
    std::vector<char*> argv;
    for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    for (int fd = 0; fd <= 2; ++fd) posix_spawn_file_actions_addopen(&files, fd, "/dev/null", O_RDWR, 0);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    if (spawned != 0) return false;

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int status = 0;
    while (true) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (r < 0 && errno != EINTR) return false;
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return false;
}

}  // namespace tools
