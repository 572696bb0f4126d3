// What a backup leaves out besides the user's own choices: the core
// exclusions, derived from the application's exclusion list
// (resources/Exclusions.plist) and from the volumes mounted on this machine.
//
// The list is a property-list dictionary of arrays of texts:
//   "root"     absolute paths (virtual file systems, temporary folders, caches)
//   "user"     paths relative to the home directory (caches, trash, thumbnails)
//   "Volumes"  paths relative to the root of every mounted file system
//              ("$UID" stands for the user's numeric id: ".Trash-$UID")
//   "iTunes", "iPhoto"  paths next to media-library databases; this system
//              has no such libraries, so they are read and never used
// Besides the list, every volume mounted below /media, /run/media/$USER or
// /mnt that lies inside the source is left out whole: a backup of "/" does
// not copy the USB stick that happens to be plugged in.
//
// Paths are compared as the file system does: case matters.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quorvel {

inline constexpr const char* kExclusionsResource = "Exclusions.plist";

struct ExclusionList {
  std::vector<std::string> root;
  std::vector<std::string> user;
  std::vector<std::string> volumes;
};

// The list in the resources folder, read once per process; a list that
// cannot be read is logged and tried again at the next call (nothing).
std::optional<ExclusionList> ApplicationExclusionList();

// Where the exclusions are computed: the home directory, the mount points of
// the machine, and the folders below which removable volumes are mounted.
struct ExclusionEnvironment {
  std::string home;
  std::vector<std::string> mountPoints;
  std::vector<std::string> volumeRoots;

  // This machine's: $HOME (or the password database's), the mount points of
  // /proc/self/mountinfo, and /media, /run/media/$USER and /mnt.
  static ExclusionEnvironment current();
};

// The mount points a mountinfo file lists (field 5, octal escapes such as
// "\040" decoded), in its order; empty when it cannot be read.
std::vector<std::string> MountPointsFromMountInfo(const std::string& path);

// Whether `path` is `base` or lies below it (whole components: "/a/bc" is
// not below "/a/b").
bool IsSubpathOfPath(const std::string& path, const std::string& base);

// The core exclusions of a source directory (standardized, absolute), as
// paths relative to it, in this order: the absolute candidates sorted, then
// the home-relative ones sorted (only when the source lies in the home
// directory). Candidates outside the source, and the source itself, are
// dropped; no path appears twice.
std::vector<std::string> CoreExcludedPaths(const std::string& source, const ExclusionList& list,
                                           const ExclusionEnvironment& environment);

}  // namespace quorvel
