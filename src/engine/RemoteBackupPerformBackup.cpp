// The performBackup command (5) of RemoteBackupOperation.
//
// One run moves the destination from one complete revision to the next:
//
//   1. the snapshot: the loaded revision, rescanned in place, or a new one
//      for a destination without a backup; "backupFiles" becomes ours to edit
//   2. which file and archive indexes the loaded snapshot uses, and which
//      items each archive holds
//   3. scan and compare (the revision goes up when anything changed)
//   4. the comparison into the result lists
//   5. the upload set: new and changed files, plus every member of an archive
//      one of whose members changed or went away (an archive is never partly
//      replaced); what the changed files were stored as is scheduled for
//      deletion (deleted paths) and leaves "backupFiles"
//   6. nothing to do: done (or "Initial backup is empty" on a first run)
//   7. the storage plan: files above one segment are stored by themselves in
//      parts; the others go into archives of less than one segment each,
//      oldest first, files with an incompressible extension in archives of
//      their own that are not compressed
//   8-9. the helper steps, run in parallel (RemoteBackupHelperOperation.h,
//      RemoteBackupArchiveSteps.h)
//   10. every file must have a storage record now
//   11. the new revision data is uploaded and read back
//   12. results
//   13. clean-up: after a success what the new revision no longer needs, the
//      replaced revision data last; after a failure everything this run
//      created. An interrupted clean-up leaves spare files, never a
//      destination without a loadable revision.
//
// Indexes: file indexes and archive indexes are stored in 16-bit fields of
// the storage records. A run that would need an index above 65535 in either
// space fails before it uploads anything ("No file index left ..." / "No
// archive index left ..."), instead of wrapping around onto indexes whose
// storage is still in use. Pruning the destination or starting a new backup
// frees the space.
#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <vector>

#include "engine/BackupInfoOperation.h"
#include "engine/RemoteBackupArchiveSteps.h"
#include "engine/RemoteBackupHelperOperation.h"
#include "engine/RemoteBackupOperation.h"
#include "snapshot/SnapshotComparison.h"

