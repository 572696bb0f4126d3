// The archive steps (see RemoteBackupArchiveSteps.h) and the bill of
// materials writer they share.
#include "engine/RemoteBackupArchiveSteps.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

#include "engine/ArchiveSupport.h"
#include "engine/ArchiveWriter.h"
#include "engine/BackupStorage.h"
#include "engine/RestoreTargetPaths.h"
#include "foundation/AtomicFile.h"
#include "foundation/Format.h"
#include "foundation/InternalInconsistency.h"
#include "snapshot/DirectoryScanner.h"
#include "snapshot/PathOrder.h"
#include "foundation/Posix.h"

namespace quorvel {

namespace {


// The signal text the archiver's failure messages show for a status.
std::string StatusDescription(int status) {
  return SignalDescription(status).value_or(Format("Unknown signal: %i", status));
}


// Modification time and digest of an archive member as it was examined,
// with what tells that it was not touched since: its status-change time
// (which every write and every metadata change moves on, and which no
// program can set back) and its size.
struct MemberState {
  DirectoryItemPtr item;
  std::string path;
  FileUploadState state;
  struct timespec changeTime {};
  off_t size = 0;
  bool regular = false;

  void recordStatus(const struct stat& status) {
    state.modificationSeconds = static_cast<std::uint32_t>(status.st_mtim.tv_sec);
    state.modificationNanoseconds = static_cast<std::uint32_t>(status.st_mtim.tv_nsec);
    changeTime = status.st_ctim;
    size = status.st_size;
    regular = S_ISREG(status.st_mode);
  }
  bool isUnchangedIn(const struct stat& status) const {
    return static_cast<std::uint32_t>(status.st_mtim.tv_sec) == state.modificationSeconds &&
           static_cast<std::uint32_t>(status.st_mtim.tv_nsec) == state.modificationNanoseconds &&
           status.st_ctim.tv_sec == changeTime.tv_sec && status.st_ctim.tv_nsec == changeTime.tv_nsec &&
           status.st_size == size;
  }
};

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

std::unique_ptr<TemporaryFile> WriteBOMForFiles(RemoteBackupHelperOperation& step,
                                                const std::vector<DirectoryItemPtr>& items,
                                                std::uint32_t archiveIndex, bool includeAppleDouble) {
  RemoteBackupOperation& command = step.mainOperation();
  TemporaryFile list;
  const std::string& listPath = list.path();
  auto bom = std::make_unique<TemporaryFile>();
  const std::string& bomPath = bom->path();

  std::vector<std::string> entries;
  entries.reserve(items.size() * (includeAppleDouble ? 2 : 1));
  for (const DirectoryItemPtr& item : items) {
    entries.push_back(item->path());
    if (includeAppleDouble && ItemHasMetadata(*item)) entries.push_back(AppleDoubleCompanionPath(item->path()));
  }
  std::string text = BomFileListText(std::move(entries));

  if (step.isCancelled()) return nullptr;
  if (Status written = WriteFileAtomically(listPath, text, 0600, false, false); !written.ok()) {
    command.logErrorMessage("Failed writing file list for archive #%i to \"%@\" (%@)", static_cast<int>(archiveIndex),
                            listPath, written.message());
    return nullptr;
  }
  std::optional<std::string> output =
      Task::runWithToolPath(MkbomToolPath(), {"-s", "-i", listPath, bomPath}, std::string(), 0.0);
  if (!output) {
    command.logErrorMessage("Failed creating BOM from file list for archive #%i at \"%@\"",
                            static_cast<int>(archiveIndex), bomPath);
    return nullptr;
  }
  return bom;
}

// ---------------------------------------------------------------------------
// Creating an archive

// One archive being made: the members examined, the archiver run, the new
// storage recorded, and a last look that nothing changed meanwhile.
class ArchiveCreation {
 public:
  ArchiveCreation(RemoteBackupCreateArchiveOperation& step, std::uint32_t archiveIndex, std::uint32_t totalSize,
                  bool compress)
      : step_(step),
        command_(step.mainOperation()),
        archiveIndex_(archiveIndex),
        totalSize_(totalSize),
        compress_(compress),
        digests_(step.remoteController().computeFileDigests()),
        inProcess_(!ArchiverToolIsChosen()) {}

  RemoteBackupCreateArchiveOperation::Outcome run(const std::vector<DirectoryItemPtr>& members);

