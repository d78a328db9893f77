// stravon-porcio: stands in for the canteen information system. It drops a
// request file the way a careful writer does (written under another name,
// then renamed into place), waits for the router's answer and prints it.
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* const kUsage =
    "Usage: stravon-porcio --dir DIR --request NAME [options] [LINE ...]\n"
    "\n"
    "Writes the LINEs (or, without LINEs, the lines read from standard input)\n"
    "as a request file NAME into the router's working directory DIR, waits\n"
    "until the router has taken the file and then written porcom.sta, and\n"
    "prints the output file's lines and the status.\n"
    "\n"
    "Options:\n"
    "  --dir DIR        the router's working directory (required)\n"
    "  --request NAME   the request file name, as configured in the router\n"
    "  --output NAME    the output file name to print (default: none printed)\n"
    "  --eol crlf|lf|cr line ends in the request file (default crlf)\n"
    "  --timeout SEC    give up after SEC seconds (default 60)\n"
    "  -h, --help       this text\n"
    "\n"
    "A request whose first line starts with TERM only selects a terminal: the\n"
    "router answers it with no status, so the program ends once the file is\n"
    "taken.\n"
    "\n"
    "Example:\n"
    "  stravon-porcio --dir /srv/canteen --request poz.txt --output vys.txt Y\n"
    "\n"
    "Exit status: 0 answered, 1 time-out or file error, 2 bad arguments.\n";

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool read_file(const std::string& path, std::string& out) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    std::ostringstream ss;
    ss << f.rdbuf();
    out = ss.str();
    return true;
}

// Waits until pred() holds; false on time-out.
template <typename Pred>
bool wait_for(Pred pred, std::chrono::steady_clock::time_point deadline) {
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// The directory's changes in the order they happened. The router deletes the
// request before it runs it and replaces porcom.sta after, so the first status
// written after our request went away is this request's answer; one already
// there, or written late for an earlier request, comes before that.
class DirEvents {
public:
    explicit DirEvents(const std::string& dir) {
        fd_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        const uint32_t mask = IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE;
        if (fd_ >= 0 && ::inotify_add_watch(fd_, dir.c_str(), mask) < 0) {
            const int err = errno;
            ::close(fd_);
            fd_ = -1;
            errno = err;
        }
    }
    ~DirEvents() {
        if (fd_ >= 0) ::close(fd_);
    }
    DirEvents(const DirEvents&) = delete;
    DirEvents& operator=(const DirEvents&) = delete;
    bool ok() const { return fd_ >= 0; }

    // Waits for an event on `name` with a bit of `mask`; false on time-out or
    // when events were lost.
    bool wait(const std::string& name, uint32_t mask, std::chrono::steady_clock::time_point deadline) {
        for (;;) {
            while (next_ < end_) {
                const auto* ev = reinterpret_cast<const inotify_event*>(buf_ + next_);
                next_ += sizeof(inotify_event) + ev->len;
                if (ev->mask & IN_Q_OVERFLOW) return false;
                if ((ev->mask & mask) && ev->len > 0 && name == ev->name) return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count()) + 1) < 0 && errno != EINTR) return false;
            const ssize_t n = ::read(fd_, buf_, sizeof buf_);
            next_ = 0;
            end_ = n > 0 ? static_cast<size_t>(n) : 0;
        }
    }

