// RemoteBackupOperation: the operation of the destination commands 2 to 8
// (checkDestination, pruneDestination, testBackup, performBackup,
// verifyBackup, restoreBackup, deleteBackup), which RemoteBackupController
// names for them.
//
// performCommand first opens the destination, on the command's thread:
//   1. a transfer client for the URL (time-out 60 s, the controller's speed
//      limits x 1024, its encryption password, digests off, this operation
//      as delegate); it lists the destination root in phase
//      "checkDestination". No client or no listing: "Destination URL "%@"
//      is not reachable" and the command fails.
//   2. the head revision: the listing's "Revision_" names, newest (last in
//      plain text order) first. ".data" names are downloaded into memory
//      (into a buffer of the listed size when the listing gives one, so that
//      an encrypted file's trailing bytes stay as zeros the decoder ignores),
//      ".plist.gz" names through a temporary file that is deleted
//      afterwards. A failed download is retried while
//      shouldRetryAfterNetworkError answers yes; a download that fails for
//      good or a snapshot that does not decode moves on to the next older
//      revision. No "Revision_" name at all: the command goes on without a
//      snapshot (scanner() is null). All tried ones failed: the command fails.
//      The loaded snapshot gets ".fileName" = its name.
// then dispatches to the command body (see "Command bodies" below).
//
// Threads: the command body runs on the operation's thread. Helper steps
// (RemoteBackupHelperOperation) run on the controller's helper queue and
// reach back through the "helper step support" operations below; everything
// they change in the snapshot, "backupFiles", the result lists and
// pendingOperations is changed under lock() (BackupCommandOperation's
// recursive mutex). hasAborted is guarded by abortedMutex, which is taken
// before lock() when both are held.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "FileTransferController/FileTransferController.h"
#include "engine/BackupCommandOperation.h"
#include "engine/BackupInfoOperation.h"
#include "engine/BackupStorage.h"
#include "snapshot/DirectoryScanner.h"

namespace quorvel {

class RemoteBackupHelperOperation;
using HelperOperationPtr = std::shared_ptr<RemoteBackupHelperOperation>;

// Command arguments read by the destination commands (and
// kReportHiddenItemsArgument of BackupInfoOperation.h).
inline constexpr const char* kRestorePathsArgument = "restorePaths";
inline constexpr const char* kDestinationPathArgument = "destinationPath";
inline constexpr const char* kEraseDestinationArgument = "eraseDestination";
inline constexpr const char* kSkipVerificationArgument = "skipVerification";
inline constexpr const char* kDeleteDestinationArgument = "deleteDestination";

// Time-out of every transfer client of the destination commands, in seconds.
inline constexpr double kDestinationTransferTimeOut = 60.0;
// The largest revision file a destination may list. The listing comes from
// the destination and is not trusted: a larger one is refused before any
// memory is set aside for it, and an older revision is tried instead.
inline constexpr std::uint64_t kLargestRevisionFileSize = std::uint64_t{1} << 30;

class RemoteBackupOperation : public BackupCommandOperation, public FileTransferControllerDelegate {
 public:
  static const BackupOperationClass& Class();

  RemoteBackupOperation(std::shared_ptr<BackupController> controller, int command, const Dictionary& arguments);
  ~RemoteBackupOperation() override;

  // The source is read by pruneDestination, testBackup and performBackup only.
  bool requiresSourceForCommand(int command) const override;

  // Opens the destination, loads the head revision, runs the command body.
  // A number outside 2 to 8 raises "Unsupported command".
  std::optional<Dictionary> performCommand(int command, const Dictionary& arguments,
                                           const std::string& sourceDirectory,
                                           const std::shared_ptr<const Url>& destinationURL) override;
  void closeDestination() override;

