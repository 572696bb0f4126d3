#include "engine/RemoteBackupOperation.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <utility>

#include "FileTransferController/FTPTransferController.h"
#include "engine/NetworkError.h"
#include "engine/PhaseProgress.h"
#include "engine/RemoteBackupHelperOperation.h"
#include "engine/RestoreTargetPaths.h"
#include "foundation/ExtendedACLText.h"
#include "foundation/ExtendedAttributeNames.h"
#include "foundation/InternalInconsistency.h"
#include "snapshot/platform/FileMetadata.h"
#include "foundation/Posix.h"
#include "foundation/Format.h"

namespace quorvel {

namespace {

std::shared_ptr<BackupCommandOperation> CreateRemoteBackupOperation(
    const std::shared_ptr<BackupController>& controller, int command, const Dictionary& arguments) {
  return std::make_shared<RemoteBackupOperation>(controller, command, arguments);
}

const BackupOperationClass kRemoteBackupOperationClass = {"RemoteBackupOperation", &BackupCommandOperation::Class(),
                                                          &CreateRemoteBackupOperation};

// Seconds since 2001 (snapshot item dates) to the Unix epoch.
constexpr double kSecondsFrom1970To2001 = 978307200.0;

std::uint32_t ClampToUInt32(double value) {
  if (!(value > 0)) return 0;
  if (value >= 4294967295.0) return 4294967295u;
  return static_cast<std::uint32_t>(value);
}

std::uint32_t SpeedInBytes(std::uint32_t kibPerSecond) {
  std::uint64_t bytes = std::uint64_t{kibPerSecond} * 1024;
  return bytes > std::numeric_limits<std::uint32_t>::max() ? std::numeric_limits<std::uint32_t>::max()
                                                           : static_cast<std::uint32_t>(bytes);
}

}  // namespace

const BackupOperationClass& RemoteBackupOperation::Class() { return kRemoteBackupOperationClass; }

RemoteBackupOperation::RemoteBackupOperation(std::shared_ptr<BackupController> controller, int command,
                                             const Dictionary& arguments)
    : BackupCommandOperation(std::move(controller), command, arguments) {}

RemoteBackupOperation::~RemoteBackupOperation() {
  if (destinationScanner_ && destinationScanner_->delegate() == this) destinationScanner_->setDelegate(nullptr);
  if (transferController_ && transferController_->delegate() == this) transferController_->setDelegate(nullptr);
}

void RemoteBackupOperation::closeDestination() {
  std::shared_ptr<FileTransferController> client = std::move(transferController_);
  if (client && client->delegate() == this) client->setDelegate(nullptr);
}

bool RemoteBackupOperation::requiresSourceForCommand(int command) const {
  switch (command) {
    case BackupCommandCheckDestination:
    case BackupCommandVerifyBackup:
    case BackupCommandRestoreBackup:
    case BackupCommandDeleteBackup:
      return false;
    default:
      return true;
  }
}

std::optional<Dictionary> RemoteBackupOperation::performCommand(int command, const Dictionary& arguments,
                                                                const std::string& sourceDirectory,
                                                                const std::shared_ptr<const Url>& destinationURL) {
  if (command < BackupCommandCheckDestination || command > BackupCommandDeleteBackup) {
    throw InternalInconsistency("Unsupported command");
  }
  if (!openDestination(sourceDirectory, destinationURL)) return std::nullopt;

  auto emptyOnSuccess = [](bool success) -> std::optional<Dictionary> {
    if (!success) return std::nullopt;
    return Dictionary();
  };
  switch (command) {
    case BackupCommandCheckDestination:
      return checkDestination();
    case BackupCommandPruneDestination:
      return emptyOnSuccess(pruneDestination());
    case BackupCommandTestBackup:
      return emptyOnSuccess(testBackup());
    case BackupCommandPerformBackup:
      return performBackup();
    case BackupCommandVerifyBackup:
      return emptyOnSuccess(verifyBackup());
    case BackupCommandRestoreBackup: {
      std::optional<std::vector<std::string>> restorePaths;
      const Value& paths = arguments.get(kRestorePathsArgument);
      if (paths.isArray()) {
        restorePaths.emplace();
        for (const Value& path : paths.asArray()) {
          if (path.isString()) restorePaths->push_back(path.asString());
        }
      }
      const Value& destination = arguments.get(kDestinationPathArgument);
      return emptyOnSuccess(restoreBackup(restorePaths, destination.isString() ? destination.asString() : "",
                                          arguments.get(kEraseDestinationArgument).asBool()));
    }
    case BackupCommandDeleteBackup:
      return emptyOnSuccess(deleteBackup());
    default:
      throw InternalInconsistency("Unsupported command");
  }
}

// ---------------------------------------------------------------------------
// Settings and names

RemoteBackupController& RemoteBackupOperation::remoteController() const {
  return dynamic_cast<RemoteBackupController&>(*controller());
}

bool RemoteBackupOperation::isEncrypted() const { return remoteController().encryptionPassword().has_value(); }

std::string RemoteBackupOperation::displayDestinationURL() const {
  std::shared_ptr<const Url> url = destURL_ ? destURL_ : controller()->destinationURL();
  if (!url) return std::string();
  if (url->hasUser() || url->hasPassword()) {
    if (std::optional<Url> plain = url->URLByDeletingUserAndPassword()) return plain->absoluteString();
  }
  return url->absoluteString();
}

std::string RemoteBackupOperation::absoluteURLText(const std::string& name, FileTransferController* client) const {
  FileTransferController* chosen = client ? client : transferController_.get();
  if (chosen) {
    if (std::optional<Url> url = chosen->absoluteURLForRemotePath(name)) return url->absoluteString();
  }
  return name;
}

void RemoteBackupOperation::configureTransferController(FileTransferController& client, bool computeDigests,
                                                        FileTransferControllerDelegate* delegate) const {
  // FTP servers keep one control connection per client for the whole
  // command. The certificate check (HTTP family) belongs here when those
  // destinations are offered.
  RemoteBackupController& settings = remoteController();
  if (auto* ftp = dynamic_cast<FTPTransferController*>(&client)) ftp->setKeepConnectionAlive(true);
  client.setTimeOut(kDestinationTransferTimeOut);
  client.setMaximumDownloadSpeed(SpeedInBytes(settings.maximumDownloadSpeed()));
  client.setMaximumUploadSpeed(SpeedInBytes(settings.maximumUploadSpeed()));
  client.setEncryptionPassword(settings.encryptionPassword());
  client.setDigestComputation(computeDigests);
  client.setDelegate(delegate);
}

std::shared_ptr<FileTransferController> RemoteBackupOperation::makeTransferController(const Url& url) {
  std::shared_ptr<FileTransferController> client = FileTransferController::fileTransferControllerWithURL(url);
  if (client) configureTransferController(*client, false, this);
  return client;
}

// ---------------------------------------------------------------------------
// Opening the destination

bool RemoteBackupOperation::openDestination(const std::string& sourceDirectory,
                                            const std::shared_ptr<const Url>& destinationURL) {
  sourceDir_ = sourceDirectory;
  destURL_ = destinationURL;

  std::shared_ptr<FileTransferController> client = destinationURL ? makeTransferController(*destinationURL) : nullptr;
  willBeginPhaseWithType(kPhaseCheckDestination, 0);
  std::optional<Dictionary> listing;
  // A first backup into a folder that is not there yet is not a failure.
  quietWhenDestinationIsMissing_ = command() == BackupCommandPerformBackup;
  if (client) listing = client->contentsOfDirectoryAtPath("");
  quietWhenDestinationIsMissing_ = false;
  // A backup makes its destination folder when the place above it exists
  // (a share's root, say), as the command line does for a local one.
  if (!listing && client && command() == BackupCommandPerformBackup && client->lastFailure() &&
      client->isMissingItemError(*client->lastFailure()) && client->createDirectoryAtPath("")) {
    listing = client->contentsOfDirectoryAtPath("");
  }
  didEndPhaseWithType(kPhaseCheckDestination, 0);
  if (!listing) {
    logErrorMessage("Destination URL \"%@\" is not reachable", displayDestinationURL());
    return false;
  }
  if (isCancelled()) return false;
  transferController_ = client;
  destinationContents_ = *listing;

  std::vector<std::string> names = listing->keys();
  SortPaths(names);
  bool triedRevision = false;
  bool loaded = false;
  for (auto name = names.rbegin(); name != names.rend(); ++name) {
    if (!StartsWith(*name, kRevisionNamePrefix)) continue;
    if (name->find(kRevisionDataMarker) == std::string::npos &&
        name->find(kRevisionPropertyListMarker) == std::string::npos) {
      continue;
    }
    triedRevision = true;
    int outcome = loadRevision(*name, listing->get(*name).isDictionary() ? listing->get(*name).asDictionary()
                                                                           : Dictionary());
    if (outcome < 0) return false;
    if (outcome > 0) {
      loaded = true;
      break;
    }
  }
  if (triedRevision && !loaded) return false;
  return !isCancelled();
}

int RemoteBackupOperation::loadRevision(const std::string& name, const Dictionary& attributes) {
  if (isCancelled()) return -1;
  std::uint64_t listedSize = attributes.get(kFileSize).asUInt();
  if (listedSize > kLargestRevisionFileSize) {
    logErrorMessage("Backup data at \"%@\" is listed at %@ bytes, more than the %@ bytes a revision may have",
                    absoluteURLText(name), std::to_string(listedSize), std::to_string(kLargestRevisionFileSize));
    return 0;
  }
  DirectoryScannerPtr scanner;
  if (name.find(kRevisionDataMarker) != std::string::npos) {
    std::optional<Data> data;
    while (true) {
      data = downloadRevisionData(name, attributes);
      if (data) break;
      // Data that does not decrypt will not decrypt on a second try either:
      // the password is wrong or the file is damaged, so no retry question.
      if (transferController_->lastTransferFailedDecryption()) {
        logErrorMessage("Failed decrypting backup data from \"%@\" (wrong password or damaged file)",
                        absoluteURLText(name));
        return isCancelled() ? -1 : 0;
      }
      logErrorMessage("Failed downloading backup data from \"%@\"", absoluteURLText(name));
      if (isCancelled()) return -1;
      if (!shouldRetryAfterFailureOf(*transferController_)) return 0;
    }
    scanner = DirectoryScanner::initWithSerializedData(*data);
  } else {
    TemporaryFile temporary;
    const std::string& temporaryPath = temporary.path();
    bool downloaded = false;
    while (true) {
      downloaded = inTransferPhase(kPhaseDownloadBackupInfo,
                                   [&] { return transferController_->downloadFileFromPath(name, temporaryPath); });
      if (downloaded) break;
      if (transferController_->lastTransferFailedDecryption()) {
        logErrorMessage("Failed decrypting backup data from \"%@\" (wrong password or damaged file)",
                        absoluteURLText(name));
        return isCancelled() ? -1 : 0;
      }
      logErrorMessage("Failed downloading backup data from \"%@\"", absoluteURLText(name));
      if (isCancelled() || !shouldRetryAfterFailureOf(*transferController_)) return isCancelled() ? -1 : 0;
    }
    scanner = DirectoryScanner::initWithFile(temporaryPath);
  }
  if (!scanner) {
    logErrorMessage("Failed loading backup data from \"%@\"", absoluteURLText(name));
    return 0;
  }
  scanner->setUserInfo(Value(name), kRevisionFileNameKey);
  scanner->setReportExcludedHiddenItems(arguments().get(kReportHiddenItemsArgument).asBool());
  scanner->setDelegate(this);
  destinationScanner_ = std::move(scanner);
  return 1;
}

std::optional<Data> RemoteBackupOperation::downloadRevisionData(const std::string& name,
                                                                const Dictionary& attributes) {
  std::uint64_t listedSize = attributes.get(kFileSize).asUInt();
  return inTransferPhase(kPhaseDownloadBackupInfo, [&]() -> std::optional<Data> {
    if (listedSize != 0) {
      // loadRevision has refused sizes above kLargestRevisionFileSize.
      // The listed size is what is stored: for an encrypted file more than
      // the plain content, which the decoder ignores after its block.
      Data buffer(listedSize, 0);
      long received = transferController_->downloadFileFromPathToBuffer(name, buffer.data(), buffer.size());
      if (received < 0) return std::nullopt;
      return buffer;
    }
    // A destination that lists no size: no more than any revision may have.
    return transferController_->downloadFileFromPathToData(name, kLargestRevisionFileSize);
  });
}

void RemoteBackupOperation::setCurrentPhase(std::optional<std::string> phase) {
  std::lock_guard<std::mutex> guard(currentPhaseMutex_);
  currentPhase_ = std::move(phase);
}

// ---------------------------------------------------------------------------
// Expected destination files

std::optional<Dictionary> RemoteBackupOperation::retrieveBackupFiles() {
  if (!destinationScanner_) {
    logErrorMessage("No backup data available at \"%@\"", displayDestinationURL());
    return std::nullopt;
  }
  bool encrypted = isEncrypted();
  Dictionary backupFiles;
  {
    lock();
    const Value& files = destinationScanner_->userInfoForKey(kBackupFilesKey);
    if (files.isDictionary()) backupFiles = files.asDictionary();
    unlock();
  }

  Dictionary expected;
  auto expect = [&](const std::string& name, const char* missingFormat) {
    if (const Value* information = backupFiles.find(name)) {
      expected.set(name, *information);
    } else {
      if (std::strcmp(missingFormat, "metadata") == 0) {
        logErrorMessage("Missing upload information for file metadata \"%@\"", name);
      } else if (std::strcmp(missingFormat, "part") == 0) {
        logErrorMessage("Missing upload information for file part \"%@\"", name);
      } else {
        logErrorMessage("Missing upload information for archive \"%@\"", name);
      }
      expected.set(name, Value());
    }
  };

  std::set<std::uint32_t> archives;
  for (const DirectoryItemPtr& item : *destinationScanner_) {
    if (item->isDirectory()) continue;
    std::optional<StorageRecord> record = ValidStorageRecordOfItem(*item);
    if (!record) {
      logErrorMessage("[Internal Error] Invalid backup data entry \"%@\"", item->description());
      continue;
    }
    if (record->isStoredByItself()) {
      std::string base = FileBaseName(record->storageIndex, item->path());
      if (record->hasMetadata()) expect(FileMetadataName(base, encrypted), "metadata");
      // The first part the revision does not list stands for itself and
      // every later one: one message, not one per claimed part.
      const int listed = ListedPartCount(*record, base, encrypted, backupFiles);
      for (int part = 1; part <= std::min<int>(listed + 1, record->partCount); ++part)
        expect(FilePartName(base, part, encrypted), "part");
    } else {
      std::uint32_t key = record->storageIndex | (record->isCompressedArchive() ? 0x80000000u : 0u);
      if (!archives.insert(key).second) continue;
      expect(ArchiveName(record->storageIndex, record->isCompressedArchive(), encrypted), "archive");
    }
  }
  return expected;
}

// ---------------------------------------------------------------------------
// Remote deletion

bool RemoteBackupOperation::deleteRemoteFile(const std::string& name, FileTransferController& client) {
  if (client.deleteFileAtPath(name)) return true;
  logErrorMessage("Failed deleting remote file at \"%@\"", absoluteURLText(name, &client));
  return false;
}

bool RemoteBackupOperation::deleteRemoteDirectory(const std::string& name, FileTransferController& client) {
  bool success = false;
  if (std::optional<Dictionary> listing = client.contentsOfDirectoryAtPath(name)) {
    success = true;
    for (const auto& [entry, attributes] : *listing) {
      if (isCancelled()) {
        success = false;
        break;
      }
      std::string path = name.empty() ? entry : name + "/" + entry;
      bool isDirectory = attributes.isDictionary() && attributes.asDictionary().get(kFileType).isString() &&
                         attributes.asDictionary().get(kFileType).asString() == kFileTypeDirectory;
      if (!(isDirectory ? deleteRemoteDirectory(path, client) : deleteRemoteFile(path, client))) {
        success = false;
        break;
      }
    }
    if (success) {
      if (client.supportsOperation(TransferOperation::DeleteDirectory)) {
        success = client.deleteDirectoryAtPath(name);
      } else if (client.supportsOperation(TransferOperation::DeleteDirectoryRecursively)) {
        success = client.deleteDirectoryRecursivelyAtPath(name);
      } else {
        success = false;
      }
    }
  }
  if (!success) logErrorMessage("Failed deleting remote directory at \"%@\"", absoluteURLText(name, &client));
  return success;
}

// ---------------------------------------------------------------------------
// Restored items

void RemoteBackupOperation::setPathProperties(const std::string& path, const DirectoryItem& item) {
  const char* cpath = path.c_str();
  // The item itself, as it is on disk: a handle that does not follow a link
  // in the item's place. An item whose type differs from the recorded one
  // (a link where a file belongs, say) gets nothing: a mode meant for a file
  // must never reach what a link points at.
  UniqueFd itself(open(cpath, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat status;
  if (!itself.valid() || fstat(itself.get(), &status) != 0) {
    logErrorMessage("Failed setting attributes for path \"%@\" (%s)", path, ErrnoText(errno));
    return;
  }
  const mode_t recordedType = RestorableFileType(item.mode());
  if ((status.st_mode & S_IFMT) != recordedType) {
    logErrorMessage("Not setting attributes for path \"%@\": it is a %s where the backup has a %s", path,
                    FileTypeName(status.st_mode), FileTypeName(recordedType));
    return;
  }

  if (item.isDirectory()) {
    if (const auto& attributes = item.extendedAttributes()) {
      for (const auto& [name, value] : *attributes) {
        // Recorded names without a namespace ("com.apple.FinderInfo") are user attributes here.
        if (lsetxattr(cpath, LinuxAttributeName(name).c_str(), value.data(), value.size(), 0) != 0) {
          logErrorMessage("Failed setting extended attribute '%@' for path \"%@\" (%s)", name, path,
                          ErrnoText(errno));
        }
      }
    }
    if (const auto& acl = item.ACLText()) {
      // A Mac OS X ACL is set as the POSIX ACL its user and group entries
      // map to. Refuses a link itself and writes through a descriptor opened
      // without following one.
      int error = 0;
      if (!IsExtendedACLText(*acl)) {
        error = platform::WriteACLText(cpath, *acl);
      } else if (std::optional<ExtendedACLMapping> mapping = MapExtendedACLText(*acl)) {
        error = platform::WriteACLText(cpath, PosixACLTextForEntries(mapping->entries, item.permissions()));
      }
      if (error != 0) {
        logErrorMessage("Failed setting ACL for path \"%@\" (%s)", path, ErrnoText(error));
      }
    }
  }
  // Files received theirs with their metadata; either way, what a Mac OS X
  // ACL holds beyond POSIX is reported here, once per item.
  if (const auto& acl = item.ACLText(); acl && IsExtendedACLText(*acl)) {
    std::optional<ExtendedACLMapping> mapping = MapExtendedACLText(*acl);
    std::string left;
    for (const std::string& part : mapping ? mapping->unmapped : std::vector<std::string>{"the whole ACL"}) {
      left += (left.empty() ? "" : "; ") + part;
    }
    if (!left.empty()) logErrorMessage("ACL of \"%@\" only partly restored: %@", path, left);
  }

  // The owner stays whoever restores; the group is set when the process may.
  if (lchown(cpath, static_cast<uid_t>(-1), item.groupID()) != 0) {
    logErrorMessage("Failed setting attributes for path \"%@\" (%s)", path, ErrnoText(errno));
  }
  // Links have no permissions of their own on Linux. A C library without
  // the no-follow flag for fchmodat answers EOPNOTSUPP; the opened item is
  // then changed through its descriptor's name.
  if (!item.isSymbolicLink()) {
    int result = fchmodat(AT_FDCWD, cpath, item.permissions(), AT_SYMLINK_NOFOLLOW);
    if (result != 0 && (errno == EOPNOTSUPP || errno == ENOTSUP)) {
      // The descriptor's name in /proc reaches exactly the opened item.
      const std::string handlePath = "/proc/self/fd/" + std::to_string(itself.get());
      result = chmod(handlePath.c_str(), item.permissions());
    }
    if (result != 0) logErrorMessage("Failed setting attributes for path \"%@\" (%s)", path, ErrnoText(errno));
  }

  // Modification time; the access time is left alone. The creation (birth)
  // time cannot be set on Linux, so the recorded one is not applied.
  double seconds = item.modificationDate() + kSecondsFrom1970To2001;
  double whole = std::floor(seconds);
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(ClampToUInt32(whole));
  times[1].tv_nsec = whole < 0 ? 0 : static_cast<long>((seconds - whole) * 1e9);
  if (times[1].tv_nsec > 999999999) times[1].tv_nsec = 999999999;
  if (utimensat(AT_FDCWD, cpath, times, AT_SYMLINK_NOFOLLOW) != 0) {
    logErrorMessage("Failed setting attributes for path \"%@\" (%s)", path, ErrnoText(errno));
  }

  // Inode flags last, since some of them (immutable, append-only) would
  // refuse the changes above. File systems without flags are passed over.
  if (item.userFlags() != 0 && !item.isSymbolicLink()) {
    int fd = open(cpath, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    int error = 0;
    if (fd < 0) {
      error = errno;
    } else {
      int flags = 0;
      if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
        error = errno;
      } else {
        flags = (flags & ~0xFFFF) | item.userFlags();
        if (ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0) error = errno;
      }
      close(fd);
    }
    if (error != 0 && error != ENOTTY && error != EOPNOTSUPP && error != EINVAL) {
      logErrorMessage("Failed setting attributes for path \"%@\" (%s)", path, ErrnoText(error));
    }
  }
}

// ---------------------------------------------------------------------------
// Helper steps

void RemoteBackupOperation::addPendingOperation(HelperOperationPtr operation) {
  lock();
  pendingOperations_.push_back(std::move(operation));
  unlock();
}

void RemoteBackupOperation::insertPendingOperationAtFront(HelperOperationPtr operation) {
  lock();
  pendingOperations_.push_front(std::move(operation));
  unlock();
}

std::size_t RemoteBackupOperation::pendingOperationCount() const {
  lock();
  std::size_t count = pendingOperations_.size();
  unlock();
  return count;
}

std::uint32_t RemoteBackupOperation::phaseIndex() const {
  lock();
  std::uint32_t value = phaseIndex_;
  unlock();
  return value;
}

std::uint32_t RemoteBackupOperation::phaseMax() const {
  lock();
  std::uint32_t value = phaseMax_;
  unlock();
  return value;
}

void RemoteBackupOperation::setPhaseMax(std::uint32_t value) {
  lock();
  phaseMax_ = value;
  unlock();
}

std::uint32_t RemoteBackupOperation::addToPhaseMax(std::uint32_t amount) {
  lock();
  phaseMax_ += amount;
  std::uint32_t value = phaseMax_;
  unlock();
  return value;
}

bool RemoteBackupOperation::hasAborted() const {
  std::lock_guard<std::mutex> guard(abortedMutex_);
  return hasAborted_;
}

void RemoteBackupOperation::helperOperationDidBegin(RemoteBackupHelperOperation& operation) {
  willBeginHelperOperation(operation);
}

void RemoteBackupOperation::helperOperationDidEnd(RemoteBackupHelperOperation& operation, int result) {
  didEndHelperOperation(operation);
  if (result < HelperResultAbort || result > HelperResultContinue) {
    throw InternalInconsistency("Unexpected RemoteBackupOperation result");
  }
  bool schedulesSuccessor = true;
  switch (result) {
    case HelperResultAbort: {
      std::lock_guard<std::mutex> guard(abortedMutex_);
      hasAborted_ = true;
      schedulesSuccessor = false;
      break;
    }
    case HelperResultNetworkFailure: {
      // Asked under abortedMutex: steps failing together ask one after
      // another, and after a "no" the others do not ask again.
      std::lock_guard<std::mutex> guard(abortedMutex_);
      if (hasAborted_ || isCancelled() || !shouldRetryAfterNetworkError()) {
        hasAborted_ = true;
        schedulesSuccessor = false;
      } else {
        insertPendingOperationAtFront(operation.freshCopy());
      }
      break;
    }
    case HelperResultDone:
    case HelperResultContinue: {
      lock();
      ++phaseIndex_;
      didUpdatePhaseWithType(kPhaseMain, 0, phaseIndex_, phaseMax_);
      if (result == HelperResultContinue && operation.nextOperation()) {
        pendingOperations_.push_front(operation.nextOperation());
      }
      unlock();
      break;
    }
    case HelperResultRestartFile: {
      HelperOperationPtr restart;
      Array firstArgument{operation.argument(0)};
      if (dynamic_cast<RemoteBackupUploadPartOperation*>(&operation)) {
        restart = std::make_shared<RemoteBackupUploadFileOperation>(this, operation.source(), operation.index(),
                                                                    firstArgument);
      } else if (dynamic_cast<RemoteBackupDownloadPartOperation*>(&operation)) {
        restart = std::make_shared<RemoteBackupDownloadFileOperation>(this, operation.source(), operation.index(),
                                                                      firstArgument);
      } else {
        throw InternalInconsistency("Unexpected RemoteBackupOperation result");
      }
      addPendingOperation(std::move(restart));
      break;
    }
    case HelperResultRetry:
      addPendingOperation(operation.freshCopy());
      break;
  }
  if (!schedulesSuccessor || isCancelled()) return;
  lock();
  if (!pendingOperations_.empty()) {
    HelperOperationPtr next = std::move(pendingOperations_.front());
    pendingOperations_.pop_front();
    scheduleOperation(std::move(next));
  }
  unlock();
}

bool RemoteBackupOperation::runOperations() {
  std::uint32_t bound = remoteController().maximumSimultaneousSegments();
  if (bound == 0) bound = 1;
  if (isCancelled()) return false;
  if (pendingOperationCount() == 0) return true;

  didUpdatePhaseWithType(kPhaseMain, 0, 0, phaseMax());
  lock();
  for (std::uint32_t started = 0; started < bound && !pendingOperations_.empty(); ++started) {
    HelperOperationPtr next = std::move(pendingOperations_.front());
    pendingOperations_.pop_front();
    scheduleOperation(std::move(next));
  }
  unlock();
  waitUntilAllOperationsAreDone();
  didUpdatePhaseWithType(kPhaseMain, 0, 0, 0);
  return !hasAborted() && pendingOperationCount() == 0;
}

void RemoteBackupOperation::skipItemAtPath(const std::string& subpath) {
  lock();
  if (destinationScanner_) destinationScanner_->removeDirectoryItemAtSubpath(subpath);
  addSkippedPath(subpath);
  unlock();
}

void RemoteBackupOperation::setUploadInformation(const std::string& name, const UploadInformation& information) {
  lock();
  if (destinationScanner_) {
    // The snapshot hands out its user info by value: take the dictionary,
    // add the entry, put it back.
    Value files = destinationScanner_->userInfoForKey(kBackupFilesKey);
    if (!files.isDictionary()) files = Value(Dictionary());
    files.mutableDictionary().set(name, information.toValue());
    destinationScanner_->setUserInfo(std::move(files), kBackupFilesKey);
  }
  unlock();
}

// ---------------------------------------------------------------------------
// The command's own client

void RemoteBackupOperation::fileTransferControllerDidUpdateProgress(FileTransferController& controller) {
  std::optional<std::string> phase;
  {
    std::lock_guard<std::mutex> guard(currentPhaseMutex_);
    phase = currentPhase_;
  }
  std::uint64_t size = controller.transferSize();
  float progress = controller.transferProgress();
  if (!phase || size == 0 || std::isnan(progress)) return;
  didUpdatePhaseWithType(*phase, 0, ClampToUInt32(static_cast<double>(progress) * static_cast<double>(size)),
                         ClampToUInt32(static_cast<double>(size)));
}

bool RemoteBackupOperation::fileTransferControllerShouldAbort(FileTransferController& controller) {
  std::lock_guard<std::mutex> guard(currentPhaseMutex_);
  return currentPhase_.has_value() && isCancelled();
}

bool RemoteBackupOperation::shouldRetryAfterFailureOf(FileTransferController& client) {
  const bool permanent = client.lastFailureIsPermanent();
  client.clearLastFailure();
  if (!permanent) return shouldRetryAfterNetworkError();
  logErrorMessage("Failed with an error that retrying cannot fix");
  return false;
}

void RemoteBackupOperation::fileTransferControllerDidFail(FileTransferController& controller, const Error& error) {
  if (quietWhenDestinationIsMissing_ && controller.isMissingItemError(error)) return;
  logErrorMessage("[%@] %@", controller.className(), StringFromNetworkError(error));
}

}  // namespace quorvel
