#include "engine/BackupController.h"

#include <algorithm>
#include <utility>

#include "engine/BackupCommandOperation.h"
#include "engine/BackupInfoOperation.h"
#include "engine/RemoteBackupOperation.h"
#include "foundation/Format.h"
#include "foundation/InternalInconsistency.h"
#include "foundation/Operation.h"
#include "foundation/OperationQueue.h"
#include "foundation/RunLoop.h"

namespace quorvel {

namespace {

// Index 0 is the empty slot of "no command".
constexpr const char* kCommandNames[] = {
    nullptr,         "checkSource",   "checkDestination", "pruneDestination", "testBackup",
    "performBackup", "verifyBackup",  "restoreBackup",    "deleteBackup",
};

}  // namespace

bool BackupOperationClass::isSubclassOf(const BackupOperationClass& other) const {
  for (const BackupOperationClass* cls = this; cls != nullptr; cls = cls->superclass) {
    if (cls == &other) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// BackupController

BackupController::BackupController() = default;

std::shared_ptr<BackupController> BackupController::create() {
  throw InternalInconsistency("BackupController is an abstract class");
}

namespace {

[[noreturn]] void RaiseDeallocationWhileRunning() {
  throw InternalInconsistency("BackupController cannot be deallocated while running a command");
}

}  // namespace

BackupController::~BackupController() {
  // Leaving a noexcept destructor through an exception terminates the
  // process, which reports the exception's text.
  if (command_.load() != BackupCommandNone) RaiseDeallocationWhileRunning();
}

std::optional<std::string> BackupController::nameForCommand(int command) {
  // The bound test is unsigned, so negative numbers fall outside too.
  if (static_cast<unsigned>(command) - 1u >= static_cast<unsigned>(kBackupCommandLast)) return std::nullopt;
  return std::string(kCommandNames[command]);
}

const BackupOperationClass* BackupController::backupOperationClassForCommand(int command) const {
  if (command == BackupCommandCheckSource) return &BackupInfoOperation::Class();
  return nullptr;
}

void BackupController::scheduleCommand(int command, const Dictionary& arguments, OperationQueue& queue,
                                       const std::vector<std::shared_ptr<Operation>>& dependencies) {
  if (command_.load() != BackupCommandNone) {
    throw InternalInconsistency("BackupController is already running a command");
  }
  if (command < 1 || command > kBackupCommandLast) throw InternalInconsistency("Invalid command for BackupController");

  wasStarted_.store(false);
  helpersRunning_.store(false);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    activeHelpers_ = 0;
  }

  auto helperQueue = std::make_shared<OperationQueue>();
  const BackupOperationClass* operationClass = backupOperationClassForCommand(command);
  if (operationClass == nullptr || !operationClass->isSubclassOf(BackupCommandOperation::Class())) {
    throw InternalInconsistency("Invalid subclass of BackupCommandOperation");
  }
  std::shared_ptr<BackupCommandOperation> operation = operationClass->create(shared_from_this(), command, arguments);
  for (const auto& dependency : dependencies) {
    if (dependency) operation->addDependency(dependency);
  }
  {
    // The operation may begin as soon as it is queued; it must find itself
    // as the current operation by then.
    std::lock_guard<std::mutex> lock(mutex_);
    operationQueue_ = std::move(helperQueue);
    operation_ = operation;
  }
  arguments_ = arguments;
  queue.addOperation(operation);

  willChangeValueForKey(kBackupControllerCurrentCommandKey);
  command_.store(command);
  didChangeValueForKey(kBackupControllerCurrentCommandKey);
  if (BackupControllerDelegate* delegate = delegate_.load()) delegate->backupControllerWillStartCommand(*this, command);
}

void BackupController::startCommandAsynchronously(int command, const Dictionary& arguments) {
  auto queue = std::make_shared<OperationQueue>();
  scheduleCommand(command, arguments, *queue);
  ownCommandQueue_ = std::move(queue);
}

void BackupController::setSuspensionCount(unsigned count) {
  bool changes = (suspended_.load() > 0) != (count > 0);
  if (changes) willChangeValueForKey(kBackupControllerSuspendedKey);
  suspended_.store(count);
  if (changes) didChangeValueForKey(kBackupControllerSuspendedKey);
}

void BackupController::setFlag(std::atomic<bool>& flag, bool value, const char* key) {
  willChangeValueForKey(key);
  flag.store(value);
  didChangeValueForKey(key);
}

void BackupController::suspend() {
  if (command_.load() == BackupCommandNone || cancelled_.load()) return;
  unsigned count = suspended_.load();
  if (count == 0) {
    if (operationQueue_) operationQueue_->setSuspended(true);
    setSuspensionCount(1);
    updateStatus(std::nullopt);
  } else {
    suspended_.store(count + 1);
  }
}

void BackupController::resume() {
  unsigned count = suspended_.load();
  if (count == 0 || (count == 1 && waitingForReply_.load())) {
    throw InternalInconsistency(Format("%s called too many times", "-[BackupController resume]"));
  }
  if (command_.load() == BackupCommandNone || cancelled_.load()) return;
  if (count == 1) {
    if (operationQueue_) operationQueue_->setSuspended(false);
    setSuspensionCount(0);
    updateStatus(std::nullopt);
  } else {
    suspended_.store(count - 1);
  }
}

void BackupController::cancel() {
  if (command_.load() == BackupCommandNone || cancelled_.load()) return;
  std::shared_ptr<BackupCommandOperation> operation = operation_;
  if (waitingForReply_.load()) {
    // Marked first, so that the thread woken by the answer below already
    // sees itself cancelled.
    if (operation) operation->cancel();
    if (operation) operation->replyToShouldRetryAfterNetworkError(false);
    setFlag(waitingForReply_, false, kBackupControllerWaitingForReplyKey);
  }
  bool started;
  willChangeValueForKey(kBackupControllerCancelledKey);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_.store(true);
    started = wasStarted_.load();
  }
  didChangeValueForKey(kBackupControllerCancelledKey);
  if (operation) operation->cancel();
  if (operationQueue_) operationQueue_->cancelAllOperations();
  if (suspended_.load() > 0) {
    if (operationQueue_) operationQueue_->setSuspended(false);
    setSuspensionCount(0);
  }
  if (!started) {
    // The operation never announced itself and now never will (see
    // commandDidStart): finish here.
    int command = command_.load();
    commandDidFinishOnMainThread(operation.get(), std::nullopt);
    if (BackupControllerDelegate* delegate = delegate_.load()) {
      delegate->backupControllerDidNotStartCommand(*this, command);
    }
  }
}

void BackupController::replyToShouldRetryAfterNetworkError(bool shouldRetry) {
  if (!waitingForReply_.load()) return;
  // A "no" cancels the command; the operation is marked before it wakes, so
  // that the asking thread already sees itself cancelled.
  if (!shouldRetry && operation_) operation_->cancel();
  if (operation_) operation_->replyToShouldRetryAfterNetworkError(shouldRetry);
  setFlag(waitingForReply_, false, kBackupControllerWaitingForReplyKey);
  if (shouldRetry) {
    resume();
  } else {
    cancel();
  }
}

// ---------------------------------------------------------------------------
// Settings

Value BackupController::valueForKey(const std::string& key) const {
  if (key == kBackupControllerRunningKey) return isRunning();
  if (key == kBackupControllerCurrentCommandKey) return currentCommand();
  if (key == kBackupControllerSuspendedKey) return isSuspended();
  if (key == kBackupControllerCancelledKey) return isCancelled();
  if (key == kBackupControllerWaitingForReplyKey) return isWaitingForReply();
  if (key == "sourceDirectoryPath") return sourceDirectoryPath();
  if (key == "destinationURL") {
    std::shared_ptr<const Url> url = destinationURL();
    return url ? Value(url->absoluteString()) : Value();
  }
  if (key == "preserveDSStoreFiles") return preserveDSStoreFiles();
  return Observable::valueForKey(key);
}

std::string BackupController::sourceDirectoryPath() const {
  std::lock_guard<std::mutex> lock(settingsMutex_);
  return sourcePath_;
}

void BackupController::setSourceDirectoryPath(const std::string& path) {
  willChangeValueForKey("sourceDirectoryPath");
  {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    sourcePath_ = path;
  }
  didChangeValueForKey("sourceDirectoryPath");
}

std::shared_ptr<const Url> BackupController::destinationURL() const {
  std::lock_guard<std::mutex> lock(settingsMutex_);
  return destinationURL_;
}

void BackupController::setDestinationURL(std::shared_ptr<const Url> url) {
  willChangeValueForKey("destinationURL");
  {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    destinationURL_ = std::move(url);
  }
  didChangeValueForKey("destinationURL");
}

void BackupController::setDestinationURL(const Url& url) { setDestinationURL(std::make_shared<const Url>(url)); }

PredicatePtr BackupController::exclusionPredicate() const {
  std::lock_guard<std::mutex> lock(settingsMutex_);
  return exclusionPredicate_;
}

void BackupController::setExclusionPredicate(PredicatePtr predicate) {
  // Predicates never change after construction, so sharing one is a copy.
  willChangeValueForKey("exclusionPredicate");
  {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    exclusionPredicate_ = std::move(predicate);
  }
  didChangeValueForKey("exclusionPredicate");
}

void BackupController::setPreserveDSStoreFiles(bool preserve) {
  willChangeValueForKey("preserveDSStoreFiles");
  preserveDSStore_.store(preserve);
  didChangeValueForKey("preserveDSStoreFiles");
}

void BackupController::setExcludeCacheDirectories(bool exclude) {
  willChangeValueForKey("excludeCacheDirectories");
  excludeCacheDirectories_.store(exclude);
  didChangeValueForKey("excludeCacheDirectories");
}

// ---------------------------------------------------------------------------
// Relays from the command's operation

void BackupController::posted(std::function<void(BackupController&)> function) {
  std::shared_ptr<BackupController> self = shared_from_this();
  PerformOnMainThread([self, function = std::move(function)] { function(*self); });
}

bool BackupController::isCurrentOperation(const BackupCommandOperation* operation) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return operation != nullptr && operation_.get() == operation;
}

