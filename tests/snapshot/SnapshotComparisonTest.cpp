// Comparing a fresh scan with the held snapshot, and two snapshots with each
// other: what counts as added, removed, moved, changed in content or only in
// metadata, and how revisions and user info travel.
#include "snapshot/SnapshotComparison.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>

#include "snapshot/DirectoryScanner.h"
#include "snapshot/SnapshotTestSupport.h"

namespace quorvel {
namespace {

using test::MakeDirectory;
using test::PathsUnder;
using test::SetModificationTime;
using test::Sorted;
using test::TempDir;
using test::WriteFile;
using Paths = std::vector<std::string>;

constexpr std::uint32_t kBump = kDirectoryScannerBumpRevision;
constexpr std::uint32_t kMoves = kDirectoryScannerDetectMovedItems;
constexpr std::uint32_t kDirectoriesOnly = kDirectoryScannerReportRemovedDirectoriesOnly;

class Rescan : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir_ / "keep.txt", "keep");
    MakeDirectory(dir_ / "docs");
    WriteFile(dir_ / "docs/report.txt", "report");
    SetModificationTime(dir_ / "keep.txt", 1500000000, 100000000);
    SetModificationTime(dir_ / "docs/report.txt", 1500000000, 200000000);
  }

  std::shared_ptr<DirectoryScanner> scanned(bool metadata = true) {
    auto s = DirectoryScanner::initWithRootDirectory(dir_.path(), metadata);
    s->setSortPaths(true);
    EXPECT_TRUE(s->scanRootDirectory());
    return s;
  }

  Dictionary rescan(DirectoryScanner& s, std::uint32_t options) {
    auto result = s.scanAndCompareRootDirectory(options);
    EXPECT_TRUE(result);
    return result ? *result : Dictionary();
  }

  TempDir dir_;
};

TEST_F(Rescan, IdenticalTreeGivesEmptyResultAndKeepsTheRevision) {
  auto s = scanned();
  Dictionary result = rescan(*s, kBump | kMoves);
  EXPECT_TRUE(result.empty()) << Value(result).description();
  EXPECT_EQ(s->revision(), 1u);
  EXPECT_TRUE(s->compare(*scanned(), 0).empty());
}

TEST_F(Rescan, TimesEqualAtMillisecondResolutionAreUnchanged) {
  auto s = scanned();
  // .1004 s and .1001 s round to the same millisecond; a size change alone
  // is not seen.
  SetModificationTime(dir_ / "keep.txt", 1500000000, 100400000);
  WriteFile(dir_ / "docs/report.txt", "a longer report");
  SetModificationTime(dir_ / "docs/report.txt", 1500000000, 200000000);
  EXPECT_TRUE(rescan(*s, kBump).empty());
  EXPECT_EQ(s->directoryItemAtSubpath("docs/report.txt")->dataSize(), 15u);

  SetModificationTime(dir_ / "keep.txt", 1500000000, 101600000);
  Dictionary result = rescan(*s, kBump);
  EXPECT_EQ(PathsUnder(result, "modifiedItems.data"), (Paths{"keep.txt"}));
  EXPECT_EQ(s->revision(), 2u);
}

TEST(MillisecondRounding, RoundsHalfAwayFromZero) {
  EXPECT_FALSE(TimesDifferInMilliseconds(10.0004, 10.0001));
  EXPECT_TRUE(TimesDifferInMilliseconds(10.0004, 10.0006));
  EXPECT_FALSE(TimesDifferInMilliseconds(-10.0004, -10.0001));
  EXPECT_TRUE(TimesDifferInMilliseconds(-10.0004, -10.0006));
  EXPECT_FALSE(TimesDifferInMilliseconds(0.0015, 0.0024));  // both 2 ms
  EXPECT_FALSE(TimesDifferInMilliseconds(NAN, NAN));
  EXPECT_TRUE(TimesDifferInMilliseconds(NAN, 1.0));
}

TEST_F(Rescan, FileReplacedByDirectoryIsADataChange) {
  auto s = scanned();
  unlink((dir_ / "keep.txt").c_str());
  MakeDirectory(dir_ / "keep.txt");
  Dictionary result = rescan(*s, kBump);
  EXPECT_EQ(PathsUnder(result, "modifiedItems.data"), (Paths{"keep.txt"}));
  EXPECT_FALSE(result.contains("addedItems"));
  EXPECT_FALSE(result.contains("removedItems"));
  EXPECT_TRUE(s->directoryItemAtSubpath("keep.txt")->isDirectory());
}

