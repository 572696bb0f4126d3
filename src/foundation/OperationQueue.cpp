// Operations and operation queues share one process-wide mutex: it guards
// every operation's state and dependency links and every queue's lists and
// counters, so that dependencies across queues need no lock ordering.
// Nothing user-supplied (main, completion callbacks, cancel overrides) runs
// while it is held.
#include "foundation/OperationQueue.h"

#include <openssl/crypto.h>

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <exception>
#include <system_error>
#include <thread>

#include "foundation/InternalInconsistency.h"
#include "foundation/RunLoop.h"
#include "foundation/SystemLog.h"

namespace quorvel {

namespace {

thread_local Operation* tCurrentOperation = nullptr;

}  // namespace

namespace detail {

// Constant-initialized and trivially destroyed, so workers that outlive
// static destruction still find it.
constinit Mutex gOperationGraphMutex;

struct QueueState : std::enable_shared_from_this<QueueState> {
  std::list<std::shared_ptr<Operation>> operations GUARDED_BY(gOperationGraphMutex);  // waiting or running, in the order added
  std::list<std::shared_ptr<Operation>> waiting GUARDED_BY(gOperationGraphMutex);     // pending ones, in the order added
  std::deque<std::shared_ptr<Operation>> startable GUARDED_BY(gOperationGraphMutex);  // claimed, not yet taken by a worker
  int maxConcurrent GUARDED_BY(gOperationGraphMutex) = OperationQueue::kDefaultMaxConcurrentOperationCount;
  bool suspended GUARDED_BY(gOperationGraphMutex) = false;
  std::size_t active GUARDED_BY(gOperationGraphMutex) = 0;    // claimed and not yet removed (startable or running)
  std::size_t threads GUARDED_BY(gOperationGraphMutex) = 0;   // workers alive
  std::size_t idle GUARDED_BY(gOperationGraphMutex) = 0;      // workers waiting for work
  std::size_t spawning GUARDED_BY(gOperationGraphMutex) = 0;  // workers created that have not yet looked for work
  std::size_t seeking GUARDED_BY(gOperationGraphMutex) = 0;   // workers that finished an operation and will look for work next
  double idleTimeout GUARDED_BY(gOperationGraphMutex) = OperationQueue::kDefaultIdleThreadTimeout;
  bool ownerGone GUARDED_BY(gOperationGraphMutex) = false;
  std::string name GUARDED_BY(gOperationGraphMutex);
  std::condition_variable_any work;     // workers wait here
  std::condition_variable_any drained;  // waitUntilAllOperationsAreDone waits here

  void dispatchLocked() REQUIRES(gOperationGraphMutex);
  void spawnWorkerLocked() REQUIRES(gOperationGraphMutex);
  void removeLocked(Operation& operation) REQUIRES(gOperationGraphMutex);
  static void workerMain(std::shared_ptr<QueueState> self) EXCLUDES(gOperationGraphMutex);
};

struct OperationGraph {
  // Ends an operation that has run (or was skipped) on the calling thread:
  // finished state, dependents released, completion callback. Its queue
  // (if any) lets it go afterwards.
  static void finish(Operation& operation);
};

void QueueState::dispatchLocked() {
  while (!suspended && (maxConcurrent < 0 || active < static_cast<std::size_t>(maxConcurrent))) {
    auto it = waiting.begin();
    while (it != waiting.end() && !(*it)->isReadyLocked()) ++it;
    if (it == waiting.end()) break;
    std::shared_ptr<Operation> operation = *it;
    waiting.erase(it);
    operation->state_ = Operation::State::Executing;
    ++active;
    startable.push_back(std::move(operation));
  }
  if (startable.empty()) return;
  while (startable.size() > idle + spawning + seeking) {
    std::size_t before = spawning;
    spawnWorkerLocked();
    if (spawning == before) break;  // could not create a thread; the next dispatch tries again
  }
  work.notify_all();
}

void QueueState::spawnWorkerLocked() {
  try {
    std::thread(&QueueState::workerMain, shared_from_this()).detach();
    ++threads;
    ++spawning;
  } catch (const std::system_error& error) {
    SystemLog("%s: creating a worker thread failed with error \"%s\"", __func__, error.what());
  }
}

void QueueState::removeLocked(Operation& operation) {
  operations.erase(operation.queueEntry_);
  operation.queueEntry_ = {};
  --active;
  if (operations.empty()) drained.notify_all();
}

void QueueState::workerMain(std::shared_ptr<QueueState> self) {
  pthread_setname_np(pthread_self(), "quorvel-queue");
  MutexLock lock(gOperationGraphMutex);
  --self->spawning;
  for (;;) {
    if (self->startable.empty()) {
      ++self->idle;
      const auto deadline = std::chrono::steady_clock::now() +
                            std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                std::chrono::duration<double>(self->idleTimeout));
      while (self->startable.empty() && !self->ownerGone) {
        if (!lock.waitUntil(self->work, deadline)) break;
      }
      --self->idle;
      if (self->startable.empty()) break;  // idle too long, or the queue is gone
    }
    std::shared_ptr<Operation> operation = std::move(self->startable.front());
    self->startable.pop_front();
    lock.unlock();
    operation->run();
    RunLoop::releaseCurrent();  // the next operation gets a fresh loop
    lock.lock();
    ++self->seeking;
    self->removeLocked(*operation);
    operation->queue_.reset();
    self->dispatchLocked();
    lock.unlock();
    operation.reset();  // may destroy it: outside the lock
    lock.lock();
    --self->seeking;
  }
  --self->threads;
}

void OperationGraph::finish(Operation& operation) {
  std::function<void()> completion;
  {
    MutexLock lock(gOperationGraphMutex);
    operation.state_ = Operation::State::Finished;
    operation.finished_.notify_all();
    for (const auto& weak : operation.dependents_) {
      auto dependent = weak.lock();
      if (!dependent || dependent->state_ != Operation::State::Pending) continue;
      if (dependent->unfinishedDependencies_ > 0 && --dependent->unfinishedDependencies_ == 0) {
        if (auto dependentQueue = dependent->queue_.lock()) dependentQueue->dispatchLocked();
      }
    }
    operation.dependents_.clear();
    completion = std::move(operation.completionBlock_);
    operation.completionBlock_ = nullptr;
  }
  if (completion) {
    try {
      completion();
    } catch (const std::exception& error) {
      SystemLog("%s: completion of operation \"%s\" raised \"%s\"", __func__, operation.name(), error.what());
    } catch (...) {
      SystemLog("%s: completion of operation \"%s\" raised an exception", __func__, operation.name());
    }
    completion = nullptr;
  }
}

}  // namespace detail

