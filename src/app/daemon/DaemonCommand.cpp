#include "app/daemon/DaemonCommand.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstring>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "app/AppController.h"
#include "app/cli/BackupCommandSupport.h"
#include "app/daemon/SchedulerClient.h"
#include "app/daemon/SchedulerService.h"
#include "foundation/Format.h"
#include "foundation/RunLoop.h"
#include "foundation/UserDefaults.h"
#include "model/Backup.h"
#include "model/ProcessLock.h"
#include "model/platform/KeepAwake.h"

namespace quorvel {

namespace {

namespace fs = std::filesystem;

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  return home ? home : "";
}

std::string ConfigFolder() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  return config && *config ? config : HomeFolder() + "/.config";
}

std::string DataFolder() {
  const char* data = std::getenv("XDG_DATA_HOME");
  return data && *data ? data : HomeFolder() + "/.local/share";
}

std::string UnitPath() { return ConfigFolder() + "/systemd/user/quorvel.service"; }
std::string AutostartPath() { return ConfigFolder() + "/autostart/quorvel-scheduler.desktop"; }
std::string BusServicePath() { return DataFolder() + "/dbus-1/services/org.quorvel.Varid.service"; }

std::string ExecutablePath() {
  std::error_code error;
  fs::path path = fs::read_symlink("/proc/self/exe", error);
  return error ? "quorvel" : path.string();
}

// A user manager runs when its private socket is there.
bool UserManagerRuns() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::error_code error;
  return runtime && fs::exists(std::string(runtime) + "/systemd/private", error);
}

bool WriteFile(const std::string& path, const std::string& text) {
  std::error_code error;
  fs::create_directories(fs::path(path).parent_path(), error);
  std::ofstream file(path, std::ios::trunc);
  file << text;
  file.close();
  if (!file) std::fprintf(stderr, "quorvel: cannot write \"%s\"\n", path.c_str());
  return static_cast<bool>(file);
}

int Systemctl(const std::string& arguments) {
  const std::string command = "systemctl --user " + arguments + " >/dev/null 2>&1";
  return std::system(command.c_str());
}

// Paths in Exec lines are quoted as both unit files and desktop entries
// read them.
std::string Quoted(const std::string& path) {
  std::string quoted = "\"";
  for (char c : path) {
    if (c == '"' || c == '\\' || c == '`' || c == '$') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

int Install() {
  const std::string exec = Quoted(ExecutablePath()) + " daemon";
  const bool systemd = UserManagerRuns();
  std::string busService = "[D-BUS Service]\nName=org.quorvel.Varid\nExec=" + exec + "\n";
  if (systemd) busService += "SystemdService=quorvel.service\n";
  if (!WriteFile(BusServicePath(), busService)) return 1;
  if (systemd) {
    const std::string unit =
        "[Unit]\n"
        "Description=Quorvel Varid backup scheduler\n"
        "\n"
        "[Service]\n"
        "Type=dbus\n"
        "BusName=org.quorvel.Varid\n"
        "ExecStart=" + exec + "\n"
        "Restart=on-failure\n"
        "RestartSec=10\n"
        "\n"
        "[Install]\n"
        "WantedBy=default.target\n";
    if (!WriteFile(UnitPath(), unit)) return 1;
    if (Systemctl("daemon-reload") != 0 || Systemctl("enable --now quorvel.service") != 0) {
      std::fprintf(stderr, "quorvel: wrote %s, but \"systemctl --user enable --now quorvel.service\" failed\n",
                   UnitPath().c_str());
      return 1;
    }
    std::printf("Installed and started the scheduler as the systemd user unit %s.\n", UnitPath().c_str());
    return 0;
  }
  const std::string entry =
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Name=Quorvel Varid scheduler\n"
      "Comment=Runs scheduled backups\n"
      "Exec=" + exec + "\n"
      "NoDisplay=true\n"
      "X-GNOME-Autostart-enabled=true\n";
  if (!WriteFile(AutostartPath(), entry)) return 1;
  std::printf("No systemd user manager runs: the scheduler starts at the next login (%s).\n"
              "Start it now with: quorvel daemon &\n",
              AutostartPath().c_str());
  return 0;
}

int Uninstall() {
  std::error_code error;
  if (fs::exists(UnitPath(), error)) {
    if (UserManagerRuns()) Systemctl("disable --now quorvel.service");
    fs::remove(UnitPath(), error);
    if (UserManagerRuns()) Systemctl("daemon-reload");
  }
  fs::remove(AutostartPath(), error);
  fs::remove(BusServicePath(), error);
  std::printf("The scheduler is no longer started by itself.\n");
  return 0;
}

// SIGTERM and SIGINT as a source on the main run loop. The signals are
// blocked before any thread starts, so that every thread inherits the mask
// and only the descriptor sees them.
class TerminationSignals {
 public:
  TerminationSignals() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGTERM);
    sigaddset(&set_, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    fd_ = signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK);
  }
  ~TerminationSignals() {
    if (source_) source_->invalidate();
    if (fd_ >= 0) close(fd_);
  }
  void watch(std::function<void()> onSignal) {
    if (fd_ < 0) return;
    source_ = FileDescriptorSource::create(fd_, FileDescriptorSource::Readable,
                                           [this, onSignal](FileDescriptorSource&, unsigned) {
                                             signalfd_siginfo info{};
                                             while (read(fd_, &info, sizeof info) == sizeof info) onSignal();
                                           });
    RunLoop::main().addSource(source_, kRunLoopCommonModes);
  }

 private:
  sigset_t set_{};
  int fd_ = -1;
  std::shared_ptr<FileDescriptorSource> source_;
};