TEST_F(Rescan, NewEntryIsAddedWhileItsDirectoryIsNotModified) {
  auto s = scanned();
  SetModificationTime(dir_ / "docs", 1400000000, 0);
  s = scanned();
  WriteFile(dir_ / "docs/new.txt", "new");
  Dictionary result = rescan(*s, kBump);
  EXPECT_EQ(PathsUnder(result, "addedItems"), (Paths{"docs/new.txt"}));
  EXPECT_FALSE(result.contains("modifiedItems.data"));
  // The directory's new time is a metadata matter for nobody: only its
  // creation time and permissions would be.
  EXPECT_FALSE(result.contains("modifiedItems.metadata"));
}

TEST_F(Rescan, RenameIsDetectedAsAMove) {
  auto s = scanned();
  ASSERT_EQ(rename((dir_ / "docs/report.txt").c_str(), (dir_ / "final.txt").c_str()), 0);
  Dictionary result = rescan(*s, kBump | kMoves);
  EXPECT_EQ(PathsUnder(result, "movedItems"), (Paths{"docs/report.txt:final.txt"}));
  EXPECT_FALSE(result.contains("addedItems"));
  EXPECT_FALSE(result.contains("removedItems"));
  EXPECT_EQ(s->revision(), 2u);
  EXPECT_EQ(result.keys().front(), "movedItems");

  // Without detection: one added, one removed.
  ASSERT_EQ(rename((dir_ / "final.txt").c_str(), (dir_ / "again.txt").c_str()), 0);
  result = rescan(*s, kBump);
  EXPECT_EQ(PathsUnder(result, "addedItems"), (Paths{"again.txt"}));
  EXPECT_EQ(PathsUnder(result, "removedItems"), (Paths{"final.txt"}));
  EXPECT_FALSE(result.contains("movedItems"));
}

TEST_F(Rescan, RemovedDirectoryIsReportedWithOrWithoutItsContents) {
  MakeDirectory(dir_ / "gone");
  for (const char* name : {"one", "two", "three"}) WriteFile(dir_ / ("gone/" + std::string(name)), name);
  auto first = scanned();
  auto second = scanned();
  test::RunShell("rm -rf '" + (dir_ / "gone") + "'");

  Dictionary all = rescan(*first, kBump);
  EXPECT_EQ(PathsUnder(all, "removedItems"), (Paths{"gone", "gone/one", "gone/three", "gone/two"}));

  Dictionary alone = rescan(*second, kBump | kDirectoriesOnly);
  EXPECT_EQ(PathsUnder(alone, "removedItems"), (Paths{"gone"}));
}

TEST_F(Rescan, MovedDirectoryContentsAreMatchedFromTheVanishedDirectory) {
  MakeDirectory(dir_ / "old");
  WriteFile(dir_ / "old/inner.txt", "inner");
  auto reportAll = scanned();
  auto directoriesOnly = scanned();
  ASSERT_EQ(rename((dir_ / "old").c_str(), (dir_ / "new").c_str()), 0);

  // With every removed item reported, the inner file stays listed as removed
  // although its candidate copy matched.
  Dictionary result = rescan(*reportAll, kBump | kMoves);
  EXPECT_EQ(PathsUnder(result, "movedItems"), (Paths{"old/inner.txt:new/inner.txt", "old:new"}));
  EXPECT_EQ(PathsUnder(result, "removedItems"), (Paths{"old/inner.txt"}));
  EXPECT_FALSE(result.contains("addedItems"));

  result = rescan(*directoriesOnly, kBump | kMoves | kDirectoriesOnly);
  EXPECT_EQ(PathsUnder(result, "movedItems"), (Paths{"old/inner.txt:new/inner.txt", "old:new"}));
  EXPECT_FALSE(result.contains("removedItems"));
  EXPECT_FALSE(result.contains("addedItems"));
}

TEST_F(Rescan, AttributeOrACLChangeIsMetadataOnly) {
  auto s = scanned();
  auto plain = scanned(false);
  test::SetAttribute(dir_ / "keep.txt", "user.tag", "blue");
  Dictionary result = rescan(*s, kBump);
  EXPECT_EQ(PathsUnder(result, "modifiedItems.metadata"), (Paths{"keep.txt"}));
  EXPECT_FALSE(result.contains("modifiedItems.data"));

  if (test::HaveProgram("setfacl")) {
    ASSERT_EQ(test::RunShell("setfacl -m u:nobody:r '" + (dir_ / "docs/report.txt") + "'"), 0);
    result = rescan(*s, kBump);
    EXPECT_EQ(PathsUnder(result, "modifiedItems.metadata"), (Paths{"docs/report.txt"}));
    EXPECT_FALSE(result.contains("modifiedItems.data"));
    EXPECT_EQ(s->revision(), 3u);
  }

  // Without metadata the two look unchanged.
  EXPECT_TRUE(rescan(*plain, kBump).empty());
  EXPECT_EQ(plain->revision(), 1u);
}

