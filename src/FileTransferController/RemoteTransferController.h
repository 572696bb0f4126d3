// RemoteTransferController: a destination on a network share (SMB, AFP) that
// is mounted on demand and then used like a local folder.
//
// The URL's first path component names the share, the rest is the folder
// inside it: smb://server/Backups/Mac/2009 mounts the share "Backups" and
// works in "Mac/2009". Every operation first makes sure the share is mounted
// (re-mounting a volume that vanished since the last operation). While a
// controller uses a volume it keeps it busy with an open descriptor on an
// unlinked file.
//
// Several controllers, on any threads, share one mount: a process-wide count
// of the shares mounted by controllers, guarded by one mutex with every mount
// and unmount decision, lets the last controller unmount the volume. A volume
// that was already mounted when the first controller came (mounted by the
// user, say) is used but never unmounted.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "FileTransferController/LocalTransferController.h"
#include "FileTransferController/VolumeMounter.h"

namespace quorvel {

class RemoteTransferController : public LocalTransferController {
 public:
  // Unmounts (see unmount()) when mounted.
  ~RemoteTransferController() override;

  std::string className() const override { return "RemoteTransferController"; }

  // Mounts when needed and answers a "file" URL for the mounted folder
  // joined with the path; nothing when the share cannot be mounted.
  std::optional<Url> absoluteURLForRemotePath(const std::string& path) override;

  const std::string& sharePoint() const { return sharePoint_; }
  const std::string& subPath() const { return subPath_; }
  // The local folder of the destination while mounted.
  const std::optional<std::string>& basePath() const { return basePath_; }
  // True while this controller holds a count on the mount (it may unmount it).
  bool mayUnmount() const { return mayUnmount_; }

  // The mounter to use; by default the system's for the URL's scheme, chosen
  // at the first mount. Set before the first operation.
  void setVolumeMounter(std::shared_ptr<VolumeMounter> mounter) { mounter_ = std::move(mounter); }

  // How many controllers of this process hold a count on the share (for
  // diagnostics and tests).
  static int mountCountForShare(const std::string& shareKey);
  // The key a share is counted under: scheme://host[:port]/share.
  std::string shareKey() const;

  // Ensures the share is mounted; true when basePath() is usable.
  bool automount();
  // Releases the busy descriptor and this controller's count; unmounts the
  // volume when it was the last count. Safe when not mounted.
  void unmount();

 protected:
  explicit RemoteTransferController(ConstructionKey key) : LocalTransferController(key) {}
  // The last mount failure ("Could not mount ...: <the mounter's reason>"),
  // permanent when the server refused the credentials: waiting mends nothing.
  std::optional<Error> unreachableError() const override;
  // Splits the URL's path into share and folder; fails without a share.
  bool initializeWithBaseURL(const Url& url) override;

 private:
  MountRequest makeMountRequest() const;

  MountRequest request_;

  std::string sharePoint_;
  std::string subPath_;
  bool mayUnmount_ = false;
  std::optional<std::string> mountPoint_;
  std::optional<std::string> basePath_;
  std::string mountFailure_;
  bool mountFailureIsPermanent_ = false;
  int fd_ = -1;
  std::shared_ptr<VolumeMounter> mounter_;
};

// SMB shares ("smb" URLs). A user written as "DOMAIN;user" names the workgroup.
class SMBTransferController : public RemoteTransferController {
 public:
  static constexpr const char* kURLScheme = "smb";
  static std::shared_ptr<SMBTransferController> initWithBaseURL(const Url& url);
  static std::shared_ptr<SMBTransferController> initWithHost(const std::string& host, std::uint16_t port,
                                                             const std::string& user, const std::string& password,
                                                             const std::string& basePath);
  explicit SMBTransferController(ConstructionKey key) : RemoteTransferController(key) {}
  std::string urlScheme() const override { return kURLScheme; }
  std::string className() const override { return "SMBTransferController"; }
};

// AFP shares ("afp" URLs), mounted through GVfs's AFP backend where a session
// offers it; there is no other AFP client on this platform.
class AFPTransferController : public RemoteTransferController {
 public:
  static constexpr const char* kURLScheme = "afp";
  static std::shared_ptr<AFPTransferController> initWithBaseURL(const Url& url);
  static std::shared_ptr<AFPTransferController> initWithHost(const std::string& host, std::uint16_t port,
                                                             const std::string& user, const std::string& password,
                                                             const std::string& basePath);
  explicit AFPTransferController(ConstructionKey key) : RemoteTransferController(key) {}
  std::string urlScheme() const override { return kURLScheme; }
  std::string className() const override { return "AFPTransferController"; }
};

}  // namespace quorvel
