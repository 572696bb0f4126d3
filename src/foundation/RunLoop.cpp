#include "foundation/RunLoop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <ostream>

#include "foundation/InternalInconsistency.h"
#include "foundation/SystemLog.h"

namespace quorvel {

namespace {

pid_t CurrentThreadId() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

// Which thread is the main thread, and its loop once somebody asked for it.
struct MainLoopRegistry {
  Mutex mutex;
  std::shared_ptr<RunLoop> loop GUARDED_BY(mutex);
  std::atomic<pid_t> thread{::getpid()};
  bool adopted GUARDED_BY(mutex) = false;  // the main thread has taken the loop as its current one
};

MainLoopRegistry& MainRegistry() {
  static MainLoopRegistry* registry = new MainLoopRegistry;  // never destroyed: outlives every thread
  return *registry;
}

template <typename T>
bool Contains(const std::vector<T>& items, const T& item) {
  return std::find(items.begin(), items.end(), item) != items.end();
}

// Longest single wait; keeps the timespec arithmetic far from overflow.
constexpr double kMaximumWait = 1.0e7;
// Wait used when the loop has no wake-up descriptor (descriptor exhaustion).
constexpr double kWaitWithoutWakeDescriptor = 0.01;

}  // namespace

namespace detail {

// The calling thread's loop; shut down when the thread ends.
struct RunLoopThreadHolder {
  std::shared_ptr<RunLoop> loop;
  ~RunLoopThreadHolder() {
    if (loop) loop->shutdown();
  }
};

}  // namespace detail

namespace {
thread_local detail::RunLoopThreadHolder tCurrentLoop;
}

const char* RunLoopResultName(RunLoopResult result) {
  switch (result) {
    case RunLoopResult::Finished: return "Finished";
    case RunLoopResult::Stopped: return "Stopped";
    case RunLoopResult::TimedOut: return "TimedOut";
    case RunLoopResult::HandledSource: return "HandledSource";
  }
  return "?";
}

std::ostream& operator<<(std::ostream& stream, RunLoopResult result) { return stream << RunLoopResultName(result); }

// ---------------------------------------------------------------------------
// Timer

Timer::Timer(Date fireDate, double interval, bool repeats, Callback callback)
    : fireDate_(fireDate),
      interval_(interval),
      repeats_(repeats && interval > 0),
      callback_(std::make_shared<Callback>(std::move(callback))) {}

Timer::~Timer() = default;

std::shared_ptr<Timer> Timer::create(Date fireDate, double interval, bool repeats, Callback callback) {
  return std::shared_ptr<Timer>(new Timer(fireDate, interval, repeats, std::move(callback)));
}

std::shared_ptr<Timer> Timer::withTimeInterval(double seconds, bool repeats, Callback callback) {
  return create(Date::now().addingTimeInterval(seconds), seconds, repeats, std::move(callback));
}

std::shared_ptr<Timer> Timer::scheduled(double seconds, bool repeats, Callback callback, const std::string& mode) {
  auto timer = withTimeInterval(seconds, repeats, std::move(callback));
  RunLoop::current().addTimer(timer, mode);
  return timer;
}

Date Timer::fireDate() const {
  MutexLock lock(mutex_);
  return fireDate_;
}

void Timer::setFireDate(Date date) {
  std::shared_ptr<RunLoop> loop;
  {
    MutexLock lock(mutex_);
    if (!valid_) return;
    fireDate_ = date;
    if (firing_) fireDateSetDuringCallout_ = true;
    loop = loop_.lock();
  }
  if (loop) loop->wakeUp();
}

void Timer::invalidate() {
  auto self = weak_from_this().lock();
  std::shared_ptr<RunLoop> loop;
  std::shared_ptr<Callback> dropped;
  {
    MutexLock lock(mutex_);
    if (!valid_) return;
    valid_ = false;
    dropped = std::move(callback_);
    loop = loop_.lock();
  }
  if (loop) loop->forgetTimer(this);
}

bool Timer::isValid() const {
  MutexLock lock(mutex_);
  return valid_;
}

// ---------------------------------------------------------------------------
// FileDescriptorSource

FileDescriptorSource::FileDescriptorSource(int fd, unsigned interest, Callback callback)
    : fd_(fd), interest_(interest & (Readable | Writable)), callback_(std::make_shared<Callback>(std::move(callback))) {}

FileDescriptorSource::~FileDescriptorSource() = default;

std::shared_ptr<FileDescriptorSource> FileDescriptorSource::create(int fd, unsigned interest, Callback callback) {
  return std::shared_ptr<FileDescriptorSource>(new FileDescriptorSource(fd, interest, std::move(callback)));
}

void FileDescriptorSource::setInterest(unsigned interest) {
  interest_.store(interest & (Readable | Writable));
  std::shared_ptr<RunLoop> loop;
  {
    MutexLock lock(mutex_);
    loop = loop_.lock();
  }
  if (loop) loop->wakeUp();
}

void FileDescriptorSource::invalidate() {
  auto self = weak_from_this().lock();
  std::shared_ptr<RunLoop> loop;
  std::shared_ptr<Callback> dropped;
  {
    MutexLock lock(mutex_);
    if (!valid_) return;
    valid_ = false;
    dropped = std::move(callback_);
    loop = loop_.lock();
  }
  if (loop) loop->forgetSource(this);
}

bool FileDescriptorSource::isValid() const {
  MutexLock lock(mutex_);
  return valid_;
}

// ---------------------------------------------------------------------------
// RunLoop state

struct RunLoop::TimerEntry {
  std::shared_ptr<Timer> timer;
  std::vector<std::string> modes;  // mode names and/or kRunLoopCommonModes
};

struct RunLoop::SourceEntry {
  std::shared_ptr<FileDescriptorSource> source;
  std::vector<std::string> modes;
};

struct RunLoop::Posted {
  std::function<void()> function;
  std::vector<std::string> modes;
};

struct RunLoop::Activation {
  std::string mode;
  bool stopped = false;
};

// Lock order: the loop's mutex before a timer's or a source's mutex.
struct RunLoop::State {
  mutable Mutex mutex;
  std::vector<TimerEntry> timers GUARDED_BY(mutex);
  std::vector<SourceEntry> sources GUARDED_BY(mutex);
  std::deque<Posted> posted GUARDED_BY(mutex);
  std::vector<std::string> commonModes GUARDED_BY(mutex){kDefaultRunLoopMode};
  std::vector<Activation*> activations GUARDED_BY(mutex);  // innermost last
  bool dead GUARDED_BY(mutex) = false;                     // the owning thread has ended
  unsigned rotation GUARDED_BY(mutex) = 0;                 // fairness between kinds of ready sources