namespace quorvel {

namespace {

constexpr std::uint32_t kLargestStorageIndex = 0xFFFF;

// Lowest unused index at or above the cursor, marking it used; 0 when the
// 16-bit space is exhausted.
std::uint32_t TakeIndex(std::vector<bool>& used, std::uint32_t& cursor) {
  while (cursor <= kLargestStorageIndex && used[cursor]) ++cursor;
  if (cursor > kLargestStorageIndex) return 0;
  used[cursor] = true;
  return cursor++;
}

std::string LowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::vector<DirectoryItemPtr> ItemsOfResult(const Dictionary& results, const char* key) {
  return DirectoryItemsOfArray(results.get(key));
}

// Deletes, after a success, the names the new revision no longer needs (in
// the order they were scheduled: the replaced revision data last) and, after
// a failure, every name the run created. Stops when the destination cannot
// be reached; what is left stays as spare files.
void CleanUpAfterBackup(RemoteBackupOperation& command, bool success) {
  std::vector<std::string> names = success ? command.deletedPaths() : command.uniqueCreatedPaths();
  if (!success) {
    // The revision data goes last, so that an interrupted clean-up leaves
    // no revision that names files already gone.
    std::stable_partition(names.begin(), names.end(),
                          [](const std::string& name) { return name.rfind(kRevisionNamePrefix, 0) != 0; });
  }
  if (names.empty() || !command.transferController()) return;
  FileTransferController& client = *command.transferController();
  const auto count = static_cast<std::uint32_t>(names.size());
  command.willBeginPhaseWithType(kPhaseDeleteSpareBackupFiles, 0);
  command.didUpdatePhaseWithType(kPhaseDeleteSpareBackupFiles, 0, 0, count);
  std::uint32_t handled = 0;
  for (const std::string& name : names) {
    if (!client.checkReachability()) break;
    command.deleteRemoteFile(name, client);
    command.didUpdatePhaseWithType(kPhaseDeleteSpareBackupFiles, 0, ++handled, count);
  }
  command.didEndPhaseWithType(kPhaseDeleteSpareBackupFiles, 0);
}

}  // namespace

std::optional<Dictionary> RemoteBackupOperation::performBackup() {
  RemoteBackupController& settings = remoteController();
  const std::uint64_t segmentSize = std::uint64_t{settings.maximumSegmentSize()} << 20;
  const bool encrypted = isEncrypted();
  const bool hadRevision = scanner() != nullptr;
  std::string previousRevisionName;

  bool success = false;
  std::optional<Dictionary> results;
  ArchiveSlots slots;

  // ---- 1. The snapshot
  if (!hadRevision) {
    DirectoryScannerPtr created = DirectoryScanner::initWithRootDirectory(sourceDir(), true);
    if (!created) {
      logErrorMessage("Failed scanning source directory \"%@\"", sourceDir());
      return std::nullopt;
    }
    created->setReportExcludedHiddenItems(arguments().get(kReportHiddenItemsArgument).asBool());
    created->setDelegate(this);
    setScanner(created);
  } else {
    scanner()->setRootDirectory(sourceDir());
    const Value& name = scanner()->userInfoForKey(kRevisionFileNameKey);
    if (name.isString()) previousRevisionName = name.asString();
  }
  DirectoryScanner& snapshot = *scanner();
  {
    const Value& files = snapshot.userInfoForKey(kBackupFilesKey);
    snapshot.setUserInfo(Value(files.isDictionary() ? files.asDictionary() : Dictionary()), kBackupFilesKey);
  }

  std::vector<bool> usedFileIndexes(kLargestStorageIndex + 1, false);
  std::vector<bool> usedArchiveIndexes(kLargestStorageIndex + 1, false);
  usedFileIndexes[0] = usedArchiveIndexes[0] = true;
  std::map<std::uint32_t, std::vector<std::string>> archiveMembers;

  auto run = [&]() -> bool {
    // ---- 2. Index bookkeeping
    if (hadRevision) {
      std::vector<std::string> invalid;
      for (const DirectoryItemPtr& item : snapshot) {
        if (item->isDirectory()) continue;
        std::optional<StorageRecord> record = ValidStorageRecordOfItem(*item);
        if (!record) {
          logErrorMessage("[Internal Error] Invalid backup data entry \"%@\"", item->description());
          invalid.push_back(item->path());
          continue;
        }
        if (record->isStoredByItself()) {
          usedFileIndexes[record->storageIndex] = true;
        } else {
          usedArchiveIndexes[record->storageIndex] = true;
          archiveMembers[record->storageIndex].push_back(item->path());
        }
      }
      for (const std::string& path : invalid) snapshot.removeDirectoryItemAtSubpath(path);
    }

    // ---- 3. Scan and compare
    if (isCancelled()) return false;
    snapshot.setExclusionPredicate(settings.exclusionPredicate());
    snapshot.setExcludeDSStoreFiles(!settings.preserveDSStoreFiles());
    willBeginPhaseWithType(kPhaseScanSource, 0);
    std::optional<Dictionary> scan =
        hadRevision ? snapshot.scanAndCompareRootDirectory(kDirectoryScannerBumpRevision) : snapshot.scanRootDirectory();
    didEndPhaseWithType(kPhaseScanSource, 0);
    if (!scan) {
      if (!isCancelled()) logErrorMessage("Failed scanning source directory \"%@\"", sourceDir());
      return false;
    }

    // ---- 4. Report the comparison
    addPathsFromDirectoryScannerResults(*scan);

    // ---- 5. The upload set (by path; the items are the new snapshot's)
    std::set<std::string> uploadPaths;
    bool directoriesChanged = false;
    bool scheduledDeletion = false;
    Dictionary backupFiles = snapshot.userInfoForKey(kBackupFilesKey).asDictionary();
    auto scheduleDeletion = [&](const std::string& name) {
      addDeletedPath(name);
      backupFiles.erase(name);
      scheduledDeletion = true;
    };
    std::vector<std::string> formerFiles;
    if (hadRevision) {
      std::set<std::uint32_t> replacedArchives;
      for (const char* key : {kModifiedDataItemsKey, kModifiedMetadataItemsKey, kRemovedItemsKey}) {
        for (const DirectoryItemPtr& item : ItemsOfResult(*scan, key)) {
          if (item->isDirectory()) {
            directoriesChanged = true;
          } else {
            uploadPaths.insert(item->path());
          }
          // A folder that was a file carries the file's record (its storage
          // goes, and so does the record); a file that was a folder has none.
          if (!item->userInfo()) continue;
          if (item->isDirectory()) formerFiles.push_back(item->path());
          std::optional<StorageRecord> record = ValidStorageRecordOfItem(*item);
          if (!record) {
            logErrorMessage("[Internal Error] Invalid backup data entry \"%@\"", item->description());
            continue;
          }
          if (record->isStoredByItself()) {
            const std::string base = FileBaseName(record->storageIndex, item->path());
            for (int part = 1; part <= record->partCount; ++part) {
              scheduleDeletion(FilePartName(base, part, encrypted));
            }
            if (record->hasMetadata()) scheduleDeletion(FileMetadataName(base, encrypted));
          } else if (replacedArchives.insert(record->storageIndex).second) {
            scheduleDeletion(ArchiveName(record->storageIndex, record->isCompressedArchive(), encrypted));
            for (const std::string& member : archiveMembers[record->storageIndex]) uploadPaths.insert(member);
          }
        }
      }
      // A new folder counts as a changed one: even empty, it belongs in the
      // next revision.
      for (const DirectoryItemPtr& item : ItemsOfResult(*scan, kAddedItemsKey)) {
        if (item->isDirectory()) {
          directoriesChanged = true;
        } else {
          uploadPaths.insert(item->path());
        }
      }
      for (const DirectoryItemPtr& item : ItemsOfResult(*scan, kRemovedItemsKey)) uploadPaths.erase(item->path());
    } else {
      for (const DirectoryItemPtr& item : snapshot) {
        if (!item->isDirectory()) uploadPaths.insert(item->path());
      }
    }
    snapshot.setUserInfo(Value(std::move(backupFiles)), kBackupFilesKey);
    for (const std::string& path : formerFiles) snapshot.setUserInfoForDirectoryItemAtSubpath(Value(), path);

    // The items to store, as the new snapshot has them. Their old records
    // name storage that is being replaced: they are dropped, so that a file
    // whose new storage could not be recorded is found in step 10.
    std::vector<DirectoryItemPtr> uploadSet;
    uploadSet.reserve(uploadPaths.size());
    for (const std::string& path : uploadPaths) {
      DirectoryItemPtr item = snapshot.directoryItemAtSubpath(path);
      if (!item || item->isDirectory()) continue;
      if (item->userInfo()) {
        snapshot.setUserInfoForDirectoryItemAtSubpath(Value(), path);
        item = snapshot.directoryItemAtSubpath(path);
      }
      uploadSet.push_back(std::move(item));
    }

    // ---- 6. Anything to do?
    if (isCancelled()) return false;
    if (uploadSet.empty() && !scheduledDeletion && !directoriesChanged) {
      if (hadRevision) {
        success = true;
        return true;
      }
      logErrorMessage("Initial backup is empty");
      return false;
    }

    // ---- 7. The storage plan
    std::vector<DirectoryItemPtr> smallFiles = std::move(uploadSet);
    std::vector<DirectoryItemPtr> largeFiles;
    std::vector<DirectoryItemPtr> incompressibleFiles;
    if (segmentSize != 0) {
      for (std::size_t i = smallFiles.size(); i-- > 0;) {
        if (smallFiles[i]->totalSize() > segmentSize) {
          largeFiles.push_back(smallFiles[i]);
          smallFiles.erase(smallFiles.begin() + static_cast<std::ptrdiff_t>(i));
        }
      }
    }
    std::stable_sort(smallFiles.begin(), smallFiles.end(), [](const DirectoryItemPtr& a, const DirectoryItemPtr& b) {
      return a->modificationDate() < b->modificationDate();
    });
    std::vector<std::string> extensions = settings.incompressibleExtensions();
    if (!extensions.empty()) {
      std::set<std::string> incompressible;
      for (const std::string& extension : extensions) incompressible.insert(LowerCase(extension));
      for (std::size_t i = smallFiles.size(); i-- > 0;) {
        if (incompressible.count(LowerCase(PathExtension(smallFiles[i]->path())))) {
          incompressibleFiles.push_back(smallFiles[i]);
          smallFiles.erase(smallFiles.begin() + static_cast<std::ptrdiff_t>(i));
        }
      }
    }

    // ---- 8. The helper steps
    std::uint32_t fileCursor = 1;
    for (const DirectoryItemPtr& item : largeFiles) {
      std::uint32_t fileIndex = TakeIndex(usedFileIndexes, fileCursor);
      if (fileIndex == 0) {
        logErrorMessage("No file index left for \"%@\" (all 65535 are in use)", item->path());
        return false;
      }
      auto step = std::make_shared<RemoteBackupUploadFileOperation>(
          this, Value(item), fileIndex, Array{Value(FileBaseName(static_cast<int>(fileIndex), item->path()))});
      addPendingOperation(step);
      addToPhaseMax(static_cast<std::uint32_t>(item->dataSize() / segmentSize + 2));
    }

    std::uint32_t archiveCursor = 1;
    bool indexesLeft = true;
    auto groupIntoArchives = [&](const std::vector<DirectoryItemPtr>& files, bool compress) {
      Array group;
      std::uint64_t total = 0;
      auto close = [&] {
        std::uint32_t archiveIndex = TakeIndex(usedArchiveIndexes, archiveCursor);
        if (archiveIndex == 0) {
          if (indexesLeft) logErrorMessage("No archive index left (all 65535 are in use)");
          indexesLeft = false;
          return;
        }
        ArchiveSlotPtr slot = slots.nextSlot();
        auto create = std::make_shared<RemoteBackupCreateArchiveOperation>(
            this, Value(group), archiveIndex,
            Array{Value(slot), Value(static_cast<unsigned>(total & 0xFFFFFFFFu)), Value(compress)});
        create->setNextOperation(
            std::make_shared<RemoteBackupUploadArchiveOperation>(this, Value(slot), archiveIndex, Array{Value(compress)}));
        addPendingOperation(create);
        addToPhaseMax(2);
        group.clear();
        total = 0;
      };
      for (const DirectoryItemPtr& item : files) {
        if (segmentSize != 0 && total + item->totalSize() >= segmentSize && !group.empty()) close();
        group.push_back(Value(item));
        total += item->totalSize();
      }
      if (!group.empty()) close();
    };
    groupIntoArchives(incompressibleFiles, false);
    groupIntoArchives(smallFiles, true);
    if (!indexesLeft) return false;

    // ---- 9. Run them
    bool stepsSucceeded = runOperations();
    slots.releaseAll();
    if (!stepsSucceeded) return false;

    // ---- 10. Every file has its storage now
    std::vector<std::string> unaccounted;
    for (const DirectoryItemPtr& item : snapshot) {
      if (!item->isDirectory() && !StorageRecordOfItem(*item)) unaccounted.push_back(item->path());
    }
    for (const std::string& path : unaccounted) {
      logErrorMessage("Internal error prevented backup of file \"%@\"", path);
      addSkippedPath(path);
      snapshot.removeDirectoryItemAtSubpath(path);
    }
    updateDirectoryScannerUserInfo(snapshot);
    if (isCancelled()) return false;

    // ---- 11. The new revision data
    std::optional<Data> data = snapshot.serializedData();
    if (!data) {
      logErrorMessage("Failed serializing backup data");
      return false;
    }
    const std::string name = RevisionDataName(snapshot.revision(), encrypted);
    FileTransferController& client = *transferController();
    // Where uploads write in place and a rename is at hand (local folders and
    // mounted shares), the revision data is written under a name that is not
    // a revision name and renamed when complete: a run killed in the middle of
    // this upload then leaves a spare file (which a prune removes, or the
    // next run of the same revision overwrites), never a cut-short revision
    // file, which no command could open when it is the destination's only one.
    // The rename replaces whatever holds the name; a folder there (nothing a
    // run creates) is left alone, and the upload then fails as it would
    // without the rename.
    const Value* listed = destinationContents().find(name);
    const bool folderHoldsName = listed && listed->isDictionary() && listed->asDictionary().get(kFileType).isString() &&
                                 listed->asDictionary().get(kFileType).asString() == kFileTypeDirectory;
    const bool staged = !client.hasAtomicUploads() && client.supportsOperation(TransferOperation::MovePath) &&
                        !folderHoldsName;
    const std::string uploadName = staged ? "Uploading_" + name : name;
    for (;;) {
      bool uploaded = inTransferPhase(kPhaseUploadBackupData, [&] {
        bool done = client.uploadFileFromBytes(data->data(), data->size(), uploadName);
        if (!staged) return done;
        if (done && client.movePath(uploadName, name)) return true;
        addUniqueCreatedPath(uploadName);
        return false;
      });
      addUniqueCreatedPath(name);
      if (uploaded) break;
      logErrorMessage("Failed uploading backup data to \"%@\"", absoluteURLText(name));
      if (isCancelled() || !shouldRetryAfterNetworkError()) return false;
    }
    for (;;) {
      Data readBack(data->size());
      long received = inTransferPhase(kPhaseVerifyBackupInfo, [&] {
        return client.downloadFileFromPathToBuffer(name, readBack.data(), readBack.size());
      });
      if (received >= 0) {
        readBack.resize(static_cast<std::size_t>(received));
        if (readBack != *data) {
          logErrorMessage("Uploaded backup data does not match original");
          return false;
        }
        break;
      }
      logErrorMessage("Failed downloading backup data from \"%@\"", absoluteURLText(name));
      if (isCancelled() || !shouldRetryAfterNetworkError()) return false;
    }
    // Older revision files that an interrupted clean-up left behind (or that
    // did not load) go too: were the new one damaged later, opening would
    // otherwise fall back to a revision whose files are partly gone.
    for (const std::string& listed : destinationContents().keys()) {
      if (listed.rfind(kRevisionNamePrefix, 0) != 0 || listed == name || listed == previousRevisionName) continue;
      if (destinationContents().get(listed).asDictionary().get(kFileType).asString() == kFileTypeDirectory) continue;
      addDeletedPath(listed);
    }
    // Replaced by the new revision (deleted last of all).
    if (hadRevision && !previousRevisionName.empty() && previousRevisionName != name) {
      addDeletedPath(previousRevisionName);
    }
    success = true;
    return true;
  };

  try {
    run();
  } catch (...) {
    slots.releaseAll();
    success = false;
    CleanUpAfterBackup(*this, false);
    throw;
  }

  // ---- 12. Results
  if (success) {
    std::set<std::string> copied;
    for (std::string& path : copiedPaths()) copied.insert(std::move(path));
    std::uint64_t sourceFiles = 0, sourceDirectories = 0, sourceSize = 0;
    std::uint64_t copiedFiles = 0, copiedDirectories = 0, copiedSize = 0;
    for (const DirectoryItemPtr& item : *scanner()) {
      const bool wasCopied = copied.count(item->path()) != 0;
      if (item->isDirectory()) {
        ++sourceDirectories;
        if (wasCopied) ++copiedDirectories;
      } else {
        ++sourceFiles;
        sourceSize += item->totalSize();
        if (wasCopied) {
          ++copiedFiles;
          copiedSize += item->totalSize();
        }
      }
    }
    std::uint64_t destinationFiles = 0, destinationSize = 0;
    const Value& files = scanner()->userInfoForKey(kBackupFilesKey);
    if (files.isDictionary()) {
      for (const auto& [name, information] : files.asDictionary()) {
        ++destinationFiles;
        if (auto parsed = UploadInformation::fromValue(information)) destinationSize += parsed->size;
      }
    }
    results = Dictionary{
        {"sourceFiles", Value(sourceFiles)},
        {"sourceDirectories", Value(sourceDirectories)},
        {"sourceSize", Value(sourceSize)},
        {"copiedFiles", Value(copiedFiles)},
        {"copiedDirectories", Value(copiedDirectories)},
        {"copiedSize", Value(copiedSize)},
        {"destinationFiles", Value(destinationFiles)},
        {"destinationSize", Value(destinationSize)},
        {"directoryScanner", Value(scanner())},
    };
  }

  // ---- 13. Clean-up
  CleanUpAfterBackup(*this, success);
  return results;
}

}  // namespace quorvel
