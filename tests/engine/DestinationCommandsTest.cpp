// The commands that inspect or clean a destination - checkDestination,
// testBackup, verifyBackup, pruneDestination and deleteBackup - run through
// a real controller against destinations laid out by hand.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/DestinationTestSupport.h"
#include "snapshot/SnapshotTestSupport.h"

namespace quorvel {
namespace {

using namespace test;

class DestinationCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(source / "notes.txt", "some notes to keep");
    WriteFile(source / "README", "read me first");
    MakeDirectory(source / "docs");
    WriteFile(source / "docs/report.PDF", "%PDF pretend");
    controller = RemoteBackupController::create();
    controller->setSourceDirectoryPath(source.path());
    controller->setDestinationURL(LocalURL(destination.path()));
    controller->setMaximumSimultaneousSegments(2);
  }
  void TearDown() override { controller->setDelegate(nullptr); }

  // notes.txt in 3 parts (index 1), README with a metadata file (index 7),
  // docs/report.PDF in archive 1; revision 1. `extraEntry` adds upload
  // information that no record names.
  void storeBackup(bool extraEntry = false) {
    DirectoryScannerPtr scanner = ScanFolder(source.path());
    DestinationBuilder builder(destination.path());
    Dictionary files;
    builder.storeFile(*scanner, "notes.txt", 1, 7, files);
    Data metadata = TextData("packed attributes of README");
    builder.storeFile(*scanner, "README", 7, 100, files, &metadata);
    StorageRecord member;
    member.storageKind = StorageKindCompressedArchive;
    member.storageIndex = 1;
    ASSERT_TRUE(SetStorageRecordOfItem(*scanner, "docs/report.PDF", member));
    builder.store("Archive_0001.cpgz", TextData("archive of report.PDF"), files);
    if (extraEntry) files.set("File_0099.0001", UploadInformation{5, MD5Of(TextData("gone!"))}.toValue());
    builder.storeRevision(*scanner, files, 1);
    storedFiles = files;
  }

  Dictionary run(int command, Dictionary arguments = {}) {
    return RunCommand(*controller, delegate, command, std::move(arguments));
  }

  static const std::vector<std::string>& BackupFileNames() {
    static const std::vector<std::string> names = {"Archive_0001.cpgz", "File_0001.txt.0001", "File_0001.txt.0002",
                                                   "File_0001.txt.0003", "File_0007.0001", "File_0007.apdb"};
    return names;
  }

  TempDir source;
  TempDir destination;
  RecordingDelegate delegate;
  std::shared_ptr<RemoteBackupController> controller;
  Dictionary storedFiles;
};

TEST_F(DestinationCommands, CheckOfAnEmptyDestinationAnswersOnlyItsContents) {
  Dictionary results = run(BackupCommandCheckDestination);
  EXPECT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  ASSERT_TRUE(results.get("contents").isDictionary());
  EXPECT_TRUE(results.get("contents").asDictionary().empty());
  EXPECT_FALSE(results.contains("directoryScanner"));
  EXPECT_FALSE(results.contains("sourceFiles"));
}

TEST_F(DestinationCommands, CheckReportsTheBackupsTotals) {
  storeBackup();
  Dictionary results = run(BackupCommandCheckDestination);
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  auto scanner = results.get("directoryScanner").object<DirectoryScanner>();
  ASSERT_TRUE(scanner);
  EXPECT_EQ(scanner->revision(), 1u);
  EXPECT_EQ(results.get("contents").asDictionary().size(), 7u);
  EXPECT_EQ(results.get("sourceFiles").asInt(), 3);
  EXPECT_EQ(results.get("sourceDirectories").asInt(), 1);
  EXPECT_EQ(results.get("sourceSize").asUInt(), 18u + 13u + 12u);
  EXPECT_EQ(results.get("destinationFiles").asInt(), 6);
  std::uint64_t storedSize = 0;
  for (const auto& [name, information] : storedFiles) storedSize += UploadInformation::fromValue(information)->size;
  EXPECT_EQ(results.get("destinationSize").asUInt(), storedSize);
}

TEST_F(DestinationCommands, VerifyPassesOnAnIntactBackup) {
  storeBackup();
  Dictionary results = run(BackupCommandVerifyBackup);
  EXPECT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  EXPECT_FALSE(results.contains(kErrorMessagesResult)) << JoinedMessages(results);
  int verifySteps = 0;
  for (const auto& event : delegate.events()) verifySteps += event.name == "beginPhase" && event.text == kPhaseVerifyBackupFile;
  EXPECT_EQ(verifySteps, 6);
}

TEST_F(DestinationCommands, VerifyFindsMissingDamagedResizedStalledAndOrphanFiles) {
  storeBackup(true);
  ASSERT_EQ(unlink((destination / "File_0001.txt.0002").c_str()), 0);
  Data part = ReadFile(destination / "File_0007.0001");
  part[3] ^= 0x20;
  WriteFile(destination / "File_0007.0001", part);
  WriteFile(destination / "File_0001.txt.0003", "longer than before");
  WriteFile(destination / "stray.txt", "not ours");
  delegate.takesRetryQuestions = false;

  Dictionary results = run(BackupCommandVerifyBackup);
  EXPECT_FALSE(results.get(kSuccessResult).asBool());
  EXPECT_EQ(Texts(results.get(kExcludedPathsResult)),
            (std::vector<std::string>{"File_0001.txt.0002", "File_0001.txt.0003", "File_0007.0001"}));
  std::string root = "file://localhost" + destination.path() + "/";
  EXPECT_TRUE(HasMessage(results, "Failed downloading \"" + root + "File_0001.txt.0002\"")) << JoinedMessages(results);
  EXPECT_TRUE(HasMessage(results, "Download digest does not match expected one for \"" + root + "File_0007.0001\""));
  EXPECT_TRUE(HasMessage(results, "File size does not match expected one for \"" + root + "File_0001.txt.0003\""));
  EXPECT_TRUE(HasMessage(results, "Stalled item at path \"stray.txt\""));
  EXPECT_TRUE(HasMessage(results, "Orphan upload information for file \"File_0099.0001\""));
}