// ---------------------------------------------------------------------------
// Operation

Operation::Operation() = default;
Operation::~Operation() = default;

void Operation::main() {}

void Operation::cancel() {
  if (cancelled_.exchange(true)) return;
  MutexLock lock(detail::gOperationGraphMutex);
  if (state_ != State::Pending) return;
  if (auto queue = queue_.lock()) queue->dispatchLocked();
}

bool Operation::isReadyLocked() const {
  return state_ == State::Pending && (cancelled_.load() || unfinishedDependencies_ == 0);
}

bool Operation::isExecuting() const { return state_.load() == State::Executing; }
bool Operation::isFinished() const { return state_.load() == State::Finished; }

bool Operation::isReady() const {
  MutexLock lock(detail::gOperationGraphMutex);
  return isReadyLocked();
}

void Operation::start() {
  {
    MutexLock lock(detail::gOperationGraphMutex);
    if (enqueued_) throw InternalInconsistency("Operation::start called on an operation that belongs to a queue");
    if (state_ != State::Pending) throw InternalInconsistency("Operation::start called on an operation that has already started");
    if (!isReadyLocked()) throw InternalInconsistency("Operation::start called on an operation that is not ready");
    state_ = State::Executing;
  }
  run();
}

void Operation::run() {
  Operation* previous = tCurrentOperation;
  tCurrentOperation = this;
  if (!isCancelled()) {
    try {
      main();
    } catch (const std::exception& error) {
      SystemLog("%s: operation \"%s\" raised \"%s\"", __func__, name(), error.what());
    } catch (...) {
      SystemLog("%s: operation \"%s\" raised an exception", __func__, name());
    }
  }
  tCurrentOperation = previous;
  // OpenSSL keeps per-thread state (error queue, random generator) that it
  // frees only when a thread ends. A worker may still be alive when the
  // process exits - right after the last operation reported its end - so
  // an operation leaves none of that state behind.
  if (!previous) OPENSSL_thread_stop();
  detail::OperationGraph::finish(*this);
}

void Operation::addDependency(const std::shared_ptr<Operation>& operation) {
  if (!operation || operation.get() == this) return;
  MutexLock lock(detail::gOperationGraphMutex);
  if (std::find(dependencies_.begin(), dependencies_.end(), operation) != dependencies_.end()) return;
  dependencies_.push_back(operation);
  if (operation->state_ != State::Finished) {
    operation->dependents_.push_back(weak_from_this());
    ++unfinishedDependencies_;
  }
}

void Operation::removeDependency(const std::shared_ptr<Operation>& operation) {
  if (!operation) return;
  MutexLock lock(detail::gOperationGraphMutex);
  auto it = std::find(dependencies_.begin(), dependencies_.end(), operation);
  if (it == dependencies_.end()) return;
  dependencies_.erase(it);
  if (operation->state_ == State::Finished) return;
  auto& dependents = operation->dependents_;
  dependents.erase(std::remove_if(dependents.begin(), dependents.end(),
                                  [this](const std::weak_ptr<Operation>& w) {
                                    auto p = w.lock();
                                    return !p || p.get() == this;
                                  }),
                   dependents.end());
  if (unfinishedDependencies_ > 0 && --unfinishedDependencies_ == 0 && state_ == State::Pending) {
    if (auto queue = queue_.lock()) queue->dispatchLocked();
  }
}

