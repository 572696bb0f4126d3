#include "snapshot/DirectoryItemData.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "foundation/ExtendedAttributeNames.h"
#include "foundation/SystemLog.h"
#include "snapshot/platform/FileMetadata.h"
#include "foundation/Posix.h"

namespace quorvel {

// ---- Record

namespace {
const std::shared_ptr<const Value> kNoUserInfo;
const std::shared_ptr<const std::string> kNoACL;
const std::shared_ptr<const ExtendedAttributes> kNoAttributes;
}  // namespace

bool SameExtendedAttributes(const ExtendedAttributes* a, const ExtendedAttributes* b) {
  if (a == b) return true;
  if (!a || !b || a->size() != b->size()) return false;
  if (*a == *b) return true;
  std::map<std::string, const Data*> linuxA;
  for (const auto& [name, value] : *a) linuxA.emplace(LinuxAttributeName(name), &value);
  if (linuxA.size() != a->size()) return false;
  for (const auto& [name, value] : *b) {
    auto found = linuxA.find(LinuxAttributeName(name));
    if (found == linuxA.end() || *found->second != value) return false;
    linuxA.erase(found);
  }
  return linuxA.empty();
}

DirectoryItemData::~DirectoryItemData() = default;

DirectoryItemData::DirectoryItemData(const DirectoryItemData& other)
    : mode(other.mode),
      userFlags(other.userFlags),
      userID(other.userID),
      groupID(other.groupID),
      nodeID(other.nodeID),
      revision(other.revision),
      resourceSize(other.resourceSize),
      dataSize(other.dataSize),
      creationDate(other.creationDate),
      modificationDate(other.modificationDate),
      parts_(other.parts_ ? std::make_unique<Parts>(*other.parts_) : nullptr) {}

DirectoryItemData& DirectoryItemData::operator=(const DirectoryItemData& other) {
  if (this != &other) {
    DirectoryItemData copy(other);
    *this = std::move(copy);
  }
  return *this;
}

const std::shared_ptr<const Value>& DirectoryItemData::userInfo() const {
  return parts_ ? parts_->userInfo : kNoUserInfo;
}

const std::shared_ptr<const std::string>& DirectoryItemData::acl() const { return parts_ ? parts_->acl : kNoACL; }

const std::shared_ptr<const ExtendedAttributes>& DirectoryItemData::extendedAttributes() const {
  return parts_ ? parts_->attributes : kNoAttributes;
}

void DirectoryItemData::setUserInfo(std::shared_ptr<const Value> userInfo) {
  if (userInfo && userInfo->isNull()) userInfo.reset();
  if (!userInfo && !parts_) return;
  if (!parts_) parts_ = std::make_unique<Parts>();
  parts_->userInfo = std::move(userInfo);
  dropEmptyParts();
}

void DirectoryItemData::setUserInfo(const Value& userInfo) {
  setUserInfo(userInfo.isNull() ? nullptr : std::make_shared<const Value>(userInfo));
}

void DirectoryItemData::setACL(std::shared_ptr<const std::string> acl) {
  if (!acl && !parts_) return;
  if (!parts_) parts_ = std::make_unique<Parts>();
  parts_->acl = std::move(acl);
  dropEmptyParts();
}

void DirectoryItemData::setACL(std::optional<std::string> acl) {
  setACL(acl ? std::make_shared<const std::string>(std::move(*acl)) : nullptr);
}

void DirectoryItemData::setExtendedAttributes(std::shared_ptr<const ExtendedAttributes> attributes) {
  if (attributes && attributes->empty()) attributes.reset();
  if (!attributes && !parts_) return;
  if (!parts_) parts_ = std::make_unique<Parts>();
  parts_->attributes = std::move(attributes);
  dropEmptyParts();
}

void DirectoryItemData::setExtendedAttributes(ExtendedAttributes attributes) {
  setExtendedAttributes(attributes.empty() ? nullptr
                                           : std::make_shared<const ExtendedAttributes>(std::move(attributes)));
}

void DirectoryItemData::dropEmptyParts() {
  if (parts_ && !parts_->userInfo && !parts_->acl && !parts_->attributes) parts_.reset();
}

std::uint64_t DirectoryItemData::totalSize() const {
  std::uint64_t total = dataSize + resourceSize;
  if (const auto& attributes = extendedAttributes()) {
    for (const auto& [name, value] : *attributes) total += value.size();
  }
  return total;
}

// ---- Capture

namespace {

constexpr const char* kCaptureFunction = "_CreateDirectoryItemData";

bool HasPrefix(const char* name, const char* prefix) { return strncmp(name, prefix, strlen(prefix)) == 0; }

// Size of the resource-fork attribute; 0 when it is missing or unreadable.
std::uint32_t ResourceForkSize(const platform::ItemHandle& item, const char* path) {
  ssize_t size = platform::ReadAttribute(item, platform::kResourceForkAttributeName, nullptr, 0);
  if (size >= 0) return static_cast<std::uint32_t>(size);
  int error = errno;
  if (error != ENODATA && error != ENOTSUP) {
    SystemLog("%s: getxattr() for 'XATTR_RESOURCEFORK_NAME' on \"%s\" failed with error \"%s\"", kCaptureFunction,
              path, strerror(error));
  }
  return 0;
}

// Reads the attributes named in the list. Answers false (after logging) when
// a read fails for another reason than the attribute vanishing or being
// unreadable for this process.
bool ReadAttributes(const platform::ItemHandle& item, const char* path, const char* names, std::size_t length,
                    ExtendedAttributes* attributes) {
  for (const char* name = names; name < names + length; name += strlen(name) + 1) {
    if (!*name) continue;
    if (strcmp(name, platform::kResourceForkAttributeName) == 0 ||
        strcmp(name, platform::kAccessACLAttributeName) == 0 ||
        strcmp(name, platform::kDefaultACLAttributeName) == 0 ||
        HasPrefix(name, platform::kTimeMachineAttributePrefix))
      continue;
    ssize_t size = platform::ReadAttribute(item, name, nullptr, 0);
    if (size >= 0) {
      Data value(static_cast<std::size_t>(size));
      ssize_t read = platform::ReadAttribute(item, name, value.data(), value.size());
      // A value that changed its size between the two reads is left out.
      if (read == size) {
        attributes->emplace(RecordedAttributeName(name), std::move(value));
        continue;
      }
      if (read >= 0 || errno == ERANGE) continue;
    }
    int error = errno;
    // Gone since the listing, or not readable by this process.
    if (error == ENODATA || error == EACCES || error == EPERM || error == ENOTSUP) continue;
    SystemLog("%s: getxattr() for '%s' on \"%s\" failed with error \"%s\"", kCaptureFunction, name, path,
              strerror(error));
    return false;
  }
  return true;
}

}  // namespace

std::optional<DirectoryItemData> CreateDirectoryItemData(const char* path, const platform::FileStatus& status,
                                                         bool scanMetadata, std::uint32_t revision,
                                                         char* listBuffer, int fd) {
  DirectoryItemData data;
  data.mode = static_cast<std::uint16_t>(status.mode & 0xFFFF);
  data.nodeID = static_cast<std::uint32_t>(status.nodeID);
  data.revision = revision;
  data.dataSize = status.isDirectory() ? 0 : status.size;
  data.modificationDate = status.modificationTime();
  data.creationDate = status.creationTime();

  if (!scanMetadata) {
    data.mode &= platform::kTypeMask;
    if (status.isRegularFile()) {
      platform::ItemHandle item{-1, path};
      data.resourceSize = ResourceForkSize(item, path);
    }
    return data;
  }

  // Regular files and directories are read through a descriptor: the flags
  // need one, and the attribute calls are cheaper on it.
  int ownFd = -1;
  if (fd < 0 && (status.isRegularFile() || status.isDirectory())) {
    ownFd = platform::OpenItem(AT_FDCWD, path, status.isDirectory());
    fd = ownFd;
  }
  UniqueFd closer(ownFd);
  platform::ItemHandle item{fd, path};

  data.userID = status.userID;
  data.groupID = status.groupID;
  data.userFlags = platform::ReadItemFlags(fd);

  ssize_t length = platform::ListAttributeNames(item, listBuffer, kAttributeListBufferSize);
  if (length < 0) {
    int error = errno;
    if (error != ENOTSUP) {
      SystemLog("%s: listxattr() on \"%s\" failed with error \"%s\"", kCaptureFunction, path, strerror(error));
      return std::nullopt;
    }
    length = 0;
  }

  // The ACL attributes, when listed, are read as the ACL text; the resource
  // fork only by its size.
  bool hasAccessACL = false, hasDefaultACL = false, hasResourceFork = false, hasOthers = false;
  for (const char* name = listBuffer; name < listBuffer + length; name += strlen(name) + 1) {
    if (strcmp(name, platform::kAccessACLAttributeName) == 0) hasAccessACL = true;
    else if (strcmp(name, platform::kDefaultACLAttributeName) == 0) hasDefaultACL = true;
    else if (strcmp(name, platform::kResourceForkAttributeName) == 0) hasResourceFork = true;
    else if (*name) hasOthers = true;
  }

  if (hasResourceFork && status.isRegularFile()) data.resourceSize = ResourceForkSize(item, path);

  if (hasAccessACL || hasDefaultACL) {
    platform::ACLResult acl = platform::ReadACLText(item, hasAccessACL, hasDefaultACL && status.isDirectory());
    if (acl.error) {
      SystemLog("%s: %s() on \"%s\" failed with error \"%s\"", kCaptureFunction, acl.failedCall, path,
                strerror(acl.error));
      return std::nullopt;
    }
    if (acl.text) data.setACL(std::move(acl.text));
  }

  if (hasOthers) {
    ExtendedAttributes attributes;
    if (!ReadAttributes(item, path, listBuffer, static_cast<std::size_t>(length), &attributes)) return std::nullopt;
    data.setExtendedAttributes(std::move(attributes));
  }
  return data;
}

// ---- Item map

static_assert(sizeof(DirectoryItemData) == 56, "the record is meant to stay this small");

DirectoryItemMap DirectoryItemMap::fromUnsortedEntries(std::vector<std::pair<std::string, DirectoryItemData>> entries) {
  DirectoryItemMap map;
  map.slots_.reserve(entries.size());
  for (auto& [name, data] : entries) map.appendUnsorted(name, std::move(data));
  map.sortByName();
  return map;
}

DirectoryItemMap::Slot DirectoryItemMap::makeSlot(std::string_view name, DirectoryItemData data) {
  Slot slot{static_cast<std::uint32_t>(names_.size()), static_cast<std::uint32_t>(name.size()), std::move(data)};
  names_.append(name);
  return slot;
}

void DirectoryItemMap::appendUnsorted(std::string_view name, DirectoryItemData data) {
  slots_.push_back(makeSlot(name, std::move(data)));
}

void DirectoryItemMap::sortByName() {
  std::sort(slots_.begin(), slots_.end(),
            [this](const Slot& a, const Slot& b) { return nameOf(a) < nameOf(b); });
}

std::vector<DirectoryItemMap::Slot>::iterator DirectoryItemMap::lowerBound(std::string_view name) {
  return std::lower_bound(slots_.begin(), slots_.end(), name,
                          [this](const Slot& slot, std::string_view key) { return nameOf(slot) < key; });
}

std::vector<DirectoryItemMap::Slot>::const_iterator DirectoryItemMap::lowerBound(std::string_view name) const {
  return std::lower_bound(slots_.begin(), slots_.end(), name,
                          [this](const Slot& slot, std::string_view key) { return nameOf(slot) < key; });
}

DirectoryItemData* DirectoryItemMap::find(std::string_view name) {
  auto it = lowerBound(name);
  return it != slots_.end() && nameOf(*it) == name ? &it->data : nullptr;
}

const DirectoryItemData* DirectoryItemMap::find(std::string_view name) const {
  auto it = lowerBound(name);
  return it != slots_.end() && nameOf(*it) == name ? &it->data : nullptr;
}

DirectoryItemData& DirectoryItemMap::insertOrAssign(std::string_view name, DirectoryItemData data) {
  if (slots_.empty() || nameOf(slots_.back()) < name) {
    slots_.push_back(makeSlot(name, std::move(data)));
    return slots_.back().data;
  }
  auto it = lowerBound(name);
  if (it != slots_.end() && nameOf(*it) == name) {
    it->data = std::move(data);
    return it->data;
  }
  std::size_t index = static_cast<std::size_t>(it - slots_.begin());
  Slot slot = makeSlot(name, std::move(data));
  it = slots_.insert(slots_.begin() + static_cast<std::ptrdiff_t>(index), std::move(slot));
  return it->data;
}

bool DirectoryItemMap::erase(std::string_view name) {
  auto it = lowerBound(name);
  if (it == slots_.end() || nameOf(*it) != name) return false;
  unusedNames_ += it->nameLength;
  slots_.erase(it);
  // Compact the names once most of the buffer is unused.
  if (unusedNames_ > 4096 && unusedNames_ * 2 > names_.size()) shrinkToFit();
  return true;
}

void DirectoryItemMap::clear() {
  slots_.clear();
  names_.clear();
  unusedNames_ = 0;
}

void DirectoryItemMap::shrinkToFit() {
  slots_.shrink_to_fit();
  if (unusedNames_ > 0) {
    std::string names;
    names.reserve(names_.size() - unusedNames_);
    for (Slot& slot : slots_) {
      std::uint32_t offset = static_cast<std::uint32_t>(names.size());
      names.append(nameOf(slot));
      slot.nameOffset = offset;
    }
    names_ = std::move(names);
    unusedNames_ = 0;
  } else {
    names_.shrink_to_fit();
  }
}

}  // namespace quorvel