  // ---- Command bodies ---------------------------------------------------------
  // Called by performCommand once the destination is open. Each body has a
  // source file of its own:
  //   checkDestination, testBackup, verifyBackup, pruneDestination,
  //   deleteBackup                       RemoteBackupDestinationCommands.cpp
  //   performBackup (command 5)          RemoteBackupPerformBackup.cpp
  //   restoreBackup (command 7)          RemoteBackupRestoreBackup.cpp
  // A body that this build does not offer yet logs "Command "%@" is not
  // supported by this version" and fails; bringing one in means replacing
  // the definition in its file - the dispatch needs no change.
  // Success of the bool bodies becomes an empty results dictionary.
  std::optional<Dictionary> checkDestination();
  bool pruneDestination();
  bool testBackup();
  std::optional<Dictionary> performBackup();
  bool verifyBackup();
  // restorePaths: nothing for a whole restore.
  bool restoreBackup(const std::optional<std::vector<std::string>>& restorePaths, const std::string& destination,
                     bool eraseDestination);
  bool deleteBackup();

  // ---- The opened destination --------------------------------------------------

  const std::string& sourceDir() const { return sourceDir_; }
  const std::shared_ptr<const Url>& destURL() const { return destURL_; }
  // The destination URL without user and password, as messages show it.
  std::string displayDestinationURL() const;
  // The command's own client (not for helper steps); null before opening.
  const std::shared_ptr<FileTransferController>& transferController() const { return transferController_; }
  // Listing of the destination root: name -> attributes (kFileType, kFileSize).
  const Dictionary& destinationContents() const { return destinationContents_; }
  // The loaded head revision (the working snapshot during a backup); null
  // for a destination without a backup.
  const DirectoryScannerPtr& scanner() const { return destinationScanner_; }
  // For the backup command of a destination without a backup: the new snapshot.
  void setScanner(DirectoryScannerPtr scanner) { destinationScanner_ = std::move(scanner); }
  // The controller with the destination settings.
  RemoteBackupController& remoteController() const;
  // The controller's password is set (names then take ".aes").
  bool isEncrypted() const;
  // Absolute URL text of a destination name for messages, from the given
  // client (the command's own when null); the name itself when none.
  std::string absoluteURLText(const std::string& name, FileTransferController* client = nullptr) const;

  // Applies the settings every client of the commands gets: time-out,
  // speeds x 1024, the encryption password, the digest setting and the
  // delegate.
  void configureTransferController(FileTransferController& client, bool computeDigests,
                                   FileTransferControllerDelegate* delegate) const;

  // ---- Expected destination files ------------------------------------------------

  // Name -> upload information value ([size, digest]), or a null Value where
  // "backupFiles" has none (after "Missing upload information for ..."), for
  // every part, metadata file and archive the snapshot's storage records
  // name. Nothing (after "No backup data available at "%@"") without a
  // snapshot. Invalid records are reported and contribute nothing.
  std::optional<Dictionary> retrieveBackupFiles();

  // ---- Remote deletion --------------------------------------------------------------

  // "Failed deleting remote file at "%@"" on failure.
  bool deleteRemoteFile(const std::string& name, FileTransferController& client);
  // Depth first, stopping at the first failure or a cancellation; the folder
  // itself goes with deleteDirectoryAtPath or, when the client lacks it,
  // deleteDirectoryRecursivelyAtPath. "Failed deleting remote directory at
  // "%@"" on failure.
  bool deleteRemoteDirectory(const std::string& name, FileTransferController& client);

  // ---- Restored items ---------------------------------------------------------------

  // Gives a restored item its recorded metadata; failures are logged, not
  // returned. Every call works on the item itself, never through a link in
  // its place, and an item whose type on disk is not the recorded one gets
  // nothing (logged). Directories first get their extended attributes and ACL
  // (files get theirs from the metadata file or the archive). Then, for
  // every item: group (lchown, the owner is left alone), permission bits
  // (not for symbolic links), inode flags when the snapshot recorded any
  // and the file system takes them, and last the modification time
  // (utimensat without following links). The birth time cannot be set on
  // Linux and is left as it is.
  void setPathProperties(const std::string& path, const DirectoryItem& item);

  // ---- Helper step support -----------------------------------------------------------
  // Planning (command thread, before runOperations): append steps with
  // addPendingOperation (chains hang off a step's nextOperation) and count
  // the progress units with addToPhaseMax.

