// The stored forms of a snapshot: names, versions and the record layout they
// share, and the item and directory archives of the compact form.
//
// Compact form (DirectoryScanner::serializedData): the compressed block of
// DataTransforms::compressGZip (see CompressArchive) around a keyed archive
// whose root object is the scanner (class "DirectoryScanner"), with the keys below in this order:
//   "version" (integer 1), "rootPath" (text object), "revision" (integer),
//   "scanMetadata", "sortPaths", "excludeHiddenItems", "excludeDSStoreFiles"
//   (bools), "userInfo" (dictionary object, always present),
//   "exclusionPredicate" (predicate object or null), "rootData" (bytes: the
//   item archive of the root record, only with one) and "directoryData"
//   (bytes: the directory archive, only with a non-empty map).
//
// The two archives are typed streams (TypedStreamWriter) made of three kinds
// of element: a byte array, an "I" integer and an object.
//   directory archive: integer (directory count); per directory, in map
//     order: byte array (subpath + NUL, the root being a lone NUL), integer
//     (item count), then per item: byte array (name + NUL) and its record
//     elements.
//   record elements (an item archive holds one set, for the root): byte
//     array (the 60-byte block below); the user-info object when its marker
//     is non-zero; byte array (ACL text + NUL) when its marker is non-zero;
//     when the attribute marker is non-zero an integer (attribute count),
//     then per attribute a byte array (name + NUL) and a byte array holding
//     the value's length (32-bit little-endian) followed by the value.
//
// Record block, little-endian, no padding:
//   0 mode (16), 2 userFlags (16), 4 userID, 8 groupID, 12 nodeID,
//   16 revision, 20 resourceSize, 24 user-info marker, 28 ACL marker,
//   32 attribute marker (32 bits each), 36 dataSize (64),
//   44 creationDate, 52 modificationDate (doubles, seconds since 1970).
// A marker only says whether its part follows; we write 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "foundation/Status.h"
#include "foundation/Data.h"
#include "snapshot/DirectoryItemData.h"

