// Run loops: one event loop per thread that serves timers, file-descriptor
// sources and functions posted from any thread, filtered by a named mode.
//
// Modes. Every source is added to one or more modes of one run loop; running
// the loop in a mode serves only the sources of that mode. A source added to
// kRunLoopCommonModes belongs to every mode of the loop's common set, which
// holds kDefaultRunLoopMode and whatever addCommonMode() adds, also modes
// added later. A private mode that is not in the common set (a transfer's
// "FileTransferActiveMode") serves only the sources added to it by name, so
// nothing else of the thread fires while a transfer waits in it.
//
// Threads. RunLoop::current() is the calling thread's loop, created on first
// use and shut down when the thread ends (its sources are invalidated and
// functions still posted to it are dropped). The main loop belongs to the
// process's initial thread: RunLoop::main() may be asked for from any thread
// at any time, even before the initial thread has touched its loop, and what
// is posted to it waits until that thread runs it. A program whose event
// thread is not the initial thread calls RunLoop::setMainThread() on that
// thread before the thread uses RunLoop::current().
//
// Only the owning thread runs a loop (runMode, run). Everything else -
// perform, stop, wakeUp, adding and removing sources, changing a timer's
// fire date, invalidating - may be called from any thread and wakes the loop
// when it waits.
//
// Callbacks run on the loop's thread with no lock held; they may add and
// remove sources and run the loop again (nested runs). A timer or
// file-descriptor source whose callback is in progress does not fire again
// in a nested run. An exception thrown by a callback ends the run and
// reaches the caller of runMode (the loop itself stays usable).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Date.h"
#include "foundation/Mutex.h"

namespace quorvel {

// The mode in which a loop normally runs.
inline constexpr char kDefaultRunLoopMode[] = "kCFRunLoopDefaultMode";
// Not a mode that can be run, but the name of the loop's common set when
// adding a source or posting a function.
inline constexpr char kRunLoopCommonModes[] = "kCFRunLoopCommonModes";

// Why RunLoop::runMode returned.
enum class RunLoopResult {
  Finished = 1,   // the mode has no sources (no timers, descriptor sources or posted functions)
  Stopped = 2,    // stop() was called for this run
  TimedOut = 3,   // the limit date passed without a source being handled
  HandledSource = 4,  // one source (timer, descriptor or posted function) was handled
};

const char* RunLoopResultName(RunLoopResult result);
std::ostream& operator<<(std::ostream& stream, RunLoopResult result);

class RunLoop;
namespace detail {
struct RunLoopThreadHolder;
}

// A timer that fires once or repeatedly on the run loop it was added to.
// Created by the factories below and held by shared pointer; a loop keeps the
// timers added to it alive until they are invalidated. A timer can be added
// to several modes of one loop, never to two loops.
//
// A one-shot timer invalidates itself after its callback returns, unless the
// callback gave it a new fire date with setFireDate. A repeating timer then
// moves its fire date on by its interval (missed firings are skipped, never
// delivered in a burst), unless the callback set a fire date itself.
class Timer : public std::enable_shared_from_this<Timer> {
 public:
  using Callback = std::function<void(Timer&)>;

  // A timer first firing at fireDate. A repeating timer with an interval of 0
  // or less fires once.
  static std::shared_ptr<Timer> create(Date fireDate, double interval, bool repeats, Callback callback);
  // A timer first firing `seconds` from now, repeating every `seconds` when asked.
  static std::shared_ptr<Timer> withTimeInterval(double seconds, bool repeats, Callback callback);
  // withTimeInterval, added to the current thread's loop in `mode`.
  static std::shared_ptr<Timer> scheduled(double seconds, bool repeats, Callback callback,
                                          const std::string& mode = kDefaultRunLoopMode);

  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  Date fireDate() const;
  // Any thread. A date in the past fires at the loop's next pass. Ignored
  // when the timer is invalid.
  void setFireDate(Date date);
  double timeInterval() const { return interval_; }
  bool repeats() const { return repeats_; }

