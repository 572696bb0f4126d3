#include "foundation/Keychain.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "foundation/SystemLog.h"
#include "foundation/Url.h"

namespace quorvel {

std::string FourCharCodeString(std::uint32_t code) {
  if (code == 0) return {};
  return std::string{static_cast<char>(code >> 24), static_cast<char>(code >> 16), static_cast<char>(code >> 8),
                     static_cast<char>(code)};
}

std::uint32_t KeychainProtocolForScheme(const std::string& scheme) {
  std::string lower = scheme;
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (lower == "afp") return kKeychainProtocolAFP;
  if (lower == "smb") return kKeychainProtocolSMB;
  if (lower == "http") return kKeychainProtocolHTTP;
  if (lower == "https") return kKeychainProtocolHTTPS;
  if (lower == "ftp") return kKeychainProtocolFTP;
  if (lower == "ftps") return kKeychainProtocolFTPS;
  if (lower == "ssh") return kKeychainProtocolSSH;
  return kKeychainProtocolAny;
}

KeychainItemKey KeychainItemKey::generic(std::string service, std::string account) {
  KeychainItemKey key;
  key.kind = Kind::Generic;
  key.service = std::move(service);
  key.account = std::move(account);
  return key;
}

KeychainItemKey KeychainItemKey::internet(std::string server, std::string account, std::string path,
                                          std::uint16_t port, std::uint32_t protocol,
                                          std::uint32_t authenticationType) {
  KeychainItemKey key;
  key.kind = Kind::Internet;
  key.server = std::move(server);
  key.account = std::move(account);
  key.path = std::move(path);
  key.port = port;
  key.protocol = protocol;
  key.authenticationType = authenticationType;
  return key;
}

KeychainItemKey KeychainItemKey::forURL(const Url& url) {
  return internet(url.host(), url.user(), url.path(), url.port().value_or(0), KeychainProtocolForScheme(url.scheme()));
}

// ---- The shared instance

std::string Keychain::defaultFileStorePath() {
  std::string folder;
  if (const char* home = std::getenv("QUORVEL_HOME"); home && *home) {
    folder = home;
  } else if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data) {
    folder = std::string(data) + "/Quorvel Varid";
  } else {
    const char* userHome = std::getenv("HOME");
    if (!userHome || !*userHome) {
      const passwd* entry = getpwuid(getuid());
      userHome = entry && entry->pw_dir ? entry->pw_dir : "/";
    }
    folder = std::string(userHome) + "/.local/share/Quorvel Varid";
  }
  return folder + "/Keychain";
}

Keychain& Keychain::sharedKeychain() {
  static Keychain* shared = [] {
    const char* choice = std::getenv("QUORVEL_KEYCHAIN");
    if (!choice || std::strcmp(choice, "file") != 0)
      if (auto store = CreateSecretServiceKeychainStore()) return new Keychain(std::move(store));
    return new Keychain(CreateFileKeychainStore(defaultFileStorePath()));
  }();
  return *shared;
}

Keychain::Keychain(std::unique_ptr<KeychainStore> store) : store_(std::move(store)) {}

// ---- Generic passwords

std::optional<std::string> Keychain::genericPasswordForService(const std::string& service,
                                                               const std::string& account) {
  std::string password;
  KeychainStatus status = store_->findPassword(KeychainItemKey::generic(service, account), &password);
  if (status.ok()) return password;
  if (status.code() != kKeychainItemNotFound)
    SystemLog("%s: Failed retrieving generic password for \"%@\" @ \"%@\" (error %i: \"%@\")", __func__, service,
              account, status.code(), status.message());
  return std::nullopt;
}

bool Keychain::addGenericPassword(const std::string& password, const std::string& service,
                                  const std::string& account) {
  if (password.empty()) return false;
  KeychainStatus status = store_->addPassword(KeychainItemKey::generic(service, account), password);
  if (status.ok() || status.code() == kKeychainDuplicateItem) return true;
  SystemLog("%s: Failed adding generic password for \"%@\" @ \"%@\" (error %i: \"%@\")", __func__, service, account,
            status.code(), status.message());
  return false;
}

bool Keychain::removeGenericPasswordForService(const std::string& service, const std::string& account) {
  KeychainStatus status = store_->deleteItem(KeychainItemKey::generic(service, account));
  if (status.ok() || status.code() == kKeychainItemNotFound) return true;
  SystemLog("%s: Failed deleting generic password for \"%@\" @ \"%@\" (error %i: \"%@\")", __func__, service,
            account, status.code(), status.message());
  return false;
}

// ---- Internet passwords

bool Keychain::setPasswordForURL(const Url& url) {
  if (!url.password().empty()) return addPasswordForURL(url);
  return removePasswordForURL(url);
}

bool Keychain::addPasswordForURL(const Url& url) {
  std::string user = url.user();
  if (user.empty()) return false;
  std::optional<std::string> password = url.passwordByReplacingPercentEscapes();
  if (!password || password->empty()) return false;
  KeychainStatus status = store_->addPassword(KeychainItemKey::forURL(url), *password);
  if (status.ok() || status.code() == kKeychainDuplicateItem) return true;
  SystemLog("%s: Failed adding Internet password for \"%@@%@%@\" (error %i: \"%@\")", __func__, user, url.host(),
            url.path(), status.code(), status.message());
  return false;
}

bool Keychain::removePasswordForURL(const Url& url) {
  std::string user = url.user();
  if (user.empty()) return false;
  KeychainStatus status = store_->deleteItem(KeychainItemKey::forURL(url));
  if (status.ok() || status.code() == kKeychainItemNotFound) return true;
  SystemLog("%s: Failed deleting Internet password for \"%@@%@%@\" (error %i: \"%@\")", __func__, user, url.host(),
            url.path(), status.code(), status.message());
  return false;
}

Url Keychain::URLWithPasswordForURL(const Url& url) {
  std::string user = url.user();
  if (!url.password().empty() || user.empty()) return url;
  std::string password;
  KeychainStatus status = store_->findPassword(KeychainItemKey::forURL(url), &password);
  if (!status.ok()) {
    if (status.code() != kKeychainItemNotFound)
      SystemLog("%s: Failed retrieving Internet password for \"%@@%@%@\" (error %i: \"%@\")", __func__, user,
                url.host(), url.path(), status.code(), status.message());
    return url;
  }
  std::optional<Url> completed =
      Url::URLWithScheme(url.scheme(), user, password, url.host(), url.port().value_or(0), url.path());
  return completed ? *completed : url;
}

}  // namespace quorvel
