// The transfer steps against a local destination: a file stored in parts
// with its metadata file and fetched back, files that change while they are
// stored, damaged parts, archives through their slots, verification of
// stored files, digests, and the properties given to restored items.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "engine/DestinationTestSupport.h"
#include "snapshot/SnapshotTestSupport.h"

namespace quorvel {
namespace {

using namespace test;

constexpr std::uint32_t kSegmentMiB = 1;
constexpr std::size_t kPartLength = (std::size_t{kSegmentMiB} << 20) - 32;

Data PatternData(std::size_t size, unsigned seed) {
  Data data(size);
  std::uint32_t state = seed * 2654435761u + 1;
  for (auto& byte : data) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<std::uint8_t>(state >> 24);
  }
  return data;
}

std::string AttributeOf(const std::string& path, const std::string& name) {
  char buffer[256];
  ssize_t size = lgetxattr(path.c_str(), name.c_str(), buffer, sizeof buffer);
  return size < 0 ? std::string("<none>") : std::string(buffer, static_cast<std::size_t>(size));
}

// A step that only offers the utilities of every step.
class ProbeStep : public RemoteBackupHelperStep<ProbeStep> {
 public:
  using RemoteBackupHelperStep::RemoteBackupHelperStep;
  const char* className() const override { return "ProbeStep"; }
  int runWithFileTransferController(FileTransferController&) override { return HelperResultContinue; }
};

// A part step whose file is touched while its bytes are being read.
class TouchingPartStep : public RemoteBackupUploadPartOperation {
 public:
  using RemoteBackupUploadPartOperation::RemoteBackupUploadPartOperation;
  std::string path;
  long readDataFromStream(std::any& info, std::uint8_t* buffer, std::size_t maxLength) override {
    long got = RemoteBackupUploadPartOperation::readDataFromStream(info, buffer, maxLength);
    if (!touched_) {
      touched_ = true;
      SetModificationTime(path, 1500000000, 5);
    }
    return got;
  }

 private:
  bool touched_ = false;
};

// Records whether a file already had its storage record when it ran.
class MarkerStep : public RemoteBackupHelperStep<MarkerStep> {
 public:
  using RemoteBackupHelperStep::RemoteBackupHelperStep;
  const char* className() const override { return "MarkerStep"; }
  int runWithFileTransferController(FileTransferController&) override {
    mainOperation().lock();
    DirectoryItemPtr item = mainOperation().scanner()->directoryItemAtSubpath(source().asString());
    recordSetWhenRun = item && StorageRecordOfItem(*item).has_value();
    mainOperation().unlock();
    return HelperResultContinue;
  }
  static inline bool recordSetWhenRun = true;
};

class TransferSteps : public ::testing::Test {
 protected:
  void SetUp() override {
    content = PatternData(2 * kPartLength + 12345, 7);
    WriteFile(source / "big.bin", content);
    SetAttribute(source / "big.bin", "user.comment", "kept with the file");
    SetModificationTime(source / "big.bin", 1400000000, 250000000);
    controller = DestinationTestController::make();
    controller->setSourceDirectoryPath(source.path());
    controller->setDestinationURL(LocalURL(destination.path()));
    controller->setMaximumSegmentSize(kSegmentMiB);
    controller->setMaximumSimultaneousSegments(2);
    controller->setComputeFileDigests(true);
  }
  void TearDown() override { controller->setDelegate(nullptr); }

  // Stores big.bin as file index 3 into a fresh snapshot that becomes the
  // operation's; answers whether the steps all succeeded.
  static bool StoreBigFile(BodyOperation& operation) {
    DirectoryScannerPtr scanner = ScanFolder(operation.sourceDir());
    operation.setScanner(scanner);
    DirectoryItemPtr item = scanner->directoryItemAtSubpath("big.bin");
    operation.addPendingOperation(
        std::make_shared<RemoteBackupUploadFileOperation>(&operation, Value(item), 3, Array{Value("File_0003.bin")}));
    operation.setPhaseMax(5);
    return operation.runOperations();
  }

