// DirectoryItem: the object view of one snapshot record, handed to callers.
//
// A view is a copy of the record's fields plus a path; the optional parts
// (user info, ACL text, attributes) are shared with the record, never copied.
// Dates count seconds since 1 January 2001 (the record's value minus
// 978307200). Views are equal when their paths are equal.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "foundation/Value.h"
#include "snapshot/DirectoryItemData.h"

namespace quorvel {

class DirectoryItem;
using DirectoryItemPtr = std::shared_ptr<DirectoryItem>;

class DirectoryItem : public Object {
 public:
  // initWithPath:data:
  DirectoryItem(std::string path, const DirectoryItemData& data);
  static DirectoryItemPtr initWithPath(std::string path, const DirectoryItemData& data) {
    return std::make_shared<DirectoryItem>(std::move(path), data);
  }

  const std::string& path() const { return path_; }
  void setPath(std::string path) { path_ = std::move(path); }

  std::uint32_t revision() const { return revision_; }
  double creationDate() const { return creationDate_; }
  double modificationDate() const { return modificationDate_; }
  std::uint64_t dataSize() const { return dataSize_; }
  std::uint32_t resourceSize() const { return resourceSize_; }
  std::uint32_t nodeID() const { return nodeID_; }
  std::uint32_t userID() const { return userID_; }
  std::uint32_t groupID() const { return groupID_; }
  std::uint16_t userFlags() const { return flags_; }
  std::uint16_t flags() const { return flags_; }
  std::uint16_t mode() const { return mode_; }
  // Null when absent.
  const std::shared_ptr<const Value>& userInfo() const { return userInfo_; }
  const std::shared_ptr<const std::string>& ACLText() const { return acl_; }
  const std::shared_ptr<const ExtendedAttributes>& extendedAttributes() const { return attributes_; }

  bool isDirectory() const { return (mode_ & 0xF000) == 0x4000; }
  bool isSymbolicLink() const { return (mode_ & 0xF000) == 0xA000; }
  std::uint16_t permissions() const { return mode_ & 0x0FFF; }

  // Data size + resource size + the lengths of all attribute values.
  std::uint64_t totalSize() const;

  // Equal node number, modification date and creation date (exact); with
  // metadata also owner, group, mode with flags, ACL text and attributes.
  // Sizes are not compared.
  bool isEqualToDirectoryItem(const DirectoryItem& other, bool compareMetadata) const;

  // Equality and hash by path alone.
  bool isEqual(const DirectoryItem& other) const { return path_ == other.path_; }
  std::size_t hash() const { return std::hash<std::string>()(path_); }

  // "[revision - user info] path/" for a directory, otherwise
  // "[revision - user info] path (data size:resource size bytes)".
  std::string description() const override;

  // Object
  std::string className() const override { return "DirectoryItem"; }
  bool isEqualToObject(const Object& other) const override;

 private:
  std::string path_;
  std::shared_ptr<const Value> userInfo_;
  std::shared_ptr<const std::string> acl_;
  std::shared_ptr<const ExtendedAttributes> attributes_;
  double creationDate_;
  double modificationDate_;
  std::uint64_t dataSize_;
  std::uint32_t revision_;
  std::uint32_t resourceSize_;
  std::uint32_t nodeID_;
  std::uint32_t userID_;
  std::uint32_t groupID_;
  std::uint16_t mode_;
  std::uint16_t flags_;
};

// The description line of one item: "[%i - %p] %@/" for a directory,
// otherwise "[%i - %p] %@ (%qu:%i bytes)", filled with the revision, the
// address of the user info ("0x0" without), the name or path, and the sizes.
std::string DescribeDirectoryItem(const std::string& path, std::uint32_t revision, const void* userInfo,
                                  bool isDirectory, std::uint64_t dataSize, std::uint32_t resourceSize);

}  // namespace quorvel
