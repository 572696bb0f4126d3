// The destination commands that inspect or clean a destination:
// checkDestination (2), pruneDestination (3), testBackup (4), verifyBackup
// (6) and deleteBackup (8). They run on the command's thread with the
// operation's own client; only verifyBackup runs helper steps.
#include <set>
#include <string>

#include "engine/RemoteBackupHelperOperation.h"
#include "engine/RemoteBackupOperation.h"

namespace quorvel {

namespace {

bool IsDirectoryEntry(const Value& attributes) {
  if (!attributes.isDictionary()) return false;
  const Value& type = attributes.asDictionary().get(kFileType);
  return type.isString() && type.asString() == kFileTypeDirectory;
}

std::uint32_t Count(std::size_t count) {
  return count > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(count);
}

}  // namespace

std::optional<Dictionary> RemoteBackupOperation::checkDestination() {
  Dictionary results;
  if (destinationScanner_) results.set("directoryScanner", Value(destinationScanner_));
  results.set("contents", destinationContents_);
  if (!destinationScanner_) return results;

  std::uint64_t sourceFiles = 0;
  std::uint64_t sourceDirectories = 0;
  std::uint64_t sourceSize = 0;
  for (const DirectoryItemPtr& item : *destinationScanner_) {
    if (item->isDirectory()) {
      ++sourceDirectories;
    } else {
      ++sourceFiles;
      sourceSize += item->totalSize();
    }
  }
  std::uint64_t destinationFiles = 0;
  std::uint64_t destinationSize = 0;
  const Value& files = destinationScanner_->userInfoForKey(kBackupFilesKey);
  if (files.isDictionary()) {
    for (const auto& [name, information] : files.asDictionary()) {
      ++destinationFiles;
      if (std::optional<UploadInformation> stored = UploadInformation::fromValue(information)) {
        destinationSize += stored->size;
      }
    }
  }
  results.set("sourceFiles", sourceFiles);
  results.set("sourceDirectories", sourceDirectories);
  results.set("sourceSize", sourceSize);
  results.set("destinationFiles", destinationFiles);
  results.set("destinationSize", destinationSize);
  return results;
}

bool RemoteBackupOperation::testBackup() {
  if (!destinationScanner_) {
    logErrorMessage("No backup data available at \"%@\"", displayDestinationURL());
    return false;
  }
  destinationScanner_->setRootDirectory(sourceDir_);
  destinationScanner_->setExclusionPredicate(controller()->exclusionPredicate());
  destinationScanner_->setExcludeDSStoreFiles(!controller()->preserveDSStoreFiles());
  destinationScanner_->setExcludeCacheDirectories(controller()->excludeCacheDirectories());
  willBeginPhaseWithType(kPhaseScanSource, 0);
  // No options: the revision stays as it is.
  std::optional<Dictionary> result = destinationScanner_->scanAndCompareRootDirectory(0);
  didEndPhaseWithType(kPhaseScanSource, 0);
  if (!result) {
    logErrorMessage("Failed scanning source directory \"%@\"", sourceDir_);
    return false;
  }
  addPathsFromDirectoryScannerResults(*result);
  return true;
}

bool RemoteBackupOperation::verifyBackup() {
  std::optional<Dictionary> expected = retrieveBackupFiles();
  if (!expected) return false;
  for (const auto& [name, information] : *expected) {
    if (information.isNull()) return false;
  }

  const Value& files = destinationScanner_->userInfoForKey(kBackupFilesKey);
  if (files.isDictionary()) {
    for (const auto& [name, information] : files.asDictionary()) {
      if (!expected->contains(name)) logErrorMessage("Orphan upload information for file \"%@\"", name);
    }
  }
  const Value& revisionName = destinationScanner_->userInfoForKey(kRevisionFileNameKey);
  for (const auto& [name, attributes] : destinationContents_) {
    if (revisionName.isString() && name == revisionName.asString()) continue;
    if (!expected->contains(name)) logErrorMessage("Stalled item at path \"%@\"", name);
  }
  if (isCancelled()) return false;

  for (const auto& [name, information] : *expected) {
    std::optional<UploadInformation> stored = UploadInformation::fromValue(information);
    std::uint64_t listedSize = 0;
    if (const Value* attributes = destinationContents_.find(name); attributes && attributes->isDictionary()) {
      listedSize = attributes->asDictionary().get(kFileSize).asUInt();
    }
    if (listedSize != 0 && (!stored || listedSize != stored->size)) {
      logErrorMessage("File size does not match expected one for \"%@\"", absoluteURLText(name));
      addExcludedPath(name);
      continue;
    }
    std::uint32_t number = addToPhaseMax(1);
    addPendingOperation(std::make_shared<RemoteBackupVerifyOperation>(this, Value(name), number, Array{information}));
  }
  if (!runOperations()) return false;
  return excludedPaths().empty();
}

bool RemoteBackupOperation::pruneDestination() {
  Dictionary spare = destinationContents_;
  if (destinationScanner_) {
    const Value& revisionName = destinationScanner_->userInfoForKey(kRevisionFileNameKey);
    if (revisionName.isString()) spare.erase(revisionName.asString());
    std::optional<Dictionary> expected = retrieveBackupFiles();
    if (!expected) return false;
    for (const auto& [name, information] : *expected) spare.erase(name);
  }

  const std::uint32_t total = Count(spare.size());
  willBeginPhaseWithType(kPhaseDeleteSpareBackupFiles, 0);
  didUpdatePhaseWithType(kPhaseDeleteSpareBackupFiles, 0, 0, total);
  bool success = true;
  std::uint32_t handled = 0;
  for (const auto& [name, attributes] : spare) {
    if (isCancelled()) {
      addSkippedPath(name);
      success = false;
    } else {
      bool deleted = IsDirectoryEntry(attributes) ? deleteRemoteDirectory(name, *transferController_)
                                                  : deleteRemoteFile(name, *transferController_);
      if (deleted) {
        addDeletedPath(name);
      } else {
        addSkippedPath(name);
        success = false;
      }
    }
    didUpdatePhaseWithType(kPhaseDeleteSpareBackupFiles, 0, ++handled, total);
  }
  didEndPhaseWithType(kPhaseDeleteSpareBackupFiles, 0);
  return success;
}

bool RemoteBackupOperation::deleteBackup() {
  std::set<std::string> remaining;
  for (const auto& [name, attributes] : destinationContents_) remaining.insert(name);
  const bool deleteDestination = arguments().get(kDeleteDestinationArgument).asBool();
  FileTransferController& client = *transferController_;

  if (!destinationScanner_) {
    if (!deleteDestination) {
      retrieveBackupFiles();  // reports that there is no backup
      return false;
    }
  } else {
    std::optional<Dictionary> expected = retrieveBackupFiles();
    if (!expected || isCancelled()) return false;

    // The revision data goes first: an interrupted delete leaves spare
    // files without a backup, which a prune removes.
    const Value& revisionValue = destinationScanner_->userInfoForKey(kRevisionFileNameKey);
    std::string revisionName = revisionValue.isString() ? revisionValue.asString() : std::string();
    willBeginPhaseWithType(kPhaseDeleteBackupData, 0);
    bool deleted = client.deleteFileAtPath(revisionName);
    didEndPhaseWithType(kPhaseDeleteBackupData, 0);
    if (!deleted) {
      logErrorMessage("Failed deleting backup data at \"%@\"", absoluteURLText(revisionName));
      return false;
    }
    remaining.erase(revisionName);
    addDeletedPath(revisionName);

    bool success = true;
    const std::uint32_t total = Count(expected->size());
    std::uint32_t handled = 0;
    willBeginPhaseWithType(kPhaseDeleteBackupFiles, 0);
    didUpdatePhaseWithType(kPhaseDeleteBackupFiles, 0, 0, total);
    for (const auto& [name, information] : *expected) {
      if (isCancelled()) {
        addSkippedPath(name);
        success = false;
      } else if (deleteRemoteFile(name, client)) {
        remaining.erase(name);
        addDeletedPath(name);
      } else {
        addSkippedPath(name);
        success = false;
      }
      didUpdatePhaseWithType(kPhaseDeleteBackupFiles, 0, ++handled, total);
    }
    didEndPhaseWithType(kPhaseDeleteBackupFiles, 0);
    if (!success) return false;
  }

  if (!deleteDestination) return true;
  if (!remaining.empty()) {
    for (const std::string& name : remaining) addSkippedPath(name);
    logErrorMessage("Backup destination \"%@\" contains stalled items and cannot be deleted", absoluteURLText(""));
    return false;
  }
  bool removed = false;
  if (client.supportsOperation(TransferOperation::DeleteDirectoryRecursively)) {
    removed = client.deleteDirectoryRecursivelyAtPath("");
  } else if (client.supportsOperation(TransferOperation::DeleteDirectory)) {
    removed = client.deleteDirectoryAtPath("");
  }
  if (!removed) logErrorMessage("Failed deleting backup destination \"%@\"", absoluteURLText(""));
  return removed;
}

}  // namespace quorvel
