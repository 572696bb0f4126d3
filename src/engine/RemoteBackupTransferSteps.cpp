// The transfer steps: storing a file by itself (metadata file and parts),
// uploading an archive, verifying a stored file, and the download side of
// parts, finished files and archives.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "engine/RemoteBackupHelperOperation.h"
#include "foundation/AppleDouble.h"
#include "foundation/InternalInconsistency.h"
#include "snapshot/PathOrder.h"
#include "foundation/Posix.h"

namespace quorvel {

namespace {


DirectoryItemPtr RequireItem(const RemoteBackupHelperOperation& step) {
  DirectoryItemPtr item = step.sourceItem();
  if (!item) throw InternalInconsistency(step.description() + " has no snapshot item");
  return item;
}

}  // namespace

// ---------------------------------------------------------------------------
// Storing a file by itself

int RemoteBackupUploadFileOperation::runWithFileTransferController(FileTransferController& controller) {
  RemoteBackupOperation& command = mainOperation();
  DirectoryItemPtr item = RequireItem(*this);
  const std::string baseName = argument(0).asString();
  const std::string path = sourcePathOfItem(*item);
  const bool encrypted = command.isEncrypted();
  RemoteBackupController& settings = remoteController();

  struct stat status;
  if (lstat(path.c_str(), &status) != 0) {
    command.logErrorMessage("Failed retrieving status for file \"%@\" (%s)", path, ErrnoText(errno));
    skipFile(*item);
    return isCancelled() ? HelperResultAbort : HelperResultDone;
  }
  FileUploadState state;
  state.modificationSeconds = static_cast<std::uint32_t>(status.st_mtim.tv_sec);
  state.modificationNanoseconds = static_cast<std::uint32_t>(status.st_mtim.tv_nsec);
  if (settings.computeFileDigests() &&
      !computeDigestForFile(path, item->dataSize(), item->isSymbolicLink(), index(), state.digest.data())) {
    skipFile(*item);
    return isCancelled() ? HelperResultAbort : HelperResultDone;
  }

  bool storedMetadata = false;
  if (ItemHasMetadata(*item)) {
    const std::string metadataName = FileMetadataName(baseName, encrypted);
    TemporaryFile temporary;
    const std::string& temporaryPath = temporary.path();
    int code = HelperResultContinue;
    if (Status packed = AppleDoublePack(path, temporaryPath); !packed.ok()) {
      command.logErrorMessage("Failed generating metadata for file \"%@\" (%s)", path, packed.message());
      code = HelperResultDone;
    } else {
      bool uploaded = inPhase(kPhaseUploadFileMetadata, FilePhaseIdentifier(index()),
                              [&] { return controller.uploadFileFromPath(temporaryPath, metadataName); });
      command.addUniqueCreatedPath(metadataName);
      if (!uploaded) {
        command.logErrorMessage("Failed uploading metadata for file \"%@\" to \"%@\"", path,
                                command.absoluteURLText(metadataName, &controller));
        code = HelperResultNetworkFailure;
      } else {
        storedMetadata = true;
        if (!saveInfoForFileTransferController(controller, metadataName)) code = HelperResultNetworkFailure;
      }
    }
    if (code == HelperResultContinue) {
      FileUploadState now = ModificationStateOfPath(path);
      if (!now.sameModificationTime(state)) {
        command.logErrorMessage(
            "File \"%@\" has been modified while being backed up (will automatically try again later)", path);
        code = HelperResultRetry;
      }
    }
    if (code != HelperResultContinue) {
      if (storedMetadata) command.deleteRemoteFile(metadataName, controller);
      if (code == HelperResultDone) skipFile(*item);
      return code;
    }
  }

  // Parts of at most one segment less the room that encryption may add.
  // Without a segment size a file is one part (in pieces of at most 2 GiB
  // when it is larger, as a part's length has 32 bits).
  std::uint64_t size = static_cast<std::uint64_t>(status.st_size);
  std::uint64_t partLength = std::uint64_t{settings.maximumSegmentSize()} << 20;
  partLength = partLength > 32 ? partLength - 32 : std::uint64_t{1} << 31;
  partLength = std::min<std::uint64_t>(partLength, 0xFFFFFFFFu);
  std::vector<HelperOperationPtr> parts;
  Data encodedState = state.encode();
  // The parts digest what they read, for the check after the last one.
  Value runningDigest = settings.computeFileDigests() ? Value(std::make_shared<RunningFileDigest>()) : Value();
  int part = 1;
  for (std::uint64_t offset = 0; offset < size; offset += partLength, ++part) {
    std::uint64_t length = std::min(partLength, size - offset);
    parts.push_back(std::make_shared<RemoteBackupUploadPartOperation>(
        &command, source(), index(),
        Array{Value(baseName), Value(encodedState), Value(part), Value(offset), Value(static_cast<unsigned>(length)),
              runningDigest}));
  }
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) parts[i]->setNextOperation(parts[i + 1]);
  setNextOperation(parts.empty() ? nullptr : parts.front());

