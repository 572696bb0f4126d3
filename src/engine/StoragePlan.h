// Where the files of one backup run are stored: a pure function from the
// files to store and the run's settings to storage groups with their indexes.
// It asks nothing of a destination, so that every edge case is testable on
// its own.
//
//   - A file larger than one segment (segmentSize > 0) is stored by itself,
//     in parts, under a file index of its own. Such files are taken in
//     reverse order of the input.
//   - The other files go into archives whose members total less than one
//     segment, or than archiveSize when that is smaller (a single member
//     larger than what is left starts the next archive; a member of exactly
//     one segment minus a byte fills one alone),
//     oldest modification date first (a stable order: equal dates keep the
//     input order), so that files changed together are stored together.
//   - Files whose extension (compared without case) is listed as
//     incompressible go into archives of their own that are not compressed;
//     their archives are planned before the compressed ones.
//   - Indexes: the lowest unused index from 1 upwards, separately for files
//     and archives; an index the previous revision still uses is never given
//     out. Index 0 is never used. When a space runs out, the plan says so
//     (exhaustedFileIndexFor / archiveIndexesExhausted) and is incomplete:
//     the caller must not store anything from it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "snapshot/DirectoryItem.h"

namespace quorvel {

inline constexpr std::uint32_t kLargestStorageIndex = 0xFFFF;

// Which indexes of the two 16-bit spaces are taken (index 0 always is).
struct StorageIndexes {
  StorageIndexes() : files(kLargestStorageIndex + 1, false), archives(kLargestStorageIndex + 1, false) {
    files[0] = archives[0] = true;
  }
  std::vector<bool> files;
  std::vector<bool> archives;
};

struct StoragePlanSettings {
  std::uint64_t segmentSize = 0;  // bytes; 0 = no limit (everything goes into archives)
  std::vector<std::string> incompressibleExtensions;
  // Archives close below this many bytes of members when it is smaller than
  // the segment (0: at the segment). Smaller archives cost less memory in
  // flight and less to store again.
  std::uint64_t archiveSize = 0;
};

// The archive size backup runs use: a whole archive is held in memory while
// it is made, encrypted and stored, once per parallel transfer.
inline constexpr std::uint64_t kBackupArchiveSize = std::uint64_t{4} << 20;

struct PlannedFile {
  DirectoryItemPtr item;
  std::uint32_t fileIndex = 0;
};

struct PlannedArchive {
  std::vector<DirectoryItemPtr> members;
  std::uint64_t totalSize = 0;  // of the members' data and metadata
  bool compressed = true;
  std::uint32_t archiveIndex = 0;
};

struct StoragePlan {
  std::vector<PlannedFile> files;
  std::vector<PlannedArchive> archives;
  // Set when the file index space ran out, with the file that found none.
  std::optional<std::string> exhaustedFileIndexFor;
  bool archiveIndexesExhausted = false;
  bool complete() const { return !exhaustedFileIndexFor && !archiveIndexesExhausted; }
};

// Plans `files` (no folders) and marks the indexes it gives out in `used`.
StoragePlan PlanStorage(std::vector<DirectoryItemPtr> files, const StoragePlanSettings& settings,
                        StorageIndexes& used);

}  // namespace quorvel
