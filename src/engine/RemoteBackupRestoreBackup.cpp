// The restoreBackup command (7) of RemoteBackupOperation: rebuilds the
// backed-up tree, or selected paths with everything below them, in a local
// folder.
//
// A run goes: the root folder (whole restores only), the erase walk, the
// selection, the plan, the folders, the helper steps, and then either the
// folders' recorded properties (deepest first, so that nothing changes a
// folder after its dates were set) or the roll-back of what the run created.
// Files stored by themselves come back part by part (a chain of
// RemoteBackupDownloadPartOperation steps ending in one
// RemoteBackupDownloadFileOperation that unpacks the metadata, checks the
// file and gives it its properties); archives are downloaded whole into a
// slot and extracted by a RemoteBackupExtractArchiveOperation.
//
// Safety: the snapshot comes from the destination, so it may be damaged or
// written by someone hostile. Nothing it names may end up outside the
// restore target. This file is stricter than a plain reading of the
// snapshot in these places (each marked "Safety:" below):
//   - a name that contains "/" or NUL, is empty, "." or "..", a requested
//     path that is absolute or climbs with "..", and a snapshot root whose
//     last component is such a name are refused ("Refusing unsafe path ...")
//     and their items skipped;
//   - an item is only restored below folders of the selection (an item
//     whose parent the snapshot records as a file or a link is refused; two
//     records under one name keep the first);
//   - folders are made and checked through descriptors opened with
//     O_NOFOLLOW from the target down, so a link planted inside the target
//     (before the run or by the backup data) is never followed: a link or
//     file where a folder belongs is deleted and the folder made anew;
//   - before the steps run, whatever sits at the target of a file stored by
//     itself and is not a plain file (a link, a folder) is removed, and a
//     file without parts is created empty here, so that no step writes
//     through a link; files below a folder that could not be made are
//     skipped;
//   - on failure, only folders this run made are removed again (the root
//     folder too when the run made it); folders that were already there stay.
#include <errno.h>
#include <fcntl.h>
#include <fts.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "engine/RemoteBackupArchiveSteps.h"
#include "engine/RemoteBackupHelperOperation.h"
#include "engine/RemoteBackupOperation.h"
#include "engine/RestoreTargetPaths.h"
#include "foundation/InternalInconsistency.h"
#include "snapshot/PathOrder.h"
#include "foundation/Posix.h"