  command.addCopiedPath(item->path());

  command.lock();
  int result = HelperResultContinue;
  DirectoryScanner* scanner = command.scanner().get();
  if (!scanner || !scanner->updateDirectoryItemAtSubpath(item->path())) {
    command.logErrorMessage("Failed updating backup info for \"%@\"", item->path());
    result = HelperResultDone;
  } else {
    StorageRecord record;
    record.storageKind = storedMetadata ? StorageKindFileWithMetadata : StorageKindFile;
    record.storageIndex = static_cast<std::uint16_t>(index());
    record.partCount = static_cast<std::uint16_t>(parts.size());
    record.digest = state.digest;
    if (!SetStorageRecordOfItem(*scanner, item->path(), record)) {
      command.logErrorMessage("Failed setting backup info for \"%@\"", item->path());
      result = HelperResultDone;
    }
  }
  command.unlock();
  return result;
}

// ---------------------------------------------------------------------------
// One part of a file

RemoteBackupUploadPartOperation::~RemoteBackupUploadPartOperation() {
  if (file_ >= 0) close(file_);
}

int RemoteBackupUploadPartOperation::runWithFileTransferController(FileTransferController& controller) {
  RemoteBackupOperation& command = mainOperation();
  DirectoryItemPtr item = RequireItem(*this);
  const std::string baseName = argument(0).asString();
  std::optional<FileUploadState> state = FileUploadState::decode(argument(1).isData() ? argument(1).asData() : Data());
  if (!state) throw InternalInconsistency(description() + " has no file upload state");
  const int part = static_cast<int>(argument(2).asInt());
  const std::uint64_t offset = argument(3).asUInt();
  const std::uint32_t length = static_cast<std::uint32_t>(argument(4).asUInt());
  const std::string path = sourcePathOfItem(*item);

  if (!ModificationStateOfPath(path).sameModificationTime(*state)) {
    command.logErrorMessage("File \"%@\" has been modified while being backed up", path);
    return HelperResultRestartFile;
  }

  offset_ = offset;
  length_ = length;
  runningDigest_ = argument(5).object<RunningFileDigest>();
  if (runningDigest_) runningDigest_->beginPart(offset);
  // The step outlives the stream: hand it over without ownership.
  std::shared_ptr<DataStreamSource> self(std::shared_ptr<DataStreamSource>(), static_cast<DataStreamSource*>(this));
  std::unique_ptr<DataReadStream> stream = DataReadStream::initWithDataSource(self, std::any(path));
  if (!stream) {
    command.logErrorMessage("Fail creating data stream for file \"%@\"", path);
    skipFile(*item);
    return HelperResultDone;
  }

  const std::string name = FilePartName(baseName, part, command.isEncrypted());
  bool uploaded = inPhase(kPhaseUploadFilePart, FilePhaseIdentifier(index(), static_cast<std::uint32_t>(part)),
                          [&] { return controller.uploadFileToPath(name, *stream, length); });
  stream.reset();
  command.addUniqueCreatedPath(name);

  int code = HelperResultContinue;
  if (!uploaded) {
    command.logErrorMessage("Failed uploading part #%i of file \"%@\" to \"%@\"", part, path,
                            command.absoluteURLText(name, &controller));
    code = HelperResultNetworkFailure;
  } else if (!saveInfoForFileTransferController(controller, name)) {
    code = HelperResultNetworkFailure;
  } else {
    int error = 0;
    bool changed = !ModificationStateOfPath(path, &error).sameModificationTime(*state) || error != 0;
    if (!changed && offset + length == item->dataSize() && remoteController().computeFileDigests()) {
      // The bytes the parts stored, digested as they were read, must be the
      // bytes the file step digested; only when that digest is not whole
      // (a part was read out of order) is the file read once more.
      std::optional<std::array<std::uint8_t, 16>> stored =
          runningDigest_ ? runningDigest_->digestOfFirst(item->dataSize()) : std::nullopt;
      std::uint8_t digest[16];
      if (stored) {
        std::memcpy(digest, stored->data(), sizeof digest);
      } else if (!computeDigestForFile(path, item->dataSize(), item->isSymbolicLink(), index(), digest)) {
        changed = true;
      }
      changed = changed || std::memcmp(digest, state->digest.data(), sizeof digest) != 0;
    }
    if (changed) {
      command.logErrorMessage("File \"%@\" has been modified while being backed up", path);
      code = isCancelled() ? HelperResultAbort : HelperResultRestartFile;
    }
  }
  if (code != HelperResultContinue && uploaded) command.deleteRemoteFile(name, controller);
  return code;
}

