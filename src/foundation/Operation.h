// Operation: one unit of work, run once by an OperationQueue (or by start()
// on the calling thread), with dependencies, cancellation and a completion
// callback.
//
// Life: pending -> executing -> finished. An operation is ready when it is
// pending and every dependency has finished, or when it has been cancelled:
// a cancelled operation that has not started never runs main(), but it
// still goes through executing to finished, so that its dependents are
// released and its completion callback runs. Cancelling a running
// operation only sets the flag; main() is expected to look at
// isCancelled() and return early.
//
// Operations are held by shared pointer. A queue keeps an operation alive
// while it waits or runs; an operation keeps its dependencies alive (never
// make a cycle). Dependencies may cross queues.
//
// Threads: every method may be called from any thread. main() and the
// completion callback run on the thread that runs the operation - for a
// queue one of its worker threads, whose RunLoop::current() is a loop of its
// own for the duration of the operation. Operation::current() is the
// operation whose main() runs on the calling thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Mutex.h"

namespace quorvel {

class OperationQueue;
namespace detail {
struct QueueState;
struct OperationGraph;
// The process-wide operation graph mutex: it guards every operation's state
// and dependency links and every queue's lists and counters.
extern Mutex gOperationGraphMutex;
}  // namespace detail

class Operation : public std::enable_shared_from_this<Operation> {
 public:
  Operation();
  virtual ~Operation();
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  // The work. The base does nothing.
  virtual void main();

  // Sets the cancelled flag (for good). A pending operation becomes ready
  // at once and will finish without running main(). Subclasses that extend
  // it must call the base.
  virtual void cancel();

  // Runs the operation on the calling thread: main() unless cancelled, then
  // finishing. For operations that are not in a queue; throws
  // InternalInconsistency when the operation is in a queue, has already
  // started, or is not ready.
  void start();

  bool isCancelled() const { return cancelled_.load(); }
  bool isExecuting() const;
  bool isFinished() const;
  bool isReady() const;

  // Makes this operation wait until `operation` has finished. Only useful
  // before this operation starts. Adding an operation that has already
  // finished changes nothing; adding itself or a duplicate is ignored.
  void addDependency(const std::shared_ptr<Operation>& operation);
  void removeDependency(const std::shared_ptr<Operation>& operation);
  std::vector<std::shared_ptr<Operation>> dependencies() const;

  // Called once, after the operation has finished (also when it was
  // cancelled), on the thread that finished it; then dropped. A queue
  // counts the operation as its own until the callback has returned.
  void setCompletionBlock(std::function<void()> block);

  // Blocks until the operation has finished. Never call it from the
  // operation's own main().
  void waitUntilFinished() const;

  void setName(std::string name);
  std::string name() const;

  // The operation whose main() runs on the calling thread, or null.
  static Operation* current();

 private:
  friend class OperationQueue;
  friend struct detail::QueueState;
  friend struct detail::OperationGraph;
  enum class State { Pending, Executing, Finished };

  bool isReadyLocked() const REQUIRES(detail::gOperationGraphMutex);
  void run();  // main() unless cancelled, then finish; on the running thread

  std::atomic<bool> cancelled_{false};
  // Written under the graph mutex, read anywhere.
  std::atomic<State> state_{State::Pending};
  std::vector<std::shared_ptr<Operation>> dependencies_ GUARDED_BY(detail::gOperationGraphMutex);
  std::vector<std::weak_ptr<Operation>> dependents_ GUARDED_BY(detail::gOperationGraphMutex);
  std::size_t unfinishedDependencies_ GUARDED_BY(detail::gOperationGraphMutex) = 0;
  // Set while the operation belongs to a queue.
  std::weak_ptr<detail::QueueState> queue_ GUARDED_BY(detail::gOperationGraphMutex);
  // Added to a queue once (never twice).
  bool enqueued_ GUARDED_BY(detail::gOperationGraphMutex) = false;
  // In the queue's operations.
  std::list<std::shared_ptr<Operation>>::iterator queueEntry_ GUARDED_BY(detail::gOperationGraphMutex);
  // In the queue's waiting list while pending.
  std::list<std::shared_ptr<Operation>>::iterator waitingEntry_ GUARDED_BY(detail::gOperationGraphMutex);
  std::function<void()> completionBlock_ GUARDED_BY(detail::gOperationGraphMutex);
  std::string name_ GUARDED_BY(detail::gOperationGraphMutex);
  mutable std::condition_variable_any finished_;
};

class BlockOperation : public Operation {
 public:
  explicit BlockOperation(std::function<void()> block);
  static std::shared_ptr<BlockOperation> create(std::function<void()> block);
  void main() override;

 private:
  std::function<void()> block_;
};

}  // namespace quorvel
