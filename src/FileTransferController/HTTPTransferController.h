// HTTPTransferController: files on a web server over HTTP/1.1 ("http" URLs;
// SecureHTTPTransferController for "https"): a GET downloads, a PUT uploads
// after a HEAD that finds the file's final URL (redirects followed). The
// WebDAV classes (WebDAVTransferController.h) add listings, folders, moves,
// copies and deletions on the same request machinery.
//
// Requests. libcurl's multi interface runs each request on the calling
// thread. A controller keeps one libcurl handle pair for its whole life, so
// connections stay open between requests (keep-alive) and an answered
// authentication challenge is remembered. Every wait for the network lasts at
// most one second; after it, and before each chunk of a body, the delegate is
// asked whether to abort (an abort ends the request without a failure
// report). A request fails with "Timeout while reading from stream" (an
// upload: "... writing to stream") once timeOut() seconds (0 = never) passed
// without a byte moving either way. Request and answer bodies move in chunks
// through the payload stream operations (digest, cipher, speed limits);
// under a speed limit a chunk is half a second's worth, so that an abort is
// noticed within a second then too. (The stream
// machinery of StreamTransferController is not used: libcurl is driven
// directly, which gives the same one-second wake-ups.)
//
// Credentials. The base URL's user and password answer the server's Basic or
// Digest challenge; nothing is sent before the server asks. A refusal (401
// after the credentials were offered) is a permanent error that names the
// destination without its password.
//
// TLS ("https"). The server's certificate is checked against the system's
// certificate store unless the base URL's query says otherwise:
//   insecure-tls=1   no certificate check at all
//   ca-file=PATH     trust the certificates in PATH (PEM) instead
// (the same query words as the FTPS destination; the command line's
// --insecure-tls and --ca-file put them there). The setters below do the
// same for callers that build controllers themselves. A refused certificate
// is a permanent error naming the host and libcurl's reason. The query is
// never sent to the server.
//
// Answers are judged by the request's kind:
//   HEAD   200 or 404 (the URL the answer came from), 301 or 307 (Location)
//   GET    200
//   PUT    200, 201, 204
// anything else is the error "Unsupported HTTP response", domain "http",
// the status as its code.
//
// Threads: one thread at a time per controller, as every controller.
#pragma once

#include <any>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FileTransferController/StreamTransferController.h"

namespace quorvel {

// Errors of HTTP answers; the code is the status.
inline constexpr const char* kHTTPErrorDomain = "http";

// The MIME type a file name's extension is registered for in the mime.types
// file (lines "type/subtype ext1 ext2 ..."; case of the extension ignored),
// or "application/octet-stream" for a name without an extension or an
// extension the file does not list. The file is read once per path.
std::string MIMETypeForPath(const std::string& path, const std::string& mimeTypesFile = "/etc/mime.types");

class HTTPTransferController : public StreamTransferController {
 public:
  static constexpr const char* kURLScheme = "http";

  // Fails unless the scheme is the class's and the URL has a host.
  static std::shared_ptr<HTTPTransferController> initWithBaseURL(const Url& url);
  static std::shared_ptr<HTTPTransferController> initWithHost(const std::string& host, std::uint16_t port,
                                                              const std::string& user, const std::string& password,
                                                              const std::string& basePath);

  explicit HTTPTransferController(ConstructionKey key);
  ~HTTPTransferController() override;

  std::string urlScheme() const override { return kURLScheme; }
  bool hasAtomicUploads() const override { return true; }
  bool hasUploadDataStream() const override { return false; }
  std::string className() const override { return "HTTPTransferController"; }

  // Keep connections open between requests (the default: on).
  bool keepConnectionAlive() const { return keepAlive_; }
  void setKeepConnectionAlive(bool on) { keepAlive_ = on; }
  // Skip the certificate check ("https" only; from "insecure-tls" at creation).
  bool isSSLCertificateValidationDisabled() const { return disableSSLCertificates_; }
  void setSSLCertificateValidationDisabled(bool disabled) { disableSSLCertificates_ = disabled; }
  // A PEM file of the certificates to trust instead of the system's; empty:
  // the system's (from "ca-file" at creation).
  const std::string& certificateAuthorityFile() const { return caFile_; }
  void setCertificateAuthorityFile(std::string path) { caFile_ = std::move(path); }

  // The status and header fields of the last answer (-1 and none when no
  // answer came).
  long responseStatus() const { return response_.status; }
  // A header field of the last answer (name compared without case), or empty.
  std::string responseHeader(const std::string& name) const;

