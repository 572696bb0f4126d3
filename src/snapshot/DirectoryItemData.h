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
#include <ostream>
#include <type_traits>
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

// Extended attributes: recorded name -> value bytes. A capture records user
// attributes without "user." ("com.apple.FinderInfo", as Mac OS X names
// them) and others with their namespace (foundation/ExtendedAttributeNames.h).
// Two maps are equal (==) when they have the same names with byte-equal
// values; SameExtendedAttributes compares what they mean.
using ExtendedAttributes = std::map<std::string, Data, std::less<>>;

// Whether two attribute maps (either may be absent) hold the same attributes:
// byte-equal values under names that mean the same attribute on Linux, so a
// map recorded with "user.x" matches one recorded with "x" (see
// foundation/ExtendedAttributeNames.h). Absent matches only absent.
bool SameExtendedAttributes(const ExtendedAttributes* a, const ExtendedAttributes* b);

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

// The name of an entry of a DirectoryItemMap: a view of the map's name
// storage, valid until the map changes. Converts to std::string_view and to
// std::string, compares with texts, and joins texts with "+".
class DirectoryItemName {
 public:
  constexpr DirectoryItemName() = default;
  constexpr explicit DirectoryItemName(std::string_view text) : text_(text) {}
  constexpr operator std::string_view() const { return text_; }
  operator std::string() const { return std::string(text_); }
  constexpr std::string_view view() const { return text_; }
  std::string str() const { return std::string(text_); }
  constexpr const char* data() const { return text_.data(); }
  constexpr std::size_t size() const { return text_.size(); }
  constexpr bool empty() const { return text_.empty(); }

  friend constexpr bool operator==(DirectoryItemName a, DirectoryItemName b) { return a.text_ == b.text_; }
  friend constexpr auto operator<=>(DirectoryItemName a, DirectoryItemName b) { return a.text_ <=> b.text_; }
  friend constexpr bool operator==(DirectoryItemName a, std::string_view b) { return a.text_ == b; }
  friend constexpr auto operator<=>(DirectoryItemName a, std::string_view b) { return a.text_ <=> b; }
  friend std::string operator+(std::string a, DirectoryItemName b) { return a.append(b.text_); }
  friend std::string operator+(const char* a, DirectoryItemName b) { return std::string(a).append(b.text_); }
  friend std::string operator+(DirectoryItemName a, std::string_view b) {
    return std::string(a.text_).append(b);
  }
  friend std::ostream& operator<<(std::ostream& out, DirectoryItemName name) { return out << name.text_; }

 private:
  std::string_view text_;
};

// Records of one directory: item name -> record, ordered by the names' bytes.
// Compact: the records sit in one vector next to a 4-byte offset and length
// into one buffer holding all names, so an entry costs 64 bytes plus its
// name (no allocation per entry). Entries come out as {first: name, second:
// record}; iterate with `for (auto&& [name, record] : map)` (or const auto&).
// Any change to the map invalidates names and records handed out before.
class DirectoryItemMap {
  struct Slot {
    std::uint32_t nameOffset;
    std::uint32_t nameLength;
    DirectoryItemData data;
  };

 public:
  template <bool Const>
  class Iterator {
    using SlotIterator =
        std::conditional_t<Const, std::vector<Slot>::const_iterator, std::vector<Slot>::iterator>;
    using Record = std::conditional_t<Const, const DirectoryItemData, DirectoryItemData>;

   public:
    struct Entry {
      DirectoryItemName first;
      Record& second;
    };
    struct Arrow {
      Entry entry;
      const Entry* operator->() const { return &entry; }
    };
    using value_type = Entry;
    using difference_type = std::ptrdiff_t;

    Iterator() = default;
    Entry operator*() const {
      return {DirectoryItemName(std::string_view(names_->data() + slot_->nameOffset, slot_->nameLength)),
              slot_->data};
    }
    Arrow operator->() const { return {**this}; }
    Iterator& operator++() {
      ++slot_;
      return *this;
    }
    Iterator operator++(int) {
      Iterator old = *this;
      ++slot_;
      return old;
    }
    bool operator==(const Iterator& other) const { return slot_ == other.slot_; }
    operator Iterator<true>() const { return Iterator<true>(slot_, names_); }

   private:
    friend class DirectoryItemMap;
    friend class Iterator<!Const>;
    Iterator(SlotIterator slot, const std::string* names) : slot_(slot), names_(names) {}
    SlotIterator slot_{};
    const std::string* names_ = nullptr;
  };
  using iterator = Iterator<false>;
  using const_iterator = Iterator<true>;

  DirectoryItemMap() = default;
  // Takes entries in any order; names must be unique.
  static DirectoryItemMap fromUnsortedEntries(std::vector<std::pair<std::string, DirectoryItemData>> entries);

  DirectoryItemData* find(std::string_view name);
  const DirectoryItemData* find(std::string_view name) const;
  bool contains(std::string_view name) const { return find(name) != nullptr; }
  // Inserts or replaces; appending names in ascending order is constant time.
  DirectoryItemData& insertOrAssign(std::string_view name, DirectoryItemData data);
  bool erase(std::string_view name);

  // Filling in any order: append every entry (names must be unique), then
  // sort once. Lookups are wrong until sortByName() ran.
  void appendUnsorted(std::string_view name, DirectoryItemData data);
  void sortByName();

  std::size_t size() const { return slots_.size(); }
  bool empty() const { return slots_.empty(); }
  void reserve(std::size_t count) { slots_.reserve(count); }
  void clear();
  // Releases spare capacity (and the space of erased names).
  void shrinkToFit();

  // Entries in name order.
  iterator begin() { return iterator(slots_.begin(), &names_); }
  iterator end() { return iterator(slots_.end(), &names_); }
  const_iterator begin() const { return const_iterator(slots_.begin(), &names_); }
  const_iterator end() const { return const_iterator(slots_.end(), &names_); }

 private:
  std::string_view nameOf(const Slot& slot) const {
    return std::string_view(names_.data() + slot.nameOffset, slot.nameLength);
  }
  std::vector<Slot>::iterator lowerBound(std::string_view name);
  std::vector<Slot>::const_iterator lowerBound(std::string_view name) const;
  Slot makeSlot(std::string_view name, DirectoryItemData data);
  std::vector<Slot> slots_;
  std::string names_;          // every name back to back, no separators
  std::size_t unusedNames_ = 0;  // bytes of erased or replaced names
};

// Every scanned directory: subpath ("" for the root, "a/b" below it) -> its
// records. Ordered by the subpaths' bytes.
using DirectoryMap = std::map<std::string, DirectoryItemMap, std::less<>>;

}  // namespace quorvel
