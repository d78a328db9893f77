// Runs one of the tools as its own process, with extra environment, and
// keeps what it printed.
#pragma once
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace testing_tools {

struct ToolResult {
    int status = -1;  // exit status, -1 when it did not exit normally
    std::string out, err;
};

inline std::string tool_path(const std::string& name) {
    const char* bin = std::getenv("STRAVON_BIN");
    return std::string(bin ? bin : ".") + "/" + name;
}

inline std::string slurp(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The tools speak English unless a test asks otherwise, and take their
// catalogues from the build tree.
inline std::vector<std::string> tool_defaults() {
    return {"LC_ALL=C.UTF-8", "LC_CTYPE=", "LC_MESSAGES=", "LANG=C.UTF-8", "LANGUAGE=",
            "STRAVON_LOCALEDIR=" STRAVON_TEST_LOCALEDIR};
}

// A Czech user, as a desktop session sets it up: LANG alone. The locale is
// the tests' own, generated into the build tree.
inline std::vector<std::string> czech(const std::string& charset = "UTF-8") {
    return {"LC_ALL=", "LANG=cs_CZ." + charset, "LOCPATH=" STRAVON_TEST_LOCPATH};
}

// env holds "NAME=value" entries set on top of the test's own environment
// and tool_defaults(); scratch keeps the output, and the tool runs in cwd
// when one is given.
inline ToolResult run_tool(const std::string& exe, const std::vector<std::string>& args,
                           const std::vector<std::string>& env, const std::filesystem::path& scratch,
                           const std::filesystem::path& cwd = {}) {
    const auto out = scratch / "tool.out", err = scratch / "tool.err";
    const pid_t pid = fork();
    if (pid == 0) {
        if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(126);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        const std::vector<std::string> defaults = tool_defaults();
        for (const auto& e : defaults) putenv(const_cast<char*>(e.c_str()));
        for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> argv{const_cast<char*>(exe.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    ToolResult r;
    int st = 0;
    if (pid > 0 && waitpid(pid, &st, 0) == pid && WIFEXITED(st)) r.status = WEXITSTATUS(st);
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
}

}  // namespace testing_tools