  // Appends at the end of pendingOperations (under the lock).
  void addPendingOperation(HelperOperationPtr operation);
  // Inserts at the front (under the lock).
  void insertPendingOperationAtFront(HelperOperationPtr operation);
  std::size_t pendingOperationCount() const;
  std::uint32_t phaseIndex() const;
  std::uint32_t phaseMax() const;
  void setPhaseMax(std::uint32_t value);
  // Adds to phaseMax and answers the new value (a verification step uses it as its number).
  std::uint32_t addToPhaseMax(std::uint32_t amount);
  // A step asked to stop the whole command.
  bool hasAborted() const;

  // Runs pendingOperations to the end, at most maximumSimultaneousSegments
  // (1 when 0) at a time, reporting "__main__" progress phaseIndex of
  // phaseMax. False when cancelled, when a step aborted, or when steps are
  // left pending.
  bool runOperations();

  // Called by every step's main().
  void helperOperationDidBegin(RemoteBackupHelperOperation& operation);
  void helperOperationDidEnd(RemoteBackupHelperOperation& operation, int result);

  // Skips a file: removes the item from the snapshot and adds its path to
  // the skipped paths (under the lock).
  void skipItemAtPath(const std::string& subpath);
  // Stores [size, digest] under the name in the snapshot's "backupFiles"
  // (under the lock).
  void setUploadInformation(const std::string& name, const UploadInformation& information);

  // ---- Transfer client delegate (the command's own client) ----------------------------
  void fileTransferControllerDidUpdateProgress(FileTransferController& controller) override;
  bool fileTransferControllerShouldAbort(FileTransferController& controller) override;
  void fileTransferControllerDidFail(FileTransferController& controller, const Error& error) override;

  // Asked after a transfer of `client` failed: false at once, with
  // "Failed with an error that retrying cannot fix" logged, when the failure
  // is permanent (a full disk, a denied permission, data that does not
  // decrypt); else shouldRetryAfterNetworkError(). Clears the client's last
  // failure either way.
  bool shouldRetryAfterFailureOf(FileTransferController& client);

  // Runs fn inside a phase of the command's own client: begins the phase,
  // reports the client's progress under it, ends it.
  template <typename Function>
  auto inTransferPhase(const char* phase, Function&& fn) {
    willBeginPhaseWithType(phase, 0);
    setCurrentPhase(phase);
    struct End {
      RemoteBackupOperation* self;
      const char* phase;
      ~End() {
        self->setCurrentPhase(std::nullopt);
        self->didEndPhaseWithType(phase, 0);
      }
    } end{this, phase};
    return fn();
  }
  void setCurrentPhase(std::optional<std::string> phase);

 protected:
  friend class BackupRun;  // the steps of performBackup

  // The first half of performCommand: creates the client, lists the root,
  // loads the head revision and fills the fields. False when the command
  // must fail. (Protected for operations that run other bodies on an
  // opened destination.)
  bool openDestination(const std::string& sourceDirectory, const std::shared_ptr<const Url>& destinationURL);

 private:
  std::shared_ptr<FileTransferController> makeTransferController(const Url& url);
  // -1: cancelled (fail at once); 0: this revision failed; 1: loaded.
  int loadRevision(const std::string& name, const Dictionary& attributes);
  std::optional<Data> downloadRevisionData(const std::string& name, const Dictionary& attributes);
  DirectoryScannerPtr downloadRevisionPropertyList(const std::string& name);

  // Fields in the order the command sees them.
  std::string sourceDir_;
  std::shared_ptr<const Url> destURL_;
  std::shared_ptr<FileTransferController> transferController_;
  // Set while a backup first lists its destination (on the operation's
  // thread): a missing folder is made then, and its absence is not logged.
  bool quietWhenDestinationIsMissing_ = false;
  Dictionary destinationContents_;
  DirectoryScannerPtr destinationScanner_;
  mutable std::mutex currentPhaseMutex_;
  std::optional<std::string> currentPhase_;
  std::deque<HelperOperationPtr> pendingOperations_;  // under lock()
  std::uint32_t phaseIndex_ = 0;                       // under lock()
  std::uint32_t phaseMax_ = 0;                         // under lock()
  mutable std::mutex abortedMutex_;
  bool hasAborted_ = false;
};

}  // namespace quorvel
