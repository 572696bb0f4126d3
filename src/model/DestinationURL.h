// DestinationURL: a destination as the setup assistant edits it - kind,
// server, path, user, password as separate fields - with the remote
// operations the assistant needs while the user chooses: list a folder,
// create and delete folders, and look at what an existing destination holds.
//
// Kinds are the destination type codes (DestinationType.h). url() builds the
// destination URL from the fields: kinds 1 to 6, 8 and 9 need a host; kind 7
// (the hosted WebDAV disk) uses the service's fixed host, of which this
// build has none, so it never yields a URL; kind 0 (a folder) yields a
// "file://localhost" URL for an absolute path when the host is empty or
// "localhost", and none otherwise. Kind 9 (S3) is an "https" URL of the
// bucket's host, with the query "s3=1" when that host is not in the S3
// service's domain (an S3-compatible server).
//
// The host field may carry a port: "name:port", "[v6 address]:port"; a
// bare v6 address has none. A URL with a port gives such a field. A port
// that is not a number in 1-65535 makes the field unusable (no URL), never
// another port.
//
// Operations. One at a time per object, from a successful start until its
// callback. Each runs as an operation on the caller's queue (off the main
// thread) and its result reaches the callback on the main thread, posted
// without waiting. A start that is refused (another operation running, no
// callback, no URL, no transfer client) answers false and never calls back
// (the first two are programming errors and are logged as "Internal
// inconsistency"). A failure of the remote call gives the callback no
// result. Results: list - the listing (entry name -> attributes); create and
// delete - an empty dictionary; check - the checkDestination results of the
// engine; the bucket operations - the bucket's location, which only an S3
// client has: no kind here gives one, so they end without a result.
//
// The object keeps one transfer client for its current URL; a change of the
// kind, host, user or password drops it. The caller must not change the
// fields while an operation runs, and must keep the object alive until the
// callback (the running operation holds no reference to it).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "engine/BackupController.h"
#include "foundation/Url.h"
#include "foundation/Value.h"

namespace quorvel {

class FileTransferController;
class OperationQueue;

class DestinationURL : public Observable, public BackupControllerDelegate {
 public:
  enum OperationType : unsigned {
    kCheckDestination = 0,
    kListFolder = 1,
    kCreateFolder = 2,
    kDeleteFolder = 3,
    kCreateBucket = 4,
    kGetBucketLocation = 5,
  };
  // Called on the main thread with the object, the result (nothing on
  // failure) and the caller's context value.
  using ResultCallback = std::function<void(DestinationURL&, const std::optional<Value>&, const Value&)>;

  // initWithURL: the fields of a URL (the password with its escapes
  // decoded); no URL gives kind 0 and empty fields.
  explicit DestinationURL(const std::optional<Url>& url = std::nullopt);
  ~DestinationURL() override;
  DestinationURL(const DestinationURL&) = delete;
  DestinationURL& operator=(const DestinationURL&) = delete;

  int type() const { return type_; }
  // A new kind clears host, path, user and password, except between WebDAV
  // (5) and secure WebDAV (6).
  void setType(int type);
  const std::string& host() const { return host_; }
  void setHost(const std::string& host);
  const std::string& path() const { return path_; }
  void setPath(const std::string& path);
  const std::string& login() const { return login_; }
  void setLogin(const std::string& login);
  const std::string& password() const { return password_; }
  void setPassword(const std::string& password);
  const std::optional<std::string>& encryptionPassword() const { return encryptionPassword_; }
  void setEncryptionPassword(const std::optional<std::string>& password) { encryptionPassword_ = password; }

  // The destination URL of the fields, or nothing (see above).
  std::optional<Url> url() const;

  bool contentsOfDirectory(const std::string& folder, OperationQueue& queue, ResultCallback callback,
                           Value contextInfo = Value());
  bool createDirectory(const std::string& folder, OperationQueue& queue, ResultCallback callback,
                       Value contextInfo = Value());
  bool deleteDirectory(const std::string& folder, OperationQueue& queue, ResultCallback callback,
                       Value contextInfo = Value());
  bool createBucket(const std::string& location, OperationQueue& queue, ResultCallback callback,
                    Value contextInfo = Value());
  bool getBucketLocation(OperationQueue& queue, ResultCallback callback, Value contextInfo = Value());
  bool checkBackupDestination(OperationQueue& queue, ResultCallback callback, Value contextInfo = Value());

  // An operation has started and not yet called back.
  bool isRunningOperation() const { return running_; }

  Value valueForKey(const std::string& key) const override;

  // The engine's reports during a check.
  void backupControllerWillStartCommand(BackupController&, int) override {}
  void backupControllerDidStartCommand(BackupController&, int) override {}
  void backupControllerDidNotStartCommand(BackupController& controller, int command) override;
  void backupControllerDidFinishCommand(BackupController& controller, int command, const Dictionary* results,
                                        const Dictionary& arguments) override;
  bool respondsTo(Callback callback) const override { return callback == Callback::DidGetErrorMessage; }
  void backupControllerDidGetErrorMessage(BackupController& controller, const std::string& message) override;

 private:
  bool runOperation(OperationType type, const std::optional<std::string>& argument, OperationQueue& queue,
                    ResultCallback callback, Value contextInfo, const char* name);
  // The cached client for `url`, made anew when the URL changed.
  std::shared_ptr<FileTransferController> fileTransferController(const Url& url);
  void invalidate();
  // On the queue's thread: the result of a remote operation.
  static std::optional<Value> performOperation(OperationType type, FileTransferController& client,
                                               const std::string& path);
  static bool deleteDirectoryRecursively(FileTransferController& client, const std::string& folder);
  // On the main thread: ends the operation and calls back.
  void didFinish(const std::optional<Value>& result);

  int type_ = 0;
  std::string host_;
  std::string path_;
  std::string login_;
  std::string password_;
  std::optional<std::string> encryptionPassword_;
  std::optional<Url> transferURL_;
  std::shared_ptr<FileTransferController> transferController_;
  bool running_ = false;
  OperationType operationType_ = kCheckDestination;
  std::string operationPath_;
  std::shared_ptr<FileTransferController> operationController_;
  std::shared_ptr<RemoteBackupController> checkController_;
  ResultCallback callback_;
  Value contextInfo_;
  // Lets results posted to the main thread find out that the object is gone.
  std::shared_ptr<DestinationURL*> self_;
};

}  // namespace quorvel
