// Extended-attribute names as a backup records them and as Linux names them.
//
// Linux puts every attribute in a namespace ("user.", "trusted.",
// "security.", "system."); Mac OS X names have none ("com.apple.FinderInfo").
// A backup records the portable form, so that both systems read the names
// they expect:
//
//   recorded          on Linux
//   "x"               "user.x"          names without a namespace are user names
//   "trusted.x"       "trusted.x"       other namespaces keep their prefix
//   "user.x"          "user.x"          as backups of earlier versions recorded it
//   "user.trusted.x"  "user.trusted.x"  kept whole: stripped it would read as "trusted.x"
//
// Comparisons of recorded attributes go through LinuxAttributeName on both
// sides, so a backup that recorded "user.x" and a scan that records "x" agree.
#pragma once

#include <string>
#include <string_view>

namespace quorvel {

// True when the name begins with one of the Linux namespaces.
bool HasLinuxNamespace(std::string_view name);
// The name to give the system calls: "user." added to a name without a
// namespace, every other name as it is.
std::string LinuxAttributeName(std::string_view recorded);
// The name to record for a Linux name: "user." removed unless what is left
// is empty or would itself read as a namespaced name.
std::string RecordedAttributeName(std::string_view linuxName);

}  // namespace quorvel
