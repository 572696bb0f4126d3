#include "engine/RemoteBackupHelperOperation.h"

#include <openssl/evp.h>

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <exception>
#include <utility>

#include "engine/ArchiveSupport.h"
#include "engine/NetworkError.h"
#include "engine/RestoreTargetPaths.h"
#include "foundation/ExtendedACLText.h"
#include "foundation/Format.h"
#include "foundation/InternalInconsistency.h"
#include "foundation/Posix.h"

namespace quorvel {

namespace {

std::uint32_t ClampToUInt32(double value) {
  if (!(value > 0)) return 0;
  if (value >= 4294967295.0) return 4294967295u;
  return static_cast<std::uint32_t>(value);
}

}  // namespace

// ---------------------------------------------------------------------------
// Archive slots

void ArchiveSlot::put(Data data) {
  auto bytes = std::make_shared<const Data>(std::move(data));
  std::lock_guard<std::mutex> guard(mutex_);
  data_ = std::move(bytes);
}

std::optional<Data> ArchiveSlot::take() {
  std::shared_ptr<const Data> bytes;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    bytes = std::move(data_);
    data_.reset();
  }
  if (!bytes) return std::nullopt;
  return *bytes;
}

std::shared_ptr<const Data> ArchiveSlot::data() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return data_;
}

bool ArchiveSlot::isEmpty() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return data_ == nullptr;
}

void ArchiveSlot::clear() {
  std::shared_ptr<const Data> released;
  std::lock_guard<std::mutex> guard(mutex_);
  released = std::move(data_);
  data_.reset();
}

ArchiveSlotPtr ArchiveSlots::nextSlot() {
  if (slots_.size() >= kMaximumArchiveSlots) throw InternalInconsistency("Maximum number of results reached");
  slots_.push_back(std::make_shared<ArchiveSlot>());
  return slots_.back();
}

void ArchiveSlots::releaseAll() {
  for (const ArchiveSlotPtr& slot : slots_) slot->clear();
}

// ---------------------------------------------------------------------------
// File upload state

Data FileUploadState::encode() const {
  Data bytes(24, 0);
  std::memcpy(bytes.data(), &modificationSeconds, 4);
  std::memcpy(bytes.data() + 4, &modificationNanoseconds, 4);
  std::memcpy(bytes.data() + 8, digest.data(), digest.size());
  return bytes;
}

std::optional<FileUploadState> FileUploadState::decode(const Data& data) {
  if (data.size() != 24) return std::nullopt;
  FileUploadState state;
  std::memcpy(&state.modificationSeconds, data.data(), 4);
  std::memcpy(&state.modificationNanoseconds, data.data() + 4, 4);
  std::memcpy(state.digest.data(), data.data() + 8, state.digest.size());
  return state;
}

FileUploadState ModificationStateOfPath(const std::string& path, int* error) {
  FileUploadState state;
  struct stat status;
  if (lstat(path.c_str(), &status) != 0) {
    if (error) *error = errno;
    return state;
  }
  if (error) *error = 0;
  state.modificationSeconds = static_cast<std::uint32_t>(status.st_mtim.tv_sec);
  state.modificationNanoseconds = static_cast<std::uint32_t>(status.st_mtim.tv_nsec);
  return state;
}

// ---------------------------------------------------------------------------
// RunningFileDigest

// The digest so far, and a copy of it where the current part began.
struct RunningFileDigest::Contexts {
  EVP_MD_CTX* running = EVP_MD_CTX_new();
  EVP_MD_CTX* atPartStart = EVP_MD_CTX_new();
  ~Contexts() {
    EVP_MD_CTX_free(running);
    EVP_MD_CTX_free(atPartStart);
  }
};

RunningFileDigest::RunningFileDigest() : contexts_(std::make_unique<Contexts>()) {
  usable_ = contexts_->running && contexts_->atPartStart &&
            EVP_DigestInit_ex(contexts_->running, EVP_md5(), nullptr) == 1 &&
            EVP_MD_CTX_copy_ex(contexts_->atPartStart, contexts_->running) == 1;
}

