#include "app/daemon/SchedulerService.h"

#include <gio/gio.h>

#include <cmath>
#include <fstream>
#include <future>
#include <sstream>

#include "app/cli/BackupCommandSupport.h"
#include "app/cli/BackupCommands.h"
#include "app/cli/DestinationCommand.h"
#include "app/daemon/SchedulerBus.h"
#include "engine/BackupInfoOperation.h"
#include "engine/RemoteBackupOperation.h"
#include "foundation/LocalizedString.h"
#include "foundation/PropertyList.h"
#include "foundation/RunLoop.h"
#include "model/Backup.h"

namespace quorvel {

namespace {

// Updates of one phase are passed on at most this often.
constexpr auto kUpdateInterval = std::chrono::milliseconds(100);

std::string ReadInterfaceFile() {
  std::ifstream file(ResourcesDirectory() + "/" + kSchedulerInterfaceFile);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

void MethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
                GDBusMethodInvocation* invocation, gpointer service) {
  static_cast<SchedulerService*>(service)->methodCalled(invocation);
}

const GDBusInterfaceVTable kVTable = {MethodCall, nullptr, nullptr, {nullptr}};

int CommandFromWord(const std::string& word) {
  if (word == "check-source") return BackupCommandCheckSource;
  for (int command = BackupCommandCheckDestination; command <= kBackupCommandLast; ++command) {
    if (CommandWord(command) == word) return command;
  }
  return 0;
}

// The arguments a client may give, as the engine takes them.
Dictionary ArgumentsFromVariant(GVariant* dictionary) {
  Dictionary arguments;
  GVariantIter iter;
  const gchar* key = nullptr;
  GVariant* value = nullptr;
  g_variant_iter_init(&iter, dictionary);
  while (g_variant_iter_next(&iter, "{&sv}", &key, &value)) {
    const std::string name = key;
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN) &&
        (name == kReportHiddenItemsArgument || name == kEraseDestinationArgument ||
         name == kSkipVerificationArgument || name == kDeleteDestinationArgument || name == "deleteBackup")) {
      arguments.set(name, static_cast<bool>(g_variant_get_boolean(value)));
    } else if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING) && name == kDestinationPathArgument) {
      arguments.set(name, std::string(g_variant_get_string(value, nullptr)));
    } else if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING_ARRAY) && name == kRestorePathsArgument) {
      Array paths;
      gsize count = 0;
      const gchar** strings = g_variant_get_strv(value, &count);
      for (gsize i = 0; i < count; ++i) paths.emplace_back(std::string(strings[i]));
      g_free(strings);
      arguments.set(name, std::move(paths));
    }
    g_variant_unref(value);
  }
  return arguments;
}

// Text as D-Bus carries it: valid UTF-8 (invalid bytes become U+FFFD).
std::string ValidText(const std::string& text) {
  if (g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr)) return text;
  gchar* valid = g_utf8_make_valid(text.data(), static_cast<gssize>(text.size()));
  std::string result(valid);
  g_free(valid);
  return result;
}

void AddEntry(GVariantBuilder* builder, const char* key, GVariant* value) {
  g_variant_builder_add(builder, "{sv}", key, value);
}

gint64 UnixSeconds(const Date& date) { return static_cast<gint64>(std::floor(date.timeIntervalSince1970())); }

