// Working inside a restore target without following links.
//
// The restore target is chosen by the user, but what lies below it may have
// been written by the backup data (an archive may hold links) or by someone
// else. Every folder below the target is therefore opened one component at
// a time with O_NOFOLLOW | O_DIRECTORY, and items are created, examined and
// deleted relative to the descriptor of their parent folder. A link where a
// folder is expected is a failure (ELOOP or ENOTDIR), never a detour.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/Posix.h"
#include "foundation/Status.h"

namespace quorvel {

// Opens the folder at `relative` ("a/b"; "" is `root` itself) below the open
// folder `root`. Components that are empty, "." or ".." fail with EINVAL.
Expected<UniqueFd> OpenFolderBelow(int root, std::string_view relative);

// The same below a folder given by path (the path itself may go through
// links: it is the user's choice, not the backup's).
Expected<UniqueFd> OpenFolderBelow(const std::string& root, std::string_view relative);

// An item below a target: its parent folder opened safely and its last
// component.
struct ItemBelow {
  UniqueFd parent;
  std::string name;
};
Expected<ItemBelow> OpenParentBelow(const std::string& root, std::string_view relative);

enum class RemoveKind {
  kFile,    // anything but a folder (unlinkat)
  kFolder,  // an empty folder (unlinkat with AT_REMOVEDIR)
  kAny,     // whichever the item is, as lstat sees it
};

// Removes root/relative without following any link on the way (a link at
// the end is removed itself). True when something was removed, false when
// there was nothing to remove (the item or a folder on the way is missing).
Expected<bool> RemoveBelow(const std::string& root, std::string_view relative, RemoveKind kind);

// The file type bits (S_IFMT) that a snapshot mode stands for, 0 when it is
// none of the types a restore makes (regular file, folder, symbolic link).
mode_t RestorableFileType(std::uint32_t snapshotMode);

// "regular file", "folder", "symbolic link", "named pipe", ... for messages.
const char* FileTypeName(mode_t type);

}  // namespace quorvel