  // The URL a PUT of the path goes to: the answer of a HEAD request, or
  // nothing (the failure reported) when the HEAD is not answered usably.
  std::optional<std::string> finalURLForPath(const std::string& path);

  // A 404 answer.
  bool isMissingItemError(const Error& error) const override;

 protected:
  // What a request sends and where its answer goes.
  struct Request {
    std::string method;
    // Absolute URL text without credentials.
    std::string url;
    std::vector<std::string> headers;
    // The upload body, pulled through the payload operations; its size when
    // known (else sent chunked).
    InputStream* body = nullptr;
    std::uint64_t bodyLength = 0;
    // Where the answer's body goes: a caller's stream through the payload
    // operations, or memory (collected unless null), or nowhere.
    OutputStream* output = nullptr;
    bool isFileTransfer = false;
    std::string* memoryBody = nullptr;
    // Take the answer's Content-Length as the expected size (progress).
    bool lengthIsProgress = false;
    // A body sent from memory when there is no body stream (a PUT without
    // `body` sends this, possibly empty, with its length).
    std::string bodyText;
    // Where the body of an answer outside 200-299 goes (the first 64 KiB;
    // null: dropped), for servers that explain refusals in it.
    std::string* errorBody = nullptr;
    // Follow redirects (a signed request is signed for one URL: not followed).
    bool followRedirects = true;
  };
  struct Response {
    long status = -1;
    std::string effectiveURL;
    std::vector<std::pair<std::string, std::string>> headers;
  };

  bool initializeWithBaseURL(const Url& url) override;
  // Called by perform() just before a request goes out (after the
  // controller's own headers are known): a subclass adds headers, a
  // signature. False (with *error set) stops the request.
  virtual bool prepareRequest(Request& request, Error* error) { return true; }
  // Answer the server's Basic or Digest challenge with the base URL's user
  // and password (S3 signs its requests instead, and never hands its secret
  // key to a challenge).
  virtual bool answersAuthenticationChallenges() const { return true; }
  // Uploads ask for the file's final URL with a HEAD first (S3 does not
  // redirect: it PUTs at once).
  virtual bool findsUploadURLFirst() const { return true; }
  // The server wants every body's length: a body of unknown length is read
  // into memory before it goes (else it goes chunked).
  virtual bool needsUploadLength() const { return false; }
  // Runs an upload's or download's request for a remote path (to
  // request.url, or the path's URL when that is empty) and judges its status;
  // reports a failure.
  virtual bool performTransfer(Request& request, const std::string& path, std::initializer_list<long> accepted);
  bool uploadFileToPathImpl(const std::string& path, InputStream& stream) override;
  bool downloadFileFromPathImpl(const std::string& path, OutputStream& stream) override;

  // The URL of a remote path as sent: scheme, host, port and the escaped
  // absolute path; no credentials, no query.
  std::string requestURLForPath(const std::string& path) const;
  // The same for an absolute path on the server.
  std::string requestURLForAbsolutePath(const std::string& absolutePath) const;
  // Runs a request to its answer. False (with *error set, not reported) when
  // no answer came: a network or TLS failure, the time-out, an abort
  // (*aborted then true), a failing output stream.
  bool perform(Request& request, Error* error, bool* aborted);
  // Runs the request and judges the status against `accepted`; reports the
  // failure (an abort silently). True on an accepted status.
  bool performExpecting(Request& request, std::initializer_list<long> accepted);
  // The error for an answer outside the accepted ones: refused credentials
  // (permanent), else "Unsupported HTTP response".
  Error errorForResponse() const;
  // The destination as shown in messages: no password, no query.
  std::string shownDestination() const;

  Response response_;

 private:
  struct Handles;
  bool prepareHandles(Error* error);

  std::unique_ptr<Handles> handles_;
  // The credentials scheme the server asked for (a CURLAUTH_ value), once a
  // response told; until then Basic or Digest, whichever it asks for. Asking
  // for one scheme lets libcurl send credentials at once: with a choice, it
  // first sends every upload without them.
  unsigned long authScheme_ = 0;
  bool disableSSLCertificates_ = false;
  bool keepAlive_ = true;
  std::string caFile_;
};

class SecureHTTPTransferController : public HTTPTransferController {
 public:
  static constexpr const char* kURLScheme = "https";
  static std::shared_ptr<SecureHTTPTransferController> initWithBaseURL(const Url& url);
  explicit SecureHTTPTransferController(ConstructionKey key) : HTTPTransferController(key) {}
  std::string urlScheme() const override { return kURLScheme; }
  std::string className() const override { return "SecureHTTPTransferController"; }
};

}  // namespace quorvel
