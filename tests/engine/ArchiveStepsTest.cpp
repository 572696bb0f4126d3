// The archive steps run directly on an opened destination: bills of
// materials, making an archive of exactly the chosen members (checked with
// bsdtar), what happens to members that vanish or change meanwhile or when
// the archiver fails, and extraction that writes exactly the chosen items
// below its destination and nowhere else.
#include <acl/libacl.h>
#include <gtest/gtest.h>
#include <sys/acl.h>
#include <sys/stat.h>

#include <stdexcept>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <set>
#include <stdexcept>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/ArchiveSupport.h"
#include "engine/DestinationTestSupport.h"
#include "engine/RemoteBackupArchiveSteps.h"
#include "support/GeneratedTree.h"
#include "support/HostileArchive.h"

namespace quorvel {
namespace {

using namespace test;

std::string Quote(const std::string& path) { return "'" + path + "'"; }

// Points the engine at another archiver for as long as the object lives.
class ArchiveSteps : public ::testing::Test {
 protected:
  void SetUp() override {
    ::mkdir(source.path().c_str(), 0755);
    ::mkdir((source / "a").c_str(), 0755);
    ::mkdir((source / "a/b").c_str(), 0755);
    ::mkdir((source / "x").c_str(), 0755);
    ::mkdir((source / "names").c_str(), 0755);
    WriteFile(source / "a/b/c.txt", "c contents");
    WriteFile(source / "a/d.txt", std::string(5000, 'd'));
    WriteFile(source / "x/y.doc", "document");
    attributes = ::lsetxattr((source / "x/y.doc").c_str(), "user.test.colour", "green", 5, 0) == 0;
    WriteFile(source / "names/naïve café.txt", "accents");
    ::symlink("../a/d.txt", (source / "names/link").c_str());
    WriteFile(source / "acl.txt", "with an ACL");
    if (acl_t acl = acl_from_text("u::rw-,u:12345:r--,g::r--,m::r--,o::---")) {
      acls = acl_set_file((source / "acl.txt").c_str(), ACL_TYPE_ACCESS, acl) == 0;
      acl_free(acl);
    }
    members = {"a/b/c.txt", "a/d.txt", "x/y.doc", "names/naïve café.txt", "names/link", "acl.txt"};

    // Temporary files of the steps land here, so that leftovers show.
    savedTemporary = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    ::setenv("TMPDIR", temporary.path().c_str(), 1);

    controller = DestinationTestController::make();
    controller->setSourceDirectoryPath(source.path());
    controller->setDestinationURL(LocalURL(destination.path()));
    controller->setComputeFileDigests(true);
    controller->body = [this](BodyOperation& operation) -> std::optional<Dictionary> {
      operation.setScanner(ScanFolder(source.path()));
      body(operation);
      return Dictionary();
    };
  }
  void TearDown() override {
    controller->setDelegate(nullptr);
    if (savedTemporary.empty()) {
      ::unsetenv("TMPDIR");
    } else {
      ::setenv("TMPDIR", savedTemporary.c_str(), 1);
    }
  }

  Dictionary run() { return RunCommand(*controller, delegate, BackupCommandCheckDestination); }

  static std::vector<DirectoryItemPtr> ItemsOf(BodyOperation& operation, const std::vector<std::string>& paths) {
    std::vector<DirectoryItemPtr> items;
    for (const std::string& path : paths) {
      DirectoryItemPtr item = operation.scanner()->directoryItemAtSubpath(path);
      EXPECT_TRUE(item) << path;
      if (item) items.push_back(item);
    }
    return items;
  }
  static Array ArrayOf(const std::vector<DirectoryItemPtr>& items) {
    Array array;
    for (const DirectoryItemPtr& item : items) array.push_back(Value(item));
    return array;
  }
  static std::shared_ptr<RemoteBackupCreateArchiveOperation> CreateStep(BodyOperation& operation,
                                                                        const std::vector<DirectoryItemPtr>& items,
                                                                        std::uint32_t index, bool compress,
                                                                        const ArchiveSlotPtr& slot) {
    return std::make_shared<RemoteBackupCreateArchiveOperation>(
        &operation, Value(ArrayOf(items)), index, Array{Value(slot), Value(100000u), Value(compress)});
  }
  static int RunStep(BodyOperation& operation, RemoteBackupHelperOperation& step) {
    return step.runWithFileTransferController(*operation.transferController());
  }

