#include "FileTransferController/LocalTransferController.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <vector>

#include "foundation/SystemLog.h"
#include "foundation/Posix.h"

namespace quorvel {

namespace {

Error NotReachable(const std::string& path) {
  return Error::transferError("\"" + path + "\" is not reachable");
}

Error FileSystemError(const std::error_code& code, const std::string& what, const std::string& path) {
  return Error::posixError(code.value(), what + " \"" + path + "\"", path);
}

// The attributes a listing shows for one item (symbolic links not followed).
bool ItemAttributes(const std::string& path, Dictionary& attributes, int* errorNumber) {
  struct statx info;
  if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &info) != 0) {
    *errorNumber = errno;
    return false;
  }
  const char* type = kFileTypeUnknown;
  if (S_ISDIR(info.stx_mode)) type = kFileTypeDirectory;
  else if (S_ISREG(info.stx_mode)) type = kFileTypeRegular;
  else if (S_ISLNK(info.stx_mode)) type = kFileTypeSymbolicLink;
  attributes.set(kFileType, type);
  auto toDate = [](const statx_timestamp& stamp) {
    return Date::fromUnixTime(static_cast<double>(stamp.tv_sec) + static_cast<double>(stamp.tv_nsec) / 1e9);
  };
  // Without a birth time the status-change time stands in for it.
  attributes.set(kFileCreationDate, toDate((info.stx_mask & STATX_BTIME) ? info.stx_btime : info.stx_ctime));
  attributes.set(kFileModificationDate, toDate(info.stx_mtime));
  attributes.set(kFileSize, static_cast<unsigned long long>(info.stx_size));
  return true;
}

bool ItemExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// Copies a file, a symbolic link or a folder with its contents. Plain reads
// and writes only: mounted shares (GVfs's FUSE bridge) support no more.
// Modes and modification times are carried over where the target allows.
bool CopyItem(const std::string& source, const std::string& destination, int* errorNumber, std::string* failedPath) {
  auto fail = [&](const std::string& path) {
    *errorNumber = errno;
    *failedPath = path;
    return false;
  };
  struct stat st;
  if (lstat(source.c_str(), &st) != 0) return fail(source);
  if (S_ISLNK(st.st_mode)) {
    std::string target(static_cast<std::size_t>(st.st_size) + 1, '\0');
    ssize_t length = readlink(source.c_str(), target.data(), target.size());
    if (length < 0) return fail(source);
    target.resize(static_cast<std::size_t>(length));
    if (symlink(target.c_str(), destination.c_str()) != 0) return fail(destination);
    return true;
  }
  if (S_ISDIR(st.st_mode)) {
    if (mkdir(destination.c_str(), st.st_mode & 07777) != 0) return fail(destination);
    DIR* folder = opendir(source.c_str());
    if (!folder) return fail(source);
    bool success = true;
    while (dirent* entry = readdir(folder)) {
      std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      if (!CopyItem(source + "/" + name, destination + "/" + name, errorNumber, failedPath)) {
        success = false;
        break;
      }
    }
    closedir(folder);
    return success;
  }
  // The item checked above, not a link put in its place since; the copy
  // lands only on a free name.
  int in = open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (in < 0) return fail(source);
  struct stat opened;
  bool described = fstat(in, &opened) == 0;
  if (!described || !S_ISREG(opened.st_mode)) {
    if (described) errno = EINVAL;
    fail(source);
    close(in);
    return false;
  }
  int inFlags = fcntl(in, F_GETFL);
  if (inFlags >= 0) fcntl(in, F_SETFL, inFlags & ~O_NONBLOCK);
  int out = open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, st.st_mode & 07777);
  if (out < 0) {
    fail(destination);
    close(in);
    return false;
  }
  std::vector<char> buffer(1 << 18);
  bool success = true;
  for (;;) {
    ssize_t n = read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      success = fail(source);
      break;
    }
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      ssize_t written = write(out, buffer.data() + done, static_cast<std::size_t>(n - done));
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        if (written == 0) errno = EIO;
        success = fail(destination);
        break;
      }
      done += written;
    }
    if (!success) break;
  }
  if (success) {
    timespec times[2] = {st.st_atim, st.st_mtim};
    futimens(out, times);  // best effort
    if (int error = SyncDescriptor(out)) {
      errno = error;
      success = fail(destination);
    }
  }
  if (close(out) != 0 && success) success = fail(destination);
  close(in);
  return success;
}

