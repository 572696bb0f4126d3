// SFTPTransferController: a destination folder on an SSH server ("ssh" URLs,
// port 22 unless the URL names another), reached through the SFTP subsystem
// of libssh2 over a TCP connection the controller opens itself.
//
// Connection. Made on the first operation and kept for the next ones; a
// connection that broke (a socket time-out, a closed or failed socket) is
// dropped and made again by the operation that finds it so. Every address of
// the host is tried in turn (IPv6 and IPv4), within timeOut() each.
//
// Trust. Nothing is sent to the server before its host key is accepted:
//   - a key listed for the host in ~/.ssh/known_hosts (hashed entries too) is
//     accepted;
//   - a different key listed for the host is refused, and the error shows both
//     SHA-256 fingerprints as OpenSSH prints them ("SHA256:...");
//   - a host not listed is asked about through the host key approver (see
//     setHostKeyApprover); approved keys are added to known_hosts, and
//     without an approver, or when it declines, the host is refused.
// Refusals are permanent errors: retrying cannot change them.
//
// Authentication, in this order, as far as the server offers the method: the
// keys of the SSH agent (SSH_AUTH_SOCK), the user's default keys
// (~/.ssh/id_ed25519, id_ecdsa, id_rsa; a key with a passphrase asks the
// passphrase provider), then the URL's password. A refusal of all of them is
// a permanent error naming the destination without its password.
//
// Stored files are created with mode 0600 and folders with 0700: backup data
// on a shared server is nobody else's business.
//
// Transfers. The connection is non-blocking; every wait for the socket lasts
// at most one second, after which the inactivity time-out (timeOut()) and
// the delegate's abort question are looked at. Data moves in chunks of
// 256 KiB, which libssh2 sends as several pipelined
// SFTP requests (a 32 KiB chunk would wait for one round trip per request).
//
// Threads: one thread at a time per controller, as every controller. The
// approver and provider are process-wide and may be called from any
// operation's thread, one call at a time.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "FileTransferController/FileTransferController.h"

struct _LIBSSH2_SESSION;
struct _LIBSSH2_SFTP;
struct _LIBSSH2_SFTP_HANDLE;

namespace quorvel {

// What the host key approver is asked about.
struct HostKeyQuestion {
  std::string host;         // as in the URL
  int port = 22;
  std::string keyType;      // "ED25519", "ECDSA", "RSA", "DSA"
  std::string fingerprint;  // "SHA256:..." (base64 without padding)
};

class SFTPTransferController : public FileTransferController {
 public:
  static constexpr const char* kURLScheme = "ssh";

  // Fails unless the URL has a host and a user. No connection is made yet.
  static std::shared_ptr<SFTPTransferController> initWithBaseURL(const Url& url);
  static std::shared_ptr<SFTPTransferController> initWithHost(const std::string& host, std::uint16_t port,
                                                              const std::string& user, const std::string& password,
                                                              const std::string& basePath);

  explicit SFTPTransferController(ConstructionKey key);
  // Closes the connection.
  ~SFTPTransferController() override;

  std::string urlScheme() const override { return kURLScheme; }
  bool useAsyncStreams() const override { return false; }
  std::string className() const override { return "SFTPTransferController"; }

  // Answers whether an unknown host's key may be trusted (and recorded).
  // Without an approver unknown hosts are refused.
  using HostKeyApprover = std::function<bool(const HostKeyQuestion& question)>;
  static void setHostKeyApprover(HostKeyApprover approver);
  // Answers the passphrase of a private key file, or nothing to skip the key.
  using PassphraseProvider = std::function<std::optional<std::string>(const std::string& keyPath)>;
  static void setPassphraseProvider(PassphraseProvider provider);
  // The known-hosts file: $HOME/.ssh/known_hosts.
  static std::string knownHostsPath();

  // An SFTP "no such file" status.
  bool isMissingItemError(const Error& error) const override;

  bool supportsOperation(TransferOperation operation) const override;
  // "." and ".." and symbolic links are left out.
  std::optional<Dictionary> contentsOfDirectoryAtPath(const std::string& path) override;
  // The base folder ("") is made with the missing folders above it.
  bool createDirectoryAtPath(const std::string& path) override;
  // Replaces an existing target.
  bool movePath(const std::string& fromPath, const std::string& toPath) override;
  // A missing item counts as deleted.
  bool deleteFileAtPath(const std::string& path) override;
  bool deleteDirectoryAtPath(const std::string& path) override;

 protected:
  bool initializeWithBaseURL(const Url& url) override;
  bool uploadFileToPathImpl(const std::string& path, InputStream& stream) override;
  bool downloadFileFromPathImpl(const std::string& path, OutputStream& stream) override;

 private:
  class Connection;

  // Ensures a working connection; on failure the delegate has not been told
  // yet and *error says why.
  bool reconnect(Error* error);
  void disconnect();
  // The error of the last libssh2 failure: domain "libssh2", the session's
  // code and message, "SFTPLastError" when the server gave a status.
  Error lastSessionError(const std::string& what) const;
  // Reports the start and, when the connection cannot be made, the failure.
  bool beginOperation();
  // Runs a libssh2 call until it stops answering EAGAIN, waiting for the
  // socket one second at a time. Gives up with LIBSSH2_ERROR_TIMEOUT once
  // `idleLimit` seconds (0 = never) passed without a call making progress,
  // or when `mayAbort` and the delegate asks to abort.
  template <class Call>
  long callUntilDone(Call call, bool mayAbort);
  bool waitForSocket();
  bool makeFolderWithParents(const std::string& absolutePath);
  // Opens a file on the server for a transfer (abortable); null on failure.
  _LIBSSH2_SFTP_HANDLE* openRemoteFile(const std::string& file, unsigned long flags, long mode);
  // Closes it, when the connection is still there.
  void closeRemoteFile(_LIBSSH2_SFTP_HANDLE* handle);
  // Deletes a file or an empty folder; a missing one counts as deleted.
  bool deleteItem(const std::string& path, bool folder);

  std::unique_ptr<Connection> connection_;
  bool aborted_ = false;
};

}  // namespace quorvel