GVariant* BackupEntry(const AppController& controller, const Backup& backup) {
  const AppController::Status status = controller.status(backup);
  GVariantBuilder entry;
  g_variant_builder_init(&entry, G_VARIANT_TYPE("a{sv}"));
  AddEntry(&entry, "uuid", g_variant_new_string(backup.uuid().c_str()));
  AddEntry(&entry, "name", g_variant_new_string(ValidText(backup.name()).c_str()));
  AddEntry(&entry, "group", g_variant_new_string(ValidText(AppController::CategoryFromBackup(backup)).c_str()));
  AddEntry(&entry, "source", g_variant_new_string(ValidText(backup.sourceDirectoryPath()).c_str()));
  std::shared_ptr<const Url> destination = backup.destinationURLWithoutPassword();
  AddEntry(&entry, "destination", g_variant_new_string(destination ? destination->absoluteString().c_str() : ""));
  AddEntry(&entry, "state", g_variant_new_string(status.state.c_str()));
  AddEntry(&entry, "command",
           g_variant_new_string(status.command ? BackupController::nameForCommand(status.command).value_or("").c_str()
                                               : ""));
  if (status.nextScheduleDate) AddEntry(&entry, "nextRun", g_variant_new_int64(UnixSeconds(*status.nextScheduleDate)));
  AddEntry(&entry, "waitingReason", g_variant_new_string(ValidText(status.waitingReason).c_str()));
  AddEntry(&entry, "progress", g_variant_new_string(ValidText(status.progressLine).c_str()));
  if (status.speed) AddEntry(&entry, "speed", g_variant_new_uint64(*status.speed));
  if (status.secondsLeft) AddEntry(&entry, "secondsLeft", g_variant_new_double(*status.secondsLeft));
  AddEntry(&entry, "stepsDone", g_variant_new_uint32(status.stepsDone));
  AddEntry(&entry, "stepsPlanned", g_variant_new_uint32(status.stepsPlanned));
  if (status.retryIn) AddEntry(&entry, "retryIn", g_variant_new_double(*status.retryIn));
  if (!backup.previousResults().empty()) {
    const Dictionary& last = backup.previousResults().front().asDictionary();
    AddEntry(&entry, "lastCommand", g_variant_new_string(last.get("command").asString().c_str()));
    const Value* success = last.find("success");
    AddEntry(&entry, "lastResult",
             g_variant_new_string(!success ? "cancelled" : success->asBool() ? "success" : "failure"));
    if (last.get("date").isDate()) AddEntry(&entry, "lastDate", g_variant_new_int64(UnixSeconds(last.get("date").asDate())));
    AddEntry(&entry, "lastErrorCount", g_variant_new_uint64(last.get("errorCount").asUInt()));
  }
  return g_variant_builder_end(&entry);
}

}  // namespace

SchedulerService::SchedulerService(AppController& controller, Hooks hooks)
    : controller_(controller), hooks_(std::move(hooks)) {
  context_ = g_main_context_new();
  loop_ = g_main_loop_new(context_, FALSE);
  thread_ = std::thread([this] {
    g_main_context_push_thread_default(context_);
    g_main_loop_run(loop_);
    g_main_context_pop_thread_default(context_);
  });
}

SchedulerService::~SchedulerService() {
  controller_.setObserver(nullptr);
  onServiceThread([this] {
    if (bus_ && registration_) g_dbus_connection_unregister_object(bus_, registration_);
    if (systemBus_ && sleepSubscription_) g_dbus_connection_signal_unsubscribe(systemBus_, sleepSubscription_);
  });
  g_main_loop_quit(loop_);
  if (thread_.joinable()) thread_.join();
  if (bus_) {
    g_dbus_connection_flush_sync(bus_, nullptr, nullptr);
    g_object_unref(bus_);
  }
  if (systemBus_) g_object_unref(systemBus_);
  if (introspection_) g_dbus_node_info_unref(introspection_);
  g_main_loop_unref(loop_);
  g_main_context_unref(context_);
}

void SchedulerService::onServiceThread(const std::function<void()>& function) {
  struct Call {
    const std::function<void()>* function;
    std::promise<void> done;
  } call{&function, {}};
  std::future<void> done = call.done.get_future();
  g_main_context_invoke(
      context_,
      [](gpointer data) -> gboolean {
        auto* call = static_cast<Call*>(data);
        (*call->function)();
        call->done.set_value();
        return G_SOURCE_REMOVE;
      },
      &call);
  done.wait();
}

