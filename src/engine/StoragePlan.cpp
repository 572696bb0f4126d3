#include "engine/StoragePlan.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "engine/BackupStorage.h"

namespace quorvel {

namespace {

// Lowest unused index at or above the cursor, marking it used; 0 when the
// 16-bit space is exhausted.
std::uint32_t TakeIndex(std::vector<bool>& used, std::uint32_t& cursor) {
  while (cursor <= kLargestStorageIndex && used[cursor]) ++cursor;
  if (cursor > kLargestStorageIndex) return 0;
  used[cursor] = true;
  return cursor++;
}

std::string LowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// Moves the items `takes` accepts out of `from` into the result, scanning
// from the end (the order the stored format's first writer used).
template <typename Predicate>
std::vector<DirectoryItemPtr> TakeFromEnd(std::vector<DirectoryItemPtr>& from, Predicate takes) {
  std::vector<DirectoryItemPtr> taken;
  for (std::size_t i = from.size(); i-- > 0;) {
    if (takes(*from[i])) {
      taken.push_back(from[i]);
      from.erase(from.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
  return taken;
}

// Groups files (in their order) into archives of less than `segmentSize`
// bytes (the archive size).
void PlanArchives(const std::vector<DirectoryItemPtr>& files, bool compressed, std::uint64_t segmentSize,
                  StorageIndexes& used, std::uint32_t& cursor, StoragePlan& plan) {
  PlannedArchive group;
  group.compressed = compressed;
  auto close = [&] {
    std::uint32_t index = TakeIndex(used.archives, cursor);
    if (index == 0) {
      plan.archiveIndexesExhausted = true;
    } else {
      group.archiveIndex = index;
      plan.archives.push_back(std::move(group));
    }
    group = PlannedArchive();
    group.compressed = compressed;
  };
  for (const DirectoryItemPtr& item : files) {
    if (segmentSize != 0 && group.totalSize + item->totalSize() >= segmentSize && !group.members.empty()) close();
    group.members.push_back(item);
    group.totalSize += item->totalSize();
  }
  if (!group.members.empty()) close();
}

}  // namespace

StoragePlan PlanStorage(std::vector<DirectoryItemPtr> files, const StoragePlanSettings& settings,
                        StorageIndexes& used) {
  StoragePlan plan;
  const std::uint64_t segmentSize = settings.segmentSize;
  std::vector<DirectoryItemPtr> large;
  if (segmentSize != 0) {
    large = TakeFromEnd(files, [&](const DirectoryItem& item) { return item.totalSize() > segmentSize; });
  }
  std::stable_sort(files.begin(), files.end(), [](const DirectoryItemPtr& a, const DirectoryItemPtr& b) {
    return a->modificationDate() < b->modificationDate();
  });
  std::vector<DirectoryItemPtr> incompressible;
  if (!settings.incompressibleExtensions.empty()) {
    std::set<std::string> extensions;
    for (const std::string& extension : settings.incompressibleExtensions) extensions.insert(LowerCase(extension));
    incompressible = TakeFromEnd(
        files, [&](const DirectoryItem& item) { return extensions.count(LowerCase(PathExtension(item.path()))) != 0; });
  }

  std::uint32_t fileCursor = 1;
  for (const DirectoryItemPtr& item : large) {
    std::uint32_t index = TakeIndex(used.files, fileCursor);
    if (index == 0) {
      plan.exhaustedFileIndexFor = item->path();
      return plan;
    }
    plan.files.push_back(PlannedFile{item, index});
  }
  std::uint32_t archiveCursor = 1;
  std::uint64_t archiveSize = segmentSize;
  if (settings.archiveSize != 0 && (archiveSize == 0 || settings.archiveSize < archiveSize))
    archiveSize = settings.archiveSize;
  PlanArchives(incompressible, false, archiveSize, used, archiveCursor, plan);
  PlanArchives(files, true, archiveSize, used, archiveCursor, plan);
  return plan;
}

}  // namespace quorvel
