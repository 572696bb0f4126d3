// BackupCommandOperation: the operation that runs one command of a
// BackupController, and the frame every command goes through.
//
// The frame (main) checks the source and the destination, runs the
// pre-executable, runs the command body (performCommand) inside the
// "__main__" phase, runs the success or failure post-executable, and hands
// the results dictionary to the controller:
//
//   the body's own entries, then "success", "startDate", "duration",
//   "errorMessages", and the sorted path lists "skippedPaths",
//   "excludedPaths", "changedPaths", "copiedPaths", "createdPaths",
//   "deletedPaths" (each only when not empty).
//
// Subclasses supply performCommand and may narrow requiresSourceForCommand /
// requiresDestinationForCommand. Everything a command reports - phases,
// progress, error messages, result paths, retry questions - goes through the
// operations below, which any thread may call (the command's own thread and
// its helper steps' threads); the recursive mutex behind lock()/unlock()
// guards the phase cache, the messages and the path lists, and subclasses
// use it for their own shared state.
//
// Nothing raised inside performCommand leaves the frame: it becomes the
// message "[Internal Error] An exception occured: %@" and a failed command.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/BackupController.h"
#include "foundation/Format.h"
#include "foundation/LocalizedString.h"
#include "foundation/Operation.h"
#include "foundation/Task.h"
#include "snapshot/DirectoryScanner.h"

namespace quorvel {

// The string table of the engine's messages.
inline constexpr const char* kBackupControllerStringTable = "BackupController";
// What a message format missing from the table is shown as.
inline constexpr const char* kNotLocalizedMessage = "<NOT LOCALIZED>";

// Arguments and result keys of the frame.
inline constexpr const char* kScannerUserInfoArgument = "scannerUserInfo";
// Entries of "scannerUserInfo" for a backup. They are stored in the snapshot
// at the destination, from which the backup can be configured again later.
inline constexpr const char* kBackupUUIDInfo = "quorvel.uuid";
inline constexpr const char* kSourceDirectoryPathInfo = "quorvel.sourceDirectoryPath";
inline constexpr const char* kComputeFileDigestsInfo = "quorvel.computeFileDigests";
inline constexpr const char* kPreserveDSStoreFilesInfo = "quorvel.preserveDSStoreFiles";
inline constexpr const char* kExtraExcludedPathsInfo = "quorvel.extraExcludedPaths";
inline constexpr const char* kMaximumSegmentSizeInfo = "quorvel.maximumSegmentSize";
// A random (version 4) UUID in upper-case text, as identities of backups
// are written.
std::string NewUUIDText();

inline constexpr const char* kPreExecutableArgument = "preExecutable";
inline constexpr const char* kSuccessPostExecutableArgument = "successPostExecutable";
inline constexpr const char* kFailurePostExecutableArgument = "failurePostExecutable";
inline constexpr const char* kSuccessResult = "success";
inline constexpr const char* kStartDateResult = "startDate";
inline constexpr const char* kDurationResult = "duration";
inline constexpr const char* kErrorMessagesResult = "errorMessages";
inline constexpr const char* kSkippedPathsResult = "skippedPaths";
inline constexpr const char* kExcludedPathsResult = "excludedPaths";
inline constexpr const char* kChangedPathsResult = "changedPaths";
inline constexpr const char* kCopiedPathsResult = "copiedPaths";
inline constexpr const char* kCreatedPathsResult = "createdPaths";
inline constexpr const char* kDeletedPathsResult = "deletedPaths";

class BackupCommandOperation : public Operation, public DirectoryScannerDelegate, public TaskDelegate {
 public:
  // The class object of this abstract base; its factory raises
  // "BackupCommandOperation is an abstract class".
  static const BackupOperationClass& Class();

  // initWithController:command:arguments: - keeps the controller alive and
  // copies the arguments.
  BackupCommandOperation(std::shared_ptr<BackupController> controller, int command, const Dictionary& arguments);
  ~BackupCommandOperation() override;

  // Whether the frame checks the source directory / the destination URL.
  virtual bool requiresSourceForCommand(int command) const { return true; }
  virtual bool requiresDestinationForCommand(int command) const { return true; }

  const std::shared_ptr<BackupController>& controller() const { return controller_; }
  int command() const { return command_; }
  const Dictionary& arguments() const { return arguments_; }

  // The command body, on the operation's thread: the result dictionary, or
  // nothing for a failure. sourceDirectory is standardized; destinationURL
  // may be null when the class does not require one.
  virtual std::optional<Dictionary> performCommand(int command, const Dictionary& arguments,
                                                   const std::string& sourceDirectory,
                                                   const std::shared_ptr<const Url>& destinationURL) = 0;

  // Lets go of the destination (closing connections, unmounting a share
  // this command mounted) once the command body and the post-executable are
  // done. Called on the operation's thread before the results are handed
  // over: the process may end as soon as they are, before the thread that
  // ran the operation drops its last reference to it.
  virtual void closeDestination() {}

  // The frame.
  void main() override;

  void lock() const { mutex_.lock(); }
  void unlock() const { mutex_.unlock(); }

