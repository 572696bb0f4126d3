// The scanner's record of one file-system item, and the maps that hold them.
//
// A record is a plain fixed-size struct (56 bytes) with three optional owned
// parts kept behind one pointer: the item's user info, its ACL text and its
// extended attributes. The parts are immutable once set and are shared with
// the DirectoryItem views and copies made from the record; releasing a record
// releases its references to them.
//
// Times count seconds since 1 January 1970 (unlike the object views, which
// count from 2001).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/Data.h"
#include "foundation/Value.h"

namespace quorvel {

namespace platform {
struct FileStatus;
}

// Extended attributes: name -> value bytes. Two maps are equal when they have
// the same names with byte-equal values.
using ExtendedAttributes = std::map<std::string, Data, std::less<>>;

struct DirectoryItemData {
  std::uint16_t mode = 0;       // type and permission bits; type bits only without metadata
  std::uint16_t userFlags = 0;  // low 16 bits of the inode flags; 0 without metadata
  std::uint32_t userID = 0;     // 0 without metadata
  std::uint32_t groupID = 0;    // 0 without metadata
  std::uint32_t nodeID = 0;     // inode number (low 32 bits)
  std::uint32_t revision = 0;   // snapshot revision in which the item last changed
  std::uint32_t resourceSize = 0;  // size of the resource-fork attribute of a regular file
  std::uint64_t dataSize = 0;      // 0 for directories
  double creationDate = 0;         // birth time, or status-change time without one
  double modificationDate = 0;

  DirectoryItemData() = default;
  ~DirectoryItemData();
  // Copies share the immutable optional parts.
  DirectoryItemData(const DirectoryItemData& other);
  DirectoryItemData& operator=(const DirectoryItemData& other);
  DirectoryItemData(DirectoryItemData&& other) noexcept = default;
  DirectoryItemData& operator=(DirectoryItemData&& other) noexcept = default;

  std::uint16_t type() const { return mode & 0xF000; }
  std::uint16_t permissions() const { return mode & 0x0FFF; }
  bool isDirectory() const { return type() == 0x4000; }
  bool isSymbolicLink() const { return type() == 0xA000; }
  bool isRegularFile() const { return type() == 0x8000; }

  // Optional parts; null when absent.
  const std::shared_ptr<const Value>& userInfo() const;
  const std::shared_ptr<const std::string>& acl() const;
  const std::shared_ptr<const ExtendedAttributes>& extendedAttributes() const;

  // A null value (or a null Value) removes the part. An empty attribute map
  // is stored as absent.
  void setUserInfo(std::shared_ptr<const Value> userInfo);
  void setUserInfo(const Value& userInfo);
  void setACL(std::shared_ptr<const std::string> acl);
  void setACL(std::optional<std::string> acl);
  void setExtendedAttributes(std::shared_ptr<const ExtendedAttributes> attributes);
  void setExtendedAttributes(ExtendedAttributes attributes);

  // Data size + resource size + the lengths of all attribute values.
  std::uint64_t totalSize() const;

 private:
  struct Parts {
    std::shared_ptr<const Value> userInfo;
    std::shared_ptr<const std::string> acl;
    std::shared_ptr<const ExtendedAttributes> attributes;
  };
  void dropEmptyParts();
  std::unique_ptr<Parts> parts_;
};

// Size of the attribute-name list buffer shared by the captures of a scan.
inline constexpr std::size_t kAttributeListBufferSize = 16384;

// Captures the record of one item from the file system.
//   path        full path of the item (used for symbolic links, the default
//               ACL and log lines)
//   status      the item's status (StatItem)
//   fd          an open descriptor of the item (OpenItem), or -1; regular
//               files and directories are opened here when -1 is given
//   listBuffer  kAttributeListBufferSize bytes for the attribute names
// Failures are written to the system log and answer no record.
std::optional<DirectoryItemData> CreateDirectoryItemData(const char* path, const platform::FileStatus& status,
                                                         bool scanMetadata, std::uint32_t revision,
                                                         char* listBuffer, int fd = -1);

// Records of one directory: item name -> record, ordered by the names' bytes.
// A sorted vector: compact (no per-entry allocation), cheap to walk, and fast
// to fill in name order.
class DirectoryItemMap {
 public:
  using Entry = std::pair<std::string, DirectoryItemData>;
  using iterator = std::vector<Entry>::iterator;
  using const_iterator = std::vector<Entry>::const_iterator;

  DirectoryItemMap() = default;
  // Takes entries in any order; names must be unique.
  static DirectoryItemMap fromUnsortedEntries(std::vector<Entry> entries);

  DirectoryItemData* find(std::string_view name);
  const DirectoryItemData* find(std::string_view name) const;
  bool contains(std::string_view name) const { return find(name) != nullptr; }
  // Inserts or replaces; appending names in ascending order is constant time.
  DirectoryItemData& insertOrAssign(std::string_view name, DirectoryItemData data);
  bool erase(std::string_view name);

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  void reserve(std::size_t count) { entries_.reserve(count); }
  void clear() { entries_.clear(); }
  void shrinkToFit() { entries_.shrink_to_fit(); }

  // Entries in name order. Do not change the names through these.
  iterator begin() { return entries_.begin(); }
  iterator end() { return entries_.end(); }
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }

 private:
  iterator lowerBound(std::string_view name);
  const_iterator lowerBound(std::string_view name) const;
  std::vector<Entry> entries_;
};

// Every scanned directory: subpath ("" for the root, "a/b" below it) -> its
// records. Ordered by the subpaths' bytes.
using DirectoryMap = std::map<std::string, DirectoryItemMap, std::less<>>;

}  // namespace quorvel