bool RemoteBackupUploadPartOperation::openDataStream(std::any& info) {
  const std::string* path = std::any_cast<std::string>(&info);
  if (!path) return false;
  file_ = open(path->c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (file_ < 0) {
    mainOperation().logErrorMessage("Failed opening file \"%@\" (%s)", *path, ErrnoText(errno));
    return false;
  }
  if (lseek(file_, static_cast<off_t>(offset_), SEEK_SET) < 0) {
    mainOperation().logErrorMessage("Failed seeking in file \"%@\" (%s)", *path, ErrnoText(errno));
    close(file_);
    file_ = -1;
    return false;
  }
  return true;
}

long RemoteBackupUploadPartOperation::readDataFromStream(std::any& info, std::uint8_t* buffer,
                                                         std::size_t maxLength) {
  std::size_t wanted = std::min<std::size_t>(maxLength, length_);
  if (wanted == 0) return 0;
  ssize_t got;
  do {
    got = read(file_, buffer, wanted);
  } while (got < 0 && errno == EINTR);
  if (got > 0) {
    length_ -= static_cast<std::uint32_t>(got);
    if (runningDigest_) runningDigest_->add(buffer, static_cast<std::size_t>(got));
  }
  return static_cast<long>(got);
}

void RemoteBackupUploadPartOperation::closeDataStream(std::any& info) {
  if (file_ >= 0) close(file_);
  file_ = -1;
}

// ---------------------------------------------------------------------------
// Archives and verification

int RemoteBackupUploadArchiveOperation::runWithFileTransferController(FileTransferController& controller) {
  RemoteBackupOperation& command = mainOperation();
  ArchiveSlotPtr slot = source().object<ArchiveSlot>();
  std::shared_ptr<const Data> bytes = slot ? slot->data() : nullptr;
  if (!bytes) {
    command.logErrorMessage("[Internal Error] Missing archive #%i", static_cast<int>(index()));
    return HelperResultAbort;
  }
  const std::string name = ArchiveName(static_cast<int>(index()), argument(0).asBool(), command.isEncrypted());
  bool uploaded = inPhase(kPhaseUploadFileArchive, index(), [&] { return controller.uploadFileFromData(*bytes, name); });
  command.addUniqueCreatedPath(name);
  if (!uploaded) {
    command.logErrorMessage("Failed uploading archive to \"%@\"", command.absoluteURLText(name, &controller));
    return HelperResultNetworkFailure;
  }
  if (!saveInfoForFileTransferController(controller, name)) return HelperResultNetworkFailure;
  bytes.reset();
  slot->clear();
  return HelperResultContinue;
}

int RemoteBackupVerifyOperation::runWithFileTransferController(FileTransferController& controller) {
  RemoteBackupOperation& command = mainOperation();
  const std::string name = source().asString();
  std::optional<UploadInformation> information = UploadInformation::fromValue(argument(0));
  bool downloaded = inPhase(kPhaseVerifyBackupFile, index(), [&] { return controller.downloadFileFromPathToNull(name); });
  if (!downloaded) {
    command.logErrorMessage("Failed downloading \"%@\"", command.absoluteURLText(name, &controller));
    command.addExcludedPath(name);
  } else {
    std::optional<Data> digest = controller.lastTransferDigestData();
    if (!information || !digest || *digest != information->digest) {
      command.logErrorMessage("Download digest does not match expected one for \"%@\"",
                              command.absoluteURLText(name, &controller));
      command.addExcludedPath(name);
    }
  }
  return HelperResultContinue;
}

// ---------------------------------------------------------------------------
// Downloads

RemoteBackupDownloadPartOperation::~RemoteBackupDownloadPartOperation() {
  if (file_ >= 0) close(file_);
}

int RemoteBackupDownloadPartOperation::runWithFileTransferController(FileTransferController& controller) {
  RemoteBackupOperation& command = mainOperation();
  DirectoryItemPtr item = RequireItem(*this);
  const std::string target = JoinPath(argument(0).asString(), item->path());
  const int part = static_cast<int>(argument(1).asInt());
  const std::string partName = argument(2).asString();
  const Value& expectedDigest = argument(3);

  off_t lengthBefore = 0;
  if (part <= 1) {
    command.addUniqueCreatedPath(item->path());
  } else {
    struct stat status;
    if (lstat(target.c_str(), &status) != 0) {
      command.logErrorMessage("Failed retrieving status for file \"%@\" (%s)", target, ErrnoText(errno));
      return HelperResultDone;
    }
    lengthBefore = status.st_size;
  }

  append_ = part > 1;
  std::shared_ptr<DataStreamDestination> self(std::shared_ptr<DataStreamDestination>(),
                                              static_cast<DataStreamDestination*>(this));
  std::unique_ptr<DataWriteStream> stream = DataWriteStream::initWithDataDestination(self, std::any(target));
  bool downloaded = stream && inPhase(kPhaseDownloadFilePart,
                                      FilePhaseIdentifier(index(), static_cast<std::uint32_t>(part)),
                                      [&] { return controller.downloadFileFromPath(partName, *stream); });
  stream.reset();

  int code = HelperResultContinue;
  if (!downloaded) {
    command.logErrorMessage("Failed downloading part \"%@\"", command.absoluteURLText(partName, &controller));
    code = HelperResultNetworkFailure;
  } else if (expectedDigest.isData()) {
    std::optional<Data> digest = controller.lastTransferDigestData();
    if (!digest || *digest != expectedDigest.asData()) {
      command.logErrorMessage("Download digest does not match expected one for part \"%@\"",
                              command.absoluteURLText(partName, &controller));
      code = HelperResultNetworkFailure;
    }
  } else {
    command.logErrorMessage("[Internal Error] No upload digest available for part \"%@\"",
                            command.absoluteURLText(partName, &controller));
    code = HelperResultAbort;
  }
  if (code != HelperResultContinue) {
    // Cut the file back to where this part began, so that a retry appends
    // to what the earlier parts wrote. A first part that never created the
    // file leaves nothing to cut.
    if (truncate(target.c_str(), lengthBefore) != 0 && !(errno == ENOENT && lengthBefore == 0)) {
      command.logErrorMessage("Failed truncating file \"%@\" (%s)", target, ErrnoText(errno));
      command.deleteFileAtPath(target);
      return HelperResultDone;
    }
  }
  return code;
}

bool RemoteBackupDownloadPartOperation::openDataStream(std::any& info) {
  const std::string* path = std::any_cast<std::string>(&info);
  if (!path) return false;
  int flags = O_WRONLY | O_NOFOLLOW | O_CLOEXEC | (append_ ? O_APPEND : (O_CREAT | O_TRUNC));
  file_ = open(path->c_str(), flags, 0600);
  if (file_ < 0) {
    mainOperation().logErrorMessage("Failed opening file \"%@\" (%s)", *path, ErrnoText(errno));
    return false;
  }
  return true;
}

long RemoteBackupDownloadPartOperation::writeDataToStream(std::any& info, const std::uint8_t* bytes,
                                                          std::size_t length) {
  std::size_t written = 0;
  while (written < length) {
    ssize_t result = write(file_, bytes + written, length - written);
    if (result < 0) {
      if (errno == EINTR) continue;
      return written > 0 ? static_cast<long>(written) : -1;
    }
    written += static_cast<std::size_t>(result);
  }
  return static_cast<long>(written);
}

void RemoteBackupDownloadPartOperation::closeDataStream(std::any& info) {
  if (file_ >= 0) close(file_);
  file_ = -1;
}

int RemoteBackupDownloadFileOperation::runWithFileTransferController(FileTransferController& controller) {
  RemoteBackupOperation& command = mainOperation();
  DirectoryItemPtr item = RequireItem(*this);
  const std::string target = JoinPath(argument(0).asString(), item->path());
  const Value& metadataName = argument(1);
  const Value& expectedDigest = argument(2);

  if (metadataName.isString()) {
    const std::string& name = metadataName.asString();
    TemporaryFile temporary;  // decrypted metadata: private, and gone on every path
    const std::string& temporaryPath = temporary.path();
    int code = HelperResultContinue;
    bool downloaded = inPhase(kPhaseDownloadFileMetadata, FilePhaseIdentifier(index()),
                              [&] { return controller.downloadFileFromPath(name, temporaryPath); });
    if (!downloaded) {
      command.logErrorMessage("Failed downloading metadata for file \"%@\" from \"%@\"", item->path(),
                              command.absoluteURLText(name, &controller));
      code = HelperResultNetworkFailure;
    } else if (!expectedDigest.isData()) {
      command.logErrorMessage("[Internal Error] No upload digest available for part \"%@\"",
                              command.absoluteURLText(name, &controller));
      code = HelperResultAbort;
    } else if (std::optional<Data> digest = controller.lastTransferDigestData();
               !digest || *digest != expectedDigest.asData()) {
      command.logErrorMessage("Download digest does not match expected one for part \"%@\"",
                              command.absoluteURLText(name, &controller));
      code = HelperResultNetworkFailure;
    } else {
      // A file without data has no part that created it.
      struct stat status;
      if (lstat(target.c_str(), &status) != 0 && errno == ENOENT) {
        int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
          close(fd);
          command.addUniqueCreatedPath(item->path());
        }
      }
      if (Status unpacked = AppleDoubleUnpack(temporaryPath, target); !unpacked.ok()) {
        command.logErrorMessage("Failed restoring metadata for file \"%@\" to \"%@\" (%s)", item->path(), target,
                                unpacked.message());
        code = HelperResultDone;
      }
    }
    if (code != HelperResultContinue) return code;
  }

  if (!verifyRestoredFile(*item, target, index())) return isCancelled() ? HelperResultAbort : HelperResultContinue;
  command.setPathProperties(target, *item);
  command.addCopiedPath(item->path());
  return HelperResultContinue;
}