  bool matches(const std::vector<std::string>& modes, const std::string& mode) const REQUIRES(mutex) {
    for (const auto& m : modes) {
      if (m == mode) return true;
      if (m == kRunLoopCommonModes && Contains(commonModes, mode)) return true;
    }
    return false;
  }
};

RunLoop::RunLoop(pid_t owner) : state_(std::make_unique<State>()), owner_(owner) {
  wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd_ < 0) {
    SystemLog("%s: eventfd() failed with error \"%s\"", __func__, std::strerror(errno));
  }
}

RunLoop::~RunLoop() {
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

std::shared_ptr<RunLoop> RunLoop::makeLoop(pid_t owner) { return std::shared_ptr<RunLoop>(new RunLoop(owner)); }

RunLoop& RunLoop::current() {
  if (tCurrentLoop.loop) return *tCurrentLoop.loop;
  pid_t self = CurrentThreadId();
  auto& registry = MainRegistry();
  {
    MutexLock lock(registry.mutex);
    if (self == registry.thread.load()) {
      if (!registry.loop) registry.loop = makeLoop(self);
      registry.adopted = true;
      tCurrentLoop.loop = registry.loop;
      return *tCurrentLoop.loop;
    }
  }
  tCurrentLoop.loop = makeLoop(self);
  return *tCurrentLoop.loop;
}

RunLoop& RunLoop::main() {
  auto& registry = MainRegistry();
  MutexLock lock(registry.mutex);
  if (!registry.loop) registry.loop = makeLoop(registry.thread.load());
  return *registry.loop;
}

void RunLoop::setMainThread() {
  pid_t self = CurrentThreadId();
  auto& registry = MainRegistry();
  MutexLock lock(registry.mutex);
  if (self == registry.thread.load()) return;
  if (registry.adopted) {
    throw InternalInconsistency("RunLoop::setMainThread called after the main thread took its run loop");
  }
  if (tCurrentLoop.loop) {
    throw InternalInconsistency("RunLoop::setMainThread called after the thread used its own run loop");
  }
  registry.thread.store(self);
  if (!registry.loop) registry.loop = makeLoop(self);
  registry.loop->owner_.store(self);
  registry.adopted = true;
  tCurrentLoop.loop = registry.loop;
}

bool RunLoop::isMainThread() { return CurrentThreadId() == MainRegistry().thread.load(); }

void RunLoop::releaseCurrent() {
  if (!tCurrentLoop.loop) return;
  if (isMainThread()) throw InternalInconsistency("RunLoop::releaseCurrent called on the main thread");
  auto loop = std::move(tCurrentLoop.loop);
  tCurrentLoop.loop.reset();
  loop->shutdown();
}

void RunLoop::shutdown() {
  std::vector<TimerEntry> timers;
  std::vector<SourceEntry> sources;
  std::deque<Posted> posted;
  {
    MutexLock lock(state_->mutex);
    if (state_->dead) return;
    state_->dead = true;
    timers.swap(state_->timers);
    sources.swap(state_->sources);
    posted.swap(state_->posted);
  }
  // Invalidate outside the loop's lock; what the callbacks captured is
  // released when these vectors go.
  for (auto& entry : timers) entry.timer->invalidate();
  for (auto& entry : sources) entry.source->invalidate();
}

void RunLoop::checkOwner(const char* function) const {
  if (CurrentThreadId() != owner_.load()) {
    throw InternalInconsistency(std::string(function) + " called on a thread that does not own the run loop");
  }
}

void RunLoop::wakeUp() {
  if (wakeFd_ < 0) return;
  std::uint64_t one = 1;
  ssize_t written = ::write(wakeFd_, &one, sizeof one);
  (void)written;  // EAGAIN: the counter is already non-zero, so the loop wakes anyway
}

// ---------------------------------------------------------------------------
// Sources

void RunLoop::addTimer(const std::shared_ptr<Timer>& timer, const std::string& mode) {
  if (!timer) return;
  bool deadLoop = false;
  {
    MutexLock lock(state_->mutex);
    MutexLock timerLock(timer->mutex_);
    if (!timer->valid_) return;
    if (timer->loopIdentity_ && timer->loopIdentity_ != this) {
      throw InternalInconsistency("Timer added to a second run loop");
    }
    if (state_->dead) {
      deadLoop = true;
    } else {
      timer->loop_ = weak_from_this();
      timer->loopIdentity_ = this;
      auto it = std::find_if(state_->timers.begin(), state_->timers.end(),
                             [&](const TimerEntry& e) { return e.timer == timer; });
      if (it == state_->timers.end()) {
        state_->timers.push_back({timer, {mode}});
      } else if (!Contains(it->modes, mode)) {
        it->modes.push_back(mode);
      }
    }
  }
  if (deadLoop) {
    timer->invalidate();  // its thread has ended: it could never fire
    return;
  }
  wakeUp();
}

void RunLoop::removeTimer(const std::shared_ptr<Timer>& timer, const std::string& mode) {
  if (!timer) return;
  std::shared_ptr<Timer> dropped;
  {
    MutexLock lock(state_->mutex);
    auto it = std::find_if(state_->timers.begin(), state_->timers.end(),
                           [&](const TimerEntry& e) { return e.timer == timer; });
    if (it == state_->timers.end()) return;
    it->modes.erase(std::remove(it->modes.begin(), it->modes.end(), mode), it->modes.end());
    if (it->modes.empty()) {
      dropped = std::move(it->timer);
      state_->timers.erase(it);
    }
  }
  wakeUp();
}

void RunLoop::forgetTimer(Timer* timer) {
  std::shared_ptr<Timer> dropped;
  {
    MutexLock lock(state_->mutex);
    auto it = std::find_if(state_->timers.begin(), state_->timers.end(),
                           [&](const TimerEntry& e) { return e.timer.get() == timer; });
    if (it == state_->timers.end()) return;
    dropped = std::move(it->timer);
    state_->timers.erase(it);
  }
  wakeUp();
}

bool RunLoop::containsTimer(const std::shared_ptr<Timer>& timer, const std::string& mode) const {
  MutexLock lock(state_->mutex);
  for (const auto& entry : state_->timers) {
    if (entry.timer != timer) continue;
    return mode == kRunLoopCommonModes ? Contains(entry.modes, mode) : state_->matches(entry.modes, mode);
  }
  return false;
}

void RunLoop::addSource(const std::shared_ptr<FileDescriptorSource>& source, const std::string& mode) {
  if (!source) return;
  bool deadLoop = false;
  {
    MutexLock lock(state_->mutex);
    MutexLock sourceLock(source->mutex_);
    if (!source->valid_) return;
    if (source->loopIdentity_ && source->loopIdentity_ != this) {
      throw InternalInconsistency("FileDescriptorSource added to a second run loop");
    }
    if (state_->dead) {
      deadLoop = true;
    } else {
      source->loop_ = weak_from_this();
      source->loopIdentity_ = this;
      auto it = std::find_if(state_->sources.begin(), state_->sources.end(),
                             [&](const SourceEntry& e) { return e.source == source; });
      if (it == state_->sources.end()) {
        state_->sources.push_back({source, {mode}});
      } else if (!Contains(it->modes, mode)) {
        it->modes.push_back(mode);
      }
    }
  }
  if (deadLoop) {
    source->invalidate();
    return;
  }
  wakeUp();
}

void RunLoop::removeSource(const std::shared_ptr<FileDescriptorSource>& source, const std::string& mode) {
  if (!source) return;
  std::shared_ptr<FileDescriptorSource> dropped;
  {
    MutexLock lock(state_->mutex);
    auto it = std::find_if(state_->sources.begin(), state_->sources.end(),
                           [&](const SourceEntry& e) { return e.source == source; });
    if (it == state_->sources.end()) return;
    it->modes.erase(std::remove(it->modes.begin(), it->modes.end(), mode), it->modes.end());
    if (it->modes.empty()) {
      dropped = std::move(it->source);
      state_->sources.erase(it);
    }
  }
  wakeUp();
}

void RunLoop::forgetSource(FileDescriptorSource* source) {
  std::shared_ptr<FileDescriptorSource> dropped;
  {
    MutexLock lock(state_->mutex);
    auto it = std::find_if(state_->sources.begin(), state_->sources.end(),
                           [&](const SourceEntry& e) { return e.source.get() == source; });
    if (it == state_->sources.end()) return;
    dropped = std::move(it->source);
    state_->sources.erase(it);
  }
  wakeUp();
}

bool RunLoop::containsSource(const std::shared_ptr<FileDescriptorSource>& source, const std::string& mode) const {
  MutexLock lock(state_->mutex);
  for (const auto& entry : state_->sources) {
    if (entry.source != source) continue;
    return mode == kRunLoopCommonModes ? Contains(entry.modes, mode) : state_->matches(entry.modes, mode);
  }
  return false;
}

bool RunLoop::perform(std::function<void()> function, const std::vector<std::string>& modes) {
  if (!function) return false;
  {
    MutexLock lock(state_->mutex);
    if (state_->dead) {
      // The loop's thread has ended; the function is dropped below, outside the lock.
    } else {
      state_->posted.push_back({std::move(function), modes.empty() ? std::vector<std::string>{kRunLoopCommonModes} : modes});
      function = nullptr;
    }
  }
  if (function) return false;
  wakeUp();
  return true;
}

void RunLoop::addCommonMode(const std::string& mode) {
  if (mode == kRunLoopCommonModes) return;
  {
    MutexLock lock(state_->mutex);
    if (Contains(state_->commonModes, mode)) return;
    state_->commonModes.push_back(mode);
  }
  wakeUp();
}

std::vector<std::string> RunLoop::commonModes() const {
  MutexLock lock(state_->mutex);
  return state_->commonModes;
}

// ---------------------------------------------------------------------------
// Running

void RunLoop::stop() {
  {
    MutexLock lock(state_->mutex);
    if (state_->activations.empty()) return;
    state_->activations.back()->stopped = true;
  }
  wakeUp();
}

std::string RunLoop::currentMode() const {
  MutexLock lock(state_->mutex);
  return state_->activations.empty() ? std::string() : state_->activations.back()->mode;
}

bool RunLoop::isRunning() const {
  MutexLock lock(state_->mutex);
  return !state_->activations.empty();
}

RunLoopResult RunLoop::runMode(const std::string& mode, Date limitDate) { return runInternal(mode, limitDate, true); }

RunLoopResult RunLoop::runMode(const std::string& mode, double seconds) {
  return runInternal(mode, Date::now().addingTimeInterval(seconds), true);
}

RunLoopResult RunLoop::run(const std::string& mode, Date limitDate) { return runInternal(mode, limitDate, false); }

void RunLoop::run() { runInternal(kDefaultRunLoopMode, Date::distantFuture(), false); }

RunLoopResult RunLoop::runInternal(const std::string& mode, Date limitDate, bool returnAfterSourceHandled) {
  checkOwner("RunLoop::runMode");
  if (mode == kRunLoopCommonModes) throw InternalInconsistency("RunLoop cannot run in the common modes set itself");
  auto self = shared_from_this();  // a callback may release the thread's loop
  Activation activation{mode};
  {
    MutexLock lock(state_->mutex);
    if (state_->dead) return RunLoopResult::Finished;
    state_->activations.push_back(&activation);
  }
  struct Pop {
    State* state;
    Activation* activation;
    ~Pop() {
      MutexLock lock(state->mutex);
      auto& a = state->activations;
      a.erase(std::remove(a.begin(), a.end(), activation), a.end());
    }
  } pop{state_.get(), &activation};

  auto stopped = [&] {
    MutexLock lock(state_->mutex);
    return activation.stopped;
  };
  for (;;) {
    if (stopped()) return RunLoopResult::Stopped;
    switch (handleOne(mode, limitDate)) {
      case Step::Finished:
        return RunLoopResult::Finished;
      case Step::TimedOut:
        return RunLoopResult::TimedOut;
      case Step::Handled:
        if (stopped()) return RunLoopResult::Stopped;
        if (returnAfterSourceHandled) return RunLoopResult::HandledSource;
        if (Date::now() >= limitDate) return RunLoopResult::TimedOut;
        break;
      case Step::Waited:
        break;
    }
  }
}

void RunLoop::fireTimer(const std::shared_ptr<Timer>& timer) {
  std::shared_ptr<Timer::Callback> callback;
  {
    MutexLock lock(timer->mutex_);
    if (!timer->valid_ || timer->firing_) return;
    timer->firing_ = true;
    timer->fireDateSetDuringCallout_ = false;
    callback = timer->callback_;
  }
  // Settles the timer after its callback, also when the callback throws.
  struct Settle {
    RunLoop* loop;
    const std::shared_ptr<Timer>& timer;
    ~Settle() {
      bool finished = false;
      std::shared_ptr<Timer::Callback> dropped;
      {
        MutexLock lock(timer->mutex_);
        timer->firing_ = false;
        if (!timer->valid_ || timer->fireDateSetDuringCallout_) return;
        if (timer->repeats_) {
          Date now = Date::now();
          Date next = timer->fireDate_.addingTimeInterval(timer->interval_);
          if (next <= now) {
            double missed = std::floor(now.timeIntervalSinceDate(timer->fireDate_) / timer->interval_);
            next = timer->fireDate_.addingTimeInterval((missed + 1) * timer->interval_);
          }
          timer->fireDate_ = next;
        } else {
          timer->valid_ = false;
          dropped = std::move(timer->callback_);
          finished = true;
        }
      }
      if (finished) loop->forgetTimer(timer.get());
    }
  } settle{this, timer};
  (*callback)(*timer);
}

RunLoop::Step RunLoop::handleOne(const std::string& mode, Date limitDate) {
  std::function<void()> postedFunction;
  std::shared_ptr<Timer> dueTimer;
  std::vector<pollfd> fds;
  std::vector<std::shared_ptr<FileDescriptorSource>> polled;
  const Date now = Date::now();
  Date deadline = limitDate;
  unsigned rotation = 0;
  {
    MutexLock lock(state_->mutex);
    if (state_->dead) return Step::Finished;
    rotation = state_->rotation++;
    bool anySource = false;

    auto postedIt = state_->posted.begin();
    while (postedIt != state_->posted.end() && !state_->matches(postedIt->modes, mode)) ++postedIt;
    if (postedIt != state_->posted.end()) anySource = true;

    Date dueDate;
    for (const auto& entry : state_->timers) {
      if (!state_->matches(entry.modes, mode)) continue;
      MutexLock timerLock(entry.timer->mutex_);
      if (!entry.timer->valid_) continue;
      anySource = true;
      if (entry.timer->firing_) continue;
      if (entry.timer->fireDate_ <= now) {
        if (!dueTimer || entry.timer->fireDate_ < dueDate) {
          dueTimer = entry.timer;
          dueDate = entry.timer->fireDate_;
        }
      } else if (entry.timer->fireDate_ < deadline) {
        deadline = entry.timer->fireDate_;
      }
    }

    fds.push_back({wakeFd_, POLLIN, 0});
    for (const auto& entry : state_->sources) {
      if (!state_->matches(entry.modes, mode)) continue;
      MutexLock sourceLock(entry.source->mutex_);
      if (!entry.source->valid_) continue;
      anySource = true;
      unsigned interest = entry.source->interest_.load();
      if (entry.source->inCallout_ || interest == 0) continue;
      short events = 0;
      if (interest & FileDescriptorSource::Readable) events |= POLLIN;
      if (interest & FileDescriptorSource::Writable) events |= POLLOUT;
      fds.push_back({entry.source->fd_, events, 0});
      polled.push_back(entry.source);
    }

    if (!anySource) return Step::Finished;
    // Alternate between a posted function and a due timer when both wait,
    // so that neither kind can starve the other.
    if (postedIt != state_->posted.end() && (!dueTimer || (rotation & 1) == 0)) {
      postedFunction = std::move(postedIt->function);
      state_->posted.erase(postedIt);
      dueTimer.reset();
    }
  }

  if (postedFunction) {
    postedFunction();
    return Step::Handled;
  }
  if (dueTimer) {
    fireTimer(dueTimer);
    return Step::Handled;
  }

  double wait = now >= limitDate ? 0.0 : std::clamp(deadline.timeIntervalSinceDate(now), 0.0, kMaximumWait);
  if (wakeFd_ < 0) wait = std::min(wait, kWaitWithoutWakeDescriptor);
  timespec timeout;
  timeout.tv_sec = static_cast<time_t>(wait);
  timeout.tv_nsec = static_cast<long>((wait - static_cast<double>(timeout.tv_sec)) * 1e9);
  if (timeout.tv_nsec >= 1000000000L) timeout.tv_nsec = 999999999L;
  int ready = ::ppoll(fds.data(), fds.size(), &timeout, nullptr);
  if (ready < 0 && errno != EINTR) {
    SystemLog("%s: ppoll() failed with error \"%s\"", __func__, std::strerror(errno));
  }
  if (ready > 0) {
    if (fds[0].revents & POLLIN) {
      std::uint64_t count;
      ssize_t drained = ::read(wakeFd_, &count, sizeof count);
      (void)drained;
    }
    const std::size_t n = polled.size();
    for (std::size_t k = 0; k < n; ++k) {
      const std::size_t i = (k + rotation) % n;
      const short revents = fds[i + 1].revents;
      if (revents == 0) continue;
      const auto& source = polled[i];
      std::shared_ptr<FileDescriptorSource::Callback> callback;
      {
        // The source may have been removed or paused since the poll began.
        MutexLock lock(state_->mutex);
        auto it = std::find_if(state_->sources.begin(), state_->sources.end(),
                               [&](const SourceEntry& e) { return e.source == source; });
        if (it == state_->sources.end() || !state_->matches(it->modes, mode)) continue;
        MutexLock sourceLock(source->mutex_);
        if (!source->valid_ || source->inCallout_ || source->interest_.load() == 0) continue;
        source->inCallout_ = true;
        callback = source->callback_;
      }
      unsigned events = 0;
      if (revents & POLLIN) events |= FileDescriptorSource::Readable;
      if (revents & POLLOUT) events |= FileDescriptorSource::Writable;
      if (revents & POLLHUP) events |= FileDescriptorSource::HangUp;
      if (revents & POLLERR) events |= FileDescriptorSource::Error;
      if (revents & POLLNVAL) events |= FileDescriptorSource::Invalid;
      struct EndCallout {
        const std::shared_ptr<FileDescriptorSource>& source;
        bool invalidate;
        ~EndCallout() {
          {
            MutexLock lock(source->mutex_);
            source->inCallout_ = false;
          }
          if (invalidate) source->invalidate();
        }
      } end{source, (events & FileDescriptorSource::Invalid) != 0};
      (*callback)(*source, events);
      return Step::Handled;
    }
  }
  if (Date::now() >= limitDate) return Step::TimedOut;
  return Step::Waited;
}

bool PerformOnMainThread(std::function<void()> function) { return RunLoop::main().perform(std::move(function)); }

}  // namespace quorvel
