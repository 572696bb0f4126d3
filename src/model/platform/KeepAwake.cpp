#include "model/platform/KeepAwake.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <unistd.h>

#include <atomic>

#include "foundation/SystemLog.h"

namespace quorvel {

namespace {

// logind's inhibitor lock: its descriptor, or -1 (with the reason in *failure).
int TakeInhibitorLock(const std::string& who, const std::string& why, std::string* failure) {
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
  if (!bus) {
    *failure = error ? error->message : "no system bus";
    if (error) g_error_free(error);
    return -1;
  }
  GUnixFDList* descriptors = nullptr;
  GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(
      bus, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "Inhibit",
      g_variant_new("(ssss)", "sleep:idle", who.c_str(), why.c_str(), "block"), G_VARIANT_TYPE("(h)"),
      G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &descriptors, nullptr, &error);
  g_object_unref(bus);
  if (!reply) {
    *failure = error ? error->message : "no answer";
    if (error) g_error_free(error);
    return -1;
  }
  gint32 index = -1;
  g_variant_get(reply, "(h)", &index);
  g_variant_unref(reply);
  int lock = descriptors ? g_unix_fd_list_get(descriptors, index, &error) : -1;
  if (descriptors) g_object_unref(descriptors);
  if (lock < 0) {
    *failure = error ? error->message : "no descriptor in the answer";
    if (error) g_error_free(error);
  }
  return lock;
}

std::atomic<bool> gFailureLogged{false};

}  // namespace

KeepAwake::KeepAwake(std::string who, std::string why) : who_(std::move(who)), why_(std::move(why)) {}

KeepAwake::~KeepAwake() {
  MutexLock guard(mutex_);
  if (lock_ >= 0) close(lock_);
}

void KeepAwake::request() {
  MutexLock guard(mutex_);
  if (count_++ > 0) return;
  std::string failure;
  lock_ = TakeInhibitorLock(who_, why_, &failure);
  if (lock_ < 0 && !gFailureLogged.exchange(true)) {
    SystemLog("%s: logind's inhibitor lock is unavailable, the computer may sleep while commands run (%s)",
              "KeepAwake::request", failure);
  }
}

void KeepAwake::release() {
  MutexLock guard(mutex_);
  if (count_ == 0) return;
  if (--count_ > 0) return;
  if (lock_ >= 0) close(lock_);
  lock_ = -1;
}

unsigned KeepAwake::count() const {
  MutexLock guard(mutex_);
  return count_;
}

bool KeepAwake::holdsLock() const {
  MutexLock guard(mutex_);
  return lock_ >= 0;
}

}  // namespace quorvel
