#include "snapshot/platform/FileMetadata.h"

#include "foundation/AppleDouble.h"

#include <acl/libacl.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/acl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace quorvel::platform {

namespace {

double Seconds(std::int64_t seconds, std::uint32_t nanoseconds) {
  return static_cast<double>(seconds) + static_cast<double>(nanoseconds) / 1e9;
}

}  // namespace

double FileStatus::modificationTime() const { return Seconds(modificationSeconds, modificationNanoseconds); }

double FileStatus::statusChangeTime() const { return Seconds(statusChangeSeconds, statusChangeNanoseconds); }

double FileStatus::creationTime() const {
  return hasBirthTime ? Seconds(birthSeconds, birthNanoseconds) : statusChangeTime();
}

int StatItem(int dirfd, const char* name, FileStatus* status) {
  struct statx sx;
  if (statx(dirfd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0)
    return errno;
  status->mode = sx.stx_mode;
  status->nodeID = sx.stx_ino;
  status->userID = sx.stx_uid;
  status->groupID = sx.stx_gid;
  status->size = sx.stx_size;
  status->modificationSeconds = sx.stx_mtime.tv_sec;
  status->modificationNanoseconds = sx.stx_mtime.tv_nsec;
  status->statusChangeSeconds = sx.stx_ctime.tv_sec;
  status->statusChangeNanoseconds = sx.stx_ctime.tv_nsec;
  status->hasBirthTime = (sx.stx_mask & STATX_BTIME) != 0;
  status->birthSeconds = status->hasBirthTime ? sx.stx_btime.tv_sec : 0;
  status->birthNanoseconds = status->hasBirthTime ? sx.stx_btime.tv_nsec : 0;
  return 0;
}

int OpenItem(int dirfd, const char* name, bool directory) {
  int flags = O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
  if (directory) flags |= O_DIRECTORY;
  return openat(dirfd, name, flags);
}

std::uint16_t ReadItemFlags(int fd) {
  if (fd < 0) return 0;
  int flags = 0;
  if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) return 0;
  return static_cast<std::uint16_t>(flags & 0xFFFF);
}

ssize_t ListAttributeNames(const ItemHandle& item, char* buffer, std::size_t size) {
  if (item.fd >= 0) return flistxattr(item.fd, buffer, size);
  return llistxattr(item.path, buffer, size);
}

ssize_t ReadAttribute(const ItemHandle& item, const char* name, void* value, std::size_t size) {
  if (item.fd >= 0) return fgetxattr(item.fd, name, value, size);
  return lgetxattr(item.path, name, value, size);
}

ACLResult ReadACLText(const ItemHandle& item, bool access, bool defaultACL) {
  return quorvel::ReadACLText(item.path, item.fd, access, defaultACL);
}

// The conversion lives with the AppleDouble code, which needs it below this
// layer as well.
int WriteACLText(const char* path, const std::string& text) { return quorvel::SetACLText(path, text); }

}  // namespace quorvel::platform