namespace quorvel {

namespace {

// Bit that marks a compressed archive in the archive map's keys.
constexpr std::uint32_t kCompressedArchiveBit = 0x80000000u;


std::string ParentPath(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string LastComponent(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The last component of a folder path as the snapshot records its root:
// trailing separators do not count; "/" has none (an empty text).
std::string LastComponentOfRoot(std::string root) {
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (root == "/") return std::string();
  return LastComponent(root);
}

// A name that may be one component of a restored path.
bool IsSafeName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

// A relative path whose every component is a safe name.
bool IsSafeRelativePath(std::string_view path) {
  if (path.empty()) return false;
  std::size_t start = 0;
  while (true) {
    std::size_t end = path.find('/', start);
    if (!IsSafeName(path.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start))) {
      return false;
    }
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

// A path as messages show it: NUL bytes spelled out.
std::string Printable(std::string_view path) {
  std::string text;
  for (char c : path) {
    if (c == '\0') text += "\\0";
    else text += c;
  }
  return text;
}

// One run of the command: its working state and its stages in order.
class RestoreRun {
 public:
  RestoreRun(RemoteBackupOperation& operation, const DirectoryScanner& scanner, bool eraseDestination)
      : operation_(operation), scanner_(scanner), erase_(eraseDestination) {}

  bool run(const std::optional<std::vector<std::string>>& restorePaths, const std::string& destination);

 private:
  struct StoredFile {
    DirectoryItemPtr item;
    StorageRecord record;
  };
  enum class Added { kNew, kPresent, kRefused };

  bool prepareRoot();
  bool eraseTarget();
  void select(const std::vector<std::string>& paths);
  void selectDescendants(const std::string& directory);
  Added addToSelection(const DirectoryItemPtr& item);
  void refuse(std::string_view path);
  void plan();
  void makeDirectories();
  bool isBelowMadeDirectory(const std::string& path) const;
  bool prepareFileTarget(const StoredFile& file);
  void createSteps();
  Value uploadDigest(const std::string& name) const;
  // The size the named file was stored with, or null when not recorded.
  Value uploadedSize(const std::string& name) const;
  std::optional<UploadInformation> uploadInformation(const std::string& name) const;
  // The revision's "backupFiles" (empty when it has none).
  const Dictionary& backupFiles() const;
  // A file that shared its inode with one planned before it is linked to
  // that one rather than restored again; answers whether `item` is such a file.
  bool plannedAsHardLink(const DirectoryItem& item, const StorageRecord& record);
  void linkHardLinks();
  void applyDirectoryProperties();
  void rollBack();
  // Removes an item below the target without following links; logs a failure.
  bool removeBelowTarget(const std::string& path, RemoveKind kind);
  bool finish(bool success);

  RemoteBackupOperation& operation_;
  const DirectoryScanner& scanner_;
  const bool erase_;
  // The effective destination: the restore root on the local disk.
  std::string target_;
  // The selection by path (one item per path).
  std::map<std::string, DirectoryItemPtr> selection_;
  std::vector<DirectoryItemPtr> directories_;
  std::vector<StoredFile> storedFiles_;
  // Archive index (bit 31 set when compressed) -> selected members.
  std::map<std::uint32_t, std::vector<DirectoryItemPtr>> archives_;
  ArchiveSlots slots_;
  bool rootPrepared_ = false;
  bool rootCreated_ = false;
  // Folders below the target that are real folders now (checked or made
  // without following links); "" is the target itself.
  std::set<std::string> madeDirectories_;
  // Those of them this run created.
  std::vector<std::string> createdDirectories_;
  // Files that shared an inode in the snapshot: what identifies the inode
  // (number, size, modification date, mode, content digest) -> the path
  // restored; and each further path with the path it links to.
  using InodeKey = std::tuple<std::uint32_t, std::uint64_t, double, std::uint16_t, std::array<std::uint8_t, 16>>;
  std::map<InodeKey, std::string> restoredInodes_;
  std::vector<std::pair<DirectoryItemPtr, std::string>> hardLinks_;
};

bool RestoreRun::run(const std::optional<std::vector<std::string>>& restorePaths, const std::string& destination) {
  struct stat status;
  if (destination.empty() || stat(destination.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) ||
      access(destination.c_str(), R_OK | W_OK | X_OK) != 0) {
    operation_.logErrorMessage("Destination directory \"%@\" is not accessible", destination);
    return false;
  }
  if (Status scratch = TemporaryFile::check(); !scratch.ok()) {
    operation_.logErrorMessage("Failed preparing temporary files (%@)", scratch.message());
    return false;
  }

  std::vector<std::string> paths;
  if (restorePaths) {
    paths = *restorePaths;
    target_ = destination;
  } else {
    // A whole restore goes into a folder named after the backed-up one.
    paths.push_back(std::string());
    std::string name = LastComponentOfRoot(scanner_.rootDirectory());
    if (!IsSafeName(name)) {
      // Safety: the root's name becomes a component of the target.
      refuse(scanner_.rootDirectory());
      return false;
    }
    target_ = JoinPath(destination, name);
    if (!prepareRoot()) return finish(false);
  }

  if (erase_ && !eraseTarget()) return finish(false);
  if (operation_.isCancelled()) return finish(false);

  select(paths);
  if (selection_.empty()) {
    operation_.logErrorMessage("Nothing to restore");
    return finish(false);
  }

  plan();
  // Every archive takes one slot; refuse before anything is made.
  if (archives_.size() > ArchiveSlots::kMaximumArchiveSlots) {
    throw InternalInconsistency("Maximum number of results reached");
  }
  makeDirectories();
  createSteps();

  bool success = operation_.runOperations();
  slots_.releaseAll();
  return finish(success);
}

bool RestoreRun::finish(bool success) {
  if (success) {
    linkHardLinks();
    applyDirectoryProperties();
  }
  else rollBack();
  operation_.resetUniqueCreatedPaths();
  return success;
}

// ---- Root folder and erase --------------------------------------------------

bool RestoreRun::prepareRoot() {
  const char* path = target_.c_str();
  struct stat status;
  if (lstat(path, &status) == 0) {
    if (S_ISDIR(status.st_mode)) {
      if (chmod(path, 0700) != 0) {
        operation_.logErrorMessage("Failed changing permissions for root directory \"%@\" (%s)", target_,
                                   ErrnoText(errno));
        return false;
      }
      rootPrepared_ = true;
      return true;
    }
    // A file or a link (also one to a folder) under the root's name goes.
    if (!operation_.deleteFileAtPath(target_)) return false;
  } else if (errno != ENOENT) {
    operation_.logErrorMessage("Failed creating root directory \"%@\" (%s)", target_, ErrnoText(errno));
    return false;
  }
  if (mkdir(path, 0700) != 0 || chmod(path, 0700) != 0) {
    operation_.logErrorMessage("Failed creating root directory \"%@\" (%s)", target_, ErrnoText(errno));
    return false;
  }
  rootCreated_ = true;
  rootPrepared_ = true;
  operation_.addCopiedPath(std::string());
  return true;
}

bool RestoreRun::eraseTarget() {
  std::string top = target_;
  char* roots[] = {top.data(), nullptr};
  // Physical walk: links are deleted, never followed.
  FTS* walk = fts_open(roots, FTS_PHYSICAL | FTS_NOCHDIR, nullptr);
  if (!walk) {
    operation_.logErrorMessage("Failed reading directory \"%@\" (%s)", target_, ErrnoText(errno));
    return false;
  }
  const std::string prefix = target_.back() == '/' ? target_ : target_ + "/";
  auto relative = [&](const FTSENT* entry) {
    std::string path = entry->fts_path;
    return path.compare(0, prefix.size(), prefix) == 0 ? path.substr(prefix.size()) : path;
  };
  bool success = true;
  errno = 0;
  while (FTSENT* entry = fts_read(walk)) {
    switch (entry->fts_info) {
      case FTS_D:
      case FTS_DC:
        break;
      case FTS_DP:
        if (entry->fts_level > 0) {
          if (removeBelowTarget(relative(entry), RemoveKind::kFolder)) operation_.addDeletedPath(relative(entry));
          else success = false;
        }
        break;
      case FTS_DNR:
      case FTS_ERR:
      case FTS_NS:
        operation_.logErrorMessage("Failed reading directory \"%@\" (%s)", std::string(entry->fts_path),
                                   ErrnoText(entry->fts_errno));
        success = false;
        break;
      default:  // files, links, dangling links, anything else
        if (entry->fts_level > 0) {
          if (removeBelowTarget(relative(entry), RemoveKind::kFile)) operation_.addDeletedPath(relative(entry));
          else success = false;
        }
        break;
    }
    errno = 0;
  }
  // fts_read answers null with errno set when the walk broke off.
  if (errno != 0) {
    operation_.logErrorMessage("Failed reading directory \"%@\" (%s)", target_, ErrnoText(errno));
    success = false;
  }
  fts_close(walk);
  return success;
}

// ---- Selection ---------------------------------------------------------------

void RestoreRun::refuse(std::string_view path) {
  operation_.logErrorMessage("Refusing unsafe path \"%@\" from the backup data", Printable(path));
  operation_.addSkippedPath(std::string(path));
}

RestoreRun::Added RestoreRun::addToSelection(const DirectoryItemPtr& item) {
  auto [found, inserted] = selection_.emplace(item->path(), item);
  if (inserted) return Added::kNew;
  // The same item reached again (as an ancestor of several paths, or below
  // two requested folders).
  if ((found->second->mode() & 0xF000) == (item->mode() & 0xF000)) return Added::kPresent;
  // Safety: two records under one name; the first one stays, so that a link
  // cannot take the place of a folder whose contents are restored.
  refuse(item->path());
  return Added::kRefused;
}

void RestoreRun::select(const std::vector<std::string>& paths) {
  for (const std::string& requested : paths) {
    std::string path = StandardizePath(requested);
    // Safety: a requested path lies inside the backup; an absolute one, or
    // one that climbs with "..", names nothing that may be restored.
    if (!path.empty() && !IsSafeRelativePath(path)) {
      refuse(requested);
      continue;
    }
    // Ancestors, from the immediate parent upward.
    std::vector<DirectoryItemPtr> ancestors;
    bool belowFolders = true;
    for (std::string parent = ParentPath(path); !parent.empty(); parent = ParentPath(parent)) {
      DirectoryItemPtr item = scanner_.directoryItemAtSubpath(parent);
      if (!item) {
        operation_.logErrorMessage("No backup data entry for path \"%@\"", parent);
        operation_.addSkippedPath(parent);
      } else if (!item->isDirectory()) {
        // Safety: below a file or a link, a path could only be reached
        // through that link.
        belowFolders = false;
      } else {
        ancestors.push_back(item);
      }
    }
    if (!belowFolders) {
      refuse(path);
      continue;
    }
    for (const DirectoryItemPtr& ancestor : ancestors) addToSelection(ancestor);

    DirectoryItemPtr item = scanner_.directoryItemAtSubpath(path);
    if (!item) {
      operation_.logErrorMessage("No backup data entry for path \"%@\"", path);
      operation_.addSkippedPath(path);
      continue;
    }
    if (!path.empty() && addToSelection(item) == Added::kRefused) continue;
    if (item->isDirectory()) selectDescendants(path);
  }
}

// Everything below a folder of the snapshot. The records are read from the
// snapshot's folder maps rather than from a recursive listing because only
// the maps show each name by itself: a listing joins names into paths, and a
// name holding a "/" would read as two harmless components.
void RestoreRun::selectDescendants(const std::string& directory) {
  auto found = scanner_.directories().find(directory);
  if (found == scanner_.directories().end()) return;
  for (const auto& [name, record] : found->second) {
    std::string path = directory.empty() ? name.str() : directory + "/" + name;
    if (!IsSafeName(name)) {
      refuse(path);
      continue;
    }
    DirectoryItemPtr item = DirectoryItem::initWithPath(path, record);
    if (addToSelection(item) == Added::kNew && record.isDirectory()) selectDescendants(path);
  }
}

// ---- Plan, folders and steps -------------------------------------------------

void RestoreRun::plan() {
  for (const auto& [path, item] : selection_) {
    if (item->isDirectory()) {
      directories_.push_back(item);
      continue;
    }
    std::optional<StorageRecord> record = ValidStorageRecordOfItem(*item);
    if (!record) {
      operation_.logErrorMessage("[Internal Error] Invalid backup data entry \"%@\"", item->description());
      continue;
    }
    if (plannedAsHardLink(*item, *record)) continue;
    if (record->isStoredByItself()) {
      storedFiles_.push_back({item, *record});
    } else {
      std::uint32_t key = record->storageIndex | (record->isCompressedArchive() ? kCompressedArchiveBit : 0);
      archives_[key].push_back(item);
    }
  }
  std::sort(directories_.begin(), directories_.end(),
            [](const DirectoryItemPtr& a, const DirectoryItemPtr& b) { return a->path() < b->path(); });
}

// ---- Hard links -------------------------------------------------------------
// The snapshot keeps a file's inode number (its low 32 bits), not which files
// were links of one another. Files that agree on the inode number and on
// everything a link shares - size, modification date, mode and the content
// digest - were one file with several names: the first is restored, the
// others are linked to it. Without a digest (backups made without digests)
// nothing is linked: equal numbers alone may come from two file systems.
bool RestoreRun::plannedAsHardLink(const DirectoryItem& item, const StorageRecord& record) {
  if (item.nodeID() == 0 || item.isSymbolicLink() || item.isDirectory()) return false;
  const std::array<std::uint8_t, 16> noDigest{};
  if (record.digest == noDigest) return false;
  InodeKey key{item.nodeID(), item.dataSize(), item.modificationDate(), item.mode(), record.digest};
  auto [known, inserted] = restoredInodes_.emplace(key, item.path());
  if (inserted) return false;
  hardLinks_.emplace_back(scanner_.directoryItemAtSubpath(item.path()), known->second);
  return true;
}

void RestoreRun::linkHardLinks() {
  for (const auto& [item, linkedTo] : hardLinks_) {
    if (!item) continue;
    const std::string& path = item->path();
    if (!isBelowMadeDirectory(path)) {
      operation_.addSkippedPath(path);
      continue;
    }
    // Both names resolved without following links; the existing one must be
    // the regular file this run restored.
    Expected<ItemBelow> existing = OpenParentBelow(target_, linkedTo);
    Expected<ItemBelow> created = OpenParentBelow(target_, path);
    struct stat status {};
    int error = !existing ? existing.status().code() : !created ? created.status().code() : 0;
    if (error == 0 && (fstatat(existing->parent.get(), existing->name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
                       !S_ISREG(status.st_mode))) {
      error = errno ? errno : EINVAL;
    }
    if (error == 0 && !erase_) {
      // What stands there already goes, as it would for a restored file.
      if (unlinkat(created->parent.get(), created->name.c_str(), 0) != 0 && errno != ENOENT) error = errno;
    }
    if (error == 0 && linkat(existing->parent.get(), existing->name.c_str(), created->parent.get(),
                             created->name.c_str(), 0) != 0) {
      error = errno;
    }
    if (error != 0) {
      operation_.logErrorMessage("Failed linking \"%@\" to \"%@\" (%s)", JoinPath(target_, path),
                                 JoinPath(target_, linkedTo), ErrnoText(error));
      operation_.addSkippedPath(path);
      continue;
    }
    operation_.addUniqueCreatedPath(path);
    operation_.addCopiedPath(path);
  }
}

void RestoreRun::makeDirectories() {
  UniqueFd root(open(target_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (root.get() < 0) {
    // Every folder below fails the same way.
    int error = errno;
    for (const DirectoryItemPtr& directory : directories_) {
      operation_.logErrorMessage("Failed creating directory \"%@\" (%s)", JoinPath(target_, directory->path()),
                                 ErrnoText(error));
    }
    return;
  }
  madeDirectories_.insert(std::string());

  for (const DirectoryItemPtr& directory : directories_) {
    const std::string& path = directory->path();
    const std::string fullPath = JoinPath(target_, path);
    const std::string name = LastComponent(path);
    Expected<UniqueFd> opened = OpenFolderBelow(root.get(), ParentPath(path));
    if (!opened) {
      operation_.logErrorMessage("Failed creating directory \"%@\" (%s)", fullPath, ErrnoText(opened.status().code()));
      continue;
    }
    UniqueFd parent = std::move(*opened);
    struct stat status;
    if (fstatat(parent.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
      if (S_ISDIR(status.st_mode)) {
        UniqueFd existing(openat(parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (existing.get() < 0 || fchmod(existing.get(), 0700) != 0) {
          operation_.logErrorMessage("Failed changing permissions for directory \"%@\" (%s)", fullPath,
                                     ErrnoText(errno));
        }
        if (existing.get() >= 0) madeDirectories_.insert(path);
        continue;
      }
      // Safety: a file or a link where the folder belongs is removed through
      // the parent's descriptor (the parent cannot have been swapped for a
      // link meanwhile).
      if (unlinkat(parent.get(), name.c_str(), 0) != 0) {
        operation_.logErrorMessage("Failed deleting file \"%@\" (%s)", fullPath, ErrnoText(errno));
        continue;
      }
    } else if (errno != ENOENT) {
      operation_.logErrorMessage("Failed creating directory \"%@\" (%s)", fullPath, ErrnoText(errno));
      continue;
    }
    if (mkdirat(parent.get(), name.c_str(), 0700) != 0) {
      operation_.logErrorMessage("Failed creating directory \"%@\" (%s)", fullPath, ErrnoText(errno));
      continue;
    }
    createdDirectories_.push_back(path);
    madeDirectories_.insert(path);
    operation_.addCopiedPath(path);
    // The process's umask must not narrow the owner's access.
    UniqueFd made(openat(parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (made.get() < 0 || fchmod(made.get(), 0700) != 0) {
      operation_.logErrorMessage("Failed changing permissions for directory \"%@\" (%s)", fullPath,
                                 ErrnoText(errno));
    }
  }
}

bool RestoreRun::isBelowMadeDirectory(const std::string& path) const {
  return madeDirectories_.count(ParentPath(path)) != 0;
}

// Clears the way for a file stored by itself: its part steps open the
// target without following a link, and the finishing step of a file without
// parts unpacks metadata onto whatever is there, so anything but a plain
// file goes first; a file without parts is created empty here.
bool RestoreRun::prepareFileTarget(const StoredFile& file) {
  const std::string& path = file.item->path();
  const std::string fullPath = JoinPath(target_, path);
  // Safety: the parent is opened without following links, and everything
  // below happens relative to it.
  Expected<ItemBelow> place = OpenParentBelow(target_, path);
  if (!place) {
    operation_.logErrorMessage("Failed opening file \"%@\" (%s)", fullPath, ErrnoText(place.status().code()));
    return false;
  }
  const int parent = place->parent.get();
  const char* name = place->name.c_str();
  struct stat status;
  if (fstatat(parent, name, &status, AT_SYMLINK_NOFOLLOW) == 0) {
    const bool folder = S_ISDIR(status.st_mode);
    if (folder || !S_ISREG(status.st_mode) || file.record.partCount == 0) {
      if (unlinkat(parent, name, folder ? AT_REMOVEDIR : 0) != 0) {
        const int error = errno;
        if (folder) operation_.logErrorMessage("Failed deleting directory \"%@\" (%s)", fullPath, ErrnoText(error));
        else operation_.logErrorMessage("Failed deleting file \"%@\" (%s)", fullPath, ErrnoText(error));
        return false;
      }
      operation_.addDeletedPath(path);
    }
  }
  if (file.record.partCount == 0) {
    int fd = openat(parent, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      operation_.logErrorMessage("Failed opening file \"%@\" (%s)", fullPath, ErrnoText(errno));
      return false;
    }
    close(fd);
    operation_.addUniqueCreatedPath(path);
  }
  return true;
}

const Dictionary& RestoreRun::backupFiles() const {
  static const Dictionary kNone;
  const Value& files = scanner_.userInfoForKey(kBackupFilesKey);
  return files.isDictionary() ? files.asDictionary() : kNone;
}

std::optional<UploadInformation> RestoreRun::uploadInformation(const std::string& name) const {
  return UploadInformation::fromValue(backupFiles().get(name));
}

Value RestoreRun::uploadedSize(const std::string& name) const {
  std::optional<UploadInformation> information = uploadInformation(name);
  return information ? Value(information->size) : Value();
}

Value RestoreRun::uploadDigest(const std::string& name) const {
  std::optional<UploadInformation> information = uploadInformation(name);
  return information ? Value(information->digest) : Value();
}

void RestoreRun::createSteps() {
  RemoteBackupOperation* command = &operation_;
  const bool encrypted = operation_.isEncrypted();
  auto skipBelowMissingFolder = [&](const DirectoryItem& item) {
    // Safety: the folder above is not in the backup or could not be made
    // (both reported already); writing there would go through whatever is
    // in its place.
    operation_.addSkippedPath(item.path());
  };

  for (const StoredFile& file : storedFiles_) {
    const DirectoryItemPtr& item = file.item;
    if (!isBelowMadeDirectory(item->path())) {
      skipBelowMissingFolder(*item);
      continue;
    }
    if (!prepareFileTarget(file)) {
      operation_.addSkippedPath(item->path());
      continue;
    }
    const std::uint32_t fileIndex = file.record.storageIndex;
    const std::string baseName = FileBaseName(fileIndex, item->path());
    HelperOperationPtr first;
    HelperOperationPtr previous;
    // Parts after the first one the revision does not list are not fetched:
    // that one fails the file already.
    const int parts = std::min<int>(file.record.partCount, ListedPartCount(file.record, baseName, encrypted,
                                                                           backupFiles()) + 1);
    for (int part = 1; part <= parts; ++part) {
      std::string name = FilePartName(baseName, part, encrypted);
      Value digest = uploadDigest(name);
      auto step = std::make_shared<RemoteBackupDownloadPartOperation>(
          command, Value(item), fileIndex, Array{Value(target_), Value(part), Value(std::move(name)), digest});
      if (previous) previous->setNextOperation(step);
      else first = step;
      previous = step;
      operation_.addToPhaseMax(1);
    }
    Value metadataName;
    Value metadataDigest;
    if (file.record.hasMetadata()) {
      std::string name = FileMetadataName(baseName, encrypted);
      metadataDigest = uploadDigest(name);
      metadataName = Value(std::move(name));
    }
    auto finishing = std::make_shared<RemoteBackupDownloadFileOperation>(
        command, Value(item), fileIndex, Array{Value(target_), metadataName, metadataDigest});
    operation_.addToPhaseMax(1);
    if (previous) previous->setNextOperation(finishing);
    else first = finishing;
    operation_.addPendingOperation(first);
  }

  for (auto& [key, members] : archives_) {
    const bool compressed = (key & kCompressedArchiveBit) != 0;
    const std::uint32_t archiveIndex = key & ~kCompressedArchiveBit;
    Array items;
    for (const DirectoryItemPtr& member : members) {
      if (isBelowMadeDirectory(member->path())) items.push_back(Value(member));
      else skipBelowMissingFolder(*member);
    }
    if (items.empty()) continue;
    std::string name = ArchiveName(static_cast<int>(archiveIndex), compressed, encrypted);
    Value digest = uploadDigest(name);
    Value storedSize = uploadedSize(name);
    ArchiveSlotPtr slot = slots_.nextSlot();
    auto download = std::make_shared<RemoteBackupDownloadArchiveOperation>(
        command, Value(std::move(name)), archiveIndex, Array{Value(slot), digest, storedSize});
    auto extraction = std::make_shared<RemoteBackupExtractArchiveOperation>(
        command, Value(slot), archiveIndex, Array{Value(std::move(items)), Value(target_), Value(!erase_)});
    download->setNextOperation(extraction);
    operation_.addPendingOperation(download);
    operation_.addToPhaseMax(2);
  }
}

// ---- The end ----------------------------------------------------------------------

void RestoreRun::applyDirectoryProperties() {
  if (rootPrepared_) {
    if (DirectoryItemPtr root = scanner_.directoryItemAtSubpath(std::string_view())) {
      operation_.setPathProperties(target_, *root);
    }
  }
  for (auto it = directories_.rbegin(); it != directories_.rend(); ++it) {
    const std::string& path = (*it)->path();
    if (madeDirectories_.count(path) == 0) continue;
    // Safety: the properties are set by path; only a real folder gets them.
    const std::string fullPath = JoinPath(target_, path);
    struct stat status;
    if (lstat(fullPath.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) continue;
    operation_.setPathProperties(fullPath, **it);
  }
}

void RestoreRun::rollBack() {
  // Safety: the backup data may have put a link where a folder of the run
  // was (an archive holding a link under a folder's name); every deletion
  // resolves its folder from the target down without following links, so a
  // link on the way stops it instead of leading outside.
  for (const std::string& path : operation_.uniqueCreatedPaths()) {
    if (!removeBelowTarget(path, RemoveKind::kFile)) operation_.addSkippedPath(path);
  }
  for (auto it = createdDirectories_.rbegin(); it != createdDirectories_.rend(); ++it) {
    if (!removeBelowTarget(*it, RemoveKind::kFolder)) operation_.addSkippedPath(*it);
  }
  if (rootCreated_ && !operation_.deleteDirectoryAtPath(target_)) operation_.addSkippedPath(std::string());
}

bool RestoreRun::removeBelowTarget(const std::string& path, RemoveKind kind) {
  Expected<bool> removed = RemoveBelow(target_, path, kind);
  if (removed) return true;
  const std::string fullPath = JoinPath(target_, path);
  const std::string why = ErrnoText(removed.status().code());
  if (kind == RemoveKind::kFolder) operation_.logErrorMessage("Failed deleting directory \"%@\" (%s)", fullPath, why);
  else operation_.logErrorMessage("Failed deleting file \"%@\" (%s)", fullPath, why);
  return false;
}

}  // namespace

bool RemoteBackupOperation::restoreBackup(const std::optional<std::vector<std::string>>& restorePaths,
                                          const std::string& destination, bool eraseDestination) {
  if (!scanner()) {
    logErrorMessage("No backup data available at \"%@\"", displayDestinationURL());
    return false;
  }
  RestoreRun run(*this, *scanner(), eraseDestination);
  return run.run(restorePaths, destination);
}

}  // namespace quorvel
