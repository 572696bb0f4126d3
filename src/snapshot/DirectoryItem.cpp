#include "snapshot/DirectoryItem.h"

#include <cinttypes>
#include <cstdio>

namespace quorvel {

namespace {

template <typename T>
bool SamePart(const std::shared_ptr<const T>& a, const std::shared_ptr<const T>& b) {
  if (a == b) return true;
  if (!a || !b) return false;
  return *a == *b;
}

}  // namespace

DirectoryItem::DirectoryItem(std::string path, const DirectoryItemData& data)
    : path_(std::move(path)),
      userInfo_(data.userInfo()),
      acl_(data.acl()),
      attributes_(data.extendedAttributes()),
      creationDate_(data.creationDate - kTimeIntervalSince1970),
      modificationDate_(data.modificationDate - kTimeIntervalSince1970),
      dataSize_(data.dataSize),
      revision_(data.revision),
      resourceSize_(data.resourceSize),
      nodeID_(data.nodeID),
      userID_(data.userID),
      groupID_(data.groupID),
      mode_(data.mode),
      flags_(data.userFlags) {}

std::uint64_t DirectoryItem::totalSize() const {
  std::uint64_t total = dataSize_ + resourceSize_;
  if (attributes_) {
    for (const auto& [name, value] : *attributes_) total += value.size();
  }
  return total;
}

bool DirectoryItem::isEqualToDirectoryItem(const DirectoryItem& other, bool compareMetadata) const {
  if (nodeID_ != other.nodeID_ || modificationDate_ != other.modificationDate_ ||
      creationDate_ != other.creationDate_)
    return false;
  if (!compareMetadata) return true;
  return userID_ == other.userID_ && groupID_ == other.groupID_ && mode_ == other.mode_ &&
         flags_ == other.flags_ && SamePart(acl_, other.acl_) &&
         SameExtendedAttributes(attributes_.get(), other.attributes_.get());
}

bool DirectoryItem::isEqualToObject(const Object& other) const {
  const auto* item = dynamic_cast<const DirectoryItem*>(&other);
  return item && isEqual(*item);
}

std::string DirectoryItem::description() const {
  return DescribeDirectoryItem(path_, revision_, userInfo_.get(), isDirectory(), dataSize_, resourceSize_);
}

std::string DescribeDirectoryItem(const std::string& path, std::uint32_t revision, const void* userInfo,
                                  bool isDirectory, std::uint64_t dataSize, std::uint32_t resourceSize) {
  char head[64];
  std::snprintf(head, sizeof head, "[%i - 0x%" PRIxPTR "] ", static_cast<int>(revision),
                reinterpret_cast<std::uintptr_t>(userInfo));
  std::string text = head;
  text += path;
  if (isDirectory) {
    text += '/';
  } else {
    char sizes[64];
    std::snprintf(sizes, sizeof sizes, " (%" PRIu64 ":%i bytes)", dataSize, static_cast<int>(resourceSize));
    text += sizes;
  }
  return text;
}

}  // namespace quorvel
