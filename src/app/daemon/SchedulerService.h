// SchedulerService: the application controller on the session bus. It
// exports org.quorvel.Varid.Scheduler at /org/quorvel/Varid (the interface
// file in resources/ says what every method and signal means), owns the
// name org.quorvel.Varid, and passes the controller's events on as signals.
// It also listens for systemd-logind's PrepareForSleep on the system bus and
// tells the controller when the machine woke up.
//
// Threads. GDBus delivers method calls and bus signals on a GLib main loop
// that runs on a thread of the service's own; each call is handed to the
// main run loop, where the controller lives, and answered from there.
// Signals are emitted from the main thread (GDBus connections are
// thread-safe). Construct, start and destroy on the main thread; the
// controller must outlive the service.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "app/AppController.h"

typedef struct _GDBusConnection GDBusConnection;
typedef struct _GVariant GVariant;
typedef struct _GDBusMethodInvocation GDBusMethodInvocation;
typedef struct _GMainContext GMainContext;
typedef struct _GMainLoop GMainLoop;
typedef struct _GDBusNodeInfo GDBusNodeInfo;

namespace quorvel {

class SchedulerService : public AppControllerObserver {
 public:
  struct Hooks {
    // Quit was asked for over the bus.
    std::function<void()> quit;
    // Moves the scheduling clock (AdvanceClock); null: the method is refused.
    std::function<void(double)> advanceClock;
  };

  SchedulerService(AppController& controller, Hooks hooks);
  ~SchedulerService() override;
  SchedulerService(const SchedulerService&) = delete;
  SchedulerService& operator=(const SchedulerService&) = delete;

  enum class StartResult { Started, NameTaken, NoBus };
  // Connects to the session bus, exports the object and takes the name.
  // NameTaken: another process owns it (its id in *holder when the bus
  // knows it); NoBus: no session bus answers (the reason in *error).
  StartResult start(pid_t* holder, std::string* error);
  // Starts listening for logind's wake-up signal; false without a system bus.
  bool watchSleep(std::function<void()> didWakeUp);

  // AppControllerObserver
  void backupDidChange(const std::string& uuid) override;
  void backupDidPostMessage(const std::string& uuid, const std::string& message) override;
  void backupPhase(const std::string& uuid, PhaseEvent event, const std::string& type, std::uint32_t identifier,
                   std::uint32_t current, std::uint32_t max) override;
  void backupWillRetry(const std::string& uuid, double seconds, unsigned attempt, unsigned maximum) override;
  void backupDidFinishCommand(const std::string& uuid, int command, const Dictionary* results, bool cancelled,
                              const std::vector<std::string>& errorMessages) override;

  // Called on the GLib thread by GDBus; public for its C callback only.
  void methodCalled(GDBusMethodInvocation* invocation);

 private:
  // Runs `function` on the service thread and waits for it.
  void onServiceThread(const std::function<void()>& function);
  void handle(GDBusMethodInvocation* invocation);
  void emit(const char* signal, GVariant* parameters);

  AppController& controller_;
  Hooks hooks_;
  GMainContext* context_ = nullptr;
  GMainLoop* loop_ = nullptr;
  std::thread thread_;
  GDBusConnection* bus_ = nullptr;
  GDBusConnection* systemBus_ = nullptr;
  GDBusNodeInfo* introspection_ = nullptr;
  unsigned registration_ = 0;
  unsigned sleepSubscription_ = 0;
  std::function<void()> didWakeUp_;
  // Last update signal per backup and phase, to send at most ten a second.
  std::map<std::string, std::chrono::steady_clock::time_point> lastUpdate_;
};

}  // namespace quorvel
