// The backup command against local destinations: what a run leaves on the
// destination (checked independently: openssl for encrypted files, bsdtar for
// archives, the revision data decoded from the stored bytes), incremental
// runs, the clean-up after success and failure, and cancellation.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <mutex>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/ArchiveSupport.h"
#include "engine/DestinationTestSupport.h"
#include "support/GeneratedTree.h"

namespace quorvel {
namespace {

using namespace test;

constexpr std::uint32_t kSegmentMB = 1;
constexpr std::uint64_t kSegment = std::uint64_t{kSegmentMB} << 20;

// One generated tree per test binary; each test works on its own copy.
const std::string& TemplateTree() {
  static TempDir* folder = new TempDir();
  static std::string root = [] {
    GeneratedTreeOptions options;
    options.segmentSize = kSegment;
    options.severalSegments = 2;
    options.smallFileCount = 30;
    GenerateTree(folder->path() + "/tree", options);
    return folder->path() + "/tree";
  }();
  return root;
}

std::string Quote(const std::string& path) { return "'" + path + "'"; }

std::string Md5Hex(const Data& data) { return HexStringFromData(MD5Of(data)); }

// The plain bytes of a stored file: openssl decrypts what carries a password.
Data PlainContents(const std::string& path, const std::optional<std::string>& password) {
  if (!password) return ReadFile(path);
  std::string out = path + ".plain";
  EXPECT_EQ(RunShell("openssl enc -d -aes-256-cbc -md md5 -nosalt -pass pass:" + *password + " -in " + Quote(path) +
                     " -out " + Quote(out) + " 2>/dev/null"),
            0)
      << path;
  Data plain = ReadFile(out);
  ::unlink(out.c_str());
  return plain;
}

std::optional<std::string> RevisionName(const std::string& destination) {
  std::optional<std::string> name;
  for (const std::string& entry : ListFolder(destination)) {
    if (entry.rfind("Revision_", 0) == 0) name = entry;  // the listing is sorted: the last one is the newest
  }
  return name;
}

DirectoryScannerPtr LoadRevision(const std::string& destination, const std::optional<std::string>& password) {
  std::optional<std::string> name = RevisionName(destination);
  if (!name) return nullptr;
  return DirectoryScanner::initWithSerializedData(PlainContents(destination + "/" + *name, password));
}

std::map<std::string, StorageRecord> Records(const DirectoryScanner& snapshot) {
  std::map<std::string, StorageRecord> records;
  for (const DirectoryItemPtr& item : snapshot) {
    if (item->isDirectory()) continue;
    std::optional<StorageRecord> record = ValidStorageRecordOfItem(*item);
    EXPECT_TRUE(record) << item->path();
    if (record) records[item->path()] = *record;
  }
  return records;
}

// The names a snapshot's storage records put on the destination.
std::set<std::string> PredictedNames(const DirectoryScanner& snapshot, bool encrypted) {
  std::set<std::string> names;
  for (const DirectoryItemPtr& item : snapshot) {
    if (item->isDirectory()) continue;
    std::optional<StorageRecord> record = ValidStorageRecordOfItem(*item);
    if (!record) continue;
    if (record->isArchiveMember()) {
      names.insert(ArchiveName(record->storageIndex, record->isCompressedArchive(), encrypted));
      continue;
    }
    std::string base = FileBaseName(record->storageIndex, item->path());
    if (record->hasMetadata()) names.insert(FileMetadataName(base, encrypted));
    for (int part = 1; part <= record->partCount; ++part) names.insert(FilePartName(base, part, encrypted));
  }
  return names;
}

std::set<std::string> ListingSet(const std::string& folder) {
  std::vector<std::string> names = ListFolder(folder);
  return std::set<std::string>(names.begin(), names.end());
}

// name -> modification time and inode, to see that a run left a file alone.
std::map<std::string, std::pair<long, long>> Stamps(const std::string& folder) {
  std::map<std::string, std::pair<long, long>> stamps;
  for (const std::string& name : ListFolder(folder)) {
    struct stat status;
    if (::lstat((folder + "/" + name).c_str(), &status) == 0) {
      stamps[name] = {static_cast<long>(status.st_mtim.tv_sec) * 1000000000L + status.st_mtim.tv_nsec,
                      static_cast<long>(status.st_ino)};
    }
  }
  return stamps;
}

std::vector<std::string> PathList(const Dictionary& results, const char* key) {
  return results.get(key).isArray() ? Texts(results.get(key)) : std::vector<std::string>();
}

class PerformBackup : public ::testing::Test {
 protected:
  void SetUp() override {
    source = work.path() + "/source";
    destination = work.path() + "/destination";
    ASSERT_EQ(RunShell("cp -a " + Quote(TemplateTree()) + " " + Quote(source)), 0);
    ASSERT_EQ(::mkdir(destination.c_str(), 0755), 0);
    controller = RemoteBackupController::create();
    controller->setSourceDirectoryPath(source);
    controller->setDestinationURL(LocalURL(destination));
    controller->setMaximumSegmentSize(kSegmentMB);
    controller->setMaximumSimultaneousSegments(3);
    controller->setComputeFileDigests(true);
    controller->setIncompressibleExtensions({"jpg", "ZIP"});
    delegate.takesRetryQuestions = false;
  }
  void TearDown() override { controller->setDelegate(nullptr); }

  void usePassword(const std::string& text) {
    password = text;
    controller->setEncryptionPassword(text);
  }

  Dictionary backup(double limit = 60.0) {
    delegate.clear();
    controller->setDelegate(&delegate);
    controller->startCommandAsynchronously(BackupCommandPerformBackup, Dictionary());
    EXPECT_TRUE(RunMainLoopUntil([&] { return delegate.finished(); }, limit)) << "the backup did not finish";
    auto event = delegate.first("didFinish");
    return event && event->results ? *event->results : Dictionary();
  }

