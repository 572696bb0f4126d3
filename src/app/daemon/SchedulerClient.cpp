#include "app/daemon/SchedulerClient.h"

#include <gio/gio.h>
#include <glib-unix.h>
#include <unistd.h>

#include "app/daemon/SchedulerBus.h"
#include "app/daemon/SchedulerVariants.h"
#include "foundation/PropertyList.h"
#include "model/Backup.h"

namespace quorvel {

namespace {

// What run() keeps while it waits.
struct RunState {
  const SchedulerClient::Events* events = nullptr;
  SchedulerClient::Outcome* outcome = nullptr;
  GDBusConnection* bus = nullptr;
  std::string uuid;
  bool finished = false;
};

void OnSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* member, GVariant* parameters,
              gpointer data) {
  auto* state = static_cast<RunState*>(data);
  const std::string signal = member;
  if (signal == "Message" && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ss)"))) {
    const gchar* text = nullptr;
    g_variant_get(parameters, "(&s&s)", nullptr, &text);
    if (state->events->message) state->events->message(text);
  } else if (signal == "Phase" && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sssuuu)"))) {
    const gchar *event = nullptr, *type = nullptr;
    guint32 identifier = 0, current = 0, max = 0;
    g_variant_get(parameters, "(&s&s&suuu)", nullptr, &event, &type, &identifier, &current, &max);
    if (state->events->phase) state->events->phase(event, type, identifier, current, max);
  } else if (signal == "RetryWait" && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sduu)"))) {
    double seconds = 0;
    guint32 attempt = 0, maximum = 0;
    g_variant_get(parameters, "(&sduu)", nullptr, &seconds, &attempt, &maximum);
    if (state->events->retryWait) state->events->retryWait(seconds, attempt, maximum);
  } else if (signal == "Finished") {
    std::optional<FinishedSignal> finished = ReadFinishedSignal(parameters);
    if (!finished) return;
    state->outcome->results = std::move(finished->results);
    state->outcome->errorMessages = std::move(finished->errorMessages);
    state->outcome->cancelled = finished->cancelled;
    state->finished = true;
  }
}

void OnVanished(GDBusConnection*, const gchar*, gpointer data) {
  auto* state = static_cast<RunState*>(data);
  if (state->finished) return;
  state->outcome->error = "the scheduler stopped before the command finished";
  state->finished = true;
}

gboolean OnTick(gpointer data) {
  auto* state = static_cast<RunState*>(data);
  if (state->events->tick) state->events->tick();
  return G_SOURCE_CONTINUE;
}

gboolean OnInterrupt(gpointer data) {
  auto* state = static_cast<RunState*>(data);
  if (state->outcome->interrupted) _exit(130);
  state->outcome->interrupted = true;
  GVariant* reply = g_dbus_connection_call_sync(state->bus, kSchedulerBusName, kSchedulerObjectPath,
                                                kSchedulerInterface, "Cancel", g_variant_new("(s)", state->uuid.c_str()),
                                                nullptr, G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, nullptr);
  if (reply) g_variant_unref(reply);
  return G_SOURCE_CONTINUE;
}

GSource* Attach(GSource* source, GSourceFunc function, RunState* state, GMainContext* context) {
  g_source_set_callback(source, function, state, nullptr);
  g_source_attach(source, context);
  return source;
}

}  // namespace

std::unique_ptr<SchedulerClient> SchedulerClient::connect() {
  // No session bus is no scheduler (and must not start one).
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if ((!address || !*address) && (!runtime || access((std::string(runtime) + "/bus").c_str(), F_OK) != 0)) {
    return nullptr;
  }
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (!bus) return nullptr;
  g_dbus_connection_set_exit_on_close(bus, FALSE);
  GVariant* pid = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                              "org.freedesktop.DBus", "GetConnectionUnixProcessID",
                                              g_variant_new("(s)", kSchedulerBusName), G_VARIANT_TYPE("(u)"),
                                              G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
  if (!pid) {
    g_object_unref(bus);
    return nullptr;
  }
  guint32 value = 0;
  g_variant_get(pid, "(u)", &value);
  g_variant_unref(pid);
  std::unique_ptr<SchedulerClient> client(new SchedulerClient(bus, static_cast<pid_t>(value)));
  // A scheduler of another settings folder (another QUORVEL_HOME) is not
  // this user's scheduler for these backups.
  std::string error;
  GVariant* folder = client->callMethod("SettingsFolder", nullptr, "(s)", &error, 5000);
  if (!folder) return nullptr;
  const gchar* path = nullptr;
  g_variant_get(folder, "(&s)", &path);
  const bool same = std::string(path) == SettingsFolder();
  g_variant_unref(folder);
  return same ? std::move(client) : nullptr;
}