RunningFileDigest::~RunningFileDigest() = default;

void RunningFileDigest::beginPart(std::uint64_t offset) {
  if (!usable_) return;
  if (offset == consumed_) {
    partStart_ = offset;
    usable_ = EVP_MD_CTX_copy_ex(contexts_->atPartStart, contexts_->running) == 1;
  } else if (offset == partStart_) {
    consumed_ = offset;
    usable_ = EVP_MD_CTX_copy_ex(contexts_->running, contexts_->atPartStart) == 1;
  } else {
    usable_ = false;
  }
}

void RunningFileDigest::add(const std::uint8_t* bytes, std::size_t length) {
  if (!usable_ || length == 0) return;
  usable_ = EVP_DigestUpdate(contexts_->running, bytes, length) == 1;
  consumed_ += length;
}

std::optional<std::array<std::uint8_t, 16>> RunningFileDigest::digestOfFirst(std::uint64_t size) const {
  if (!usable_ || consumed_ != size) return std::nullopt;
  EVP_MD_CTX* copy = EVP_MD_CTX_new();
  std::array<std::uint8_t, 16> digest{};
  unsigned int length = 0;
  bool done = copy && EVP_MD_CTX_copy_ex(copy, contexts_->running) == 1 &&
              EVP_DigestFinal_ex(copy, digest.data(), &length) == 1 && length == digest.size();
  EVP_MD_CTX_free(copy);
  if (!done) return std::nullopt;
  return digest;
}

// ---------------------------------------------------------------------------
// The base step

RemoteBackupHelperOperation::RemoteBackupHelperOperation(RemoteBackupOperation* mainOperation, Value source,
                                                         std::uint32_t index, Array arguments)
    : mainOperation_(mainOperation), source_(std::move(source)), index_(index), arguments_(std::move(arguments)) {}

RemoteBackupHelperOperation::~RemoteBackupHelperOperation() = default;

const Value& RemoteBackupHelperOperation::argument(std::size_t i) const {
  static const Value kNull;
  return i < arguments_.size() ? arguments_[i] : kNull;
}

std::string RemoteBackupHelperOperation::description() const {
  return Format("<%@ - %i>", std::string(className()), static_cast<int>(index_));
}

void RemoteBackupHelperOperation::main() {
  RemoteBackupOperation& command = *mainOperation_;
  command.helperOperationDidBegin(*this);
  int result = HelperResultNetworkFailure;
  std::shared_ptr<FileTransferController> client;
  if (const std::shared_ptr<const Url>& url = command.destURL()) {
    client = FileTransferController::fileTransferControllerWithURL(*url);
  }
  if (!client) {
    command.logErrorMessage("Failed setting up file transfer to destination URL \"%@\"",
                            command.displayDestinationURL());
  } else {
    command.configureTransferController(*client, true, this);
    try {
      result = runWithFileTransferController(*client);
    } catch (const std::exception& exception) {
      command.logErrorMessage("[Internal Error] An exception occured: %@", std::string(exception.what()));
      result = HelperResultAbort;
    } catch (...) {
      command.logErrorMessage("[Internal Error] An exception occured: %@", std::string("unknown exception"));
      result = HelperResultAbort;
    }
    if (result == HelperResultNetworkFailure && client->lastFailureIsPermanent()) {
      // A full disk or a denied permission stays so: stop the command instead
      // of asking whether to retry.
      command.logErrorMessage("Failed with an error that retrying cannot fix");
      result = HelperResultAbort;
    }
    client->setDelegate(nullptr);
    client.reset();
  }
  command.helperOperationDidEnd(*this, result);
}

int RemoteBackupHelperOperation::runWithFileTransferController(FileTransferController& controller) {
  throw InternalInconsistency(
      Format("%s does not recognize runWithFileTransferController", std::string(className())));
}

