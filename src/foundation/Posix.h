// Thin owners of operating-system handles and the one place that turns errno
// values into text and into the retry decision.
#pragma once

#include <sys/acl.h>

#include <optional>
#include <string>

namespace quorvel {

// strerror's text for an errno value (thread-safe).
std::string ErrnoText(int errorNumber);

// fsync, repeated when interrupted. A file system that offers no sync for the
// item (some network and FUSE file systems for folders: EINVAL, ENOTSUP,
// ENOSYS) counts as synced, since nothing more can be done there. 0 or the
// errno of the failure.
int SyncDescriptor(int fd);

// Called on the syncing thread with every descriptor SyncDescriptor has
// flushed, before it returns; none by default. It lets a test model what a
// power cut would keep. Install it while no sync runs.
using SyncObserver = void (*)(int fd);
void SetSyncObserver(SyncObserver observer);

// The folder part of a path: "." without a slash, "/" for an item at the root.
std::string ParentFolderOf(const std::string& path);

// Owns a file descriptor: closes it when destroyed or reset. -1 is "none".
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the present descriptor (if any) and owns `fd`.
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Owns an acl_t (or text libacl allocated): acl_free when destroyed.
class AclHandle {
 public:
  explicit AclHandle(acl_t acl) : acl_(acl) {}
  ~AclHandle();
  AclHandle(const AclHandle&) = delete;
  AclHandle& operator=(const AclHandle&) = delete;
  acl_t get() const { return acl_; }
  explicit operator bool() const { return acl_ != nullptr; }

 private:
  acl_t acl_;
};

// An item's POSIX ACLs as one text: the access ACL when it says more than the
// permission bits, then the default ACL (directories only), its entries
// prefixed "default:"; one entry per line. Read through `fd` when it is not
// -1 (the access ACL), else by `path` without following a final link.
struct ACLTextResult {
  std::optional<std::string> text;  // nothing when there are no such ACLs
  int error = 0;                    // errno of the failed call, 0 on success
  const char* failedCall = nullptr; // "acl_get_file" or "acl_to_text"
};
ACLTextResult ReadACLText(const char* path, int fd, bool access, bool defaultACL);

}  // namespace quorvel