  // The revision on the destination, with every stored name checked against
  // its upload information and the listing checked against the records.
  DirectoryScannerPtr checkDestination() {
    DirectoryScannerPtr revision = LoadRevision(destination, password);
    EXPECT_TRUE(revision) << "no loadable revision";
    if (!revision) return nullptr;
    std::set<std::string> expected = PredictedNames(*revision, password.has_value());
    expected.insert(RevisionDataName(revision->revision(), password.has_value()));
    EXPECT_EQ(ListingSet(destination), expected);

    const Value& files = revision->userInfoForKey(kBackupFilesKey);
    EXPECT_TRUE(files.isDictionary());
    std::set<std::string> recorded;
    for (const auto& [name, value] : files.asDictionary()) {
      recorded.insert(name);
      std::optional<UploadInformation> information = UploadInformation::fromValue(value);
      EXPECT_TRUE(information) << name;
      if (!information) continue;
      struct stat status;
      EXPECT_EQ(::stat((destination + "/" + name).c_str(), &status), 0) << name;
      EXPECT_EQ(static_cast<std::uint64_t>(status.st_size), information->size) << name;
      EXPECT_EQ(Md5Hex(PlainContents(destination + "/" + name, password)), HexStringFromData(information->digest))
          << name;
    }
    expected.erase(RevisionDataName(revision->revision(), password.has_value()));
    EXPECT_EQ(recorded, expected);
    return revision;
  }

  // Extracts an archive with bsdtar and compares its members with the source.
  void checkArchive(const std::string& name, const std::vector<std::string>& members) {
    std::string folder = work.path() + "/unpacked-" + name;
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    Data plain = PlainContents(destination + "/" + name, password);
    WriteFile(folder + ".bytes", plain);
    ASSERT_EQ(RunShell("cd " + Quote(folder) + " && bsdtar -xf " + Quote(folder + ".bytes") + " 2>&1"), 0) << name;
    for (const std::string& member : members) {
      struct stat status;
      ASSERT_EQ(::lstat((source + "/" + member).c_str(), &status), 0) << member;
      if (S_ISLNK(status.st_mode)) {
        char a[1024], b[1024];
        ssize_t la = ::readlink((source + "/" + member).c_str(), a, sizeof a);
        ssize_t lb = ::readlink((folder + "/" + member).c_str(), b, sizeof b);
        EXPECT_EQ(std::string(a, la > 0 ? la : 0), std::string(b, lb > 0 ? lb : 0)) << member;
      } else {
        EXPECT_EQ(ReadFile(folder + "/" + member), ReadFile(source + "/" + member)) << member << " in " << name;
      }
    }
  }