bool BackupController::commandDidStart(BackupCommandOperation& operation) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // A cancel that came before the start has already finished the command.
    if (operation_.get() != &operation || (cancelled_.load() && !wasStarted_.load())) return false;
    wasStarted_.store(true);
  }
  const BackupCommandOperation* identity = &operation;
  posted([identity](BackupController& self) { self.commandDidStartOnMainThread(identity); });
  return true;
}

void BackupController::commandDidStartOnMainThread(const BackupCommandOperation* operation) {
  if (!isCurrentOperation(operation)) return;
  setFlag(running_, true, kBackupControllerRunningKey);
  if (BackupControllerDelegate* delegate = delegate_.load()) {
    delegate->backupControllerDidStartCommand(*this, command_.load());
  }
}

void BackupController::commandDidFinish(BackupCommandOperation& operation, std::optional<Dictionary> results) {
  const BackupCommandOperation* identity = &operation;
  posted([identity, results = std::move(results)](BackupController& self) {
    self.commandDidFinishOnMainThread(identity, results);
  });
}

void BackupController::commandDidFinishOnMainThread(const BackupCommandOperation* operation,
                                                    const std::optional<Dictionary>& results) {
  if (!isCurrentOperation(operation)) return;
  // The arguments outlive the release below for the delegate's sake; the
  // operation and the queues may hold the last references to this controller,
  // which the posted call that runs this keeps alive.
  Dictionary arguments = std::move(arguments_);
  arguments_ = Dictionary();
  std::shared_ptr<BackupCommandOperation> finishedOperation;
  std::shared_ptr<OperationQueue> helperQueue;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    finishedOperation = std::move(operation_);
    helperQueue = std::move(operationQueue_);
  }
  std::shared_ptr<OperationQueue> commandQueue = std::move(ownCommandQueue_);

  int command = command_.load();
  willChangeValueForKey(kBackupControllerCurrentCommandKey);
  command_.store(BackupCommandNone);
  didChangeValueForKey(kBackupControllerCurrentCommandKey);
  if (running_.load()) setFlag(running_, false, kBackupControllerRunningKey);
  if (suspended_.load() > 0) setSuspensionCount(0);
  if (BackupControllerDelegate* delegate = delegate_.load()) {
    delegate->backupControllerDidFinishCommand(*this, command, results ? &*results : nullptr, arguments);
  }
  if (cancelled_.load()) setFlag(cancelled_, false, kBackupControllerCancelledKey);
}

