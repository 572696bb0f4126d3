// Turns SIGINT into a callback on the main run loop, so that an interrupted
// command can be cancelled and allowed to clean up before the process ends.
#pragma once

#include <signal.h>

#include <functional>
#include <memory>

namespace quorvel {

class FileDescriptorSource;

// While an InterruptWatch exists, SIGINT no longer ends the process: the
// signal handler writes one byte to a self-pipe, and the callback runs on the
// main run loop (in its common modes) the next time the loop runs. Only one
// watch may exist at a time; construct and destroy it on the main thread.
// The previous SIGINT disposition comes back when the watch is destroyed.
class InterruptWatch {
 public:
  explicit InterruptWatch(std::function<void()> onInterrupt);
  ~InterruptWatch();
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

  // False when the pipe could not be made (SIGINT then keeps its old meaning).
  bool isInstalled() const { return installed_; }

 private:
  std::shared_ptr<FileDescriptorSource> source_;
  struct sigaction previous_ {};
  bool installed_ = false;
};

}  // namespace quorvel
