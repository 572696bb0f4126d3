// Shared pieces of the destination command tests: a controller whose
// destination commands run a body the test supplies on the opened
// destination, a way to run a command to its end, and a builder that lays
// out a destination by hand (parts, metadata files and revision data written
// through a LocalTransferController, with or without a password).
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FileTransferController/LocalTransferController.h"
#include "engine/BackupStorage.h"
#include "engine/EngineTestSupport.h"
#include "engine/RemoteBackupHelperOperation.h"
#include "engine/RemoteBackupOperation.h"
#include "foundation/DataTransforms.h"
#include "support/TestSupport.h"

namespace quorvel::test {

class BodyOperation;
using OperationBody = std::function<std::optional<Dictionary>(BodyOperation&)>;

// Runs `body` (when set) instead of the command bodies, after the
// destination was opened as every destination command opens it.
class DestinationTestController : public RemoteBackupController {
 public:
  static std::shared_ptr<DestinationTestController> make() {
    return std::shared_ptr<DestinationTestController>(new DestinationTestController());
  }
  const BackupOperationClass* backupOperationClassForCommand(int command) const override;

  OperationBody body;
};

class BodyOperation : public RemoteBackupOperation {
 public:
  static const BackupOperationClass& Class() {
    static const BackupOperationClass cls = {
        "BodyOperation", &RemoteBackupOperation::Class(),
        [](const std::shared_ptr<BackupController>& controller, int command,
           const Dictionary& arguments) -> std::shared_ptr<BackupCommandOperation> {
          return std::make_shared<BodyOperation>(controller, command, arguments);
        }};
    return cls;
  }
  using RemoteBackupOperation::RemoteBackupOperation;

  std::optional<Dictionary> performCommand(int command, const Dictionary& arguments,
                                           const std::string& sourceDirectory,
                                           const std::shared_ptr<const Url>& destinationURL) override {
    if (!openDestination(sourceDirectory, destinationURL)) return std::nullopt;
    return static_cast<DestinationTestController&>(*controller()).body(*this);
  }
};

inline const BackupOperationClass* DestinationTestController::backupOperationClassForCommand(int command) const {
  if (body && command >= BackupCommandCheckDestination && command <= BackupCommandDeleteBackup) {
    return &BodyOperation::Class();
  }
  return RemoteBackupController::backupOperationClassForCommand(command);
}

// Runs a command to its end on the main loop and answers its results
// (empty when it did not finish in time).
inline Dictionary RunCommand(BackupController& controller, RecordingDelegate& delegate, int command,
                             Dictionary arguments = {}) {
  delegate.clear();
  controller.setDelegate(&delegate);
  controller.startCommandAsynchronously(command, arguments);
  bool finished = RunMainLoopUntil([&] { return delegate.finished(); }, 60.0);
  EXPECT_TRUE(finished) << "command " << command << " did not finish";
  auto event = delegate.first("didFinish");
  return event && event->results ? *event->results : Dictionary();
}

inline std::vector<std::string> ErrorMessages(const Dictionary& results) {
  std::vector<std::string> texts;
  if (results.get(kErrorMessagesResult).isArray()) texts = Texts(results.get(kErrorMessagesResult));
  return texts;
}

inline bool HasMessage(const Dictionary& results, const std::string& message) {
  for (const auto& text : ErrorMessages(results)) {
    if (text == message) return true;
  }
  return false;
}

inline std::string JoinedMessages(const Dictionary& results) {
  std::string joined;
  for (const auto& text : ErrorMessages(results)) joined += text + "\n";
  return joined;
}

inline Url LocalURL(const std::string& folder) { return *Url::URLWithScheme("file", "localhost", folder); }

inline Data MD5Of(const Data& data) { return *DataTransforms::md5Digest(data); }

inline Data TextData(const std::string& text) { return Data(text.begin(), text.end()); }

// Lays out a destination folder the way a backup would have left it.
class DestinationBuilder {
 public:
  DestinationBuilder(std::string folder, std::optional<std::string> password = std::nullopt)
      : folder_(std::move(folder)), password_(std::move(password)) {
    client_ = LocalTransferController::initWithBaseURL(LocalURL(folder_));
    client_->setDigestComputation(true);
    client_->setEncryptionPassword(password_);
  }

  const std::string& folder() const { return folder_; }
  Url url() const { return LocalURL(folder_); }
  bool encrypted() const { return password_.has_value(); }
  FileTransferController& client() { return *client_; }

  // Stores bytes under a name and records its upload information in `files`.
  void store(const std::string& name, const Data& bytes, Dictionary& files) {
    ASSERT_TRUE(client_->uploadFileFromData(bytes, name)) << name;
    UploadInformation information{client_->lastTransferSize(), *client_->lastTransferDigestData()};
    files.set(name, information.toValue());
  }

  // Stores a source file by itself in parts of `partLength` bytes (plus its
  // metadata file when given) and sets the item's storage record.
  StorageRecord storeFile(DirectoryScanner& scanner, const std::string& subpath, int fileIndex,
                          std::size_t partLength, Dictionary& files, const Data* metadata = nullptr) {
    Data content = ReadFile(scanner.rootDirectory() + "/" + subpath);
    std::string base = FileBaseName(fileIndex, subpath);
    StorageRecord record;
    record.storageKind = metadata ? StorageKindFileWithMetadata : StorageKindFile;
    record.storageIndex = static_cast<std::uint16_t>(fileIndex);
    Data digest = MD5Of(content);
    std::copy(digest.begin(), digest.end(), record.digest.begin());
    if (metadata) store(FileMetadataName(base, encrypted()), *metadata, files);
    int part = 0;
    for (std::size_t offset = 0; offset < content.size(); offset += partLength) {
      std::size_t length = std::min(partLength, content.size() - offset);
      store(FilePartName(base, ++part, encrypted()),
            Data(content.begin() + static_cast<long>(offset), content.begin() + static_cast<long>(offset + length)),
            files);
    }
    record.partCount = static_cast<std::uint16_t>(part);
    EXPECT_TRUE(SetStorageRecordOfItem(scanner, subpath, record));
    return record;
  }

  // Serializes the snapshot with its "backupFiles" and stores it as revision data.
  std::string storeRevision(DirectoryScanner& scanner, const Dictionary& files, std::uint32_t revision) {
    scanner.setUserInfo(Value(files), kBackupFilesKey);
    scanner.setRevision(revision);
    std::optional<Data> data = scanner.serializedData();
    EXPECT_TRUE(data.has_value());
    std::string name = RevisionDataName(revision, encrypted());
    EXPECT_TRUE(client_->uploadFileFromData(*data, name));
    return name;
  }

 private:
  std::string folder_;
  std::optional<std::string> password_;
  std::shared_ptr<LocalTransferController> client_;
};

// A scanned snapshot of a folder (metadata on).
inline DirectoryScannerPtr ScanFolder(const std::string& folder) {
  DirectoryScannerPtr scanner = DirectoryScanner::initWithRootDirectory(folder, true);
  EXPECT_TRUE(scanner->scanRootDirectory().has_value());
  return scanner;
}

inline std::vector<std::string> ListFolder(const std::string& folder) {
  std::string output;
  RunShell("ls -A '" + folder + "' | sort", &output);
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start < output.size()) {
    std::size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    if (end > start) names.push_back(output.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

}  // namespace quorvel::test
