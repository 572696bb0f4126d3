#include "model/DestinationURL.h"

#include <exception>

#include "FileTransferController/AmazonS3TransferController.h"
#include "FileTransferController/FTPTransferController.h"
#include "FileTransferController/FileTransferController.h"
#include "FileTransferController/HTTPTransferController.h"
#include "foundation/InternalInconsistency.h"
#include "foundation/OperationQueue.h"
#include "foundation/RunLoop.h"
#include "foundation/SystemLog.h"
#include "model/DestinationType.h"

namespace quorvel {

namespace {

// The scheme of a kind that has a URL here; empty for the others.
std::string SchemeOfType(int type) {
  switch (type) {
    case kDestinationTypeAFP: return "afp";
    case kDestinationTypeSMB: return "smb";
    case kDestinationTypeFTP: return "ftp";
    case kDestinationTypeFTPS: return "ftps";
    case kDestinationTypeWebDAV: return "http";
    case kDestinationTypeSecureWebDAV: return "https";
    case kDestinationTypeSFTP: return "ssh";
    case kDestinationTypeS3: return "https";
    default: return {};
  }
}

// The host field is "name", "name:port", "[v6 address]" or
// "[v6 address]:port"; a bare v6 address (more than one ":") has no port.
// A port that is not a number in 1-65535 stays part of the name, so that
// the URL fails to build rather than reach another port.
std::pair<std::string, std::uint16_t> SplitHostAndPort(const std::string& host) {
  std::string name = host;
  std::string port;
  if (!host.empty() && host.front() == '[') {
    const std::size_t close = host.find(']');
    if (close == std::string::npos) return {host, 0};
    name = host.substr(1, close - 1);
    if (close + 1 < host.size() && host[close + 1] == ':') port = host.substr(close + 2);
    else if (close + 1 != host.size()) return {host, 0};
  } else if (const std::size_t colon = host.find(':'); colon != std::string::npos && host.find(':', colon + 1) == std::string::npos) {
    name = host.substr(0, colon);
    port = host.substr(colon + 1);
  }
  if (port.empty()) return {name, 0};
  if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return {host, 0};
  const unsigned long number = std::stoul(port);
  if (number == 0 || number > 65535) return {host, 0};
  return {name, static_cast<std::uint16_t>(number)};
}

// The host field of a URL's host and port.
std::string HostField(const Url& url) {
  std::string host = url.host();
  if (!url.port()) return host;
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  return host + ":" + std::to_string(*url.port());
}

// "/" followed by the non-empty components of a path.
std::vector<std::string> PathComponents(const std::string& path) {
  std::vector<std::string> components = {"/"};
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    if (slash > start) components.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return components;
}

std::string JoinComponents(const std::vector<std::string>& components) {
  std::string path;
  for (const std::string& component : components) {
    if (component.empty() || component == "/") continue;
    path += "/" + component;
  }
  return path.empty() ? "/" : path;
}

std::string DisplayText(const std::optional<Url>& url) {
  if (!url) return "(null)";
  std::optional<Url> shown = url->URLByDeletingUserAndPassword();
  return shown ? shown->absoluteString() : url->absoluteString();
}

}  // namespace

DestinationURL::DestinationURL(const std::optional<Url>& url) : self_(std::make_shared<DestinationURL*>(this)) {
  if (url) {
    type_ = DestinationTypeFromURL(*url, "");
    host_ = HostField(*url);
    path_ = url->path();
    login_ = url->user();
    password_ = url->passwordByReplacingPercentEscapes().value_or(url->password());
  }
}

DestinationURL::~DestinationURL() {
  *self_ = nullptr;
  if (checkController_) checkController_->setDelegate(nullptr);
}

void DestinationURL::setType(int type) {
  if (type == type_) return;
  const bool betweenWebDAVKinds = (type_ == kDestinationTypeWebDAV && type == kDestinationTypeSecureWebDAV) ||
                                  (type_ == kDestinationTypeSecureWebDAV && type == kDestinationTypeWebDAV);
  setAndAnnounce("type", type_, type);
  if (!betweenWebDAVKinds) {
    setHost({});
    setPath({});
    setLogin({});
    setPassword({});
  }
  invalidate();
}

void DestinationURL::setHost(const std::string& host) {
  setAndAnnounce("host", host_, host);
  invalidate();
}

void DestinationURL::setPath(const std::string& path) { setAndAnnounce("path", path_, path); }

void DestinationURL::setLogin(const std::string& login) {
  setAndAnnounce("login", login_, login);
  invalidate();
}

void DestinationURL::setPassword(const std::string& password) {
  setAndAnnounce("password", password_, password);
  invalidate();
}

std::optional<Url> DestinationURL::url() const {
  // A folder on this machine: an absolute path, and no host but this one.
  if (type_ == kDestinationTypeFolder) {
    if (path_.empty() || path_.front() != '/' || !(host_.empty() || host_ == "localhost")) return std::nullopt;
    return Url::URLWithScheme("file", "localhost", path_);
  }
  const std::string scheme = SchemeOfType(type_);
  if (scheme.empty() || host_.empty()) return std::nullopt;
  const auto [name, port] = SplitHostAndPort(host_);
  std::optional<Url> url = Url::URLWithScheme(scheme, login_, password_, name, port, path_);
  // An S3-compatible server outside the S3 service's domain says so in its query.
  if (url && type_ == kDestinationTypeS3 && !IsS3URL(*url)) {
    url = Url::URLWithScheme(scheme, login_, password_, name, port, path_, "s3=1");
  }
  return url;
}

Value DestinationURL::valueForKey(const std::string& key) const {
  if (key == "type") return type_;
  if (key == "host") return host_;
  if (key == "path") return path_;
  if (key == "login") return login_;
  if (key == "url") {
    std::optional<Url> current = url();
    return current ? Value(current->absoluteString()) : Value();
  }
  return Observable::valueForKey(key);
}

// ---------------------------------------------------------------------------
// Operations

bool DestinationURL::contentsOfDirectory(const std::string& folder, OperationQueue& queue, ResultCallback callback,
                                         Value contextInfo) {
  return runOperation(kListFolder, folder, queue, std::move(callback), std::move(contextInfo), __func__);
}

bool DestinationURL::createDirectory(const std::string& folder, OperationQueue& queue, ResultCallback callback,
                                     Value contextInfo) {
  return runOperation(kCreateFolder, folder, queue, std::move(callback), std::move(contextInfo), __func__);
}

bool DestinationURL::deleteDirectory(const std::string& folder, OperationQueue& queue, ResultCallback callback,
                                     Value contextInfo) {
  return runOperation(kDeleteFolder, folder, queue, std::move(callback), std::move(contextInfo), __func__);
}

bool DestinationURL::createBucket(const std::string& location, OperationQueue& queue, ResultCallback callback,
                                  Value contextInfo) {
  return runOperation(kCreateBucket, location, queue, std::move(callback), std::move(contextInfo), __func__);
}

bool DestinationURL::getBucketLocation(OperationQueue& queue, ResultCallback callback, Value contextInfo) {
  return runOperation(kGetBucketLocation, std::nullopt, queue, std::move(callback), std::move(contextInfo),
                      __func__);
}

bool DestinationURL::checkBackupDestination(OperationQueue& queue, ResultCallback callback, Value contextInfo) {
  return runOperation(kCheckDestination, std::nullopt, queue, std::move(callback), std::move(contextInfo), __func__);
}

bool DestinationURL::runOperation(OperationType type, const std::optional<std::string>& argument,
                                  OperationQueue& queue, ResultCallback callback, Value contextInfo,
                                  const char* name) {
  if (running_ || !callback) {
    SystemLog("%s: Internal inconsistency", name);
    return false;
  }
  std::optional<Url> destination = url();
  if (!destination) return false;
  if (type == kCheckDestination) {
    checkController_ = RemoteBackupController::create();
    checkController_->setDelegate(this);
    checkController_->setDestinationURL(*destination);
    checkController_->setEncryptionPassword(encryptionPassword_);
    checkController_->setMaximumSimultaneousSegments(1);
    operationType_ = type;
    callback_ = std::move(callback);
    contextInfo_ = std::move(contextInfo);
    running_ = true;
    checkController_->scheduleCommand(BackupCommandCheckDestination, Dictionary(), queue);
    return true;
  }

  // The client is made for the server (AFP and SMB: for the share, the
  // first component of the path); the rest of the path is the folder.
  std::vector<std::string> components = PathComponents(path_);
  const std::uint16_t port = destination->port().value_or(0);
  Url clientURL = *Url::URLWithScheme(destination->scheme(), login_, password_, destination->host(), port, "",
                                      destination->query());
  if ((type_ == kDestinationTypeAFP || type_ == kDestinationTypeSMB) && components.size() > 1) {
    clientURL = *Url::URLWithScheme(destination->scheme(), login_, password_, destination->host(), port,
                                    "/" + components[1]);
    components.erase(components.begin() + 1);
  }
  std::shared_ptr<FileTransferController> client = fileTransferController(clientURL);
  if (!client) return false;
  if (argument && type != kCreateBucket) components.push_back(*argument);
  const std::string path = JoinComponents(components);

  operationType_ = type;
  operationPath_ = path;
  operationController_ = client;
  callback_ = std::move(callback);
  contextInfo_ = std::move(contextInfo);
  running_ = true;
  std::weak_ptr<DestinationURL*> self = self_;
  queue.addOperationWithBlock([type, client, path, self] {
    std::optional<Value> result;
    try {
      result = performOperation(type, *client, path);
    } catch (const std::exception& exception) {
      SystemLog("<IGNORED EXCEPTION> %@", std::string(exception.what()));
    }
    PerformOnMainThread([self, result] {
      if (std::shared_ptr<DestinationURL*> alive = self.lock(); alive && *alive) (*alive)->didFinish(result);
    });
  });
  return true;
}

std::optional<Value> DestinationURL::performOperation(OperationType type, FileTransferController& client,
                                                      const std::string& path) {
  switch (type) {
    case kListFolder:
      if (!client.supportsOperation(TransferOperation::ContentsOfDirectory)) return std::nullopt;
      if (std::optional<Dictionary> listing = client.contentsOfDirectoryAtPath(path)) return Value(*listing);
      return std::nullopt;
    case kCreateFolder:
      if (client.supportsOperation(TransferOperation::CreateDirectory) && client.createDirectoryAtPath(path)) {
        return Value(Dictionary());
      }
      return std::nullopt;
    case kDeleteFolder: {
      bool deleted = false;
      if (client.supportsOperation(TransferOperation::DeleteDirectoryRecursively)) {
        deleted = client.deleteDirectoryRecursivelyAtPath(path);
      } else if (client.supportsOperation(TransferOperation::DeleteDirectory)) {
        deleted = deleteDirectoryRecursively(client, path);
      }
      return deleted ? std::optional<Value>(Value(Dictionary())) : std::nullopt;
    }
    default:
      // Bucket operations: only an S3 client knows locations, and no kind
      // here makes one.
      return std::nullopt;
  }
}

bool DestinationURL::deleteDirectoryRecursively(FileTransferController& client, const std::string& folder) {
  std::optional<Dictionary> listing = client.contentsOfDirectoryAtPath(folder);
  if (!listing) return false;
  for (const auto& [name, attributes] : *listing) {
    const std::string item = folder == "/" ? "/" + name : folder + "/" + name;
    const bool isFolder = attributes.asDictionary().get(kFileType).asString() == kFileTypeDirectory;
    if (!(isFolder ? deleteDirectoryRecursively(client, item) : client.deleteFileAtPath(item))) return false;
  }
  return client.deleteDirectoryAtPath(folder);
}

void DestinationURL::didFinish(const std::optional<Value>& result) {
  running_ = false;
  operationController_.reset();
  ResultCallback callback = std::move(callback_);
  Value context = std::move(contextInfo_);
  callback_ = nullptr;
  contextInfo_ = Value();
  if (callback) callback(*this, result, context);
}

std::shared_ptr<FileTransferController> DestinationURL::fileTransferController(const Url& url) {
  if (transferController_ && transferURL_ && *transferURL_ == url) return transferController_;
  invalidate();
  transferController_ = FileTransferController::fileTransferControllerWithURL(url);
  if (!transferController_) return nullptr;
  transferURL_ = url;
  // Browsing makes many small requests: one connection serves them all.
  // (Certificates are checked as for every other connection.)
  if (auto* ftp = dynamic_cast<FTPTransferController*>(transferController_.get())) ftp->setKeepConnectionAlive(true);
  if (auto* http = dynamic_cast<HTTPTransferController*>(transferController_.get())) {
    http->setKeepConnectionAlive(true);
  }
  transferController_->setTimeOut(30.0);
  return transferController_;
}

void DestinationURL::invalidate() {
  transferController_.reset();
  transferURL_.reset();
}

// ---------------------------------------------------------------------------
// The engine during a check

void DestinationURL::backupControllerDidNotStartCommand(BackupController&, int) {
  throw InternalInconsistency("BackupController command failed starting");
}

void DestinationURL::backupControllerDidFinishCommand(BackupController& controller, int, const Dictionary* results,
                                                      const Dictionary&) {
  controller.setDelegate(nullptr);
  // The controller is still inside its own report: let go of it afterwards.
  PerformOnMainThread([finished = std::move(checkController_)] {});
  didFinish(results ? std::optional<Value>(Value(*results)) : std::nullopt);
}

void DestinationURL::backupControllerDidGetErrorMessage(BackupController&, const std::string& message) {
  SystemLog("%s: Failed retrieving backup data from \"%@\":\n%@", __func__, DisplayText(url()), message);
}

}  // namespace quorvel
