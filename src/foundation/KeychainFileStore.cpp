// The file store behind Keychain when no Secret Service is available.
//
// File format (UTF-8 text, one item per line, fields separated by tabs, each
// field with "%", tab, line feed and carriage return written as %25, %09,
// %0A and %0D):
//
//   # Quorvel Varid keychain 1
//   G <service> <account> <password>
//   I <server> <account> <path> <port> <protocol> <authentication type> <password>
//
// port is decimal; protocol and authentication type are the four-character
// codes in decimal. Lines starting with "#" and empty lines are ignored.
//
// Every read and change holds an advisory lock on "<path>.lock" (shared for
// reading, exclusive for changing) so that the daemon and the command line
// can share one file; changes are written to a temporary file that is
// renamed over the old one.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/AtomicFile.h"
#include "foundation/Keychain.h"
#include "foundation/Mutex.h"

namespace quorvel {
namespace {

constexpr char kHeader[] = "# Quorvel Varid keychain 1";

struct StoredItem {
  KeychainItemKey key;
  std::string password;
};

std::string Escape(const std::string& field) {
  std::string out;
  out.reserve(field.size());
  for (char c : field) {
    switch (c) {
      case '%': out += "%25"; break;
      case '\t': out += "%09"; break;
      case '\n': out += "%0A"; break;
      case '\r': out += "%0D"; break;
      default: out += c;
    }
  }
  return out;
}

bool Unescape(const std::string& field, std::string* out) {
  out->clear();
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '%') {
      *out += field[i];
      continue;
    }
    if (i + 2 >= field.size()) return false;
    std::string code = field.substr(i + 1, 2);
    if (code == "25") *out += '%';
    else if (code == "09") *out += '\t';
    else if (code == "0A") *out += '\n';
    else if (code == "0D") *out += '\r';
    else return false;
    i += 2;
  }
  return true;
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    std::size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  return fields;
}

bool ParseUnsigned(const std::string& text, std::uint64_t limit, std::uint64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  std::uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
    if (v > limit) return false;
  }
  *value = v;
  return true;
}

bool ParseItem(const std::string& line, StoredItem* item) {
  std::vector<std::string> raw = SplitTabs(line);
  std::vector<std::string> fields(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i)
    if (!Unescape(raw[i], &fields[i])) return false;
  if (fields[0] == "G" && fields.size() == 4) {
    item->key = KeychainItemKey::generic(fields[1], fields[2]);
    item->password = fields[3];
    return true;
  }
  if (fields[0] == "I" && fields.size() == 8) {
    std::uint64_t port, protocol, authentication;
    if (!ParseUnsigned(fields[4], 0xFFFF, &port) || !ParseUnsigned(fields[5], 0xFFFFFFFF, &protocol) ||
        !ParseUnsigned(fields[6], 0xFFFFFFFF, &authentication))
      return false;
    item->key = KeychainItemKey::internet(fields[1], fields[2], fields[3], static_cast<std::uint16_t>(port),
                                          static_cast<std::uint32_t>(protocol),
                                          static_cast<std::uint32_t>(authentication));
    item->password = fields[7];
    return true;
  }
  return false;
}

std::string FormatItem(const StoredItem& item) {
  const KeychainItemKey& k = item.key;
  if (k.kind == KeychainItemKey::Kind::Generic)
    return "G\t" + Escape(k.service) + "\t" + Escape(k.account) + "\t" + Escape(item.password) + "\n";
  return "I\t" + Escape(k.server) + "\t" + Escape(k.account) + "\t" + Escape(k.path) + "\t" + std::to_string(k.port) +
         "\t" + std::to_string(k.protocol) + "\t" + std::to_string(k.authenticationType) + "\t" +
         Escape(item.password) + "\n";
}

bool SameKey(const KeychainItemKey& a, const KeychainItemKey& b) {
  if (a.kind != b.kind || a.account != b.account) return false;
  if (a.kind == KeychainItemKey::Kind::Generic) return a.service == b.service;
  return a.server == b.server && a.path == b.path && a.port == b.port && a.protocol == b.protocol &&
         a.authenticationType == b.authenticationType;
}

// The query matches the item: exact, but an Internet query for any protocol
// matches every protocol.
bool Matches(const KeychainItemKey& query, const KeychainItemKey& item) {
  if (query.kind == KeychainItemKey::Kind::Internet && query.protocol == kKeychainProtocolAny) {
    KeychainItemKey anyProtocol = item;
    anyProtocol.protocol = kKeychainProtocolAny;
    return SameKey(query, anyProtocol);
  }
  return SameKey(query, item);
}

KeychainStatus Failure(int code, std::string message) { return KeychainFailure(code, std::move(message)); }

KeychainStatus ErrnoFailure(const std::string& what, const std::string& path) {
  return Failure(kKeychainIOError, what + " \"" + path + "\" failed: " + std::strerror(errno));
}

class FileKeychainStore : public KeychainStore {
 public:
  explicit FileKeychainStore(std::string path) : path_(std::move(path)) {}

  std::string name() const override { return "file"; }

