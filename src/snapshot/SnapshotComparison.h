// Comparing two directory maps of the same tree.
//
// The result is a dictionary whose keys are present only when their list is
// not empty, in this order:
//   "movedItems"              added items recognised as a removed item in a
//                             new place; path "old:new", built from the new record
//   "addedItems"              new records without an old counterpart
//   "removedItems"            old records without a new counterpart
//   "modifiedItems.data"      type changed, or (not a directory) the
//                             modification time changed at millisecond resolution
//   "modifiedItems.metadata"  content unchanged; creation time (ms), permission
//                             bits, flags, owner, group, ACL or attributes changed
// Each value is an Array of DirectoryItem objects (Value objects) whose paths
// are subpaths relative to the root.
#pragma once

#include <cstdint>

#include "foundation/Value.h"
#include "snapshot/DirectoryItemData.h"

namespace quorvel {

// Result keys.
inline constexpr const char* kMovedItemsKey = "movedItems";
inline constexpr const char* kAddedItemsKey = "addedItems";
inline constexpr const char* kRemovedItemsKey = "removedItems";
inline constexpr const char* kModifiedDataItemsKey = "modifiedItems.data";
inline constexpr const char* kModifiedMetadataItemsKey = "modifiedItems.metadata";
inline constexpr const char* kExcludedPathsKey = "excludedPaths";
inline constexpr const char* kErrorPathsKey = "errorPaths";

struct SnapshotComparisonSettings {
  bool compareMetadata = false;
  bool detectMovedItems = false;
  // Without it, a removed directory is reported alone, without its contents.
  bool reportAllRemovedItems = true;
  // Revision given to added and changed new records, which also take over
  // the old record's user info, while unchanged ones keep the old revision.
  // 0 leaves the new map untouched.
  std::uint32_t revision = 0;
  // Sort every list by path (ComparePaths).
  bool sortPaths = false;
};

// Compares newMap (the new side) with oldMap. Only a non-zero revision
// writes to newMap.
Dictionary CompareDirectoryMaps(DirectoryMap& newMap, const DirectoryMap& oldMap,
                                const SnapshotComparisonSettings& settings);

// True when the two modification (or creation) times differ at millisecond
// resolution: each is multiplied by 1000 and rounded half away from zero. Two
// unknown (NaN) times are equal.
bool TimesDifferInMilliseconds(double a, double b);

// The metadata rule: creation time (ms), permission bits, flags, owner,
// group, ACL text and attributes.
bool MetadataDiffers(const DirectoryItemData& a, const DirectoryItemData& b);

// Joins a directory subpath and a name ("name" at the root).
std::string JoinSubpath(std::string_view directory, std::string_view name);

}  // namespace quorvel
