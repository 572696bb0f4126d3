#include "app/cli/InterruptWatch.h"

#include <cstdlib>

#include "engine/BackupController.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "foundation/RunLoop.h"

namespace quorvel {

namespace {

int gInterruptPipe[2] = {-1, -1};

extern "C" void HandleInterrupt(int) {
  int saved = errno;
  char byte = 1;
  [[maybe_unused]] ssize_t written = ::write(gInterruptPipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

InterruptWatch::InterruptWatch(std::function<void()> onInterrupt) {
  if (::pipe2(gInterruptPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    gInterruptPipe[0] = gInterruptPipe[1] = -1;
    return;
  }
  source_ = FileDescriptorSource::create(gInterruptPipe[0], FileDescriptorSource::Readable,
                                         [onInterrupt = std::move(onInterrupt)](FileDescriptorSource&, unsigned) {
                                           char buffer[16];
                                           while (::read(gInterruptPipe[0], buffer, sizeof buffer) > 0) {
                                           }
                                           onInterrupt();
                                         });
  RunLoop::main().addSource(source_, kRunLoopCommonModes);
  struct sigaction action {};
  action.sa_handler = HandleInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, &previous_);
  installed_ = true;
}

InterruptWatch::~InterruptWatch() {
  if (installed_) ::sigaction(SIGINT, &previous_, nullptr);
  if (source_) source_->invalidate();
  for (int& fd : gInterruptPipe) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

bool RunCommandUntilFinished(BackupController& controller, int command, const Dictionary& arguments,
                             const std::function<bool()>& finished, const std::function<void()>& onInterrupt) {
  bool interrupted = false;
  InterruptWatch watch([&] {
    // A second interrupt does not wait for the clean-up any longer.
    if (interrupted) std::_Exit(130);
    interrupted = true;
    if (onInterrupt) onInterrupt();
    controller.cancel();
  });
  controller.startCommandAsynchronously(command, arguments);
  while (!finished()) RunLoop::main().runMode(kDefaultRunLoopMode, Date::distantFuture());
  return interrupted;
}

}  // namespace quorvel