  // Any thread. Removes the timer from its loop and drops the callback (and
  // what it captured). A callback already running on the loop's thread
  // finishes; the timer never fires again.
  void invalidate();
  bool isValid() const;

 private:
  friend class RunLoop;
  Timer(Date fireDate, double interval, bool repeats, Callback callback);

  mutable Mutex mutex_;
  Date fireDate_ GUARDED_BY(mutex_);
  const double interval_;
  const bool repeats_;
  std::shared_ptr<Callback> callback_ GUARDED_BY(mutex_);
  bool valid_ GUARDED_BY(mutex_) = true;
  std::weak_ptr<RunLoop> loop_ GUARDED_BY(mutex_);
  RunLoop* loopIdentity_ GUARDED_BY(mutex_) = nullptr;
  // Changed only by the loop's thread, read by setFireDate on any thread.
  bool firing_ GUARDED_BY(mutex_) = false;
  bool fireDateSetDuringCallout_ GUARDED_BY(mutex_) = false;
};

// A file descriptor watched by a run loop. The source does not own the
// descriptor: invalidate the source before closing it. Readiness is level
// triggered: the callback fires on every pass while the descriptor stays
// ready, so it must read (or write) or change its interest.
class FileDescriptorSource : public std::enable_shared_from_this<FileDescriptorSource> {
 public:
  enum Event : unsigned {
    Readable = 1u << 0,
    Writable = 1u << 1,
    // Reported whatever the interest: the other end hung up (a reader
    // should read on Readable or HangUp and treat 0 bytes as the end), an
    // error condition, or a descriptor that is not open (the source is then
    // invalidated after its callback).
    HangUp = 1u << 2,
    Error = 1u << 3,
    Invalid = 1u << 4,
  };
  using Callback = std::function<void(FileDescriptorSource&, unsigned events)>;

  // interest: Readable, Writable or both.
  static std::shared_ptr<FileDescriptorSource> create(int fd, unsigned interest, Callback callback);

  ~FileDescriptorSource();
  FileDescriptorSource(const FileDescriptorSource&) = delete;
  FileDescriptorSource& operator=(const FileDescriptorSource&) = delete;

  int fileDescriptor() const { return fd_; }
  unsigned interest() const { return interest_.load(); }
  // Any thread. An interest of 0 pauses the source; it stays added (and
  // keeps its modes from counting as empty).
  void setInterest(unsigned interest);

  // Any thread. Removes the source from its loop and drops the callback.
  void invalidate();
  bool isValid() const;

 private:
  friend class RunLoop;
  FileDescriptorSource(int fd, unsigned interest, Callback callback);

  const int fd_;
  std::atomic<unsigned> interest_;
  mutable Mutex mutex_;
  std::shared_ptr<Callback> callback_ GUARDED_BY(mutex_);
  bool valid_ GUARDED_BY(mutex_) = true;
  std::weak_ptr<RunLoop> loop_ GUARDED_BY(mutex_);
  RunLoop* loopIdentity_ GUARDED_BY(mutex_) = nullptr;
  // Changed only by the loop's thread.
  bool inCallout_ GUARDED_BY(mutex_) = false;
};

class RunLoop : public std::enable_shared_from_this<RunLoop> {
 public:
  // The calling thread's loop (created on first use). The reference stays
  // valid until the thread ends; hold shared_from_this() to keep the object
  // beyond that (posting to a loop whose thread has ended does nothing).
  static RunLoop& current();
  // The main thread's loop; any thread may post to it.
  static RunLoop& main();
  // Makes the calling thread the main thread. Must come before the calling
  // thread uses current() and before the initial thread has taken the main
  // loop; throws InternalInconsistency otherwise. A no-op on the main thread.
  static void setMainThread();
  static bool isMainThread();
  // Ends the calling thread's loop as if the thread ended; the next
  // current() creates a fresh one. For pooled threads between jobs; never
  // on the main thread.
  static void releaseCurrent();

  ~RunLoop();
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