double DoubleFromEnvironment(const char* name, double fallback) {
  const char* text = std::getenv(name);
  if (!text || !*text) return fallback;
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  return end && *end == '\0' && value >= 0 ? value : fallback;
}

int RunScheduler() {
  TerminationSignals signals;
  RunLoop::setMainThread();
  AppController::lowerProcessPriority();
  AppController::registerDefaults(UserDefaults::standard());

  ProcessLock::Refusal refusal;
  std::optional<ProcessLock> lock = ProcessLock::acquire(SettingsFolder() + "/.scheduler.lock", &refusal);
  if (!lock) {
    if (!refusal.error.empty()) {
      std::fprintf(stderr, "quorvel: %s\n", refusal.error.c_str());
    } else {
      std::fprintf(stderr, "quorvel: the scheduler runs already (process %d)\n", static_cast<int>(refusal.holder));
    }
    return 1;
  }

  const bool testClock = std::getenv("QUORVEL_TEST_CLOCK") && std::string(std::getenv("QUORVEL_TEST_CLOCK")) == "1";
  KeepAwake keepAwake("Quorvel Varid", "Backups are running");
  AppController::Options options;
  options.connectionDelay = DoubleFromEnvironment("QUORVEL_CONNECTION_DELAY", ScheduledBackup::kConnectionDelay);
  options.keepAwake = &keepAwake;
  options.logToStandardError = true;
  AppController controller(options);

  bool quitting = false;
  bool stopped = false;
  auto quit = [&] {
    if (quitting) {
      std::fprintf(stderr, "quorvel: scheduler: quitting at once\n");
      std::_Exit(1);
    }
    quitting = true;
    std::fprintf(stderr, "quorvel: scheduler: quitting%s\n",
                 controller.isRunningCommands() ? " once the running commands have cleaned up" : "");
    controller.terminate([&] { stopped = true; });
  };
  signals.watch(quit);

  SchedulerService::Hooks hooks;
  hooks.quit = quit;
  if (testClock) {
    hooks.advanceClock = [&controller](double seconds) {
      Date::advanceClockForTesting(seconds);
      controller.didWakeUp();
    };
  }
  SchedulerService service(controller, hooks);
  pid_t holder = 0;
  std::string error;
  switch (service.start(&holder, &error)) {
    case SchedulerService::StartResult::Started:
      break;
    case SchedulerService::StartResult::NameTaken:
      std::fprintf(stderr, "quorvel: the scheduler runs already (process %d)\n", static_cast<int>(holder));
      return 1;
    case SchedulerService::StartResult::NoBus:
      std::fprintf(stderr, "quorvel: warning: no session bus (%s): the scheduler runs, but front ends cannot reach it\n",
                   error.c_str());
      break;
  }
  controller.setObserver(&service);
  if (!service.watchSleep([&controller] {
        std::fprintf(stderr, "quorvel: scheduler: the computer woke up\n");
        controller.didWakeUp();
      })) {
    std::fprintf(stderr, "quorvel: scheduler: no system bus: a wake-up from sleep is noticed by the timers only\n");
  }
  controller.applicationDidFinishLaunching();
  std::fprintf(stderr, "quorvel: scheduler: started with %zu backup%s\n", controller.allBackups().size(),
               controller.allBackups().size() == 1 ? "" : "s");
  while (!stopped) RunLoop::main().runMode(kDefaultRunLoopMode, Date::distantFuture());
  controller.setObserver(nullptr);
  std::fprintf(stderr, "quorvel: scheduler: stopped\n");
  return 0;
}