TEST_F(DestinationCommands, VerifyWithoutBackupFails) {
  Dictionary results = run(BackupCommandVerifyBackup);
  EXPECT_FALSE(results.get(kSuccessResult).asBool());
  EXPECT_TRUE(HasMessage(results, "No backup data available at \"file://localhost" + destination.path() + "\""));
}

TEST_F(DestinationCommands, PruneDeletesWhatTheBackupDoesNotNeed) {
  storeBackup();
  WriteFile(destination / "Revision_0000.data", "an older revision");
  WriteFile(destination / "stray.txt", "not needed");
  MakeDirectory(destination / "olddir");
  MakeDirectory(destination / "olddir/inner");
  WriteFile(destination / "olddir/inner/file", "nested");
  Dictionary results = run(BackupCommandPruneDestination);
  EXPECT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  EXPECT_EQ(Texts(results.get(kDeletedPathsResult)),
            (std::vector<std::string>{"Revision_0000.data", "olddir", "stray.txt"}));
  std::vector<std::string> left = BackupFileNames();
  left.push_back("Revision_0001.data");
  std::sort(left.begin(), left.end());
  EXPECT_EQ(ListFolder(destination.path()), left);
}

TEST_F(DestinationCommands, PruneWithoutBackupDeletesEverything) {
  WriteFile(destination / "File_0001.0001", "left over");
  WriteFile(destination / "notes", "anything");
  Dictionary results = run(BackupCommandPruneDestination);
  EXPECT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  EXPECT_TRUE(ListFolder(destination.path()).empty());
}

TEST_F(DestinationCommands, DeleteWithDestinationBesideAForeignFileKeepsTheFolder) {
  storeBackup();
  WriteFile(destination / "foreign.txt", "belongs to someone else");
  Dictionary results = run(BackupCommandDeleteBackup, Dictionary{{kDeleteDestinationArgument, true}});
  EXPECT_FALSE(results.get(kSuccessResult).asBool());
  EXPECT_EQ(Texts(results.get(kSkippedPathsResult)), std::vector<std::string>{"foreign.txt"});
  std::vector<std::string> deleted = BackupFileNames();
  deleted.push_back("Revision_0001.data");
  std::sort(deleted.begin(), deleted.end());
  EXPECT_EQ(Texts(results.get(kDeletedPathsResult)), deleted);
  EXPECT_EQ(ListFolder(destination.path()), std::vector<std::string>{"foreign.txt"});
  ASSERT_EQ(ErrorMessages(results).size(), 1u) << JoinedMessages(results);
  EXPECT_EQ(ErrorMessages(results)[0].rfind("Backup destination \"file://localhost" + destination.path(), 0), 0u);
  EXPECT_NE(ErrorMessages(results)[0].find("\" contains stalled items and cannot be deleted"), std::string::npos);
}

TEST_F(DestinationCommands, DeleteWithDestinationRemovesTheFolder) {
  storeBackup();
  Dictionary results = run(BackupCommandDeleteBackup, Dictionary{{kDeleteDestinationArgument, true}});
  EXPECT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  struct stat status;
  EXPECT_NE(lstat(destination.path().c_str(), &status), 0);
  ::mkdir(destination.path().c_str(), 0700);  // for the folder's own clean-up
}

TEST_F(DestinationCommands, DeleteKeepsTheFolderAndNeedsABackup) {
  storeBackup();
  WriteFile(destination / "foreign.txt", "stays");
  Dictionary results = run(BackupCommandDeleteBackup);
  EXPECT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  EXPECT_EQ(ListFolder(destination.path()), std::vector<std::string>{"foreign.txt"});

  results = run(BackupCommandDeleteBackup);
  EXPECT_FALSE(results.get(kSuccessResult).asBool());
  EXPECT_TRUE(HasMessage(results, "No backup data available at \"file://localhost" + destination.path() + "\""));
}

TEST_F(DestinationCommands, TestBackupReportsChangesWithoutTouchingTheDestination) {
  storeBackup();
  std::vector<std::string> before = ListFolder(destination.path());
  Data revision = ReadFile(destination / "Revision_0001.data");
  WriteFile(source / "notes.txt", "notes that changed since");
  WriteFile(source / "new.txt", "a new file");
  Dictionary results = run(BackupCommandTestBackup);
  EXPECT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  std::vector<std::string> changed = Texts(results.get(kChangedPathsResult));
  EXPECT_NE(std::find(changed.begin(), changed.end(), "notes.txt"), changed.end());
  EXPECT_NE(std::find(changed.begin(), changed.end(), "new.txt"), changed.end());
  EXPECT_EQ(ListFolder(destination.path()), before);
  EXPECT_EQ(ReadFile(destination / "Revision_0001.data"), revision);
}

TEST_F(DestinationCommands, TestBackupWithoutBackupFails) {
  Dictionary results = run(BackupCommandTestBackup);
  EXPECT_FALSE(results.get(kSuccessResult).asBool());
  EXPECT_TRUE(HasMessage(results, "No backup data available at \"file://localhost" + destination.path() + "\""));
}

}  // namespace
}  // namespace quorvel
