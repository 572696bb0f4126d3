// The restore command on hand-built destinations: whole and selected
// restores, folders and their recorded properties, erasing versus replacing
// single items, paths that are not in the backup, a file with metadata but
// no data, and the roll-back after a failed download.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "engine/RestoreTestSupport.h"

namespace quorvel {
namespace {

using namespace test;

using RestoreBackup = RestoreFixture;

TEST_F(RestoreBackup, WholeRestoreRebuildsTheTreeInAFolderNamedAfterTheSource) {
  storeBackup();
  Dictionary results = restore();
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  EXPECT_FALSE(results.contains(kErrorMessagesResult)) << JoinedMessages(results);
  EXPECT_EQ(ListFolder(target.path()), std::vector<std::string>{"Documents"});
  std::vector<std::string> differences = CompareTrees(root, target / "Documents");
  EXPECT_TRUE(differences.empty()) << JoinLines(differences);
  std::vector<std::string> copied = ResultPaths(results, kCopiedPathsResult);
  for (const char* path : {"", "docs", "docs/sub", "notes.txt", "empty-tagged", "docs/report.txt",
                           "docs/other.txt", "docs/sub/deep.txt"}) {
    EXPECT_TRUE(Contains(copied, path)) << path;
  }
}

TEST_F(RestoreBackup, WholeRestoreAdoptsAnExistingRootFolderAndReplacesAFileInItsPlace) {
  storeBackup();
  ASSERT_EQ(::mkdir((target / "Documents").c_str(), 0777), 0);
  WriteFile(target / "Documents/kept.txt", "already there");
  Dictionary results = restore();
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  EXPECT_EQ(Text(target / "Documents/kept.txt"), "already there");
  EXPECT_EQ(Text(target / "Documents/docs/sub/deep.txt"), "deep down");
  // The recorded permissions replace the owner-only ones of the preparation.
  struct stat status;
  ASSERT_EQ(::stat((target / "Documents").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0755u);
  // An adopted folder was not made by the restore.
  EXPECT_FALSE(Contains(ResultPaths(results, kCopiedPathsResult), ""));

  TempDir second;
  WriteFile(second / "Documents", "a file where the root folder goes");
  results = restore(std::nullopt, false, second.path());
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  std::vector<std::string> differences = CompareTrees(root, second / "Documents");
  EXPECT_TRUE(differences.empty()) << JoinLines(differences);
}

TEST_F(RestoreBackup, SelectedFileBringsItsFoldersButNoOtherFiles) {
  storeBackup();
  Dictionary results = restore(std::vector<std::string>{"docs/sub/deep.txt"});
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  EXPECT_EQ(ListFolder(target.path()), std::vector<std::string>{"docs"});
  EXPECT_EQ(ListFolder(target / "docs"), std::vector<std::string>{"sub"});
  EXPECT_EQ(ListFolder(target / "docs/sub"), std::vector<std::string>{"deep.txt"});
  // The folders got their recorded properties after their contents were written.
  TreeComparisonOptions itemOnly;
  itemOnly.descend = false;
  std::vector<std::string> differences;
  for (const char* path : {"docs", "docs/sub", "docs/sub/deep.txt"}) {
    for (const auto& line : CompareTrees(root + "/" + path, target / path, itemOnly)) {
      differences.push_back(path + (": " + line));
    }
  }
  EXPECT_TRUE(differences.empty()) << JoinLines(differences);
  EXPECT_EQ(Text(target / "docs/sub/deep.txt"), "deep down");
}

TEST_F(RestoreBackup, SelectedFolderBringsEverythingBelowIt) {
  storeBackup();
  Dictionary results = restore(std::vector<std::string>{"docs"});
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  EXPECT_EQ(ListFolder(target.path()), std::vector<std::string>{"docs"});
  std::vector<std::string> differences = CompareTrees(root + "/docs", target / "docs");
  EXPECT_TRUE(differences.empty()) << JoinLines(differences);
}

TEST_F(RestoreBackup, PathsMissingFromTheBackupAreSkippedAndNothingLeftFailsTheRun) {
  storeBackup();
  Dictionary results = restore(std::vector<std::string>{"not/there.txt", "notes.txt"});
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  EXPECT_TRUE(HasMessage(results, "No backup data entry for path \"not/there.txt\"")) << JoinedMessages(results);
  EXPECT_TRUE(HasMessage(results, "No backup data entry for path \"not\"")) << JoinedMessages(results);
  std::vector<std::string> skipped = ResultPaths(results, kSkippedPathsResult);
  EXPECT_TRUE(Contains(skipped, "not/there.txt"));
  EXPECT_EQ(ListFolder(target.path()), std::vector<std::string>{"notes.txt"});

  TempDir empty;
  results = restore(std::vector<std::string>{"missing.txt"}, false, empty.path());
  EXPECT_FALSE(results.get(kSuccessResult).asBool());
  EXPECT_TRUE(HasMessage(results, "Nothing to restore")) << JoinedMessages(results);
  EXPECT_TRUE(ListFolder(empty.path()).empty());
}

TEST_F(RestoreBackup, WholeRestoreOfAnEmptyBackupFailsAndRemovesTheRootFolderAgain) {
  storeBackup(std::nullopt, 1, [](DirectoryScanner& scanner, DestinationBuilder&, Dictionary&) {
    scanner.directories().clear();
    scanner.directories()[""];
  });
  Dictionary results = restore();
  EXPECT_FALSE(results.get(kSuccessResult).asBool());
  EXPECT_TRUE(HasMessage(results, "Nothing to restore")) << JoinedMessages(results);
  EXPECT_TRUE(ListFolder(target.path()).empty());
}

TEST_F(RestoreBackup, FilesBelowAFolderMissingFromTheBackupAreSkipped) {
  storeBackup(std::nullopt, 1, [](DirectoryScanner& scanner, DestinationBuilder&, Dictionary&) {
    // The record of "docs/sub" is gone; its contents are still listed.
    scanner.directories()["docs"].erase("sub");
  });
  Dictionary results = restore(std::vector<std::string>{"docs/sub/deep.txt", "notes.txt"});
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  EXPECT_TRUE(HasMessage(results, "No backup data entry for path \"docs/sub\"")) << JoinedMessages(results);
  EXPECT_TRUE(Contains(ResultPaths(results, kSkippedPathsResult), "docs/sub/deep.txt"));
  EXPECT_FALSE(Exists(target / "docs/sub"));
  EXPECT_EQ(Text(target / "notes.txt"), "some notes to restore");
}

TEST_F(RestoreBackup, EraseDeletesEverythingInTheTargetFirst) {
  storeBackup();
  ::mkdir((target / "old").c_str(), 0755);
  WriteFile(target / "old/file.txt", "old");
  WriteFile(target / "notes.txt", "an older version of the notes, longer than the new one");
  ASSERT_EQ(::symlink("nowhere", (target / "dangling").c_str()), 0);
  Dictionary results = restore(std::vector<std::string>{"notes.txt"}, true);
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  EXPECT_EQ(ListFolder(target.path()), std::vector<std::string>{"notes.txt"});
  EXPECT_EQ(Text(target / "notes.txt"), "some notes to restore");
  std::vector<std::string> deleted = ResultPaths(results, kDeletedPathsResult);
  for (const char* path : {"old", "old/file.txt", "notes.txt", "dangling"}) EXPECT_TRUE(Contains(deleted, path)) << path;
}

TEST_F(RestoreBackup, WithoutEraseOnlyTheRestoredItemsAreReplaced) {
  storeBackup();
  ::mkdir((target / "old").c_str(), 0755);
  WriteFile(target / "old/file.txt", "old");
  WriteFile(target / "notes.txt", "an older version of the notes, longer than the new one");
  WriteFile(target / "empty-tagged", "this file had data before");
  Dictionary results = restore(std::vector<std::string>{"notes.txt", "empty-tagged"});
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  EXPECT_EQ(ListFolder(target.path()), (std::vector<std::string>{"empty-tagged", "notes.txt", "old"}));
  EXPECT_EQ(Text(target / "old/file.txt"), "old");
  EXPECT_EQ(Text(target / "notes.txt"), "some notes to restore");
  EXPECT_EQ(Text(target / "empty-tagged"), "");
  EXPECT_FALSE(Contains(ResultPaths(results, kDeletedPathsResult), "old/file.txt"));
}

TEST_F(RestoreBackup, FileWithMetadataButNoPartsGetsItsAttributesAndProperties) {
  storeBackup();
  EXPECT_FALSE(Exists(destination / "File_0002.0001"));
  EXPECT_TRUE(Exists(destination / "File_0002.apdb"));
  Dictionary results = restore(std::vector<std::string>{"empty-tagged"});
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  TreeComparisonOptions itemOnly;
  itemOnly.descend = false;
  std::vector<std::string> differences = CompareTrees(root + "/empty-tagged", target / "empty-tagged", itemOnly);
  EXPECT_TRUE(differences.empty()) << JoinLines(differences);
  EXPECT_EQ(Text(target / "empty-tagged"), "");
  EXPECT_TRUE(Contains(ResultPaths(results, kCopiedPathsResult), "empty-tagged"));
}

TEST_F(RestoreBackup, EncryptedBackupRestoresWithItsPassword) {
  storeBackup(std::string("open sesame"));
  EXPECT_TRUE(Exists(destination / "File_0001.txt.0001.aes"));
  controller->setEncryptionPassword(std::string("open sesame"));
  Dictionary results = restore();
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  std::vector<std::string> differences = CompareTrees(root, target / "Documents");
  EXPECT_TRUE(differences.empty()) << JoinLines(differences);
}

TEST_F(RestoreBackup, FailedPartDownloadWithRetryRefusedRemovesEverythingTheRunCreated) {
  storeBackup();
  ASSERT_EQ(::unlink((destination / "File_0003.txt.0002").c_str()), 0);
  controller->setMaximumSimultaneousSegments(1);
  int questions = 0;
  delegate.onRetryQuestion = [&](BackupController& asked) {
    ++questions;
    asked.replyToShouldRetryAfterNetworkError(false);
  };
  Dictionary results = restore();
  EXPECT_FALSE(results.get(kSuccessResult).asBool());
  EXPECT_EQ(questions, 1);
  EXPECT_TRUE(HasMessage(results, "Failed downloading part \"file://localhost" + destination.path() +
                                      "/File_0003.txt.0002\""))
      << JoinedMessages(results);
  // The root folder, the folders below it and every file are gone again.
  EXPECT_TRUE(ListFolder(target.path()).empty()) << JoinLines(ListFolder(target.path()));

  // A selected restore into a folder with other contents: those stay.
  WriteFile(target / "unrelated.txt", "mine");
  ::mkdir((target / "docs").c_str(), 0755);
  WriteFile(target / "docs/mine.txt", "also mine");
  questions = 0;
  results = restore(std::vector<std::string>{"docs", "notes.txt"});
  EXPECT_FALSE(results.get(kSuccessResult).asBool());
  EXPECT_EQ(questions, 1);
  std::map<std::string, std::string> expected = {{"./unrelated.txt", "mine"},
                                                 {"./docs", "<folder>"},
                                                 {"./docs/mine.txt", "also mine"}};
  EXPECT_EQ(FolderState(target.path()), expected);
}

TEST_F(RestoreBackup, InvalidStorageRecordLeavesTheFileOut) {
  storeBackup(std::nullopt, 1, [](DirectoryScanner& scanner, DestinationBuilder&, Dictionary&) {
    ASSERT_TRUE(scanner.setUserInfoForDirectoryItemAtSubpath(Value(TextData("too short")), "docs/other.txt"));
  });
  Dictionary results = restore(std::vector<std::string>{"docs"});
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  bool reported = false;
  for (const auto& message : ErrorMessages(results)) {
    reported |= message.rfind("[Internal Error] Invalid backup data entry \"", 0) == 0 &&
                message.find("other.txt") != std::string::npos;
  }
  EXPECT_TRUE(reported) << JoinedMessages(results);
  EXPECT_FALSE(Exists(target / "docs/other.txt"));
  EXPECT_EQ(Text(target / "docs/report.txt"), "a report that is longer than one part of eight bytes");
}

TEST_F(RestoreBackup, DestinationWithoutBackupOrUnusableTargetFails) {
  Dictionary results = restore();
  EXPECT_FALSE(results.get(kSuccessResult).asBool());
  EXPECT_EQ(ErrorMessages(results),
            std::vector<std::string>{"No backup data available at \"file://localhost" + destination.path() + "\""});

  storeBackup();
  std::string missing = target / "missing";
  results = restore(std::nullopt, false, missing);
  EXPECT_FALSE(results.get(kSuccessResult).asBool());
  EXPECT_EQ(ErrorMessages(results),
            std::vector<std::string>{"Destination directory \"" + missing + "\" is not accessible"});
  WriteFile(target / "file", "x");
  results = restore(std::nullopt, false, target / "file");
  EXPECT_FALSE(results.get(kSuccessResult).asBool());
  EXPECT_TRUE(HasMessage(results, "Destination directory \"" + target / "file" + "\" is not accessible"));
}

TEST_F(RestoreBackup, SkippingVerificationStillRestoresTheData) {
  storeBackup();
  Dictionary arguments;
  arguments.set(kDestinationPathArgument, target.path());
  arguments.set(kSkipVerificationArgument, true);
  Dictionary results = RunCommand(*controller, delegate, BackupCommandRestoreBackup, arguments);
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  std::vector<std::string> differences = CompareTrees(root, target / "Documents");
  EXPECT_TRUE(differences.empty()) << JoinLines(differences);
}

}  // namespace
}  // namespace quorvel
