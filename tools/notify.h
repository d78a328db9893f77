// A desktop notification through org.freedesktop.Notifications on the
// session bus: at login nobody reads standard error.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace tools {

// How long a notification may hold up its caller: a notification service
// that D-Bus has to start first answers within that, a hung one does not.
inline constexpr int Notify_timeout_ms = 4000;

// The command that shows it: notify-send (libnotify) where it is on PATH,
// else gdbus (GLib); empty when neither is. Texts are UTF-8; the body is
// markup to most services, so it is given escaped.
std::vector<std::string> notification_command(const std::string& summary, const std::string& body);

// Runs that command, at most timeout_ms; true when the service took the
// notification. Nothing it prints reaches the caller's output.
bool notify_desktop(const std::string& summary, const std::string& body, int timeout_ms = Notify_timeout_ms);

// A text as GVariant text, as gdbus reads its arguments.
std::string gvariant_string(std::string_view utf8);

// A text as plain characters of a markup body.
std::string markup_escape(std::string_view text);

}  // namespace tools