int RemoteBackupDownloadArchiveOperation::runWithFileTransferController(FileTransferController& controller) {
  RemoteBackupOperation& command = mainOperation();
  const std::string name = source().asString();
  ArchiveSlotPtr slot = argument(0).object<ArchiveSlot>();
  if (!slot) throw InternalInconsistency(description() + " has no archive slot");
  const Value& expectedDigest = argument(1);
  const std::uint64_t segmentSize = std::uint64_t{remoteController().maximumSegmentSize()} << 20;

  std::optional<Data> bytes = inPhase(kPhaseDownloadFileArchive, index(), [&]() -> std::optional<Data> {
    if (segmentSize == 0) {
      // One archive holds everything: no larger than it was stored, or than
      // any revision may list when that size was not recorded.
      const Value& storedSize = argument(2);
      return controller.downloadFileFromPathToData(name, storedSize.isInteger() ? storedSize.asUInt()
                                                                                : kLargestRevisionFileSize);
    }
    // An archive's members total less than one segment; what compression
    // or encryption may add fits in the sixteenth on top. The size it was
    // stored with, when recorded, is all the room its plain bytes need.
    std::uint64_t capacity = segmentSize + segmentSize / 16;
    if (const Value& storedSize = argument(2); storedSize.isInteger() && storedSize.asUInt() < capacity)
      capacity = std::max<std::uint64_t>(storedSize.asUInt(), 1);
    Data buffer(static_cast<std::size_t>(capacity));
    long received = controller.downloadFileFromPathToBuffer(name, buffer.data(), buffer.size());
    if (received < 0) return std::nullopt;
    buffer.resize(static_cast<std::size_t>(received));
    return buffer;
  });
  if (!bytes) {
    command.logErrorMessage("Failed downloading archive \"%@\"", command.absoluteURLText(name, &controller));
    return HelperResultNetworkFailure;
  }
  if (!expectedDigest.isData()) {
    command.logErrorMessage("[Internal Error] No upload digest available for archive \"%@\"",
                            command.absoluteURLText(name, &controller));
    return HelperResultAbort;
  }
  std::optional<Data> digest = controller.lastTransferDigestData();
  if (!digest || *digest != expectedDigest.asData()) {
    command.logErrorMessage("Download digest does not match expected one for archive \"%@\"",
                            command.absoluteURLText(name, &controller));
    return HelperResultNetworkFailure;
  }
  slot->put(std::move(*bytes));
  return HelperResultContinue;
}

}  // namespace quorvel
