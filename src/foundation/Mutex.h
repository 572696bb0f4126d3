// A mutex that clang's lock analysis (-Wthread-safety) understands.
//
// Fields that a mutex guards say so with GUARDED_BY(mutex_); private helpers
// that expect the caller to hold it say REQUIRES(mutex_); functions that take
// it themselves and must not be entered with it held say EXCLUDES(mutex_).
// The compiler then rejects a read or write of a guarded field without the
// lock. The annotations expand to nothing on other compilers.
//
//   Mutex mutex_;
//   std::vector<Job> jobs_ GUARDED_BY(mutex_);
//   std::condition_variable_any changed_;
//
//   void add(Job job) EXCLUDES(mutex_) {
//     MutexLock lock(mutex_);
//     jobs_.push_back(std::move(job));
//     changed_.notify_all();
//   }
//   Job take() EXCLUDES(mutex_) {
//     MutexLock lock(mutex_);
//     while (jobs_.empty()) lock.wait(changed_);
//     ...
//   }
//
// Conditions are waited for in a loop written out at the caller (not with a
// predicate lambda): the analysis reads a lambda's body as a function of its
// own that holds no lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define QUORVEL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QUORVEL_THREAD_ANNOTATION(x)
#endif

// A type that is a lock (a capability of the given kind).
#define CAPABILITY(x) QUORVEL_THREAD_ANNOTATION(capability(x))
// An object that holds a lock from its construction to its destruction.
#define SCOPED_CAPABILITY QUORVEL_THREAD_ANNOTATION(scoped_lockable)
// A field read or written only with the lock held.
#define GUARDED_BY(x) QUORVEL_THREAD_ANNOTATION(guarded_by(x))
// A pointer whose target is read or written only with the lock held.
#define PT_GUARDED_BY(x) QUORVEL_THREAD_ANNOTATION(pt_guarded_by(x))
// Lock order: this lock is taken after (before) the named ones.
#define ACQUIRED_AFTER(...) QUORVEL_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define ACQUIRED_BEFORE(...) QUORVEL_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
// The function is called with the lock held and returns with it held.
#define REQUIRES(...) QUORVEL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// The function takes the lock (and returns holding it).
#define ACQUIRE(...) QUORVEL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
// The function releases the lock (held on entry).
#define RELEASE(...) QUORVEL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// The function takes the lock when it returns the first argument.
#define TRY_ACQUIRE(...) QUORVEL_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// The function must not be called with the lock held (it takes it itself).
#define EXCLUDES(...) QUORVEL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// The function returns a reference to the lock.
#define RETURN_CAPABILITY(x) QUORVEL_THREAD_ANNOTATION(lock_returned(x))
// The function is not checked (for code whose locking the analysis cannot follow).
#define NO_THREAD_SAFETY_ANALYSIS QUORVEL_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace quorvel {

// std::mutex with annotations. Its lock(), unlock() and try_lock() make it a
// standard Lockable, so std::condition_variable_any waits on it directly.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  std::mutex mutex_;
};

// Holds a Mutex for its scope; the condition waits release it while they
// wait and hold it again when they return.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() {
    if (held_) mutex_.unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  // Lets the mutex go for a stretch of the scope (work that must not run
  // under it) and takes it again.
  void unlock() RELEASE() {
    mutex_.unlock();
    held_ = false;
  }
  void lock() ACQUIRE() {
    mutex_.lock();
    held_ = true;
  }

  // Waits for a notification (or a spurious wake-up).
  void wait(std::condition_variable_any& condition) { condition.wait(mutex_); }
  // The same with a deadline: false when it passed.
  template <typename Clock, typename Duration>
  bool waitUntil(std::condition_variable_any& condition, const std::chrono::time_point<Clock, Duration>& deadline) {
    return condition.wait_until(mutex_, deadline) == std::cv_status::no_timeout;
  }
  template <typename Rep, typename Period>
  bool waitFor(std::condition_variable_any& condition, const std::chrono::duration<Rep, Period>& duration) {
    return condition.wait_for(mutex_, duration) == std::cv_status::no_timeout;
  }

 private:
  Mutex& mutex_;
  bool held_ = true;
};

}  // namespace quorvel
