#include "engine/RestoreTargetPaths.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>

namespace quorvel {

namespace {

bool IsPlainComponent(std::string_view name) { return !name.empty() && name != "." && name != ".."; }

Status Failure(int error, std::string_view relative) { return Status::posix(error, std::string(relative)); }

}  // namespace

Expected<UniqueFd> OpenFolderBelow(int root, std::string_view relative) {
  UniqueFd folder(openat(root, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.valid()) return Failure(errno, ".");
  std::size_t start = 0;
  while (start < relative.size()) {
    std::size_t end = relative.find('/', start);
    if (end == std::string_view::npos) end = relative.size();
    const std::string component(relative.substr(start, end - start));
    if (!IsPlainComponent(component)) return Failure(EINVAL, relative);
    UniqueFd next(openat(folder.get(), component.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) return Failure(errno, relative.substr(0, end));
    folder = std::move(next);
    start = end + 1;
  }
  return folder;
}

Expected<UniqueFd> OpenFolderBelow(const std::string& root, std::string_view relative) {
  UniqueFd top(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!top.valid()) return Status::posix(errno, root);
  return OpenFolderBelow(top.get(), relative);
}

Expected<ItemBelow> OpenParentBelow(const std::string& root, std::string_view relative) {
  std::size_t slash = relative.rfind('/');
  std::string_view parent = slash == std::string_view::npos ? std::string_view() : relative.substr(0, slash);
  std::string name(slash == std::string_view::npos ? relative : relative.substr(slash + 1));
  if (!IsPlainComponent(name)) return Failure(EINVAL, relative);
  Expected<UniqueFd> folder = OpenFolderBelow(root, parent);
  if (!folder) return folder.status();
  return ItemBelow{std::move(*folder), std::move(name)};
}

Expected<bool> RemoveBelow(const std::string& root, std::string_view relative, RemoveKind kind) {
  Expected<ItemBelow> item = OpenParentBelow(root, relative);
  if (!item) {
    // A folder on the way that is not there holds nothing to remove.
    if (item.status().code() == ENOENT) return false;
    return item.status();
  }
  struct stat status;
  if (fstatat(item->parent.get(), item->name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return false;
    return Failure(errno, relative);
  }
  bool folder = kind == RemoveKind::kFolder || (kind == RemoveKind::kAny && S_ISDIR(status.st_mode));
  if (unlinkat(item->parent.get(), item->name.c_str(), folder ? AT_REMOVEDIR : 0) != 0) {
    if (errno == ENOENT) return false;
    return Failure(errno, relative);
  }
  return true;
}

mode_t RestorableFileType(std::uint32_t snapshotMode) {
  switch (snapshotMode & 0xF000) {
    case 0x8000:
      return S_IFREG;
    case 0x4000:
      return S_IFDIR;
    case 0xA000:
      return S_IFLNK;
    default:
      return 0;
  }
}

const char* FileTypeName(mode_t type) {
  switch (type & S_IFMT) {
    case S_IFREG:
      return "regular file";
    case S_IFDIR:
      return "folder";
    case S_IFLNK:
      return "symbolic link";
    case S_IFIFO:
      return "named pipe";
    case S_IFCHR:
      return "character device";
    case S_IFBLK:
      return "block device";
    case S_IFSOCK:
      return "socket";
    default:
      return "unknown item";
  }
}

}  // namespace quorvel