SchedulerService::StartResult SchedulerService::start(pid_t* holder, std::string* error) {
  GError* failure = nullptr;
  bus_ = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &failure);
  if (!bus_) {
    *error = failure ? failure->message : "no session bus";
    g_clear_error(&failure);
    return StartResult::NoBus;
  }
  // A bus that goes away ends the service's use of it, not the process.
  g_dbus_connection_set_exit_on_close(bus_, FALSE);
  introspection_ = g_dbus_node_info_new_for_xml(ReadInterfaceFile().c_str(), &failure);
  if (!introspection_) {
    *error = std::string("cannot read the interface description: ") + (failure ? failure->message : "");
    g_clear_error(&failure);
    return StartResult::NoBus;
  }
  // Calls are delivered to the context that is the thread's default where
  // the object is registered: the service thread's.
  onServiceThread([&] {
    registration_ = g_dbus_connection_register_object(bus_, kSchedulerObjectPath, introspection_->interfaces[0],
                                                      &kVTable, this, nullptr, &failure);
  });
  if (!registration_) {
    *error = failure ? failure->message : "cannot export the scheduler object";
    g_clear_error(&failure);
    return StartResult::NoBus;
  }
  // DBUS_NAME_FLAG_DO_NOT_QUEUE: fail at once when the name is owned.
  GVariant* reply = g_dbus_connection_call_sync(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                "org.freedesktop.DBus", "RequestName",
                                                g_variant_new("(su)", kSchedulerBusName, 4u), G_VARIANT_TYPE("(u)"),
                                                G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &failure);
  if (!reply) {
    *error = failure ? failure->message : "cannot request the bus name";
    g_clear_error(&failure);
    return StartResult::NoBus;
  }
  guint32 answer = 0;
  g_variant_get(reply, "(u)", &answer);
  g_variant_unref(reply);
  // 1: primary owner; 4: owner already.
  if (answer == 1 || answer == 4) return StartResult::Started;
  *holder = 0;
  GVariant* pid = g_dbus_connection_call_sync(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                              "org.freedesktop.DBus", "GetConnectionUnixProcessID",
                                              g_variant_new("(s)", kSchedulerBusName), G_VARIANT_TYPE("(u)"),
                                              G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
  if (pid) {
    guint32 value = 0;
    g_variant_get(pid, "(u)", &value);
    *holder = static_cast<pid_t>(value);
    g_variant_unref(pid);
  }
  return StartResult::NameTaken;
}

bool SchedulerService::watchSleep(std::function<void()> didWakeUp) {
  systemBus_ = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
  if (!systemBus_) return false;
  g_dbus_connection_set_exit_on_close(systemBus_, FALSE);
  didWakeUp_ = std::move(didWakeUp);
  auto onSignal = [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
                     gpointer data) {
    gboolean starting = TRUE;
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)"))) return;
    g_variant_get(parameters, "(b)", &starting);
    if (starting) return;
    auto* service = static_cast<SchedulerService*>(data);
    PerformOnMainThread([service] {
      if (service->didWakeUp_) service->didWakeUp_();
    });
  };
  onServiceThread([&] {
    sleepSubscription_ = g_dbus_connection_signal_subscribe(
        systemBus_, "org.freedesktop.login1", "org.freedesktop.login1.Manager", "PrepareForSleep",
        "/org/freedesktop/login1", nullptr, G_DBUS_SIGNAL_FLAGS_NONE, onSignal, this, nullptr);
  });
  return sleepSubscription_ != 0;
}

void SchedulerService::methodCalled(GDBusMethodInvocation* invocation) {
  g_object_ref(invocation);
  PerformOnMainThread([this, invocation] {
    handle(invocation);
    g_object_unref(invocation);
  });
}

