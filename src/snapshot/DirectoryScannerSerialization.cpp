// The compact and property-list forms of a snapshot (see
// DirectoryScannerSerialization.h for the layouts).
#include "snapshot/DirectoryScannerSerialization.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>

#include <sys/stat.h>
#include <zlib.h>

#include "foundation/DataTransforms.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/KeyedUnarchiver.h"
#include "foundation/PropertyList.h"
#include "foundation/SystemLog.h"
#include "foundation/TypedStreamReader.h"
#include "foundation/TypedStreamWriter.h"
#include "snapshot/DirectoryScanner.h"

namespace quorvel {

namespace snapshotarchive {

namespace {

// Deflate cannot expand input by more than about 1032 times; a declared
// length beyond this bound can never be filled by the stream behind it.
constexpr std::uint64_t kLargestInflationRatio = 1040;
constexpr std::uint64_t kInflationSlack = 4096;

// See largestInflatedSize and largestDecodedSize: a stored snapshot of 1 MiB
// may inflate to 56 MiB and decode into 336 MiB.
constexpr std::uint64_t kInflatedFloor = std::uint64_t{16} << 20;
constexpr std::uint64_t kInflatedPerStoredByte = 40;
constexpr std::uint64_t kDecodedFloor = std::uint64_t{48} << 20;
constexpr std::uint64_t kDecodedPerStoredByte = 288;

void PutU16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

void PutU32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void PutU64(std::uint8_t* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void PutDouble(std::uint8_t* p, double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  PutU64(p, bits);
}

std::uint16_t GetU16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

std::uint32_t GetU32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}

std::uint64_t GetU64(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

double GetDouble(const std::uint8_t* p) {
  std::uint64_t bits = GetU64(p);
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

// A stored text: the bytes up to the first NUL (all of them without one).
std::string TextUpToNul(const Data& bytes) {
  const auto* begin = reinterpret_cast<const char*>(bytes.data());
  const void* nul = std::memchr(begin, 0, bytes.size());
  std::size_t length = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - begin) : bytes.size();
  return std::string(begin, length);
}

void WriteText(TypedStreamWriter& writer, const std::string& text) {
  // c_str() ends with the NUL the stored form keeps.
  writer.encodeByteArray(text.c_str(), text.size() + 1);
}

}  // namespace

void EncodeRecordBlock(const DirectoryItemData& data, std::uint8_t block[kRecordBlockSize]) {
  PutU16(block + kModeOffset, data.mode);
  PutU16(block + kUserFlagsOffset, data.userFlags);
  PutU32(block + kUserIDOffset, data.userID);
  PutU32(block + kGroupIDOffset, data.groupID);
  PutU32(block + kNodeIDOffset, data.nodeID);
  PutU32(block + kRevisionOffset, data.revision);
  PutU32(block + kResourceSizeOffset, data.resourceSize);
  PutU32(block + kUserInfoMarkerOffset, data.userInfo() ? 1 : 0);
  PutU32(block + kACLMarkerOffset, data.acl() ? 1 : 0);
  PutU32(block + kAttributesMarkerOffset, data.extendedAttributes() ? 1 : 0);
  PutU64(block + kDataSizeOffset, data.dataSize);
  PutDouble(block + kCreationDateOffset, data.creationDate);
  PutDouble(block + kModificationDateOffset, data.modificationDate);
}

DirectoryItemData DecodeRecordBlock(const std::uint8_t* block, RecordBlockMarkers* markers) {
  DirectoryItemData data;
  data.mode = GetU16(block + kModeOffset);
  data.userFlags = GetU16(block + kUserFlagsOffset);
  data.userID = GetU32(block + kUserIDOffset);
  data.groupID = GetU32(block + kGroupIDOffset);
  data.nodeID = GetU32(block + kNodeIDOffset);
  data.revision = GetU32(block + kRevisionOffset);
  data.resourceSize = GetU32(block + kResourceSizeOffset);
  data.dataSize = GetU64(block + kDataSizeOffset);
  data.creationDate = GetDouble(block + kCreationDateOffset);
  data.modificationDate = GetDouble(block + kModificationDateOffset);
  if (markers) {
    markers->userInfo = GetU32(block + kUserInfoMarkerOffset) != 0;
    markers->acl = GetU32(block + kACLMarkerOffset) != 0;
    markers->attributes = GetU32(block + kAttributesMarkerOffset) != 0;
  }
  return data;
}

void WriteRecordElements(TypedStreamWriter& writer, const DirectoryItemData& data) {
  std::uint8_t block[kRecordBlockSize];
  EncodeRecordBlock(data, block);
  writer.encodeByteArray(block, kRecordBlockSize);
  if (const auto& info = data.userInfo()) writer.encodeObject(*info);
  if (const auto& acl = data.acl()) WriteText(writer, *acl);
  if (const auto& attributes = data.extendedAttributes()) {
    writer.encodeUInt32(static_cast<std::uint32_t>(attributes->size()));
    Data value;
    for (const auto& [name, bytes] : *attributes) {
      WriteText(writer, name);
      value.resize(4 + bytes.size());
      PutU32(value.data(), static_cast<std::uint32_t>(bytes.size()));
      if (!bytes.empty()) std::memcpy(value.data() + 4, bytes.data(), bytes.size());
      writer.encodeByteArray(value);
    }
  }
}

std::optional<DirectoryItemData> ReadRecordElements(TypedStreamReader& reader) {
  auto block = reader.decodeByteArray();
  if (!block || block->size() < kRecordBlockSize) return std::nullopt;
  RecordBlockMarkers markers;
  DirectoryItemData data = DecodeRecordBlock(block->data(), &markers);
  if (markers.userInfo) {
    auto info = reader.decodeObject();
    if (!info) return std::nullopt;
    data.setUserInfo(*info);
  }
  if (markers.acl) {
    auto acl = reader.decodeByteArray();
    if (!acl) return std::nullopt;
    data.setACL(std::optional<std::string>(TextUpToNul(*acl)));
  }
  if (markers.attributes) {
    auto count = reader.decodeUInt32();
    if (!count) return std::nullopt;
    ExtendedAttributes attributes;
    // The count comes from the stream: every pair must be there to be
    // counted, so nothing is reserved from it.
    for (std::uint32_t i = 0; i < *count; ++i) {
      auto name = reader.decodeByteArray();
      if (!name) return std::nullopt;
      auto value = reader.decodeByteArray();
      if (!value || value->size() < 4) return std::nullopt;
      std::uint32_t length = GetU32(value->data());
      if (length > value->size() - 4) return std::nullopt;
      attributes.insert_or_assign(TextUpToNul(*name), Data(value->begin() + 4, value->begin() + 4 + length));
    }
    data.setExtendedAttributes(std::move(attributes));
  }
  return data;
}

namespace {

Expected<Data> TakeArchive(TypedStreamWriter& writer) {
  if (!writer.ok()) return Status::invalid(kFormatDomain, writer.error());
  return writer.takeData();
}

}  // namespace

Expected<Data> CreateItemArchive(const DirectoryItemData& data) {
  TypedStreamWriter writer(512);
  WriteRecordElements(writer, data);
  return TakeArchive(writer);
}

Expected<Data> CreateDirectoryArchive(const DirectoryMap& directories) {
  TypedStreamWriter writer(kDirectoryArchiveCapacity);
  writer.encodeUInt32(static_cast<std::uint32_t>(directories.size()));
  for (const auto& [subpath, items] : directories) {
    WriteText(writer, subpath);
    writer.encodeUInt32(static_cast<std::uint32_t>(items.size()));
    for (const auto& [name, data] : items) {
      WriteText(writer, name);
      WriteRecordElements(writer, data);
    }
    if (!writer.ok()) break;
  }
  return TakeArchive(writer);
}

std::optional<DirectoryItemData> ReadItemArchive(const Data& archive) {
  TypedStreamReader reader(archive);
  if (!reader.ok()) return std::nullopt;
  return ReadRecordElements(reader);
}

std::optional<DirectoryMap> ReadDirectoryArchive(const Data& archive) {
  TypedStreamReader reader(archive);
  if (!reader.ok()) return std::nullopt;
  auto directoryCount = reader.decodeUInt32();
  if (!directoryCount) return std::nullopt;
  DirectoryMap directories;
  // Counts are not trusted for sizing: a loop ends as soon as the stream
  // runs out.
  for (std::uint32_t d = 0; d < *directoryCount; ++d) {
    auto subpath = reader.decodeByteArray();
    if (!subpath) return std::nullopt;
    auto itemCount = reader.decodeUInt32();
    if (!itemCount) return std::nullopt;
    DirectoryItemMap items;
    for (std::uint32_t i = 0; i < *itemCount; ++i) {
      auto name = reader.decodeByteArray();
      if (!name) return std::nullopt;
      auto data = ReadRecordElements(reader);
      if (!data) return std::nullopt;
      // Stored in name order, so this appends.
      items.insertOrAssign(TextUpToNul(*name), std::move(*data));
    }
    directories.insert_or_assign(TextUpToNul(*subpath), std::move(items));
  }
  return directories;
}

namespace {

// Whether the compressed block can hold what its prefix declares (see
// kLargestInflationRatio). Used to refuse a lying prefix before the block's
// buffer is allocated.
bool DeclaredLengthIsPlausible(const Data& data) {
  if (data.size() < 4) return false;
  std::uint64_t declared = (std::uint64_t{data[0]} << 24) | (std::uint64_t{data[1]} << 16) |
                           (std::uint64_t{data[2]} << 8) | std::uint64_t{data[3]};
  return declared <= (data.size() - 4) * kLargestInflationRatio + kInflationSlack;
}

}  // namespace

std::optional<Data> CompressArchive(const Data& archive) {
  // The prefix holds the length in 32 bits.
  if (archive.size() > UINT32_MAX) return std::nullopt;
  z_stream stream{};
  if (deflateInit(&stream, 9) != Z_OK) return std::nullopt;
  // Level 9 searches hash chains of up to 4096 earlier positions. The record
  // archives repeat their structure every few dozen bytes, so every chain is
  // full and the long search finds nothing better than a short one: 256
  // gives the same size (within 0.01 %) in a third of the time.
  deflateTune(&stream, kDeflateGoodLength, kDeflateMaximumLazy, kDeflateNiceLength, kDeflateMaximumChain);
  uLong bound = deflateBound(&stream, static_cast<uLong>(archive.size()));
  Data block(4 + bound);
  stream.next_in = const_cast<Bytef*>(archive.data());
  stream.avail_in = static_cast<uInt>(archive.size());
  stream.next_out = block.data() + 4;
  stream.avail_out = static_cast<uInt>(bound);
  int status = deflate(&stream, Z_FINISH);
  uLong compressedLength = stream.total_out;
  deflateEnd(&stream);
  if (status != Z_STREAM_END) return std::nullopt;
  StoreBigEndian32(block.data(), static_cast<std::uint32_t>(archive.size()));
  block.resize(4 + compressedLength);
  return block;
}

}  // namespace snapshotarchive

using namespace snapshotarchive;

namespace {

Dictionary StorableUserInfo(const Dictionary& info) {
  Dictionary storable;
  for (const auto& [key, value] : info)
    if (IsStorableUserInfoKey(key)) storable.set(key, value);
  return storable;
}

}  // namespace

// ---- Compact form

void DirectoryScanner::registerKeyedArchiveClass() {
  static std::once_flag once;
  std::call_once(once, [] {
    KeyedUnarchiver::registerClass(std::string(kClassName), [](KeyedUnarchiver& unarchiver) -> Value {
      return Value(DirectoryScanner::initWithCoder(unarchiver));
    });
  });
}

namespace {
// Registered at load too, for archives that hold a scanner among other
// objects (the compact reader does not depend on it).
[[maybe_unused]] const bool kKeyedArchiveClassRegistered = (DirectoryScanner::registerKeyedArchiveClass(), true);
}  // namespace

void DirectoryScanner::encodeWithCoder(KeyedArchiver& archiver) const {
  archiver.encodeInt(kArchiveVersion, kVersionKey);
  archiver.encodeObject(Value(rootDirectory_), kRootPathKey);
  archiver.encodeInt(revision_, kRevisionKey);
  archiver.encodeBool(scanMetadata_, kScanMetadataKey);
  archiver.encodeBool(sortPaths_, kSortPathsKey);
  archiver.encodeBool(excludeHidden_, kExcludeHiddenItemsKey);
  archiver.encodeBool(excludeDSStore_, kExcludeDSStoreFilesKey);
  archiver.encodeObject(Value(StorableUserInfo(info_)), kUserInfoKey);
  archiver.encodeObject(exclusionPredicate_ ? Value(exclusionPredicate_) : Value(), kExclusionPredicateKey);
  if (root_) {
    Expected<Data> archive = CreateItemArchive(*root_);
    if (!archive) {
      archiver.failWithError("root record: " + archive.status().message());
      return;
    }
    archiver.encodeBytes(*archive, kRootDataKey);
  }
  if (!directories_.empty()) {
    Expected<Data> archive = CreateDirectoryArchive(directories_);
    if (!archive) {
      archiver.failWithError("directory records: " + archive.status().message());
      return;
    }
    archiver.encodeBytes(*archive, kDirectoryDataKey);
  }
}

DirectoryScannerPtr DirectoryScanner::initWithCoder(KeyedUnarchiver& unarchiver) {
  if (unarchiver.decodeIntForKey(kVersionKey) != kArchiveVersion) return nullptr;
  Value rootPath = unarchiver.decodeObjectForKey(kRootPathKey);
  if (!rootPath.isString()) return nullptr;
  auto scanner = initWithRootDirectory(rootPath.asString(), unarchiver.decodeBoolForKey(kScanMetadataKey));
  if (!scanner) return nullptr;
  scanner->revision_ = static_cast<std::uint32_t>(unarchiver.decodeIntForKey(kRevisionKey));
  scanner->sortPaths_ = unarchiver.decodeBoolForKey(kSortPathsKey);
  Value predicate = unarchiver.decodeObjectForKey(kExclusionPredicateKey);
  if (!predicate.isNull()) {
    scanner->exclusionPredicate_ = predicate.object<Predicate>();
    if (!scanner->exclusionPredicate_) return nullptr;
  }
  scanner->excludeHidden_ = unarchiver.decodeBoolForKey(kExcludeHiddenItemsKey);
  scanner->excludeDSStore_ = unarchiver.decodeBoolForKey(kExcludeDSStoreFilesKey);
  Value info = unarchiver.decodeObjectForKey(kUserInfoKey);
  if (!info.isNull() && !info.isDictionary()) return nullptr;
  for (const auto& [key, value] : info.asDictionary()) scanner->setUserInfo(value, key);
  if (unarchiver.containsValueForKey(kRootDataKey)) {
    auto root = ReadItemArchive(unarchiver.decodeBytesForKey(kRootDataKey));
    if (!root) return nullptr;
    scanner->root_ = std::move(*root);
  }
  if (unarchiver.containsValueForKey(kDirectoryDataKey)) {
    auto directories = ReadDirectoryArchive(unarchiver.decodeBytesForKey(kDirectoryDataKey));
    if (!directories) return nullptr;
    scanner->directories_ = std::move(*directories);
  }
  return scanner;
}

std::optional<Data> DirectoryScanner::serializedData() const {
  // The archiver keeps the root object only while it encodes: a
  // non-owning pointer to this scanner will do.
  std::shared_ptr<Object> self(std::shared_ptr<void>(), const_cast<DirectoryScanner*>(this));
  auto archive = KeyedArchiver::archivedDataWithRootObject(Value(self));
  if (!archive) return std::nullopt;
  return CompressArchive(*archive);
}

std::uint64_t DirectoryScanner::largestInflatedSize(std::uint64_t storedSize) {
  return kInflatedFloor + kInflatedPerStoredByte * storedSize;
}

std::uint64_t DirectoryScanner::largestDecodedSize(std::uint64_t storedSize) {
  return kDecodedFloor + kDecodedPerStoredByte * storedSize;
}

DirectoryScannerPtr DirectoryScanner::initWithSerializedData(const Data& data) {
  registerKeyedArchiveClass();
  if (!DeclaredLengthIsPlausible(data)) return nullptr;
  auto archive = DataTransforms::decompressGZip(data, largestInflatedSize(data.size()));
  if (!archive) return nullptr;
  auto root = KeyedUnarchiver::unarchiveObjectWithData(*archive,
                                                       DecodeBudget::forMemory(largestDecodedSize(data.size())));
  if (!root) return nullptr;
  return root->object<DirectoryScanner>();
}

// ---- Property-list form

namespace {

constexpr std::uint16_t kDirectoryMode = 0x4000;

Dictionary ItemPropertyList(const DirectoryItemData& data) {
  Dictionary item;
  item.set(kNodeIDKey, Value(data.nodeID));
  item.set(kItemRevisionKey, Value(data.revision));
  item.set(kCreationDateKey, Value(data.creationDate));
  item.set(kModificationDateKey, Value(data.modificationDate));
  if (!data.isDirectory()) {
    item.set(kDataSizeKey, Value(static_cast<unsigned long long>(data.dataSize)));
    if (data.resourceSize) item.set(kResourceSizeKey, Value(data.resourceSize));
  }
  item.set(kModeKey, Value(static_cast<unsigned>(data.mode)));
  if (data.userFlags) item.set(kUserFlagsKey, Value(static_cast<unsigned>(data.userFlags)));
  if (data.userID) item.set(kUserIDKey, Value(data.userID));
  if (data.groupID) item.set(kGroupIDKey, Value(data.groupID));
  if (const auto& acl = data.acl()) item.set(kACLKey, Value(*acl));
  if (const auto& attributes = data.extendedAttributes()) {
    Dictionary values;
    for (const auto& [name, bytes] : *attributes) values.set(name, Value(bytes));
    item.set(kExtendedAttributesKey, Value(std::move(values)));
  }
  if (const auto& info = data.userInfo()) item.set(kItemUserInfoKey, *info);
  return item;
}

std::uint32_t U32(const Dictionary& dictionary, std::string_view key) {
  return static_cast<std::uint32_t>(dictionary.get(key).asUInt());
}

double Seconds(const Value& value) {
  if (value.isDate()) return value.asDate().timeIntervalSince1970();
  return value.asDouble();
}

// An item dictionary of any version; nothing when it is not a dictionary.
std::optional<DirectoryItemData> ItemFromPropertyList(const Value& value, std::int64_t version) {
  if (!value.isDictionary()) return std::nullopt;
  const Dictionary& item = value.asDictionary();
  DirectoryItemData data;
  data.nodeID = U32(item, kNodeIDKey);
  data.revision = U32(item, kItemRevisionKey);
  data.mode = static_cast<std::uint16_t>(item.get(kModeKey).asUInt());
  data.userFlags = static_cast<std::uint16_t>(item.get(kUserFlagsKey).asUInt());
  data.userID = U32(item, kUserIDKey);
  data.groupID = U32(item, kGroupIDKey);
  if (const Value* acl = item.find(kACLKey); acl && acl->isString())
    data.setACL(std::optional<std::string>(acl->asString()));
  if (const Value* attributes = item.find(kExtendedAttributesKey); attributes && attributes->isDictionary()) {
    ExtendedAttributes map;
    for (const auto& [name, bytes] : attributes->asDictionary()) {
      if (bytes.isData()) map.insert_or_assign(name, bytes.asData());
      else if (bytes.isString()) map.insert_or_assign(name, DataFromString(bytes.asString()));
    }
    data.setExtendedAttributes(std::move(map));
  }
  if (version >= 3) {
    data.creationDate = Seconds(item.get(kCreationDateKey));
    data.modificationDate = Seconds(item.get(kModificationDateKey));
    data.dataSize = item.get(kDataSizeKey).asUInt();
    data.resourceSize = U32(item, kResourceSizeKey);
    if (const Value* info = item.find(kItemUserInfoKey)) data.setUserInfo(*info);
  } else {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    data.creationDate = nan;
    if (const Value* size = item.find(kFileSizeKey)) {
      data.dataSize = size->asUInt();
      data.modificationDate = Seconds(item.get(kFileModificationDateKey));
    } else {
      data.dataSize = 0;
      data.modificationDate = nan;
    }
    data.resourceSize = 0;
    if (const Value* info = item.find(kInfoKey); info && info->isNumber())
      data.setUserInfo(Value(static_cast<std::uint32_t>(info->asUInt())));
  }
  return data;
}

std::vector<std::string> Texts(const Value& value) {
  std::vector<std::string> texts;
  for (const Value& element : value.asArray())
    if (element.isString()) texts.push_back(element.asString());
  return texts;
}

}  // namespace

Dictionary DirectoryScanner::propertyList() const {
  Dictionary list;
  list.set(kVersionKey, Value(static_cast<long long>(kPropertyListVersion)));
  list.set(kRootPathKey, Value(rootDirectory_));
  list.set(kRevisionKey, Value(revision_));
  list.set(kScanMetadataKey, Value(scanMetadata_));
  list.set(kSortPathsKey, Value(sortPaths_));
  list.set(kExcludeHiddenItemsKey, Value(excludeHidden_));
  list.set(kExcludeDSStoreFilesKey, Value(excludeDSStore_));
  Dictionary info = StorableUserInfo(info_);
  if (!info.empty()) list.set(kUserInfoKey, Value(std::move(info)));
  if (exclusionPredicate_) list.set(kExclusionPredicateKey, Value(exclusionPredicate_->predicateFormat()));
  if (root_) list.set(kRootKey, Value(ItemPropertyList(*root_)));
  Dictionary directories;
  for (const auto& [subpath, items] : directories_) {
    Dictionary entries;
    for (const auto& [name, data] : items) entries.set(name, Value(ItemPropertyList(data)));
    directories.set(subpath, Value(std::move(entries)));
  }
  list.set(kDirectoriesKey, Value(std::move(directories)));
  return list;
}

DirectoryScannerPtr DirectoryScanner::initWithPropertyList(const Value& propertyList) {
  if (!propertyList.isDictionary()) return nullptr;
  const Dictionary& list = propertyList.asDictionary();
  const Value& versionValue = list.get(kVersionKey);
  if (!versionValue.isInteger()) return nullptr;
  std::int64_t version = versionValue.asInt();
  if (version < 1 || version > 3) return nullptr;
  const Value& rootPath = list.get(kRootPathKey);
  if (!rootPath.isString()) return nullptr;
  auto scanner = initWithRootDirectory(rootPath.asString(), list.get(kScanMetadataKey).asBool());
  if (!scanner) return nullptr;
  scanner->excludeHidden_ = list.get(kExcludeHiddenItemsKey).asBool();
  scanner->excludeDSStore_ = list.get(kExcludeDSStoreFilesKey).asBool();
  if (version >= 3) {
    scanner->revision_ = U32(list, kRevisionKey);
    scanner->sortPaths_ = list.get(kSortPathsKey).asBool();
    if (const Value* format = list.find(kExclusionPredicateKey)) {
      if (!format->isString()) return nullptr;
      scanner->exclusionPredicate_ = Predicate::predicateWithFormat(format->asString());
      if (!scanner->exclusionPredicate_) return nullptr;
    }
    if (const Value* root = list.find(kRootKey)) {
      auto data = ItemFromPropertyList(*root, version);
      if (!data) return nullptr;
      scanner->root_ = std::move(*data);
    }
  } else {
    scanner->revision_ = U32(list, kHeadRevisionKey);
    scanner->sortPaths_ = true;
    scanner->exclusionPredicate_ =
        exclusionPredicateWithPaths(Texts(list.get(kExcludedSubpathsKey)), Texts(list.get(kExcludedNamesKey)));
    DirectoryItemData root;
    root.mode = kDirectoryMode;
    root.creationDate = std::numeric_limits<double>::quiet_NaN();
    root.modificationDate = std::numeric_limits<double>::quiet_NaN();
    root.revision = scanner->revision_;
    scanner->root_ = std::move(root);
  }
  if (const Value* info = list.find(kUserInfoKey)) {
    if (!info->isDictionary()) return nullptr;
    for (const auto& [key, value] : info->asDictionary()) scanner->setUserInfo(value, key);
  }
  if (const Value* directories = list.find(kDirectoriesKey)) {
    if (!directories->isDictionary()) return nullptr;
    for (const auto& [subpath, entries] : directories->asDictionary()) {
      if (!entries.isDictionary()) return nullptr;
      DirectoryItemMap items;
      items.reserve(entries.asDictionary().size());
      for (const auto& [name, item] : entries.asDictionary()) {
        auto data = ItemFromPropertyList(item, version);
        if (!data) return nullptr;
        items.insertOrAssign(name, std::move(*data));
      }
      scanner->directories_.insert_or_assign(subpath, std::move(items));
    }
  }
  return scanner;
}

bool DirectoryScanner::writeToFile(const std::string& path) const {
  Expected<Data> xml = PropertyList::writeXml(Value(propertyList()));
  if (!xml) {
    SystemLog("%s: NSPropertyListSerialization failed with error \"%@\"", __func__, xml.status().message());
    return false;
  }
  if (!DataTransforms::writeToGZipFile(*xml, path)) {
    SystemLog("%s: NSPropertyListSerialization failed with error \"%@\"", __func__,
              "could not write the file " + path);
    return false;
  }
  return true;
}

DirectoryScannerPtr DirectoryScanner::initWithFile(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return nullptr;
  const auto storedSize = static_cast<std::uint64_t>(status.st_size);
  auto contents = DataTransforms::initWithGZipFile(path, largestInflatedSize(storedSize));
  if (!contents) return nullptr;
  DecodeBudget budget = DecodeBudget::forMemory(largestDecodedSize(storedSize));
  Expected<Value> list = PropertyList::read(*contents, budget);
  DirectoryScannerPtr scanner = list ? initWithPropertyList(*list) : nullptr;
  if (!scanner) {
    // A list that parsed but is no snapshot has no serializer error to show.
    SystemLog("%s: NSPropertyListSerialization failed with error \"%@\"", __func__,
              list ? Value() : Value(list.status().message()));
  }
  return scanner;
}

}  // namespace quorvel
