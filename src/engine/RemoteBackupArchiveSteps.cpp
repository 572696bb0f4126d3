// The archive steps (see RemoteBackupArchiveSteps.h) and the bill of
// materials writer they share.
#include "engine/RemoteBackupArchiveSteps.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "engine/ArchiveSupport.h"
#include "engine/BackupStorage.h"
#include "foundation/AtomicFile.h"
#include "foundation/Format.h"
#include "foundation/InternalInconsistency.h"
#include "snapshot/DirectoryScanner.h"
#include "snapshot/PathOrder.h"

namespace quorvel {

namespace {

std::string ErrorText(int error) { return std::string(std::strerror(error)); }

// The signal text the archiver's failure messages show for a status.
std::string StatusDescription(int status) {
  return SignalDescription(status).value_or(Format("Unknown signal: %i", status));
}

void RemoveTemporaryFile(const std::string& path) { unlink(path.c_str()); }

// Modification time and digest of an archive member as it was examined.
struct MemberState {
  DirectoryItemPtr item;
  std::string path;
  FileUploadState state;
};

// Unlinks destination/subpath without following any symbolic link on the
// way: every folder below the destination is opened with O_NOFOLLOW. Answers
// 1 when something was deleted, 0 when there was nothing to delete, -1 on a
// failure (errno set; ELOOP when a folder on the way is a symbolic link).
int UnlinkBelow(const std::string& destination, const std::string& subpath) {
  std::vector<std::string> components;
  std::size_t start = 0;
  while (start <= subpath.size()) {
    std::size_t end = subpath.find('/', start);
    if (end == std::string::npos) end = subpath.size();
    components.push_back(subpath.substr(start, end - start));
    start = end + 1;
  }
  for (const std::string& component : components) {
    if (component.empty() || component == "." || component == "..") {
      errno = EINVAL;
      return -1;
    }
  }
  int directory = open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) return errno == ENOENT ? 0 : -1;
  for (std::size_t i = 0; i + 1 < components.size(); ++i) {
    int next = openat(directory, components[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int saved = errno;
    close(directory);
    if (next < 0) {
      if (saved == ENOENT) return 0;
      errno = saved;
      return -1;
    }
    directory = next;
  }
  struct stat status;
  if (fstatat(directory, components.back().c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    int saved = errno;
    close(directory);
    if (saved == ENOENT) return 0;
    errno = saved;
    return -1;
  }
  int result = unlinkat(directory, components.back().c_str(), S_ISDIR(status.st_mode) ? AT_REMOVEDIR : 0);
  int saved = errno;
  close(directory);
  errno = saved;
  return result == 0 ? 1 : -1;
}

}  // namespace

// ---------------------------------------------------------------------------
// Bill of materials

std::vector<DirectoryItemPtr> DirectoryItemsOfArray(const Value& array) {
  std::vector<DirectoryItemPtr> items;
  if (!array.isArray()) return items;
  items.reserve(array.asArray().size());
  for (const Value& element : array.asArray()) {
    if (DirectoryItemPtr item = element.object<DirectoryItem>()) items.push_back(std::move(item));
  }
  return items;
}

std::optional<std::string> WriteBOMForFiles(RemoteBackupHelperOperation& step,
                                            const std::vector<DirectoryItemPtr>& items, std::uint32_t archiveIndex,
                                            bool includeAppleDouble) {
  RemoteBackupOperation& command = step.mainOperation();
  const std::string listPath = NewTemporaryPath();
  const std::string bomPath = NewTemporaryPath();

  std::vector<std::string> entries;
  entries.reserve(items.size() * (includeAppleDouble ? 2 : 1));
  for (const DirectoryItemPtr& item : items) {
    entries.push_back(item->path());
    if (includeAppleDouble && ItemHasMetadata(*item)) entries.push_back(AppleDoubleCompanionPath(item->path()));
  }
  std::string text = BomFileListText(std::move(entries));

  if (step.isCancelled()) return std::nullopt;
  if (WriteFileAtomically(listPath, text, 0600) != 0) {
    command.logErrorMessage("Failed writing file list for archive #%i to \"%@\"", static_cast<int>(archiveIndex),
                            listPath);
    return std::nullopt;
  }
  std::optional<std::string> output =
      Task::runWithToolPath(MkbomToolPath(), {"-s", "-i", listPath, bomPath}, std::string(), 0.0);
  RemoveTemporaryFile(listPath);
  if (!output) {
    command.logErrorMessage("Failed creating BOM from file list for archive #%i at \"%@\"",
                            static_cast<int>(archiveIndex), bomPath);
    RemoveTemporaryFile(bomPath);
    return std::nullopt;
  }
  return bomPath;
}

// ---------------------------------------------------------------------------
// Creating an archive

int RemoteBackupCreateArchiveOperation::runWithFileTransferController(FileTransferController& controller) {
  ArchiveSlotPtr slot = argument(0).object<ArchiveSlot>();
  if (!slot) throw InternalInconsistency(description() + " has no archive slot");
  const auto totalSize = static_cast<std::uint32_t>(argument(1).asUInt());
  const bool compress = argument(2).asBool();
  Data archive;
  int result = createArchiveWithFiles(DirectoryItemsOfArray(source()), index(), totalSize, compress, archive);
  if (result == HelperResultContinue) slot->put(std::move(archive));
  return result;
}

int RemoteBackupCreateArchiveOperation::createArchiveWithFiles(std::vector<DirectoryItemPtr> members,
                                                               std::uint32_t archiveIndex, std::uint32_t totalSize,
                                                               bool compress, Data& outArchive) {
  RemoteBackupOperation& command = mainOperation();
  const bool digests = remoteController().computeFileDigests();
  const int number = static_cast<int>(archiveIndex);

  // Examine every member: its modification time and, with digests on, its digest.
  std::vector<MemberState> recorded;
  std::vector<DirectoryItemPtr> failed;
  recorded.reserve(members.size());
  const auto memberCount = static_cast<std::uint32_t>(members.size());
  const bool digestPhase = digests && !members.empty();
  if (digestPhase) {
    command.willBeginPhaseWithType(kPhaseComputeArchiveDigest, archiveIndex);
    command.didUpdatePhaseWithType(kPhaseComputeArchiveDigest, archiveIndex, 0, memberCount);
  }
  std::uint32_t examined = 0;
  for (const DirectoryItemPtr& member : members) {
    if (isCancelled()) break;
    MemberState state{member, sourcePathOfItem(*member), {}};
    struct stat status;
    if (lstat(state.path.c_str(), &status) != 0) {
      command.logErrorMessage("Failed retrieving status for file \"%@\" (%s)", state.path, ErrorText(errno));
      failed.push_back(member);
      continue;
    }
    state.state.modificationSeconds = static_cast<std::uint32_t>(status.st_mtim.tv_sec);
    state.state.modificationNanoseconds = static_cast<std::uint32_t>(status.st_mtim.tv_nsec);
    if (digests) {
      if (!computeDigestForFile(state.path, static_cast<std::uint64_t>(status.st_size), S_ISLNK(status.st_mode), 0,
                                state.state.digest.data())) {
        failed.push_back(member);
        continue;
      }
      command.didUpdatePhaseWithType(kPhaseComputeArchiveDigest, archiveIndex, ++examined, memberCount);
    }
    recorded.push_back(std::move(state));
  }
  if (digestPhase) command.didEndPhaseWithType(kPhaseComputeArchiveDigest, archiveIndex);
  if (isCancelled()) return HelperResultAbort;
  for (const DirectoryItemPtr& member : failed) skipFile(*member);
  if (recorded.empty()) return HelperResultDone;

  std::vector<DirectoryItemPtr> items;
  items.reserve(recorded.size());
  for (const MemberState& state : recorded) items.push_back(state.item);
  auto skipAll = [&] {
    for (const DirectoryItemPtr& item : items) skipFile(*item);
  };

  std::optional<std::string> bom = WriteBOMForFiles(*this, items, archiveIndex, false);
  if (!bom) {
    if (isCancelled()) return HelperResultAbort;
    skipAll();
    return HelperResultDone;
  }
  if (isCancelled()) {
    RemoveTemporaryFile(*bom);
    return HelperResultAbort;
  }

  // The archive is the archiver's standard output; its report comes on standard error.
  const std::string tool = DittoToolPath();
  Task task(tool, std::nullopt);
  task.setOutputDataCapacity(totalSize);
  task.setAbortTimeOut(kArchiverAbortTimeOut);
  task.setDelegate(this);
  const std::vector<std::string> arguments = {"-V", "-c",    compress ? "-j" : "--rsrc", "--noqtn",
                                              "--bom", *bom, command.sourceDir(),       "-"};
  Data archive;
  Data report;
  int status = inPhase(kPhaseCreateFileArchive, archiveIndex,
                       [&] { return task.runWithInputData(nullptr, arguments, &archive, &report); });
  RemoveTemporaryFile(*bom);
  if (isCancelled()) return HelperResultAbort;

  int outcome = HelperResultContinue;
  std::set<std::string> missing;
  if (status > 1 || status < 0 || report.empty()) {
    command.logErrorMessage("Failed creating archive #%i with \"%@\" (exit status %i <%s>)", number, tool, status,
                            StatusDescription(status));
    outcome = HelperResultDone;
  } else {
    std::set<std::string> archived = scanDittoErrorData(report);
    for (const MemberState& state : recorded) {
      if (!archived.count(state.item->path())) {
        command.logErrorMessage("Created archive #%i is missing file \"%@\"", number, state.path);
        missing.insert(state.item->path());
      }
    }

    // Record where the members now lie.
    command.lock();
    DirectoryScanner* scanner = command.scanner().get();
    for (const MemberState& state : recorded) {
      const std::string& subpath = state.item->path();
      if (missing.count(subpath)) continue;
      if (!scanner || !scanner->updateDirectoryItemAtSubpath(subpath)) {
        command.logErrorMessage("Failed updating backup info for \"%@\"", subpath);
        missing.insert(subpath);
        continue;
      }
      StorageRecord record;
      record.storageKind = compress ? StorageKindCompressedArchive : StorageKindArchive;
      record.storageIndex = static_cast<std::uint16_t>(archiveIndex);
      record.partCount = 0;
      record.digest = state.state.digest;
      if (!SetStorageRecordOfItem(*scanner, subpath, record)) {
        command.logErrorMessage("Failed setting backup info for \"%@\"", subpath);
        missing.insert(subpath);
      }
    }
    command.unlock();

    // Nothing may have changed while the archive was made.
    if (digests) {
      command.willBeginPhaseWithType(kPhaseComputeArchiveDigest, archiveIndex);
      command.didUpdatePhaseWithType(kPhaseComputeArchiveDigest, archiveIndex, 0,
                                     static_cast<std::uint32_t>(recorded.size()));
    }
    std::uint32_t checked = 0;
    for (const MemberState& state : recorded) {
      if (isCancelled()) {
        outcome = HelperResultAbort;
        break;
      }
      struct stat status;
      bool changed = lstat(state.path.c_str(), &status) != 0 ||
                     static_cast<std::uint32_t>(status.st_mtim.tv_sec) != state.state.modificationSeconds ||
                     static_cast<std::uint32_t>(status.st_mtim.tv_nsec) != state.state.modificationNanoseconds;
      if (!changed && digests) {
        std::uint8_t digest[16];
        changed = !computeDigestForFile(state.path, static_cast<std::uint64_t>(status.st_size),
                                        S_ISLNK(status.st_mode), 0, digest) ||
                  std::memcmp(digest, state.state.digest.data(), sizeof digest) != 0;
        command.didUpdatePhaseWithType(kPhaseComputeArchiveDigest, archiveIndex, ++checked,
                                       static_cast<std::uint32_t>(recorded.size()));
      }
      if (changed) {
        command.logErrorMessage(
            "File \"%@\" has been modified while being backed up (will automatically try again later)",
            state.path);
        outcome = HelperResultRetry;
        break;
      }
    }
    if (digests) command.didEndPhaseWithType(kPhaseComputeArchiveDigest, archiveIndex);

    if (outcome == HelperResultContinue && missing.size() == recorded.size()) {
      command.logErrorMessage("Created archive #%i is empty", number);
      outcome = HelperResultDone;
    }
  }

  switch (outcome) {
    case HelperResultContinue:
      for (const MemberState& state : recorded) {
        if (missing.count(state.item->path())) {
          skipFile(*state.item);
        } else {
          command.addCopiedPath(state.item->path());
        }
      }
      outArchive = std::move(archive);
      return HelperResultContinue;
    case HelperResultDone:
      skipAll();
      return HelperResultDone;
    default:
      return outcome;
  }
}

std::set<std::string> RemoteBackupCreateArchiveOperation::scanDittoErrorData(const Data& errorData) {
  std::vector<std::string> otherLines;
  std::set<std::string> paths = ParseDittoReport(errorData, &otherLines);
  if (!otherLines.empty()) {
    const std::string tool = DittoToolPath();
    for (const std::string& line : otherLines) mainOperation().logErrorMessage("[%@] %@", tool, line);
  }
  return paths;
}

// ---------------------------------------------------------------------------
// Extracting an archive

int RemoteBackupExtractArchiveOperation::runWithFileTransferController(FileTransferController& controller) {
  ArchiveSlotPtr slot = source().object<ArchiveSlot>();
  std::shared_ptr<const Data> bytes = slot ? slot->data() : nullptr;
  if (!bytes) {
    mainOperation().logErrorMessage("[Internal Error] Missing archive #%i", static_cast<int>(index()));
    return HelperResultAbort;
  }
  int result = extractArchiveFromData(*bytes, index(), DirectoryItemsOfArray(argument(0)), argument(1).asString(),
                                      argument(2).asBool());
  if (result == HelperResultContinue) {
    bytes.reset();
    slot->clear();
  }
  return result;
}

int RemoteBackupExtractArchiveOperation::extractArchiveFromData(const Data& archive, std::uint32_t archiveIndex,
                                                                std::vector<DirectoryItemPtr> items,
                                                                const std::string& destinationPath,
                                                                bool eraseDestination) {
  RemoteBackupOperation& command = mainOperation();
  const int number = static_cast<int>(archiveIndex);

  std::optional<std::string> bom = WriteBOMForFiles(*this, items, archiveIndex, true);
  if (!bom) {
    if (isCancelled()) return HelperResultAbort;
    for (const DirectoryItemPtr& item : items) command.addSkippedPath(item->path());
    return HelperResultDone;
  }
  if (isCancelled()) {
    RemoveTemporaryFile(*bom);
    return HelperResultAbort;
  }

  if (eraseDestination) {
    std::vector<DirectoryItemPtr> kept;
    kept.reserve(items.size());
    for (DirectoryItemPtr& item : items) {
      int deleted = UnlinkBelow(destinationPath, item->path());
      if (deleted < 0) {
        command.logErrorMessage("Failed deleting file \"%@\" (%s)", JoinPath(destinationPath, item->path()),
                                ErrorText(errno));
        command.addSkippedPath(item->path());
        continue;
      }
      if (deleted > 0) command.addDeletedPath(item->path());
      kept.push_back(std::move(item));
    }
    items = std::move(kept);
  }
  for (const DirectoryItemPtr& item : items) command.addUniqueCreatedPath(item->path());

  const std::string tool = DittoToolPath();
  Task task(tool, std::nullopt);
  task.setAbortTimeOut(kArchiverAbortTimeOut);
  task.setDelegate(this);
  Data output;
  Data report;
  int status = inPhase(kPhaseExtractFileArchive, archiveIndex, [&] {
    return task.runWithInputData(&archive, {"-x", "--bom", *bom, "-", destinationPath}, &output, &report);
  });
  RemoveTemporaryFile(*bom);
  if (isCancelled()) return HelperResultAbort;
  if (status != 0) {
    command.logErrorMessage("Failed extracting archive #%i with \"%@\" (exit status %i <%s>)\n%@", number, tool,
                            status, StatusDescription(status), StringFromData(report));
    return HelperResultDone;
  }

  const bool digests = remoteController().computeFileDigests();
  const auto count = static_cast<std::uint32_t>(items.size());
  if (digests) {
    command.willBeginPhaseWithType(kPhaseComputeArchiveDigest, archiveIndex);
    command.didUpdatePhaseWithType(kPhaseComputeArchiveDigest, archiveIndex, 0, count);
  }
  int result = HelperResultContinue;
  std::uint32_t done = 0;
  for (const DirectoryItemPtr& item : items) {
    if (isCancelled()) {
      result = HelperResultAbort;
      break;
    }
    const std::string target = JoinPath(destinationPath, item->path());
    if (verifyRestoredFile(*item, target, 0)) {
      command.setPathProperties(target, *item);
      command.addCopiedPath(item->path());
    }
    if (digests) command.didUpdatePhaseWithType(kPhaseComputeArchiveDigest, archiveIndex, ++done, count);
  }
  if (digests) command.didEndPhaseWithType(kPhaseComputeArchiveDigest, archiveIndex);
  return result;
}

}  // namespace quorvel
