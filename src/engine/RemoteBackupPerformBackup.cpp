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
//   7. the storage plan (StoragePlan.h): files above one segment are stored
//      by themselves in parts; the others go into archives of less than one
//      segment each, oldest first, files with an incompressible extension in
//      archives of their own that are not compressed
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
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include "engine/ArchiveSupport.h"
#include "engine/BackupInfoOperation.h"
#include "engine/RemoteBackupArchiveSteps.h"
#include "engine/RemoteBackupHelperOperation.h"
#include "engine/RemoteBackupOperation.h"
#include "engine/StoragePlan.h"
#include "foundation/Posix.h"
#include "snapshot/SnapshotComparison.h"

namespace quorvel {

namespace {

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
  // What the new revision references must be on disk before the files it
  // replaces go: a crash in between then still leaves one whole revision.
  if (success && !client.syncDestination()) {
    command.logErrorMessage("Failed syncing the destination; the files the new revision replaces are kept");
    return;
  }
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

// One run of the command: its working state and its steps in order. run()
// answers whether the destination holds the new revision (or needed none).
class BackupRun {
 public:
  explicit BackupRun(RemoteBackupOperation& command)
      : command_(command),
        settings_(command.remoteController()),
        segmentSize_(std::uint64_t{command.remoteController().maximumSegmentSize()} << 20),
        encrypted_(command.isEncrypted()),
        hadRevision_(command.scanner() != nullptr) {}
  ~BackupRun() { slots_.releaseAll(); }

  // Step 1; false when the source cannot be scanned at all.
  bool prepareSnapshot();
  bool run();
  Dictionary results() const;

 private:
  // What step 5 found to do.
  struct UploadSet {
    std::vector<DirectoryItemPtr> files;
    bool directoriesChanged = false;
    bool scheduledDeletion = false;
    // A member left an archive that stays: the next revision must say so.
    bool membersLeftArchives = false;
  };

  void recordUsedIndexes();
  std::optional<Dictionary> scanAndCompare();
  UploadSet collectUploads(const Dictionary& scan);
  void replaceStorageOf(const DirectoryItem& item, Dictionary& backupFiles, UploadSet& uploads);
  void settleArchives(Dictionary& backupFiles, UploadSet& uploads, std::set<std::string>& paths);
  void scheduleDeletion(const std::string& name, Dictionary& backupFiles, UploadSet& uploads);
  bool scheduleSteps(std::vector<DirectoryItemPtr> files);
  void dropUnaccountedFiles();
  bool storeRevisionData();
  bool uploadRevisionData(FileTransferController& client, const Data& data, const std::string& name);
  bool readBackRevisionData(FileTransferController& client, const Data& data, const std::string& name);
  void scheduleReplacedRevisions(const std::string& name);

