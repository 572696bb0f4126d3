#include "foundation/Posix.h"

#include <acl/libacl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "foundation/Status.h"

namespace quorvel {

std::string ErrnoText(int errorNumber) {
  char buffer[256];
  // GNU strerror_r answers a pointer that may or may not be the buffer.
  return std::string(strerror_r(errorNumber, buffer, sizeof buffer));
}

namespace {
std::atomic<SyncObserver> g_syncObserver{nullptr};
}  // namespace

void SetSyncObserver(SyncObserver observer) { g_syncObserver.store(observer); }

int SyncDescriptor(int fd) {
  int result;
  do {
    result = ::fsync(fd);
  } while (result != 0 && errno == EINTR);
  if (result != 0 && errno != EINVAL && errno != ENOTSUP && errno != ENOSYS) return errno;
  if (SyncObserver observer = g_syncObserver.load()) observer(fd);
  return 0;
}

std::string ParentFolderOf(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool IsPermanentErrno(int errorNumber) {
  switch (errorNumber) {
    case ENOSPC:
    case EDQUOT:
    case EACCES:
    case EPERM:
    case EROFS:
    case EFBIG:
      return true;
    default:
      return false;
  }
}

Status Status::posix(int errorNumber, const std::string& what) {
  std::string text = what.empty() ? ErrnoText(errorNumber) : what + ": " + ErrnoText(errorNumber);
  return Status(kPosixDomain, errorNumber, std::move(text),
                IsPermanentErrno(errorNumber) ? Permanence::kPermanent : Permanence::kTransient);
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

AclHandle::~AclHandle() {
  if (acl_) acl_free(acl_);
}

namespace {

// Appends the ACL's entries, one per line, each with the prefix.
int AppendACLText(acl_t acl, const char* prefix, std::string* text) {
  char* entries = acl_to_any_text(acl, prefix, '\n', 0);
  if (!entries) return errno ? errno : EINVAL;
  if (*entries) {
    text->append(entries);
    text->push_back('\n');
  }
  acl_free(entries);
  return 0;
}

// Reads one ACL and appends it; `ignored` lists errno values that mean "no
// such ACL here". Answers false with the result's error fields set.
bool AppendOneACL(acl_t acl, bool skipEquivalent, const char* prefix, std::initializer_list<int> ignored,
                  std::string* text, ACLTextResult* result) {
  if (!acl) {
    for (int code : ignored)
      if (errno == code) return true;
    result->error = errno;
    result->failedCall = "acl_get_file";
    return false;
  }
  AclHandle owned(acl);
  // An access ACL that only repeats the permission bits says nothing.
  if (skipEquivalent && acl_equiv_mode(acl, nullptr) == 0) return true;
  if (int error = AppendACLText(acl, prefix, text)) {
    result->error = error;
    result->failedCall = "acl_to_text";
    return false;
  }
  return true;
}

}  // namespace

ACLTextResult ReadACLText(const char* path, int fd, bool access, bool defaultACL) {
  ACLTextResult result;
  std::string text;
  if (access) {
    acl_t acl = fd >= 0 ? acl_get_fd(fd) : acl_get_file(path, ACL_TYPE_ACCESS);
    if (!AppendOneACL(acl, true, nullptr, {ENODATA, ENOTSUP}, &text, &result)) return result;
  }
  if (defaultACL) {
    // Only directories carry default ACLs; anything else answers EACCES.
    acl_t acl = acl_get_file(path, ACL_TYPE_DEFAULT);
    if (!AppendOneACL(acl, false, "default:", {ENODATA, ENOTSUP, EACCES}, &text, &result)) return result;
  }
  if (!text.empty()) result.text = std::move(text);
  return result;
}

}  // namespace quorvel