std::vector<std::shared_ptr<Operation>> Operation::dependencies() const {
  MutexLock lock(detail::gOperationGraphMutex);
  return dependencies_;
}

void Operation::setCompletionBlock(std::function<void()> block) {
  std::function<void()> previous;
  MutexLock lock(detail::gOperationGraphMutex);
  previous = std::move(completionBlock_);
  completionBlock_ = std::move(block);
}

void Operation::waitUntilFinished() const {
  MutexLock lock(detail::gOperationGraphMutex);
  while (state_ != State::Finished) lock.wait(finished_);
}

void Operation::setName(std::string name) {
  MutexLock lock(detail::gOperationGraphMutex);
  name_ = std::move(name);
}

std::string Operation::name() const {
  MutexLock lock(detail::gOperationGraphMutex);
  return name_;
}

Operation* Operation::current() { return tCurrentOperation; }

BlockOperation::BlockOperation(std::function<void()> block) : block_(std::move(block)) {}

std::shared_ptr<BlockOperation> BlockOperation::create(std::function<void()> block) {
  return std::make_shared<BlockOperation>(std::move(block));
}

void BlockOperation::main() {
  if (block_) block_();
}

// ---------------------------------------------------------------------------
// OperationQueue

OperationQueue::OperationQueue() : state_(std::make_shared<detail::QueueState>()) {}

OperationQueue::~OperationQueue() {
  MutexLock lock(detail::gOperationGraphMutex);
  state_->ownerGone = true;
  state_->work.notify_all();
}

void OperationQueue::addOperation(std::shared_ptr<Operation> operation) {
  if (!operation) throw InternalInconsistency("OperationQueue::addOperation called with no operation");
  MutexLock lock(detail::gOperationGraphMutex);
  if (operation->enqueued_) throw InternalInconsistency("Operation added to a queue twice");
  if (operation->state_ != Operation::State::Pending) {
    throw InternalInconsistency("Operation added to a queue after it started");
  }
  operation->enqueued_ = true;
  operation->queue_ = state_;
  state_->operations.push_back(operation);
  operation->queueEntry_ = std::prev(state_->operations.end());
  state_->waiting.push_back(std::move(operation));
  state_->dispatchLocked();
}

void OperationQueue::addOperations(const std::vector<std::shared_ptr<Operation>>& operations, bool waitUntilFinished) {
  for (const auto& operation : operations) addOperation(operation);
  if (waitUntilFinished) {
    for (const auto& operation : operations) operation->waitUntilFinished();
  }
}

std::shared_ptr<BlockOperation> OperationQueue::addOperationWithBlock(std::function<void()> block) {
  auto operation = BlockOperation::create(std::move(block));
  addOperation(operation);
  return operation;
}

std::vector<std::shared_ptr<Operation>> OperationQueue::operations() const {
  MutexLock lock(detail::gOperationGraphMutex);
  return {state_->operations.begin(), state_->operations.end()};
}

std::size_t OperationQueue::operationCount() const {
  MutexLock lock(detail::gOperationGraphMutex);
  return state_->operations.size();
}

int OperationQueue::maxConcurrentOperationCount() const {
  MutexLock lock(detail::gOperationGraphMutex);
  return state_->maxConcurrent;
}

void OperationQueue::setMaxConcurrentOperationCount(int count) {
  MutexLock lock(detail::gOperationGraphMutex);
  state_->maxConcurrent = count < 0 ? kDefaultMaxConcurrentOperationCount : count;
  state_->dispatchLocked();
}

bool OperationQueue::isSuspended() const {
  MutexLock lock(detail::gOperationGraphMutex);
  return state_->suspended;
}

void OperationQueue::setSuspended(bool suspended) {
  MutexLock lock(detail::gOperationGraphMutex);
  state_->suspended = suspended;
  state_->dispatchLocked();
}

void OperationQueue::cancelAllOperations() {
  for (const auto& operation : operations()) operation->cancel();
}

void OperationQueue::waitUntilAllOperationsAreDone() {
  MutexLock lock(detail::gOperationGraphMutex);
  while (!state_->operations.empty()) lock.wait(state_->drained);
}

void OperationQueue::setName(std::string name) {
  MutexLock lock(detail::gOperationGraphMutex);
  state_->name = std::move(name);
}

std::string OperationQueue::name() const {
  MutexLock lock(detail::gOperationGraphMutex);
  return state_->name;
}

std::size_t OperationQueue::threadCount() const {
  MutexLock lock(detail::gOperationGraphMutex);
  return state_->threads;
}

double OperationQueue::idleThreadTimeout() const {
  MutexLock lock(detail::gOperationGraphMutex);
  return state_->idleTimeout;
}

void OperationQueue::setIdleThreadTimeout(double seconds) {
  MutexLock lock(detail::gOperationGraphMutex);
  state_->idleTimeout = std::max(0.0, seconds);
  state_->work.notify_all();
}

}  // namespace quorvel
