#include "app/daemon/SchedulerConnection.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "app/daemon/SchedulerBus.h"
#include "app/daemon/SchedulerVariants.h"

namespace quorvel {

namespace {

// Starts `program daemon` in a session of its own whose parent is not this
// process, so that it neither dies with the front end nor stays its zombie.
// Standard input is /dev/null; output goes where this process's goes. Only
// async-signal-safe calls between fork and exec: the caller has threads.
std::string SpawnDetached(const std::string& program) {
  const char* argv[] = {program.c_str(), "daemon", nullptr};
  const pid_t child = fork();
  if (child < 0) return std::string("cannot start the scheduler: ") + std::strerror(errno);
  if (child == 0) {
    setsid();
    const pid_t grandchild = fork();
    if (grandchild != 0) _exit(grandchild < 0 ? 1 : 0);
    const int null = open("/dev/null", O_RDONLY);
    if (null >= 0 && null != 0) {
      dup2(null, 0);
      close(null);
    }
    syscall(SYS_close_range, 3u, ~0u, 0u);
    execv(program.c_str(), const_cast<char* const*>(argv));
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "cannot start the scheduler (fork failed)";
  return {};
}

std::string ErrorText(GError* error) {
  if (!error) return "no answer";
  g_dbus_error_strip_remote_error(error);
  return error->message;
}

}  // namespace

// Everything that lives on the bus thread. Its fields are touched there only
// (after construction); the owner is reached through toOwner().
struct SchedulerConnection::Bus {
  Bus(SchedulerConnection& owner, const Options& options)
      : owner(&owner), alive(owner.alive_), options(options) {
    context = g_main_context_new();
    loop = g_main_loop_new(context, FALSE);
  }
  ~Bus() {
    g_main_loop_unref(loop);
    g_main_context_unref(context);
  }

  void start() {
    thread = std::thread([this] {
      g_main_context_push_thread_default(context);
      connect();
      g_main_loop_run(loop);
      shutDown();
      g_main_context_pop_thread_default(context);
    });
  }

  void stop() {
    onThread([this] { g_main_loop_quit(loop); });
    thread.join();
  }

  // Runs `function` on the bus thread.
  void onThread(std::function<void()> function) {
    g_main_context_invoke_full(
        context, G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
          (*static_cast<std::function<void()>*>(data))();
          return G_SOURCE_REMOVE;
        },
        new std::function<void()>(std::move(function)),
        [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
  }

  // Runs `function` with the owner on the owner's thread, unless the owner
  // is gone by then.
  void toOwner(std::function<void(SchedulerConnection&)> function) {
    options.post([alive = alive, owner = owner, function = std::move(function)] {
      if (*alive) function(*owner);
    });
  }

  void connect() {
    GError* error = nullptr;
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (address) {
      connection = g_dbus_connection_new_for_address_sync(
          address,
          static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                            G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
          nullptr, nullptr, &error);
      g_free(address);
    }
    if (!connection) {
      const std::string why = "no session bus: " + ErrorText(error);
      g_clear_error(&error);
      toOwner([why](SchedulerConnection& owner) { owner.didVanish(why); });
      armRetry();
      return;
    }
    g_dbus_connection_set_exit_on_close(connection, FALSE);
    closedHandler = g_signal_connect(connection, "closed", G_CALLBACK(+[](GDBusConnection*, gboolean, GError*, gpointer data) {
                                       static_cast<Bus*>(data)->connectionClosed();
                                     }),
                                     this);
    subscription = g_dbus_connection_signal_subscribe(connection, kSchedulerBusName, kSchedulerInterface, nullptr,
                                                      kSchedulerObjectPath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                                                      &Bus::onSignal, this, nullptr);
    watch = g_bus_watch_name_on_connection(
        connection, kSchedulerBusName, G_BUS_NAME_WATCHER_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar* owner, gpointer data) {
          static_cast<Bus*>(data)->appeared(owner);
        },
        [](GDBusConnection*, const gchar*, gpointer data) { static_cast<Bus*>(data)->vanished(); }, this, nullptr);
  }

  void disconnect() {
    if (!connection) return;
    if (watch) g_bus_unwatch_name(watch);
    if (subscription) g_dbus_connection_signal_unsubscribe(connection, subscription);
    if (closedHandler) g_signal_handler_disconnect(connection, closedHandler);
    watch = subscription = 0;
    closedHandler = 0;
    g_dbus_connection_close_sync(connection, nullptr, nullptr);
    g_object_unref(connection);
    connection = nullptr;
    listing = false;
  }

  void shutDown() {
    stopping = true;
    disarmRetry();
    disconnect();
    // Calls still waiting end with an error now; their callbacks free what
    // they hold.
    while (g_main_context_iteration(context, FALSE)) {
    }
  }

