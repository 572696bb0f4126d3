#include "app/gui/RunLoopBridge.h"

#include <unistd.h>

#include <cstdint>

#include "foundation/RunLoop.h"

namespace quorvel {

namespace {
// Enough for any burst of posts; the rest waits for the next pass of Qt's
// loop, so that a flood of posts cannot starve the interface.
constexpr int kMostPerPass = 200;
}  // namespace

RunLoopBridge::RunLoopBridge(int timerInterval, QObject* parent) : QObject(parent) {
  RunLoop& loop = RunLoop::main();
  if (const int fd = loop.wakeDescriptor(); fd >= 0) {
    notifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this, fd] {
      std::uint64_t count;
      ssize_t drained = ::read(fd, &count, sizeof count);
      (void)drained;  // EAGAIN: someone else emptied it; serving is harmless either way
      serve();
    });
  }
  connect(&timers_, &QTimer::timeout, this, &RunLoopBridge::serve);
  timers_.start(notifier_ ? timerInterval : std::min(timerInterval, 20));
  // What was posted before the bridge existed.
  QTimer::singleShot(0, this, &RunLoopBridge::serve);
}

RunLoopBridge::~RunLoopBridge() = default;

int RunLoopBridge::serve() {
  RunLoop& loop = RunLoop::main();
  int served = 0;
  while (served < kMostPerPass &&
         loop.runMode(kDefaultRunLoopMode, Date::distantPast()) == RunLoopResult::HandledSource) {
    ++served;
  }
  // More left: come back on the next pass rather than hold the interface.
  if (served == kMostPerPass) QTimer::singleShot(0, this, &RunLoopBridge::serve);
  return served;
}

}  // namespace quorvel