  KeychainStatus findPassword(const KeychainItemKey& key, std::string* password) override EXCLUDES(mutex_) {
    MutexLock guard(mutex_);
    FileLock lock;
    if (KeychainStatus status = lock.acquire(path_ + ".lock", LOCK_SH); !status.ok()) return status;
    std::vector<StoredItem> items;
    if (KeychainStatus status = load(&items); !status.ok()) return status;
    for (const StoredItem& item : items)
      if (Matches(key, item.key)) {
        if (password) *password = item.password;
        return {};
      }
    return Failure(kKeychainItemNotFound, "The item could not be found in the keychain file.");
  }

  KeychainStatus addPassword(const KeychainItemKey& key, const std::string& password) override EXCLUDES(mutex_) {
    MutexLock guard(mutex_);
    if (KeychainStatus status = makeFolder(); !status.ok()) return status;
    FileLock lock;
    if (KeychainStatus status = lock.acquire(path_ + ".lock", LOCK_EX); !status.ok()) return status;
    std::vector<StoredItem> items;
    if (KeychainStatus status = load(&items); !status.ok()) return status;
    for (const StoredItem& item : items)
      if (SameKey(key, item.key)) return Failure(kKeychainDuplicateItem, "The item already exists in the keychain file.");
    items.push_back(StoredItem{key, password});
    return save(items);
  }

  KeychainStatus deleteItem(const KeychainItemKey& key) override EXCLUDES(mutex_) {
    MutexLock guard(mutex_);
    FileLock lock;
    if (KeychainStatus status = lock.acquire(path_ + ".lock", LOCK_EX); !status.ok()) return status;
    std::vector<StoredItem> items;
    if (KeychainStatus status = load(&items); !status.ok()) return status;
    for (auto it = items.begin(); it != items.end(); ++it)
      if (Matches(key, it->key)) {
        items.erase(it);
        return save(items);
      }
    return Failure(kKeychainItemNotFound, "The item could not be found in the keychain file.");
  }

 private:
  // An advisory lock on the lock file beside the store, released on destruction.
  class FileLock {
   public:
    ~FileLock() {
      if (fd_ >= 0) close(fd_);
    }
    // The lock file is made beside the store when missing. A missing folder
    // means the store was never written: kKeychainItemNotFound, unless the
    // caller is about to create the folder.
    KeychainStatus acquire(const std::string& path, int operation) {
      fd_ = open(path.c_str(), O_RDWR | O_CLOEXEC | O_CREAT, 0600);
      if (fd_ < 0) {
        if (errno == ENOENT)
          return Failure(kKeychainItemNotFound, "The item could not be found in the keychain file.");
        return ErrnoFailure("Opening", path);
      }
      while (flock(fd_, operation) != 0)
        if (errno != EINTR) return ErrnoFailure("Locking", path);
      return {};
    }

   private:
    int fd_ = -1;
  };

  // The file is read and replaced only by a thread that holds mutex_ (and
  // then the file lock).
  KeychainStatus makeFolder() REQUIRES(mutex_) {
    std::size_t slash = path_.rfind('/');
    if (slash == std::string::npos || slash == 0) return {};
    std::string folder = path_.substr(0, slash);
    // Create every missing ancestor; only the last one is ours to restrict.
    for (std::size_t next = folder.find('/', 1);; next = folder.find('/', next + 1)) {
      std::string prefix = folder.substr(0, next);
      if (mkdir(prefix.c_str(), next == std::string::npos ? 0700 : 0755) != 0 && errno != EEXIST)
        return ErrnoFailure("Creating folder", prefix);
      if (next == std::string::npos) break;
    }
    return {};
  }

  KeychainStatus load(std::vector<StoredItem>* items) REQUIRES(mutex_) {
    items->clear();
    int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT) return {};
      return ErrnoFailure("Opening", path_);
    }
    std::string text;
    char buffer[16384];
    for (;;) {
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        KeychainStatus status = ErrnoFailure("Reading", path_);
        close(fd);
        return status;
      }
      if (n == 0) break;
      text.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);

    std::size_t start = 0, lineNumber = 0;
    while (start < text.size()) {
      std::size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(start, end - start);
      start = end + 1;
      ++lineNumber;
      if (line.empty() || line[0] == '#') continue;
      StoredItem item;
      if (!ParseItem(line, &item))
        return Failure(kKeychainDecodeError,
                       "The keychain file \"" + path_ + "\" is damaged (line " + std::to_string(lineNumber) + ").");
      items->push_back(std::move(item));
    }
    return {};
  }

  KeychainStatus save(const std::vector<StoredItem>& items) REQUIRES(mutex_) {
    std::string text = std::string(kHeader) + "\n";
    for (const StoredItem& item : items) text += FormatItem(item);

    Status written = WriteFileAtomically(path_, text, 0600);
    if (written.ok()) return written;
    return Failure(kKeychainIOError, written.message());
  }

  const std::string path_;
  Mutex mutex_;  // this process's threads take turns before the file lock
};

}  // namespace

std::unique_ptr<KeychainStore> CreateFileKeychainStore(const std::string& path) {
  return std::make_unique<FileKeychainStore>(path);
}

}  // namespace quorvel
