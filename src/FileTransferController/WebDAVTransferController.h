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

class WebDAVTransferController : public HTTPTransferController {
 public:
  static std::shared_ptr<WebDAVTransferController> initWithBaseURL(const Url& url);
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
