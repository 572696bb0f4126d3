// The source check command run end to end on real directory trees.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <string>

#include "engine/BackupCommandOperation.h"
#include "engine/BackupInfoOperation.h"
#include "engine/EngineTestSupport.h"
#include "snapshot/DirectoryScanner.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using test::RecordingDelegate;
using test::TempDir;
using test::Texts;
using test::WriteFile;

// Runs checkSource on `source` with a fresh controller and answers the results.
Dictionary CheckSource(const std::string& source, Dictionary arguments = {},
                       PredicatePtr exclusion = nullptr, bool preserveDSStore = false) {
  auto controller = RemoteBackupController::create();
  controller->setSourceDirectoryPath(source);
  controller->setExclusionPredicate(std::move(exclusion));
  controller->setPreserveDSStoreFiles(preserveDSStore);
  RecordingDelegate delegate;
  controller->setDelegate(&delegate);
  controller->startCommandAsynchronously(BackupCommandCheckSource, arguments);
  EXPECT_TRUE(test::RunMainLoopUntil([&] { return delegate.finished(); }));
  controller->setDelegate(nullptr);
  auto finish = delegate.first("didFinish");
  if (!finish || !finish->results) {
    ADD_FAILURE() << "no results";
    return {};
  }
  return *finish->results;
}

TEST(SourceCheck, EmptySourceHasNoFilesAndAnAllBitsMinimum) {
  TempDir source;
  Dictionary results = CheckSource(source.path());
  EXPECT_TRUE(results.get("success").asBool());
  EXPECT_EQ(results.get("sourceFiles").asUInt(), 0u);
  EXPECT_EQ(results.get("sourceDirectories").asUInt(), 0u);
  EXPECT_EQ(results.get("sourceSize").asUInt(), 0u);
  EXPECT_EQ(results.get("minFileSize").asUInt(), 18446744073709551615ull);
  EXPECT_EQ(results.get("maxFileSize").asUInt(), 0u);
  EXPECT_EQ(results.get("medianFileSize").asUInt(), 0u);
  EXPECT_EQ(results.get("topQuartileFileSize").asUInt(), 0u);
  EXPECT_EQ(results.get("topDecileFileSize").asUInt(), 0u);
  EXPECT_FALSE(results.contains("changedPaths"));
  EXPECT_FALSE(results.contains("errorMessages"));
}

TEST(SourceCheck, TwoFilesOfTenAndThirtyBytes) {
  TempDir source;
  WriteFile(source / "a", std::string(10, 'a'));
  ::mkdir((source / "sub").c_str(), 0755);
  WriteFile(source / "sub/b", std::string(30, 'b'));
  Dictionary results = CheckSource(source.path());
  EXPECT_TRUE(results.get("success").asBool());
  EXPECT_EQ(results.get("sourceFiles").asUInt(), 2u);
  EXPECT_EQ(results.get("sourceDirectories").asUInt(), 1u);
  EXPECT_EQ(results.get("sourceSize").asUInt(), 40u);
  EXPECT_EQ(results.get("minFileSize").asUInt(), 10u);
  EXPECT_EQ(results.get("maxFileSize").asUInt(), 30u);
  EXPECT_EQ(results.get("medianFileSize").asUInt(), 20u);
  EXPECT_EQ(results.get("topQuartileFileSize").asUInt(), 10u);
  EXPECT_EQ(results.get("topDecileFileSize").asUInt(), 10u);
}

TEST(SourceCheck, FourFilesGiveRoundedDownMeans) {
  TempDir source;
  for (int size = 1; size <= 4; ++size) WriteFile(source / ("f" + std::to_string(size)), std::string(size, 'x'));
  Dictionary results = CheckSource(source.path());
  EXPECT_EQ(results.get("sourceFiles").asUInt(), 4u);
  EXPECT_EQ(results.get("medianFileSize").asUInt(), 2u);
  EXPECT_EQ(results.get("topQuartileFileSize").asUInt(), 3u);
  EXPECT_EQ(results.get("topDecileFileSize").asUInt(), 1u);
  EXPECT_EQ(results.get("sourceSize").asUInt(), 10u);
}