private:
    int fd_ = -1;
    alignas(inotify_event) char buf_[8192];
    size_t next_ = 0, end_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    std::string dir, request, output, eol = "\r\n";
    int timeout_s = 60;
    std::vector<std::string> lines;
    bool have_lines = false;

    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char* name) -> std::string {
            if (i + 1 >= argc) {
                std::cerr << "stravon-porcio: " << name << " needs a value\n";
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "-h" || a == "--help") {
            std::cout << kUsage;
            return 0;
        } else if (a == "--dir") {
            dir = value("--dir");
        } else if (a == "--request") {
            request = value("--request");
        } else if (a == "--output") {
            output = value("--output");
        } else if (a == "--timeout") {
            timeout_s = std::atoi(value("--timeout").c_str());
        } else if (a == "--eol") {
            std::string e = value("--eol");
            if (e == "crlf") eol = "\r\n";
            else if (e == "lf") eol = "\n";
            else if (e == "cr") eol = "\r";
            else {
                std::cerr << "stravon-porcio: --eol takes crlf, lf or cr\n";
                return 2;
            }
        } else if (a == "--") {
            for (++i; i < argc; ++i) lines.push_back(argv[i]);
            have_lines = true;
        } else if (a.size() > 1 && a.rfind("--", 0) == 0) {
            std::cerr << "stravon-porcio: unknown option " << a << "\n" << kUsage;
            return 2;
        } else {
            lines.push_back(a);
            have_lines = true;
        }
    }
    if (dir.empty() || request.empty() || request.find('/') != std::string::npos) {
        std::cerr << "stravon-porcio: --dir and a plain --request file name are required\n";
        return 2;
    }
    if (!have_lines) {
        std::string l;
        while (std::getline(std::cin, l)) {
            if (!l.empty() && l.back() == '\r') l.pop_back();  // a file with CR LF ends
            lines.push_back(l);
        }
    }
    if (timeout_s <= 0) timeout_s = 60;

    const std::string req_path = dir + "/" + request;
    const std::string sta_path = dir + "/porcom.sta";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);

    // One request at a time: a file still in place has not been taken yet.
    if (!wait_for([&] { return !exists(req_path); }, deadline)) {
        std::cerr << "stravon-porcio: " << req_path << " is still waiting to be taken\n";
        return 1;
    }
    DirEvents events(dir);
    if (!events.ok()) {
        std::cerr << "stravon-porcio: cannot watch " << dir << ": " << std::strerror(errno) << "\n";
        return 1;
    }

    std::string text;
    for (const auto& l : lines) text += l + eol;
    const std::string tmp_path = dir + "/." + request + ".part" + std::to_string(::getpid());
    {
        std::ofstream f(tmp_path, std::ios::binary | std::ios::trunc);
        f.write(text.data(), static_cast<std::streamsize>(text.size()));
        f.close();
        if (!f) {
            std::cerr << "stravon-porcio: cannot write " << tmp_path << ": " << std::strerror(errno) << "\n";
            ::unlink(tmp_path.c_str());
            return 1;
        }
    }
    if (::rename(tmp_path.c_str(), req_path.c_str()) != 0) {
        std::cerr << "stravon-porcio: cannot rename to " << req_path << ": " << std::strerror(errno) << "\n";
        ::unlink(tmp_path.c_str());
        return 1;
    }

    if (!events.wait(request, IN_DELETE | IN_MOVED_FROM, deadline)) {
        std::cerr << "stravon-porcio: the router did not take " << req_path << " within " << timeout_s
                  << " s (is it running in " << dir << "?)\n";
        return 1;
    }
    const bool selection = !lines.empty() && lines.front().rfind("TERM", 0) == 0;
    if (selection) {
        std::cout << "selection taken\n";
        return 0;
    }

    std::string status;
    // Replaced by rename, or rewritten in place.
    bool answered = events.wait("porcom.sta", IN_MOVED_TO | IN_CLOSE_WRITE, deadline) && read_file(sta_path, status);
    if (!answered) {
        std::cerr << "stravon-porcio: no status in " << sta_path << " within " << timeout_s << " s\n";
        return 1;
    }
    if (!output.empty()) {
        std::string out;
        if (!read_file(dir + "/" + output, out)) {
            std::cerr << "stravon-porcio: no output file " << dir << "/" << output << "\n";
            return 1;
        }
        std::cout << "output:\n" << out;
        if (!out.empty() && out.back() != '\n') std::cout << "\n";
    }
    std::cout << "status: " << status;
    return 0;
}