  // Sources. `mode` is a mode name or kRunLoopCommonModes. Adding an invalid
  // source does nothing; adding a source that belongs to another loop throws
  // InternalInconsistency. Removing takes the source out of one mode (or out
  // of the common set); a source taken out of every mode stays valid and
  // may be added again.
  void addTimer(const std::shared_ptr<Timer>& timer, const std::string& mode);
  void removeTimer(const std::shared_ptr<Timer>& timer, const std::string& mode);
  void addSource(const std::shared_ptr<FileDescriptorSource>& source, const std::string& mode);
  void removeSource(const std::shared_ptr<FileDescriptorSource>& source, const std::string& mode);
  bool containsTimer(const std::shared_ptr<Timer>& timer, const std::string& mode) const;
  bool containsSource(const std::shared_ptr<FileDescriptorSource>& source, const std::string& mode) const;

  // Posts a function to run once on this loop's thread, in the first pass of
  // any of `modes` (mode names, or kRunLoopCommonModes; no modes means the
  // common set). Functions run in the order they were posted among those
  // that match the running mode, so one thread's posts arrive in order.
  // Returns false, dropping the function, when the loop's thread has ended.
  bool perform(std::function<void()> function, const std::vector<std::string>& modes = {kRunLoopCommonModes});

  // Adds a mode to the common set; sources of the common set join it at once.
  void addCommonMode(const std::string& mode);
  std::vector<std::string> commonModes() const;

  // Runs the loop in `mode` until one source was handled, the limit date
  // passed, stop() was called, or the mode had no sources. Ready sources are
  // still served once when the limit date has already passed. A timer that
  // fires counts as a handled source. Owning thread only.
  RunLoopResult runMode(const std::string& mode, Date limitDate);
  RunLoopResult runMode(const std::string& mode, double seconds);
  // Keeps handling sources in `mode` until the limit date, stop() or no
  // sources; never returns HandledSource.
  RunLoopResult run(const std::string& mode, Date limitDate);
  // Runs the default mode until stop() or until it has no sources.
  void run();
  // Ends the innermost run of this loop in progress (it returns Stopped).
  // Has no effect when the loop is not running. Any thread.
  void stop();
  // Makes a waiting loop look at its sources again. Any thread.
  void wakeUp();
  // For a thread whose events are served by another toolkit's event loop
  // (the desktop application's): a descriptor that becomes readable when a
  // function is posted or a source is added or changed. The owner watches
  // it, reads it empty (8 bytes, non-blocking) and then runs runMode with a
  // limit date in the past until it answers other than HandledSource.
  // Timers are not announced here. -1 when the loop has no such descriptor.
  int wakeDescriptor() const { return wakeFd_; }

  // The mode of the innermost run in progress, empty when not running.
  // Owning thread only.
  std::string currentMode() const;
  // True while a run is in progress (any thread).
  bool isRunning() const;

 private:
  friend class Timer;
  friend class FileDescriptorSource;
  friend struct detail::RunLoopThreadHolder;
  struct Activation;
  struct TimerEntry;
  struct SourceEntry;
  struct Posted;
  struct State;
  enum class Step { Handled, Finished, TimedOut, Waited };

  explicit RunLoop(pid_t owner);
  static std::shared_ptr<RunLoop> makeLoop(pid_t owner);
  void shutdown();
  void checkOwner(const char* function) const;
  RunLoopResult runInternal(const std::string& mode, Date limitDate, bool returnAfterSourceHandled);
  Step handleOne(const std::string& mode, Date limitDate);
  void fireTimer(const std::shared_ptr<Timer>& timer);
  void forgetTimer(Timer* timer);
  void forgetSource(FileDescriptorSource* source);

  std::unique_ptr<State> state_;
  std::atomic<pid_t> owner_;
  int wakeFd_ = -1;
};

// Posts a function to the main loop in its common modes and returns at once.
// Returns false (dropping the function) when the main thread has ended.
bool PerformOnMainThread(std::function<void()> function);

}  // namespace quorvel
