#include "foundation/Mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <thread>
#include <vector>

namespace quorvel {
namespace {

using namespace std::chrono_literals;

// A counter and a queue of numbers guarded by one mutex, the way the
// foundation classes use it.
class GuardedQueue {
 public:
  void push(int value) EXCLUDES(mutex_) {
    {
      MutexLock lock(mutex_);
      values_.push_back(value);
      ++pushes_;
    }
    changed_.notify_all();
  }

  // Waits for a value until the deadline; -1 when none came.
  int pop(std::chrono::milliseconds patience) EXCLUDES(mutex_) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    MutexLock lock(mutex_);
    while (values_.empty()) {
      if (!lock.waitUntil(changed_, deadline)) break;
    }
    if (values_.empty()) return -1;
    int value = values_.front();
    values_.erase(values_.begin());
    return value;
  }

  int pushes() const EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    return pushes_;
  }

  // Lets the lock go in the middle of the scope: another thread gets in.
  bool letsOthersInWhileUnlocked() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    lock.unlock();
    std::atomic<bool> entered{false};
    std::thread other([&] {
      MutexLock otherLock(mutex_);
      entered = true;
    });
    other.join();
    lock.lock();
    ++pushes_;  // held again: the analysis and the mutex agree
    return entered;
  }

  bool tryLockWhileHeld() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    bool taken = false;
    std::thread other([&] {
      if (mutex_.try_lock()) {
        taken = true;
        mutex_.unlock();
      }
    });
    other.join();
    return taken;
  }

  bool tryLockWhenFree() EXCLUDES(mutex_) {
    if (!mutex_.try_lock()) return false;
    mutex_.unlock();
    return true;
  }

 private:
  mutable Mutex mutex_;
  std::condition_variable_any changed_;
  std::vector<int> values_ GUARDED_BY(mutex_);
  int pushes_ GUARDED_BY(mutex_) = 0;
};

TEST(Mutex, GuardsFieldsAcrossThreads) {
  GuardedQueue queue;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) queue.push(i);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(queue.pushes(), 4000);
}

TEST(Mutex, WaitingReleasesTheLockUntilNotified) {
  GuardedQueue queue;
  std::thread producer([&] {
    std::this_thread::sleep_for(20ms);
    queue.push(7);  // needs the lock that the waiting consumer holds between waits
  });
  EXPECT_EQ(queue.pop(10s), 7);
  producer.join();
}

TEST(Mutex, AWaitWithADeadlineEndsWhenItPasses) {
  GuardedQueue queue;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(queue.pop(30ms), -1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
}

TEST(Mutex, AScopedLockCanLetGoAndTakeItAgain) {
  GuardedQueue queue;
  EXPECT_TRUE(queue.letsOthersInWhileUnlocked());
  EXPECT_EQ(queue.pushes(), 1);
}

TEST(Mutex, TryLockFailsOnlyWhileSomebodyHoldsIt) {
  GuardedQueue queue;
  EXPECT_FALSE(queue.tryLockWhileHeld());
  EXPECT_TRUE(queue.tryLockWhenFree());
}

}  // namespace
}  // namespace quorvel