void BackupController::scheduleOperation(std::shared_ptr<Operation> operation) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (cancelled_.load() || !operationQueue_) return;
  operationQueue_->addOperation(std::move(operation));
}

void BackupController::waitUntilAllOperationsAreDone() {
  std::shared_ptr<OperationQueue> queue;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue = operationQueue_;
  }
  if (queue) queue->waitUntilAllOperationsAreDone();
}

void BackupController::willStartHelperOperations() {
  posted([](BackupController& self) { self.updateStatus(std::nullopt); });
}

void BackupController::willBeginHelperOperation(Operation& operation) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (++activeHelpers_ == 1) posted([](BackupController& self) { self.updateStatus(true); });
}

void BackupController::didEndHelperOperation(Operation& operation) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (activeHelpers_ == 0) return;
  if (--activeHelpers_ == 0) posted([](BackupController& self) { self.updateStatus(false); });
}

void BackupController::updateStatus(std::optional<bool> helpersRunning) {
  if (helpersRunning) helpersRunning_.store(*helpersRunning);
  if (command_.load() == BackupCommandNone) return;
  BackupControllerDelegate* delegate = delegate_.load();
  if (suspended_.load() > 0) {
    if (running_.load() && !helpersRunning_.load()) {
      setFlag(running_, false, kBackupControllerRunningKey);
      if (delegate && delegate->respondsTo(BackupControllerDelegate::Callback::DidSuspend)) {
        delegate->backupControllerDidSuspend(*this);
      }
    }
  } else if (!running_.load() && helpersRunning_.load()) {
    setFlag(running_, true, kBackupControllerRunningKey);
    if (delegate && delegate->respondsTo(BackupControllerDelegate::Callback::DidResume)) {
      delegate->backupControllerDidResume(*this);
    }
  }
}

