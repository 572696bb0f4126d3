// OperationQueue: runs operations on worker threads of its own, in the
// order they were added among those that are ready, at most
// maxConcurrentOperationCount at a time.
//
// Threads are created on demand and reused; a worker that has had nothing to
// do for idleThreadTimeout() seconds ends. Each operation gets a fresh
// RunLoop::current() on its worker thread (the loop is released when the
// operation finishes, so sources an operation leaves behind do not outlive
// it).
//
// Suspending stops new operations from starting; running ones finish.
// Operations keep the queue's workers busy until they have finished and
// their completion callbacks have returned.
//
// Every method may be called from any thread. Never wait on a queue from
// one of its own operations (waitUntilAllOperationsAreDone would wait for
// itself).
//
// Destroying a queue does not wait: operations that are running or ready
// still run to their end on its workers; operations that can never start
// (the queue was suspended, or they wait for dependencies) are dropped
// unstarted when the queue goes.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Operation.h"

namespace quorvel {

class OperationQueue {
 public:
  // No limit: every ready operation gets a thread.
  static constexpr int kDefaultMaxConcurrentOperationCount = -1;
  static constexpr double kDefaultIdleThreadTimeout = 5.0;

  OperationQueue();
  ~OperationQueue();
  OperationQueue(const OperationQueue&) = delete;
  OperationQueue& operator=(const OperationQueue&) = delete;

  // Adds an operation. Throws InternalInconsistency when it is null, has
  // been in a queue before, or has started or finished.
  void addOperation(std::shared_ptr<Operation> operation);
  void addOperations(const std::vector<std::shared_ptr<Operation>>& operations, bool waitUntilFinished);
  // Wraps the function in a BlockOperation, adds it and answers it.
  std::shared_ptr<BlockOperation> addOperationWithBlock(std::function<void()> block);

  // The operations that wait or run, in the order they were added.
  std::vector<std::shared_ptr<Operation>> operations() const;
  std::size_t operationCount() const;

  // A negative count means no limit; 0 lets nothing start.
  int maxConcurrentOperationCount() const;
  void setMaxConcurrentOperationCount(int count);

  bool isSuspended() const;
  void setSuspended(bool suspended);

  // Cancels every operation in the queue (see Operation::cancel).
  void cancelAllOperations();
  // Blocks until the queue holds no operation.
  void waitUntilAllOperationsAreDone();

  void setName(std::string name);
  std::string name() const;

  // Worker threads alive now (running or idle).
  std::size_t threadCount() const;
  double idleThreadTimeout() const;
  void setIdleThreadTimeout(double seconds);

 private:
  std::shared_ptr<detail::QueueState> state_;
};

}  // namespace quorvel
