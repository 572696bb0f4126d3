#include "foundation/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "foundation/Posix.h"

namespace quorvel {

namespace {

Status WriteAll(int fd, const void* bytes, std::size_t length, const std::string& path) {
  const auto* data = static_cast<const char*>(bytes);
  for (std::size_t written = 0; written < length;) {
    ssize_t n = ::write(fd, data + written, length - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Status::posix(n < 0 ? errno : EIO, "Could not write \"" + path + "\"");
    written += static_cast<std::size_t>(n);
  }
  return Status();
}

}  // namespace

Status SyncFolder(const std::string& folder) {
  UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return Status::posix(errno, "Could not open the folder \"" + folder + "\"");
  if (int error = SyncDescriptor(fd.get())) return Status::posix(error, "Could not flush the folder \"" + folder + "\"");
  return Status();
}

Status WriteFileAtomically(const std::string& path, const void* bytes, std::size_t length, mode_t mode,
                           bool keepExistingMode, bool synced) {
  std::string temporary = path + ".XXXXXX";
  UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!fd.valid()) return Status::posix(errno, "Could not create a file next to \"" + path + "\"");
  auto fail = [&](Status status) {
    fd.reset();
    ::unlink(temporary.c_str());
    return status;
  };
  if (Status written = WriteAll(fd.get(), bytes, length, temporary); !written.ok()) return fail(written);
  struct stat existing;
  if (keepExistingMode && ::stat(path.c_str(), &existing) == 0) mode = existing.st_mode & 07777;
  if (::fchmod(fd.get(), mode) != 0) return fail(Status::posix(errno, "Could not set the mode of \"" + temporary + "\""));
  if (int error = synced ? SyncDescriptor(fd.get()) : 0) {
    return fail(Status::posix(error, "Could not flush \"" + temporary + "\""));
  }
  if (::close(fd.release()) != 0) return fail(Status::posix(errno, "Could not write \"" + temporary + "\""));
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    return fail(Status::posix(errno, "Could not replace \"" + path + "\""));
  }
  return synced ? SyncFolder(ParentFolderOf(path)) : Status();
}

}  // namespace quorvel