void SchedulerService::handle(GDBusMethodInvocation* invocation) {
  const std::string method = g_dbus_method_invocation_get_method_name(invocation);
  GVariant* parameters = g_dbus_method_invocation_get_parameters(invocation);
  auto refuse = [&](const char* error, const std::string& message) {
    g_dbus_method_invocation_return_dbus_error(invocation, error, message.c_str());
  };
  auto done = [&] { g_dbus_method_invocation_return_value(invocation, nullptr); };

  if (method == "ListBackups") {
    GVariantBuilder list;
    g_variant_builder_init(&list, G_VARIANT_TYPE("aa{sv}"));
    for (const std::shared_ptr<Backup>& backup : controller_.allBackups()) {
      g_variant_builder_add_value(&list, BackupEntry(controller_, *backup));
    }
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(aa{sv})", &list));
    return;
  }
  if (method == "SettingsFolder") {
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(s)", ValidText(SettingsFolder()).c_str()));
    return;
  }
  if (method == "Reload") {
    controller_.reloadDefaults();
    controller_.reloadBackups();
    return done();
  }
  if (method == "Quit") {
    done();
    if (hooks_.quit) hooks_.quit();
    return;
  }
  if (method == "AdvanceClock") {
    if (!hooks_.advanceClock) return refuse(kSchedulerRefusedError, "the scheduling clock is the system's");
    double seconds = 0;
    g_variant_get(parameters, "(d)", &seconds);
    hooks_.advanceClock(seconds);
    return done();
  }

  if (method == "CreateBackup") {
    const gchar *name = nullptr, *source = nullptr, *destination = nullptr, *password = nullptr;
    g_variant_get(parameters, "(&s&s&s&s)", &name, &source, &destination, &password);
    configured::Failure busy;
    std::optional<ProcessLock> listLock = configured::LockBackupList(&busy);
    if (!listLock) return refuse(kSchedulerRefusedError, busy.message);
    std::string error;
    std::shared_ptr<Backup> created =
        CreateConfiguredBackup(controller_.allBackups(), name, source, destination, std::string(password), &error);
    if (!created) return refuse(kSchedulerRefusedError, error);
    controller_.addBackup(created);
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(s)", created->uuid().c_str()));
    return;
  }

  // Every other method names a backup first.
  const gchar* named = nullptr;
  g_variant_get_child(parameters, 0, "&s", &named);
  std::shared_ptr<Backup> backup = controller_.backupWithUUID(named);
  if (!backup) backup = controller_.backupNamed(named);
  if (!backup) return refuse(kSchedulerNoSuchBackupError, std::string("no backup is named \"") + named + "\"");

  if (method == "Run") {
    const gchar* word = nullptr;
    GVariant* given = nullptr;
    g_variant_get(parameters, "(&s&s@a{sv})", &named, &word, &given);
    const int command = CommandFromWord(word);
    Dictionary arguments = ArgumentsFromVariant(given);
    g_variant_unref(given);
    if (command == 0) return refuse(kSchedulerRefusedError, std::string("unknown command \"") + word + "\"");
    if (std::optional<std::string> refusal = controller_.performCommand(*backup, command, arguments)) {
      return refuse(kSchedulerRefusedError, *refusal);
    }
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(s)", backup->uuid().c_str()));
    return;
  }
  if (method == "Queue") {
    controller_.enqueueBackup(*backup);
    return done();
  }
  if (method == "Log") {
    GVariantBuilder lines;
    g_variant_builder_init(&lines, G_VARIANT_TYPE("as"));
    for (const std::string& line : controller_.log(backup->uuid())) {
      g_variant_builder_add(&lines, "s", ValidText(line).c_str());
    }
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(as)", &lines));
    return;
  }
  if (method == "SetValue") {
    const gchar* key = nullptr;
    const gchar* value = nullptr;
    g_variant_get(parameters, "(&s&s&s)", &named, &key, &value);
    if (std::string(key).find("password") != std::string::npos) {
      return refuse(kSchedulerRefusedError, "passwords are given with the command line: quorvel set NAME " +
                                                std::string(key) + " ...");
    }
    if (controller_.status(*backup).command != 0) {
      return refuse(kSchedulerRefusedError, "the backup runs a command; change it when it has finished");
    }
    std::string error;
    if (!ApplyBackupSetting(controller_.allBackups(), *backup, key, value, &error)) {
      return refuse(kSchedulerRefusedError, error);
    }
    if (!backup->saveToDiskIfNecessary()) return refuse(kSchedulerRefusedError, "cannot save the settings");
    controller_.reloadBackups();
    return done();
  }
  if (method == "Remove") {
    if (controller_.status(*backup).command != 0) {
      return refuse(kSchedulerRefusedError, "the backup runs a command; cancel it first");
    }
    if (!backup->deleteFromDisk()) return refuse(kSchedulerRefusedError, "cannot remove the backup's folder");
    controller_.removeBackup(backup->uuid());
    return done();
  }
  bool acted = false;
  if (method == "Cancel") acted = controller_.cancel(*backup);
  else if (method == "Suspend") acted = controller_.suspend(*backup);
  else if (method == "Resume") acted = controller_.resume(*backup);
  else if (method == "Retry") acted = controller_.retry(*backup);
  else return refuse("org.freedesktop.DBus.Error.UnknownMethod", "unknown method " + method);
  if (!acted) return refuse(kSchedulerRefusedError, "nothing to " + method + " on \"" + backup->name() + "\"");
  done();
}

