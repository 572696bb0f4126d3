// BackupController: runs one backup command at a time and relays what the
// command's operation reports to a delegate on the main thread.
//
// A command is a number from 1 to 8 (BackupCommand). Scheduling one creates
// the operation class that the controller's class names for it, adds it to
// the caller's operation queue, and creates a helper queue of the
// controller's own for the operation's helper steps. From then on the
// controller relays: start, phases, progress, error messages, network-error
// questions and the results are handed to the delegate on the main thread.
// Suspend, resume and cancel act on the helper queue.
//
// Threads. Every public operation below, and every delegate callback, runs on
// the main thread (the thread of RunLoop::main()); the main run loop must run
// for the command's reports to arrive. The operation reaches the controller
// from its own thread and from helper threads through the private relay
// functions, which post to the main thread and never wait for it.
//
// Ownership. Controllers are always held by std::shared_ptr (create them with
// the concrete class's create()); a running command's operation keeps its
// controller alive. Destroying a controller while a command is set is a
// programming error.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Observable.h"
#include "foundation/Predicate.h"
#include "foundation/Url.h"
#include "foundation/Value.h"

namespace quorvel {

class BackupController;
class BackupCommandOperation;
class Operation;
class OperationQueue;

// Command numbers. 0 means no command.
enum BackupCommand : int {
  BackupCommandNone = 0,
  BackupCommandCheckSource = 1,
  BackupCommandCheckDestination = 2,
  BackupCommandPruneDestination = 3,
  BackupCommandTestBackup = 4,
  BackupCommandPerformBackup = 5,
  BackupCommandVerifyBackup = 6,
  BackupCommandRestoreBackup = 7,
  BackupCommandDeleteBackup = 8,
};
inline constexpr int kBackupCommandLast = BackupCommandDeleteBackup;

// Observable property names of a controller.
inline constexpr const char* kBackupControllerRunningKey = "running";
inline constexpr const char* kBackupControllerCurrentCommandKey = "currentCommand";
inline constexpr const char* kBackupControllerSuspendedKey = "suspended";
inline constexpr const char* kBackupControllerCancelledKey = "cancelled";
inline constexpr const char* kBackupControllerWaitingForReplyKey = "waitingForReply";

// Receives a controller's reports, always on the main thread. The first four
// callbacks are required. The others are called only when respondsTo()
// answers true for them (respondsTo may be asked on any thread, so its answer
// must not change while a command runs); in particular a delegate that does
// not answer network-error questions makes every such question answer "no"
// at once.
class BackupControllerDelegate {
 public:
  enum class Callback {
    DidGetErrorMessage,
    WillBeginPhase,
    DidEndPhase,
    DidUpdatePhase,
    DidSuspend,
    DidResume,
    ShouldRetryAfterNetworkError,
  };

  virtual ~BackupControllerDelegate() = default;

  // Inside scheduleCommand, after the command is set.
  virtual void backupControllerWillStartCommand(BackupController& controller, int command) = 0;
  // The operation's frame has begun.
  virtual void backupControllerDidStartCommand(BackupController& controller, int command) = 0;
  // The command was cancelled before its operation began.
  virtual void backupControllerDidNotStartCommand(BackupController& controller, int command) = 0;
  // The command is over. results is null for a command that never started;
  // arguments are those it was scheduled with.
  virtual void backupControllerDidFinishCommand(BackupController& controller, int command,
                                                const Dictionary* results, const Dictionary& arguments) = 0;

  virtual bool respondsTo(Callback callback) const { return false; }

  virtual void backupControllerDidGetErrorMessage(BackupController& controller, const std::string& message) {}
  virtual void backupControllerWillBeginPhaseWithType(BackupController& controller, const std::string& type,
                                                      std::uint32_t identifier) {}
  virtual void backupControllerDidEndPhaseWithType(BackupController& controller, const std::string& type,
                                                   std::uint32_t identifier) {}
  // timestamp: seconds since 1 January 2001 GMT when the update was passed on.
  virtual void backupControllerDidUpdatePhaseWithType(BackupController& controller, const std::string& type,
                                                      std::uint32_t identifier, std::uint32_t currentValue,
                                                      std::uint32_t maxValue, double timestamp) {}
  virtual void backupControllerDidSuspend(BackupController& controller) {}
  virtual void backupControllerDidResume(BackupController& controller) {}
  // The delegate must later call controller.replyToShouldRetryAfterNetworkError().
  virtual void backupControllerShouldRetryAfterNetworkError(BackupController& controller) {}
};

// A class object of the command operations: what a controller answers for a
// command number. superclass links up to BackupCommandOperation's own class
// object, whose factory refuses to create an instance of the abstract base.
struct BackupOperationClass {
  using Factory = std::shared_ptr<BackupCommandOperation> (*)(const std::shared_ptr<BackupController>& controller,
                                                             int command, const Dictionary& arguments);
  const char* name;
  const BackupOperationClass* superclass;
  Factory create;

