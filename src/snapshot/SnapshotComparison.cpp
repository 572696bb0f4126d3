#include "snapshot/SnapshotComparison.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_map>

#include "snapshot/DirectoryItem.h"
#include "snapshot/PathOrder.h"

namespace quorvel {

namespace {

using ItemList = std::vector<DirectoryItemPtr>;

template <typename T>
bool SamePart(const std::shared_ptr<const T>& a, const std::shared_ptr<const T>& b) {
  if (a == b) return true;
  if (!a || !b) return false;
  return *a == *b;
}

// Bits of a time for hashing; +0 and -0 hash alike (they compare equal).
std::uint64_t TimeBits(double value) {
  if (value == 0) value = 0;
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

struct MoveKey {
  std::uint32_t nodeID;
  std::uint64_t modification;
  std::uint64_t creation;
  bool operator==(const MoveKey&) const = default;
};

struct MoveKeyHash {
  std::size_t operator()(const MoveKey& key) const {
    std::uint64_t h = key.nodeID;
    h = h * 0x9E3779B97F4A7C15ULL ^ key.modification;
    h = h * 0x9E3779B97F4A7C15ULL ^ key.creation;
    return static_cast<std::size_t>(h ^ (h >> 29));
  }
};

MoveKey KeyOf(const DirectoryItem& item) {
  return {item.nodeID(), TimeBits(item.modificationDate()), TimeBits(item.creationDate())};
}

// Matches removed items against added ones. Every candidate, in order, takes
// the first remaining added item that equals it; the pair becomes one moved
// item named "old:new". Matched candidates leave their list.
void DetectMoves(ItemList& candidates, ItemList& removed, ItemList& added, ItemList& moved,
                 bool compareMetadata) {
  if (added.empty() || (candidates.empty() && removed.empty())) return;
  std::unordered_map<MoveKey, std::vector<std::size_t>, MoveKeyHash> index;
  for (std::size_t i = 0; i < added.size(); ++i) index[KeyOf(*added[i])].push_back(i);
  std::vector<bool> taken(added.size(), false);

  auto match = [&](ItemList& list, bool keepUnmatched) {
    ItemList remaining;
    for (auto& item : list) {
      bool matched = false;
      auto found = index.find(KeyOf(*item));
      if (found != index.end()) {
        for (std::size_t i : found->second) {
          if (taken[i] || !added[i]->isEqualToDirectoryItem(*item, compareMetadata)) continue;
          taken[i] = true;
          added[i]->setPath(item->path() + ":" + added[i]->path());
          moved.push_back(added[i]);
          matched = true;
          break;
        }
      }
      if (!matched && keepUnmatched) remaining.push_back(std::move(item));
    }
    list = std::move(remaining);
  };
  match(candidates, false);
  match(removed, true);

  ItemList stillAdded;
  stillAdded.reserve(added.size());
  for (std::size_t i = 0; i < added.size(); ++i) {
    if (!taken[i]) stillAdded.push_back(std::move(added[i]));
  }
  added = std::move(stillAdded);
}

void SortByPath(ItemList& list) {
  std::sort(list.begin(), list.end(),
            [](const DirectoryItemPtr& a, const DirectoryItemPtr& b) { return ComparePaths(a->path(), b->path()) < 0; });
}

void Store(Dictionary& result, const char* key, ItemList& list) {
  if (list.empty()) return;
  Array array;
  array.reserve(list.size());
  for (auto& item : list) array.emplace_back(std::move(item));
  result.set(key, Value(std::move(array)));
}

}  // namespace

std::string JoinSubpath(std::string_view directory, std::string_view name) {
  std::string path;
  path.reserve(directory.size() + 1 + name.size());
  if (!directory.empty()) {
    path.append(directory);
    path.push_back('/');
  }
  path.append(name);
  return path;
}

bool TimesDifferInMilliseconds(double a, double b) {
  double ra = std::round(a * 1000.0);
  double rb = std::round(b * 1000.0);
  if (std::isnan(ra) || std::isnan(rb)) return std::isnan(ra) != std::isnan(rb);
  return ra != rb;
}

bool MetadataDiffers(const DirectoryItemData& a, const DirectoryItemData& b) {
  return TimesDifferInMilliseconds(a.creationDate, b.creationDate) || a.permissions() != b.permissions() ||
         a.userFlags != b.userFlags || a.userID != b.userID || a.groupID != b.groupID ||
         !SamePart(a.acl(), b.acl()) ||
         !SameExtendedAttributes(a.extendedAttributes().get(), b.extendedAttributes().get());
}

Dictionary CompareDirectoryMaps(DirectoryMap& newMap, const DirectoryMap& oldMap,
                                const SnapshotComparisonSettings& settings) {
  ItemList added, removed, candidates, dataModified, metadataModified, moved;
  // Items of old directories that are gone, reported after the others.
  ItemList vanished;
  const std::uint32_t revision = settings.revision;

  auto addNew = [&](const std::string& directory, std::string_view name, DirectoryItemData& record) {
    if (revision != 0) record.revision = revision;
    added.push_back(DirectoryItem::initWithPath(JoinSubpath(directory, name), record));
  };
  // Items of an old directory that is gone from the new side.
  auto reportVanishedDirectory = [&](const std::string& directory, const DirectoryItemMap& items) {
    for (const auto& [name, record] : items) {
      if (settings.reportAllRemovedItems)
        vanished.push_back(DirectoryItem::initWithPath(JoinSubpath(directory, name), record));
      if (settings.detectMovedItems)
        candidates.push_back(DirectoryItem::initWithPath(JoinSubpath(directory, name), record));
    }
  };

  auto compareItems = [&](const std::string& directory, DirectoryItemMap& newItems, const DirectoryItemMap& oldItems) {
    auto n = newItems.begin();
    auto o = oldItems.begin();
    while (n != newItems.end() || o != oldItems.end()) {
      if (o == oldItems.end() || (n != newItems.end() && n->first < o->first)) {
        addNew(directory, n->first, n->second);
        ++n;
        continue;
      }
      if (n == newItems.end() || o->first < n->first) {
        removed.push_back(DirectoryItem::initWithPath(JoinSubpath(directory, o->first), o->second));
        ++o;
        continue;
      }
      DirectoryItemData& newRecord = n->second;
      const DirectoryItemData& oldRecord = o->second;
      if (revision != 0) newRecord.setUserInfo(oldRecord.userInfo());
      bool contentChanged =
          newRecord.type() != oldRecord.type() ||
          (!newRecord.isDirectory() &&
           TimesDifferInMilliseconds(newRecord.modificationDate, oldRecord.modificationDate));
      if (contentChanged) {
        if (revision != 0) newRecord.revision = revision;
        dataModified.push_back(DirectoryItem::initWithPath(JoinSubpath(directory, n->first), newRecord));
      } else if (settings.compareMetadata && MetadataDiffers(newRecord, oldRecord)) {
        if (revision != 0) newRecord.revision = revision;
        metadataModified.push_back(DirectoryItem::initWithPath(JoinSubpath(directory, n->first), newRecord));
      } else if (revision != 0) {
        newRecord.revision = oldRecord.revision;
      }
      ++n;
      ++o;
    }
  };

  // Both maps are ordered by subpath: walk them side by side.
  auto newDir = newMap.begin();
  auto oldDir = oldMap.begin();
  while (newDir != newMap.end() || oldDir != oldMap.end()) {
    if (oldDir == oldMap.end() || (newDir != newMap.end() && newDir->first < oldDir->first)) {
      for (auto&& [name, record] : newDir->second) addNew(newDir->first, name, record);
      ++newDir;
    } else if (newDir == newMap.end() || oldDir->first < newDir->first) {
      reportVanishedDirectory(oldDir->first, oldDir->second);
      ++oldDir;
    } else {
      compareItems(newDir->first, newDir->second, oldDir->second);
      ++newDir;
      ++oldDir;
    }
  }

  removed.insert(removed.end(), std::make_move_iterator(vanished.begin()), std::make_move_iterator(vanished.end()));
  if (settings.detectMovedItems) DetectMoves(candidates, removed, added, moved, settings.compareMetadata);

  if (settings.sortPaths) {
    for (ItemList* list : {&moved, &added, &removed, &dataModified, &metadataModified}) SortByPath(*list);
  }
  Dictionary result;
  Store(result, kMovedItemsKey, moved);
  Store(result, kAddedItemsKey, added);
  Store(result, kRemovedItemsKey, removed);
  Store(result, kModifiedDataItemsKey, dataModified);
  Store(result, kModifiedMetadataItemsKey, metadataModified);
  return result;
}

}  // namespace quorvel
