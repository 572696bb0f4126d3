// DiskWatcher: a disk known by a stable identifier, and a call on the
// delegate, on the main run loop, when a disk with that identifier is
// mounted or unmounted.
//
// A mounted file system's identifier is its file-system UUID, found through
// /dev/disk/by-uuid for the device it is mounted from, in upper case. One
// without a UUID (tmpfs, network and virtual file systems) gets the MD5 of
// its file-system type, its source and its mount point's last component,
// as 32 uppercase hexadecimal digits - stable across mounts of the same
// thing at the same place.
//
// Mounts and unmounts are read from /proc/self/mountinfo every
// kCheckInterval seconds while a delegate is set (a timer on the main run
// loop); the delegate is told when its disk came or went.
//
// Not thread-safe: made, asked and given a delegate on the main thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/RunLoop.h"

namespace quorvel {

class DiskWatcher;

class DiskWatcherDelegate {
 public:
  virtual ~DiskWatcherDelegate() = default;
  virtual void diskWatcherDidUpdateAvailability(DiskWatcher& watcher) = 0;
};

// One mounted file system, as /proc/self/mountinfo describes it.
struct MountedFileSystem {
  std::string mountPoint;
  std::string type;
  std::string source;
  unsigned major = 0;
  unsigned minor = 0;
};

// The mounted file systems of a mountinfo text (escapes in paths decoded).
std::vector<MountedFileSystem> ParseMountInfo(const std::string& text);

class DiskWatcher {
 public:
  static constexpr double kCheckInterval = 2.0;

  // Null for an empty identifier.
  static std::unique_ptr<DiskWatcher> initWithDiskIdentifier(const std::string& identifier);
  ~DiskWatcher();
  DiskWatcher(const DiskWatcher&) = delete;
  DiskWatcher& operator=(const DiskWatcher&) = delete;

  const std::string& diskIdentifier() const { return identifier_; }
  // A mounted file system has this identifier now.
  bool isDiskAvailable() const;

  // The identifier of the file system that holds `path`, or nothing.
  static std::optional<std::string> diskIdentifierForPath(const std::string& path);
  static std::string diskIdentifierForFileSystem(const MountedFileSystem& fileSystem);

  DiskWatcherDelegate* delegate() const { return delegate_; }
  void setDelegate(DiskWatcherDelegate* delegate);

 private:
  explicit DiskWatcher(std::string identifier) : identifier_(std::move(identifier)) {}
  void mountsChanged();

  const std::string identifier_;
  DiskWatcherDelegate* delegate_ = nullptr;
  bool available_ = false;
  std::shared_ptr<Timer> timer_;
};

}  // namespace quorvel
