// AppleDouble companions: an item's extended attributes, resource fork and
// ACL packed into one byte stream, as "._name" files and ".apdb" metadata
// files carry them.
//
// Layout (RFC 1740 AppleDouble version 2, big-endian throughout):
//
//   0   magic 0x00051607, version 0x00020000, 16 filler bytes, entry count 2
//   26  entry table: Finder info (id 9) at 50, resource fork (id 2) after
//       the attribute data
//   50  32 bytes of Finder info, 2 bytes of padding
//   84  attribute header: "ATTR", debug tag, total size, data start, data
//       length, 3 reserved words, flags (16 bits), attribute count (16 bits)
//   120 attribute entries: data offset, data length (32 bits each), flags
//       (16 bits), name length with its NUL (8 bits), the name and a NUL,
//       padded to a multiple of 4 bytes
//       then the attribute values, one after another
//       then the resource fork
//
// Every offset is counted from the start of the stream. The Finder-info
// entry covers the Finder info, the attribute header, the entries and the
// values, so readers that only know the classic format still find the
// resource fork.
//
// Names: an attribute is stored under its recorded name (see
// ExtendedAttributeNames.h): "user.x" as "x", as Mac OS X names its
// attributes, while "trusted.y" and "security.z" keep their namespace.
// Three things are special:
//   - "user.com.apple.ResourceFork" is the resource fork entry, not an
//     attribute;
//   - the POSIX ACL ("system.posix_acl_access" / "system.posix_acl_default")
//     is stored as the attribute "com.apple.acl.text" holding the ACL text
//     (one entry per line, default entries prefixed "default:");
//   - on unpacking, a name without a Linux namespace (written elsewhere, for
//     example "com.apple.FinderInfo") gets the prefix "user.", and non-zero
//     Finder info without such an attribute becomes
//     "user.com.apple.FinderInfo".
//
// Nothing here follows a final symbolic link. All functions are reentrant;
// failures come back as errno values plus a short text, never thrown.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "foundation/Data.h"
#include "foundation/Status.h"

namespace quorvel {

inline constexpr std::uint32_t kAppleDoubleMagic = 0x00051607;
inline constexpr std::uint32_t kAppleDoubleVersion = 0x00020000;
inline constexpr std::uint32_t kAppleDoubleResourceForkEntry = 2;
inline constexpr std::uint32_t kAppleDoubleFinderInfoEntry = 9;
// The attribute that carries the ACL text inside AppleDouble data.
inline constexpr const char* kAppleDoubleACLAttributeName = "com.apple.acl.text";

// The decoded form. Attribute names are kept exactly as stored.
struct AppleDoubleContents {
  std::array<std::uint8_t, 32> finderInfo{};
  std::vector<std::pair<std::string, Data>> attributes;
  Data resourceFork;

  bool empty() const;
};

// Failures below are kPosixDomain Status values: the errno of the failed
// call ("<call>: <system text> (<attribute>)"), or EINVAL / EOVERFLOW /
// ENAMETOOLONG / EFBIG with a text saying what is wrong with the data.

// Encodes contents. A failure when a name is empty, holds a NUL or is longer
// than 254 bytes, or the result would pass 4 GiB.
Expected<Data> EncodeAppleDouble(const AppleDoubleContents& contents);
// Decodes bytes, checking every offset and length against the input; a
// failure (EINVAL) for anything malformed.
Expected<AppleDoubleContents> DecodeAppleDouble(const Data& data);

// Reads what an AppleDouble companion of the item would carry: every
// attribute the process can read except the two ACL attributes, the resource
// fork attribute as the resource fork, and the ACL text.
Expected<AppleDoubleContents> AppleDoubleContentsForPath(const std::string& path);

// Packs the item's extended attributes, resource fork and ACL (never following a final symlink) into AppleDouble bytes.
Expected<Data> AppleDoubleDataForPath(const std::string& path);
// Applies AppleDouble bytes to the item: sets the attributes (lsetxattr), the resource fork attribute, and the ACL
// (when the text attribute is present). Malformed bytes give EINVAL and change nothing. An ACL text written by
// Mac OS X ("!#acl 1", see ExtendedACLText.h) never fails: what maps to POSIX is set, and each part that does
// not (or the whole ACL, on a link) is described in `unmapped` when given.
Status ApplyAppleDoubleData(const Data& data, const std::string& path, std::vector<std::string>* unmapped = nullptr);
// File forms (the ".apdb" metadata file): pack into / unpack from a file. Packing replaces the file (mode 0600).
Status AppleDoublePack(const std::string& path, const std::string& appleDoublePath);
Status AppleDoubleUnpack(const std::string& appleDoublePath, const std::string& path);
// True when the item has anything an AppleDouble companion would carry (attributes, resource fork or an ACL).
bool HasAppleDoubleMetadata(const std::string& path);

// The item's POSIX ACL as text, in the snapshot's form: the access ACL when
// it says more than the permission bits, then a directory's default ACL with
// its entries prefixed "default:", one entry per line. Nothing (and errno 0)
// when there is neither; nothing with the errno when reading fails. Symbolic
// links have no ACL.
std::optional<std::string> ACLTextForPath(const std::string& path, int* errorNumber = nullptr);
// Sets the access ACL from the text's plain lines and the default ACL from
// its "default:" lines; an ACL without lines in the text is left as it is.
// Never follows a final symbolic link (links have no ACL: EOPNOTSUPP). A
// default ACL on anything but a directory, or text libacl rejects, gives
// EINVAL. Returns 0 or an errno value.
int SetACLText(const std::string& path, const std::string& text);

}  // namespace quorvel
