// The desktop application's login item: an XDG autostart entry that starts
// "quorvel-gui --hidden" (in the tray) when the user logs in to the desktop.
//
// The entry is $XDG_CONFIG_HOME/autostart/quorvel-gui.desktop, with
// ~/.config for an unset or empty XDG_CONFIG_HOME (read on every call).
// The scheduler service has an entry of its own ("quorvel daemon install");
// this one only brings the window's application back.
//
// Threads: any; the functions touch only the file system.
#pragma once

#include <string>

namespace quorvel {

inline constexpr const char* kLoginItemFileName = "quorvel-gui.desktop";

std::string LoginItemPath();

// The entry's text for the quorvel-gui executable at `program`. The path is
// quoted and escaped as desktop entries require, so that any path survives
// the desktop's reading of the Exec line.
std::string LoginItemText(const std::string& program);

// Writes the entry (replacing an older one whole) or removes it. Empty on
// success (removing an absent entry succeeds), else why not, for the user.
std::string SetLaunchAtLogin(bool enabled, const std::string& program);

bool IsLaunchAtLoginInstalled();

}  // namespace quorvel
