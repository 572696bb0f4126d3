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

// One entry per timer or descriptor source added to the loop, with the modes
// it was added to.
struct RunLoop::TimerEntry {
  std::shared_ptr<Timer> item;
  std::vector<std::string> modes;  // mode names and/or kRunLoopCommonModes
};

struct RunLoop::SourceEntry {
  std::shared_ptr<FileDescriptorSource> item;
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

namespace {

template <typename Entries, typename Item>
auto FindEntry(Entries& entries, const Item* item) {
  return std::find_if(entries.begin(), entries.end(), [&](const auto& e) { return e.item.get() == item; });
}

// What one pass of the loop found to do, gathered under the loop's lock.
struct LoopPass {
  unsigned rotation = 0;  // where the fair rotation stands in this pass
  std::function<void()> postedFunction;
  std::shared_ptr<Timer> dueTimer;
  Date deadline;  // the earliest of the limit date and the next timer's fire date
  // The wake-up descriptor first, then one entry per source in `polled`.
  std::vector<pollfd> fds;
  std::vector<std::shared_ptr<FileDescriptorSource>> polled;
};

unsigned EventsFromPoll(short revents) {
  unsigned events = 0;
  if (revents & POLLIN) events |= FileDescriptorSource::Readable;
  if (revents & POLLOUT) events |= FileDescriptorSource::Writable;
  if (revents & POLLHUP) events |= FileDescriptorSource::HangUp;
  if (revents & POLLERR) events |= FileDescriptorSource::Error;
  if (revents & POLLNVAL) events |= FileDescriptorSource::Invalid;
  return events;
}

// Waits in ppoll until a polled descriptor is ready, the pass's deadline or
// a wake-up; drains the wake-up counter. Answers what ppoll answered.
int WaitForReadiness(LoopPass& pass, Date now, Date limitDate, int wakeFd) {
  double wait = now >= limitDate ? 0.0 : std::clamp(pass.deadline.timeIntervalSinceDate(now), 0.0, kMaximumWait);
  if (wakeFd < 0) wait = std::min(wait, kWaitWithoutWakeDescriptor);
  timespec timeout;
  timeout.tv_sec = static_cast<time_t>(wait);
  timeout.tv_nsec = static_cast<long>((wait - static_cast<double>(timeout.tv_sec)) * 1e9);
  if (timeout.tv_nsec >= 1000000000L) timeout.tv_nsec = 999999999L;
  int ready = ::ppoll(pass.fds.data(), pass.fds.size(), &timeout, nullptr);
  if (ready < 0 && errno != EINTR) {
    SystemLog("%s: ppoll() failed with error \"%s\"", "handleOne", std::strerror(errno));
  }
  if (ready > 0 && (pass.fds[0].revents & POLLIN)) {
    std::uint64_t count;
    ssize_t drained = ::read(wakeFd, &count, sizeof count);
    (void)drained;
  }
  return ready;
}

}  // namespace

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

  // The list that holds a kind of source.
  std::vector<TimerEntry>& entriesOf(const Timer*) REQUIRES(mutex) { return timers; }
  std::vector<SourceEntry>& entriesOf(const FileDescriptorSource*) REQUIRES(mutex) { return sources; }
  const std::vector<TimerEntry>& entriesOf(const Timer*) const REQUIRES(mutex) { return timers; }
  const std::vector<SourceEntry>& entriesOf(const FileDescriptorSource*) const REQUIRES(mutex) { return sources; }

  // Timers and descriptor sources are added, removed, forgotten and looked
  // up alike. `kind` names the item's class in errors.
  template <typename Item>
  void add(RunLoop& loop, const std::shared_ptr<Item>& item, const std::string& mode, const char* kind)
      EXCLUDES(mutex);
  // Takes the item out of one mode (all of them with no mode); false when
  // the loop did not hold it.
  template <typename Item>
  bool remove(const Item* item, const std::string* mode) EXCLUDES(mutex);
  template <typename Item>
  bool contains(const std::shared_ptr<Item>& item, const std::string& mode) const EXCLUDES(mutex);

