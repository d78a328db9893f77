#include "tools/autostart.h"

#include <string>

#include "platform/com_path.h"

namespace tools {

std::string autostart_entry_path() {
    const std::string config = platform::config_home();
    return config.empty() ? std::string() : config + "/autostart/" + App_id + ".desktop";
}

std::string exec_argument(const std::string& arg) {
    const bool quote = arg.empty() || arg.find_first_of(" \t\n\"'\\><~|&;$*?#()`") != std::string::npos;
    std::string inner;
    for (char c : arg) {
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) inner += '\\';
        inner += c;
        if (c == '%') inner += '%';  // a lone % starts a field code
    }
    if (quote) inner = '"' + inner + '"';
    // The value's own escaping comes on top: every backslash doubles.
    std::string value;
    for (char c : inner) {
        value += c;
        if (c == '\\') value += '\\';
    }
    return value;
}

std::string autostart_entry(const std::string& launcher, const std::string& dir) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Stravon\n"
           "Comment=Canteen communication router, started at login\n"
           "Comment[cs]=Komunikátor pro jídelny, spouštěný po přihlášení\n"
           "Exec=" + exec_argument(launcher) + " --start " + exec_argument(dir) + "\n"
           "Icon=" + App_id + "\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-Delay=5\n"
           "X-KDE-autostart-after=panel\n"
           "X-LXQt-Need-Tray=true\n";
}

}  // namespace tools