std::string LocalTime(std::int64_t unixSeconds) {
  std::time_t seconds = static_cast<std::time_t>(unixSeconds);
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
  return text;
}

// One line per backup: name, state, next run, last result; then why it
// waits or how far it got.
void PrintStatus(const std::vector<Dictionary>& backups, const std::string& scheduler) {
  std::printf("Scheduler: %s\n", scheduler.c_str());
  if (backups.empty()) {
    std::printf("No backups are configured (quorvel create ...).\n");
    return;
  }
  std::printf("%-20s %-10s %-17s %s\n", "NAME", "STATE", "NEXT RUN", "LAST RESULT");
  for (const Dictionary& backup : backups) {
    const std::string next = backup.contains("nextRun") ? LocalTime(backup.get("nextRun").asInt()) : "-";
    std::string last = "-";
    if (backup.contains("lastResult")) {
      last = backup.get("lastResult").asString() + " (" + backup.get("lastCommand").asString();
      if (backup.contains("lastDate")) last += ", " + LocalTime(backup.get("lastDate").asInt());
      last += ")";
    }
    std::printf("%-20s %-10s %-17s %s\n", EscapeControlCharacters(backup.get("name").asString()).c_str(),
                backup.get("state").asString().c_str(), next.c_str(), last.c_str());
    if (!backup.get("waitingReason").asString().empty()) {
      std::printf("  waiting: %s\n", EscapeControlCharacters(backup.get("waitingReason").asString()).c_str());
    } else if (!backup.get("progress").asString().empty()) {
      std::printf("  %s\n", EscapeControlCharacters(backup.get("progress").asString()).c_str());
    }
  }
}

// What status shows without a scheduler: the settings and the history.
std::vector<Dictionary> StatusFromSettings(configured::BackupList& backups) {
  std::vector<Dictionary> entries;
  for (const std::shared_ptr<Backup>& backup : backups) {
    backup->updateScheduleDate(Date::now());
    Dictionary entry;
    entry.set("uuid", backup->uuid());
    entry.set("name", backup->name());
    entry.set("state", std::string(backup->hasEncryptionPassword() && !backup->encryptionPassword() ? "waiting" : "idle"));
    if (std::optional<Date> next = backup->nextScheduleDate()) {
      entry.set("nextRun", static_cast<std::int64_t>(next->timeIntervalSince1970()));
    }
    if (backup->hasEncryptionPassword() && !backup->encryptionPassword()) {
      entry.set("waitingReason", std::string("the encryption password is missing from the credential store"));
    }
    if (!backup->previousResults().empty()) {
      const Dictionary& last = backup->previousResults().front().asDictionary();
      entry.set("lastCommand", last.get("command"));
      const Value* success = last.find("success");
      entry.set("lastResult", std::string(!success ? "cancelled" : success->asBool() ? "success" : "failure"));
      if (last.get("date").isDate()) {
        entry.set("lastDate", static_cast<std::int64_t>(last.get("date").asDate().timeIntervalSince1970()));
      }
    }
    entries.push_back(std::move(entry));
  }
  std::sort(entries.begin(), entries.end(), [](const Dictionary& a, const Dictionary& b) {
    return AppController::CompareBackupNames(a.get("name").asString(), b.get("name").asString());
  });
  return entries;
}

}  // namespace

int RunDaemonCommand(int argc, char** argv) {
  CLI::App app{"Runs the scheduler service, which runs backups by their schedules.", "quorvel daemon"};
  bool install = false, uninstall = false;
  CLI::Option* installOption = app.add_flag("--install", install, "start the scheduler at every login (and now)");
  app.add_flag("--uninstall", uninstall, "no longer start the scheduler by itself")->excludes(installOption);
  int status = 0;
  if (!configured::Parse(app, argc, argv, &status)) return status;
  if (install) return Install();
  if (uninstall) return Uninstall();
  return RunScheduler();
}