TEST_F(Rescan, PermissionOwnerAndAttributeValueChangesAreMetadata) {
  test::SetAttribute(dir_ / "keep.txt", "user.tag", "blue");
  auto s = scanned();
  chmod((dir_ / "docs/report.txt").c_str(), 0600);
  ASSERT_EQ(lchown((dir_ / "docs").c_str(), 65534, static_cast<gid_t>(-1)), 0);
  test::SetAttribute(dir_ / "keep.txt", "user.tag", "red!");
  SetModificationTime(dir_ / "keep.txt", 1500000000, 100000000);
  Dictionary result = rescan(*s, kBump);
  EXPECT_EQ(PathsUnder(result, "modifiedItems.metadata"), (Paths{"docs", "docs/report.txt", "keep.txt"}));
}

TEST_F(Rescan, ChangedItemsAreStampedAndUnchangedKeepTheirRevision) {
  auto s = scanned();
  WriteFile(dir_ / "added.txt", "a");
  SetModificationTime(dir_ / "docs/report.txt", 1600000000, 0);
  Dictionary result = rescan(*s, kBump);
  EXPECT_EQ(s->revision(), 2u);
  EXPECT_EQ(test::ItemUnder(result, "addedItems", "added.txt")->revision(), 2u);
  EXPECT_EQ(test::ItemUnder(result, "modifiedItems.data", "docs/report.txt")->revision(), 2u);
  EXPECT_EQ(s->directoryItemAtSubpath("added.txt")->revision(), 2u);
  EXPECT_EQ(s->directoryItemAtSubpath("docs/report.txt")->revision(), 2u);
  EXPECT_EQ(s->directoryItemAtSubpath("keep.txt")->revision(), 1u);

  // Without bumping, changes are stamped with the current revision.
  WriteFile(dir_ / "second.txt", "b");
  result = rescan(*s, 0);
  EXPECT_EQ(s->revision(), 2u);
  EXPECT_EQ(s->directoryItemAtSubpath("second.txt")->revision(), 2u);
  EXPECT_EQ(s->directoryItemAtSubpath("keep.txt")->revision(), 1u);
}

TEST_F(Rescan, UserInfoIsCarriedIntoTheNewRecords) {
  auto s = scanned();
  ASSERT_TRUE(s->setUserInfoForDirectoryItemAtSubpath(Value(7), "keep.txt"));
  ASSERT_TRUE(s->setUserInfoForDirectoryItemAtSubpath(Value(8), "docs/report.txt"));
  SetModificationTime(dir_ / "docs/report.txt", 1600000000, 0);
  Dictionary result = rescan(*s, kBump);
  EXPECT_EQ(s->directoryItemAtSubpath("keep.txt")->userInfo()->asInt(), 7);
  // A changed item keeps its annotation too; the change is in the result.
  auto changed = test::ItemUnder(result, "modifiedItems.data", "docs/report.txt");
  ASSERT_TRUE(changed && changed->userInfo());
  EXPECT_EQ(changed->userInfo()->asInt(), 8);
}

TEST_F(Rescan, RootMetadataChangeIsListedFirstUnderItsPreviousRecord) {
  auto s = scanned();
  chmod(dir_.path().c_str(), 0711);
  chmod((dir_ / "keep.txt").c_str(), 0600);
  Dictionary result = rescan(*s, kBump);
  Paths metadata = PathsUnder(result, "modifiedItems.metadata");
  ASSERT_EQ(metadata, (Paths{"", "keep.txt"}));
  auto rootItem = test::ItemUnder(result, "modifiedItems.metadata", "");
  EXPECT_EQ(rootItem->permissions(), 0700);  // the previous record
  EXPECT_EQ(s->directoryItemAtSubpath("")->permissions(), 0711);
  EXPECT_EQ(s->revision(), 2u);

  // Only the root changed: the list is created for it.
  chmod(dir_.path().c_str(), 0755);
  result = rescan(*s, kBump);
  EXPECT_EQ(PathsUnder(result, "modifiedItems.metadata"), (Paths{""}));
  EXPECT_EQ(s->revision(), 3u);

  // The root's content is never compared.
  SetModificationTime(dir_.path(), 1300000000, 0);
  EXPECT_TRUE(rescan(*s, kBump).empty());
}