TEST(SourceCheck, SymbolicLinkCountsAsFileWithItsTargetLength) {
  TempDir source;
  std::string target = "some/where/far-away.txt";  // 23 bytes, need not exist
  ASSERT_EQ(::symlink(target.c_str(), (source / "link").c_str()), 0);
  ::mkdir((source / "dir").c_str(), 0755);
  Dictionary results = CheckSource(source.path());
  EXPECT_TRUE(results.get("success").asBool());
  EXPECT_EQ(results.get("sourceFiles").asUInt(), 1u);
  EXPECT_EQ(results.get("sourceDirectories").asUInt(), 1u);
  EXPECT_EQ(results.get("sourceSize").asUInt(), target.size());
  EXPECT_EQ(results.get("minFileSize").asUInt(), target.size());
  EXPECT_EQ(results.get("maxFileSize").asUInt(), target.size());
}

TEST(SourceCheck, ExcludedAndUnreadableItemsAreListedAndNotCounted) {
  TempDir source;
  WriteFile(source / "keep", "12345");
  ::mkdir((source / "Docs").c_str(), 0755);
  WriteFile(source / "Docs/skip-me", std::string(100, 'x'));
  WriteFile(source / ".DS_Store", "ds");
  WriteFile(source / "._resource", "rf");
  ASSERT_EQ(::mkfifo((source / "pipe").c_str(), 0644), 0);

  Dictionary arguments;
  arguments.set("reportHiddenItems", true);
  Dictionary results =
      CheckSource(source.path(), arguments, DirectoryScanner::exclusionPredicateWithPaths({"docs"}, {}));
  EXPECT_TRUE(results.get("success").asBool());
  EXPECT_EQ(results.get("sourceFiles").asUInt(), 1u);
  EXPECT_EQ(results.get("sourceDirectories").asUInt(), 0u);
  EXPECT_EQ(results.get("sourceSize").asUInt(), 5u);
  EXPECT_EQ(Texts(results.get("excludedPaths")), (std::vector<std::string>{".DS_Store", "._resource", "Docs"}));
  EXPECT_EQ(Texts(results.get("skippedPaths")), (std::vector<std::string>{"pipe"}));
}

TEST(SourceCheck, DSStoreFilesCountWhenPreserved) {
  TempDir source;
  WriteFile(source / ".DS_Store", "123");
  Dictionary results = CheckSource(source.path(), {}, nullptr, /*preserveDSStore=*/true);
  EXPECT_EQ(results.get("sourceFiles").asUInt(), 1u);
  EXPECT_FALSE(results.contains("excludedPaths"));
}

TEST(SourceCheck, ExtendedAttributesCountTowardsTheSize) {
  TempDir source;
  WriteFile(source / "tagged", "abc");
  std::string value = "0123456789";
  if (::setxattr((source / "tagged").c_str(), "user.quorvel.test", value.data(), value.size(), 0) != 0) {
    GTEST_SKIP() << "the file system does not take user attributes here";
  }
  Dictionary results = CheckSource(source.path());
  EXPECT_EQ(results.get("sourceSize").asUInt(), 3u + value.size());
}

TEST(SourceCheck, RunsWithoutDestinationButNeedsAReadableSource) {
  TempDir source;
  WriteFile(source / "file", "x");
  Dictionary ok = CheckSource(source.path());
  EXPECT_TRUE(ok.get("success").asBool());

  Dictionary missing = CheckSource(source / "missing");
  EXPECT_FALSE(missing.get("success").asBool());
  EXPECT_EQ(Texts(missing.get("errorMessages")),
            std::vector<std::string>{"Source directory \"" + (source / "missing") + "\" is not accessible"});
  EXPECT_FALSE(missing.contains("sourceFiles"));
}

}  // namespace
}  // namespace quorvel