void BackupController::postErrorMessage(BackupCommandOperation& operation, std::string message) {
  const BackupCommandOperation* identity = &operation;
  posted([identity, message = std::move(message)](BackupController& self) {
    if (!self.isCurrentOperation(identity)) return;
    BackupControllerDelegate* delegate = self.delegate_.load();
    if (delegate && delegate->respondsTo(BackupControllerDelegate::Callback::DidGetErrorMessage)) {
      delegate->backupControllerDidGetErrorMessage(self, message);
    }
  });
}

void BackupController::postWillBeginPhase(BackupCommandOperation& operation, std::string type,
                                          std::uint32_t identifier) {
  const BackupCommandOperation* identity = &operation;
  posted([identity, type = std::move(type), identifier](BackupController& self) {
    if (!self.isCurrentOperation(identity)) return;
    BackupControllerDelegate* delegate = self.delegate_.load();
    if (delegate && delegate->respondsTo(BackupControllerDelegate::Callback::WillBeginPhase)) {
      delegate->backupControllerWillBeginPhaseWithType(self, type, identifier);
    }
  });
}

void BackupController::postDidEndPhase(BackupCommandOperation& operation, std::string type,
                                       std::uint32_t identifier) {
  const BackupCommandOperation* identity = &operation;
  posted([identity, type = std::move(type), identifier](BackupController& self) {
    if (!self.isCurrentOperation(identity)) return;
    BackupControllerDelegate* delegate = self.delegate_.load();
    if (delegate && delegate->respondsTo(BackupControllerDelegate::Callback::DidEndPhase)) {
      delegate->backupControllerDidEndPhaseWithType(self, type, identifier);
    }
  });
}

void BackupController::postDidUpdatePhase(BackupCommandOperation& operation, std::string type,
                                          std::uint32_t identifier, std::uint32_t current, std::uint32_t max,
                                          double timestamp) {
  const BackupCommandOperation* identity = &operation;
  posted([identity, type = std::move(type), identifier, current, max, timestamp](BackupController& self) {
    if (!self.isCurrentOperation(identity)) return;
    BackupControllerDelegate* delegate = self.delegate_.load();
    if (delegate && delegate->respondsTo(BackupControllerDelegate::Callback::DidUpdatePhase)) {
      delegate->backupControllerDidUpdatePhaseWithType(self, type, identifier, current, max, timestamp);
    }
  });
}

void BackupController::postShouldRetryAfterNetworkError(BackupCommandOperation& operation) {
  const BackupCommandOperation* identity = &operation;
  posted([identity](BackupController& self) { self.shouldRetryAfterNetworkErrorOnMainThread(identity); });
}

