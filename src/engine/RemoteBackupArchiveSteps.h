// The archive steps: packing many small files into one archive while a
// backup runs, and unpacking an archive's members while a restore runs.
//
// Both run the archiver (DittoToolPath(), quorvel-ditto) through Task with a
// bill of materials that quorvel-mkbom (MkbomToolPath()) makes from the exact
// member list, so an archive holds exactly the chosen members and an
// extraction writes exactly the chosen items. The archive bytes never touch
// the local disk: they go from the archiver's standard output into memory and
// through an ArchiveSlot to the upload step (and, on restore, from the
// download step through a slot to the archiver's standard input).
//
// Steps and their values (RemoteBackupHelperOperation's source / index /
// arguments):
//
//   RemoteBackupCreateArchiveOperation
//     source     Array of DirectoryItem objects (the members, paths relative
//                to the source root)
//     index      archive index
//     arguments  [slot (ArchiveSlot object), members' total size (unsigned
//                number, low 32 bits), compress flag (bool)]
//     Answers 3 with the archive bytes in the slot (its nextOperation, the
//     RemoteBackupUploadArchiveOperation of the same slot, runs next); 2 when
//     a member changed while it was archived (the whole step is made again
//     later with the same members and index); 0 when no archive came out
//     (its members are skipped); -2 when cancelled.
//
//   RemoteBackupExtractArchiveOperation
//     source     slot (ArchiveSlot object) holding the downloaded bytes
//     index      archive index
//     arguments  [Array of DirectoryItem objects (the items to extract,
//                paths relative to the restore root), destination directory
//                (text), delete-existing flag (bool)]
//     Answers 3 after extracting (each item that passes verification gets its
//     properties and joins the copied paths); 0 when the archiver failed;
//     -2 when cancelled or the slot is empty ("[Internal Error] Missing
//     archive #%i").
//
// Both steps are the archiver's TaskDelegate: a cancelled step stops its tool
// within the abort time-out of 0.5 seconds. Changes to the snapshot and the
// result lists are made under the main operation's lock. Temporary files (the
// file list and the BOM) are removed on every path.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/BackupStorage.h"
#include "engine/RemoteBackupHelperOperation.h"
#include "foundation/Data.h"
#include "foundation/Task.h"
#include "snapshot/DirectoryItem.h"

namespace quorvel {

// Abort polling interval of the archiver runs, in seconds.
inline constexpr double kArchiverAbortTimeOut = 0.5;

// Writes a bill of materials for the items (paths relative to the archive
// root) with quorvel-mkbom into a private scratch file, which goes with the
// answer.
// With includeAppleDouble, an item with a resource fork, extended attributes
// or an ACL also lists its "._" companion. Nothing when the step is cancelled
// or a tool or file operation failed ("Failed writing file list for archive
// #%i to "%@"", "Failed creating BOM from file list for archive #%i at
// "%@"", logged by the step's main operation). Any thread.
std::unique_ptr<TemporaryFile> WriteBOMForFiles(RemoteBackupHelperOperation& step,
                                                const std::vector<DirectoryItemPtr>& items,
                                                std::uint32_t archiveIndex, bool includeAppleDouble);

// The items of an Array of DirectoryItem objects (other elements are passed over).
std::vector<DirectoryItemPtr> DirectoryItemsOfArray(const Value& array);

class ArchiveCreation;

class RemoteBackupCreateArchiveOperation : public RemoteBackupHelperStep<RemoteBackupCreateArchiveOperation>,
                                           public TaskDelegate {
 public:
  using RemoteBackupHelperStep::RemoteBackupHelperStep;
  int runWithFileTransferController(FileTransferController& controller) override;
  const char* className() const override { return "RemoteBackupCreateArchiveOperation"; }

  // What making an archive came to: a helper result code and, with
  // HelperResultContinue, the archive's bytes.
  struct Outcome {
    int code = HelperResultDone;
    Data archive;
  };
  // Makes the archive of the members.
  Outcome createArchiveWithFiles(const std::vector<DirectoryItemPtr>& members, std::uint32_t archiveIndex,
                                 std::uint32_t totalSize, bool compress);
  // The relative paths the archiver's report names as archived; other lines
  // are logged as "[%@] %@" with the archiver's path.
  std::set<std::string> scanDittoErrorData(const Data& errorData);

  // TaskDelegate: true once the step is cancelled.
  bool shouldAbortTask(Task& task) override { return isCancelled(); }

 private:
  friend class ArchiveCreation;  // the stages of createArchiveWithFiles
};

class RemoteBackupExtractArchiveOperation : public RemoteBackupHelperStep<RemoteBackupExtractArchiveOperation>,
                                            public TaskDelegate {
 public:
  using RemoteBackupHelperStep::RemoteBackupHelperStep;
  int runWithFileTransferController(FileTransferController& controller) override;
  const char* className() const override { return "RemoteBackupExtractArchiveOperation"; }

  // Extracts the items from the archive bytes into destinationPath. With
  // eraseDestination, an existing target is unlinked first (never followed:
  // a link is removed, not what it points to; a directory that is not empty
  // cannot be removed and its item is skipped).
  int extractArchiveFromData(const Data& archive, std::uint32_t archiveIndex, std::vector<DirectoryItemPtr> items,
                             const std::string& destinationPath, bool eraseDestination);

  bool shouldAbortTask(Task& task) override { return isCancelled(); }
};

}  // namespace quorvel