  // True for this class and every class below it.
  bool isSubclassOf(const BackupOperationClass& other) const;
};

class BackupController : public Observable, public std::enable_shared_from_this<BackupController> {
 public:
  // BackupController is abstract: this raises InternalInconsistency.
  static std::shared_ptr<BackupController> create();

  // Raises "BackupController cannot be deallocated while running a command"
  // when a command is set; a destructor cannot let it out, so the process
  // ends with that message. (The running operation keeps its controller
  // alive, so this takes a reference-counting mistake.)
  ~BackupController() override;
  BackupController(const BackupController&) = delete;
  BackupController& operator=(const BackupController&) = delete;

  // "checkSource" ... "deleteBackup" for 1 to 8; nothing for 0 and anything else.
  static std::optional<std::string> nameForCommand(int command);

  // The operation class that runs a command for this controller's class, or
  // null. The base answers BackupInfoOperation for 1.
  virtual const BackupOperationClass* backupOperationClassForCommand(int command) const;

  // Schedules a command: raises "BackupController is already running a
  // command" while one is set, "Invalid command for BackupController"
  // outside 1 to 8 and "Invalid subclass of BackupCommandOperation" when the
  // class has no command operation for the number. The operation is added to
  // `queue` after every operation of `dependencies` became its dependency.
  void scheduleCommand(int command, const Dictionary& arguments, OperationQueue& queue,
                       const std::vector<std::shared_ptr<Operation>>& dependencies = {});
  // Schedules on a fresh queue of the controller's own, kept until the
  // command finishes.
  void startCommandAsynchronously(int command, const Dictionary& arguments);

  // Suspension counts: every suspend needs a resume. resume raises
  // "-[BackupController resume] called too many times" when the count is 0,
  // or 1 while a network-error question waits for its reply.
  void suspend();
  void resume();
  // Cancels the command (and its helpers). A command whose operation had not
  // begun finishes at once with null results, followed by
  // backupControllerDidNotStartCommand.
  void cancel();
  // The answer to backupControllerShouldRetryAfterNetworkError: true resumes,
  // false cancels. Ignored unless a question is waiting.
  void replyToShouldRetryAfterNetworkError(bool shouldRetry);

  // Settings read by the commands. Setters copy; getters answer copies and
  // may be called from any thread.
  std::string sourceDirectoryPath() const;
  void setSourceDirectoryPath(const std::string& path);
  // Virtual: a subclass may keep parts of the URL elsewhere (the backup
  // model keeps the server password in the credential store).
  virtual std::shared_ptr<const Url> destinationURL() const;
  void setDestinationURL(std::shared_ptr<const Url> url);
  void setDestinationURL(const Url& url);
  PredicatePtr exclusionPredicate() const;
  void setExclusionPredicate(PredicatePtr predicate);
  bool preserveDSStoreFiles() const { return preserveDSStore_.load(); }
  void setPreserveDSStoreFiles(bool preserve);
  // Whether scans leave out directories tagged as caches (CACHEDIR.TAG).
  // Off unless set.
  bool excludeCacheDirectories() const { return excludeCacheDirectories_.load(); }
  void setExcludeCacheDirectories(bool exclude);

  // Not owned; any thread may read it.
  BackupControllerDelegate* delegate() const { return delegate_.load(); }
  void setDelegate(BackupControllerDelegate* delegate) { delegate_.store(delegate); }

  // Observable: the five state properties and the settings above.
  Value valueForKey(const std::string& key) const override;

  int currentCommand() const { return command_.load(); }
  bool isRunning() const { return running_.load(); }
  bool isCancelled() const { return cancelled_.load(); }
  bool isWaitingForReply() const { return waitingForReply_.load(); }
  bool isSuspended() const { return suspended_.load() > 0; }

 protected:
  BackupController();

 private:
  friend class BackupCommandOperation;

  // Relays for the command's operation (any thread). Reports of an operation
  // that is no longer the controller's current one are dropped.
  bool commandDidStart(BackupCommandOperation& operation);
  void commandDidFinish(BackupCommandOperation& operation, std::optional<Dictionary> results);
  void scheduleOperation(std::shared_ptr<Operation> operation);
  void waitUntilAllOperationsAreDone();
  void willStartHelperOperations();
  void willBeginHelperOperation(Operation& operation);
  void didEndHelperOperation(Operation& operation);
  void didFinishHelperOperations() {}
  void postErrorMessage(BackupCommandOperation& operation, std::string message);
  void postWillBeginPhase(BackupCommandOperation& operation, std::string type, std::uint32_t identifier);
  void postDidEndPhase(BackupCommandOperation& operation, std::string type, std::uint32_t identifier);
  void postDidUpdatePhase(BackupCommandOperation& operation, std::string type, std::uint32_t identifier,
                          std::uint32_t current, std::uint32_t max, double timestamp);
  void postShouldRetryAfterNetworkError(BackupCommandOperation& operation);

