// stravon-autostart: starts the router at the user's login in the canteen's
// working directory, where the information system drops its requests.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "tools/autostart.h"
#include "tools/i18n.h"
#include "tools/notify.h"
#include "tools/recode.h"

namespace fs = std::filesystem;
using tools::format;
using tools::tr;

namespace {

const char* usage() {
    return _("Usage:\n"
             "  stravon-autostart DIR          start Stravon in DIR at every login\n"
             "  stravon-autostart --remove     start it no more at login\n"
             "  stravon-autostart --start DIR  what the login runs: go to DIR and start\n"
             "                                 stravon; where it cannot, say why here and\n"
             "                                 in a desktop notification, and exit 1\n"
             "  stravon-autostart --help       show this text\n"
             "\n"
             "DIR is the working directory where the canteen information system drops its\n"
             "requests; the router's errorlog.txt lies there too. The entry is\n"
             "${XDG_CONFIG_HOME:-$HOME/.config}/autostart/cz.stravon.Stravon.desktop and\n"
             "concerns only the user who runs this command. When the router is started at\n"
             "login, its messages are in the journal: journalctl --user.\n");
}

int fail(const std::string& text) {
    std::fprintf(stderr, "stravon-autostart: %s\n", text.c_str());
    return 1;
}

std::string self_path() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string("stravon-autostart") : self.string();
}

int write_entry(const std::string& given) {
    const std::string entry = tools::autostart_entry_path();
    if (entry.empty()) return fail(_("cannot tell where the autostart entry goes: no home directory"));
    std::error_code ec;
    std::string dir = fs::absolute(given, ec).lexically_normal().string();
    if (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (ec || !fs::exists(dir, ec)) return fail(format(_("%s: no such directory; nothing written"), dir.c_str()));
    if (!fs::is_directory(dir, ec)) return fail(format(_("%s: not a directory; nothing written"), dir.c_str()));
    // The entry is UTF-8 text of single lines.
    for (unsigned char c : dir)
        if (c < 0x20 || c == 0x7f)
            return fail(_("the directory's name holds a control character; nothing written"));
    if (!platform::is_valid_utf8(dir)) return fail(_("the directory's name is not UTF-8; nothing written"));

    const fs::path path = entry;
    fs::create_directories(path.parent_path(), ec);
    if (ec) return fail(format(_("cannot create %s: %s"), path.parent_path().c_str(), ec.message().c_str()));
    const fs::path tmp = path.string() + ".new";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << tools::autostart_entry(self_path(), dir);
        out.close();
        if (!out) {
            fs::remove(tmp, ec);
            return fail(format(_("cannot write %s"), tmp.c_str()));
        }
    }
    fs::rename(tmp, path, ec);
    if (ec) {
        std::error_code ignored;
        fs::remove(tmp, ignored);
        return fail(format(_("cannot write %s: %s"), path.c_str(), ec.message().c_str()));
    }
    std::printf(_("Wrote %s: Stravon starts in %s at your next login.\n"), path.c_str(), dir.c_str());
    return 0;
}

int remove_entry() {
    const std::string entry = tools::autostart_entry_path();
    if (entry.empty()) return fail(_("cannot tell where the autostart entry is: no home directory"));
    std::error_code ec;
    if (!fs::remove(entry, ec)) {
        if (ec) return fail(format(_("cannot remove %s: %s"), entry.c_str(), ec.message().c_str()));
        std::printf(_("There was no autostart entry (%s).\n"), entry.c_str());
        return 0;
    }
    std::printf(_("Removed %s: Stravon no longer starts at login.\n"), entry.c_str());
    return 0;
}

// At login nobody reads standard error: the desktop shows why the router's
// icon does not come. A notification that cannot be shown changes nothing.
void tell_desktop(const char* body_format, const std::string& what, int error) {
    // D-Bus carries UTF-8, whatever the terminal's encoding.
    tools::Recoder to_utf8(tools::terminal_codeset().c_str(), "UTF-8");
    const std::string reason = to_utf8(std::strerror(error));
    bind_textdomain_codeset(tools::Text_domain, "UTF-8");
    const std::string body = tools::format(tr(body_format), tools::markup_escape(what).c_str(),
                                           tools::markup_escape(reason).c_str());
    tools::notify_desktop(_("Stravon did not start"), tools::Recoder("UTF-8", "UTF-8")(body));
}

// Never falls back to another directory: a router started elsewhere would
// wait for requests that never come.
int start(const std::string& dir) {
    if (::chdir(dir.c_str()) != 0) {
        const int error = errno;
        fail(format(_("cannot start Stravon in %s: %s"), dir.c_str(), std::strerror(error)));
        tell_desktop(N_("Its working directory %s cannot be used: %s.\n"
                        "Create the directory (or connect the drive it lies on) and log in again, "
                        "or choose the right one: stravon-autostart DIR"),
                     dir, error);
        return 1;
    }
    // The router beside this program first, so a build tree runs its own.
    const std::string sibling = fs::path(self_path()).parent_path() / "stravon";
    char* argv[] = {const_cast<char*>("stravon"), nullptr};
    if (::access(sibling.c_str(), X_OK) == 0) ::execv(sibling.c_str(), argv);
    else ::execvp("stravon", argv);
    const int error = errno;
    fail(format(_("cannot run stravon in %s: %s"), dir.c_str(), std::strerror(error)));
    tell_desktop(N_("The program stravon in %s cannot be run: %s.\nIs the package stravon installed?"), dir, error);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    tools::init_messages();
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(usage(), stdout);
        return 0;
    }
    if (args.size() == 1 && args[0] == "--remove") return remove_entry();
    if (args.size() == 2 && args[0] == "--start") return start(args[1]);
    if (args.size() == 1 && !args[0].empty() && args[0][0] != '-') return write_entry(args[0]);
    return fail(_("wrong arguments (see --help)"));
}
