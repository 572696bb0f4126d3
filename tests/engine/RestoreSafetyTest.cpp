// The restore command against damaged and hostile destinations: names that
// would leave the restore target, links planted inside the target, a
// snapshot whose records contradict themselves, a truncated newest revision
// and a wrong password.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "engine/RestoreTestSupport.h"
#include "support/HostileArchive.h"

namespace quorvel {
namespace {

using namespace test;

using RestoreSafety = RestoreFixture;

std::string Refusal(const std::string& path) { return "Refusing unsafe path \"" + path + "\" from the backup data"; }

// A copy of a record of the snapshot (user info included).
DirectoryItemData RecordAt(DirectoryScanner& scanner, const std::string& directory, const std::string& name) {
  const DirectoryItemData* record = scanner.directories()[directory].find(name);
  EXPECT_NE(record, nullptr) << directory << " " << name;
  return record ? *record : DirectoryItemData();
}

bool HasAttribute(const std::string& path, const char* name) {
  return lgetxattr(path.c_str(), name, nullptr, 0) >= 0;
}

TEST_F(RestoreSafety, NamesThatWouldLeaveTheTargetAreRefusedAndEverythingElseIsRestored) {
  storeBackup(std::nullopt, 1, [](DirectoryScanner& scanner, DestinationBuilder&, Dictionary&) {
    // Records that point at stored data, under names no scan can produce.
    DirectoryItemData notes = RecordAt(scanner, "", "notes.txt");
    DirectoryItemData folder = RecordAt(scanner, "docs", "sub");
    scanner.directories()[""].insertOrAssign("..", notes);
    scanner.directories()["docs"].insertOrAssign("../../../escaped.txt", notes);
    scanner.directories()["docs"].insertOrAssign(".", notes);
    // A folder named ".." with contents of its own.
    scanner.directories()["docs/sub"].insertOrAssign("..", folder);
    scanner.directories()["docs/sub/.."].insertOrAssign("climbed.txt", notes);
  });
  ASSERT_EQ(::mkdir((target / "inner").c_str(), 0755), 0);
  Dictionary results = restore(std::nullopt, false, target / "inner");
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  for (const std::string& path : {std::string(".."), std::string("docs/../../../escaped.txt"), std::string("docs/."),
                                  std::string("docs/sub/..")}) {
    EXPECT_TRUE(HasMessage(results, Refusal(path))) << path << "\n" << JoinedMessages(results);
  }
  std::vector<std::string> skipped = ResultPaths(results, kSkippedPathsResult);
  EXPECT_TRUE(Contains(skipped, "docs/../../../escaped.txt"));
  EXPECT_TRUE(Contains(skipped, ".."));

  // Nothing next to the restore root, nothing above the target.
  EXPECT_EQ(ListFolder(target.path()), std::vector<std::string>{"inner"});
  EXPECT_EQ(ListFolder(target / "inner"), std::vector<std::string>{"Documents"});
  std::string parent = target.path().substr(0, target.path().rfind('/'));
  EXPECT_FALSE(Exists(parent + "/escaped.txt"));
  EXPECT_FALSE(Exists(parent + "/climbed.txt"));
  std::vector<std::string> differences = CompareTrees(root, target / "inner/Documents");
  EXPECT_TRUE(differences.empty()) << JoinLines(differences);
}

TEST_F(RestoreSafety, RequestedPathsOutsideTheBackupAreRefused) {
  storeBackup();
  Dictionary results = restore(std::vector<std::string>{"../notes.txt", "/etc/passwd", "docs/../../notes.txt"});
  EXPECT_FALSE(results.get(kSuccessResult).asBool());
  for (const char* path : {"../notes.txt", "/etc/passwd", "docs/../../notes.txt"}) {
    EXPECT_TRUE(HasMessage(results, Refusal(path))) << path << "\n" << JoinedMessages(results);
  }
  EXPECT_TRUE(HasMessage(results, "Nothing to restore"));
  EXPECT_TRUE(ListFolder(target.path()).empty());
}

TEST_F(RestoreSafety, RootWhoseNameIsNoFolderNameIsRefused) {
  for (const std::string& rootName : {std::string("/data/.."), std::string("/"), std::string("/data/.")}) {
    TempDir into;
    ASSERT_EQ(RunShell("rm -f '" + destination.path() + "'/*"), 0);
    storeBackup(std::nullopt, 1, [&](DirectoryScanner& scanner, DestinationBuilder&, Dictionary&) {
      scanner.setRootDirectory(rootName);
    });
    Dictionary results = restore(std::nullopt, true, into.path());
    EXPECT_FALSE(results.get(kSuccessResult).asBool()) << rootName;
    EXPECT_TRUE(HasMessage(results, Refusal(rootName))) << JoinedMessages(results);
    EXPECT_TRUE(ListFolder(into.path()).empty()) << rootName;
  }
}

TEST_F(RestoreSafety, LinkPlantedWhereAFolderBelongsIsReplacedNotFollowed) {
  storeBackup();
  TempDir outside;
  ASSERT_EQ(::symlink(outside.path().c_str(), (target / "docs").c_str()), 0);
  Dictionary results = restore(std::vector<std::string>{"docs"});
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  EXPECT_TRUE(ListFolder(outside.path()).empty());
  EXPECT_FALSE(IsLink(target / "docs"));
  std::vector<std::string> differences = CompareTrees(root + "/docs", target / "docs");
  EXPECT_TRUE(differences.empty()) << JoinLines(differences);

  // One level further down, inside a folder that is already there.
  TempDir second;
  ASSERT_EQ(::mkdir((second / "docs").c_str(), 0755), 0);
  ASSERT_EQ(::symlink(outside.path().c_str(), (second / "docs/sub").c_str()), 0);
  results = restore(std::vector<std::string>{"docs/sub/deep.txt"}, false, second.path());
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  EXPECT_TRUE(ListFolder(outside.path()).empty());
  EXPECT_FALSE(IsLink(second / "docs/sub"));
  EXPECT_EQ(Text(second / "docs/sub/deep.txt"), "deep down");
}

TEST_F(RestoreSafety, LinkPlantedWhereAFileBelongsIsReplacedNotFollowed) {
  storeBackup();
  TempDir outside;
  WriteFile(outside / "victim.txt", "keep me");
  WriteFile(outside / "victim2.txt", "keep me too");
  ASSERT_EQ(::symlink((outside / "victim.txt").c_str(), (target / "notes.txt").c_str()), 0);
  ASSERT_EQ(::symlink((outside / "victim2.txt").c_str(), (target / "empty-tagged").c_str()), 0);
  Dictionary results = restore(std::vector<std::string>{"notes.txt", "empty-tagged"});
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  EXPECT_EQ(Text(outside / "victim.txt"), "keep me");
  EXPECT_EQ(Text(outside / "victim2.txt"), "keep me too");
  EXPECT_FALSE(HasAttribute(outside / "victim.txt", "user.tag"));
  EXPECT_FALSE(HasAttribute(outside / "victim2.txt", "user.tag"));
  EXPECT_FALSE(IsLink(target / "notes.txt"));
  EXPECT_FALSE(IsLink(target / "empty-tagged"));
  EXPECT_EQ(Text(target / "notes.txt"), "some notes to restore");
  EXPECT_TRUE(HasAttribute(target / "empty-tagged", "user.tag"));
  std::vector<std::string> deleted = ResultPaths(results, kDeletedPathsResult);
  EXPECT_TRUE(Contains(deleted, "notes.txt"));
  EXPECT_TRUE(Contains(deleted, "empty-tagged"));
}

TEST_F(RestoreSafety, RollBackNeverDeletesThroughALinkTheBackupDataPutInAFoldersPlace) {
  // docs/sub/deep.txt comes from archive 1 and docs/other.txt from archive
  // 2, which the destination lacks: the run fails and rolls back.
  storeBackup(std::nullopt, 1, [](DirectoryScanner& scanner, DestinationBuilder& builder, Dictionary& files) {
    builder.store(ArchiveName(1, false, false), TextData("bytes the stand-in archiver ignores"), files);
    for (const auto& [path, index] : {std::pair<const char*, int>{"docs/sub/deep.txt", 1}, {"docs/other.txt", 2}}) {
      DirectoryItemPtr item = scanner.directoryItemAtSubpath(path);
      ASSERT_TRUE(item) << path;
      StorageRecord record = StorageRecordOfItem(*item).value();
      record.storageKind = StorageKindArchive;
      record.storageIndex = static_cast<std::uint16_t>(index);
      record.partCount = 0;
      ASSERT_TRUE(SetStorageRecordOfItem(scanner, path, record));
    }
  });
  TempDir outside;
  WriteFile(outside / "deep.txt", "not the restore's to delete");
  const auto outsideBefore = FolderState(outside.path());
  // Archive 1 turns the still empty docs/sub into a link to the outside
  // folder, the way an archive holding a link under that name could.
  TempDir scripts;
  ArchiverOverride archiver(scripts / "ditto", "cat >/dev/null\nrmdir \"$5/docs/sub\" && ln -s '" + outside.path() +
                                                   "' \"$5/docs/sub\"\nexit 1\n");
  controller->setMaximumSimultaneousSegments(1);

  Dictionary results = restore();
  EXPECT_FALSE(results.get(kSuccessResult).asBool());
  EXPECT_TRUE(IsLink(target / "Documents/docs/sub")) << JoinedMessages(results);
  EXPECT_EQ(FolderState(outside.path()), outsideBefore);
  const std::string joined = JoinedMessages(results);
  EXPECT_NE(joined.find("Failed deleting file \"" + target / "Documents/docs/sub/deep.txt" + "\""), std::string::npos)
      << joined;
  EXPECT_TRUE(Contains(ResultPaths(results, kSkippedPathsResult), "docs/sub/deep.txt"));
}

TEST_F(RestoreSafety, ArchiveMemberThatIsANamedPipeIsRefusedWithoutBlocking) {
  // docs/other.txt, a file, comes from an archive that holds a named pipe
  // under its name.
  storeBackup(std::nullopt, 1, [](DirectoryScanner& scanner, DestinationBuilder& builder, Dictionary& files) {
    builder.store(ArchiveName(1, false, false), HandMadeArchive({{"./docs/other.txt", AE_IFIFO, ""}}), files);
    DirectoryItemPtr item = scanner.directoryItemAtSubpath("docs/other.txt");
    ASSERT_TRUE(item);
    StorageRecord record = StorageRecordOfItem(*item).value();
    record.storageKind = StorageKindArchive;
    record.storageIndex = 1;
    record.partCount = 0;
    ASSERT_TRUE(SetStorageRecordOfItem(scanner, "docs/other.txt", record));
  });
  // Should the restore wait on a pipe, a writer opening it after a while
  // ends the wait, so that the test fails instead of hanging.
  const std::string pipe = target / "Documents/docs/other.txt";
  std::atomic<bool> finished{false};
  std::atomic<bool> released{false};
  std::thread watchdog([&] {
    for (int tenth = 0; tenth < 300 && !finished; ++tenth) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (finished) return;
    int fd = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      released = true;
      ::close(fd);
    }
  });
  Dictionary results = restore();
  finished = true;
  watchdog.join();
  EXPECT_FALSE(released) << "the restore waited on a named pipe";
  const std::string joined = JoinedMessages(results);
  EXPECT_NE(joined.find("refusing \"./docs/other.txt\": it is a named pipe, not a file, folder or symbolic link"),
            std::string::npos)
      << joined;
  EXPECT_FALSE(Exists(pipe));
  EXPECT_FALSE(Contains(ResultPaths(results, kCopiedPathsResult), "docs/other.txt"));
  EXPECT_EQ(Text(target / "Documents/docs/report.txt"), "a report that is longer than one part of eight bytes");
}

TEST_F(RestoreSafety, ItemsBelowALinkRecordAreRefused) {
  storeBackup(std::nullopt, 1, [](DirectoryScanner& scanner, DestinationBuilder&, Dictionary&) {
    // "docs/sub" claims to be a link, yet the snapshot still lists contents for it.
    DirectoryItemData* record = scanner.directories()["docs"].find("sub");
    ASSERT_NE(record, nullptr);
    record->mode = 0xA1FF;
  });
  Dictionary results = restore(std::vector<std::string>{"docs/sub/deep.txt"});
  EXPECT_FALSE(results.get(kSuccessResult).asBool());
  EXPECT_TRUE(HasMessage(results, Refusal("docs/sub/deep.txt"))) << JoinedMessages(results);
  EXPECT_TRUE(ListFolder(target.path()).empty());

  results = restore();
  EXPECT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  EXPECT_FALSE(Exists(target / "Documents/docs/sub"));
  EXPECT_EQ(Text(target / "Documents/docs/report.txt"), "a report that is longer than one part of eight bytes");
}

TEST_F(RestoreSafety, TruncatedNewestRevisionFallsBackToThePreviousOne) {
  storeBackup();
  // Revision 2: the notes changed and were stored again under another index.
  WriteFile(root + "/notes.txt", "the second version of the notes");
  {
    DestinationBuilder builder(destination.path());
    DirectoryScannerPtr scanner = ScanFolder(root);
    Dictionary files;
    Data metadata = *AppleDoubleDataForPath(root + "/notes.txt");
    builder.storeFile(*scanner, "notes.txt", 11, 8, files, &metadata);
    builder.storeRevision(*scanner, files, 2);
  }
  // Intact, the newest revision is the one restored.
  Dictionary results = restore(std::vector<std::string>{"notes.txt"});
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  EXPECT_EQ(Text(target / "notes.txt"), "the second version of the notes");

  Data revision = ReadFile(destination / "Revision_0002.data");
  revision.resize(revision.size() / 2);
  WriteFile(destination / "Revision_0002.data", revision);
  TempDir second;
  results = restore(std::vector<std::string>{"notes.txt"}, false, second.path());
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  EXPECT_TRUE(HasMessage(results, "Failed loading backup data from \"file://localhost" + destination.path() +
                                      "/Revision_0002.data\""))
      << JoinedMessages(results);
  EXPECT_EQ(Text(second / "notes.txt"), "some notes to restore");
}

TEST_F(RestoreSafety, WrongPasswordFailsAndDeletesNothing) {
  storeBackup(std::string("the right one"));
  controller->setEncryptionPassword(std::string("a wrong one"));
  ASSERT_EQ(::mkdir((target / "Documents").c_str(), 0755), 0);
  WriteFile(target / "Documents/notes.txt", "local notes");
  WriteFile(target / "other.txt", "other");
  auto targetBefore = FolderState(target.path());
  auto destinationBefore = FolderState(destination.path());
  Dictionary results = restore(std::nullopt, true);
  EXPECT_FALSE(results.get(kSuccessResult).asBool());
  // The data does not decrypt, so the snapshot cannot be read; the run ends
  // before the restore touches anything.
  // Data that does not decrypt is not retried, and the message says why.
  const std::string url = "\"file://localhost" + destination.path() + "/Revision_0001.data.aes\"";
  EXPECT_TRUE(HasMessage(results, "Failed decrypting backup data from " + url + " (wrong password or damaged file)") ||
              HasMessage(results, "Failed loading backup data from " + url))
      << JoinedMessages(results);
  EXPECT_EQ(FolderState(target.path()), targetBefore);
  EXPECT_EQ(FolderState(destination.path()), destinationBefore);
  EXPECT_FALSE(results.contains(kDeletedPathsResult));
}

}  // namespace
}  // namespace quorvel