  // One pass of handleOne, in its steps. gather() finds what is due in
  // `mode` (false when the loop has nothing to serve in it).
  bool gather(const std::string& mode, Date now, int wakeFd, LoopPass& pass) EXCLUDES(mutex);
  bool gatherTimers(const std::string& mode, Date now, LoopPass& pass) REQUIRES(mutex);
  bool gatherSources(const std::string& mode, int wakeFd, LoopPass& pass) REQUIRES(mutex);
  // Calls back the first ready source (in the pass's rotation) that may
  // still be called; false when none was.
  bool serveReadySource(const std::string& mode, const LoopPass& pass) EXCLUDES(mutex);
  // Marks the source as in its callout and answers its callback; null when
  // it was removed, invalidated or paused since the poll began.
  std::shared_ptr<FileDescriptorSource::Callback> beginCallout(const std::shared_ptr<FileDescriptorSource>& source,
                                                              const std::string& mode) EXCLUDES(mutex);
  static void callOut(const std::shared_ptr<FileDescriptorSource>& source,
                      const FileDescriptorSource::Callback& callback, unsigned events);
};

template <typename Item>
void RunLoop::State::add(RunLoop& loop, const std::shared_ptr<Item>& item, const std::string& mode, const char* kind) {
  if (!item) return;
  bool deadLoop = false;
  {
    MutexLock lock(mutex);
    MutexLock itemLock(item->mutex_);
    if (!item->valid_) return;
    if (item->loopIdentity_ && item->loopIdentity_ != &loop) {
      throw InternalInconsistency(std::string(kind) + " added to a second run loop");
    }
    if (dead) {
      deadLoop = true;
    } else {
      item->loop_ = loop.weak_from_this();
      item->loopIdentity_ = &loop;
      auto& entries = entriesOf(item.get());
      auto it = FindEntry(entries, item.get());
      if (it == entries.end()) {
        entries.push_back({item, {mode}});
      } else if (!Contains(it->modes, mode)) {
        it->modes.push_back(mode);
      }
    }
  }
  if (deadLoop) {
    item->invalidate();  // its thread has ended: it could never fire
    return;
  }
  loop.wakeUp();
}

template <typename Item>
bool RunLoop::State::remove(const Item* item, const std::string* mode) {
  std::shared_ptr<Item> dropped;  // released after the lock
  MutexLock lock(mutex);
  auto& entries = entriesOf(item);
  auto it = FindEntry(entries, item);
  if (it == entries.end()) return false;
  if (mode) it->modes.erase(std::remove(it->modes.begin(), it->modes.end(), *mode), it->modes.end());
  if (!mode || it->modes.empty()) {
    dropped = std::move(it->item);
    entries.erase(it);
  }
  return true;
}

template <typename Item>
bool RunLoop::State::contains(const std::shared_ptr<Item>& item, const std::string& mode) const {
  MutexLock lock(mutex);
  for (const auto& entry : entriesOf(item.get())) {
    if (entry.item != item) continue;
    return mode == kRunLoopCommonModes ? Contains(entry.modes, mode) : matches(entry.modes, mode);
  }
  return false;
}

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
  for (auto& entry : timers) entry.item->invalidate();
  for (auto& entry : sources) entry.item->invalidate();
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
  state_->add(*this, timer, mode, "Timer");
}

void RunLoop::removeTimer(const std::shared_ptr<Timer>& timer, const std::string& mode) {
  if (timer && state_->remove(timer.get(), &mode)) wakeUp();
}

void RunLoop::forgetTimer(Timer* timer) {
  if (state_->remove(timer, nullptr)) wakeUp();
}

bool RunLoop::containsTimer(const std::shared_ptr<Timer>& timer, const std::string& mode) const {
  return state_->contains(timer, mode);
}

void RunLoop::addSource(const std::shared_ptr<FileDescriptorSource>& source, const std::string& mode) {
  state_->add(*this, source, mode, "FileDescriptorSource");
}

void RunLoop::removeSource(const std::shared_ptr<FileDescriptorSource>& source, const std::string& mode) {
  if (source && state_->remove(source.get(), &mode)) wakeUp();
}

void RunLoop::forgetSource(FileDescriptorSource* source) {
  if (state_->remove(source, nullptr)) wakeUp();
}