  RemoteBackupOperation& command_;
  RemoteBackupController& settings_;
  const std::uint64_t segmentSize_;
  const bool encrypted_;
  const bool hadRevision_;
  std::string previousRevisionName_;
  StorageIndexes usedIndexes_;
  // Each archive of the loaded revision: its members' paths and sizes.
  struct ArchiveContents {
    bool compressed = true;
    std::vector<std::pair<std::string, std::uint64_t>> members;
  };
  std::map<std::uint32_t, ArchiveContents> archiveMembers_;
  // Members leaving each archive this run (changed or gone).
  std::map<std::uint32_t, std::set<std::string>> departures_;
  ArchiveSlots slots_;
};

// ---- 1. The snapshot: the loaded revision, or a new one
bool BackupRun::prepareSnapshot() {
  // Metadata and archive lists pass through scratch files: without a place
  // for them every file would be skipped, so the run fails at once instead.
  if (Status scratch = TemporaryFile::check(); !scratch.ok()) {
    command_.logErrorMessage("Failed preparing temporary files (%@)", scratch.message());
    return false;
  }
  // Without the archive tools no small file could be stored: fail now rather
  // than skip them all.
  for (const std::string& tool : {DittoToolPath(), MkbomToolPath()}) {
    if (::access(tool.c_str(), X_OK) != 0) {
      command_.logErrorMessage("Failed finding the archive tool \"%@\" (%s)", tool, ErrnoText(errno));
      return false;
    }
  }
  if (!hadRevision_) {
    DirectoryScannerPtr created = DirectoryScanner::initWithRootDirectory(command_.sourceDir(), true);
    if (!created) {
      command_.logErrorMessage("Failed scanning source directory \"%@\"", command_.sourceDir());
      return false;
    }
    created->setReportExcludedHiddenItems(command_.arguments().get(kReportHiddenItemsArgument).asBool());
    created->setDelegate(&command_);
    command_.setScanner(created);
  } else {
    command_.scanner()->setRootDirectory(command_.sourceDir());
    const Value& name = command_.scanner()->userInfoForKey(kRevisionFileNameKey);
    if (name.isString()) previousRevisionName_ = name.asString();
  }
  DirectoryScanner& snapshot = *command_.scanner();
  const Value& files = snapshot.userInfoForKey(kBackupFilesKey);
  snapshot.setUserInfo(Value(files.isDictionary() ? files.asDictionary() : Dictionary()), kBackupFilesKey);
  return true;
}

bool BackupRun::run() {
  if (hadRevision_) recordUsedIndexes();
  if (command_.isCancelled()) return false;
  std::optional<Dictionary> scan = scanAndCompare();
  if (!scan) return false;
  // ---- 4. Report the comparison
  command_.addPathsFromDirectoryScannerResults(*scan);
  UploadSet uploads = collectUploads(*scan);

  // ---- 6. Anything to do?
  if (command_.isCancelled()) return false;
  if (uploads.files.empty() && !uploads.scheduledDeletion && !uploads.directoriesChanged &&
      !uploads.membersLeftArchives) {
    if (hadRevision_) return true;
    command_.logErrorMessage("Initial backup is empty");
    return false;
  }
  if (!scheduleSteps(std::move(uploads.files))) return false;

  // ---- 9. Run them
  bool stepsSucceeded = command_.runOperations();
  slots_.releaseAll();
  if (!stepsSucceeded) return false;
  dropUnaccountedFiles();
  if (command_.isCancelled()) return false;
  return storeRevisionData();
}

// ---- 2. Which indexes the loaded snapshot uses, and each archive's members
void BackupRun::recordUsedIndexes() {
  DirectoryScanner& snapshot = *command_.scanner();
  std::vector<std::string> invalid;
  for (const DirectoryItemPtr& item : snapshot) {
    if (item->isDirectory()) continue;
    std::optional<StorageRecord> record = ValidStorageRecordOfItem(*item);
    if (!record) {
      command_.logErrorMessage("[Internal Error] Invalid backup data entry \"%@\"", item->description());
      invalid.push_back(item->path());
      continue;
    }
    if (record->isStoredByItself()) {
      usedIndexes_.files[record->storageIndex] = true;
    } else {
      usedIndexes_.archives[record->storageIndex] = true;
      ArchiveContents& contents = archiveMembers_[record->storageIndex];
      contents.compressed = record->isCompressedArchive();
      contents.members.emplace_back(item->path(), item->totalSize());
    }
  }
  for (const std::string& path : invalid) snapshot.removeDirectoryItemAtSubpath(path);
}

// ---- 3. Scan and compare
std::optional<Dictionary> BackupRun::scanAndCompare() {
  DirectoryScanner& snapshot = *command_.scanner();
  snapshot.setExclusionPredicate(settings_.exclusionPredicate());
  snapshot.setExcludeDSStoreFiles(!settings_.preserveDSStoreFiles());
  snapshot.setExcludeCacheDirectories(settings_.excludeCacheDirectories());
  command_.willBeginPhaseWithType(kPhaseScanSource, 0);
  std::optional<Dictionary> scan =
      hadRevision_ ? snapshot.scanAndCompareRootDirectory(kDirectoryScannerBumpRevision) : snapshot.scanRootDirectory();
  command_.didEndPhaseWithType(kPhaseScanSource, 0);
  if (!scan && !command_.isCancelled()) {
    command_.logErrorMessage("Failed scanning source directory \"%@\"", command_.sourceDir());
  }
  return scan;
}

// ---- 5. The upload set (by path; the items are the new snapshot's)
BackupRun::UploadSet BackupRun::collectUploads(const Dictionary& scan) {
  DirectoryScanner& snapshot = *command_.scanner();
  UploadSet uploads;
  std::set<std::string> paths;
  Dictionary backupFiles = snapshot.userInfoForKey(kBackupFilesKey).asDictionary();
  std::vector<std::string> formerFiles;
  if (hadRevision_) {
    for (const char* key : {kModifiedDataItemsKey, kModifiedMetadataItemsKey, kRemovedItemsKey}) {
      for (const DirectoryItemPtr& item : ItemsOfResult(scan, key)) {
        if (item->isDirectory()) {
          uploads.directoriesChanged = true;
        } else {
          paths.insert(item->path());
        }
        // A folder that was a file carries the file's record (its storage
        // goes, and so does the record); a file that was a folder has none.
        if (!item->userInfo()) continue;
        if (item->isDirectory()) formerFiles.push_back(item->path());
        replaceStorageOf(*item, backupFiles, uploads);
      }
    }
    settleArchives(backupFiles, uploads, paths);
    // A new folder counts as a changed one: even empty, it belongs in the
    // next revision.
    for (const DirectoryItemPtr& item : ItemsOfResult(scan, kAddedItemsKey)) {
      if (item->isDirectory()) {
        uploads.directoriesChanged = true;
      } else {
        paths.insert(item->path());
      }
    }
    for (const DirectoryItemPtr& item : ItemsOfResult(scan, kRemovedItemsKey)) paths.erase(item->path());
  } else {
    for (const DirectoryItemPtr& item : snapshot) {
      if (!item->isDirectory()) paths.insert(item->path());
    }
  }
  snapshot.setUserInfo(Value(std::move(backupFiles)), kBackupFilesKey);
  for (const std::string& path : formerFiles) snapshot.setUserInfoForDirectoryItemAtSubpath(Value(), path);

  // The items to store, as the new snapshot has them. Their old records
  // name storage that is being replaced: they are dropped, so that a file
  // whose new storage could not be recorded is found in step 10.
  uploads.files.reserve(paths.size());
  for (const std::string& path : paths) {
    DirectoryItemPtr item = snapshot.directoryItemAtSubpath(path);
    if (!item || item->isDirectory()) continue;
    if (item->userInfo()) {
      snapshot.setUserInfoForDirectoryItemAtSubpath(Value(), path);
      item = snapshot.directoryItemAtSubpath(path);
    }
    uploads.files.push_back(std::move(item));
  }
  return uploads;
}

void BackupRun::scheduleDeletion(const std::string& name, Dictionary& backupFiles, UploadSet& uploads) {
  command_.addDeletedPath(name);
  backupFiles.erase(name);
  uploads.scheduledDeletion = true;
}

// What a changed or removed item was stored as by itself is scheduled for
// deletion and leaves "backupFiles". A member of an archive only leaves it:
// settleArchives decides about the archive once every departure is known.
void BackupRun::replaceStorageOf(const DirectoryItem& item, Dictionary& backupFiles, UploadSet& uploads) {
  std::optional<StorageRecord> record = ValidStorageRecordOfItem(item);
  if (!record) {
    command_.logErrorMessage("[Internal Error] Invalid backup data entry \"%@\"", item.description());
    return;
  }
  if (record->isStoredByItself()) {
    const std::string base = FileBaseName(record->storageIndex, item.path());
    const int listed = ListedPartCount(*record, base, encrypted_, backupFiles);
    for (int part = 1; part <= listed; ++part) scheduleDeletion(FilePartName(base, part, encrypted_), backupFiles, uploads);
    if (record->hasMetadata()) scheduleDeletion(FileMetadataName(base, encrypted_), backupFiles, uploads);
  } else {
    departures_[record->storageIndex].insert(item.path());
  }
}

// An archive that lost members keeps the others where they are (a restore
// extracts only the members the revision names), unless what remains is
// less than archiveRewritePercent of its bytes: then the archive goes and
// its remaining members are stored again, as is an archive none of whose
// members remain. Scattered changes thus store what changed, not every
// archive a change touched.
void BackupRun::settleArchives(Dictionary& backupFiles, UploadSet& uploads, std::set<std::string>& paths) {
  const std::uint64_t rewritePercent = settings_.archiveRewritePercent();
  if (!departures_.empty()) uploads.membersLeftArchives = true;
  for (const auto& [index, departed] : departures_) {
    const ArchiveContents& contents = archiveMembers_[index];
    std::uint64_t allBytes = 0;
    std::uint64_t liveBytes = 0;
    std::vector<std::string> live;
    for (const auto& [path, size] : contents.members) {
      allBytes += size;
      if (departed.count(path)) continue;
      liveBytes += size;
      live.push_back(path);
    }
    const bool keep = !live.empty() && rewritePercent < 100 && liveBytes * 100 >= allBytes * rewritePercent;
    if (keep) continue;
    scheduleDeletion(ArchiveName(index, contents.compressed, encrypted_), backupFiles, uploads);
    paths.insert(live.begin(), live.end());
  }
}

// ---- 7-8. The storage plan and its helper steps
bool BackupRun::scheduleSteps(std::vector<DirectoryItemPtr> files) {
  StoragePlanSettings planSettings{segmentSize_, settings_.incompressibleExtensions(), kBackupArchiveSize};
  StoragePlan plan = PlanStorage(std::move(files), planSettings, usedIndexes_);
  if (plan.exhaustedFileIndexFor) {
    command_.logErrorMessage("No file index left for \"%@\" (all 65535 are in use)", *plan.exhaustedFileIndexFor);
    return false;
  }
  if (plan.archiveIndexesExhausted) {
    command_.logErrorMessage("No archive index left (all 65535 are in use)");
    return false;
  }
  for (const PlannedFile& file : plan.files) {
    auto step = std::make_shared<RemoteBackupUploadFileOperation>(
        &command_, Value(file.item), file.fileIndex,
        Array{Value(FileBaseName(static_cast<int>(file.fileIndex), file.item->path()))});
    command_.addPendingOperation(step);
    command_.addToPhaseMax(static_cast<std::uint32_t>(file.item->dataSize() / segmentSize_ + 2));
  }
  for (const PlannedArchive& archive : plan.archives) {
    Array members;
    for (const DirectoryItemPtr& item : archive.members) members.push_back(Value(item));
    ArchiveSlotPtr slot = slots_.nextSlot();
    auto create = std::make_shared<RemoteBackupCreateArchiveOperation>(
        &command_, Value(std::move(members)), archive.archiveIndex,
        Array{Value(slot), Value(static_cast<unsigned>(archive.totalSize & 0xFFFFFFFFu)), Value(archive.compressed)});
    create->setNextOperation(std::make_shared<RemoteBackupUploadArchiveOperation>(
        &command_, Value(slot), archive.archiveIndex, Array{Value(archive.compressed)}));
    command_.addPendingOperation(create);
    command_.addToPhaseMax(2);
  }
  return true;
}

// ---- 10. Every file has its storage now
void BackupRun::dropUnaccountedFiles() {
  DirectoryScanner& snapshot = *command_.scanner();
  std::vector<std::string> unaccounted;
  for (const DirectoryItemPtr& item : snapshot) {
    if (!item->isDirectory() && !StorageRecordOfItem(*item)) unaccounted.push_back(item->path());
  }
  for (const std::string& path : unaccounted) {
    command_.logErrorMessage("Internal error prevented backup of file \"%@\"", path);
    command_.addSkippedPath(path);
    snapshot.removeDirectoryItemAtSubpath(path);
  }
  command_.updateDirectoryScannerUserInfo(snapshot);
}

// ---- 11. The new revision data, uploaded and read back
bool BackupRun::storeRevisionData() {
  DirectoryScanner& snapshot = *command_.scanner();
  std::optional<Data> data = snapshot.serializedData();
  if (!data) {
    command_.logErrorMessage("Failed serializing backup data");
    return false;
  }
  const std::string name = RevisionDataName(snapshot.revision(), encrypted_);
  FileTransferController& client = *command_.transferController();
  if (!uploadRevisionData(client, *data, name) || !readBackRevisionData(client, *data, name)) return false;
  scheduleReplacedRevisions(name);
  return true;
}

bool BackupRun::uploadRevisionData(FileTransferController& client, const Data& data, const std::string& name) {
  // Where uploads write in place and a rename is at hand (local folders and
  // mounted shares), the revision data is written under a name that is not
  // a revision name and renamed when complete: a run killed in the middle of
  // this upload then leaves a spare file (which a prune removes, or the
  // next run of the same revision overwrites), never a cut-short revision
  // file, which no command could open when it is the destination's only one.
  // The rename replaces whatever holds the name; a folder there (nothing a
  // run creates) is left alone, and the upload then fails as it would
  // without the rename.
  const Value* listed = command_.destinationContents().find(name);
  const bool folderHoldsName = listed && listed->isDictionary() && listed->asDictionary().get(kFileType).isString() &&
                               listed->asDictionary().get(kFileType).asString() == kFileTypeDirectory;
  const bool staged = !client.hasAtomicUploads() && client.supportsOperation(TransferOperation::MovePath) &&
                      !folderHoldsName;
  const std::string uploadName = staged ? "Uploading_" + name : name;
  for (;;) {
    bool uploaded = command_.inTransferPhase(kPhaseUploadBackupData, [&] {
      bool done = client.uploadFileFromBytes(data.data(), data.size(), uploadName);
      if (!staged) return done;
      if (done && client.movePath(uploadName, name)) return true;
      command_.addUniqueCreatedPath(uploadName);
      return false;
    });
    command_.addUniqueCreatedPath(name);
    if (uploaded) return true;
    command_.logErrorMessage("Failed uploading backup data to \"%@\"", command_.absoluteURLText(name));
    if (command_.isCancelled() || !command_.shouldRetryAfterFailureOf(client)) return false;
  }
}

bool BackupRun::readBackRevisionData(FileTransferController& client, const Data& data, const std::string& name) {
  for (;;) {
    Data readBack(data.size());
    long received = command_.inTransferPhase(kPhaseVerifyBackupInfo, [&] {
      return client.downloadFileFromPathToBuffer(name, readBack.data(), readBack.size());
    });
    if (received >= 0) {
      readBack.resize(static_cast<std::size_t>(received));
      if (readBack != data) {
        command_.logErrorMessage("Uploaded backup data does not match original");
        return false;
      }
      return true;
    }
    command_.logErrorMessage("Failed downloading backup data from \"%@\"", command_.absoluteURLText(name));
    if (command_.isCancelled() || !command_.shouldRetryAfterFailureOf(client)) return false;
  }
}

void BackupRun::scheduleReplacedRevisions(const std::string& name) {
  // Older revision files that an interrupted clean-up left behind (or that
  // did not load) go too: were the new one damaged later, opening would
  // otherwise fall back to a revision whose files are partly gone.
  for (const std::string& listed : command_.destinationContents().keys()) {
    if (listed.rfind(kRevisionNamePrefix, 0) != 0 || listed == name || listed == previousRevisionName_) continue;
    if (command_.destinationContents().get(listed).asDictionary().get(kFileType).asString() == kFileTypeDirectory) continue;
    command_.addDeletedPath(listed);
  }
  // Replaced by the new revision (deleted last of all).
  if (hadRevision_ && !previousRevisionName_.empty() && previousRevisionName_ != name) {
    command_.addDeletedPath(previousRevisionName_);
  }
}

// ---- 12. Results
Dictionary BackupRun::results() const {
  std::set<std::string> copied;
  for (std::string& path : command_.copiedPaths()) copied.insert(std::move(path));
  std::uint64_t sourceFiles = 0, sourceDirectories = 0, sourceSize = 0;
  std::uint64_t copiedFiles = 0, copiedDirectories = 0, copiedSize = 0;
  for (const DirectoryItemPtr& item : *command_.scanner()) {
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
  const Value& files = command_.scanner()->userInfoForKey(kBackupFilesKey);
  if (files.isDictionary()) {
    for (const auto& [name, information] : files.asDictionary()) {
      ++destinationFiles;
      if (auto parsed = UploadInformation::fromValue(information)) destinationSize += parsed->size;
    }
  }
  return Dictionary{
      {"sourceFiles", Value(sourceFiles)},
      {"sourceDirectories", Value(sourceDirectories)},
      {"sourceSize", Value(sourceSize)},
      {"copiedFiles", Value(copiedFiles)},
      {"copiedDirectories", Value(copiedDirectories)},
      {"copiedSize", Value(copiedSize)},
      {"destinationFiles", Value(destinationFiles)},
      {"destinationSize", Value(destinationSize)},
      {"directoryScanner", Value(command_.scanner())},
  };
}

std::optional<Dictionary> RemoteBackupOperation::performBackup() {
  BackupRun run(*this);
  if (!run.prepareSnapshot()) return std::nullopt;
  bool success = false;
  try {
    success = run.run();
  } catch (...) {
    CleanUpAfterBackup(*this, false);
    throw;
  }
  std::optional<Dictionary> results;
  if (success) results = run.results();
  // ---- 13. Clean-up
  CleanUpAfterBackup(*this, success);
  return results;
}

}  // namespace quorvel
