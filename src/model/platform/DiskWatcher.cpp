#include "model/platform/DiskWatcher.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

#include "foundation/DataTransforms.h"

namespace quorvel {

namespace {

// mountinfo writes space, tab, newline and backslash in paths as \ooo.
std::string Unescaped(const std::string& text) {
  std::string plain;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && std::isdigit(static_cast<unsigned char>(text[i + 1]))) {
      plain += static_cast<char>(std::stoi(text.substr(i + 1, 3), nullptr, 8));
      i += 3;
    } else {
      plain += text[i];
    }
  }
  return plain;
}

std::vector<MountedFileSystem> MountedNow() {
  std::ifstream file("/proc/self/mountinfo");
  std::stringstream text;
  text << file.rdbuf();
  return ParseMountInfo(text.str());
}

// The UUID /dev/disk/by-uuid names for the device, in upper case.
std::optional<std::string> UUIDOfDevice(unsigned major, unsigned minor) {
  DIR* folder = opendir("/dev/disk/by-uuid");
  if (!folder) return std::nullopt;
  std::optional<std::string> found;
  while (dirent* entry = readdir(folder)) {
    const std::string name = entry->d_name;
    struct stat status;
    if (name.front() == '.' || stat(("/dev/disk/by-uuid/" + name).c_str(), &status) != 0) continue;
    if (S_ISBLK(status.st_mode) && ::major(status.st_rdev) == major && ::minor(status.st_rdev) == minor) {
      found = name;
      std::transform(found->begin(), found->end(), found->begin(), [](unsigned char c) { return std::toupper(c); });
      break;
    }
  }
  closedir(folder);
  return found;
}

}  // namespace

std::vector<MountedFileSystem> ParseMountInfo(const std::string& text) {
  std::vector<MountedFileSystem> mounted;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string id, parent, device, root, mountPoint, field;
    if (!(fields >> id >> parent >> device >> root >> mountPoint)) continue;
    while (fields >> field && field != "-") {
    }
    MountedFileSystem fileSystem;
    if (!(fields >> fileSystem.type >> fileSystem.source)) continue;
    fileSystem.mountPoint = Unescaped(mountPoint);
    fileSystem.source = Unescaped(fileSystem.source);
    std::sscanf(device.c_str(), "%u:%u", &fileSystem.major, &fileSystem.minor);
    mounted.push_back(std::move(fileSystem));
  }
  return mounted;
}

std::string DiskWatcher::diskIdentifierForFileSystem(const MountedFileSystem& fileSystem) {
  if (std::optional<std::string> uuid = UUIDOfDevice(fileSystem.major, fileSystem.minor)) return *uuid;
  const std::size_t slash = fileSystem.mountPoint.find_last_of('/');
  const std::string lastComponent = slash == std::string::npos ? fileSystem.mountPoint
                                                               : fileSystem.mountPoint.substr(slash + 1);
  const std::string description = fileSystem.type + fileSystem.source + lastComponent;
  const Data digest = DataTransforms::md5DigestWithBytes(description.data(), description.size()).value_or(Data());
  std::string hex;
  char byte[3];
  for (std::uint8_t value : digest) {
    std::snprintf(byte, sizeof byte, "%02X", value);
    hex += byte;
  }
  return hex;
}

std::unique_ptr<DiskWatcher> DiskWatcher::initWithDiskIdentifier(const std::string& identifier) {
  if (identifier.empty()) return nullptr;
  std::unique_ptr<DiskWatcher> watcher(new DiskWatcher(identifier));
  watcher->available_ = watcher->isDiskAvailable();
  return watcher;
}

DiskWatcher::~DiskWatcher() { setDelegate(nullptr); }

bool DiskWatcher::isDiskAvailable() const {
  for (const MountedFileSystem& fileSystem : MountedNow()) {
    if (diskIdentifierForFileSystem(fileSystem) == identifier_) return true;
  }
  return false;
}

std::optional<std::string> DiskWatcher::diskIdentifierForPath(const std::string& path) {
  // The mount whose mount point is the longest prefix of the path.
  const std::vector<MountedFileSystem> mounted = MountedNow();
  const MountedFileSystem* holder = nullptr;
  for (const MountedFileSystem& fileSystem : mounted) {
    const std::string& point = fileSystem.mountPoint;
    const bool inside = path == point || point == "/" ||
                        (path.rfind(point, 0) == 0 && path.size() > point.size() && path[point.size()] == '/');
    if (inside && (!holder || point.size() >= holder->mountPoint.size())) holder = &fileSystem;
  }
  if (!holder) return std::nullopt;
  return diskIdentifierForFileSystem(*holder);
}

void DiskWatcher::setDelegate(DiskWatcherDelegate* delegate) {
  const bool watching = delegate_ != nullptr;
  delegate_ = delegate;
  if (delegate && !watching) {
    available_ = isDiskAvailable();
    timer_ = Timer::withTimeInterval(kCheckInterval, true, [this](Timer&) { mountsChanged(); });
    RunLoop::main().addTimer(timer_, kRunLoopCommonModes);
  } else if (!delegate && watching) {
    if (timer_) timer_->invalidate();
    timer_.reset();
  }
}

void DiskWatcher::mountsChanged() {
  const bool available = isDiskAvailable();
  if (available == available_) return;
  available_ = available;
  if (delegate_) delegate_->diskWatcherDidUpdateAvailability(*this);
}

}  // namespace quorvel