bool RunLoop::containsSource(const std::shared_ptr<FileDescriptorSource>& source, const std::string& mode) const {
  return state_->contains(source, mode);
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

bool RunLoop::State::gather(const std::string& mode, Date now, int wakeFd, LoopPass& pass) {
  MutexLock lock(mutex);
  if (dead) return false;
  pass.rotation = rotation++;
  auto postedIt = posted.begin();
  while (postedIt != posted.end() && !matches(postedIt->modes, mode)) ++postedIt;
  const bool anyPosted = postedIt != posted.end();
  const bool anyTimer = gatherTimers(mode, now, pass);
  const bool anySource = gatherSources(mode, wakeFd, pass);
  if (!anyPosted && !anyTimer && !anySource) return false;
  // Alternate between a posted function and a due timer when both wait,
  // so that neither kind can starve the other.
  if (anyPosted && (!pass.dueTimer || (pass.rotation & 1) == 0)) {
    pass.postedFunction = std::move(postedIt->function);
    posted.erase(postedIt);
    pass.dueTimer.reset();
  }
  return true;
}

// The earliest due timer of the mode, and the pass's deadline moved to the
// next fire date. True when the mode has a valid timer at all.
bool RunLoop::State::gatherTimers(const std::string& mode, Date now, LoopPass& pass) {
  bool any = false;
  Date dueDate;
  for (const auto& entry : timers) {
    if (!matches(entry.modes, mode)) continue;
    const std::shared_ptr<Timer>& timer = entry.item;
    MutexLock timerLock(timer->mutex_);
    if (!timer->valid_) continue;
    any = true;
    if (timer->firing_) continue;
    if (timer->fireDate_ <= now) {
      if (!pass.dueTimer || timer->fireDate_ < dueDate) {
        pass.dueTimer = timer;
        dueDate = timer->fireDate_;
      }
    } else if (timer->fireDate_ < pass.deadline) {
      pass.deadline = timer->fireDate_;
    }
  }
  return any;
}

// The descriptors to poll: the wake-up descriptor, then every source of the
// mode that is interested in something and not in its callout. True when
// the mode has a valid source at all.
bool RunLoop::State::gatherSources(const std::string& mode, int wakeFd, LoopPass& pass) {
  bool any = false;
  pass.fds.push_back({wakeFd, POLLIN, 0});
  for (const auto& entry : sources) {
    if (!matches(entry.modes, mode)) continue;
    const std::shared_ptr<FileDescriptorSource>& source = entry.item;
    MutexLock sourceLock(source->mutex_);
    if (!source->valid_) continue;
    any = true;
    unsigned interest = source->interest_.load();
    if (source->inCallout_ || interest == 0) continue;
    short events = 0;
    if (interest & FileDescriptorSource::Readable) events |= POLLIN;
    if (interest & FileDescriptorSource::Writable) events |= POLLOUT;
    pass.fds.push_back({source->fd_, events, 0});
    pass.polled.push_back(source);
  }
  return any;
}

bool RunLoop::State::serveReadySource(const std::string& mode, const LoopPass& pass) {
  const std::size_t n = pass.polled.size();
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t i = (k + pass.rotation) % n;
    const short revents = pass.fds[i + 1].revents;
    if (revents == 0) continue;
    const std::shared_ptr<FileDescriptorSource>& source = pass.polled[i];
    std::shared_ptr<FileDescriptorSource::Callback> callback = beginCallout(source, mode);
    if (!callback) continue;
    callOut(source, *callback, EventsFromPoll(revents));
    return true;
  }
  return false;
}

std::shared_ptr<FileDescriptorSource::Callback> RunLoop::State::beginCallout(
    const std::shared_ptr<FileDescriptorSource>& source, const std::string& mode) {
  MutexLock lock(mutex);
  auto it = FindEntry(sources, source.get());
  if (it == sources.end() || !matches(it->modes, mode)) return nullptr;
  MutexLock sourceLock(source->mutex_);
  if (!source->valid_ || source->inCallout_ || source->interest_.load() == 0) return nullptr;
  source->inCallout_ = true;
  return source->callback_;
}

void RunLoop::State::callOut(const std::shared_ptr<FileDescriptorSource>& source,
                             const FileDescriptorSource::Callback& callback, unsigned events) {
  // Ends the callout, also when the callback throws; a descriptor that was
  // not open is invalidated afterwards.
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
  callback(*source, events);
}

RunLoop::Step RunLoop::handleOne(const std::string& mode, Date limitDate) {
  const Date now = Date::now();
  LoopPass pass;
  pass.deadline = limitDate;
  if (!state_->gather(mode, now, wakeFd_, pass)) return Step::Finished;
  if (pass.postedFunction) {
    pass.postedFunction();
    return Step::Handled;
  }
  if (pass.dueTimer) {
    fireTimer(pass.dueTimer);
    return Step::Handled;
  }
  if (WaitForReadiness(pass, now, limitDate, wakeFd_) > 0 && state_->serveReadySource(mode, pass)) {
    return Step::Handled;
  }
  if (Date::now() >= limitDate) return Step::TimedOut;
  return Step::Waited;
}

bool PerformOnMainThread(std::function<void()> function) { return RunLoop::main().perform(std::move(function)); }

}  // namespace quorvel