  TempDir work;
  std::string source;
  std::string destination;
  std::optional<std::string> password;
  std::shared_ptr<RemoteBackupController> controller;
  RecordingDelegate delegate;
};

// ---- What one run stores --------------------------------------------------------

class StoresTheTree : public PerformBackup, public ::testing::WithParamInterface<bool> {};

TEST_P(StoresTheTree, AsItsRevisionDescribes) {
  if (GetParam()) usePassword("PW");
  Dictionary results = backup();
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  DirectoryScannerPtr revision = checkDestination();
  ASSERT_TRUE(revision);
  EXPECT_EQ(revision->revision(), 1u);

  std::map<std::string, StorageRecord> records = Records(*revision);
  // Segment boundary: exactly one segment is an archive of its own, one byte
  // more is stored by itself in parts of a segment less 32 bytes.
  const StorageRecord& exact = records.at("segment/exact.bin");
  EXPECT_TRUE(exact.isArchiveMember());
  for (const auto& [path, record] : records) {
    if (path != "segment/exact.bin" && record.isArchiveMember()) EXPECT_NE(record.storageIndex, exact.storageIndex) << path;
  }
  const StorageRecord& plusOne = records.at("segment/exact-plus-one.bin");
  EXPECT_TRUE(plusOne.isStoredByItself());
  EXPECT_EQ(plusOne.partCount, 2);
  const StorageRecord& several = records.at("segment/several.dat");
  EXPECT_EQ(several.partCount, static_cast<int>((2 * kSegment + kSegment / 3 + 7 + kSegment - 33) / (kSegment - 32)));
  // Incompressible extensions go to uncompressed archives, everything else small to compressed ones.
  for (const auto& [path, record] : records) {
    std::string extension = PathExtension(path);
    if (record.isArchiveMember()) {
      EXPECT_EQ(record.isCompressedArchive(), extension != "jpg" && extension != "zip") << path;
    }
    // The recorded digest is the MD5 of the content (the link's target for links).
    struct stat status;
    ASSERT_EQ(::lstat((source + "/" + path).c_str(), &status), 0);
    Data content;
    if (S_ISLNK(status.st_mode)) {
      char target[1024];
      ssize_t length = ::readlink((source + "/" + path).c_str(), target, sizeof target);
      content = Data(target, target + length);
    } else {
      content = ReadFile(source + "/" + path);
    }
    EXPECT_EQ(HexStringFromData(Data(record.digest.begin(), record.digest.end())), Md5Hex(content)) << path;
  }
  // Archives hold their members (checked with bsdtar).
  std::map<std::string, std::vector<std::string>> archives;
  for (const auto& [path, record] : records) {
    if (record.isArchiveMember()) {
      archives[ArchiveName(record.storageIndex, record.isCompressedArchive(), GetParam())].push_back(path);
    }
  }
  EXPECT_GE(archives.size(), 3u);
  for (const auto& [name, members] : archives) checkArchive(name, members);
  // Files stored by themselves: the parts joined are the file.
  for (const auto& [path, record] : records) {
    if (!record.isStoredByItself()) continue;
    Data joined;
    for (int part = 1; part <= record.partCount; ++part) {
      Data piece = PlainContents(destination + "/" + FilePartName(FileBaseName(record.storageIndex, path), part,
                                                                  GetParam()),
                                 password);
      joined.insert(joined.end(), piece.begin(), piece.end());
    }
    EXPECT_EQ(joined, ReadFile(source + "/" + path)) << path;
  }

  // Counts of the results.
  std::uint64_t files = 0, directories = 0;
  for (const DirectoryItemPtr& item : *revision) (item->isDirectory() ? directories : files)++;
  EXPECT_EQ(results.get("sourceFiles").asUInt(), files);
  EXPECT_EQ(results.get("sourceDirectories").asUInt(), directories);
  EXPECT_EQ(results.get("copiedFiles").asUInt(), files);
  EXPECT_EQ(results.get("destinationFiles").asUInt(), revision->userInfoForKey(kBackupFilesKey).asDictionary().size());
  EXPECT_TRUE(results.get("directoryScanner").isObject());
  EXPECT_TRUE(ErrorMessages(results).empty()) << JoinedMessages(results);
}

INSTANTIATE_TEST_SUITE_P(PasswordOrNot, StoresTheTree, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Encrypted" : "Plain"; });

TEST_F(PerformBackup, FirstRunOverOnlyFoldersFailsAsEmpty) {
  ASSERT_EQ(RunShell("rm -rf " + Quote(source) + " && mkdir -p " + Quote(source + "/a/b") + " " +
                     Quote(source + "/c")),
            0);
  Dictionary results = backup();
  EXPECT_FALSE(results.get(kSuccessResult).asBool());
  EXPECT_TRUE(HasMessage(results, "Initial backup is empty")) << JoinedMessages(results);
  EXPECT_TRUE(ListFolder(destination).empty());
}

// ---- Incremental runs ----------------------------------------------------------------

TEST_F(PerformBackup, UnchangedSecondRunUploadsAndDeletesNothing) {
  ASSERT_TRUE(backup().get(kSuccessResult).asBool());
  auto before = Stamps(destination);
  ::usleep(20000);
  Dictionary results = backup();
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  EXPECT_EQ(Stamps(destination), before);
  EXPECT_EQ(RevisionName(destination), "Revision_0001.data");
  EXPECT_EQ(results.get("copiedFiles").asUInt(), 0u);
  EXPECT_TRUE(PathList(results, kDeletedPathsResult).empty());
  EXPECT_TRUE(PathList(results, kCreatedPathsResult).empty());
  EXPECT_GT(results.get("sourceFiles").asUInt(), 30u);
}

TEST_F(PerformBackup, NewEmptyFolderStoresOnlyANewRevision) {
  ASSERT_TRUE(backup().get(kSuccessResult).asBool());
  std::set<std::string> expected = ListingSet(destination);
  auto before = Stamps(destination);
  ASSERT_EQ(::mkdir((source + "/new folder").c_str(), 0755), 0);
  Dictionary results = backup();
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  expected.erase("Revision_0001.data");
  expected.insert("Revision_0002.data");
  EXPECT_EQ(ListingSet(destination), expected);
  auto after = Stamps(destination);
  for (const auto& [name, stamp] : before) {
    if (after.count(name)) EXPECT_EQ(after[name], stamp) << name;
  }
  DirectoryScannerPtr revision = checkDestination();
  ASSERT_TRUE(revision);
  EXPECT_TRUE(revision->directoryItemAtSubpath("new folder"));
  EXPECT_EQ(results.get("copiedFiles").asUInt(), 0u);
}

// ---- Durability before deletion -----------------------------------------------------
// Local clients that record, in order, the destination syncs and the
// deletions of every client the engine makes while recording is on; a sync
// can be made to fail.

struct DestinationEvents {
  std::mutex mutex;
  std::vector<std::string> events;
  std::atomic<bool> recording{false};
  std::atomic<bool> failSync{false};
};

DestinationEvents& Events() {
  static DestinationEvents* events = new DestinationEvents();
  return *events;
}

class EventRecordingController : public LocalTransferController {
 public:
  using LocalTransferController::LocalTransferController;
  static std::shared_ptr<FileTransferController> make(const Url& url) {
    return makeController<EventRecordingController>(url);
  }
  bool syncDestination() override {
    if (Events().failSync) {
      record("failed sync");
      notifyDidStart();
      notifyDidFail(Error::posixError(EIO, "Could not sync the destination"));
      return false;
    }
    bool synced = LocalTransferController::syncDestination();
    record(synced ? "sync" : "failed sync");
    return synced;
  }
  bool deleteFileAtPath(const std::string& path) override {
    record("delete " + path);
    return LocalTransferController::deleteFileAtPath(path);
  }
  bool deleteDirectoryRecursivelyAtPath(const std::string& path) override {
    record("delete " + path);
    return LocalTransferController::deleteDirectoryRecursivelyAtPath(path);
  }

 private:
  static void record(std::string event) {
    std::lock_guard<std::mutex> guard(Events().mutex);
    Events().events.push_back(std::move(event));
  }
};

// Serves "file" URLs with EventRecordingController while alive.
class RecordingDestinationEvents {
 public:
  explicit RecordingDestinationEvents(bool failSync) {
    static bool registered = [] {
      FileTransferController::registerClassForScheme("file", &EventRecordingController::make,
                                                     [](const std::string&) { return Events().recording.load(); });
      return true;
    }();
    (void)registered;
    std::lock_guard<std::mutex> guard(Events().mutex);
    Events().events.clear();
    Events().failSync = failSync;
    Events().recording = true;
  }
  ~RecordingDestinationEvents() {
    Events().recording = false;
    Events().failSync = false;
  }
  std::vector<std::string> events() {
    std::lock_guard<std::mutex> guard(Events().mutex);
    return Events().events;
  }
};

struct SyncBeforeDeletionCase {
  const char* name;
  bool syncFails;
};

void PrintTo(const SyncBeforeDeletionCase& item, std::ostream* out) { *out << item.name; }

class SyncBeforeDeletion : public PerformBackup, public ::testing::WithParamInterface<SyncBeforeDeletionCase> {};

TEST_P(SyncBeforeDeletion, TheReplacedRevisionGoesOnlyAfterTheDestinationIsSynced) {
  ASSERT_TRUE(backup().get(kSuccessResult).asBool());
  ASSERT_EQ(::mkdir((source + "/second").c_str(), 0755), 0);
  RecordingDestinationEvents recording(GetParam().syncFails);
  Dictionary results = backup();
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  std::vector<std::string> events = recording.events();
  std::set<std::string> listing = ListingSet(destination);
  EXPECT_EQ(listing.count("Revision_0002.data"), 1u);
  const std::string deletion = "delete Revision_0001.data";
  auto deleted = std::find(events.begin(), events.end(), deletion);
  if (GetParam().syncFails) {
    // The previous revision stays whole when the new one may not be on disk.
    EXPECT_NE(std::find(events.begin(), events.end(), "failed sync"), events.end());
    EXPECT_EQ(deleted, events.end());
    EXPECT_EQ(listing.count("Revision_0001.data"), 1u);
  } else {
    ASSERT_NE(deleted, events.end()) << "the replaced revision was not deleted";
    EXPECT_NE(std::find(events.begin(), deleted, "sync"), deleted) << "deleted before any sync";
    EXPECT_EQ(std::find(events.begin(), events.end(), "failed sync"), events.end());
    EXPECT_EQ(listing.count("Revision_0001.data"), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Sync, SyncBeforeDeletion,
                         ::testing::Values(SyncBeforeDeletionCase{"Synced", false},
                                           SyncBeforeDeletionCase{"SyncFails", true}),
                         [](const ::testing::TestParamInfo<SyncBeforeDeletionCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(PerformBackup, OlderRevisionFilesLeftBehindAreDeletedAfterTheNextRevisionIsVerified) {
  ASSERT_TRUE(backup().get(kSuccessResult).asBool());
  const std::string first = destination + "/Revision_0001.data";
  Data firstRevision = ReadFile(first);
  ASSERT_EQ(::mkdir((source + "/second").c_str(), 0755), 0);
  ASSERT_TRUE(backup().get(kSuccessResult).asBool());
  // As an interrupted clean-up leaves it: the replaced revision is still there.
  WriteFile(first, firstRevision);
  ASSERT_EQ(::mkdir((source + "/third").c_str(), 0755), 0);
  Dictionary results = backup();
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  std::vector<std::string> deleted = PathList(results, kDeletedPathsResult);
  EXPECT_EQ(deleted, (std::vector<std::string>{"Revision_0001.data", "Revision_0002.data"}));
  std::set<std::string> listing = ListingSet(destination);
  EXPECT_EQ(listing.count("Revision_0001.data") + listing.count("Revision_0002.data"), 0u);
  EXPECT_EQ(listing.count("Revision_0003.data"), 1u);
}

TEST_F(PerformBackup, FileBecomingAFolderAndFolderBecomingAFile) {
  ASSERT_TRUE(backup().get(kSuccessResult).asBool());
  ASSERT_EQ(RunShell("cd " + Quote(source) + " && rm small/file-000.txt && mkdir small/file-000.txt && " +
                     "echo inside > small/file-000.txt/inner && rmdir empty-folder && echo now a file > empty-folder"),
            0);
  Dictionary results = backup();
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  EXPECT_TRUE(ErrorMessages(results).empty()) << JoinedMessages(results);
  DirectoryScannerPtr revision = checkDestination();
  ASSERT_TRUE(revision);
  DirectoryItemPtr folder = revision->directoryItemAtSubpath("small/file-000.txt");
  ASSERT_TRUE(folder);
  EXPECT_TRUE(folder->isDirectory());
  EXPECT_FALSE(folder->userInfo());
  EXPECT_TRUE(Records(*revision).count("small/file-000.txt/inner"));
  EXPECT_TRUE(Records(*revision).count("empty-folder"));
}

// With archives rewritten whenever a member changes (the setting at 100).
TEST_F(PerformBackup, ChangedArchiveMemberMovesItsWholeArchive) {
  controller->setArchiveRewritePercent(100);
  usePassword("secret");
  ASSERT_TRUE(backup().get(kSuccessResult).asBool());
  DirectoryScannerPtr first = checkDestination();
  ASSERT_TRUE(first);
  std::map<std::string, StorageRecord> before = Records(*first);
  const std::string changed = "small/a/file-001.txt";
  ASSERT_TRUE(before.at(changed).isArchiveMember());
  std::vector<std::string> members;
  for (const auto& [path, record] : before) {
    if (record.isArchiveMember() && record.storageIndex == before.at(changed).storageIndex &&
        record.storageKind == before.at(changed).storageKind)
      members.push_back(path);
  }
  ASSERT_GT(members.size(), 1u);
  const std::string oldArchive = ArchiveName(before.at(changed).storageIndex, true, true);

  WriteFile(source + "/" + changed, "changed contents");
  Dictionary results = backup();
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  DirectoryScannerPtr second = checkDestination();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->revision(), 2u);
  EXPECT_EQ(RevisionName(destination), "Revision_0002.data.aes");
  std::map<std::string, StorageRecord> after = Records(*second);
  std::set<std::uint32_t> newIndexes;
  for (const std::string& member : members) {
    ASSERT_TRUE(after.count(member)) << member;
    EXPECT_TRUE(after.at(member).isArchiveMember()) << member;
    newIndexes.insert(after.at(member).storageIndex);
    EXPECT_NE(after.at(member).storageIndex, before.at(changed).storageIndex) << member;
  }
  EXPECT_EQ(ListingSet(destination).count(oldArchive), 0u);
  // Members of other archives and files stored by themselves stay where they were.
  for (const auto& [path, record] : before) {
    if (std::find(members.begin(), members.end(), path) == members.end()) EXPECT_EQ(after.at(path), record) << path;
  }
  std::vector<std::string> deleted = PathList(results, kDeletedPathsResult);
  EXPECT_NE(std::find(deleted.begin(), deleted.end(), oldArchive), deleted.end());
  EXPECT_EQ(std::vector<std::string>{changed}, PathList(results, kChangedPathsResult));

  // The old archive and revision went only after the new revision was read back.
  std::vector<std::string> order;
  for (const auto& event : delegate.events()) {
    if (event.name == "endPhase" && (event.text == "verifyBackupInfo" || event.text == "deleteSpareBackupFiles"))
      order.push_back(event.text);
    if (event.name == "beginPhase" && event.text == "deleteSpareBackupFiles") order.push_back("beginDelete");
  }
  EXPECT_EQ(order, (std::vector<std::string>{"verifyBackupInfo", "beginDelete", "deleteSpareBackupFiles"}));
}

// By default an archive keeps its unchanged members: a changed member is
// stored anew, a removed one only leaves the revision, and the archive is
// stored again only once what remains of it is less than half its bytes.
TEST_F(PerformBackup, ArchivesKeepTheirUnchangedMembersUntilLessThanHalfRemains) {
  ASSERT_TRUE(backup().get(kSuccessResult).asBool());
  DirectoryScannerPtr first = checkDestination();
  ASSERT_TRUE(first);
  std::map<std::string, StorageRecord> before = Records(*first);
  const StorageRecord archive = before.at("small/a/file-001.txt");
  ASSERT_TRUE(archive.isArchiveMember());
  std::vector<std::string> members;
  for (const auto& [path, record] : before)
    if (record.isArchiveMember() && record.storageIndex == archive.storageIndex &&
        record.storageKind == archive.storageKind)
      members.push_back(path);
  ASSERT_GE(members.size(), 6u);
  const std::string archiveName = ArchiveName(archive.storageIndex, true, false);
  auto restoredTree = [&](const std::string& into) {
    Dictionary arguments;
    arguments.set(kDestinationPathArgument, into);
    ::mkdir(into.c_str(), 0700);
    return RunCommand(*controller, delegate, BackupCommandRestoreBackup, arguments);
  };

  // One member changes, another goes: both leave the archive, which stays.
  WriteFile(source + "/" + members[0], "changed contents");
  ASSERT_EQ(::unlink((source + "/" + members[1]).c_str()), 0);
  Dictionary results = backup();
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  DirectoryScannerPtr second = checkDestination();
  ASSERT_TRUE(second);
  std::map<std::string, StorageRecord> after = Records(*second);
  EXPECT_NE(after.at(members[0]).storageIndex, archive.storageIndex);
  EXPECT_FALSE(after.count(members[1]));
  for (std::size_t i = 2; i < members.size(); ++i) EXPECT_EQ(after.at(members[i]), before.at(members[i])) << members[i];
  EXPECT_TRUE(ListingSet(destination).count(archiveName));
  // Only the replaced revision data goes.
  EXPECT_EQ(PathList(results, kDeletedPathsResult), std::vector<std::string>{"Revision_0001.data"});
  // The archive still holds the old copies; a restore takes only what the
  // revision names.
  Dictionary restore = restoredTree(work.path() + "/restored");
  ASSERT_TRUE(restore.get(kSuccessResult).asBool()) << JoinedMessages(restore);
  EXPECT_EQ(ReadFile(work.path() + "/restored/source/" + members[0]), ReadFile(source + "/" + members[0]));
  EXPECT_FALSE(std::filesystem::exists(work.path() + "/restored/source/" + members[1]));

  // Once less than half of it remains, the rest is stored again and the archive goes.
  const std::size_t kept = members.size() - 2;
  for (std::size_t i = 2; i < kept; ++i) ::unlink((source + "/" + members[i]).c_str());
  results = backup();
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  DirectoryScannerPtr third = checkDestination();
  ASSERT_TRUE(third);
  after = Records(*third);
  for (std::size_t i = kept; i < members.size(); ++i)
    EXPECT_NE(after.at(members[i]).storageIndex, archive.storageIndex) << members[i];
  EXPECT_FALSE(ListingSet(destination).count(archiveName));
}

// Files that were hard links of one another come back as links; a copy with
// the same content stays a file of its own.
TEST_F(PerformBackup, HardLinkedFilesAreRestoredAsLinks) {
  WriteFile(source + "/linked-a.txt", "one file, two names");
  ASSERT_EQ(::link((source + "/linked-a.txt").c_str(), (source + "/small/linked-b.txt").c_str()), 0);
  WriteFile(source + "/copy.txt", "one file, two names");
  ASSERT_TRUE(backup().get(kSuccessResult).asBool());
  const std::string into = work.path() + "/restored";
  ASSERT_EQ(::mkdir(into.c_str(), 0700), 0);
  Dictionary arguments;
  arguments.set(kDestinationPathArgument, into);
  Dictionary results = RunCommand(*controller, delegate, BackupCommandRestoreBackup, arguments);
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  struct stat a {}, b {}, copy {};
  ASSERT_EQ(::stat((into + "/source/linked-a.txt").c_str(), &a), 0);
  ASSERT_EQ(::stat((into + "/source/small/linked-b.txt").c_str(), &b), 0);
  ASSERT_EQ(::stat((into + "/source/copy.txt").c_str(), &copy), 0);
  EXPECT_EQ(a.st_ino, b.st_ino);
  EXPECT_EQ(a.st_nlink, 2u);
  EXPECT_NE(copy.st_ino, a.st_ino);
  EXPECT_EQ(ReadFile(into + "/source/small/linked-b.txt"), ReadFile(source + "/linked-a.txt"));
  std::vector<std::string> copied = PathList(results, kCopiedPathsResult);
  EXPECT_NE(std::find(copied.begin(), copied.end(), "small/linked-b.txt"), copied.end());
}

TEST_F(PerformBackup, RemovedFileIsGoneAfterSuccessAndKeptAfterFailure) {
  ASSERT_TRUE(backup().get(kSuccessResult).asBool());
  DirectoryScannerPtr first = checkDestination();
  ASSERT_TRUE(first);
  const StorageRecord removed = Records(*first).at("segment/exact-plus-one.bin");
  const std::string base = FileBaseName(removed.storageIndex, "segment/exact-plus-one.bin");
  std::set<std::string> listingBefore = ListingSet(destination);

  ASSERT_EQ(::unlink((source + "/segment/exact-plus-one.bin").c_str()), 0);
  WriteFile(source + "/segment/new-large.bin", GeneratedContents("new", kSegment * 2, 9));
  // The destination refuses the new revision data: a folder holds its name.
  ASSERT_EQ(::mkdir((destination + "/Revision_0002.data").c_str(), 0755), 0);
  Dictionary failed = backup();
  EXPECT_FALSE(failed.get(kSuccessResult).asBool());
  EXPECT_NE(JoinedMessages(failed).find("Failed uploading backup data to"), std::string::npos)
      << JoinedMessages(failed);
  std::set<std::string> listingAfterFailure = ListingSet(destination);
  listingAfterFailure.erase("Revision_0002.data");
  EXPECT_EQ(listingAfterFailure, listingBefore);
  EXPECT_TRUE(listingAfterFailure.count(FilePartName(base, 1, false)));

  // (The failed run's clean-up may already have removed the folder, as it
  // removes every name the run tried to create.)
  ::rmdir((destination + "/Revision_0002.data").c_str());
  Dictionary results = backup();
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  DirectoryScannerPtr second = checkDestination();
  ASSERT_TRUE(second);
  EXPECT_FALSE(second->directoryItemAtSubpath("segment/exact-plus-one.bin"));
  EXPECT_EQ(ListingSet(destination).count(FilePartName(base, 1, false)), 0u);
  EXPECT_EQ(ListingSet(destination).count(FilePartName(base, 2, false)), 0u);
  EXPECT_TRUE(Records(*second).at("segment/new-large.bin").isStoredByItself());
}

// ---- A full destination disk ----------------------------------------------------------

// Bytes a file takes on tmpfs: whole pages.
std::uint64_t PagesOf(std::uint64_t size) { return (size + 4095) / 4096 * 4096; }

// A full disk cannot be fixed by waiting: the run fails at once with the
// disk's error and never asks whether to retry. The destination is a tmpfs of
// fixed size, measured from a first run elsewhere so that it fills either
// while the file data is stored or just when the revision data is.
TEST_F(PerformBackup, AFullDestinationDiskFailsTheRunAtOnceWithTheDisksError) {
  ASSERT_TRUE(backup().get(kSuccessResult).asBool());
  std::uint64_t dataBytes = 0;
  std::uint64_t revisionBytes = 0;
  for (const std::string& name : ListFolder(destination)) {
    struct stat status;
    ASSERT_EQ(::stat((destination + "/" + name).c_str(), &status), 0);
    (name.rfind("Revision_", 0) == 0 ? revisionBytes : dataBytes) += PagesOf(static_cast<std::uint64_t>(status.st_size));
  }
  ASSERT_GT(revisionBytes, 4096u) << "the revision must take more than one page for the second case";
  struct Case {
    const char* when;
    std::uint64_t diskBytes;
  };
  const Case cases[] = {{"while storing file data", dataBytes / 2},
                        {"while storing the revision data", dataBytes + revisionBytes - 4096}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.when);
    const std::string full = work.path() + "/full-" + std::to_string(c.diskBytes);
    ASSERT_EQ(::mkdir(full.c_str(), 0755), 0);
    if (RunShell("mount -t tmpfs -o size=" + std::to_string(c.diskBytes) + " tmpfs " + Quote(full) + " 2>/dev/null") !=
        0) {
      GTEST_SKIP() << "mounting a tmpfs needs root";
    }
    controller->setDestinationURL(LocalURL(full));
    int questions = 0;
    delegate.takesRetryQuestions = true;
    delegate.onRetryQuestion = [&](BackupController& asked) {
      ++questions;
      asked.replyToShouldRetryAfterNetworkError(false);
    };
    const Date started = Date::now();
    Dictionary results = backup();
    const double seconds = Date::now().timeIntervalSinceDate(started);
    RunShell("umount " + Quote(full));
    EXPECT_FALSE(results.get(kSuccessResult).asBool());
    EXPECT_NE(JoinedMessages(results).find("No space left on device"), std::string::npos) << JoinedMessages(results);
    EXPECT_NE(JoinedMessages(results).find("Failed with an error that retrying cannot fix"), std::string::npos)
        << JoinedMessages(results);
    EXPECT_EQ(questions, 0);
    EXPECT_LT(seconds, 30.0);
  }
}

TEST_F(PerformBackup, ExhaustedArchiveIndexSpaceFailsTheRunBeforeStoringAnything) {
  // A loaded revision whose records use every archive index (1 to 65535):
  // a snapshot of one file, copied under 65535 names.
  TempDir one;
  WriteFile(one / "model.txt", "model");
  DirectoryScannerPtr snapshot = ScanFolder(one.path());
  DirectoryItemMap& root = snapshot->directories()[""];
  DirectoryItemData model = *root.find("model.txt");
  root.clear();
  for (int index = 1; index <= 65535; ++index) {
    StorageRecord record;
    record.storageKind = StorageKindCompressedArchive;
    record.storageIndex = static_cast<std::uint16_t>(index);
    DirectoryItemData data = model;
    data.setUserInfo(Value(record.encode()));
    char name[32];
    std::snprintf(name, sizeof name, "phantom-%05d", index);
    root.appendUnsorted(name, std::move(data));
  }
  root.sortByName();
  DestinationBuilder builder(destination);
  builder.storeRevision(*snapshot, Dictionary(), 1);
  std::set<std::string> listingBefore = ListingSet(destination);

  Dictionary results = backup();
  EXPECT_FALSE(results.get(kSuccessResult).asBool());
  EXPECT_TRUE(HasMessage(results, "No archive index left (all 65535 are in use)")) << JoinedMessages(results);
  EXPECT_EQ(ListingSet(destination), listingBefore);
}

// ---- Files that change and runs that stop ----------------------------------------------

// Rewrites a file in place (same size, new contents and time) until stopped
// or `limit` versions were written; knows the digest of every version.
class Rewriter {
 public:
  Rewriter(std::string path, std::uint64_t size, int limit) : path_(std::move(path)), size_(size), limit_(limit) {
    thread_ = std::thread([this] { run(); });
  }
  ~Rewriter() { stop(); }
  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  int versions() const { return versions_; }
  // Until the first new version is on disk.
  void waitForFirstVersion() const {
    while (versions_ == 0) ::usleep(1000);
  }
  bool wrote(const std::string& md5) {
    std::lock_guard<std::mutex> lock(mutex_);
    return digests_.count(md5) != 0;
  }

 private:
  // Two versions written in turn without a pause: the file never holds still.
  void run() {
    Data versions[2] = {GeneratedContents("rewrite", size_, 1000), GeneratedContents("rewrite", size_, 1001)};
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const Data& contents : versions) digests_.insert(Md5Hex(contents));
    }
    for (std::uint32_t i = 0; !stop_ && (limit_ == 0 || versions_ < limit_); ++i) {
      const Data& contents = versions[i % 2];
      int fd = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
      if (fd < 0) break;
      // In pieces, as an application saving a large document would.
      for (std::size_t offset = 0; offset < contents.size(); offset += 65536) {
        std::size_t length = std::min<std::size_t>(65536, contents.size() - offset);
        if (::pwrite(fd, contents.data() + offset, length, static_cast<off_t>(offset)) < 0) break;
      }
      ::close(fd);
      ++versions_;
    }
  }

  std::string path_;
  std::uint64_t size_;
  int limit_;
  std::atomic<bool> stop_{false};
  std::atomic<int> versions_{0};
  std::mutex mutex_;
  std::set<std::string> digests_;
  std::thread thread_;
};

int CountMessages(const RecordingDelegate& delegate, const std::string& text) {
  int count = 0;
  for (const auto& event : delegate.events()) {
    if (event.name == "error" && event.text.find(text) != std::string::npos) ++count;
  }
  return count;
}

// The stored parts of a file stored by itself, joined.
Data StoredFile(const std::string& destination, const std::string& path, const StorageRecord& record) {
  Data joined;
  for (int part = 1; part <= record.partCount; ++part) {
    Data piece = ReadFile(destination + "/" + FilePartName(FileBaseName(record.storageIndex, path), part, false));
    joined.insert(joined.end(), piece.begin(), piece.end());
  }
  return joined;
}

TEST_F(PerformBackup, FileRewrittenDuringItsUploadIsStoredOnceItHoldsStill) {
  ASSERT_TRUE(backup().get(kSuccessResult).asBool());
  const std::string path = source + "/segment/several.dat";
  struct stat status;
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  controller->setMaximumSimultaneousSegments(1);

  Rewriter rewriter(path, static_cast<std::uint64_t>(status.st_size), 0);
  rewriter.waitForFirstVersion();
  delegate.clear();
  controller->setDelegate(&delegate);
  controller->startCommandAsynchronously(BackupCommandPerformBackup, Dictionary());
  // The run keeps starting the file again while it changes...
  RunMainLoopUntil(
      [&] { return CountMessages(delegate, "has been modified while being backed up") >= 3 || delegate.finished(); },
      60.0);
  const bool endedWhileWriting = delegate.finished();
  // ...and stores it once it holds still.
  rewriter.stop();
  ASSERT_TRUE(RunMainLoopUntil([&] { return delegate.finished(); }, 60.0));
  auto event = delegate.first("didFinish");
  ASSERT_TRUE(event && event->results);
  ASSERT_TRUE(event->results->get(kSuccessResult).asBool()) << JoinedMessages(*event->results);

  DirectoryScannerPtr revision = checkDestination();
  ASSERT_TRUE(revision);
  StorageRecord record = Records(*revision).at("segment/several.dat");
  Data stored = StoredFile(destination, "segment/several.dat", record);
  // Whatever was stored held still for a whole attempt: it is what the
  // recorded digest says.
  EXPECT_EQ(HexStringFromData(Data(record.digest.begin(), record.digest.end())), Md5Hex(stored));
  if (endedWhileWriting) {
    // On a busy machine the writer can stall long enough for one attempt to
    // see a file that holds still (possibly half rewritten): that is then
    // what the file was, and what is stored.
    GTEST_SKIP() << "the writer paused long enough for an attempt to succeed";
  }
  EXPECT_GE(CountMessages(delegate, "has been modified while being backed up"), 3);
  EXPECT_EQ(Md5Hex(stored), Md5Hex(ReadFile(path)));
  EXPECT_TRUE(rewriter.wrote(Md5Hex(stored)));
}

TEST_F(PerformBackup, FileThatNeverHoldsStillIsRetriedUntilTheRunIsCancelled) {
  ASSERT_TRUE(backup().get(kSuccessResult).asBool());
  std::set<std::string> listingBefore = ListingSet(destination);
  const std::string path = source + "/segment/several.dat";
  struct stat status;
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  Rewriter rewriter(path, static_cast<std::uint64_t>(status.st_size), 0);
  rewriter.waitForFirstVersion();
  delegate.clear();
  controller->setDelegate(&delegate);
  controller->startCommandAsynchronously(BackupCommandPerformBackup, Dictionary());
  RunMainLoopUntil(
      [&] { return CountMessages(delegate, "has been modified while being backed up") >= 5 || delegate.finished(); },
      60.0);
  if (delegate.finished()) {
    rewriter.stop();
    GTEST_SKIP() << "the writer paused long enough for an attempt to succeed";
  }
  controller->cancel();
  EXPECT_TRUE(RunMainLoopUntil([&] { return delegate.finished(); }, 60.0));
  rewriter.stop();
  auto event = delegate.first("didFinish");
  ASSERT_TRUE(event);
  EXPECT_FALSE(event->results && event->results->get(kSuccessResult).asBool());
  EXPECT_EQ(ListingSet(destination), listingBefore);
  DirectoryScannerPtr revision = checkDestination();
  ASSERT_TRUE(revision);
  EXPECT_EQ(revision->revision(), 1u);
}

// Ways to change a member while it is archived (shell commands; $n counts
// the archiver's runs).
std::string NewTime(const std::string& member) { return "touch -d \"2030-01-01 00:00:$n\" '" + member + "'"; }
// Other bytes of the same length under the time the member had.
std::string NewBytesUnderTheOldTime(const std::string& member) {
  return "touch -r '" + member + "' '" + member + ".time'; printf 'other bytes %02d' $n > '" + member +
         "'; touch -r '" + member + ".time' '" + member + "'; rm '" + member + ".time'";
}

// An archiver that changes a member each time it runs (by default its time),
// the first `times` runs (all runs when 0), then archives normally.
class TouchingArchiver {
 public:
  TouchingArchiver(const std::string& folder, const std::string& member, int times, std::string change = "") {
    if (change.empty()) change = NewTime(member);
    std::string real = DittoToolPath();
    std::string counter = folder + "/runs";
    std::string wrapper = folder + "/touching-ditto";
    WriteFile(wrapper, "#!/bin/sh\nn=$(cat '" + counter + "' 2>/dev/null || echo 0)\nn=$((n+1))\necho $n > '" +
                           counter + "'\nif [ " + std::to_string(times) + " -eq 0 ] || [ $n -le " +
                           std::to_string(times) + " ]; then " + change + "; fi\nexec '" + real + "' \"$@\"\n");
    ::chmod(wrapper.c_str(), 0755);
    ::setenv("QUORVEL_DITTO", wrapper.c_str(), 1);
  }
  ~TouchingArchiver() { ::unsetenv("QUORVEL_DITTO"); }
};

// Also when the change keeps the member's size and time: its status-change
// time gives it away.
TEST_F(PerformBackup, ArchiveMemberChangingWhileArchivedIsRetriedUntilItHoldsStill) {
  ASSERT_TRUE(backup().get(kSuccessResult).asBool());
  const std::string member = "small/a/file-001.txt";
  WriteFile(source + "/" + member, "other bytes 00");
  Dictionary results;
  {
    TouchingArchiver archiver(work.path(), source + "/" + member, 2, NewBytesUnderTheOldTime(source + "/" + member));
    results = backup();
  }
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  EXPECT_EQ(CountMessages(delegate, "has been modified while being backed up"), 2) << JoinedMessages(results);
  ::unlink((work / "runs").c_str());
  WriteFile(source + "/" + member, "new contents");
  {
    TouchingArchiver archiver(work.path(), source + "/" + member, 3);
    results = backup();
  }
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  EXPECT_EQ(CountMessages(delegate, "File \"" + source + "/" + member +
                                        "\" has been modified while being backed up (will automatically try again "
                                        "later)"),
            3)
      << JoinedMessages(results);
  DirectoryScannerPtr revision = checkDestination();
  ASSERT_TRUE(revision);
  StorageRecord record = Records(*revision).at(member);
  ASSERT_TRUE(record.isArchiveMember());
  checkArchive(ArchiveName(record.storageIndex, true, false), {member});
  // The snapshot has the time the member held still at.
  struct stat status;
  ASSERT_EQ(::lstat((source + "/" + member).c_str(), &status), 0);
  DirectoryItemPtr item = revision->directoryItemAtSubpath(member);
  ASSERT_TRUE(item);
  EXPECT_NEAR(item->modificationDate() + 978307200.0, static_cast<double>(status.st_mtim.tv_sec) + 
              status.st_mtim.tv_nsec / 1e9, 1e-3);
}

TEST_F(PerformBackup, ArchiveMemberThatNeverHoldsStillIsRetriedUntilTheRunIsCancelled) {
  ASSERT_TRUE(backup().get(kSuccessResult).asBool());
  std::set<std::string> listingBefore = ListingSet(destination);
  const std::string member = "small/a/file-001.txt";
  WriteFile(source + "/" + member, "new contents");
  WriteFile(source + "/segment/another-large.bin", GeneratedContents("another", kSegment + 10, 5));
  TouchingArchiver archiver(work.path(), source + "/" + member, 0);
  delegate.clear();
  controller->setDelegate(&delegate);
  controller->startCommandAsynchronously(BackupCommandPerformBackup, Dictionary());
  ASSERT_TRUE(RunMainLoopUntil(
      [&] { return CountMessages(delegate, "has been modified while being backed up") >= 4 || delegate.finished(); },
      60.0));
  EXPECT_FALSE(delegate.finished()) << "the run ended by itself";
  controller->cancel();
  EXPECT_TRUE(RunMainLoopUntil([&] { return delegate.finished(); }, 60.0));
  auto event = delegate.first("didFinish");
  ASSERT_TRUE(event);
  EXPECT_FALSE(event->results && event->results->get(kSuccessResult).asBool());
  EXPECT_EQ(ListingSet(destination), listingBefore);
  DirectoryScannerPtr revision = checkDestination();
  ASSERT_TRUE(revision);
  EXPECT_EQ(revision->revision(), 1u);
}

// Makes every archive take a while: the archiver is run through a wrapper
// that waits before it starts the real one (for as long as the object lives).
class SlowArchiver {
 public:
  SlowArchiver(const std::string& folder, double seconds) {
    std::string real = DittoToolPath();
    wrapper_ = folder + "/slow-ditto";
    WriteFile(wrapper_, "#!/bin/sh\nsleep " + std::to_string(seconds) + "\nexec '" + real + "' \"$@\"\n");
    ::chmod(wrapper_.c_str(), 0755);
    ::setenv("QUORVEL_DITTO", wrapper_.c_str(), 1);
  }
  ~SlowArchiver() { ::unsetenv("QUORVEL_DITTO"); }

 private:
  std::string wrapper_;
};

int CountEvents(const RecordingDelegate& delegate, const char* name, const std::string& phase) {
  int count = 0;
  for (const auto& event : delegate.events()) {
    if (event.name == name && event.text == phase) ++count;
  }
  return count;
}

TEST_F(PerformBackup, CancelledRunLeavesThePreviousRevisionLoadableAndNothingItCreated) {
  usePassword("pw");
  ASSERT_TRUE(backup().get(kSuccessResult).asBool());
  std::set<std::string> listingBefore = ListingSet(destination);
  // New work: two files stored in parts, six archives of one file each, and
  // a changed member of an existing archive.
  for (int i = 0; i < 2; ++i) {
    WriteFile(source + "/segment/added-" + std::to_string(i) + ".bin",
              GeneratedContents("added" + std::to_string(i), kSegment + 4096, 3));
  }
  for (int i = 0; i < 6; ++i) {
    WriteFile(source + "/small/chunk-" + std::to_string(i) + ".bin",
              GeneratedContents("chunk" + std::to_string(i), kSegment * 6 / 10, 4));
  }
  WriteFile(source + "/small/file-002.txt", "edited");
  controller->setMaximumSimultaneousSegments(1);
  {
    SlowArchiver slow(work.path(), 0.4);
    delegate.clear();
    controller->setDelegate(&delegate);
    controller->startCommandAsynchronously(BackupCommandPerformBackup, Dictionary());
    // Half way: the parts and some archives are stored, other archives are not.
    EXPECT_TRUE(RunMainLoopUntil(
        [&] { return CountEvents(delegate, "endPhase", "uploadFileArchive") >= 2 || delegate.finished(); }, 60.0));
    EXPECT_FALSE(delegate.finished()) << "the run ended before it could be cancelled";
    EXPECT_GE(CountEvents(delegate, "endPhase", "uploadFilePart"), 4);
    controller->cancel();
    EXPECT_TRUE(RunMainLoopUntil([&] { return delegate.finished(); }, 60.0));
  }
  auto event = delegate.first("didFinish");
  ASSERT_TRUE(event);
  EXPECT_FALSE(event->results && event->results->get(kSuccessResult).asBool());
  EXPECT_EQ(ListingSet(destination), listingBefore);
  DirectoryScannerPtr revision = checkDestination();
  ASSERT_TRUE(revision);
  EXPECT_EQ(revision->revision(), 1u);

  // The next run picks up from revision 1.
  Dictionary results = backup();
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  revision = checkDestination();
  ASSERT_TRUE(revision);
  EXPECT_EQ(revision->revision(), 2u);
  EXPECT_TRUE(revision->directoryItemAtSubpath("small/chunk-5.bin"));
}

}  // namespace
}  // namespace quorvel
