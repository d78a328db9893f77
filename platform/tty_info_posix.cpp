#include "platform/tty_info.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;

namespace platform {

namespace {


std::string name_of(const std::string& device) { return fs::path(device).filename().string(); }

bool all_digits(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string comm_of(const std::string& proc_dir, int pid) {
    std::string c = read_sysfs_attr(proc_dir + "/" + std::to_string(pid) + "/comm");
    return c.empty() ? "?" : c;
}

// The pty index that a descriptor of /dev/ptmx stands for, or -1.
int ptmx_index(const std::string& fdinfo) {
    std::ifstream in(fdinfo);
    for (std::string l; std::getline(in, l);)
        if (l.rfind("tty-index:", 0) == 0) return std::atoi(l.c_str() + 10);
    return -1;
}

// Holder of a live UUCP lock (ASCII pid, or the old 4-byte binary form).
std::optional<TtyHolder> lock_holder(const std::string& lock_file, const std::string& proc_dir) {
    std::ifstream in(lock_file, std::ios::binary);
    if (!in) return std::nullopt;
    const std::string raw((std::istreambuf_iterator<char>(in)), {});
    int pid = 0;
    std::istringstream text(raw);
    if (!(text >> pid) && raw.size() == sizeof(int32_t)) {
        int32_t bin = 0;
        std::copy(raw.begin(), raw.end(), reinterpret_cast<char*>(&bin));
        pid = bin;
    }
    if (pid <= 0 || pid == ::getpid()) return std::nullopt;
    if (::kill(pid, 0) != 0 && errno != EPERM) return std::nullopt;  // stale
    return TtyHolder{pid, comm_of(proc_dir, pid), lock_file};
}

std::string group_name(gid_t gid, std::vector<std::string>* members) {
    std::vector<char> buf(1 << 16);
    struct group g, *found = nullptr;
    if (::getgrgid_r(gid, &g, buf.data(), buf.size(), &found) != 0 || !found) return std::to_string(gid);
    if (members)
        for (char** m = g.gr_mem; m && *m; ++m) members->push_back(*m);
    return g.gr_name;
}

}  // namespace

std::string read_sysfs_attr(const std::string& path) {
    std::ifstream in(path);
    std::string s;
    std::getline(in, s);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
    return s;
}

std::string resolve_device(const std::string& path) {
    std::error_code ec;
    const fs::path real = fs::canonical(path, ec);
    if (!ec) return real.string();
    fs::path p = path;
    for (int i = 0; i < 40; ++i) {
        const fs::path target = fs::read_symlink(p, ec);
        if (ec) break;
        p = target.is_absolute() ? target : p.parent_path() / target;
    }
    return p.lexically_normal().string();
}

std::string sysfs_root() {
    const char* r = std::getenv("STRAVON_SYSFS_ROOT");
    return r && *r ? r : "/sys";
}

std::string sysfs_tty_dir(const std::string& device, const std::string& root) {
    return root + "/class/tty/" + name_of(device);
}

bool is_system_console(const std::string& device, const std::string& root) {
    const std::string name = name_of(device);
    if (name == "console") return true;
    std::istringstream active(read_sysfs_attr(root + "/class/tty/console/active"));
    for (std::string n; active >> n;)
        if (n == name) return true;
    return false;
}

bool uart_absent(const std::string& device, const std::string& root) {
    return read_sysfs_attr(sysfs_tty_dir(device, root) + "/type") == "0";
}

int latency_timer_ms(const std::string& device, const std::string& root) {
    const std::string v = read_sysfs_attr(sysfs_tty_dir(device, root) + "/device/latency_timer");
    return all_digits(v) ? std::atoi(v.c_str()) : -1;
}

std::optional<TtyHolder> find_tty_holder(const std::string& device, dev_t rdev, const std::string& lock_dir,
                                         const std::string& proc_dir) {
    const std::string pts_prefix = "/dev/pts/";
    const int pts = device.rfind(pts_prefix, 0) == 0 && all_digits(device.substr(pts_prefix.size()))
                        ? std::atoi(device.c_str() + pts_prefix.size())
                        : -1;
    const std::string self = std::to_string(::getpid());
    if (DIR* procs = ::opendir(proc_dir.c_str())) {
        std::optional<TtyHolder> found;
        while (!found) {
            const struct dirent* e = ::readdir(procs);
            if (!e) break;
            const std::string pid = e->d_name;
            if (!all_digits(pid) || pid == self) continue;
            const std::string fd_dir = proc_dir + "/" + pid + "/fd";
            DIR* fds = ::opendir(fd_dir.c_str());
            if (!fds) continue;  // not ours to look into
            bool holds = false, far_end = false;
            while (const struct dirent* f = ::readdir(fds)) {
                if (f->d_name[0] == '.') continue;
                struct stat st;
                if (::stat((fd_dir + "/" + f->d_name).c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) continue;
                if (st.st_rdev == rdev)
                    holds = true;
                else if (pts >= 0 && st.st_rdev == makedev(5, 2) &&
                         ptmx_index(proc_dir + "/" + pid + "/fdinfo/" + f->d_name) == pts)
                    far_end = true;
            }
            ::closedir(fds);
            if (holds && !far_end) found = TtyHolder{std::atoi(pid.c_str()), comm_of(proc_dir, std::atoi(pid.c_str())), {}};
        }
        ::closedir(procs);
        if (found) return found;
    }
    return lock_holder(lock_dir + "/LCK.." + name_of(device), proc_dir);
}

std::string holder_text(const TtyHolder& h) {
    const std::string who = h.comm + " (pid " + std::to_string(h.pid);
    if (!h.lock_file.empty()) return "port je zamceny programem " + who + ", " + h.lock_file + ")";
    return "port ma otevreny program " + who + ")";
}

std::string access_denied_text(const std::string& device) {
    const std::string head = "pristup k " + device + " odepren";
    struct stat st;
    if (::stat(device.c_str(), &st) != 0) return head;
    std::vector<std::string> members;
    const std::string group = group_name(st.st_gid, &members);

    std::vector<char> buf(1 << 16);
    struct passwd pw, *me = nullptr;
    const bool known = ::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &me) == 0 && me;
    const std::string user = known ? me->pw_name : std::to_string(::geteuid());

    std::vector<gid_t> groups(static_cast<size_t>(std::max(::getgroups(0, nullptr), 0)));
    groups.resize(static_cast<size_t>(std::max(::getgroups(static_cast<int>(groups.size()), groups.data()), 0)));
    const bool in_process =
        ::getegid() == st.st_gid || std::find(groups.begin(), groups.end(), st.st_gid) != groups.end();
    const bool member =
        (known && me->pw_gid == st.st_gid) || std::find(members.begin(), members.end(), user) != members.end();

    if (in_process) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
        return head + ": zarizeni (skupina " + group + ", prava " + mode + ") nepusti ani cleny skupiny";
    }
    if (member)
        return head + ": uzivatel " + user + " je ve skupine " + group +
               ", ale toto prihlaseni jeste ne; odhlaste se a prihlaste znovu";
    return head + ": zarizeni patri skupine " + group + " a uzivatel " + user + " v ni neni; pridejte ho (sudo usermod -aG " +
           group + " " + user + "), pak se odhlaste a prihlaste znovu";
}

}  // namespace platform