 private:
  int number() const { return static_cast<int>(archiveIndex_); }
  // Each member's modification time and, with digests on, its digest; the
  // members that cannot be examined are skipped.
  void examine(const std::vector<DirectoryItemPtr>& members);
  // Runs the archiver over the examined members: its exit status, with the
  // archive and its report. In this process unless a tool was chosen
  // (QUORVEL_DITTO); either way the same archive and report come out.
  std::optional<int> runArchiver(Data& archive, Data& report);
  std::optional<int> runArchiverTool(Data& archive, Data& report);
  std::optional<int> runArchiverInProcess(Data& archive, Data& report);
  // Room for members that do not compress, with their headers (CPIO names
  // and companions) and the gzip framing, so that the buffer is never grown
  // by copying: unused room is never touched, so it costs no memory.
  std::uint64_t archiveRoom() const {
    return std::uint64_t{totalSize_} + totalSize_ / 64 + 1024 * recorded_.size() + 65536;
  }
  void recordStorage();
  // HelperResultContinue when every member held still, else Retry or Abort.
  int checkMembersHeldStill();
  RemoteBackupCreateArchiveOperation::Outcome finish(int outcome, Data archive);
  void skipAll() {
    for (const MemberState& state : recorded_) step_.skipFile(*state.item);
  }

  RemoteBackupCreateArchiveOperation& step_;
  RemoteBackupOperation& command_;
  const std::uint32_t archiveIndex_;
  const std::uint32_t totalSize_;
  const bool compress_;
  const bool digests_;
  // In this process a regular member's digest is taken from the bytes that
  // go into the archive, so it is read once.
  const bool inProcess_;
  std::vector<MemberState> recorded_;
  std::set<std::string> missing_;
};

RemoteBackupCreateArchiveOperation::Outcome ArchiveCreation::run(const std::vector<DirectoryItemPtr>& members) {
  examine(members);
  if (step_.isCancelled()) return {HelperResultAbort, {}};
  if (recorded_.empty()) return {HelperResultDone, {}};
  Data archive;
  Data report;
  std::optional<int> status = runArchiver(archive, report);
  if (step_.isCancelled()) return {HelperResultAbort, {}};
  if (!status) return finish(HelperResultDone, {});
  if (*status > 1 || *status < 0 || report.empty()) {
    command_.logErrorMessage("Failed creating archive #%i with \"%@\" (exit status %i <%s>)", number(),
                             DittoToolPath(), *status, StatusDescription(*status));
    return finish(HelperResultDone, {});
  }
  std::set<std::string> archived = step_.scanDittoErrorData(report);
  for (const MemberState& state : recorded_) {
    if (!archived.count(state.item->path())) {
      command_.logErrorMessage("Created archive #%i is missing file \"%@\"", number(), state.path);
      missing_.insert(state.item->path());
    }
  }
  recordStorage();
  int outcome = checkMembersHeldStill();
  if (outcome == HelperResultContinue && missing_.size() == recorded_.size()) {
    command_.logErrorMessage("Created archive #%i is empty", number());
    outcome = HelperResultDone;
  }
  return finish(outcome, std::move(archive));
}

void ArchiveCreation::examine(const std::vector<DirectoryItemPtr>& members) {
  std::vector<DirectoryItemPtr> failed;
  recorded_.reserve(members.size());
  const auto memberCount = static_cast<std::uint32_t>(members.size());
  const bool digestPhase = digests_ && !members.empty();
  if (digestPhase) {
    command_.willBeginPhaseWithType(kPhaseComputeArchiveDigest, archiveIndex_);
    command_.didUpdatePhaseWithType(kPhaseComputeArchiveDigest, archiveIndex_, 0, memberCount);
  }
  std::uint32_t examined = 0;
  for (const DirectoryItemPtr& member : members) {
    if (step_.isCancelled()) break;
    MemberState state{member, step_.sourcePathOfItem(*member), {}};
    struct stat status;
    if (lstat(state.path.c_str(), &status) != 0) {
      command_.logErrorMessage("Failed retrieving status for file \"%@\" (%s)", state.path, ErrnoText(errno));
      failed.push_back(member);
      continue;
    }
    state.recordStatus(status);
    if (digests_ && !(inProcess_ && S_ISREG(status.st_mode))) {
      if (!step_.computeDigestForFile(state.path, static_cast<std::uint64_t>(status.st_size), S_ISLNK(status.st_mode),
                                      0, state.state.digest.data())) {
        failed.push_back(member);
        continue;
      }
      command_.didUpdatePhaseWithType(kPhaseComputeArchiveDigest, archiveIndex_, ++examined, memberCount);
    }
    recorded_.push_back(std::move(state));
  }
  if (digestPhase) command_.didEndPhaseWithType(kPhaseComputeArchiveDigest, archiveIndex_);
  if (step_.isCancelled()) return;
  for (const DirectoryItemPtr& member : failed) step_.skipFile(*member);
}

std::optional<int> ArchiveCreation::runArchiver(Data& archive, Data& report) {
  return inProcess_ ? runArchiverInProcess(archive, report) : runArchiverTool(archive, report);
}

std::optional<int> ArchiveCreation::runArchiverTool(Data& archive, Data& report) {
  std::vector<DirectoryItemPtr> items;
  items.reserve(recorded_.size());
  for (const MemberState& state : recorded_) items.push_back(state.item);
  std::unique_ptr<TemporaryFile> bom = WriteBOMForFiles(step_, items, archiveIndex_, false);
  if (!bom || step_.isCancelled()) return std::nullopt;
  // The archive is the archiver's standard output; its report comes on standard error.
  Task task(DittoToolPath(), std::nullopt);
  task.setOutputDataCapacity(static_cast<std::uint32_t>(std::min<std::uint64_t>(archiveRoom(), UINT32_MAX)));
  task.setAbortTimeOut(kArchiverAbortTimeOut);
  task.setDelegate(&step_);
  const std::vector<std::string> arguments = {"-V",    "-c",        compress_ ? "-j" : "--rsrc", "--noqtn",
                                              "--bom", bom->path(), command_.sourceDir(),        "-"};
  int status = step_.inPhase(kPhaseCreateFileArchive, archiveIndex_,
                             [&] { return task.runWithInputData(nullptr, arguments, &archive, &report); });
  return status;
}

namespace {

// The archive run's view of the members: cancellation, and each regular
// member's digest taken from the bytes archived.
class MemberDigests : public ArchiveEntryObserver {
 public:
  MemberDigests(RemoteBackupHelperOperation& step, std::vector<MemberState>& members, bool digests)
      : step_(step), digests_(digests) {
    for (MemberState& member : members) members_.emplace(member.item->path(), &member);
  }
  bool shouldStop() override { return step_.isCancelled(); }
  ArchiveWriter::MemberData dataOfEntry(const std::string& relative) override {
    current_.reset();
    auto found = members_.find(relative);
    if (!digests_ || found == members_.end() || !found->second->regular) return {};
    current_ = std::make_unique<RunningFileDigest>();
    current_->beginPart(0);
    return [this](const std::uint8_t* bytes, std::size_t length) { current_->add(bytes, length); };
  }
  void entryWasAdded(const std::string& relative) override {
    if (!current_) return;
    MemberState& member = *members_.at(relative);
    if (auto digest = current_->digestOfFirst(static_cast<std::uint64_t>(member.size))) member.state.digest = *digest;
    current_.reset();
  }