// A destination-relative path naming the base folder itself.
bool NamesBaseFolder(const std::string& path) { return path.find_first_not_of('/') == std::string::npos; }

// Makes `folder` and the missing folders above it. 0 on success, else the
// errno of the first folder that could not be made.
int MakeFolderWithParents(const std::string& folder) {
  if (mkdir(folder.c_str(), 0777) == 0) return 0;
  if (errno != ENOENT) return errno;
  std::size_t slash = folder.find_last_not_of('/');
  slash = slash == std::string::npos ? std::string::npos : folder.rfind('/', slash);
  if (slash == std::string::npos || slash == 0) return ENOENT;
  int parentError = MakeFolderWithParents(folder.substr(0, slash));
  if (parentError != 0 && parentError != EEXIST) return parentError;
  return mkdir(folder.c_str(), 0777) == 0 ? 0 : errno;
}

}  // namespace

std::shared_ptr<LocalTransferController> LocalTransferController::initWithBaseURL(const Url& url) {
  return makeController<LocalTransferController>(url);
}

std::shared_ptr<LocalTransferController> LocalTransferController::initWithHost(
    const std::string& host, std::uint16_t port, const std::string& user, const std::string& password,
    const std::string& basePath) {
  return makeControllerWithHost<LocalTransferController>(host, port, user, password, basePath);
}

bool LocalTransferController::supportsOperation(TransferOperation operation) const {
  return operation != TransferOperation::DeleteDirectory;
}

std::optional<std::string> LocalTransferController::localPathOrFail(const std::string& path) {
  std::optional<Url> url = absoluteURLForRemotePath(path);
  if (url) return url->path();
  notifyDidStart();
  notifyDidFail(unreachableError().value_or(NotReachable(path)));
  return std::nullopt;
}

std::optional<Value> LocalTransferController::processReadResultStream(OutputStream* stream, std::any& userInfo,
                                                                      std::optional<Error>* error) {
  return Value(true);
}

// ---------------------------------------------------------------------------
// Listing and folders

std::optional<Dictionary> LocalTransferController::contentsOfDirectoryAtPath(const std::string& path) {
  std::optional<std::string> folder = localPathOrFail(path);
  if (!folder) return std::nullopt;
  notifyDidStart();
  // The base folder is the user's choice and may be reached through a link;
  // a link inside it is not followed (the opening fails with ELOOP).
  int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (NamesBaseFolder(path) ? 0 : O_NOFOLLOW);
  int folderFd = open(folder->c_str(), flags);
  DIR* directory = folderFd >= 0 ? fdopendir(folderFd) : nullptr;
  if (!directory) {
    int errorNumber = errno;
    if (folderFd >= 0) close(folderFd);
    // With O_DIRECTORY a link answers ENOTDIR; it is named for what it is.
    struct stat st;
    if (errorNumber == ENOTDIR && lstat(folder->c_str(), &st) == 0 && S_ISLNK(st.st_mode)) errorNumber = ELOOP;
    std::string what = "Could not list \"" + *folder + "\"";
    Error error = Error::posixError(errorNumber, what, *folder);
    if (errorNumber == ELOOP) error.markPermanent();
    notifyDidFail(error);
    return std::nullopt;
  }
  Dictionary listing;
  errno = 0;
  while (dirent* entry = readdir(directory)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string itemPath = *folder == "/" ? "/" + name : *folder + "/" + name;
    Dictionary attributes;
    int errorNumber = 0;
    if (!ItemAttributes(itemPath, attributes, &errorNumber)) {
      Error error = Error::posixError(errorNumber, "Could not read the attributes of \"" + itemPath + "\"", itemPath);
      SystemLog("%s: %@", __func__, error.localizedDescription());
      continue;
    }
    listing.set(name, std::move(attributes));
  }
  int readError = errno;
  closedir(directory);
  if (readError != 0) {
    notifyDidFail(Error::posixError(readError, "Could not list \"" + *folder + "\"", *folder));
    return std::nullopt;
  }
  notifyDidSucceed();
  return listing;
}