void BackupController::shouldRetryAfterNetworkErrorOnMainThread(const BackupCommandOperation* operation) {
  std::shared_ptr<BackupCommandOperation> current = operation_;
  BackupControllerDelegate* delegate = delegate_.load();
  // A question that nobody can answer any more (the command was cancelled
  // meanwhile, or the delegate went away) is answered "no" here, so that the
  // asking thread does not wait forever.
  if (!isCurrentOperation(operation) || cancelled_.load() || delegate == nullptr ||
      !delegate->respondsTo(BackupControllerDelegate::Callback::ShouldRetryAfterNetworkError)) {
    if (current && current.get() == operation) current->replyToShouldRetryAfterNetworkError(false);
    return;
  }
  suspend();
  setFlag(waitingForReply_, true, kBackupControllerWaitingForReplyKey);
  delegate->backupControllerShouldRetryAfterNetworkError(*this);
}

// ---------------------------------------------------------------------------
// EncryptedBackupController

std::shared_ptr<EncryptedBackupController> EncryptedBackupController::create() {
  throw InternalInconsistency("EncryptedBackupController is an abstract class");
}

std::optional<std::string> EncryptedBackupController::encryptionPassword() const {
  std::lock_guard<std::mutex> lock(passwordMutex_);
  return encryptionPassword_;
}

void EncryptedBackupController::setEncryptionPassword(const std::optional<std::string>& password) {
  willChangeValueForKey("encryptionPassword");
  {
    std::lock_guard<std::mutex> lock(passwordMutex_);
    if (password && !password->empty()) {
      encryptionPassword_ = password;
    } else {
      encryptionPassword_.reset();
    }
  }
  didChangeValueForKey("encryptionPassword");
}

// ---------------------------------------------------------------------------
// RemoteBackupController

std::shared_ptr<RemoteBackupController> RemoteBackupController::create() {
  return std::shared_ptr<RemoteBackupController>(new RemoteBackupController());
}

const BackupOperationClass* RemoteBackupController::backupOperationClassForCommand(int command) const {
  if (command >= BackupCommandCheckDestination && command <= BackupCommandDeleteBackup) {
    return &RemoteBackupOperation::Class();
  }
  return EncryptedBackupController::backupOperationClassForCommand(command);
}

void RemoteBackupController::setMaximumSegmentSize(std::uint32_t mebibytes) {
  willChangeValueForKey("maximumSegmentSize");
  segmentSize_.store(mebibytes);
  didChangeValueForKey("maximumSegmentSize");
}

void RemoteBackupController::setArchiveRewritePercent(std::uint32_t percent) {
  willChangeValueForKey("archiveRewritePercent");
  archiveRewritePercent_.store(std::min<std::uint32_t>(percent, 100));
  didChangeValueForKey("archiveRewritePercent");
}

void RemoteBackupController::setMaximumSimultaneousSegments(std::uint32_t count) {
  willChangeValueForKey("maximumSimultaneousSegments");
  maxOperations_.store(count);
  didChangeValueForKey("maximumSimultaneousSegments");
}

std::vector<std::string> RemoteBackupController::incompressibleExtensions() const {
  std::lock_guard<std::mutex> lock(extensionsMutex_);
  return incompressibleExtensions_;
}

void RemoteBackupController::setIncompressibleExtensions(const std::vector<std::string>& extensions) {
  willChangeValueForKey("incompressibleExtensions");
  {
    std::lock_guard<std::mutex> lock(extensionsMutex_);
    incompressibleExtensions_ = extensions;
  }
  didChangeValueForKey("incompressibleExtensions");
}

void RemoteBackupController::setMaximumUploadSpeed(std::uint32_t kibPerSecond) {
  willChangeValueForKey("maximumUploadSpeed");
  maxUploadSpeed_.store(kibPerSecond);
  didChangeValueForKey("maximumUploadSpeed");
}

void RemoteBackupController::setMaximumDownloadSpeed(std::uint32_t kibPerSecond) {
  willChangeValueForKey("maximumDownloadSpeed");
  maxDownloadSpeed_.store(kibPerSecond);
  didChangeValueForKey("maximumDownloadSpeed");
}

void RemoteBackupController::setComputeFileDigests(bool compute) {
  willChangeValueForKey("computeFileDigests");
  computeDigests_.store(compute);
  didChangeValueForKey("computeFileDigests");
}

}  // namespace quorvel