  // Helper steps: queued on the controller's helper queue (dropped once the
  // command is cancelled).
  void scheduleOperation(std::shared_ptr<Operation> operation);
  // Blocks until the helper queue is empty.
  void waitUntilAllOperationsAreDone();
  void willStartHelperOperations();
  void willBeginHelperOperation(Operation& operation);
  void didEndHelperOperation(Operation& operation);

  // Phases: identifiers are per phase type; the progress cache is keyed by
  // identifier alone. Updates are thinned out by PhaseUpdatePasses.
  void willBeginPhaseWithType(const std::string& type, std::uint32_t identifier);
  void didEndPhaseWithType(const std::string& type, std::uint32_t identifier);
  void didUpdatePhaseWithType(const std::string& type, std::uint32_t identifier, std::uint32_t currentValue,
                              std::uint32_t maxValue);

  // Asks the delegate (through the main thread) whether to retry after a
  // network error and blocks until it answers; "no" at once when the
  // delegate does not take such questions. One question at a time: callers
  // serialise their questions.
  bool shouldRetryAfterNetworkError();
  void replyToShouldRetryAfterNetworkError(bool shouldRetry);

  // Logs a message: the format is looked up in the "BackupController" string
  // table ("<NOT LOCALIZED>" when missing), filled with the arguments,
  // appended to the messages and handed to the delegate.
  template <typename... Args>
  void logErrorMessage(const char* format, const Args&... args) {
    std::optional<std::string> localized = LookupLocalizedString(kBackupControllerStringTable, format);
    appendErrorMessage(localized ? Format(*localized, args...) : std::string(kNotLocalizedMessage));
  }
  std::vector<std::string> errorMessages() const;

  // unlink / rmdir; a missing item counts as deleted. Other failures log
  // "Failed deleting file "%@" (%s)" / "Failed deleting directory "%@" (%s)".
  bool deleteFileAtPath(const std::string& path);
  bool deleteDirectoryAtPath(const std::string& path);

  // Result paths. Adders append under the lock; readers answer copies.
  void addCopiedPath(const std::string& path);
  std::vector<std::string> copiedPaths() const;
  void addSkippedPath(const std::string& path);
  std::vector<std::string> skippedPaths() const;
  void addExcludedPath(const std::string& path);
  std::vector<std::string> excludedPaths() const;
  void addDeletedPath(const std::string& path);
  std::vector<std::string> deletedPaths() const;
  std::vector<std::string> changedPaths() const;
  void addUniqueCreatedPath(const std::string& path);
  void removeUniqueCreatedPath(const std::string& path);
  void resetUniqueCreatedPaths();
  std::vector<std::string> uniqueCreatedPaths() const;

  // Takes a scan or comparison result: "excludedPaths" into the excluded
  // paths, "errorPaths" into the skipped paths, and the paths of
  // "removedItems", "modifiedItems.data", "modifiedItems.metadata" and
  // "addedItems" (in that order) into the changed paths.
  void addPathsFromDirectoryScannerResults(const Dictionary& results);
  // Records the run in a snapshot's user info: the "backup.*" path lists and
  // messages, "backup.dates" with the current date appended, then every
  // entry of the "scannerUserInfo" argument. A snapshot left without a
  // "quorvel.uuid" text (a first backup whose arguments name none) gets a
  // new UUID, which later runs keep from the loaded revision.
  void updateDirectoryScannerUserInfo(DirectoryScanner& scanner);

  // DirectoryScannerDelegate and TaskDelegate: a cancelled command stops its
  // scans and tools.
  bool shouldAbortScanning(DirectoryScanner& scanner) override;
  bool shouldAbortTask(Task& task) override;

 protected:
  // Runs a pre- or post-executable: applications by their inner executable
  // without arguments, AppleScript files through osascript, anything else
  // directly, with the source path and the destination as arguments. True
  // when the tool exits with status 0; failures are logged.
  bool runExecutable(const std::string& executablePath, const std::string& sourceDirectory,
                     const std::shared_ptr<const Url>& destinationURL);

 private:
  enum PathList { kChanged = 0, kCopied, kSkipped, kExcluded, kCreated, kDeleted, kPathListCount };

  void appendErrorMessage(std::string message);
  void addPath(PathList list, const std::string& path);
  std::vector<std::string> paths(PathList list) const;
  bool runExecutableInPhase(const std::string& phase, const std::string& executablePath,
                            const std::string& sourceDirectory, const std::shared_ptr<const Url>& destinationURL);
  bool delegateResponds(BackupControllerDelegate::Callback callback) const;

  std::shared_ptr<BackupController> controller_;
  const int command_;
  const Dictionary arguments_;
  mutable std::recursive_mutex mutex_;
  std::map<std::uint32_t, std::uint32_t> phaseCache_;
  std::vector<std::string> errorMessages_;
  std::vector<std::string> resultArrays_[kPathListCount];
  std::set<std::string> uniquePaths_;
  bool shouldRetry_ = false;
  bool replied_ = false;
  std::condition_variable retryCondition_;
  std::mutex retryMutex_;
};

// Sorts paths by the platform's plain text comparison: UTF-16 code units,
// case-sensitive, no locale.
void SortPaths(std::vector<std::string>& paths);

}  // namespace quorvel