namespace quorvel {

class TypedStreamReader;
class TypedStreamWriter;

namespace snapshotarchive {

inline constexpr std::string_view kClassName = "DirectoryScanner";
inline constexpr std::int64_t kArchiveVersion = 1;
inline constexpr std::int64_t kPropertyListVersion = 3;

// Keys of the compact form and the property-list form.
inline constexpr std::string_view kVersionKey = "version";
inline constexpr std::string_view kRootPathKey = "rootPath";
inline constexpr std::string_view kRevisionKey = "revision";
inline constexpr std::string_view kScanMetadataKey = "scanMetadata";
inline constexpr std::string_view kSortPathsKey = "sortPaths";
inline constexpr std::string_view kExcludeHiddenItemsKey = "excludeHiddenItems";
inline constexpr std::string_view kExcludeDSStoreFilesKey = "excludeDSStoreFiles";
inline constexpr std::string_view kUserInfoKey = "userInfo";
inline constexpr std::string_view kExclusionPredicateKey = "exclusionPredicate";
inline constexpr std::string_view kRootDataKey = "rootData";
inline constexpr std::string_view kDirectoryDataKey = "directoryData";
// Property-list form only.
inline constexpr std::string_view kRootKey = "root";
inline constexpr std::string_view kDirectoriesKey = "directories";
// Property-list versions 1 and 2.
inline constexpr std::string_view kHeadRevisionKey = "headRevision";
inline constexpr std::string_view kExcludedSubpathsKey = "excludedSubpaths";
inline constexpr std::string_view kExcludedNamesKey = "excludedNames";

// Item dictionaries of the property-list form.
inline constexpr std::string_view kNodeIDKey = "nodeID";
inline constexpr std::string_view kItemRevisionKey = "revision";
inline constexpr std::string_view kCreationDateKey = "creationDate";
inline constexpr std::string_view kModificationDateKey = "modificationDate";
inline constexpr std::string_view kDataSizeKey = "dataSize";
inline constexpr std::string_view kResourceSizeKey = "resourceSize";
inline constexpr std::string_view kModeKey = "mode";
inline constexpr std::string_view kUserFlagsKey = "userFlags";
inline constexpr std::string_view kUserIDKey = "userID";
inline constexpr std::string_view kGroupIDKey = "groupID";
inline constexpr std::string_view kACLKey = "ACL";
inline constexpr std::string_view kExtendedAttributesKey = "extendedAttributes";
inline constexpr std::string_view kItemUserInfoKey = "userInfo";
// Item dictionaries of versions 1 and 2.
inline constexpr std::string_view kFileSizeKey = "fileSize";
inline constexpr std::string_view kFileModificationDateKey = "fileModificationDate";
inline constexpr std::string_view kInfoKey = "info";

inline constexpr std::size_t kRecordBlockSize = 60;
// Initial capacity of the directory archive's buffer.
inline constexpr std::size_t kDirectoryArchiveCapacity = std::size_t{1} << 20;

// Record block field offsets.
inline constexpr std::size_t kModeOffset = 0;
inline constexpr std::size_t kUserFlagsOffset = 2;
inline constexpr std::size_t kUserIDOffset = 4;
inline constexpr std::size_t kGroupIDOffset = 8;
inline constexpr std::size_t kNodeIDOffset = 12;
inline constexpr std::size_t kRevisionOffset = 16;
inline constexpr std::size_t kResourceSizeOffset = 20;
inline constexpr std::size_t kUserInfoMarkerOffset = 24;
inline constexpr std::size_t kACLMarkerOffset = 28;
inline constexpr std::size_t kAttributesMarkerOffset = 32;
inline constexpr std::size_t kDataSizeOffset = 36;
inline constexpr std::size_t kCreationDateOffset = 44;
inline constexpr std::size_t kModificationDateOffset = 52;

// User-info entries with an empty key or one beginning with "." are never
// stored.
inline bool IsStorableUserInfoKey(std::string_view key) { return !key.empty() && key.front() != '.'; }

// The block of a record, markers set for the parts it has.
void EncodeRecordBlock(const DirectoryItemData& data, std::uint8_t block[kRecordBlockSize]);

// Which optional parts follow a block.
struct RecordBlockMarkers {
  bool userInfo = false;
  bool acl = false;
  bool attributes = false;
};
// The record's fixed fields from a block (at least kRecordBlockSize bytes).
DirectoryItemData DecodeRecordBlock(const std::uint8_t* block, RecordBlockMarkers* markers);

// One record's elements. Writing fails the writer when the user info cannot
// be stored; reading answers nothing on any malformed element.
void WriteRecordElements(TypedStreamWriter& writer, const DirectoryItemData& data);
std::optional<DirectoryItemData> ReadRecordElements(TypedStreamReader& reader);

// The item archive of one record, and the directory archive of a map; a
// kFormatDomain failure when the writer failed (a user info it cannot store).
Expected<Data> CreateItemArchive(const DirectoryItemData& data);
Expected<Data> CreateDirectoryArchive(const DirectoryMap& directories);
// Readers: nothing for anything malformed.
std::optional<DirectoryItemData> ReadItemArchive(const Data& archive);
std::optional<DirectoryMap> ReadDirectoryArchive(const Data& archive);

// The compressed block around the keyed archive: what
// DataTransforms::compressGZip writes (the length as 32 bits big-endian,
// then one zlib stream at level 9, read back by decompressGZip), with the
// level's match search cut to chains of kDeflateMaximumChain positions.
// Nothing for archives of 4 GiB or more.
inline constexpr int kDeflateGoodLength = 32;
inline constexpr int kDeflateMaximumLazy = 258;
inline constexpr int kDeflateNiceLength = 258;
inline constexpr int kDeflateMaximumChain = 256;
std::optional<Data> CompressArchive(const Data& archive);

}  // namespace snapshotarchive
}  // namespace quorvel
