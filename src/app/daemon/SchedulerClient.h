// SchedulerClient: the command line's side of the scheduler service. When a
// scheduler runs, the named-backup verbs go through it (so that it can keep
// one backup at a time, its locks and its history), with the same output as
// when they run in the command's own process.
//
// Synchronous calls on the session bus; run() serves the calling thread's
// GLib main context until the command has finished. Not thread-safe.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Value.h"

typedef struct _GDBusConnection GDBusConnection;
typedef struct _GVariant GVariant;

namespace quorvel {

class SchedulerClient {
 public:
  // A client of the running scheduler, or null when no session bus answers,
  // no process owns the scheduler's name, or the scheduler serves another
  // settings folder than this process's.
  static std::unique_ptr<SchedulerClient> connect();
  ~SchedulerClient();
  SchedulerClient(const SchedulerClient&) = delete;
  SchedulerClient& operator=(const SchedulerClient&) = delete;

  pid_t servicePid() const { return pid_; }

  // ListBackups; nothing with the bus's message in *error.
  std::optional<std::vector<Dictionary>> listBackups(std::string* error);
  std::optional<std::vector<std::string>> log(const std::string& backup, std::string* error);
  // A method that takes a backup and answers nothing (Queue, Cancel, ...).
  bool call(const char* method, const std::string& backup, std::string* error);
  // Tells the scheduler that the settings folder changed.
  bool reload(std::string* error);

  // What a command run through the scheduler reports while it runs.
  struct Events {
    std::function<void(const std::string& message)> message;
    // event: "begin", "end", "update".
    std::function<void(const std::string& event, const std::string& type, std::uint32_t identifier,
                       std::uint32_t current, std::uint32_t max)>
        phase;
    std::function<void(double seconds, unsigned attempt, unsigned maximum)> retryWait;
    // Called about four times a second (redraws).
    std::function<void()> tick;
  };
  struct Outcome {
    bool started = false;
    std::string error;  // why it did not start, or why the scheduler was lost
    bool cancelled = false;
    bool interrupted = false;  // Ctrl-C here (the command was cancelled)
    std::optional<Dictionary> results;
    std::vector<std::string> errorMessages;
  };
  // Runs the command word ("backup", "restore" ...) on the backup of this
  // UUID and waits for its end. Ctrl-C cancels it in the scheduler (a second
  // Ctrl-C ends this process at once with status 130, leaving the command
  // to the scheduler).
  Outcome run(const std::string& uuid, const std::string& command, const Dictionary& arguments, const Events& events);

 private:
  SchedulerClient(GDBusConnection* bus, pid_t pid) : bus_(bus), pid_(pid) {}
  GVariant* callMethod(const char* method, GVariant* parameters, const char* replyType,
                               std::string* error, int timeoutMilliseconds = 30000);

  GDBusConnection* bus_;
  pid_t pid_;
};

}  // namespace quorvel
