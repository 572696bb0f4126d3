// SchedulerConnection: a front end's lasting link to the scheduler service.
// Unlike SchedulerClient (one command line call, synchronous), it lives as
// long as the front end, never blocks its caller, and outlives the service:
// when no process owns the service's name it starts one ("quorvel daemon",
// detached, so that it keeps running when the front end quits), and when the
// name changes owner (the service restarted) it follows the new owner and
// lists the backups again.
//
// Threads. The bus is served by a thread of the connection's own, with its
// own GLib main context, so that nothing here depends on the caller's event
// loop. Every listener call and reply is handed to the caller's thread
// through Options::post, in the order the bus delivered them; none arrives
// after the destructor has returned, provided `post` runs what it is given
// on the thread that destroys the connection. All public methods are for
// that one thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Value.h"

namespace quorvel {

class SchedulerConnection {
 public:
  class Listener {
   public:
    virtual ~Listener() = default;
    // A service owns the name now (pid of its process, 0 when unknown).
    virtual void serviceDidAppear(pid_t pid) {}
    // No service owns the name; `why` tells what the connection does about it.
    virtual void serviceDidVanish(const std::string& why) {}
    // The answer of ListBackups: every backup, group by group, with the keys
    // resources/org.quorvel.Varid.Scheduler.xml lists.
    virtual void backupsDidChange(const std::vector<Dictionary>& backups) {}
    virtual void backupDidPostMessage(const std::string& uuid, const std::string& text) {}
    // event: "begin", "end" or "update".
    virtual void backupPhase(const std::string& uuid, const std::string& event, const std::string& type,
                             std::uint32_t identifier, std::uint32_t current, std::uint32_t max) {}
    // seconds < 0: the question waits for Retry or Cancel.
    virtual void backupWillRetry(const std::string& uuid, double seconds, unsigned attempt, unsigned maximum) {}
    // results: nothing for a command that never started.
    virtual void backupDidFinishCommand(const std::string& uuid, int command, bool cancelled,
                                        const std::optional<Dictionary>& results,
                                        const std::vector<std::string>& errorMessages) {}
  };

  struct Options {
    // Runs a function on the owner's thread, later (never in the call).
    std::function<void(std::function<void()>)> post;
    // The quorvel executable whose "daemon" verb starts the service; empty:
    // the connection never starts one and waits for one to appear.
    std::string serviceProgram;
    // Seconds between two attempts to start the service.
    double startInterval = 5.0;
    // Seconds a method call may take before it counts as failed.
    int callTimeoutSeconds = 30;
  };

  // Answer of a method call: empty on success, else the service's message.
  using Reply = std::function<void(const std::string& error)>;

  // Connects in the background; the listener (not owned) must outlive the
  // connection.
  SchedulerConnection(Options options, Listener& listener);
  ~SchedulerConnection();
  SchedulerConnection(const SchedulerConnection&) = delete;
  SchedulerConnection& operator=(const SchedulerConnection&) = delete;

  bool isConnected() const { return connected_; }
  // The program that would be started, empty when none.
  const std::string& serviceProgram() const { return options_.serviceProgram; }

  // Asks for the list again (coalesced: one request at a time, and one more
  // after it when asked meanwhile). Done by itself after the service appears
  // and after each BackupChanged signal.
  void refresh();
  // Run NAME COMMAND ARGUMENTS ("backup", "test", "restore", "check-source" ...).
  void run(const std::string& backup, const std::string& command, const Dictionary& arguments, Reply reply);
  // A method taking one backup and answering nothing: Queue, Cancel,
  // Suspend, Resume, Retry, Remove.
  void call(const std::string& method, const std::string& backup, Reply reply);
  // Makes the service read the settings folder and the preferences (user
  // defaults) again, after this front end changed them; the list follows
  // by itself.
  void reload(Reply reply);

 private:
  struct Bus;
  friend struct Bus;
  // Called on the owner's thread by what the bus thread posts.
  void didAppear(pid_t pid);
  void didVanish(const std::string& why);

  Options options_;
  Listener& listener_;
  bool connected_ = false;
  // Checked by every posted function: false once the destructor has run.
  std::shared_ptr<bool> alive_;
  std::unique_ptr<Bus> bus_;
};

}  // namespace quorvel
