#include "foundation/OperationQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "foundation/InternalInconsistency.h"
#include "foundation/RunLoop.h"
#include "foundation/SystemLog.h"

namespace quorvel {
namespace {

using namespace std::chrono_literals;

// A gate that operations wait at until the test opens it.
class Gate {
 public:
  void open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    condition_.notify_all();
  }
  void wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    condition_.wait(lock, [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable condition_;
  bool open_ = false;
};

// An order book several threads write to.
class Journal {
 public:
  void add(int entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(entry);
  }
  std::vector<int> entries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<int> entries_;
};

template <typename Predicate>
bool WaitFor(Predicate condition, double seconds = 30.0) {
  auto limit = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= limit) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// --- concurrency limit ----------------------------------------------------------

TEST(OperationQueueLimits, NeverRunsMoreThanTheMaximumAtOnce) {
  OperationQueue queue;
  queue.setMaxConcurrentOperationCount(3);
  std::atomic<int> running{0};
  std::atomic<int> highest{0};
  std::atomic<int> done{0};
  for (int i = 0; i < 300; ++i) {
    queue.addOperationWithBlock([&] {
      int now = ++running;
      int seen = highest.load();
      while (now > seen && !highest.compare_exchange_weak(seen, now)) {
      }
      std::this_thread::sleep_for(std::chrono::microseconds(300));
      --running;
      ++done;
    });
  }
  queue.waitUntilAllOperationsAreDone();
  EXPECT_EQ(done.load(), 300);
  EXPECT_LE(highest.load(), 3);
  EXPECT_GE(highest.load(), 2) << "operations should overlap";
  EXPECT_LE(queue.threadCount(), 3u) << "threads are reused, not made per operation";
}

TEST(OperationQueueLimits, MaximumOfZeroStartsNothingUntilRaised) {
  OperationQueue queue;
  queue.setMaxConcurrentOperationCount(0);
  std::atomic<bool> ran{false};
  queue.addOperationWithBlock([&] { ran = true; });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(ran.load());
  EXPECT_EQ(queue.operationCount(), 1u);
  queue.setMaxConcurrentOperationCount(1);
  queue.waitUntilAllOperationsAreDone();
  EXPECT_TRUE(ran.load());
}

TEST(OperationQueueLimits, OneAtATimeRunsInTheOrderAdded) {
  OperationQueue queue;
  queue.setMaxConcurrentOperationCount(1);
  Journal journal;
  for (int i = 0; i < 50; ++i) queue.addOperationWithBlock([&journal, i] { journal.add(i); });
  queue.waitUntilAllOperationsAreDone();
  std::vector<int> expected(50);
  for (int i = 0; i < 50; ++i) expected[i] = i;
  EXPECT_EQ(journal.entries(), expected);
}

// --- suspension ------------------------------------------------------------------

TEST(OperationQueueSuspension, SuspendLetsRunningOperationsFinishAndHoldsQueuedOnesUntilResume) {
  OperationQueue queue;
  queue.setMaxConcurrentOperationCount(1);
  Gate gate;
  std::atomic<bool> firstStarted{false};
  std::atomic<int> later{0};
  auto first = queue.addOperationWithBlock([&] {
    firstStarted = true;
    gate.wait();
  });
  ASSERT_TRUE(WaitFor([&] { return firstStarted.load(); }));
  queue.setSuspended(true);
  EXPECT_TRUE(queue.isSuspended());
  for (int i = 0; i < 4; ++i) queue.addOperationWithBlock([&] { ++later; });
  gate.open();
  first->waitUntilFinished();  // the running one finishes while suspended
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(later.load(), 0);
  EXPECT_EQ(queue.operationCount(), 4u);
  queue.setSuspended(false);
  queue.waitUntilAllOperationsAreDone();
  EXPECT_EQ(later.load(), 4);
}

TEST(OperationQueueSuspension, SuspendedQueueWithAnUnlimitedMaximumStartsNothing) {
  OperationQueue queue;
  queue.setSuspended(true);
  std::atomic<int> ran{0};
  for (int i = 0; i < 10; ++i) queue.addOperationWithBlock([&] { ++ran; });
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(ran.load(), 0);
  EXPECT_EQ(queue.threadCount(), 0u);
  queue.setSuspended(false);
  queue.waitUntilAllOperationsAreDone();
  EXPECT_EQ(ran.load(), 10);
}

// --- dependencies ------------------------------------------------------------------

TEST(OperationQueueDependencies, ChainRunsInDependencyOrderWhateverTheOrderAdded) {
  OperationQueue queue;  // unlimited: only the dependencies order the chain
  Journal journal;
  std::vector<std::shared_ptr<Operation>> chain;
  for (int i = 0; i < 20; ++i) {
    chain.push_back(BlockOperation::create([&journal, i] { journal.add(i); }));
    if (i > 0) chain[i]->addDependency(chain[i - 1]);
  }
  EXPECT_TRUE(chain[0]->isReady());
  EXPECT_FALSE(chain[1]->isReady());
  for (int i = 19; i >= 0; --i) queue.addOperation(chain[i]);
  queue.waitUntilAllOperationsAreDone();
  std::vector<int> expected(20);
  for (int i = 0; i < 20; ++i) expected[i] = i;
  EXPECT_EQ(journal.entries(), expected);
}

TEST(OperationQueueDependencies, DependencyOnAnotherQueuesOperationHoldsTheDependent) {
  OperationQueue first, second;
  Gate gate;
  Journal journal;
  auto upstream = BlockOperation::create([&] {
    gate.wait();
    journal.add(1);
  });
  auto downstream = BlockOperation::create([&] { journal.add(2); });
  downstream->addDependency(upstream);
  second.addOperation(downstream);
  first.addOperation(upstream);
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(journal.entries().empty());
  EXPECT_FALSE(downstream->isExecuting());
  gate.open();
  second.waitUntilAllOperationsAreDone();
  EXPECT_EQ(journal.entries(), (std::vector<int>{1, 2}));
  EXPECT_TRUE(upstream->isFinished());
}

TEST(OperationQueueDependencies, DependencyThatAlreadyFinishedDoesNotHold) {
  auto done = BlockOperation::create([] {});
  done->start();
  ASSERT_TRUE(done->isFinished());
  auto later = BlockOperation::create([] {});
  later->addDependency(done);
  EXPECT_TRUE(later->isReady());
  EXPECT_EQ(later->dependencies().size(), 1u);
}

TEST(OperationQueueDependencies, RemovingTheLastUnfinishedDependencyReleasesTheOperation) {
  OperationQueue queue;
  auto never = BlockOperation::create([] {});  // never added anywhere
  std::atomic<bool> ran{false};
  auto waiting = BlockOperation::create([&] { ran = true; });
  waiting->addDependency(never);
  queue.addOperation(waiting);
  std::this_thread::sleep_for(30ms);
  EXPECT_FALSE(ran.load());
  waiting->removeDependency(never);
  queue.waitUntilAllOperationsAreDone();
  EXPECT_TRUE(ran.load());
}

// --- cancellation --------------------------------------------------------------------

TEST(OperationQueueCancellation, CancelledBeforeStartNeverRunsMainButFinishesAndReleasesDependents) {
  OperationQueue queue;
  queue.setSuspended(true);
  std::atomic<bool> cancelledRan{false};
  std::atomic<bool> completionRan{false};
  std::atomic<bool> dependentRan{false};
  auto cancelled = BlockOperation::create([&] { cancelledRan = true; });
  cancelled->setCompletionBlock([&] { completionRan = true; });
  auto dependent = BlockOperation::create([&] { dependentRan = true; });
  dependent->addDependency(cancelled);
  queue.addOperation(dependent);
  queue.addOperation(cancelled);
  cancelled->cancel();
  EXPECT_TRUE(cancelled->isCancelled());
  EXPECT_TRUE(cancelled->isReady());
  queue.setSuspended(false);
  queue.waitUntilAllOperationsAreDone();
  EXPECT_FALSE(cancelledRan.load());
  EXPECT_TRUE(cancelled->isFinished());
  EXPECT_TRUE(completionRan.load());
  EXPECT_TRUE(dependentRan.load());
}

TEST(OperationQueueCancellation, CancelledOperationWaitingForDependenciesFinishesWithoutThem) {
  OperationQueue queue;
  Gate gate;
  auto blocker = queue.addOperationWithBlock([&] { gate.wait(); });
  std::atomic<bool> ran{false};
  auto waiting = BlockOperation::create([&] { ran = true; });
  waiting->addDependency(blocker);
  queue.addOperation(waiting);
  waiting->cancel();
  waiting->waitUntilFinished();  // does not wait for the blocker
  EXPECT_FALSE(ran.load());
  EXPECT_FALSE(blocker->isFinished());
  gate.open();
  queue.waitUntilAllOperationsAreDone();
}

TEST(OperationQueueCancellation, CancelAllOperationsSkipsEveryWaitingOperation) {
  OperationQueue queue;
  queue.setSuspended(true);
  std::atomic<int> ran{0};
  std::atomic<int> completed{0};
  for (int i = 0; i < 10; ++i) {
    auto operation = BlockOperation::create([&] { ++ran; });
    operation->setCompletionBlock([&] { ++completed; });
    queue.addOperation(operation);
  }
  queue.cancelAllOperations();
  for (const auto& operation : queue.operations()) EXPECT_TRUE(operation->isCancelled());
  queue.setSuspended(false);
  queue.waitUntilAllOperationsAreDone();
  EXPECT_EQ(ran.load(), 0);
  EXPECT_EQ(completed.load(), 10);
}

TEST(OperationQueueCancellation, RunningOperationSeesItsCancellation) {
  OperationQueue queue;
  std::atomic<bool> started{false};
  std::atomic<bool> sawCancel{false};
  auto operation = queue.addOperationWithBlock([&] {
    started = true;
    auto* self = Operation::current();
    while (!self->isCancelled()) std::this_thread::sleep_for(1ms);
    sawCancel = true;
  });
  ASSERT_TRUE(WaitFor([&] { return started.load(); }));
  EXPECT_TRUE(operation->isExecuting());
  operation->cancel();
  queue.waitUntilAllOperationsAreDone();
  EXPECT_TRUE(sawCancel.load());
  EXPECT_TRUE(operation->isFinished());
  EXPECT_FALSE(operation->isExecuting());
}

// --- waiting, lifetime, threads ------------------------------------------------------

TEST(OperationQueueWaiting, WaitReturnsOnlyWhenTheQueueIsEmptyIncludingCompletionCallbacks) {
  OperationQueue queue;
  queue.setMaxConcurrentOperationCount(2);
  std::atomic<int> completed{0};
  for (int i = 0; i < 20; ++i) {
    auto operation = BlockOperation::create([] { std::this_thread::sleep_for(2ms); });
    operation->setCompletionBlock([&] {
      std::this_thread::sleep_for(1ms);
      ++completed;
    });
    queue.addOperation(operation);
  }
  queue.waitUntilAllOperationsAreDone();
  EXPECT_EQ(completed.load(), 20);
  EXPECT_EQ(queue.operationCount(), 0u);
  EXPECT_TRUE(queue.operations().empty());
}

TEST(OperationQueueWaiting, AddOperationsCanWaitForThem) {
  OperationQueue queue;
  std::atomic<int> ran{0};
  std::vector<std::shared_ptr<Operation>> batch;
  for (int i = 0; i < 5; ++i) batch.push_back(BlockOperation::create([&] { ++ran; }));
  queue.addOperations(batch, true);
  EXPECT_EQ(ran.load(), 5);
  for (const auto& operation : batch) EXPECT_TRUE(operation->isFinished());
}

TEST(OperationQueueLifetime, QueueKeepsAnOperationAliveUntilItFinishes) {
  OperationQueue queue;
  auto alive = std::make_shared<int>(0);
  std::weak_ptr<int> watch = alive;
  {
    auto operation = BlockOperation::create([alive] { std::this_thread::sleep_for(10ms); });
    alive.reset();
    queue.addOperation(operation);
  }
  queue.waitUntilAllOperationsAreDone();
  EXPECT_TRUE(WaitFor([&] { return watch.expired(); })) << "released once done";
}

TEST(OperationQueueLifetime, DestroyingTheQueueLetsRunningOperationsFinish) {
  std::atomic<bool> finished{false};
  Gate gate;
  std::shared_ptr<Operation> operation;
  {
    OperationQueue queue;
    operation = queue.addOperationWithBlock([&] {
      gate.wait();
      finished = true;
    });
    ASSERT_TRUE(WaitFor([&] { return operation->isExecuting(); }));
  }
  gate.open();
  operation->waitUntilFinished();
  EXPECT_TRUE(finished.load());
}

TEST(OperationQueueMisuse, AnOperationJoinsOneQueueOnce) {
  OperationQueue first, second;
  first.setSuspended(true);
  auto operation = BlockOperation::create([] {});
  first.addOperation(operation);
  EXPECT_THROW(first.addOperation(operation), InternalInconsistency);
  EXPECT_THROW(second.addOperation(operation), InternalInconsistency);
  EXPECT_THROW(operation->start(), InternalInconsistency);
  EXPECT_THROW(first.addOperation(nullptr), InternalInconsistency);
  first.setSuspended(false);
  first.waitUntilAllOperationsAreDone();
  auto done = BlockOperation::create([] {});
  done->start();
  EXPECT_THROW(done->start(), InternalInconsistency);
  EXPECT_THROW(second.addOperation(done), InternalInconsistency);
  auto blocked = BlockOperation::create([] {});
  blocked->addDependency(BlockOperation::create([] {}));
  EXPECT_THROW(blocked->start(), InternalInconsistency);
}

TEST(OperationQueueThreads, IdleThreadsEndAfterTheTimeoutAndAreMadeAgainOnDemand) {
  OperationQueue queue;
  queue.setIdleThreadTimeout(0.1);
  queue.setMaxConcurrentOperationCount(1);
  std::mutex mutex;
  std::set<std::thread::id> threads;
  for (int i = 0; i < 20; ++i) {
    queue.addOperationWithBlock([&] {
      std::lock_guard<std::mutex> lock(mutex);
      threads.insert(std::this_thread::get_id());
    });
  }
  queue.waitUntilAllOperationsAreDone();
  EXPECT_EQ(threads.size(), 1u) << "one worker serves a one-at-a-time queue";
  EXPECT_TRUE(WaitFor([&] { return queue.threadCount() == 0; })) << "the idle worker ends";
  std::atomic<bool> ran{false};
  queue.addOperationWithBlock([&] { ran = true; });
  queue.waitUntilAllOperationsAreDone();
  EXPECT_TRUE(ran.load());
}

TEST(OperationQueueThreads, EachOperationHasAFreshRunLoopOnItsThread) {
  OperationQueue queue;
  queue.setMaxConcurrentOperationCount(1);
  std::atomic<bool> firstFired{false};
  std::atomic<int> secondResult{0};
  std::atomic<bool> onMain{true};
  queue.addOperationWithBlock([&] {
    onMain = RunLoop::isMainThread();
    RunLoop& loop = RunLoop::current();
    auto timer = Timer::scheduled(0.01, false, [&](Timer&) { firstFired = true; });
    loop.runMode(kDefaultRunLoopMode, 30.0);
    // Left behind on purpose: must not reach the next operation.
    Timer::scheduled(3600, false, [](Timer&) {});
  });
  queue.addOperationWithBlock(
      [&] { secondResult = static_cast<int>(RunLoop::current().runMode(kDefaultRunLoopMode, 0.0)); });
  queue.waitUntilAllOperationsAreDone();
  EXPECT_FALSE(onMain.load());
  EXPECT_TRUE(firstFired.load());
  EXPECT_EQ(secondResult.load(), static_cast<int>(RunLoopResult::Finished));
}

TEST(OperationQueueThreads, OperationPostsItsResultToTheMainThread) {
  OperationQueue queue;
  int result = 0;  // main thread only
  queue.addOperationWithBlock([&] {
    int computed = 6 * 7;
    PerformOnMainThread([&result, computed] { result = computed; });
  });
  RunLoop& loop = RunLoop::main();
  Date limit = Date::now().addingTimeInterval(30);
  while (result == 0 && Date::now() < limit) {
    if (loop.runMode(kDefaultRunLoopMode, 0.2) == RunLoopResult::Finished) std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(result, 42);
  queue.waitUntilAllOperationsAreDone();
}

TEST(OperationQueueThreads, ExceptionInMainIsLoggedAndTheOperationStillFinishes) {
  SystemLogCapture capture;
  OperationQueue queue;
  auto failing = BlockOperation::create([] { throw std::runtime_error("disk on fire"); });
  failing->setName("failing");
  std::atomic<bool> dependentRan{false};
  auto dependent = BlockOperation::create([&] { dependentRan = true; });
  dependent->addDependency(failing);
  queue.addOperation(failing);
  queue.addOperation(dependent);
  queue.waitUntilAllOperationsAreDone();
  EXPECT_TRUE(failing->isFinished());
  EXPECT_TRUE(dependentRan.load());
  EXPECT_TRUE(capture.contains("disk on fire"));
}

class CountingOperation : public Operation {
 public:
  explicit CountingOperation(std::atomic<int>& counter) : counter_(counter) {}
  void main() override {
    EXPECT_EQ(Operation::current(), this);
    EXPECT_TRUE(isExecuting());
    ++counter_;
  }

 private:
  std::atomic<int>& counter_;
};

TEST(OperationQueueThreads, SubclassMainRunsWithItselfAsTheCurrentOperation) {
  std::atomic<int> counter{0};
  OperationQueue queue;
  queue.addOperation(std::make_shared<CountingOperation>(counter));
  auto direct = std::make_shared<CountingOperation>(counter);
  direct->start();  // on this thread
  queue.waitUntilAllOperationsAreDone();
  EXPECT_EQ(counter.load(), 2);
  EXPECT_EQ(Operation::current(), nullptr);
}

}  // namespace
}  // namespace quorvel
