// Destinations written on Mac OS X: a backup made here is turned into what
// the Mac OS X program writes, from the format descriptions alone - record
// streams whose byte arrays carry their length first, or the older revision
// form (a gzip-compressed XML property list, written by Python's plistlib),
// attribute names without a namespace, companions with a Mac OS X ACL text,
// an archive compressed with bzip2 - and must then check, restore with every
// property, verify and take a further backup.
#include <gtest/gtest.h>
#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <map>
#include <string>
#include <vector>

#include "engine/DestinationTestSupport.h"
#include "engine/RestoreTestSupport.h"
#include "foundation/AppleDouble.h"
#include "foundation/ExtendedACLText.h"
#include "foundation/PropertyList.h"
#include "foundation/TypedStreamReader.h"
#include "foundation/TypedStreamWriter.h"
#include "snapshot/DirectoryScannerSerialization.h"
#include "snapshot/platform/FileMetadata.h"

namespace quorvel {
namespace {

using namespace test;

constexpr const char* kSharedACL =
    "!#acl 1\n"
    "user:FFFFEEEE-DDDD-CCCC-BBBB-AAAA0000FFFE:nobody:65534:allow:read,write,delete\n"
    "group:ABCDEFAB-CDEF-ABCD-EFAB-CDEF00000014:staff:20:deny:write\n";
constexpr const char* kFolderACL =
    "!#acl 1\n"
    "user:FFFFEEEE-DDDD-CCCC-BBBB-AAAA0000FFFE:nobody:65534:allow:list,search\n";

Data Bytes(const std::string& text) { return Data(text.begin(), text.end()); }

std::string Attribute(const std::string& path, const std::string& name) {
  char value[256];
  ssize_t size = lgetxattr(path.c_str(), name.c_str(), value, sizeof value);
  return size < 0 ? std::string("<none>") : std::string(value, static_cast<std::size_t>(size));
}

// The record stream again, every byte array written with its length first:
// an "I" group holding N, then the "[Nc]" group.
Data WithLengthPrefixedByteArrays(const Data& stream) {
  TypedStreamReader reader(stream);
  TypedStreamWriter writer;
  while (reader.ok() && !reader.atEnd()) {
    auto group = reader.decodeGroup();
    if (!group) break;
    const std::string& type = group->types.front();
    if (group->types.size() == 1 && type.front() == '[' && type.substr(type.size() - 2) == "c]") {
      writer.encodeUInt32(static_cast<std::uint32_t>(group->values[0].asData().size()));
      writer.encodeByteArray(group->values[0].asData());
    } else {
      std::string types;
      for (const std::string& t : group->types) types += t;
      writer.encodeValuesOfObjCTypes(types, group->values);
    }
  }
  EXPECT_TRUE(reader.ok()) << reader.error();
  EXPECT_TRUE(writer.ok()) << writer.error();
  return writer.data();
}

// The compact revision with its record streams rewritten (see above).
Data MacRevisionData(const DirectoryScanner& snapshot) {
  std::optional<Data> compact = snapshot.serializedData();
  EXPECT_TRUE(compact);
  std::optional<Data> archive = DataTransforms::decompressGZip(*compact);
  EXPECT_TRUE(archive);
  Expected<Value> list = PropertyList::readBinary(*archive);
  EXPECT_TRUE(list) << list.status().message();
  Value root = *list;
  int rewritten = 0;
  for (Value& object : root.mutableDictionary().find("$objects")->mutableArray()) {
    if (!object.isDictionary()) continue;
    for (const char* key : {"rootData", "directoryData"}) {
      if (Value* bytes = object.mutableDictionary().find(key); bytes && bytes->isData()) {
        *bytes = Value(WithLengthPrefixedByteArrays(bytes->asData()));
        ++rewritten;
      }
    }
  }
  EXPECT_EQ(rewritten, 2);
  Expected<Data> written = PropertyList::writeBinary(root);
  EXPECT_TRUE(written);
  return *snapshotarchive::CompressArchive(*written);
}

// One record of the property-list revision form.
Dictionary RecordDictionary(const DirectoryItemData& item) {
  Dictionary record;
  record.set("nodeID", Value(static_cast<std::uint64_t>(item.nodeID)));
  record.set("revision", Value(static_cast<std::uint64_t>(item.revision)));
  record.set("creationDate", Value(item.creationDate));
  record.set("modificationDate", Value(item.modificationDate));
  if (!item.isDirectory()) {
    record.set("dataSize", Value(item.dataSize));
    if (item.resourceSize) record.set("resourceSize", Value(static_cast<std::uint64_t>(item.resourceSize)));
  }
  record.set("mode", Value(static_cast<std::uint64_t>(item.mode)));
  if (item.userFlags) record.set("userFlags", Value(static_cast<std::uint64_t>(item.userFlags)));
  if (item.userID) record.set("userID", Value(static_cast<std::uint64_t>(item.userID)));
  if (item.groupID) record.set("groupID", Value(static_cast<std::uint64_t>(item.groupID)));
  if (item.acl()) record.set("ACL", Value(*item.acl()));
  if (item.extendedAttributes()) {
    Dictionary attributes;
    for (const auto& [name, value] : *item.extendedAttributes()) attributes.set(name, Value(value));
    record.set("extendedAttributes", Value(std::move(attributes)));
  }
  if (item.userInfo()) record.set("userInfo", *item.userInfo());
  return record;
}

// The snapshot as the older revision form holds it (version 3): a property
// list that Python's plistlib writes as XML into a gzip file.
void WritePropertyListRevision(const DirectoryScanner& snapshot, const std::string& path) {
  Dictionary list;
  list.set("version", Value(static_cast<std::uint64_t>(3)));
  list.set("rootPath", Value(snapshot.rootDirectory()));
  list.set("revision", Value(static_cast<std::uint64_t>(snapshot.revision())));
  list.set("scanMetadata", Value(snapshot.isScanningMetadata()));
  list.set("sortPaths", Value(snapshot.sortPaths()));
  list.set("excludeHiddenItems", Value(snapshot.excludeHiddenItems()));
  list.set("excludeDSStoreFiles", Value(snapshot.excludeDSStoreFiles()));
  Dictionary info;
  for (const auto& [key, value] : snapshot.userInfo()) {
    if (!key.empty() && key[0] != '.') info.set(key, value);
  }
  if (!info.empty()) list.set("userInfo", Value(std::move(info)));
  if (snapshot.exclusionPredicate()) {
    list.set("exclusionPredicate", Value(snapshot.exclusionPredicate()->predicateFormat()));
  }
  if (snapshot.rootData()) list.set("root", Value(RecordDictionary(*snapshot.rootData())));
  Dictionary directories;
  for (const auto& [subpath, items] : snapshot.directories()) {
    Dictionary entries;
    for (const auto& [name, item] : items) entries.set(std::string(name), Value(RecordDictionary(item)));
    directories.set(subpath, Value(std::move(entries)));
  }
  list.set("directories", Value(std::move(directories)));
  WriteFile(path + ".binary", *PropertyList::writeBinary(Value(std::move(list))));
  EXPECT_EQ(RunShell("python3 -c 'import gzip, plistlib, sys\n"
                     "value = plistlib.load(open(sys.argv[1], \"rb\"))\n"
                     "gzip.open(sys.argv[2], \"wb\").write(plistlib.dumps(value, fmt=plistlib.FMT_XML))' '" +
                     path + ".binary' '" + path + "'"),
            0);
  ::unlink((path + ".binary").c_str());
}

// Rewrites one archive of the destination with its member `companion`
// carrying `aclText`; answers whether the archive held that companion.
bool PutACLIntoCompanion(const std::string& archivePath, const std::string& companion, const std::string& aclText) {
  Data original = ReadFile(archivePath);
  struct archive* in = archive_read_new();
  archive_read_support_filter_all(in);
  archive_read_support_format_all(in);
  EXPECT_EQ(archive_read_open_memory(in, original.data(), original.size()), ARCHIVE_OK);
  const std::string rewritten = archivePath + ".new";
  struct archive* out = archive_write_new();
  archive_write_set_format_cpio_odc(out);
  // A compressed archive comes back compressed with bzip2, as the platform's
  // archiver compresses them ("cpgz" names both).
  const bool compressed = archivePath.size() > 5 && archivePath.substr(archivePath.size() - 5) == ".cpgz";
  if (compressed) {
    EXPECT_EQ(archive_write_add_filter_bzip2(out), ARCHIVE_OK);
  }
  EXPECT_EQ(archive_write_open_filename(out, rewritten.c_str()), ARCHIVE_OK);
  bool found = false;
  archive_entry* entry = nullptr;
  while (archive_read_next_header(in, &entry) == ARCHIVE_OK) {
    Data data(static_cast<std::size_t>(archive_entry_size(entry)));
    if (!data.empty()) {
      EXPECT_EQ(archive_read_data(in, data.data(), data.size()), static_cast<la_ssize_t>(data.size()));
    }
    if (std::string(archive_entry_pathname(entry)) == "./" + companion) {
      Expected<AppleDoubleContents> contents = DecodeAppleDouble(data);
      EXPECT_TRUE(contents);
      for (auto& [name, value] : contents->attributes) {
        if (name == kAppleDoubleACLAttributeName) value = Bytes(aclText);
      }
      data = *EncodeAppleDouble(*contents);
      archive_entry_set_size(entry, static_cast<la_int64_t>(data.size()));
      found = true;
    }
    EXPECT_EQ(archive_write_header(out, entry), ARCHIVE_OK);
    if (!data.empty()) {
      EXPECT_EQ(archive_write_data(out, data.data(), data.size()), static_cast<la_ssize_t>(data.size()));
    }
  }
  archive_read_free(in);
  EXPECT_EQ(archive_write_close(out), ARCHIVE_OK);
  archive_write_free(out);
  EXPECT_EQ(::rename(rewritten.c_str(), archivePath.c_str()), 0);
  return found;
}

enum class RevisionForm { CompactRecords, PropertyList };

class MacDestination : public ::testing::TestWithParam<RevisionForm> {
 protected:
  void SetUp() override {
    source = folder / "Mac Source";
    ASSERT_EQ(::mkdir(source.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((source + "/docs").c_str(), 0755), 0);
    WriteFile(source + "/docs/note.txt", "a note\n");
    WriteFile(source + "/docs/shared.txt", "shared with nobody\n");
    WriteFile(source + "/plain.txt", "plain\n");
    SetAttribute(source + "/docs", "user.appl.dir", "folder value");
    SetAttribute(source + "/docs/note.txt", "user.com.apple.FinderInfo", std::string(32, 'F'));
    // A POSIX ACL, so that the file's companion carries an ACL text to replace.
    int error = platform::WriteACLText((source + "/docs/shared.txt").c_str(),
                                       "user::rw-\nuser:nobody:r--\ngroup::r--\nmask::r--\nother::r--\n");
    if (error) GTEST_SKIP() << "ACLs unavailable here: " << strerror(error);
    controller = RemoteBackupController::create();
    controller->setSourceDirectoryPath(source);
    controller->setDestinationURL(LocalURL(destination.path()));
    controller->setComputeFileDigests(true);
    delegate.takesRetryQuestions = false;
  }
  void TearDown() override {
    if (controller) controller->setDelegate(nullptr);
  }

  // Backs up, then makes the destination what Mac OS X would have written.
  void makeMacDestination() {
    Dictionary backup = RunCommand(*controller, delegate, BackupCommandPerformBackup);
    ASSERT_TRUE(backup.get(kSuccessResult).asBool()) << JoinedMessages(backup);
    const std::string revisionPath = destination / RevisionDataName(1, false);
    DirectoryScannerPtr snapshot = DirectoryScanner::initWithSerializedData(ReadFile(revisionPath));
    ASSERT_TRUE(snapshot);
    uuid = snapshot->userInfoForKey(kBackupUUIDInfo);
    ASSERT_TRUE(uuid.isString());

    // Attribute names without a namespace, Mac OS X ACL texts.
    DirectoryItemMap& top = snapshot->directories().find("")->second;
    DirectoryItemMap& docs = snapshot->directories().find("docs")->second;
    top.find("docs")->setExtendedAttributes(ExtendedAttributes{{"appl.dir", Bytes("folder value")}});
    top.find("docs")->setACL(std::optional<std::string>(kFolderACL));
    docs.find("note.txt")->setExtendedAttributes(ExtendedAttributes{{"com.apple.FinderInfo", Data(32, 'F')}});
    docs.find("shared.txt")->setACL(std::optional<std::string>(kSharedACL));

    // The companion of shared.txt carries the same text; the archive's
    // stored size and digest follow the rewritten file.
    Dictionary files = snapshot->userInfoForKey(kBackupFilesKey).asDictionary();
    bool placed = false;
    for (const std::string& name : ListFolder(destination.path())) {
      if (name.rfind("Archive_", 0) != 0) continue;
      if (!PutACLIntoCompanion(destination / name, "docs/._shared.txt", kSharedACL)) continue;
      placed = true;
      Data stored = ReadFile(destination / name);
      EXPECT_TRUE(name.find(".cpgz") != std::string::npos && stored.size() > 3 && stored[0] == 'B' &&
                  stored[1] == 'Z')
          << name << " is not a bzip2-compressed archive";
      files.set(name, Array{Value(static_cast<std::uint64_t>(stored.size())), Value(MD5Of(stored))});
    }
    ASSERT_TRUE(placed) << JoinLines(ListFolder(destination.path()));
    snapshot->setUserInfo(Value(std::move(files)), kBackupFilesKey);
    if (GetParam() == RevisionForm::CompactRecords) {
      WriteFile(revisionPath, MacRevisionData(*snapshot));
    } else {
      ASSERT_EQ(::unlink(revisionPath.c_str()), 0);
      WritePropertyListRevision(*snapshot, destination / "Revision_0001.plist.gz");
    }
  }

  TempDir folder;
  TempDir destination;
  std::string source;
  Value uuid;
  std::shared_ptr<RemoteBackupController> controller;
  RecordingDelegate delegate;
};

TEST_P(MacDestination, RestoresEveryPropertyVerifiesAndTakesAFurtherBackup) {
  makeMacDestination();
  if (HasFatalFailure() || IsSkipped()) return;

  Dictionary check = RunCommand(*controller, delegate, BackupCommandCheckDestination);
  ASSERT_TRUE(check.get(kSuccessResult).asBool()) << JoinedMessages(check);
  DirectoryScannerPtr loaded = check.get("directoryScanner").object<DirectoryScanner>();
  ASSERT_TRUE(loaded);
  DirectoryItemPtr shared = loaded->directoryItemAtSubpath("docs/shared.txt");
  ASSERT_TRUE(shared && shared->ACLText());
  EXPECT_EQ(*shared->ACLText(), kSharedACL);

  TempDir target;
  Dictionary arguments;
  arguments.set(kDestinationPathArgument, target.path());
  Dictionary restore = RunCommand(*controller, delegate, BackupCommandRestoreBackup, arguments);
  ASSERT_TRUE(restore.get(kSuccessResult).asBool()) << JoinedMessages(restore);
  // Only what POSIX cannot hold is reported; every item came back verified.
  const std::string restored = target / "Mac Source";
  EXPECT_EQ(ErrorMessages(restore),
            std::vector<std::string>{"ACL of \"" + restored + "/docs/shared.txt\" only partly restored: permissions "
                                     "delete of the entry for user nobody (65534); deny entry for group staff (20): "
                                     "write"});
  EXPECT_TRUE(ResultPaths(restore, kSkippedPathsResult).empty());
  EXPECT_EQ(Text(restored + "/docs/note.txt"), "a note\n");
  EXPECT_EQ(Text(restored + "/docs/shared.txt"), "shared with nobody\n");
  EXPECT_EQ(Attribute(restored + "/docs", "user.appl.dir"), "folder value");
  EXPECT_EQ(Attribute(restored + "/docs/note.txt", "user.com.apple.FinderInfo"), std::string(32, 'F'));
  auto fileACL = ACLTextForPath(restored + "/docs/shared.txt");
  ASSERT_TRUE(fileACL);
  EXPECT_EQ(NamedEntriesOfPosixACLText(*fileACL),
            (std::vector<PosixACLEntry>{{PosixACLEntry::Tag::User, 65534, 6}}));
  auto folderACL = ACLTextForPath(restored + "/docs");
  ASSERT_TRUE(folderACL);
  EXPECT_EQ(NamedEntriesOfPosixACLText(*folderACL),
            (std::vector<PosixACLEntry>{{PosixACLEntry::Tag::User, 65534, 5}}));
  struct stat status;
  ASSERT_EQ(::stat((restored + "/docs").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0755u);

  Dictionary verify = RunCommand(*controller, delegate, BackupCommandVerifyBackup);
  EXPECT_TRUE(verify.get(kSuccessResult).asBool()) << JoinedMessages(verify);

  // A further backup on top keeps the backup's identity and stores again
  // what the Mac OS X records describe differently from this system.
  WriteFile(source + "/plain.txt", "plain, changed\n");
  Dictionary again = RunCommand(*controller, delegate, BackupCommandPerformBackup);
  ASSERT_TRUE(again.get(kSuccessResult).asBool()) << JoinedMessages(again);
  DirectoryScannerPtr second =
      DirectoryScanner::initWithSerializedData(ReadFile(destination / RevisionDataName(2, false)));
  ASSERT_TRUE(second);
  EXPECT_EQ(second->userInfoForKey(kBackupUUIDInfo), uuid);
  TempDir target2;
  arguments.set(kDestinationPathArgument, target2.path());
  Dictionary restoreAgain = RunCommand(*controller, delegate, BackupCommandRestoreBackup, arguments);
  ASSERT_TRUE(restoreAgain.get(kSuccessResult).asBool()) << JoinedMessages(restoreAgain);
  EXPECT_FALSE(restoreAgain.contains(kErrorMessagesResult)) << JoinedMessages(restoreAgain);
  EXPECT_EQ(Text(target2 / "Mac Source/plain.txt"), "plain, changed\n");
  EXPECT_EQ(Attribute(target2 / "Mac Source/docs/note.txt", "user.com.apple.FinderInfo"), std::string(32, 'F'));
}

INSTANTIATE_TEST_SUITE_P(RevisionForms, MacDestination,
                         ::testing::Values(RevisionForm::CompactRecords, RevisionForm::PropertyList),
                         [](const ::testing::TestParamInfo<RevisionForm>& info) {
                           return info.param == RevisionForm::CompactRecords ? "CompactRecords" : "PropertyList";
                         });

// A destination the command-line backup wrote before names became portable
// (tests/data/commandline-destination): "user." names, no backup UUID.
TEST(EarlierDestination, RestoresVerifiesAndTakesAFurtherBackupThatAddsTheUUID) {
  TempDir destination;
  ASSERT_EQ(RunShell(std::string("cp -a '") + QUORVEL_FIXTURES_DIR + "/commandline-destination/destination/.' '" +
                     destination.path() + "'"),
            0);
  auto controller = RemoteBackupController::create();
  controller->setDestinationURL(LocalURL(destination.path()));
  controller->setComputeFileDigests(true);
  RecordingDelegate delegate;
  delegate.takesRetryQuestions = false;

  TempDir target;
  Dictionary arguments;
  arguments.set(kDestinationPathArgument, target.path());
  Dictionary restore = RunCommand(*controller, delegate, BackupCommandRestoreBackup, arguments);
  ASSERT_TRUE(restore.get(kSuccessResult).asBool()) << JoinedMessages(restore);
  EXPECT_FALSE(restore.contains(kErrorMessagesResult)) << JoinedMessages(restore);
  const std::string restored = target / "Old Source";
  EXPECT_EQ(Text(restored + "/hello.txt"), "hello\n");
  EXPECT_EQ(Text(restored + "/folder/inner.txt"), "inner\n");
  EXPECT_TRUE(IsLink(restored + "/link"));
  EXPECT_EQ(Attribute(restored + "/hello.txt", "user.note"), "kept");
  EXPECT_EQ(Attribute(restored + "/folder", "user.folder"), "f");
  auto acl = ACLTextForPath(restored + "/folder/inner.txt");
  ASSERT_TRUE(acl);
  EXPECT_EQ(NamedEntriesOfPosixACLText(*acl), (std::vector<PosixACLEntry>{{PosixACLEntry::Tag::User, 65534, 4}}));

  // The restored tree backed up on top (its items are new to the snapshot:
  // other node numbers): names are recorded without "user." now, and the
  // backup gets the identity the earlier version did not store.
  controller->setSourceDirectoryPath(restored);
  Dictionary backup = RunCommand(*controller, delegate, BackupCommandPerformBackup);
  ASSERT_TRUE(backup.get(kSuccessResult).asBool()) << JoinedMessages(backup);
  DirectoryScannerPtr second =
      DirectoryScanner::initWithSerializedData(ReadFile(destination / RevisionDataName(2, false)));
  ASSERT_TRUE(second);
  EXPECT_TRUE(second->userInfoForKey(kBackupUUIDInfo).isString());
  EXPECT_EQ(second->directoryItemAtSubpath("hello.txt")->extendedAttributes()->count("note"), 1u);
  TempDir target2;
  arguments.set(kDestinationPathArgument, target2.path());
  Dictionary again = RunCommand(*controller, delegate, BackupCommandRestoreBackup, arguments);
  ASSERT_TRUE(again.get(kSuccessResult).asBool()) << JoinedMessages(again);
  EXPECT_FALSE(again.contains(kErrorMessagesResult)) << JoinedMessages(again);
  EXPECT_EQ(Attribute(target2 / "Old Source/hello.txt", "user.note"), "kept");
}

}  // namespace
}  // namespace quorvel
