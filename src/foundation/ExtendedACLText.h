// The Mac OS X extended-ACL text (what its acl_to_text writes, and what
// AppleDouble companions and snapshots made on Mac OS X carry), read so that
// its user and group entries can become POSIX ACL entries here.
//
// The text is a header line "!#acl 1" (optionally followed by ACL-wide flags
// such as "defer_inherit"), then one entry per line:
//
//   user:FFFFEEEE-DDDD-CCCC-BBBB-AAAA000001F5:alice:501:allow:read,write
//   group:ABCDEFAB-CDEF-ABCD-EFAB-CDEF0000000C:staff:20:deny:delete
//
// the fields being the kind (user or group), the UUID, the name, the numeric
// ID, allow or deny, and a comma-separated list of permissions and entry
// flags. What maps to POSIX:
//   read, list                                  -> r
//   write, append, add_file, add_subdirectory   -> w
//   execute, search                             -> x
// for allow entries of a user or group with a numeric ID. Everything else is
// left out and described in `unmapped`: deny entries, entries without a
// numeric ID (unknown users), permissions without a POSIX counterpart
// (delete, chown, readattr, ...), inheritance flags (an "only_inherit" entry
// does not apply to the item at all) and ACL-wide flags. "inherited" only
// says where an entry came from and is dropped without a word.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

struct PosixACLEntry {
  enum class Tag { User, Group };
  Tag tag = Tag::User;
  std::uint32_t id = 0;
  // POSIX permission bits: 4 read, 2 write, 1 execute.
  unsigned permissions = 0;
  bool operator==(const PosixACLEntry&) const = default;
};

struct ExtendedACLMapping {
  // One entry per user and per group (permissions of repeated entries
  // joined), users first, each kind by ID.
  std::vector<PosixACLEntry> entries;
  // What was left out, one line per entry or flag, for the item's report.
  std::vector<std::string> unmapped;
};

// True when the text begins with the extended-ACL header "!#acl ".
bool IsExtendedACLText(std::string_view text);
// Maps an extended-ACL text; nothing when it does not begin with a version 1
// header.
std::optional<ExtendedACLMapping> MapExtendedACLText(std::string_view text);
// The POSIX access ACL text for the entries on an item with the given
// permission bits: the owner, group and other entries from the bits, then
// the named entries ("user:501:rw-"). Empty without entries.
std::string PosixACLTextForEntries(const std::vector<PosixACLEntry>& entries, unsigned mode);
// The named access entries of a POSIX ACL text as the snapshot records it
// (names resolved to IDs through the user and group databases; "default:"
// lines and the owner, group, mask and other entries left out), in the
// order MapExtendedACLText uses. Nothing for a line it cannot read.
std::optional<std::vector<PosixACLEntry>> NamedEntriesOfPosixACLText(std::string_view text);
// Whether a restored item's ACL text (absent: no ACL) matches the recorded
// one: equal texts; or, for a recorded extended-ACL text, named POSIX
// entries equal to what that text maps to (none when nothing maps).
bool ACLTextsMatch(const std::optional<std::string>& recorded, const std::optional<std::string>& restored);

}  // namespace quorvel
