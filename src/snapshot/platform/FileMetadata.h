// Linux metadata of one file-system item, as the snapshot records it.
//
// Everything here is a thin layer over system calls: it reports errno values
// and never logs; the record capture above it decides what a failure means.
//
//   status            statx() without following links; birth time when the
//                     file system records one
//   flags             inode flags from FS_IOC_GETFLAGS (low 16 bits), 0 when
//                     the file system refuses the request
//   ACL               POSIX ACLs through libacl, as one text
//   attributes        llistxattr/lgetxattr, or their fd forms on an open item
//
// The functions are reentrant; callers provide their own buffers.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

#include "foundation/Posix.h"

namespace quorvel::platform {

// Attribute names the snapshot treats specially.
inline constexpr const char* kResourceForkAttributeName = "user.com.apple.ResourceFork";
inline constexpr const char* kTimeMachineAttributePrefix = "user._kTimeMachine";
inline constexpr const char* kAccessACLAttributeName = "system.posix_acl_access";
inline constexpr const char* kDefaultACLAttributeName = "system.posix_acl_default";

// File type bits as the snapshot stores them (the classic st_mode values).
inline constexpr std::uint32_t kTypeMask = 0xF000;
inline constexpr std::uint32_t kTypeDirectory = 0x4000;
inline constexpr std::uint32_t kTypeRegular = 0x8000;
inline constexpr std::uint32_t kTypeSymbolicLink = 0xA000;

struct FileStatus {
  std::uint32_t mode = 0;
  std::uint64_t nodeID = 0;
  std::uint32_t userID = 0;
  std::uint32_t groupID = 0;
  std::uint64_t size = 0;
  std::int64_t modificationSeconds = 0;
  std::uint32_t modificationNanoseconds = 0;
  std::int64_t statusChangeSeconds = 0;
  std::uint32_t statusChangeNanoseconds = 0;
  bool hasBirthTime = false;
  std::int64_t birthSeconds = 0;
  std::uint32_t birthNanoseconds = 0;

  std::uint32_t type() const { return mode & kTypeMask; }
  bool isDirectory() const { return type() == kTypeDirectory; }
  bool isRegularFile() const { return type() == kTypeRegular; }
  bool isSymbolicLink() const { return type() == kTypeSymbolicLink; }
  // Seconds since 1970 with the nanoseconds as a fraction.
  double modificationTime() const;
  double statusChangeTime() const;
  // The birth time, or the status-change time when there is none.
  double creationTime() const;
};

// statx() of `name` relative to `dirfd` (AT_FDCWD for a path), not following
// a final symbolic link. Returns 0 or an errno value.
int StatItem(int dirfd, const char* name, FileStatus* status);

// Opens a regular file or a directory for reading its metadata (read-only,
// non-blocking, never following a final link). Returns the descriptor or -1
// with errno set. A successful open of a regular file also proves that the
// process may read it.
int OpenItem(int dirfd, const char* name, bool directory);

// Where the attribute calls go: the open descriptor when there is one,
// otherwise the path (symbolic links, items that could not be opened). The
// path is always set (the default ACL can only be read by path).
struct ItemHandle {
  int fd = -1;
  const char* path = nullptr;
};

// The inode flags (low 16 bits) of an open item; 0 when the file system does
// not support them or there is no descriptor.
std::uint16_t ReadItemFlags(int fd);

// Lists the item's attribute names (NUL-separated) into buffer. Returns the
// byte count, or -1 with errno set.
ssize_t ListAttributeNames(const ItemHandle& item, char* buffer, std::size_t size);

// Reads one attribute value; with size 0 answers the value's size. Returns
// the byte count, or -1 with errno set.
ssize_t ReadAttribute(const ItemHandle& item, const char* name, void* value, std::size_t size);

// The item's POSIX ACL as text: the access ACL when it says more than the
// permission bits, then (for a directory) the default ACL with its entries
// prefixed "default:"; one entry per line, each ending in a newline. Absent
// when neither exists.
using ACLResult = ACLTextResult;
// `access` and `defaultACL` say which of the two ACL attributes the item has
// (from its attribute list); only those are read.
ACLResult ReadACLText(const ItemHandle& item, bool access, bool defaultACL);

// Sets the item's ACL from text in ReadACLText's form: plain lines make the
// access ACL, lines beginning "default:" the default ACL (directories only).
// An ACL with no lines in the text is left as it is; empty text changes
// nothing. A final symbolic link is never followed (links carry no ACL:
// EOPNOTSUPP). Returns 0 or an errno value (EINVAL for text libacl rejects).
int WriteACLText(const char* path, const std::string& text);

}  // namespace quorvel::platform