 private:
  RemoteBackupHelperOperation& step_;
  const bool digests_;
  std::map<std::string, MemberState*> members_;
  std::unique_ptr<RunningFileDigest> current_;
};

}  // namespace

std::optional<int> ArchiveCreation::runArchiverInProcess(Data& archive, Data& report) {
  std::vector<std::string> paths;
  paths.reserve(recorded_.size());
  for (const MemberState& state : recorded_) paths.push_back(state.item->path());
  Expected<std::vector<std::string>> entries = ParseBomFileList(BomFileListText(std::move(paths)));
  if (!entries) {
    command_.logErrorMessage("Failed creating BOM from file list for archive #%i at \"%@\"", number(),
                             command_.sourceDir());
    return std::nullopt;
  }
  archive.reserve(static_cast<std::size_t>(archiveRoom()));
  std::string reportText;
  MemberDigests digests(step_, recorded_, digests_);
  auto append = [&archive](const void* bytes, std::size_t length) {
    const auto* first = static_cast<const std::uint8_t*>(bytes);
    archive.insert(archive.end(), first, first + length);
    return std::string();
  };
  int status = step_.inPhase(kPhaseCreateFileArchive, archiveIndex_, [&] {
    return WriteArchiveOfEntries(command_.sourceDir(), *entries, compress_, true, append,
                                 [&reportText](const std::string& text) { reportText += text; }, &digests);
  });
  report.assign(reportText.begin(), reportText.end());
  return status;
}

// Records where the members now lie (under the command's lock).
void ArchiveCreation::recordStorage() {
  command_.lock();
  DirectoryScanner* scanner = command_.scanner().get();
  for (const MemberState& state : recorded_) {
    const std::string& subpath = state.item->path();
    if (missing_.count(subpath)) continue;
    if (!scanner || !scanner->updateDirectoryItemAtSubpath(subpath)) {
      command_.logErrorMessage("Failed updating backup info for \"%@\"", subpath);
      missing_.insert(subpath);
      continue;
    }
    StorageRecord record;
    record.storageKind = compress_ ? StorageKindCompressedArchive : StorageKindArchive;
    record.storageIndex = static_cast<std::uint16_t>(archiveIndex_);
    record.partCount = 0;
    record.digest = state.state.digest;
    if (!SetStorageRecordOfItem(*scanner, subpath, record)) {
      command_.logErrorMessage("Failed setting backup info for \"%@\"", subpath);
      missing_.insert(subpath);
    }
  }
  command_.unlock();
}

// The digests were taken before the archiver read the members: a member
// whose status shows no change since then (see MemberState) was archived
// with the bytes that were digested, so it is not read a third time.
int ArchiveCreation::checkMembersHeldStill() {
  for (const MemberState& state : recorded_) {
    if (step_.isCancelled()) return HelperResultAbort;
    struct stat status;
    if (lstat(state.path.c_str(), &status) != 0 || !state.isUnchangedIn(status)) {
      command_.logErrorMessage(
          "File \"%@\" has been modified while being backed up (will automatically try again later)", state.path);
      return HelperResultRetry;
    }
  }
  return HelperResultContinue;
}

RemoteBackupCreateArchiveOperation::Outcome ArchiveCreation::finish(int outcome, Data archive) {
  if (outcome == HelperResultDone) {
    skipAll();
    return {HelperResultDone, {}};
  }
  if (outcome != HelperResultContinue) return {outcome, {}};
  for (const MemberState& state : recorded_) {
    if (missing_.count(state.item->path())) {
      step_.skipFile(*state.item);
    } else {
      command_.addCopiedPath(state.item->path());
    }
  }
  return {HelperResultContinue, std::move(archive)};
}

int RemoteBackupCreateArchiveOperation::runWithFileTransferController(FileTransferController& controller) {
  ArchiveSlotPtr slot = argument(0).object<ArchiveSlot>();
  if (!slot) throw InternalInconsistency(description() + " has no archive slot");
  const auto totalSize = static_cast<std::uint32_t>(argument(1).asUInt());
  const bool compress = argument(2).asBool();
  Outcome outcome = createArchiveWithFiles(DirectoryItemsOfArray(source()), index(), totalSize, compress);
  if (outcome.code == HelperResultContinue) slot->put(std::move(outcome.archive));
  return outcome.code;
}

RemoteBackupCreateArchiveOperation::Outcome RemoteBackupCreateArchiveOperation::createArchiveWithFiles(
    const std::vector<DirectoryItemPtr>& members, std::uint32_t archiveIndex, std::uint32_t totalSize, bool compress) {
  return ArchiveCreation(*this, archiveIndex, totalSize, compress).run(members);
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

  std::unique_ptr<TemporaryFile> bom = WriteBOMForFiles(*this, items, archiveIndex, true);
  if (!bom) {
    if (isCancelled()) return HelperResultAbort;
    for (const DirectoryItemPtr& item : items) command.addSkippedPath(item->path());
    return HelperResultDone;
  }
  if (isCancelled()) return HelperResultAbort;

  if (eraseDestination) {
    std::vector<DirectoryItemPtr> kept;
    kept.reserve(items.size());
    for (DirectoryItemPtr& item : items) {
      // Never through a link: a folder on the way that is a link fails.
      Expected<bool> deleted = RemoveBelow(destinationPath, item->path(), RemoveKind::kAny);
      if (!deleted) {
        command.logErrorMessage("Failed deleting file \"%@\" (%s)", JoinPath(destinationPath, item->path()),
                                ErrnoText(deleted.status().code()));
        command.addSkippedPath(item->path());
        continue;
      }
      if (*deleted) command.addDeletedPath(item->path());
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
    return task.runWithInputData(&archive, {"-x", "--bom", bom->path(), "-", destinationPath}, &output, &report);
  });
  bom.reset();
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