  void connectionClosed() {
    if (stopping) return;
    // The bus itself went away: start over, the service will be gone too.
    onThread([this] {
      if (stopping || !connection || !g_dbus_connection_is_closed(connection)) return;
      disconnect();
      if (ownerPresent) {
        ownerPresent = false;
        toOwner([](SchedulerConnection& owner) { owner.didVanish("the session bus closed the connection"); });
      }
      armRetry();
    });
  }

  void appeared(const gchar* uniqueName) {
    ownerPresent = true;
    disarmRetry();
    pid_t pid = 0;
    GVariant* reply = g_dbus_connection_call_sync(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                  "org.freedesktop.DBus", "GetConnectionUnixProcessID",
                                                  g_variant_new("(s)", uniqueName), G_VARIANT_TYPE("(u)"),
                                                  G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (reply) {
      guint32 value = 0;
      g_variant_get(reply, "(u)", &value);
      pid = static_cast<pid_t>(value);
      g_variant_unref(reply);
    }
    toOwner([pid](SchedulerConnection& owner) { owner.didAppear(pid); });
    // A new owner knows nothing of a list asked of the old one.
    listing = false;
    listBackups();
  }

  void vanished() {
    ownerPresent = false;
    if (!connection) return;
    std::string why = "the scheduler service is not running";
    if (!options.serviceProgram.empty()) {
      why += "; starting it";
      startService();
      armRetry();
    }
    toOwner([why](SchedulerConnection& owner) { owner.didVanish(why); });
  }

  void startService() {
    const auto now = std::chrono::steady_clock::now();
    if (lastStart && now - *lastStart < std::chrono::duration<double>(options.startInterval)) return;
    lastStart = now;
    const std::string error = SpawnDetached(options.serviceProgram);
    if (!error.empty()) toOwner([error](SchedulerConnection& owner) { owner.didVanish(error); });
  }

  // While no service owns the name: connect again (no bus) or start the
  // service again (it did not come up) every startInterval seconds.
  void armRetry() {
    if (retry || stopping) return;
    retry = g_timeout_source_new(static_cast<guint>(options.startInterval * 1000));
    g_source_set_callback(
        retry,
        [](gpointer data) -> gboolean {
          auto* bus = static_cast<Bus*>(data);
          if (!bus->connection) {
            bus->connect();
          } else if (!bus->ownerPresent && !bus->options.serviceProgram.empty()) {
            bus->startService();
          }
          if (bus->connection && (bus->ownerPresent || bus->options.serviceProgram.empty())) {
            g_source_unref(bus->retry);
            bus->retry = nullptr;
            return G_SOURCE_REMOVE;
          }
          return G_SOURCE_CONTINUE;
        },
        this, nullptr);
    g_source_attach(retry, context);
  }

  void disarmRetry() {
    if (!retry) return;
    g_source_destroy(retry);
    g_source_unref(retry);
    retry = nullptr;
  }

  // A method call whose answer goes to `done` (on this thread) with the
  // reply or the error text.
  using Done = std::function<void(GVariant* reply, const std::string& error)>;
  void callMethod(const char* method, GVariant* parameters, const GVariantType* replyType, Done done) {
    if (!connection || !ownerPresent) {
      if (parameters) g_variant_unref(g_variant_ref_sink(parameters));
      done(nullptr, "the scheduler service is not running");
      return;
    }
    g_dbus_connection_call(
        connection, kSchedulerBusName, kSchedulerObjectPath, kSchedulerInterface, method, parameters, replyType,
        G_DBUS_CALL_FLAGS_NO_AUTO_START, options.callTimeoutSeconds * 1000, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
          std::unique_ptr<Done> done(static_cast<Done*>(data));
          GError* error = nullptr;
          GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
          (*done)(reply, reply ? std::string() : ErrorText(error));
          g_clear_error(&error);
          if (reply) g_variant_unref(reply);
        },
        new Done(std::move(done)));
  }

  void listBackups() {
    if (listing) {
      listAgain = true;
      return;
    }
    if (!connection || !ownerPresent) return;
    listing = true;
    listAgain = false;
    callMethod("ListBackups", nullptr, G_VARIANT_TYPE("(aa{sv})"), [this](GVariant* reply, const std::string&) {
      if (stopping) return;
      listing = false;
      if (reply) {
        std::vector<Dictionary> backups;
        GVariant* list = g_variant_get_child_value(reply, 0);
        const gsize count = g_variant_n_children(list);
        for (gsize i = 0; i < count; ++i) {
          GVariant* entry = g_variant_get_child_value(list, i);
          backups.push_back(DictionaryFromVariant(entry));
          g_variant_unref(entry);
        }
        g_variant_unref(list);
        toOwner([backups = std::move(backups)](SchedulerConnection& owner) {
          owner.listener_.backupsDidChange(backups);
        });
      }
      if (listAgain) listBackups();
    });
  }