bool LocalTransferController::createDirectoryAtPath(const std::string& path) {
  std::optional<std::string> folder = localPathOrFail(path);
  if (!folder) return false;
  notifyDidStart();
  // The base folder is the user's choice: the folders above it are made as
  // well ("backups/documents" on a share that has neither).
  int made = NamesBaseFolder(path) ? MakeFolderWithParents(*folder) : (mkdir(folder->c_str(), 0777) == 0 ? 0 : errno);
  if (made != 0) {
    notifyDidFail(Error::posixError(made, "Could not create the folder \"" + *folder + "\"", *folder));
    return false;
  }
  if (int errorNumber = syncParentFolder(*folder)) {
    notifyDidFail(Error::posixError(errorNumber, "Could not sync the folder holding \"" + *folder + "\"", *folder));
    return false;
  }
  notifyDidSucceed();
  return true;
}

// ---------------------------------------------------------------------------
// Moving, copying, deleting

std::optional<std::pair<std::string, std::string>> LocalTransferController::clearedTarget(const std::string& fromPath,
                                                                                          const std::string& toPath) {
  std::optional<Url> fromURL = absoluteURLForRemotePath(fromPath);
  std::optional<Url> toURL = fromURL ? absoluteURLForRemotePath(toPath) : std::nullopt;
  notifyDidStart();
  if (!fromURL || !toURL) {
    notifyDidFail(Error::transferError("\"" + fromPath + "\" or \"" + toPath + "\" are not reachable"));
    return std::nullopt;
  }
  std::string source = fromURL->path(), destination = toURL->path();
  // A link is moved or copied by no one: what it points to is not ours.
  struct stat st;
  if (lstat(source.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    notifyDidFail(
        Error::posixError(ELOOP, "Could not use \"" + source + "\": it is a symbolic link", source).markPermanent());
    return std::nullopt;
  }
  std::error_code code;
  if (ItemExists(destination)) {
    std::filesystem::remove_all(destination, code);
    if (code) {
      notifyDidFail(FileSystemError(code, "Could not remove", destination));
      return std::nullopt;
    }
  }
  return std::make_pair(std::move(source), std::move(destination));
}

bool LocalTransferController::movePath(const std::string& fromPath, const std::string& toPath) {
  auto ends = clearedTarget(fromPath, toPath);
  if (!ends) return false;
  const auto& [source, destination] = *ends;
  std::error_code code;
  if (rename(source.c_str(), destination.c_str()) != 0) {
    int errorNumber = errno;
    if (errorNumber != EXDEV) {
      notifyDidFail(Error::posixError(errorNumber, "Could not move \"" + source + "\"", source));
      return false;
    }
    // Another file system: copy, then remove the original.
    std::string failedPath;
    if (!CopyItem(source, destination, &errorNumber, &failedPath)) {
      notifyDidFail(Error::posixError(errorNumber, "Could not move \"" + source + "\"", failedPath));
      return false;
    }
    std::filesystem::remove_all(source, code);
    if (code) {
      notifyDidFail(FileSystemError(code, "Could not move", source));
      return false;
    }
  }
  // Both folders changed; the new name must be on disk before anything
  // that relies on it (the deletion of what it replaces).
  int errorNumber = syncParentFolder(destination);
  if (errorNumber == 0 && ParentFolderOf(source) != ParentFolderOf(destination)) {
    errorNumber = syncParentFolder(source);
  }
  if (errorNumber != 0) {
    notifyDidFail(Error::posixError(errorNumber, "Could not sync the move of \"" + source + "\"", destination));
    return false;
  }
  notifyDidSucceed();
  return true;
}

bool LocalTransferController::copyPath(const std::string& fromPath, const std::string& toPath) {
  auto ends = clearedTarget(fromPath, toPath);
  if (!ends) return false;
  const auto& [source, destination] = *ends;
  int errorNumber = 0;
  std::string failedPath;
  if (!CopyItem(source, destination, &errorNumber, &failedPath)) {
    notifyDidFail(Error::posixError(errorNumber, "Could not copy \"" + source + "\"", failedPath));
    return false;
  }
  if (int syncError = syncParentFolder(destination)) {
    notifyDidFail(Error::posixError(syncError, "Could not sync the copy \"" + destination + "\"", destination));
    return false;
  }
  notifyDidSucceed();
  return true;
}

bool LocalTransferController::deleteFileAtPath(const std::string& path) { return deletePath(path); }

bool LocalTransferController::deleteDirectoryRecursivelyAtPath(const std::string& path) { return deletePath(path); }

bool LocalTransferController::deletePath(const std::string& path) {
  std::optional<std::string> item = localPathOrFail(path);
  if (!item) return false;
  notifyDidStart();
  if (ItemExists(*item)) {
    std::error_code code;
    std::filesystem::remove_all(*item, code);
    if (code) {
      notifyDidFail(FileSystemError(code, "Could not delete", *item));
      return false;
    }
  }
  notifyDidSucceed();
  return true;
}

// ---------------------------------------------------------------------------
// Payloads

bool LocalTransferController::downloadFileFromPathImpl(const std::string& path, OutputStream& stream) {
  if (stream.streamStatus() != StreamStatus::NotOpen) return false;
  std::optional<std::string> file = localPathOrFail(path);
  if (!file) return false;
  struct stat attributes;
  if (lstat(file->c_str(), &attributes) != 0) return false;
  std::uint64_t size = static_cast<std::uint64_t>(attributes.st_size);
  if (S_ISREG(attributes.st_mode) && downloadSizeLimit() != 0 && size > downloadSizeLimit()) {
    notifyDidStart();
    notifyDidFail(Error::posixError(EFBIG,
                                    "Could not read \"" + *file + "\": its " + std::to_string(size) +
                                        " bytes exceed the " + std::to_string(downloadSizeLimit()) + " expected",
                                    *file));
    return false;
  }
  // The stream refuses links and anything but a regular file, and reads no
  // more than the size the file has when it opens.
  setMaxLength(S_ISREG(attributes.st_mode) ? size : 0);
  std::optional<Value> result =
      runReadStream(FileInputStream::forStoredFile(*file), &stream, std::any(), true);
  return result && result->asBool();
}

bool LocalTransferController::uploadFileToPathImpl(const std::string& path, InputStream& stream) {
  if (stream.streamStatus() != StreamStatus::NotOpen) return false;
  std::optional<std::string> file = localPathOrFail(path);
  if (!file) return false;
  std::optional<Value> result =
      runWriteStream(FileOutputStream::forStoredFile(*file), &stream, std::any(), true);
  return result && result->asBool();
}

// ---------------------------------------------------------------------------
// Durability

int LocalTransferController::syncDescriptor(int fd) {
  if (int error = SyncDescriptor(fd)) {
    errno = error;
    return -1;
  }
  return 0;
}

int LocalTransferController::syncParentFolder(const std::string& localPath) {
  std::string folder = ParentFolderOf(localPath);
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int errorNumber = syncDescriptor(fd) == 0 ? 0 : errno;
  close(fd);
  return errorNumber;
}

bool LocalTransferController::syncDestination() {
  std::optional<std::string> folder = localPathOrFail("");
  if (!folder) return false;
  notifyDidStart();
  int fd = open(folder->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int errorNumber = 0;
  if (fd < 0) {
    errorNumber = errno;
  } else {
    if (syncDescriptor(fd) != 0) errorNumber = errno;
    close(fd);
  }
  if (errorNumber != 0) {
    notifyDidFail(Error::posixError(errorNumber, "Could not sync \"" + *folder + "\" to disk", *folder));
    return false;
  }
  notifyDidSucceed();
  return true;
}

}  // namespace quorvel