  // Plans the parts of big.bin and its finishing step into `target`.
  static void PlanDownload(BodyOperation& operation, const std::string& target) {
    DirectoryScannerPtr scanner = operation.scanner();
    DirectoryItemPtr item = scanner->directoryItemAtSubpath("big.bin");
    std::optional<StorageRecord> record = ValidStorageRecordOfItem(*item);
    ASSERT_TRUE(record);
    const Dictionary& files = scanner->userInfoForKey(kBackupFilesKey).asDictionary();
    bool encrypted = operation.isEncrypted();
    std::string base = FileBaseName(record->storageIndex, item->path());
    std::string metadataName = FileMetadataName(base, encrypted);
    auto finish = std::make_shared<RemoteBackupDownloadFileOperation>(
        &operation, Value(item), record->storageIndex,
        Array{Value(target), Value(metadataName), UploadInformation::fromValue(files.get(metadataName))->digest});
    std::shared_ptr<RemoteBackupHelperOperation> next = finish;
    for (int part = record->partCount; part >= 1; --part) {
      std::string name = FilePartName(base, part, encrypted);
      auto step = std::make_shared<RemoteBackupDownloadPartOperation>(
          &operation, Value(item), record->storageIndex,
          Array{Value(target), Value(part), Value(name), UploadInformation::fromValue(files.get(name))->digest});
      step->setNextOperation(next);
      next = step;
    }
    operation.addPendingOperation(next);
    operation.addToPhaseMax(record->partCount + 1);
  }

  void roundTrip(std::optional<std::string> password);