  // Lists an archive's entries with bsdtar.
  std::vector<std::string> ArchiveEntries(const Data& archive) {
    WriteFile(work / "archive.bytes", archive);
    std::string output;
    EXPECT_EQ(RunShell("bsdtar -tf " + Quote(work / "archive.bytes"), &output), 0);
    std::vector<std::string> entries;
    std::size_t start = 0;
    while (start < output.size()) {
      std::size_t end = output.find('\n', start);
      entries.push_back(output.substr(start, end - start));
      start = end + 1;
    }
    return entries;
  }

  TempDir work;
  TempDir source;
  TempDir destination;
  TempDir temporary;
  std::string savedTemporary;
  bool attributes = false;
  bool acls = false;
  std::vector<std::string> members;
  std::shared_ptr<DestinationTestController> controller;
  RecordingDelegate delegate;
  std::function<void(BodyOperation&)> body;
};

// ---- Bills of materials -------------------------------------------------------------

TEST_F(ArchiveSteps, BillOfMaterialsListsEveryAncestorFirst) {
  std::vector<std::string> plain, withCompanions;
  body = [&](BodyOperation& operation) {
    auto step = CreateStep(operation, {}, 1, true, std::make_shared<ArchiveSlot>());
    for (bool companions : {false, true}) {
      std::unique_ptr<TemporaryFile> bom =
          WriteBOMForFiles(*step, ItemsOf(operation, {"x/y.doc", "a/d.txt", "a/b/c.txt"}), 1, companions);
      ASSERT_TRUE(bom);
      // A private folder and a file only the owner reads: the names are the user's.
      struct stat status;
      ASSERT_EQ(::stat(bom->path().c_str(), &status), 0);
      EXPECT_EQ(status.st_mode & 077, 0u) << std::oct << status.st_mode;
      const std::string folder = bom->path().substr(0, bom->path().rfind('/'));
      ASSERT_EQ(::stat(folder.c_str(), &status), 0);
      EXPECT_EQ(status.st_mode & 0777, 0700u) << std::oct << status.st_mode;
      std::optional<std::vector<std::string>> entries = ReadBillOfMaterials(bom->path());
      ASSERT_TRUE(entries);
      (companions ? withCompanions : plain) = *entries;
    }
  };
  Dictionary results = run();
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  EXPECT_EQ(plain, (std::vector<std::string>{".", "./a", "./a/b", "./a/b/c.txt", "./a/d.txt", "./x", "./x/y.doc"}));
  std::vector<std::string> expected = plain;
  if (attributes) expected.insert(expected.end() - 1, "./x/._y.doc");
  EXPECT_EQ(withCompanions, expected);
  EXPECT_TRUE(ListFolder(temporary.path()).empty()) << "the file lists were left behind";
}

TEST_F(ArchiveSteps, BillOfMaterialsFailureIsReportedAndLeavesNothing) {
  ::setenv("QUORVEL_MKBOM", "/bin/false", 1);
  std::unique_ptr<TemporaryFile> bom;
  body = [&](BodyOperation& operation) {
    auto step = CreateStep(operation, {}, 4, true, std::make_shared<ArchiveSlot>());
    bom = WriteBOMForFiles(*step, ItemsOf(operation, {"a/d.txt"}), 4, false);
  };
  Dictionary results = run();
  ::unsetenv("QUORVEL_MKBOM");
  EXPECT_FALSE(bom);
  EXPECT_NE(JoinedMessages(results).find("Failed creating BOM from file list for archive #4 at"), std::string::npos)
      << JoinedMessages(results);
  EXPECT_TRUE(ListFolder(temporary.path()).empty());
}

TEST(TemporaryFile, IsPrivateAndGoesWithItsFolderOnEveryPath) {
  TempDir base;
  struct TemporaryFolderChoice {
    explicit TemporaryFolderChoice(const std::string& folder) {
      if (const char* previous = std::getenv("TMPDIR")) saved = previous;
      ::setenv("TMPDIR", folder.c_str(), 1);
    }
    ~TemporaryFolderChoice() {
      if (saved) ::setenv("TMPDIR", saved->c_str(), 1);
      else ::unsetenv("TMPDIR");
    }
    std::optional<std::string> saved;
  };
  std::string path;
  {
    TemporaryFolderChoice choice(base.path());
    try {
      TemporaryFile file;
      path = file.path();
      struct stat status;
      ASSERT_EQ(::stat(path.c_str(), &status), 0);
      EXPECT_EQ(status.st_mode & 0777, 0600u);
      ASSERT_EQ(::stat(path.substr(0, path.rfind('/')).c_str(), &status), 0);
      EXPECT_EQ(status.st_mode & 0777, 0700u);
      throw std::runtime_error("leaving early");
    } catch (const std::runtime_error&) {
    }
  }
  EXPECT_EQ(path.rfind(base.path(), 0), 0u) << path;
  EXPECT_TRUE(ListFolder(base.path()).empty()) << "the file or its folder was left behind";
}

// ---- Making an archive ----------------------------------------------------------------

TEST_F(ArchiveSteps, CompressedArchiveHoldsExactlyItsMembersAndRecordsThem) {
  int code = 0;
  Data archive;
  std::map<std::string, std::optional<StorageRecord>> records;
  std::vector<std::string> copied;
  body = [&](BodyOperation& operation) {
    auto slot = std::make_shared<ArchiveSlot>();
    auto step = CreateStep(operation, ItemsOf(operation, members), 7, true, slot);
    code = RunStep(operation, *step);
    if (auto bytes = slot->data()) archive = *bytes;
    for (const std::string& member : members) {
      DirectoryItemPtr item = operation.scanner()->directoryItemAtSubpath(member);
      records[member] = item ? StorageRecordOfItem(*item) : std::nullopt;
    }
    // Not a member: untouched.
    records["x"] = StorageRecordOfItem(*operation.scanner()->directoryItemAtSubpath("x"));
    copied = operation.copiedPaths();
  };
  Dictionary results = run();
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  EXPECT_EQ(code, HelperResultContinue) << JoinedMessages(results);
  ASSERT_GT(archive.size(), 2u);
  EXPECT_EQ(archive[0], 0x1f);  // gzip
  EXPECT_EQ(archive[1], 0x8b);

  std::vector<std::string> entries = ArchiveEntries(archive);
  for (const std::string& member : members) {
    EXPECT_NE(std::find(entries.begin(), entries.end(), "./" + member), entries.end()) << member;
  }
  EXPECT_EQ(std::find(entries.begin(), entries.end(), "./names/../a/d.txt"), entries.end());
  if (attributes) EXPECT_NE(std::find(entries.begin(), entries.end(), "./x/._y.doc"), entries.end());
  for (const std::string& entry : entries) {
    bool expected = entry == "." || entry == "./a" || entry == "./a/b" || entry == "./x" || entry == "./names" ||
                    entry.find("/._") != std::string::npos;
    for (const std::string& member : members) expected = expected || entry == "./" + member;
    EXPECT_TRUE(expected) << "unexpected entry " << entry;
  }

  for (const std::string& member : members) {
    ASSERT_TRUE(records[member]) << member;
    EXPECT_EQ(records[member]->storageKind, StorageKindCompressedArchive) << member;
    EXPECT_EQ(records[member]->storageIndex, 7) << member;
    EXPECT_EQ(records[member]->partCount, 0) << member;
  }
  Data linkTarget = TextData("../a/d.txt");
  EXPECT_EQ(Data(records["names/link"]->digest.begin(), records["names/link"]->digest.end()), MD5Of(linkTarget));
  EXPECT_EQ(Data(records["a/d.txt"]->digest.begin(), records["a/d.txt"]->digest.end()),
            MD5Of(ReadFile(source / "a/d.txt")));
  EXPECT_FALSE(records["x"]);
  std::sort(copied.begin(), copied.end());
  std::vector<std::string> sortedMembers = members;
  std::sort(sortedMembers.begin(), sortedMembers.end());
  EXPECT_EQ(copied, sortedMembers);
  EXPECT_TRUE(ListFolder(temporary.path()).empty()) << "the BOM was left behind";
}

TEST_F(ArchiveSteps, UncompressedArchiveIsPlainCpio) {
  Data archive;
  int code = 0;
  StorageRecord record;
  body = [&](BodyOperation& operation) {
    auto slot = std::make_shared<ArchiveSlot>();
    auto step = CreateStep(operation, ItemsOf(operation, {"a/d.txt"}), 2, false, slot);
    code = RunStep(operation, *step);
    if (auto bytes = slot->data()) archive = *bytes;
    record = *StorageRecordOfItem(*operation.scanner()->directoryItemAtSubpath("a/d.txt"));
  };
  run();
  EXPECT_EQ(code, HelperResultContinue);
  ASSERT_GT(archive.size(), 6u);
  EXPECT_EQ(std::string(archive.begin(), archive.begin() + 6), "070707");  // "odc"
  EXPECT_EQ(record.storageKind, StorageKindArchive);
  std::string output;
  WriteFile(work / "plain.cpio", archive);
  EXPECT_EQ(RunShell("cpio -it < " + Quote(work / "plain.cpio") + " 2>/dev/null", &output), 0);
  EXPECT_NE(output.find("./a/d.txt"), std::string::npos) << output;
}

TEST_F(ArchiveSteps, VanishedMemberIsSkippedAndTheOthersArchived) {
  int code = 0;
  std::vector<std::string> skipped;
  bool stillInSnapshot = true;
  Data archive;
  body = [&](BodyOperation& operation) {
    ::unlink((source / "a/b/c.txt").c_str());
    auto slot = std::make_shared<ArchiveSlot>();
    code = RunStep(operation, *CreateStep(operation, ItemsOf(operation, {"a/b/c.txt", "a/d.txt"}), 3, true, slot));
    if (auto bytes = slot->data()) archive = *bytes;
    skipped = operation.skippedPaths();
    stillInSnapshot = operation.scanner()->directoryItemAtSubpath("a/b/c.txt") != nullptr;
  };
  Dictionary results = run();
  EXPECT_EQ(code, HelperResultContinue);
  EXPECT_EQ(skipped, std::vector<std::string>{"a/b/c.txt"});
  EXPECT_FALSE(stillInSnapshot);
  EXPECT_NE(JoinedMessages(results).find("Failed retrieving status for file \"" + source.path() + "/a/b/c.txt\""),
            std::string::npos)
      << JoinedMessages(results);
  std::vector<std::string> entries = ArchiveEntries(archive);
  EXPECT_NE(std::find(entries.begin(), entries.end(), "./a/d.txt"), entries.end());
  EXPECT_EQ(std::find(entries.begin(), entries.end(), "./a/b/c.txt"), entries.end());
}

TEST_F(ArchiveSteps, MemberChangedWhileArchivedMakesTheStepRunAgain) {
  int code = 0;
  bool slotEmpty = false;
  ArchiverOverride archiver(work / "touching-ditto",
                            "touch -d '2031-01-01 00:00:00' " + Quote(source / "a/d.txt") + "\nexec '" +
                                DittoToolPath() + "' \"$@\"\n");
  body = [&](BodyOperation& operation) {
    auto slot = std::make_shared<ArchiveSlot>();
    code = RunStep(operation, *CreateStep(operation, ItemsOf(operation, {"a/b/c.txt", "a/d.txt"}), 3, true, slot));
    slotEmpty = slot->isEmpty();
  };
  Dictionary results = run();
  EXPECT_EQ(code, HelperResultRetry);
  EXPECT_TRUE(slotEmpty);
  EXPECT_TRUE(HasMessage(results, "File \"" + source.path() +
                                      "/a/d.txt\" has been modified while being backed up (will automatically try "
                                      "again later)"))
      << JoinedMessages(results);
}

TEST_F(ArchiveSteps, ArchiverFailureSkipsTheMembers) {
  int code = 0;
  std::vector<std::string> skipped;
  ArchiverOverride archiver(work / "failing-ditto", "echo broken >&2\nexit 3\n");
  body = [&](BodyOperation& operation) {
    auto slot = std::make_shared<ArchiveSlot>();
    code = RunStep(operation, *CreateStep(operation, ItemsOf(operation, {"a/b/c.txt", "a/d.txt"}), 9, true, slot));
    skipped = operation.skippedPaths();
  };
  Dictionary results = run();
  EXPECT_EQ(code, HelperResultDone);
  EXPECT_EQ(skipped, (std::vector<std::string>{"a/b/c.txt", "a/d.txt"}));
  EXPECT_TRUE(HasMessage(results, "Failed creating archive #9 with \"" + (work / "failing-ditto") +
                                      "\" (exit status 3 <Quit>)"))
      << JoinedMessages(results);
  EXPECT_TRUE(ListFolder(temporary.path()).empty());
}

TEST_F(ArchiveSteps, CancelledStepStopsTheArchiver) {
  int code = 0;
  ArchiverOverride archiver(work / "slow-ditto", "exec sleep 30\n");
  body = [&](BodyOperation& operation) {
    auto step = CreateStep(operation, ItemsOf(operation, {"a/d.txt"}), 5, true, std::make_shared<ArchiveSlot>());
    std::thread canceller([step] {
      ::usleep(300000);
      step->cancel();
    });
    code = RunStep(operation, *step);
    canceller.join();
  };
  auto started = std::chrono::steady_clock::now();
  run();
  EXPECT_EQ(code, HelperResultAbort);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
  EXPECT_TRUE(ListFolder(temporary.path()).empty());
}

TEST_F(ArchiveSteps, ReportLinesAreReadAndOthersLogged) {
  std::set<std::string> paths;
  body = [&](BodyOperation& operation) {
    auto step = CreateStep(operation, {}, 1, true, std::make_shared<ArchiveSlot>());
    paths = step->scanDittoErrorData(TextData(
        "copying file ./with space.txt ... \n12 bytes for ./with space.txt\n"
        "  copying symlink ./l ... \n./l -> x\n\n>>> note\nsomething odd\ncopying file ./no separator\nnext\n"));
  };
  Dictionary results = run();
  EXPECT_EQ(paths, (std::set<std::string>{"with space.txt", "l"}));
  EXPECT_TRUE(HasMessage(results, "[" + DittoToolPath() + "] something odd")) << JoinedMessages(results);
  EXPECT_TRUE(HasMessage(results, "[" + DittoToolPath() + "] copying file ./no separator")) << JoinedMessages(results);
  EXPECT_FALSE(HasMessage(results, "[" + DittoToolPath() + "] >>> note"));
}

// ---- Extracting ----------------------------------------------------------------------------

// Makes an archive of `paths` and extracts it into `target` with the extraction step.
struct RoundTrip {
  int createCode = 0;
  int extractCode = 0;
  bool slotEmptied = false;
  std::vector<std::string> copied;
  std::vector<std::string> created;
  std::vector<std::string> deleted;
  std::vector<std::string> skipped;
};

TEST_F(ArchiveSteps, ExtractionRestoresMembersWithTheirMetadata) {
  RoundTrip trip;
  const std::string target = work / "restored";
  ::mkdir(target.c_str(), 0755);
  body = [&](BodyOperation& operation) {
    auto slot = std::make_shared<ArchiveSlot>();
    trip.createCode = RunStep(operation, *CreateStep(operation, ItemsOf(operation, members), 6, true, slot));
    operation.resetUniqueCreatedPaths();
    std::vector<std::string> before = operation.copiedPaths();
    auto extract = std::make_shared<RemoteBackupExtractArchiveOperation>(
        &operation, Value(slot), 6, Array{Value(ArrayOf(ItemsOf(operation, members))), Value(target), Value(false)});
    trip.extractCode = RunStep(operation, *extract);
    trip.slotEmptied = slot->isEmpty();
    std::vector<std::string> after = operation.copiedPaths();
    trip.copied.assign(after.begin() + static_cast<long>(before.size()), after.end());
    trip.created = operation.uniqueCreatedPaths();
  };
  Dictionary results = run();
  EXPECT_EQ(trip.createCode, HelperResultContinue) << JoinedMessages(results);
  EXPECT_EQ(trip.extractCode, HelperResultContinue) << JoinedMessages(results);
  EXPECT_TRUE(trip.slotEmptied);
  EXPECT_EQ(trip.copied.size(), members.size()) << JoinedMessages(results);
  EXPECT_EQ(trip.created.size(), members.size());  // every extracted item was recorded as created
  // Only the members (and their folders) were written, with contents, links, attributes and ACLs.
  std::vector<std::string> differences = TreeDifferences(source.path(), target);
  EXPECT_EQ(differences, std::vector<std::string>{}) << JoinedMessages(results);
  struct stat status;
  EXPECT_NE(::lstat((target + "/x/._y.doc").c_str(), &status), 0) << "the companion was left on disk";
  if (!attributes || !acls) GTEST_SKIP() << "the file system refused extended attributes or ACLs";
}

TEST_F(ArchiveSteps, ErasingNeverFollowsLinksOutOfTheDestination) {
  const std::string target = work / "restored";
  const std::string outside = work / "outside";
  ::mkdir(target.c_str(), 0755);
  ::mkdir(outside.c_str(), 0755);
  WriteFile(outside + "/d.txt", "precious");
  WriteFile(outside + "/c.txt", "precious too");
  ::mkdir((target + "/a").c_str(), 0755);
  // a/d.txt is a link to a file outside; a/b is a link to a folder outside.
  ::symlink((outside + "/d.txt").c_str(), (target + "/a/d.txt").c_str());
  ::symlink(outside.c_str(), (target + "/a/b").c_str());
  RoundTrip trip;
  body = [&](BodyOperation& operation) {
    auto slot = std::make_shared<ArchiveSlot>();
    trip.createCode =
        RunStep(operation, *CreateStep(operation, ItemsOf(operation, {"a/d.txt", "a/b/c.txt"}), 1, true, slot));
    std::size_t skippedBefore = operation.skippedPaths().size();
    auto extract = std::make_shared<RemoteBackupExtractArchiveOperation>(
        &operation, Value(slot), 1,
        Array{Value(ArrayOf(ItemsOf(operation, {"a/d.txt", "a/b/c.txt"}))), Value(target), Value(true)});
    trip.extractCode = RunStep(operation, *extract);
    std::vector<std::string> skipped = operation.skippedPaths();
    trip.skipped.assign(skipped.begin() + static_cast<long>(skippedBefore), skipped.end());
    trip.deleted = operation.deletedPaths();
  };
  Dictionary results = run();
  EXPECT_EQ(trip.createCode, HelperResultContinue);
  EXPECT_EQ(ReadFile(outside + "/d.txt"), TextData("precious"));
  EXPECT_EQ(ReadFile(outside + "/c.txt"), TextData("precious too"));
  EXPECT_EQ(trip.deleted, std::vector<std::string>{"a/d.txt"});
  EXPECT_EQ(trip.skipped, std::vector<std::string>{"a/b/c.txt"});
  EXPECT_NE(JoinedMessages(results).find("Failed deleting file \"" + target + "/a/b/c.txt\""), std::string::npos)
      << JoinedMessages(results);
  struct stat status;
  ASSERT_EQ(::lstat((target + "/a/d.txt").c_str(), &status), 0);
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(ReadFile(target + "/a/d.txt"), ReadFile(source / "a/d.txt"));
}

TEST_F(ArchiveSteps, ExtractedItemOfAnotherTypeFailsVerificationAndGetsNoProperties) {
  // The recorded a/d.txt is a setuid file whose contents are a path outside,
  // so that a link to that path has the file's size and digest.
  const std::string outside = work / "outside";
  ::mkdir(outside.c_str(), 0755);
  const std::string victim = outside + "/victim";
  WriteFile(victim, "keep my mode");
  ASSERT_EQ(::chmod(victim.c_str(), 0600), 0);
  WriteFile(source / "a/d.txt", victim);
  ASSERT_EQ(::chmod((source / "a/d.txt").c_str(), 04755), 0);

  // What an extraction leaves in the file's place. Reading a named pipe
  // for its digest would wait forever; that case runs without digests so
  // that it cannot hang even where the type goes unchecked.
  struct Case {
    const char* named;
    std::string makeIt;
    bool digests;
  };
  const std::vector<Case> cases = {
      {"symbolic link", "ln -s " + Quote(victim) + " \"$5/a/d.txt\"", true},
      {"named pipe", "mkfifo \"$5/a/d.txt\"", false},
      {"folder", "mkdir \"$5/a/d.txt\"", true},
  };
  int number = 0;
  for (const Case& odd : cases) {
    SCOPED_TRACE(odd.named);
    const std::string target = work / ("restored-" + std::to_string(++number));
    ::mkdir(target.c_str(), 0755);
    controller->setComputeFileDigests(odd.digests);
    int code = -1;
    std::vector<std::string> copied;
    body = [&](BodyOperation& operation) {
      auto slot = std::make_shared<ArchiveSlot>();
      ASSERT_EQ(RunStep(operation, *CreateStep(operation, ItemsOf(operation, {"a/d.txt"}), 1, false, slot)),
                HelperResultContinue);
      std::vector<DirectoryItemPtr> items = ItemsOf(operation, {"a/d.txt"});
      ArchiverOverride archiver(work / "odd-ditto", "cat >/dev/null\nmkdir -p \"$5/a\"\n" + odd.makeIt + "\n");
      const std::size_t copiedBefore = operation.copiedPaths().size();
      auto extract = std::make_shared<RemoteBackupExtractArchiveOperation>(
          &operation, Value(slot), 1, Array{Value(ArrayOf(items)), Value(target), Value(false)});
      code = RunStep(operation, *extract);
      std::vector<std::string> after = operation.copiedPaths();
      copied.assign(after.begin() + static_cast<long>(copiedBefore), after.end());
      // The property call by itself refuses the item as well.
      operation.setPathProperties(target + "/a/d.txt", *items.front());
    };
    Dictionary results = run();
    EXPECT_EQ(code, HelperResultContinue) << JoinedMessages(results);
    EXPECT_EQ(copied, std::vector<std::string>{});
    const std::string restored = target + "/a/d.txt";
    const std::string mismatch = std::string("a ") + odd.named + " where the backup has a regular file";
    EXPECT_TRUE(HasMessage(results, "Unexpected file type for restored file \"" + restored + "\" (" + mismatch + ")"))
        << JoinedMessages(results);
    EXPECT_TRUE(HasMessage(results, "Not setting attributes for path \"" + restored + "\": it is " + mismatch))
        << JoinedMessages(results);
    struct stat status;
    ASSERT_EQ(::stat(victim.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u) << "the mode went through the link";
    ASSERT_EQ(::lstat(restored.c_str(), &status), 0);
    EXPECT_NE(status.st_mode & 07777, 04755u) << "the recorded mode reached an item of another type";
  }
}

TEST_F(ArchiveSteps, DamagedArchiveFailsItsExtractionOnly) {
  int code = 0;
  const std::string target = work / "restored";
  ::mkdir(target.c_str(), 0755);
  body = [&](BodyOperation& operation) {
    auto slot = std::make_shared<ArchiveSlot>();
    slot->put(TextData("this is no archive at all"));
    auto extract = std::make_shared<RemoteBackupExtractArchiveOperation>(
        &operation, Value(slot), 12, Array{Value(ArrayOf(ItemsOf(operation, {"a/d.txt"}))), Value(target), Value(false)});
    code = RunStep(operation, *extract);
  };
  Dictionary results = run();
  EXPECT_EQ(code, HelperResultDone);
  EXPECT_NE(JoinedMessages(results).find("Failed extracting archive #12 with \"" + DittoToolPath() + "\" (exit status"),
            std::string::npos)
      << JoinedMessages(results);
  EXPECT_TRUE(ListFolder(temporary.path()).empty());
}

TEST_F(ArchiveSteps, EmptySlotAbortsTheExtraction) {
  int code = 0;
  body = [&](BodyOperation& operation) {
    auto extract = std::make_shared<RemoteBackupExtractArchiveOperation>(
        &operation, Value(std::make_shared<ArchiveSlot>()), 3,
        Array{Value(ArrayOf(ItemsOf(operation, {"a/d.txt"}))), Value(work / "restored"), Value(false)});
    code = RunStep(operation, *extract);
  };
  Dictionary results = run();
  EXPECT_EQ(code, HelperResultAbort);
  EXPECT_TRUE(HasMessage(results, "[Internal Error] Missing archive #3")) << JoinedMessages(results);
}

}  // namespace
}  // namespace quorvel
