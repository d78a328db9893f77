// Runs the real programs: the router, the terminal simulator on a pty mapped
// as a COM port, and the request stand-in, each in a private sandbox.
#pragma once
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace itest {

std::string bin_dir();
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
bool exists(const std::string& path);

// A child process with its stdout (and stderr) read through a pipe.
class Child {
public:
    Child() = default;
    Child(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& cwd);
    Child(Child&& o) noexcept;
    Child& operator=(Child&& o) noexcept;
    ~Child();

    // The next line of output, or "" after timeout_ms.
    std::string read_line(int timeout_ms);
    // Everything printed so far (and until it exits, when waiting).
    std::string output() const { return out_; }
    // Exit status, or -1000 when it did not end in time.
    int wait(int timeout_ms);
    void signal(int sig);
    bool running();
    pid_t pid() const { return pid_; }

private:
    void pump(int timeout_ms);
    pid_t pid_ = -1;
    int fd_ = -1;
    int status_ = -1000;
    std::string out_;
    size_t consumed_ = 0;
};

// The 68-byte configuration record, written by offset so the tests do not
// share the program's own codec.
struct Record {
    std::array<uint8_t, 68> b{};
    Record();  // one terminal at address 1 on COM1, 19200 Bd, 2500 records, 5/5
    void terminal(int n, uint8_t address, uint8_t com_index, bool connected);
    void names(const std::string& in, const std::string& out);
    void rep_read_index(uint8_t i) { b[61] = i; }
    void rep_write_index(uint8_t i) { b[62] = i; }
    void priority(bool on) { b[63] = on; }
    void delay_add_index(uint8_t i) { b[64] = i; }
};

class Sandbox {
public:
    Sandbox();
    ~Sandbox();
    std::string root, config, work, runtime;

    void write_record(const Record& r);
    // stravon-termsim on a new pty linked as COMn; returns once the link exists.
    Child start_termsim(int com_number, const std::vector<std::string>& extra_args);
    // The router in the working directory, offscreen.
    Child start_router();
    std::vector<std::string> env() const;
    std::string log() const { return read_file(work + "/errorlog.txt"); }
};

// Waits until the file holds `text`.
bool wait_for_text(const std::string& path, const std::string& text, int timeout_ms);
// Waits until the error log holds `text`.
bool wait_for_log(const Sandbox& s, const std::string& text, int timeout_ms);
// The frames a simulator logged, as hex strings of the frame bytes, in order.
std::vector<std::string> frames_in_log(const std::string& sim_log);

}  // namespace itest
