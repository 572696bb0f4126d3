#include "model/ProcessLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "foundation/DataTransforms.h"
#include "foundation/Posix.h"
#include "model/Backup.h"

namespace quorvel {

namespace {

pid_t ReadHolder(int fd) {
  char text[32] = {};
  ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
  if (got <= 0) return 0;
  long pid = std::strtol(text, nullptr, 10);
  return pid > 0 ? static_cast<pid_t>(pid) : 0;
}

void WriteHolder(int fd) {
  char text[32];
  int length = std::snprintf(text, sizeof text, "%ld\n", static_cast<long>(::getpid()));
  if (::ftruncate(fd, 0) == 0) (void)!::pwrite(fd, text, static_cast<std::size_t>(length), 0);
}

std::string HexOf(const Data& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

}  // namespace

std::optional<ProcessLock> ProcessLock::acquire(const std::string& path, Refusal* refusal) {
  std::error_code ignored;
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  if (!folder.empty() && !std::filesystem::is_directory(folder, ignored)) {
    std::filesystem::create_directories(folder, ignored);
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all, ignored);
  }
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    *refusal = {0, "cannot open the lock file \"" + path + "\": " + ErrnoText(errno)};
    return std::nullopt;
  }
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    const int error = errno;
    *refusal = {error == EWOULDBLOCK ? ReadHolder(fd) : 0,
                error == EWOULDBLOCK ? std::string() : "cannot lock \"" + path + "\": " + ErrnoText(error)};
    ::close(fd);
    return std::nullopt;
  }
  WriteHolder(fd);
  return ProcessLock(fd);
}

std::string ProcessLock::pathForBackup(const std::string& uuid) {
  return SettingsFolder() + "/.backup-" + uuid + ".lock";
}

std::string ProcessLock::pathForDestination(const Url& destination) {
  std::string key;
  if (destination.isFileURL()) {
    std::error_code error;
    std::filesystem::path folder = std::filesystem::weakly_canonical(destination.path(), error);
    key = "file://" + (error ? destination.path() : folder.string());
  } else {
    std::optional<Url> bare = destination.URLByDeletingUserAndPassword();
    key = bare ? bare->absoluteString() : destination.absoluteString();
    while (key.size() > 1 && key.back() == '/') key.pop_back();
  }
  std::optional<Data> digest = DataTransforms::sha1DigestWithBytes(key.data(), key.size());
  return SettingsFolder() + "/.destination-" + (digest ? HexOf(*digest) : std::string("unknown")) + ".lock";
}

ProcessLock::ProcessLock(ProcessLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

ProcessLock& ProcessLock::operator=(ProcessLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

ProcessLock::~ProcessLock() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace quorvel