  // Main-thread halves.
  void commandDidStartOnMainThread(const BackupCommandOperation* operation);
  void commandDidFinishOnMainThread(const BackupCommandOperation* operation, const std::optional<Dictionary>& results);
  void updateStatus(std::optional<bool> helpersRunning);
  void shouldRetryAfterNetworkErrorOnMainThread(const BackupCommandOperation* operation);
  // True when `operation` is still the running command's operation.
  bool isCurrentOperation(const BackupCommandOperation* operation) const;
  void posted(std::function<void(BackupController&)> function);
  void setFlag(std::atomic<bool>& flag, bool value, const char* key);
  void setSuspensionCount(unsigned count);

  // Settings.
  mutable std::mutex settingsMutex_;
  std::string sourcePath_;
  std::shared_ptr<const Url> destinationURL_;
  PredicatePtr exclusionPredicate_;
  std::atomic<bool> preserveDSStore_{false};
  std::atomic<bool> excludeCacheDirectories_{false};
  std::atomic<BackupControllerDelegate*> delegate_{nullptr};

  // Guards cancelled_ against scheduleOperation, activeHelpers_, and the
  // identity of the current operation and helper queue for other threads.
  mutable std::mutex mutex_;
  std::atomic<int> command_{0};
  Dictionary arguments_;
  std::shared_ptr<OperationQueue> operationQueue_;     // helper queue
  std::shared_ptr<OperationQueue> ownCommandQueue_;    // startCommandAsynchronously's queue
  std::shared_ptr<BackupCommandOperation> operation_;
  std::atomic<bool> running_{false};
  std::atomic<bool> helpersRunning_{false};
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> wasStarted_{false};
  std::atomic<bool> waitingForReply_{false};
  std::atomic<unsigned> suspended_{0};
  unsigned activeHelpers_ = 0;
};

// Adds an encryption password to the controller. Abstract.
class EncryptedBackupController : public BackupController {
 public:
  // EncryptedBackupController is abstract: this raises InternalInconsistency.
  static std::shared_ptr<EncryptedBackupController> create();

  // Null when none; an empty text stores none. Virtual: a subclass may keep
  // the password elsewhere (the backup model keeps it in the credential store).
  virtual std::optional<std::string> encryptionPassword() const;
  void setEncryptionPassword(const std::optional<std::string>& password);

 protected:
  EncryptedBackupController() = default;

 private:
  mutable std::mutex passwordMutex_;
  std::optional<std::string> encryptionPassword_;
};

// The concrete controller: adds the transfer settings that the destination
// commands read, and runs commands 2 to 8 with RemoteBackupOperation.
class RemoteBackupController : public EncryptedBackupController {
 public:
  static std::shared_ptr<RemoteBackupController> create();

  const BackupOperationClass* backupOperationClassForCommand(int command) const override;

  // MiB; the commands multiply by 1048576.
  std::uint32_t maximumSegmentSize() const { return segmentSize_.load(); }
  void setMaximumSegmentSize(std::uint32_t mebibytes);
  // Helper steps run at once.
  std::uint32_t maximumSimultaneousSegments() const { return maxOperations_.load(); }
  void setMaximumSimultaneousSegments(std::uint32_t count);
  // Extensions of files archived without compression.
  std::vector<std::string> incompressibleExtensions() const;
  void setIncompressibleExtensions(const std::vector<std::string>& extensions);
  // KiB per second, 0 for unlimited; multiplied by 1024 for the transfer clients.
  std::uint32_t maximumUploadSpeed() const { return maxUploadSpeed_.load(); }
  void setMaximumUploadSpeed(std::uint32_t kibPerSecond);
  std::uint32_t maximumDownloadSpeed() const { return maxDownloadSpeed_.load(); }
  void setMaximumDownloadSpeed(std::uint32_t kibPerSecond);
  bool computeFileDigests() const { return computeDigests_.load(); }
  void setComputeFileDigests(bool compute);
  // When a member of an archive changes or goes, it is stored anew and the
  // archive keeps its other members; the archive itself is stored again
  // (its remaining members with it) only once they hold less than this
  // percentage of its bytes, or deleted once none is left. 100 stores an
  // archive again whenever a member leaves it (archives are never partly
  // replaced); 0 never stores one again while a member remains. Default 50.
  std::uint32_t archiveRewritePercent() const { return archiveRewritePercent_.load(); }
  void setArchiveRewritePercent(std::uint32_t percent);

 protected:
  RemoteBackupController() = default;

 private:
  std::atomic<std::uint32_t> segmentSize_{0};
  std::atomic<std::uint32_t> maxOperations_{0};
  mutable std::mutex extensionsMutex_;
  std::vector<std::string> incompressibleExtensions_;
  std::atomic<std::uint32_t> maxUploadSpeed_{0};
  std::atomic<std::uint32_t> maxDownloadSpeed_{0};
  std::atomic<bool> computeDigests_{false};
  std::atomic<std::uint32_t> archiveRewritePercent_{50};
};

}  // namespace quorvel