  static void onSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* member,
                       GVariant* parameters, gpointer data) {
    static_cast<Bus*>(data)->signal(member, parameters);
  }

  void signal(const std::string& member, GVariant* parameters) {
    if (member == "BackupChanged") {
      listBackups();
    } else if (member == "Message" && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ss)"))) {
      const gchar *uuid = nullptr, *text = nullptr;
      g_variant_get(parameters, "(&s&s)", &uuid, &text);
      toOwner([uuid = std::string(uuid), text = std::string(text)](SchedulerConnection& owner) {
        owner.listener_.backupDidPostMessage(uuid, text);
      });
    } else if (member == "Phase" && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sssuuu)"))) {
      const gchar *uuid = nullptr, *event = nullptr, *type = nullptr;
      guint32 identifier = 0, current = 0, max = 0;
      g_variant_get(parameters, "(&s&s&suuu)", &uuid, &event, &type, &identifier, &current, &max);
      toOwner([uuid = std::string(uuid), event = std::string(event), type = std::string(type), identifier, current,
               max](SchedulerConnection& owner) {
        owner.listener_.backupPhase(uuid, event, type, identifier, current, max);
      });
    } else if (member == "RetryWait" && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sduu)"))) {
      const gchar* uuid = nullptr;
      double seconds = 0;
      guint32 attempt = 0, maximum = 0;
      g_variant_get(parameters, "(&sduu)", &uuid, &seconds, &attempt, &maximum);
      toOwner([uuid = std::string(uuid), seconds, attempt, maximum](SchedulerConnection& owner) {
        owner.listener_.backupWillRetry(uuid, seconds, attempt, maximum);
      });
    } else if (member == "Finished") {
      std::optional<FinishedSignal> finished = ReadFinishedSignal(parameters);
      if (!finished) return;
      toOwner([finished = std::move(*finished)](SchedulerConnection& owner) {
        owner.listener_.backupDidFinishCommand(finished.uuid, finished.command, finished.cancelled,
                                               finished.results, finished.errorMessages);
      });
      listBackups();
    }
  }

  SchedulerConnection* owner;
  std::shared_ptr<bool> alive;
  Options options;
  GMainContext* context = nullptr;
  GMainLoop* loop = nullptr;
  std::thread thread;
  GDBusConnection* connection = nullptr;
  gulong closedHandler = 0;
  guint subscription = 0;
  guint watch = 0;
  GSource* retry = nullptr;
  bool ownerPresent = false;
  bool listing = false;
  bool listAgain = false;
  bool stopping = false;
  std::optional<std::chrono::steady_clock::time_point> lastStart;
};

SchedulerConnection::SchedulerConnection(Options options, Listener& listener)
    : options_(std::move(options)), listener_(listener), alive_(std::make_shared<bool>(true)) {
  bus_ = std::make_unique<Bus>(*this, options_);
  bus_->start();
}

SchedulerConnection::~SchedulerConnection() {
  *alive_ = false;
  bus_->stop();
}

void SchedulerConnection::didAppear(pid_t pid) {
  connected_ = true;
  listener_.serviceDidAppear(pid);
}

void SchedulerConnection::didVanish(const std::string& why) {
  connected_ = false;
  listener_.serviceDidVanish(why);
}

void SchedulerConnection::refresh() {
  Bus* bus = bus_.get();
  bus->onThread([bus] { bus->listBackups(); });
}

void SchedulerConnection::run(const std::string& backup, const std::string& command, const Dictionary& arguments,
                              Reply reply) {
  Bus* bus = bus_.get();
  bus->onThread([bus, backup, command, arguments, reply = std::move(reply)] {
    bus->callMethod("Run",
                    g_variant_new("(ss@a{sv})", backup.c_str(), command.c_str(), VariantFromArguments(arguments)),
                    G_VARIANT_TYPE("(s)"), [bus, reply](GVariant*, const std::string& error) {
                      if (reply) bus->toOwner([reply, error](SchedulerConnection&) { reply(error); });
                    });
  });
}

void SchedulerConnection::call(const std::string& method, const std::string& backup, Reply reply) {
  Bus* bus = bus_.get();
  bus->onThread([bus, method, backup, reply = std::move(reply)] {
    bus->callMethod(method.c_str(), g_variant_new("(s)", backup.c_str()), nullptr,
                    [bus, reply](GVariant*, const std::string& error) {
                      if (reply) bus->toOwner([reply, error](SchedulerConnection&) { reply(error); });
                    });
  });
}

void SchedulerConnection::reload(Reply reply) {
  Bus* bus = bus_.get();
  bus->onThread([bus, reply = std::move(reply)] {
    bus->callMethod("Reload", nullptr, nullptr, [bus, reply](GVariant*, const std::string& error) {
      if (reply) bus->toOwner([reply, error](SchedulerConnection&) { reply(error); });
    });
  });
}

}  // namespace quorvel