void RemoteBackupHelperOperation::beginStepPhase(const char* phase, std::uint32_t identifier) {
  mainOperation_->willBeginPhaseWithType(phase, identifier);
  std::lock_guard<std::mutex> guard(phaseMutex_);
  currentPhase_ = phase;
  currentIndex_ = identifier;
}

void RemoteBackupHelperOperation::endStepPhase() {
  std::optional<std::string> phase;
  std::uint32_t identifier = 0;
  {
    std::lock_guard<std::mutex> guard(phaseMutex_);
    phase = std::move(currentPhase_);
    currentPhase_.reset();
    identifier = currentIndex_;
  }
  if (phase) mainOperation_->didEndPhaseWithType(*phase, identifier);
}

void RemoteBackupHelperOperation::fileTransferControllerDidUpdateProgress(FileTransferController& controller) {
  std::optional<std::string> phase;
  std::uint32_t identifier = 0;
  {
    std::lock_guard<std::mutex> guard(phaseMutex_);
    phase = currentPhase_;
    identifier = currentIndex_;
  }
  std::uint64_t size = controller.transferSize();
  float progress = controller.transferProgress();
  if (!phase || size == 0 || std::isnan(progress)) return;
  mainOperation_->didUpdatePhaseWithType(*phase, identifier,
                                         ClampToUInt32(static_cast<double>(progress) * static_cast<double>(size)),
                                         ClampToUInt32(static_cast<double>(size)));
}

bool RemoteBackupHelperOperation::fileTransferControllerShouldAbort(FileTransferController& controller) {
  std::lock_guard<std::mutex> guard(phaseMutex_);
  return currentPhase_.has_value() && isCancelled();
}

void RemoteBackupHelperOperation::fileTransferControllerDidFail(FileTransferController& controller,
                                                                const Error& error) {
  mainOperation_->logErrorMessage("[%@] %@", controller.className(), StringFromNetworkError(error));
}

void RemoteBackupHelperOperation::skipFile(const DirectoryItem& item) { mainOperation_->skipItemAtPath(item.path()); }

std::string RemoteBackupHelperOperation::sourcePathOfItem(const DirectoryItem& item) const {
  std::string path = mainOperation_->sourceDir();
  if (item.path().empty()) return path;
  if (path.empty() || path.back() != '/') path += '/';
  return path + item.path();
}

// ---------------------------------------------------------------------------
// Utilities

bool RemoteBackupHelperOperation::saveInfoForFileTransferController(FileTransferController& controller,
                                                                    const std::string& name) {
  std::uint64_t size = controller.lastTransferSize();
  if (size == 0) {
    mainOperation_->logErrorMessage("Failed retrieving upload data size for \"%@\"",
                                    mainOperation_->absoluteURLText(name, &controller));
    return false;
  }
  std::optional<Data> digest = controller.lastTransferDigestData();
  if (!digest) {
    mainOperation_->logErrorMessage("Failed computing upload data digest for \"%@\"",
                                    mainOperation_->absoluteURLText(name, &controller));
    return false;
  }
  mainOperation_->setUploadInformation(name, UploadInformation{size, std::move(*digest)});
  return true;
}