  Data content;
  TempDir source;
  TempDir destination;
  TempDir restored;
  RecordingDelegate delegate;
  std::shared_ptr<DestinationTestController> controller;
};

void TransferSteps::roundTrip(std::optional<std::string> password) {
  controller->setEncryptionPassword(password);
  const std::string suffix = password ? ".aes" : "";
  const std::string target = restored.path();
  controller->body = [&](BodyOperation& operation) -> std::optional<Dictionary> {
    if (!StoreBigFile(operation)) return std::nullopt;
    DirectoryItemPtr item = operation.scanner()->directoryItemAtSubpath("big.bin");
    std::optional<StorageRecord> record = ValidStorageRecordOfItem(*item);
    EXPECT_TRUE(record);
    if (!record) return std::nullopt;
    EXPECT_EQ(record->storageKind, StorageKindFileWithMetadata);
    EXPECT_EQ(record->storageIndex, 3);
    EXPECT_EQ(record->partCount, 3);
    EXPECT_EQ(Data(record->digest.begin(), record->digest.end()), MD5Of(content));
    std::vector<std::string> names = operation.scanner()->userInfoForKey(kBackupFilesKey).asDictionary().keys();
    SortPaths(names);
    EXPECT_EQ(names, (std::vector<std::string>{"File_0003.bin.0001" + suffix, "File_0003.bin.0002" + suffix,
                                               "File_0003.bin.0003" + suffix, "File_0003.bin.apdb" + suffix}));
    PlanDownload(operation, target);
    if (!operation.runOperations()) return std::nullopt;
    return Dictionary();
  };
  Dictionary results = RunCommand(*controller, delegate, BackupCommandVerifyBackup);
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  EXPECT_FALSE(results.contains(kErrorMessagesResult)) << JoinedMessages(results);

  EXPECT_EQ(ListFolder(destination.path()),
            (std::vector<std::string>{"File_0003.bin.0001" + suffix, "File_0003.bin.0002" + suffix,
                                      "File_0003.bin.0003" + suffix, "File_0003.bin.apdb" + suffix}));
  if (password) {
    // Stored encrypted: nothing of the plain bytes on the destination.
    Data stored = ReadFile(destination / "File_0003.bin.0001.aes");
    EXPECT_EQ(stored.size(), (kPartLength & ~std::size_t{15}) + 16);
    EXPECT_NE(Data(stored.begin(), stored.begin() + 64), Data(content.begin(), content.begin() + 64));
  } else {
    EXPECT_EQ(ReadFile(destination / "File_0003.bin.0002"),
              Data(content.begin() + kPartLength, content.begin() + 2 * kPartLength));
  }

  std::string restoredPath = restored / "big.bin";
  EXPECT_EQ(ReadFile(restoredPath), content);
  EXPECT_EQ(AttributeOf(restoredPath, "user.comment"), "kept with the file");
  struct stat status;
  ASSERT_EQ(lstat(restoredPath.c_str(), &status), 0);
  EXPECT_EQ(status.st_mtim.tv_sec, 1400000000);
  EXPECT_EQ(status.st_mtim.tv_nsec / 1000, 250000);
  EXPECT_EQ(Texts(results.get(kCopiedPathsResult)), (std::vector<std::string>{"big.bin", "big.bin"}));
  // Everything the steps stored or restored is remembered for a roll-back.
  std::vector<std::string> created = Texts(results.get(kCreatedPathsResult));
  EXPECT_NE(std::find(created.begin(), created.end(), "big.bin"), created.end());
  EXPECT_NE(std::find(created.begin(), created.end(), "File_0003.bin.0003" + suffix), created.end());
}

TEST_F(TransferSteps, FileInPartsWithMetadataRoundTrips) { roundTrip(std::nullopt); }

TEST_F(TransferSteps, EncryptedFileInPartsWithMetadataRoundTrips) { roundTrip(std::string("s3cret words")); }

TEST_F(TransferSteps, PartOfAFileThatChangesWhileItIsReadAsksForTheWholeFileAgainAtTheEnd) {
  controller->setMaximumSimultaneousSegments(1);
  MarkerStep::recordSetWhenRun = true;
  std::string path = source / "big.bin";
  controller->body = [&](BodyOperation& operation) -> std::optional<Dictionary> {
    DirectoryScannerPtr scanner = ScanFolder(operation.sourceDir());
    operation.setScanner(scanner);
    DirectoryItemPtr item = scanner->directoryItemAtSubpath("big.bin");
    FileUploadState state = ModificationStateOfPath(path);
    auto part = std::make_shared<TouchingPartStep>(
        &operation, Value(item), 3,
        Array{Value("File_0003.bin"), Value(state.encode()), Value(1), Value(std::uint64_t{0}),
              Value(static_cast<unsigned>(kPartLength))});
    part->path = path;
    operation.addPendingOperation(part);
    operation.addPendingOperation(std::make_shared<MarkerStep>(&operation, Value("big.bin"), 9, Array{}));
    if (!operation.runOperations()) return std::nullopt;
    std::optional<StorageRecord> record = ValidStorageRecordOfItem(*scanner->directoryItemAtSubpath("big.bin"));
    EXPECT_TRUE(record);
    if (record) EXPECT_EQ(record->partCount, 3);
    return Dictionary();
  };
  Dictionary results = RunCommand(*controller, delegate, BackupCommandVerifyBackup);
  EXPECT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  EXPECT_TRUE(HasMessage(results, "File \"" + path + "\" has been modified while being backed up"))
      << JoinedMessages(results);
  EXPECT_FALSE(MarkerStep::recordSetWhenRun);
  EXPECT_EQ(ListFolder(destination.path()),
            (std::vector<std::string>{"File_0003.bin.0001", "File_0003.bin.0002", "File_0003.bin.0003",
                                      "File_0003.bin.apdb"}));
  EXPECT_EQ(ReadFile(destination / "File_0003.bin.0001"), Data(content.begin(), content.begin() + kPartLength));
}

TEST_F(TransferSteps, PartOfAFileChangedBeforeItStartsAnswersRestart) {
  std::string path = source / "big.bin";
  controller->body = [&](BodyOperation& operation) -> std::optional<Dictionary> {
    DirectoryScannerPtr scanner = ScanFolder(operation.sourceDir());
    operation.setScanner(scanner);
    FileUploadState stale = ModificationStateOfPath(path);
    stale.modificationSeconds -= 10;
    RemoteBackupUploadPartOperation part(&operation, Value(scanner->directoryItemAtSubpath("big.bin")), 3,
                                         Array{Value("File_0003.bin"), Value(stale.encode()), Value(1),
                                               Value(std::uint64_t{0}), Value(static_cast<unsigned>(kPartLength))});
    EXPECT_EQ(part.runWithFileTransferController(*operation.transferController()), HelperResultRestartFile);
    return Dictionary();
  };
  Dictionary results = RunCommand(*controller, delegate, BackupCommandVerifyBackup);
  EXPECT_TRUE(HasMessage(results, "File \"" + path + "\" has been modified while being backed up"));
  EXPECT_TRUE(ListFolder(destination.path()).empty());
}

TEST_F(TransferSteps, DamagedPartFailsItsDigestAndIsCutBack) {
  const std::string target = restored.path();
  bool stored = false;
  controller->body = [&](BodyOperation& operation) -> std::optional<Dictionary> {
    stored = StoreBigFile(operation);
    if (!stored) return std::nullopt;
    // Flip one byte of the second part on the destination.
    Data part = ReadFile(destination / "File_0003.bin.0002");
    part[1000] ^= 0x01;
    WriteFile(destination / "File_0003.bin.0002", part);
    PlanDownload(operation, target);
    if (!operation.runOperations()) return std::nullopt;
    return Dictionary();
  };
  delegate.onRetryQuestion = [](BackupController& asked) { asked.replyToShouldRetryAfterNetworkError(false); };
  Dictionary results = RunCommand(*controller, delegate, BackupCommandVerifyBackup);
  EXPECT_TRUE(stored);
  EXPECT_FALSE(results.get(kSuccessResult).asBool());
  EXPECT_TRUE(HasMessage(results, "Download digest does not match expected one for part \"file://localhost" +
                                      destination.path() + "/File_0003.bin.0002\""))
      << JoinedMessages(results);
  EXPECT_TRUE(delegate.has("retryQuestion"));
  // The file keeps what the good first part wrote.
  EXPECT_EQ(ReadFile(restored / "big.bin"), Data(content.begin(), content.begin() + kPartLength));
}

TEST_F(TransferSteps, ArchiveBytesTravelThroughSlotsBothWays) {
  controller->setEncryptionPassword(std::string("pw"));
  Data archive = PatternData(70000, 3);
  Data tooLarge = PatternData((std::size_t{kSegmentMiB} << 20) + (std::size_t{kSegmentMiB} << 20) / 16 + 1, 4);
  delegate.takesRetryQuestions = false;
  controller->body = [&](BodyOperation& operation) -> std::optional<Dictionary> {
    operation.setScanner(ScanFolder(operation.sourceDir()));
    ArchiveSlots slots;
    ArchiveSlotPtr upload = slots.nextSlot();
    upload->put(archive);
    operation.addPendingOperation(
        std::make_shared<RemoteBackupUploadArchiveOperation>(&operation, Value(upload), 5, Array{Value(true)}));
    EXPECT_TRUE(operation.runOperations());
    EXPECT_TRUE(upload->isEmpty());
    Value information = operation.scanner()->userInfoForKey(kBackupFilesKey).asDictionary().get("Archive_0005.cpgz.aes");
    EXPECT_EQ(UploadInformation::fromValue(information)->digest, MD5Of(archive));

    ArchiveSlotPtr download = slots.nextSlot();
    operation.addPendingOperation(std::make_shared<RemoteBackupDownloadArchiveOperation>(
        &operation, Value("Archive_0005.cpgz.aes"), 5,
        Array{Value(download), UploadInformation::fromValue(information)->digest}));
    EXPECT_TRUE(operation.runOperations());
    EXPECT_EQ(download->take(), std::optional<Data>(archive));

    // An archive beyond 17/16 of a segment does not fit the buffer.
    operation.transferController()->uploadFileFromData(tooLarge, "Archive_0006.cpio.aes");
    ArchiveSlotPtr large = slots.nextSlot();
    operation.addPendingOperation(std::make_shared<RemoteBackupDownloadArchiveOperation>(
        &operation, Value("Archive_0006.cpio.aes"), 6, Array{Value(large), MD5Of(tooLarge)}));
    EXPECT_FALSE(operation.runOperations());
    EXPECT_TRUE(large->isEmpty());
    return Dictionary();
  };
  Dictionary results = RunCommand(*controller, delegate, BackupCommandVerifyBackup);
  EXPECT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  EXPECT_TRUE(HasMessage(results, "Failed downloading archive \"file://localhost" + destination.path() +
                                      "/Archive_0006.cpio.aes\""))
      << JoinedMessages(results);
}

TEST_F(TransferSteps, VerificationExcludesMissingAndDamagedFilesAndNeverRetries) {
  controller->body = [&](BodyOperation& operation) -> std::optional<Dictionary> {
    operation.setScanner(ScanFolder(operation.sourceDir()));
    FileTransferController& client = *operation.transferController();
    client.setDigestComputation(true);
    Data good = TextData("good bytes");
    client.uploadFileFromData(good, "good");
    client.uploadFileFromData(TextData("bad bytes"), "bad");
    Value goodInfo = UploadInformation{good.size(), MD5Of(good)}.toValue();
    Value badInfo = UploadInformation{9, MD5Of(TextData("bytes that were stored"))}.toValue();
    int number = 0;
    for (const auto& [name, information] : std::vector<std::pair<std::string, Value>>{
             {"good", goodInfo}, {"bad", badInfo}, {"missing", goodInfo}}) {
      operation.addPendingOperation(std::make_shared<RemoteBackupVerifyOperation>(
          &operation, Value(name), operation.addToPhaseMax(1), Array{information}));
      ++number;
    }
    EXPECT_TRUE(operation.runOperations());
    return Dictionary();
  };
  Dictionary results = RunCommand(*controller, delegate, BackupCommandVerifyBackup);
  EXPECT_TRUE(results.get(kSuccessResult).asBool());
  EXPECT_EQ(Texts(results.get(kExcludedPathsResult)), (std::vector<std::string>{"bad", "missing"}));
  std::string root = "file://localhost" + destination.path() + "/";
  EXPECT_TRUE(HasMessage(results, "Download digest does not match expected one for \"" + root + "bad\""));
  EXPECT_TRUE(HasMessage(results, "Failed downloading \"" + root + "missing\""));
  EXPECT_FALSE(delegate.has("retryQuestion"));
}

TEST_F(TransferSteps, DigestsOfFilesAndLinksAndRestoredFileChecks) {
  ASSERT_EQ(symlink("some/target/text", (source / "link").c_str()), 0);
  WriteFile(source / "small.txt", "small content");
  controller->body = [&](BodyOperation& operation) -> std::optional<Dictionary> {
    DirectoryScannerPtr scanner = ScanFolder(operation.sourceDir());
    operation.setScanner(scanner);
    ProbeStep probe(&operation, Value(), 0, Array{});
    std::uint8_t digest[16];
    EXPECT_TRUE(probe.computeDigestForFile(source / "link", 0, true, 0, digest));
    EXPECT_EQ(Data(digest, digest + 16), MD5Of(TextData("some/target/text")));
    EXPECT_TRUE(probe.computeDigestForFile(source / "big.bin", content.size(), false, 9, digest));
    EXPECT_EQ(Data(digest, digest + 16), MD5Of(content));
    EXPECT_FALSE(probe.computeDigestForFile(source / "absent", 0, false, 0, digest));

    // A restored copy checked against the snapshot item and its record.
    StorageRecord record;
    record.storageKind = StorageKindArchive;
    record.storageIndex = 1;
    Data expected = MD5Of(TextData("small content"));
    std::copy(expected.begin(), expected.end(), record.digest.begin());
    SetStorageRecordOfItem(*scanner, "small.txt", record);
    DirectoryItemPtr item = scanner->directoryItemAtSubpath("small.txt");
    WriteFile(restored / "small.txt", "small content");
    EXPECT_TRUE(probe.verifyRestoredFile(*item, restored / "small.txt", 0));
    WriteFile(restored / "small.txt", "small CONTENT");
    EXPECT_FALSE(probe.verifyRestoredFile(*item, restored / "small.txt", 0));
    WriteFile(restored / "small.txt", "longer small content");
    EXPECT_FALSE(probe.verifyRestoredFile(*item, restored / "small.txt", 0));
    SetAttribute(restored / "small.txt", "user.extra", "not recorded");
    WriteFile(restored / "small.txt", "small content");
    EXPECT_FALSE(probe.verifyRestoredFile(*item, restored / "small.txt", 0));
    return Dictionary();
  };
  Dictionary results = RunCommand(*controller, delegate, BackupCommandVerifyBackup);
  EXPECT_TRUE(results.get(kSuccessResult).asBool());
  std::string restoredPath = restored / "small.txt";
  EXPECT_EQ(ErrorMessages(results),
            (std::vector<std::string>{
                "Failed computing digest for backed up file \"" + (source / "absent") + "\" (No such file or directory)",
                "Unexpected digest for restored file \"" + restoredPath + "\"",
                "Unexpected data size for restored file \"" + restoredPath + "\"",
                "Unexpected extended attributes for restored file \"" + restoredPath + "\""}));
  bool digestPhase = false;
  for (const auto& event : delegate.events()) {
    digestPhase |= event.name == "beginPhase" && event.text == kPhaseComputeFileDigest && event.identifier == 9;
  }
  EXPECT_TRUE(digestPhase);

  // "skipVerification" accepts anything.
  controller->body = [&](BodyOperation& operation) -> std::optional<Dictionary> {
    DirectoryScannerPtr scanner = ScanFolder(operation.sourceDir());
    ProbeStep probe(&operation, Value(), 0, Array{});
    EXPECT_TRUE(probe.verifyRestoredFile(*scanner->directoryItemAtSubpath("big.bin"), restored / "small.txt", 0));
    return Dictionary();
  };
  results = RunCommand(*controller, delegate, BackupCommandVerifyBackup, Dictionary{{kSkipVerificationArgument, true}});
  EXPECT_TRUE(results.get(kSuccessResult).asBool());
  EXPECT_FALSE(results.contains(kErrorMessagesResult));
}

TEST_F(TransferSteps, RestoredDirectoryGetsAttributesModeAndDates) {
  MakeDirectory(source / "folder", 0750);
  SetAttribute(source / "folder", "user.colour", "blue");
  SetModificationTime(source / "folder", 1300000000, 0);
  MakeDirectory(restored / "folder", 0700);
  controller->body = [&](BodyOperation& operation) -> std::optional<Dictionary> {
    DirectoryScannerPtr scanner = ScanFolder(operation.sourceDir());
    operation.setPathProperties(restored / "folder", *scanner->directoryItemAtSubpath("folder"));
    operation.setPathProperties(restored / "absent", *scanner->directoryItemAtSubpath("folder"));
    return Dictionary();
  };
  Dictionary results = RunCommand(*controller, delegate, BackupCommandVerifyBackup);
  struct stat status;
  ASSERT_EQ(lstat((restored / "folder").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0750u);
  EXPECT_EQ(status.st_mtim.tv_sec, 1300000000);
  EXPECT_EQ(AttributeOf(restored / "folder", "user.colour"), "blue");
  // A path that is not there is reported, not raised.
  EXPECT_TRUE(HasMessage(results, "Failed setting attributes for path \"" + (restored / "absent") +
                                      "\" (No such file or directory)"))
      << JoinedMessages(results);
}

}  // namespace
}  // namespace quorvel
