#include "foundation/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace quorvel {

int WriteFileAtomically(const std::string& path, const void* bytes, std::size_t length, mode_t mode,
                        bool keepExistingMode) {
  std::string temporary = path + ".XXXXXX";
  int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return errno;
  auto fail = [&](int error) {
    if (fd >= 0) ::close(fd);
    ::unlink(temporary.c_str());
    return error ? error : EIO;
  };
  const auto* data = static_cast<const char*>(bytes);
  for (std::size_t written = 0; written < length;) {
    ssize_t n = ::write(fd, data + written, length - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail(n < 0 ? errno : EIO);
    written += static_cast<std::size_t>(n);
  }
  struct stat existing;
  if (keepExistingMode && ::stat(path.c_str(), &existing) == 0) mode = existing.st_mode & 07777;
  if (::fchmod(fd, mode) != 0) return fail(errno);
  int closed = ::close(fd);
  fd = -1;
  if (closed != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) return fail(errno);
  return 0;
}

}  // namespace quorvel