TEST_F(Rescan, CompareBetweenTwoScannersChangesNeither) {
  auto oldSide = scanned();
  ASSERT_TRUE(oldSide->setUserInfoForDirectoryItemAtSubpath(Value(1), "keep.txt"));
  WriteFile(dir_ / "added.txt", "x");
  chmod((dir_ / "keep.txt").c_str(), 0600);
  unlink((dir_ / "docs/report.txt").c_str());
  auto newSide = scanned();
  auto newPlain = scanned(false);

  Dictionary result = newSide->compare(*oldSide, 0);
  EXPECT_EQ(PathsUnder(result, "addedItems"), (Paths{"added.txt"}));
  EXPECT_EQ(PathsUnder(result, "removedItems"), (Paths{"docs/report.txt"}));
  EXPECT_EQ(PathsUnder(result, "modifiedItems.metadata"), (Paths{"keep.txt"}));
  EXPECT_EQ(test::ItemUnder(result, "addedItems", "added.txt")->revision(), 1u);
  EXPECT_FALSE(newSide->directoryItemAtSubpath("keep.txt")->userInfo());

  // Metadata is compared only when both sides have it.
  result = newPlain->compare(*oldSide, 0);
  EXPECT_FALSE(result.contains("modifiedItems.metadata"));
  EXPECT_EQ(PathsUnder(result, "addedItems"), (Paths{"added.txt"}));
}

TEST(DirectoryMapComparison, ResultKeysComeInTheirFixedOrder) {
  auto record = [](std::uint32_t node, double time, std::uint16_t mode = 0100644) {
    DirectoryItemData data;
    data.mode = mode;
    data.nodeID = node;
    data.modificationDate = time;
    data.creationDate = time;
    return data;
  };
  DirectoryMap oldMap, newMap;
  oldMap[""].insertOrAssign("moved", record(1, 10));
  oldMap[""].insertOrAssign("removed", record(2, 10));
  oldMap[""].insertOrAssign("data", record(3, 10));
  oldMap[""].insertOrAssign("meta", record(4, 10, 0100600));
  newMap[""].insertOrAssign("moved-here", record(1, 10));
  newMap[""].insertOrAssign("added", record(5, 10));
  newMap[""].insertOrAssign("data", record(3, 11));
  newMap[""].insertOrAssign("meta", record(4, 10, 0100644));
  SnapshotComparisonSettings settings;
  settings.compareMetadata = true;
  settings.detectMovedItems = true;
  settings.revision = 9;
  Dictionary result = CompareDirectoryMaps(newMap, oldMap, settings);
  EXPECT_EQ(result.keys(), (std::vector<std::string>{"movedItems", "addedItems", "removedItems",
                                                     "modifiedItems.data", "modifiedItems.metadata"}));
  EXPECT_EQ(PathsUnder(result, "movedItems"), (Paths{"moved:moved-here"}));
  EXPECT_EQ(newMap[""].find("added")->revision, 9u);
  EXPECT_EQ(newMap[""].find("moved-here")->revision, 9u);
  EXPECT_EQ(newMap[""].find("meta")->revision, 9u);
}

TEST(DirectoryMapComparison, MoveTakesTheFirstEqualAddedItemOnce) {
  DirectoryMap oldMap, newMap;
  DirectoryItemData data;
  data.mode = 0100644;
  data.nodeID = 3;
  data.modificationDate = 5;
  data.creationDate = 5;
  // Two hard links vanished, two names appeared with the same node.
  oldMap["x"].insertOrAssign("a", data);
  oldMap["x"].insertOrAssign("b", data);
  newMap["y"].insertOrAssign("c", data);
  newMap["y"].insertOrAssign("d", data);
  SnapshotComparisonSettings settings;
  settings.detectMovedItems = true;
  settings.reportAllRemovedItems = false;
  Dictionary result = CompareDirectoryMaps(newMap, oldMap, settings);
  EXPECT_EQ(PathsUnder(result, "movedItems"), (Paths{"x/a:y/c", "x/b:y/d"}));
  EXPECT_FALSE(result.contains("addedItems"));
  EXPECT_FALSE(result.contains("removedItems"));
}

}  // namespace
}  // namespace quorvel
