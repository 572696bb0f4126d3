// The storage plan on its own: which files are stored by themselves, how the
// others are grouped into archives, and which indexes they get.
#include "engine/StoragePlan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvel {
namespace {

constexpr std::uint64_t kSegment = 1000;

struct File {
  std::string path;
  std::uint64_t size;
  double modified;
};

DirectoryItemPtr Item(const File& file) {
  DirectoryItemData data;
  data.mode = 0100644;
  data.dataSize = file.size;
  data.modificationDate = file.modified;
  return DirectoryItem::initWithPath(file.path, data);
}

// "a,b|c" : archives by member paths, "|" between archives, "*" before an
// uncompressed one; stored-by-itself files as "=path@index".
std::string Describe(const StoragePlan& plan) {
  std::string text;
  for (const PlannedFile& file : plan.files) text += "=" + file.item->path() + "@" + std::to_string(file.fileIndex) + " ";
  for (const PlannedArchive& archive : plan.archives) {
    text += (archive.compressed ? "" : "*") + std::to_string(archive.archiveIndex) + ":";
    for (std::size_t i = 0; i < archive.members.size(); ++i) text += (i ? "," : "") + archive.members[i]->path();
    text += " ";
  }
  return text;
}

struct PlanCase {
  const char* what;
  std::vector<File> files;
  std::uint64_t segmentSize;
  std::vector<std::string> incompressible;
  std::vector<std::uint32_t> usedFiles;     // indexes the previous revision keeps
  std::vector<std::uint32_t> usedArchives;
  const char* expected;
  std::uint64_t archiveSize = 0;
};

TEST(StoragePlan, GroupsAndIndexesAsTheStoredFormatExpects) {
  const std::vector<PlanCase> cases = {
      {"oldest first, a stable order for equal dates",
       {{"c", 10, 3}, {"a", 10, 1}, {"b", 10, 1}}, kSegment, {}, {}, {}, "1:a,b,c "},
      {"members total less than one segment: exactly one segment starts a new archive",
       {{"a", 400, 1}, {"b", 600, 2}, {"c", 599, 3}}, kSegment, {}, {}, {}, "1:a 2:b 3:c "},
      {"one byte below the segment still shares",
       {{"a", 400, 1}, {"b", 599, 2}}, kSegment, {}, {}, {}, "1:a,b "},
      {"a file of exactly one segment goes into an archive alone, one byte more is stored by itself",
       {{"exact", kSegment, 1}, {"more", kSegment + 1, 2}, {"small", 1, 3}}, kSegment, {}, {}, {},
       "=more@1 1:exact 2:small "},
      {"large files are taken from the end of the list",
       {{"x", 5000, 1}, {"y", 5000, 2}}, kSegment, {}, {}, {}, "=y@1 =x@2 "},
      {"no segment size: everything in one archive",
       {{"big", 1u << 30, 2}, {"small", 1, 1}}, 0, {}, {}, {}, "1:small,big "},
      {"incompressible extensions, without case, first and uncompressed",
       {{"p.JPG", 10, 1}, {"t.txt", 10, 2}, {"z.zip", 10, 3}, {"noext", 10, 4}}, kSegment, {"jpg", "ZIP"}, {}, {},
       "*1:z.zip,p.JPG 2:t.txt,noext "},
      {"indexes still in use are skipped",
       {{"big", 5000, 1}, {"a", 10, 1}}, kSegment, {}, {1, 2}, {1, 3}, "=big@3 2:a "},
      {"a smaller archive size closes archives before the segment; files in parts still go by the segment",
       {{"a", 300, 1}, {"b", 300, 2}, {"c", 700, 3}, {"d", 1500, 4}}, kSegment, {}, {}, {}, "=d@1 1:a 2:b 3:c ", 500},
      {"an archive size above the segment changes nothing",
       {{"a", 400, 1}, {"b", 599, 2}}, kSegment, {}, {}, {}, "1:a,b ", 4 * kSegment},
      {"without a segment size the archive size alone closes archives",
       {{"a", 300, 1}, {"b", 300, 2}, {"c", 100, 3}}, 0, {}, {}, {}, "1:a 2:b,c ", 500},
  };
  for (const PlanCase& c : cases) {
    std::vector<DirectoryItemPtr> items;
    for (const File& file : c.files) items.push_back(Item(file));
    StorageIndexes used;
    for (std::uint32_t index : c.usedFiles) used.files[index] = true;
    for (std::uint32_t index : c.usedArchives) used.archives[index] = true;
    StoragePlan plan = PlanStorage(items, StoragePlanSettings{c.segmentSize, c.incompressible, c.archiveSize}, used);
    EXPECT_TRUE(plan.complete()) << c.what;
    EXPECT_EQ(Describe(plan), c.expected) << c.what;
    for (const PlannedFile& file : plan.files) EXPECT_TRUE(used.files[file.fileIndex]) << c.what;
    for (const PlannedArchive& archive : plan.archives) EXPECT_TRUE(used.archives[archive.archiveIndex]) << c.what;
  }
}

TEST(StoragePlan, AnExhaustedIndexSpaceLeavesThePlanIncomplete) {
  StorageIndexes full;
  std::fill(full.files.begin(), full.files.end(), true);
  StoragePlan files = PlanStorage({Item({"big", 5000, 1})}, StoragePlanSettings{kSegment, {}}, full);
  EXPECT_FALSE(files.complete());
  EXPECT_EQ(files.exhaustedFileIndexFor, "big");

  StorageIndexes archives;
  std::fill(archives.archives.begin(), archives.archives.end() - 1, true);  // one archive index left
  StoragePlan two = PlanStorage({Item({"a", 600, 1}), Item({"b", 600, 2})}, StoragePlanSettings{kSegment, {}}, archives);
  EXPECT_TRUE(two.archiveIndexesExhausted);
  ASSERT_EQ(two.archives.size(), 1u);
  EXPECT_EQ(two.archives[0].archiveIndex, kLargestStorageIndex);
}

}  // namespace
}  // namespace quorvel
