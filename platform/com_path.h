// Where the user's COM links live.
#pragma once
#include <string>

namespace platform {

// ${XDG_CONFIG_HOME:-$HOME/.config}; a relative XDG_CONFIG_HOME is ignored,
// as the registry file does, so both land in one place.
std::string config_home();

// <config_home>/stravon/dosdevices, the directory of the comN links.
std::string dosdevices_dir();

// How a technician gives an adapter its COM number here, in the log's
// unaccented Czech.
const char* how_to_link_port();

}  // namespace platform