SchedulerClient::~SchedulerClient() { g_object_unref(bus_); }

GVariant* SchedulerClient::callMethod(const char* method, GVariant* parameters, const char* replyType,
                                      std::string* error, int timeoutMilliseconds) {
  GError* failure = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(bus_, kSchedulerBusName, kSchedulerObjectPath, kSchedulerInterface,
                                                method, parameters, replyType ? G_VARIANT_TYPE(replyType) : nullptr,
                                                G_DBUS_CALL_FLAGS_NO_AUTO_START, timeoutMilliseconds, nullptr, &failure);
  if (!reply) {
    if (failure) {
      // The remote error's own message, without GDBus's prefix.
      g_dbus_error_strip_remote_error(failure);
      *error = failure->message;
    } else {
      *error = "no answer";
    }
    g_clear_error(&failure);
  }
  return reply;
}

std::optional<std::vector<Dictionary>> SchedulerClient::listBackups(std::string* error) {
  GVariant* reply = callMethod("ListBackups", nullptr, "(aa{sv})", error);
  if (!reply) return std::nullopt;
  std::vector<Dictionary> backups;
  GVariant* list = g_variant_get_child_value(reply, 0);
  const gsize count = g_variant_n_children(list);
  for (gsize i = 0; i < count; ++i) {
    GVariant* entry = g_variant_get_child_value(list, i);
    backups.push_back(DictionaryFromVariant(entry));
    g_variant_unref(entry);
  }
  g_variant_unref(list);
  g_variant_unref(reply);
  return backups;
}

std::optional<std::vector<std::string>> SchedulerClient::log(const std::string& backup, std::string* error) {
  GVariant* reply = callMethod("Log", g_variant_new("(s)", backup.c_str()), "(as)", error);
  if (!reply) return std::nullopt;
  std::vector<std::string> lines;
  GVariantIter* iter = nullptr;
  const gchar* line = nullptr;
  g_variant_get(reply, "(as)", &iter);
  while (g_variant_iter_next(iter, "&s", &line)) lines.emplace_back(line);
  g_variant_iter_free(iter);
  g_variant_unref(reply);
  return lines;
}

bool SchedulerClient::call(const char* method, const std::string& backup, std::string* error) {
  GVariant* reply = callMethod(method, g_variant_new("(s)", backup.c_str()), nullptr, error);
  if (reply) g_variant_unref(reply);
  return reply != nullptr;
}

bool SchedulerClient::reload(std::string* error) {
  GVariant* reply = callMethod("Reload", nullptr, nullptr, error);
  if (reply) g_variant_unref(reply);
  return reply != nullptr;
}

SchedulerClient::Outcome SchedulerClient::run(const std::string& uuid, const std::string& command,
                                              const Dictionary& arguments, const Events& events) {
  Outcome outcome;
  RunState state;
  state.events = &events;
  state.outcome = &outcome;
  state.bus = bus_;
  state.uuid = uuid;

  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  const guint subscription = g_dbus_connection_signal_subscribe(
      bus_, kSchedulerBusName, kSchedulerInterface, nullptr, kSchedulerObjectPath, uuid.c_str(),
      G_DBUS_SIGNAL_FLAGS_NONE, OnSignal, &state, nullptr);
  const guint watch = g_bus_watch_name_on_connection(bus_, kSchedulerBusName, G_BUS_NAME_WATCHER_FLAGS_NONE, nullptr,
                                                     OnVanished, &state, nullptr);

  GVariant* reply = callMethod("Run", g_variant_new("(ss@a{sv})", uuid.c_str(), command.c_str(), VariantFromArguments(arguments)), "(s)",
                               &outcome.error);
  if (reply) {
    g_variant_unref(reply);
    outcome.started = true;
    GSource* tick = Attach(g_timeout_source_new(250), OnTick, &state, context);
    GSource* interrupt = Attach(g_unix_signal_source_new(SIGINT), OnInterrupt, &state, context);
    while (!state.finished) g_main_context_iteration(context, TRUE);
    g_source_destroy(tick);
    g_source_unref(tick);
    g_source_destroy(interrupt);
    g_source_unref(interrupt);
  }
  g_bus_unwatch_name(watch);
  g_dbus_connection_signal_unsubscribe(bus_, subscription);
  while (g_main_context_iteration(context, FALSE)) {
  }
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
  return outcome;
}

}  // namespace quorvel
