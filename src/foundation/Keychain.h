// Passwords kept out of the settings files: generic passwords keyed by a
// service and an account, and Internet passwords keyed by a URL's components.
//
// Keychain holds the rules (what counts as success, what is logged) and talks
// to a KeychainStore, the credential store itself: the desktop's Secret
// Service over D-Bus when the session bus offers one, otherwise a private
// file (mode 0600) in the settings folder. QUORVEL_KEYCHAIN=file forces the
// file store.
//
// Adding never replaces an existing password: an item that already exists
// counts as success and keeps its old password, so a caller that changes a
// password removes the old item first. Removing an item that does not exist
// succeeds. Other failures are written to the system log (never with the
// password) and reported by the result.
//
// Threads: sharedKeychain() is created on first use (from the main thread,
// before workers need it) and lives until the process ends; after that any
// thread may call any operation.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "foundation/Status.h"
#include "foundation/Url.h"

namespace quorvel {

// Result codes, numbered as the platform's keychain numbers them.
inline constexpr int kKeychainSuccess = 0;
inline constexpr int kKeychainIOError = -36;              // the file store could not be read or written
inline constexpr int kKeychainParameterError = -50;       // an attribute the store cannot hold
inline constexpr int kKeychainInternalError = -2070;      // any other failure of the store
inline constexpr int kKeychainNotAvailable = -25291;      // no store can be reached
inline constexpr int kKeychainDuplicateItem = -25299;     // adding: an item with this key exists
inline constexpr int kKeychainItemNotFound = -25300;      // finding or deleting: no such item
inline constexpr int kKeychainInteractionNotAllowed = -25308;  // the store is locked
inline constexpr int kKeychainDecodeError = -26275;       // the file store's contents are damaged

// Four-character codes ('ftp ') as the platform writes them.
constexpr std::uint32_t FourCharCode(const char (&code)[5]) {
  return (std::uint32_t(std::uint8_t(code[0])) << 24) | (std::uint32_t(std::uint8_t(code[1])) << 16) |
         (std::uint32_t(std::uint8_t(code[2])) << 8) | std::uint32_t(std::uint8_t(code[3]));
}
// The code as four characters ("ftp "); empty for 0.
std::string FourCharCodeString(std::uint32_t code);

inline constexpr std::uint32_t kKeychainProtocolAny = 0;
inline constexpr std::uint32_t kKeychainProtocolAFP = FourCharCode("afp ");
inline constexpr std::uint32_t kKeychainProtocolSMB = FourCharCode("smb ");
inline constexpr std::uint32_t kKeychainProtocolHTTP = FourCharCode("http");
inline constexpr std::uint32_t kKeychainProtocolHTTPS = FourCharCode("htps");
inline constexpr std::uint32_t kKeychainProtocolFTP = FourCharCode("ftp ");
inline constexpr std::uint32_t kKeychainProtocolFTPS = FourCharCode("ftps");
inline constexpr std::uint32_t kKeychainProtocolSSH = FourCharCode("ssh ");
inline constexpr std::uint32_t kKeychainAuthenticationDefault = FourCharCode("dflt");

// The protocol code for a URL scheme (compared case-insensitively);
// kKeychainProtocolAny for schemes without one ("file", "s3").
std::uint32_t KeychainProtocolForScheme(const std::string& scheme);

// What identifies one item.
struct KeychainItemKey {
  enum class Kind { Generic, Internet };
  Kind kind = Kind::Generic;
  std::string service;  // generic items only
  std::string account;  // both kinds (the user of an Internet item)
  std::string server;   // Internet items: host, path, port, protocol, authentication type
  std::string path;
  std::uint16_t port = 0;
  std::uint32_t protocol = kKeychainProtocolAny;
  std::uint32_t authenticationType = kKeychainAuthenticationDefault;

  static KeychainItemKey generic(std::string service, std::string account);
  static KeychainItemKey internet(std::string server, std::string account, std::string path, std::uint16_t port,
                                  std::uint32_t protocol,
                                  std::uint32_t authenticationType = kKeychainAuthenticationDefault);
  // The key of a URL's Internet password: host, user, path, port and the
  // scheme's protocol, with the default authentication type.
  static KeychainItemKey forURL(const Url& url);
};

// The outcome of one store call: success, or a failure in kKeychainDomain
// with one of the result codes above and the store's text for it.
using KeychainStatus = Status;
inline Status KeychainFailure(int code, std::string message) {
  return Status(kKeychainDomain, code, std::move(message));
}

// A credential store. Keys match exactly, except that kKeychainProtocolAny in
// an Internet key matches items of every protocol when finding or deleting.
// Implementations are safe to call from several threads at once.
class KeychainStore {
 public:
  virtual ~KeychainStore() = default;
  // "Secret Service" or "file", for messages.
  virtual std::string name() const = 0;
  // Success with the password, kKeychainItemNotFound, or a failure.
  virtual KeychainStatus findPassword(const KeychainItemKey& key, std::string* password) = 0;
  // kKeychainDuplicateItem (and no change) when an item with exactly this key exists.
  virtual KeychainStatus addPassword(const KeychainItemKey& key, const std::string& password) = 0;
  // Deletes the item findPassword would find; kKeychainItemNotFound when none.
  virtual KeychainStatus deleteItem(const KeychainItemKey& key) = 0;
};

// The file store: one text file, created with mode 0600 (its folder 0700)
// when the first item is added, replaced atomically on every change and
// locked against other processes while it is read or changed.
std::unique_ptr<KeychainStore> CreateFileKeychainStore(const std::string& path);

// The Secret Service on the current session bus, or null (with the reason
// in *reason when given) when the bus or the service is not there.
std::unique_ptr<KeychainStore> CreateSecretServiceKeychainStore(std::string* reason = nullptr);

class Keychain {
 public:
  // The process-wide instance: the Secret Service when available (and not
  // overridden by QUORVEL_KEYCHAIN=file), else the file store at
  // defaultFileStorePath(). Never destroyed.
  static Keychain& sharedKeychain();
  // "Keychain" in the settings folder: $QUORVEL_HOME, else
  // $XDG_DATA_HOME/Quorvel Varid, else ~/.local/share/Quorvel Varid.
  static std::string defaultFileStorePath();

  explicit Keychain(std::unique_ptr<KeychainStore> store);
  Keychain(const Keychain&) = delete;
  Keychain& operator=(const Keychain&) = delete;

  KeychainStore& store() { return *store_; }

  // Generic passwords.
  std::optional<std::string> genericPasswordForService(const std::string& service, const std::string& account);
  // Refuses an empty password without touching the store.
  bool addGenericPassword(const std::string& password, const std::string& service, const std::string& account);
  bool removeGenericPasswordForService(const std::string& service, const std::string& account);

  // Internet passwords, keyed by the URL's components.
  // addPasswordForURL when the URL has a password, removePasswordForURL otherwise.
  bool setPasswordForURL(const Url& url);
  // Stores the URL's unescaped password; fails without touching the store
  // when the URL has no user or no password.
  bool addPasswordForURL(const Url& url);
  // Fails when the URL has no user.
  bool removePasswordForURL(const Url& url);
  // The URL with its stored password filled in. Unchanged when it already
  // has a password, has no user, or nothing is found (or the look-up fails).
  Url URLWithPasswordForURL(const Url& url);

 private:
  std::unique_ptr<KeychainStore> store_;
};

}  // namespace quorvel
