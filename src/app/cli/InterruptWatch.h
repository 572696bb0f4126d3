// Turns SIGINT into a callback on the main run loop, so that an interrupted
// command can be cancelled and allowed to clean up before the process ends.
#pragma once

#include <signal.h>

#include <functional>
#include <memory>
#include <optional>

#include "engine/BackupController.h"
#include "foundation/Value.h"

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

// The part of a command-line delegate that sees a command end: `finished`
// turns true when the command did not start or has finished, and `results`
// then holds what it finished with (nothing when it did not start).
class CommandEndDelegate : public BackupControllerDelegate {
 public:
  void backupControllerWillStartCommand(BackupController&, int) override {}
  void backupControllerDidStartCommand(BackupController&, int) override {}
  void backupControllerDidNotStartCommand(BackupController&, int) override { finished = true; }
  void backupControllerDidFinishCommand(BackupController&, int, const Dictionary* finishedResults,
                                        const Dictionary&) override {
    if (finishedResults) results = *finishedResults;
    commandDidEnd();
    finished = true;
  }

  bool finished = false;
  std::optional<Dictionary> results;

 protected:
  // Called once the command finished, before `finished` is set.
  virtual void commandDidEnd() {}
};

// Starts `command` on the controller and serves the main run loop until
// `finished()` answers true. Ctrl-C calls `onInterrupt` (when given) and
// cancels the command, which then cleans up; a second Ctrl-C ends the process
// at once with status 130. Answers whether the command was interrupted. The
// caller's delegate must be set on the controller and stay until this returns.
bool RunCommandUntilFinished(BackupController& controller, int command, const Dictionary& arguments,
                             const std::function<bool()>& finished, const std::function<void()>& onInterrupt = {});

}  // namespace quorvel
