#include "FileTransferController/RemoteTransferController.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <set>

#include "foundation/Mutex.h"
#include "foundation/SystemLog.h"

namespace quorvel {

namespace {

// The shares mounted by controllers of this process, one entry per
// controller holding a count, and the mutex that guards it together with
// every mount and unmount decision. Mounters are called only with the mutex
// held: a look at what is mounted, the mount and the count are one step, so
// that no other controller unmounts the volume between them.
struct MountRegistry {
  Mutex mutex;
  std::multiset<std::string> shares GUARDED_BY(mutex);
};

MountRegistry& Mounts() {
  static MountRegistry* registry = new MountRegistry;  // never destroyed: controllers may outlive statics
  return *registry;
}

constexpr long kFuseSuperMagic = 0x65735546;

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A name no other controller (of any process) will pick.
std::string UniqueFileName() {
  struct Generator {
    Mutex mutex;
    std::mt19937_64 numbers GUARDED_BY(mutex){std::random_device{}()};
  };
  static Generator generator;
  unsigned long long number;
  {
    MutexLock lock(generator.mutex);
    number = generator.numbers();
  }
  char name[64];
  std::snprintf(name, sizeof name, ".quorvel-busy-%d-%016llx", static_cast<int>(getpid()), number);
  return name;
}

std::string JoinPath(const std::string& folder, const std::string& path) {
  if (path.empty()) return folder;
  if (folder.empty()) return path;
  if (folder.back() == '/' && path.front() == '/') return folder + path.substr(1);
  if (folder.back() == '/' || path.front() == '/') return folder + path;
  return folder + "/" + path;
}

}  // namespace

RemoteTransferController::~RemoteTransferController() {
  if (basePath_) unmount();
}

bool RemoteTransferController::initializeWithBaseURL(const Url& url) {
  if (!LocalTransferController::initializeWithBaseURL(url)) return false;
  std::vector<std::string> components = url.pathComponents();
  if (!components.empty() && components.front() == "/") components.erase(components.begin());
  if (components.empty()) return false;
  sharePoint_ = components.front();
  subPath_.clear();
  for (std::size_t i = 1; i < components.size(); ++i) {
    if (!subPath_.empty()) subPath_ += "/";
    subPath_ += components[i];
  }
  // Kept from here on: the destructor cannot ask for the class's scheme.
  request_ = makeMountRequest();
  return true;
}

MountRequest RemoteTransferController::makeMountRequest() const {
  MountRequest request;
  request.scheme = urlScheme();
  request.host = baseURL().host();
  request.port = baseURL().port().value_or(0);
  request.share = sharePoint_;
  request.user = baseURL().user();
  std::size_t separator = request.user.find(';');
  if (separator != std::string::npos) {
    request.domain = request.user.substr(0, separator);
    request.user = request.user.substr(separator + 1);
  }
  request.password = baseURL().passwordByReplacingPercentEscapes().value_or("");
  return request;
}

std::optional<Error> RemoteTransferController::unreachableError() const {
  if (mountFailure_.empty()) return std::nullopt;
  Error error = Error::transferError(mountFailure_);
  if (mountFailureIsPermanent_) error.markPermanent();
  return error;
}

std::string RemoteTransferController::shareKey() const { return request_.shareURLString(); }

int RemoteTransferController::mountCountForShare(const std::string& key) {
  MountRegistry& mounts = Mounts();
  MutexLock lock(mounts.mutex);
  return static_cast<int>(mounts.shares.count(key));
}

std::optional<Url> RemoteTransferController::absoluteURLForRemotePath(const std::string& path) {
  if (!automount()) return std::nullopt;
  return Url::fileURLWithPath(JoinPath(*basePath_, path));
}

bool RemoteTransferController::automount() {
  if (basePath_) {
    if (IsDirectory(*basePath_)) return true;
    SystemLog("%s: Volume is unavailable", __func__);
    unmount();
  }

  if (!mounter_) mounter_ = VolumeMounter::systemMounterForScheme(request_.scheme);
  if (!mounter_) {
    if (request_.scheme == "afp") {
      mountFailure_ = "AFP shares can only be mounted through GVfs (gio) in a session with a session bus, and none "
                      "is available";
    } else {
      mountFailure_ = "No way to mount \"" + request_.scheme + "\" shares here: neither GVfs (gio) with a session "
                      "bus nor mount.cifs with the right to mount";
    }
    SystemLog("%s: %@", __func__, mountFailure_);
    return false;
  }

  const MountRequest& request = request_;
  {
    MountRegistry& mounts = Mounts();
    MutexLock lock(mounts.mutex);
    std::set<std::string> mountedBefore = mounter_->mountedVolumePaths();
    int errorNumber = 0;
    std::string errorText;
    std::optional<std::string> mountPoint = mounter_->mountVolume(request, &errorNumber, &errorText);
    if (!mountPoint) {
      SystemLog("%s: Mounting \"%@\" with %@ failed with error %i (%@)", __func__, request.shareURLString(),
                mounter_->name(), errorNumber, errorText);
      mountFailure_ = "Could not mount \"" + request.shareURLString() + "\": " +
                      (errorText.empty() ? std::string("error ") + std::to_string(errorNumber) : errorText);
      mountFailureIsPermanent_ = errorNumber == EACCES;
      return false;
    }
    mountFailure_.clear();
    mountPoint_ = *mountPoint;
    basePath_ = JoinPath(*mountPoint, subPath_);
    std::string key = request.shareURLString();
    if (mounts.shares.count(key) > 0 || mountedBefore.count(*mountPoint) == 0) {
      mounts.shares.insert(key);
      mayUnmount_ = true;
    } else {
      // Somebody else mounted it: use it, never unmount it.
      mayUnmount_ = false;
    }
  }

  // Keep the volume busy while this controller lives: an open descriptor on
  // an unlinked file. A FUSE volume (GVfs) cannot drop an open file that is
  // unlinked; it renames it to ".fuse_hidden..." on the share, where
  // listings would show it. There the folder itself is held open instead.
  struct statfs volume;
  if (statfs(basePath_->c_str(), &volume) == 0 && volume.f_type == kFuseSuperMagic) {
    fd_ = open(basePath_->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) SystemLog("%s: open(%s) failed with error \"%s\"", __func__, *basePath_, std::strerror(errno));
    return true;
  }
  std::string busyFile = JoinPath(*basePath_, UniqueFileName());
  // A new file of a fresh name: nothing planted there is opened or truncated.
  fd_ = open(busyFile.c_str(), O_CREAT | O_EXCL | O_NOFOLLOW | O_RDONLY | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    SystemLog("%s: open(%s) failed with error \"%s\"", __func__, busyFile, std::strerror(errno));
  } else if (unlink(busyFile.c_str()) != 0) {
    SystemLog("%s: unlink(%s) failed with error \"%s\"", __func__, busyFile, std::strerror(errno));
  }
  return true;
}

void RemoteTransferController::unmount() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (mayUnmount_) {
    MountRegistry& mounts = Mounts();
    MutexLock lock(mounts.mutex);
    const MountRequest& request = request_;
    std::string key = request.shareURLString();
    std::multiset<std::string>& shares = mounts.shares;
    auto found = shares.find(key);
    if (found != shares.end()) shares.erase(found);
    if (shares.count(key) == 0 && mounter_ && mountPoint_) {
      int errorNumber = 0;
      std::string errorText;
      if (!mounter_->unmountVolume(request, *mountPoint_, &errorNumber, &errorText)) {
        SystemLog("%s: Unmounting \"%@\" with %@ failed with error %i (%@)", __func__, key, mounter_->name(),
                  errorNumber, errorText);
      }
    }
    mayUnmount_ = false;
  }
  mountPoint_.reset();
  basePath_.reset();
}

// ---------------------------------------------------------------------------

std::shared_ptr<SMBTransferController> SMBTransferController::initWithBaseURL(const Url& url) {
  return makeController<SMBTransferController>(url);
}

std::shared_ptr<SMBTransferController> SMBTransferController::initWithHost(const std::string& host,
                                                                           std::uint16_t port, const std::string& user,
                                                                           const std::string& password,
                                                                           const std::string& basePath) {
  return makeControllerWithHost<SMBTransferController>(host, port, user, password, basePath);
}

std::shared_ptr<AFPTransferController> AFPTransferController::initWithBaseURL(const Url& url) {
  return makeController<AFPTransferController>(url);
}

std::shared_ptr<AFPTransferController> AFPTransferController::initWithHost(const std::string& host,
                                                                           std::uint16_t port, const std::string& user,
                                                                           const std::string& password,
                                                                           const std::string& basePath) {
  return makeControllerWithHost<AFPTransferController>(host, port, user, password, basePath);
}

}  // namespace quorvel
