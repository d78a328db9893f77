// The user's XDG autostart entry that starts the router at login in the
// canteen's working directory.
#pragma once
#include <string>

namespace tools {

inline constexpr const char* App_id = "cz.stravon.Stravon";

// <config home>/autostart/cz.stravon.Stravon.desktop; empty without a config home.
std::string autostart_entry_path();

// One Exec argument, quoted and escaped as desktop entries want it.
std::string exec_argument(const std::string& arg);

// The entry runs "launcher --start dir" rather than relying on Path=: where
// Path= names a missing directory, some sessions start the program in the
// home directory without a word, and no request ever comes there.
std::string autostart_entry(const std::string& launcher, const std::string& dir);

}  // namespace tools