bool RemoteBackupHelperOperation::computeDigestForFile(const std::string& path, std::uint64_t dataSize,
                                                       bool isSymLink, std::uint32_t fileIndex,
                                                       std::uint8_t outBytes[16]) {
  RemoteBackupOperation& command = *mainOperation_;
  const bool reportsProgress = !isSymLink && fileIndex != 0;
  const std::uint32_t maxValue = ClampToUInt32(static_cast<double>(dataSize));
  if (reportsProgress) {
    command.willBeginPhaseWithType(kPhaseComputeFileDigest, fileIndex);
    command.didUpdatePhaseWithType(kPhaseComputeFileDigest, fileIndex, 0, maxValue);
  }
  int error = 0;
  bool success = ComputeFileDigest(path, isSymLink, outBytes, &error, [&](std::uint64_t bytesSoFar) {
    if (isCancelled()) return false;
    if (reportsProgress) {
      command.didUpdatePhaseWithType(kPhaseComputeFileDigest, fileIndex,
                                     ClampToUInt32(static_cast<double>(bytesSoFar)), maxValue);
    }
    return true;
  });
  if (reportsProgress) command.didEndPhaseWithType(kPhaseComputeFileDigest, fileIndex);
  if (!success) {
    if (error != 0) {
      command.logErrorMessage("Failed computing digest for backed up file \"%@\" (%s)", path,
                              ErrnoText(error));
    } else {
      command.logErrorMessage("Failed computing digest for backed up file \"%@\"", path);
    }
  }
  return success;
}

bool RemoteBackupHelperOperation::verifyRestoredFile(const DirectoryItem& item, const std::string& path,
                                                     std::uint32_t fileIndex) {
  RemoteBackupOperation& command = *mainOperation_;
  // The type is checked even when verification is turned off: an item of
  // another type (a link where a file belongs, a named pipe that would block
  // every read) is never taken for the recorded one.
  struct stat status;
  if (lstat(path.c_str(), &status) != 0) {
    command.logErrorMessage("Failed retrieving information for restored file \"%@\"", path);
    return false;
  }
  const mode_t recordedType = RestorableFileType(item.mode());
  if ((status.st_mode & S_IFMT) != recordedType) {
    command.logErrorMessage("Unexpected file type for restored file \"%@\" (a %s where the backup has a %s)", path,
                            FileTypeName(status.st_mode), FileTypeName(recordedType));
    return false;
  }
  if (command.arguments().get(kSkipVerificationArgument).asBool()) return true;

  DirectoryItemPtr restored = DirectoryScanner::directoryItemAtPath(path, true);
  if (!restored) {
    command.logErrorMessage("Failed retrieving information for restored file \"%@\"", path);
    return false;
  }
  if (restored->dataSize() != item.dataSize()) {
    command.logErrorMessage("Unexpected data size for restored file \"%@\"", path);
    return false;
  }
  if (restored->resourceSize() != item.resourceSize()) {
    command.logErrorMessage("Unexpected resource fork size for restored file \"%@\"", path);
    return false;
  }
  if (fileIndex == 0) {
    const auto& restoredACL = restored->ACLText();
    const auto& recordedACL = item.ACLText();
    // A recorded Mac OS X ACL matches the POSIX entries restoring it gave.
    const auto asText = [](const auto& text) { return text ? std::optional<std::string>(*text) : std::nullopt; };
    if (!ACLTextsMatch(asText(recordedACL), asText(restoredACL))) {
      command.logErrorMessage("Unexpected ACLs for restored file \"%@\"", path);
      return false;
    }
    const auto& restoredAttributes = restored->extendedAttributes();
    const auto& recordedAttributes = item.extendedAttributes();
    if (!SameExtendedAttributes(restoredAttributes.get(), recordedAttributes.get())) {
      command.logErrorMessage("Unexpected extended attributes for restored file \"%@\"", path);
      return false;
    }
  }
  if (!command.remoteController().computeFileDigests()) return true;

  std::optional<StorageRecord> record = StorageRecordOfItem(item);
  if (!record) {
    command.logErrorMessage("[Internal Error] Invalid backup data entry \"%@\"", item.description());
    return false;
  }
  std::uint8_t digest[16];
  if (!computeDigestForFile(path, restored->dataSize(), restored->isSymbolicLink(), fileIndex, digest)) return false;
  if (std::memcmp(digest, record->digest.data(), sizeof digest) != 0) {
    command.logErrorMessage("Unexpected digest for restored file \"%@\"", path);
    return false;
  }
  return true;
}

}  // namespace quorvel