int RunDesktopFrontEnd(int argc, char** argv) {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  const std::string program = (error ? fs::path(".") : self.parent_path()) / "quorvel-gui";
  std::vector<char*> arguments{const_cast<char*>(program.c_str())};
  for (int i = 1; i < argc; ++i) arguments.push_back(argv[i]);
  arguments.push_back(nullptr);
  execv(program.c_str(), arguments.data());
  std::fprintf(stderr, "quorvel: cannot run the desktop application %s: %s\n", program.c_str(), std::strerror(errno));
  if (errno == ENOENT) {
    std::fprintf(stderr, "quorvel: it is built when Qt 6 is installed (scripts/setup installs qt6-base-dev)\n");
  }
  return 1;
}

int RunStatusCommand(int argc, char** argv) {
  CLI::App app{"Shows every backup's state, next run and last result.", "quorvel status"};
  bool json = false;
  app.add_flag("--json", json, "print the list as JSON");
  int status = 0;
  if (!configured::Parse(app, argc, argv, &status)) return status;
  std::vector<Dictionary> backups;
  std::string scheduler;
  if (std::unique_ptr<SchedulerClient> client = SchedulerClient::connect()) {
    std::string error;
    std::optional<std::vector<Dictionary>> listed = client->listBackups(&error);
    if (!listed) return configured::Fail({"the scheduler did not answer: " + error}, json);
    backups = std::move(*listed);
    scheduler = "running (process " + std::to_string(client->servicePid()) + ")";
  } else {
    configured::Failure failure;
    std::optional<configured::BackupList> stored = configured::LoadBackups(&failure);
    if (!stored) return configured::Fail(failure, json);
    backups = StatusFromSettings(*stored);
    scheduler = "not running (start it with: quorvel daemon --install)";
  }
  if (json) {
    Array list;
    for (Dictionary& backup : backups) list.emplace_back(std::move(backup));
    configured::PrintJson(Dictionary{{"scheduler", scheduler}, {"backups", std::move(list)}});
  } else {
    PrintStatus(backups, scheduler);
  }
  return 0;
}

int RunLogCommand(int argc, char** argv) {
  CLI::App app{"Shows the scheduler's recent lines for the backup NAME.", "quorvel log"};
  std::string name;
  bool json = false;
  app.add_option("NAME", name, "name of the backup")->required();
  app.add_flag("--json", json, "print the lines as JSON");
  int status = 0;
  if (!configured::Parse(app, argc, argv, &status)) return status;
  std::unique_ptr<SchedulerClient> client = SchedulerClient::connect();
  if (!client) {
    return configured::Fail({"the scheduler does not run; its earlier lines are in the journal "
                             "(journalctl --user -u quorvel), the backup's runs in: quorvel history " + name},
                            json);
  }
  std::string error;
  std::optional<std::vector<std::string>> lines = client->log(name, &error);
  if (!lines) return configured::Fail({error}, json);
  if (json) {
    Array list;
    for (const std::string& line : *lines) list.emplace_back(line);
    configured::PrintJson(Value(std::move(list)));
  } else {
    for (const std::string& line : *lines) std::printf("%s\n", EscapeControlCharacters(line).c_str());
  }
  return 0;
}

namespace {

struct Action {
  const char* word;
  const char* method;
  const char* done;
};

constexpr Action kActions[] = {
    {"queue", "Queue", "queued"},        {"cancel", "Cancel", "cancelling"}, {"suspend", "Suspend", "suspended"},
    {"resume", "Resume", "resumed"},     {"retry", "Retry", "retrying"},
};

}  // namespace

bool IsSchedulerActionWord(const char* word) {
  return std::any_of(std::begin(kActions), std::end(kActions),
                     [&](const Action& action) { return std::strcmp(action.word, word) == 0; });
}

int RunSchedulerActionCommand(int argc, char** argv) {
  const Action* action = nullptr;
  for (const Action& each : kActions) {
    if (std::strcmp(each.word, argv[0]) == 0) action = &each;
  }
  CLI::App app{"Asks the scheduler to " + std::string(action->word) + " the backup NAME.",
               std::string("quorvel ") + action->word};
  std::string name;
  app.add_option("NAME", name, "name of the backup")->required();
  int status = 0;
  if (!configured::Parse(app, argc, argv, &status)) return status;
  std::unique_ptr<SchedulerClient> client = SchedulerClient::connect();
  if (!client) return configured::Fail({"the scheduler does not run (start it with: quorvel daemon --install)"}, false);
  std::string error;
  if (!client->call(action->method, name, &error)) return configured::Fail({error}, false);
  std::printf("%s: %s\n", EscapeControlCharacters(name).c_str(), action->done);
  return 0;
}

}  // namespace quorvel
