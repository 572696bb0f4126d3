// WebDAVTransferController: a destination folder on a WebDAV server ("http"
// URLs; SecureWebDAVTransferController for "https"). Files move as with
// HTTPTransferController; the folder operations are WebDAV methods:
//   listing        PROPFIND, "Depth: 1", answer 207 with a multistatus body
//   new folder     MKCOL, answer 201; the base folder ("") is made with the
//                  missing folders above it
//   move, copy     MOVE or COPY with "Destination" (absolute URL, no
//                  credentials) and "Overwrite: T", answer 201 or 204
//   delete         DELETE, answer 204 or 404 (a missing item counts as deleted)
// Folders are always addressed with a trailing "/" (servers redirect a
// folder's name without it).
//
// Listings are read by XML namespace, not by prefix: servers write the DAV:
// namespace with whatever prefix they like (Apache answers some properties
// as "lp1:"). Every <response> but the one for the listed folder itself is
// an entry: its name is the last component of its <href>, percent-unescaped;
// <resourcetype> with <collection> makes it a folder, else a file; the size
// comes from <getcontentlength>, the dates from <creationdate> (ISO 8601)
// and <getlastmodified> (RFC 1123), from the first <propstat> whose status
// is 200 (or that has none).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "FileTransferController/HTTPTransferController.h"

namespace quorvel {

// The entries of a PROPFIND answer of `listedPath` (an absolute, unescaped
// path of the listed folder). `contentType` is the answer's Content-Type
// field: "text/xml" and "application/xml" are parsed (their charset
// honoured; an unknown one is logged and UTF-8 used), anything else fails
// with "Unsupported MIME type "<type>"". Nothing, with *error set, when the
// body does not parse.
std::optional<Dictionary> ListingFromPROPFINDResponse(const std::string& body, const std::string& contentType,
                                                      const std::string& listedPath, Error* error);

// The hosted WebDAV disk service: a WebDAV server on which each member's disk
// is the folder named after the member. Where it is is a setting, not a
// constant: the user default "HostedDiskServiceHost" ("host" or "host:port";
// empty, the default, when there is no such service), overridden by the
// environment variable QUORVEL_HOSTED_DISK_HOST.
struct HostedDiskService {
  static constexpr const char* kHostDefaultsKey = "HostedDiskServiceHost";
  static constexpr const char* kHostEnvironmentVariable = "QUORVEL_HOSTED_DISK_HOST";
  // The member name and the password's keychain item (generic password of
  // this service, account = member name).
  static constexpr const char* kMemberDefaultsKey = "iToolsMember";
  static constexpr const char* kKeychainService = "iTools";

  std::string host;
  std::uint16_t port = 0;  // 0: the scheme's own

  // The configured service (no host when there is none).
  static HostedDiskService configured();
  // "host" or "host:port"; a port that is not a number in 1-65535 leaves
  // the service without a host.
  static HostedDiskService fromText(const std::string& hostAndPort);
  bool exists() const { return !host.empty(); }
  // An "http" URL on the service's host (and on its port, when one is set).
  bool matches(const Url& url) const;
  // The base path on the service for a member: "/" + member followed by
  // `basePath`, unless the member is empty or "public", or `basePath`
  // already ends with "/" + member or begins with "/" + member + "/".
  static std::string memberBasePath(const std::string& member, const std::string& basePath);
};

class WebDAVTransferController : public HTTPTransferController {
 public:
  static std::shared_ptr<WebDAVTransferController> initWithBaseURL(const Url& url);
  // A client of the hosted disk service (null when none is configured). An
  // empty `user` is read from the user default "iToolsMember"; a member
  // without a password gets the one stored in the keychain for the service
  // (none when nothing is stored: the server then refuses the requests).
  static std::shared_ptr<WebDAVTransferController> initWithIDiskForUser(const std::string& user,
                                                                        const std::string& password,
                                                                        const std::string& basePath);
  static std::shared_ptr<WebDAVTransferController> initWithIDiskForUser(const std::string& user,
                                                                        const std::string& basePath);
  static std::shared_ptr<WebDAVTransferController> initWithIDiskForLocalUser(const std::string& basePath);
  // The hosted-disk initialiser that the URL's user and password pick.
  static std::shared_ptr<WebDAVTransferController> initWithHostedDiskURL(const Url& url);
  static std::shared_ptr<WebDAVTransferController> initWithHost(const std::string& host, std::uint16_t port,
                                                                const std::string& user, const std::string& password,
                                                                const std::string& basePath);

  explicit WebDAVTransferController(ConstructionKey key) : HTTPTransferController(key) {}

  std::string className() const override { return "WebDAVTransferController"; }

  bool supportsOperation(TransferOperation operation) const override;
  std::optional<Dictionary> contentsOfDirectoryAtPath(const std::string& path) override;
  bool createDirectoryAtPath(const std::string& path) override;
  bool movePath(const std::string& fromPath, const std::string& toPath) override;
  bool copyPath(const std::string& fromPath, const std::string& toPath) override;
  bool deleteFileAtPath(const std::string& path) override;
  // DELETE of a collection removes everything below it.
  bool deleteDirectoryRecursivelyAtPath(const std::string& path) override;

 private:
  bool movePathImpl(const std::string& fromPath, const std::string& toPath, bool copy);
  bool deletePath(const std::string& path);
  // MKCOL of one folder path; the answer's status, -1 when none came (reported).
  long makeCollection(const std::string& absoluteFolder, bool* failed);
};

class SecureWebDAVTransferController : public WebDAVTransferController {
 public:
  static constexpr const char* kURLScheme = "https";
  static std::shared_ptr<SecureWebDAVTransferController> initWithBaseURL(const Url& url);
  explicit SecureWebDAVTransferController(ConstructionKey key) : WebDAVTransferController(key) {}
  std::string urlScheme() const override { return kURLScheme; }
  std::string className() const override { return "SecureWebDAVTransferController"; }
};

}  // namespace quorvel