void SchedulerService::emit(const char* signal, GVariant* parameters) {
  if (!bus_ || !registration_) {
    g_variant_unref(g_variant_ref_sink(parameters));
    return;
  }
  g_dbus_connection_emit_signal(bus_, nullptr, kSchedulerObjectPath, kSchedulerInterface, signal, parameters, nullptr);
}

void SchedulerService::backupDidChange(const std::string& uuid) {
  emit("BackupChanged", g_variant_new("(s)", uuid.c_str()));
}

void SchedulerService::backupDidPostMessage(const std::string& uuid, const std::string& message) {
  emit("Message", g_variant_new("(ss)", uuid.c_str(), ValidText(message).c_str()));
}

void SchedulerService::backupPhase(const std::string& uuid, PhaseEvent event, const std::string& type,
                                   std::uint32_t identifier, std::uint32_t current, std::uint32_t max) {
  const std::string key = uuid + "/" + type + "/" + std::to_string(identifier);
  const auto now = std::chrono::steady_clock::now();
  if (event == PhaseEvent::Update) {
    auto last = lastUpdate_.find(key);
    if (last != lastUpdate_.end() && now - last->second < kUpdateInterval && current < max) return;
    lastUpdate_[key] = now;
  } else if (event == PhaseEvent::End) {
    lastUpdate_.erase(key);
  }
  const char* name = event == PhaseEvent::Begin ? "begin" : event == PhaseEvent::End ? "end" : "update";
  emit("Phase", g_variant_new("(sssuuu)", uuid.c_str(), name, type.c_str(), identifier, current, max));
}

void SchedulerService::backupWillRetry(const std::string& uuid, double seconds, unsigned attempt, unsigned maximum) {
  emit("RetryWait", g_variant_new("(sduu)", uuid.c_str(), seconds, attempt, maximum));
}

void SchedulerService::backupDidFinishCommand(const std::string& uuid, int command, const Dictionary* results,
                                              bool cancelled, const std::vector<std::string>& errorMessages) {
  Data plist;
  if (results) {
    Expected<Data> written = PropertyList::writeBinary(ResultsForOutput(*results, errorMessages));
    if (written) plist = std::move(*written);
  }
  GVariantBuilder messages;
  g_variant_builder_init(&messages, G_VARIANT_TYPE("as"));
  for (const std::string& message : errorMessages) {
    g_variant_builder_add(&messages, "s", ValidText(message).c_str());
  }
  GVariant* bytes = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, plist.data(), plist.size(), 1);
  emit("Finished", g_variant_new("(sib@ayas)", uuid.c_str(), command, cancelled, bytes, &messages));
  std::erase_if(lastUpdate_, [&](const auto& entry) { return entry.first.starts_with(uuid + "/"); });
}

}  // namespace quorvel
