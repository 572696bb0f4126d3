// The Secret Service store behind Keychain (gnome-keyring, KWallet and the
// like, through libsecret).
//
// Items carry our own two schemas, so they never mix with other programs'
// passwords:
//   org.quorvel.Varid.GenericPassword   service, account
//   org.quorvel.Varid.InternetPassword  server, account, path, port (integer),
//                                       protocol, authenticationType
// protocol and authenticationType hold the four-character codes as text
// without trailing blanks ("ftp", "htps", "dflt"); a protocol of 0 is stored
// as the empty text and is left out of searches, which then match every
// protocol. New items go to the default collection.
#include <libsecret/secret.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "foundation/Keychain.h"

namespace quorvel {
namespace {

const SecretSchema kGenericSchema = {
    "org.quorvel.Varid.GenericPassword",
    SECRET_SCHEMA_NONE,
    {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING}, {"account", SECRET_SCHEMA_ATTRIBUTE_STRING}, {nullptr, {}}},
    0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

const SecretSchema kInternetSchema = {
    "org.quorvel.Varid.InternetPassword",
    SECRET_SCHEMA_NONE,
    {{"server", SECRET_SCHEMA_ATTRIBUTE_STRING},
     {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
     {"path", SECRET_SCHEMA_ATTRIBUTE_STRING},
     {"port", SECRET_SCHEMA_ATTRIBUTE_INTEGER},
     {"protocol", SECRET_SCHEMA_ATTRIBUTE_STRING},
     {"authenticationType", SECRET_SCHEMA_ATTRIBUTE_STRING},
     {nullptr, {}}},
    0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

constexpr char kSecretServiceName[] = "org.freedesktop.secrets";

std::string CodeText(std::uint32_t code) {
  std::string text = FourCharCodeString(code);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// Owns a GHashTable of text attributes.
class Attributes {
 public:
  Attributes() : table_(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free)) {}
  ~Attributes() { g_hash_table_unref(table_); }
  Attributes(const Attributes&) = delete;
  Attributes& operator=(const Attributes&) = delete;
  void set(const char* name, const std::string& value) {
    g_hash_table_replace(table_, g_strdup(name), g_strdup(value.c_str()));
  }
  GHashTable* table() const { return table_; }

 private:
  GHashTable* table_;
};

const SecretSchema* SchemaFor(const KeychainItemKey& key) {
  return key.kind == KeychainItemKey::Kind::Generic ? &kGenericSchema : &kInternetSchema;
}

// exact: every attribute, for the duplicate check of an addition; otherwise
// a protocol of 0 is left out so that it matches every protocol.
void Describe(const KeychainItemKey& key, bool exact, Attributes* attributes) {
  attributes->set("account", key.account);
  if (key.kind == KeychainItemKey::Kind::Generic) {
    attributes->set("service", key.service);
    return;
  }
  attributes->set("server", key.server);
  attributes->set("path", key.path);
  attributes->set("port", std::to_string(key.port));
  if (exact || key.protocol != kKeychainProtocolAny) attributes->set("protocol", CodeText(key.protocol));
  attributes->set("authenticationType", CodeText(key.authenticationType));
}

std::string Label(const KeychainItemKey& key) {
  if (key.kind == KeychainItemKey::Kind::Generic) return key.service;
  return key.account + "@" + key.server + key.path;
}

KeychainStatus FromError(GError* error) {
  if (!error) return KeychainFailure(kKeychainInternalError, "Unknown Secret Service failure");
  int code = kKeychainInternalError;
  if (error->domain == SECRET_ERROR && error->code == SECRET_ERROR_IS_LOCKED)
    code = kKeychainInteractionNotAllowed;
  else if (error->domain == G_DBUS_ERROR || error->domain == G_IO_ERROR)
    code = kKeychainNotAvailable;
  else if (error->domain == SECRET_ERROR && error->code == SECRET_ERROR_NO_SUCH_OBJECT)
    code = kKeychainItemNotFound;
  KeychainStatus status = KeychainFailure(code, error->message);
  g_error_free(error);
  return status;
}

KeychainStatus NotFound() {
  return KeychainFailure(kKeychainItemNotFound, "The item could not be found in the Secret Service.");
}

class SecretServiceKeychainStore : public KeychainStore {
 public:
  explicit SecretServiceKeychainStore(SecretService* service) : service_(service) {}
  ~SecretServiceKeychainStore() override { g_object_unref(service_); }

  std::string name() const override { return "Secret Service"; }

  KeychainStatus findPassword(const KeychainItemKey& key, std::string* password) override {
    Attributes attributes;
    Describe(key, false, &attributes);
    GError* error = nullptr;
    SecretValue* value = secret_service_lookup_sync(service_, SchemaFor(key), attributes.table(), nullptr, &error);
    if (error) return FromError(error);
    if (!value) return NotFound();
    gsize length = 0;
    const gchar* bytes = secret_value_get(value, &length);
    if (password) password->assign(bytes, length);
    secret_value_unref(value);
    return {};
  }

  KeychainStatus addPassword(const KeychainItemKey& key, const std::string& password) override {
    Attributes attributes;
    Describe(key, true, &attributes);
    GError* error = nullptr;
    GList* existing =
        secret_service_search_sync(service_, SchemaFor(key), attributes.table(), SECRET_SEARCH_NONE, nullptr, &error);
    if (error) return FromError(error);
    if (existing) {
      g_list_free_full(existing, g_object_unref);
      return KeychainFailure(kKeychainDuplicateItem, "The item already exists in the Secret Service.");
    }
    SecretValue* value = secret_value_new(password.data(), static_cast<gssize>(password.size()), "text/plain");
    gboolean stored = secret_service_store_sync(service_, SchemaFor(key), attributes.table(),
                                                SECRET_COLLECTION_DEFAULT, Label(key).c_str(), value, nullptr, &error);
    secret_value_unref(value);
    if (!stored) return FromError(error);
    return {};
  }

  KeychainStatus deleteItem(const KeychainItemKey& key) override {
    Attributes attributes;
    Describe(key, false, &attributes);
    GError* error = nullptr;
    GList* items = secret_service_search_sync(service_, SchemaFor(key), attributes.table(), SECRET_SEARCH_UNLOCK,
                                              nullptr, &error);
    if (error) return FromError(error);
    if (!items) return NotFound();
    gboolean deleted = secret_item_delete_sync(static_cast<SecretItem*>(items->data), nullptr, &error);
    g_list_free_full(items, g_object_unref);
    if (!deleted) return FromError(error);
    return {};
  }

 private:
  SecretService* service_;
};

// True when some session bus can be reached without starting one: an
// address in the environment or the per-user bus socket.
bool HaveSessionBus() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address && *address) return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (!runtime || !*runtime) return false;
  struct stat info;
  return stat((std::string(runtime) + "/bus").c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

// True when the bus has a Secret Service running or can start one.
bool BusOffersSecretService(GDBusConnection* bus, std::string* reason) {
  GError* error = nullptr;
  GVariant* owned = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                "org.freedesktop.DBus", "NameHasOwner",
                                                g_variant_new("(s)", kSecretServiceName), G_VARIANT_TYPE("(b)"),
                                                G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
  if (!owned) {
    *reason = std::string("asking the session bus failed: ") + error->message;
    g_error_free(error);
    return false;
  }
  gboolean hasOwner = FALSE;
  g_variant_get(owned, "(b)", &hasOwner);
  g_variant_unref(owned);
  if (hasOwner) return true;

  GVariant* activatable = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "ListActivatableNames", nullptr,
      G_VARIANT_TYPE("(as)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
  if (!activatable) {
    *reason = std::string("asking the session bus failed: ") + error->message;
    g_error_free(error);
    return false;
  }
  bool found = false;
  GVariantIter* names = nullptr;
  const gchar* name = nullptr;
  g_variant_get(activatable, "(as)", &names);
  while (g_variant_iter_loop(names, "&s", &name))
    if (g_strcmp0(name, kSecretServiceName) == 0) found = true;
  g_variant_iter_free(names);
  g_variant_unref(activatable);
  if (!found) *reason = "the session bus offers no Secret Service";
  return found;
}

}  // namespace

std::unique_ptr<KeychainStore> CreateSecretServiceKeychainStore(std::string* reason) {
  std::string why;
  if (!reason) reason = &why;
  if (!HaveSessionBus()) {
    *reason = "no session bus";
    return nullptr;
  }
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (!bus) {
    *reason = std::string("connecting to the session bus failed: ") + error->message;
    g_error_free(error);
    return nullptr;
  }
  bool offered = BusOffersSecretService(bus, reason);
  g_object_unref(bus);
  if (!offered) return nullptr;

  SecretService* service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &error);
  if (!service) {
    *reason = std::string("opening the Secret Service failed: ") + (error ? error->message : "unknown error");
    if (error) g_error_free(error);
    return nullptr;
  }
  return std::make_unique<SecretServiceKeychainStore>(service);
}

}  // namespace quorvel
