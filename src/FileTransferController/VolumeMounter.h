// Mounting network shares (SMB, AFP) as local folders.
//
// A VolumeMounter mounts one share given its server, share name and
// credentials, reports the local folder it appears under, and unmounts it
// again. It knows nothing about who else uses a volume: the reference counting
// and the rule for volumes mounted by someone else live in
// RemoteTransferController.
//
// Implementations: GioVolumeMounter (GVfs through `gio mount`, needs a session
// bus; works unprivileged through the FUSE bridge) and CifsVolumeMounter (the
// kernel's CIFS client through `mount -t cifs`; needs privileges and the cifs
// module). Mounters are called under RemoteTransferController's mount mutex or
// from one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace quorvel {

struct MountRequest {
  std::string scheme;     // "smb" or "afp"
  std::string host;
  std::uint16_t port = 0;  // 0 = the protocol's standard port
  std::string share;      // the share name (first path component of the destination URL)
  std::string user;       // may be empty (guest)
  std::string password;   // unescaped; may be empty
  std::string domain;     // SMB workgroup; empty = "WORKGROUP"

  // scheme://host[:port]/share, without credentials.
  std::string shareURLString() const;
};

class VolumeMounter {
 public:
  virtual ~VolumeMounter() = default;

  // A short name for logs ("gio", "mount.cifs").
  virtual std::string name() const = 0;
  // The local folders under which volumes are mounted right now (the folder
  // of each mounted volume, not its parent).
  virtual std::set<std::string> mountedVolumePaths() = 0;
  // Mounts the share (or finds it mounted already) and answers the folder it
  // appears under; nothing on failure with a positive error number (an errno
  // value or the tool's exit status) in *errorNumber and a line in
  // *errorText.
  // A refused user name or password answers EACCES (a permanent failure).
  virtual std::optional<std::string> mountVolume(const MountRequest& request, int* errorNumber,
                                                 std::string* errorText) = 0;
  // Unmounts the share mounted at mountPoint; false with an error number on failure.
  virtual bool unmountVolume(const MountRequest& request, const std::string& mountPoint,
                             int* errorNumber, std::string* errorText) = 0;

  // The mounter this system offers for a scheme, or nothing: "smb" gets GVfs
  // when a session bus with the GVfs daemon is available, else mount.cifs
  // when the process may mount; "afp" gets GVfs (it has an AFP backend) and
  // nothing else. QUORVEL_VOLUME_MOUNTER=gio|cifs|none forces a choice.
  static std::shared_ptr<VolumeMounter> systemMounterForScheme(const std::string& scheme);
};

class GioVolumeMounter : public VolumeMounter {
 public:
  std::string name() const override { return "gio"; }
  std::set<std::string> mountedVolumePaths() override;
  std::optional<std::string> mountVolume(const MountRequest& request, int* errorNumber,
                                         std::string* errorText) override;
  bool unmountVolume(const MountRequest& request, const std::string& mountPoint, int* errorNumber,
                     std::string* errorText) override;

  // True when `gio` exists and a session bus is there to reach GVfs through.
  static bool isAvailable();
  // The folder of the GVfs FUSE bridge ($XDG_RUNTIME_DIR/gvfs, else /run/user/<uid>/gvfs).
  static std::string fuseRoot();
};

class CifsVolumeMounter : public VolumeMounter {
 public:
  std::string name() const override { return "mount.cifs"; }
  std::set<std::string> mountedVolumePaths() override;
  std::optional<std::string> mountVolume(const MountRequest& request, int* errorNumber,
                                         std::string* errorText) override;
  bool unmountVolume(const MountRequest& request, const std::string& mountPoint, int* errorNumber,
                     std::string* errorText) override;

  // True when mount.cifs exists and the process runs as root (or the helper is set-user-ID).
  static bool isAvailable();
  // Where this mounter creates mount points: /mnt/quorvel/<host>-<share>.
  static std::string mountPointFor(const MountRequest& request);
};

}  // namespace quorvel
