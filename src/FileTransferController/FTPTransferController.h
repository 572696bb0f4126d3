// FTPTransferController: a destination folder on an FTP server ("ftp" URLs),
// and FTPSTransferController, the same over TLS ("ftps" URLs).
//
// Every operation is one blocking libcurl transfer on the calling thread,
// through one easy handle that the controller owns: a download or upload of
// one file, a directory listing, or a listing of the base folder followed by
// commands (RNFR/RNTO, DELE, RMD). Paths in the URL are relative to the
// folder the server logs the user into (RFC 1738). Payload bytes pass
// through the payload stream operations, so digests, encryption and speed
// limits apply as for every destination.
//
// Failed libcurl calls are reported as errors of the domain "curl" whose code
// is the CURLcode, whose description is libcurl's error text, and whose user
// info holds the server's last reply under "Last Server Message". A refused
// login or a refused server certificate is marked permanent: trying again
// cannot help until someone changes the settings.
//
// Options read from the URL's query ("?name=value&..."):
//   ftps only:  insecure-tls=1   do not check the server's certificate
//               ca-file=PATH     trust the certificates in PATH (PEM) instead
//                                of the system's certificate store
//               implicit-tls=1   TLS from the first byte on any port (port
//                                990 always means implicit TLS)
// The query never reaches the server.
//
// Time-outs: with timeOut() above 0, the connection must be made, each
// server reply must come, and data must flow at all, within that many
// seconds (rounded up). An abort asked for by the delegate stops the
// operation within about a second (libcurl asks once a second even while the
// server is silent).
//
// Proxies come from the usual environment variables (ftp_proxy, all_proxy,
// no_proxy), which libcurl reads itself.
//
// A controller is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FileTransferController/FileTransferController.h"

typedef void CURL;

namespace quorvel {

// The user info key of the server's last reply line in an FTP error.
inline constexpr const char* kLastServerMessageKey = "Last Server Message";

class FTPTransferController : public FileTransferController {
 public:
  static constexpr const char* kURLScheme = "ftp";
  // Text encodings of names on the wire (the platform's numbers).
  static constexpr unsigned kUTF8StringEncoding = 4;
  static constexpr unsigned kISOLatin1StringEncoding = 5;

  static std::shared_ptr<FTPTransferController> initWithBaseURL(const Url& url);
  static std::shared_ptr<FTPTransferController> initWithHost(const std::string& host, std::uint16_t port,
                                                             const std::string& user, const std::string& password,
                                                             const std::string& basePath);

  explicit FTPTransferController(ConstructionKey key);
  ~FTPTransferController() override;

  std::string urlScheme() const override { return kURLScheme; }
  std::string className() const override { return "FTPTransferController"; }

  // Encoding of paths, commands, replies and listings on the wire: UTF-8
  // (the default, what servers announcing "UTF8" expect) or ISO Latin 1.
  unsigned stringEncoding() const { return stringEncoding_; }
  void setStringEncoding(unsigned encoding) { stringEncoding_ = encoding; }
  // Let libcurl keep the control connection open between operations.
  bool keepConnectionAlive() const { return keepAlive_; }
  void setKeepConnectionAlive(bool keepAlive) { keepAlive_ = keepAlive; }
  CURL* handle() const { return handle_; }
  // The last reply line of the server in the current (or last) operation.
  const std::string& transcript() const { return transcript_; }

  bool supportsOperation(TransferOperation operation) const override;
  // A "curl" error of a file that is not there, or of a folder the server
  // could not change into (reply 550).
  bool isMissingItemError(const Error& error) const override;
  std::optional<Dictionary> contentsOfDirectoryAtPath(const std::string& path) override;
  // Makes the folder and every missing folder above it.
  bool createDirectoryAtPath(const std::string& path) override;
  bool movePath(const std::string& fromPath, const std::string& toPath) override;
  bool deleteFileAtPath(const std::string& path) override;
  // The folder must be empty. The base folder itself ("") is removed from
  // the folder above it.
  bool deleteDirectoryAtPath(const std::string& path) override;

  // A listing's bytes in `encoding` as a listing dictionary (name ->
  // kFileType, kFileSize, kFileModificationDate; "." and ".." left out;
  // links and other items without a type). Nothing, with the reason in
  // *problem, when the bytes do not decode or no line of a non-empty listing
  // could be read.
  static std::optional<Dictionary> ParseFTPDirectoryListing(const Data& bytes, unsigned encoding, Date now,
                                                            std::string* problem);

 protected:
  bool initializeWithBaseURL(const Url& url) override;
  bool uploadFileToPathImpl(const std::string& path, InputStream& stream) override;
  bool downloadFileFromPathImpl(const std::string& path, OutputStream& stream) override;

  // Prepares the handle for the next operation.
  virtual void reset();
  // The URL text handed to libcurl: the full absolute URL (user and
  // password included) without its query, the path in stringEncoding().
  // Nothing when a name cannot be written in that encoding.
  virtual std::optional<std::string> convertURL(const Url& url) const;
  // Lists the URL's folder (into nothing), then runs the commands; without
  // commands, makes the missing folders of the URL's path first.
  bool performQuote(const std::vector<std::string>& commands, const Url& url);

 private:
  // Sets the URL, reports the start and runs the prepared handle: nothing
  // when it worked, else the error (not reported yet).
  std::optional<Error> run(const Url& url);
  // Reports the outcome to the delegate; true when there is no error.
  bool report(const std::optional<Error>& error);
  // The libcurl error of a result, with the server's last reply.
  Error curlError(int code, const char* errorBuffer) const;
  // libcurl's callbacks (progress and abort question, reply recorder).
  friend struct FTPCallbacks;
  // A remote path as the argument of a command: relative to the base
  // folder, in stringEncoding(); nothing when it cannot be one.
  std::optional<std::string> commandArgument(const std::string& path) const;
  // performQuote with commands of a verb and a remote path each.
  bool runCommands(const std::vector<std::pair<std::string, std::string>>& commands, const Url& url);

  CURL* handle_ = nullptr;
  unsigned stringEncoding_ = kUTF8StringEncoding;
  bool keepAlive_ = false;
  std::string transcript_;
  // QUIT has been sent in the current operation.
  bool quitting_ = false;
  // What the progress callback does besides asking about an abort.
  enum class ProgressKind { None, Download, Upload } progressKind_ = ProgressKind::None;
};

class FTPSTransferController : public FTPTransferController {
 public:
  static constexpr const char* kURLScheme = "ftps";
  // Implicit TLS is the rule on this port.
  static constexpr std::uint16_t kImplicitTLSPort = 990;

  static std::shared_ptr<FTPSTransferController> initWithBaseURL(const Url& url);
  static std::shared_ptr<FTPSTransferController> initWithHost(const std::string& host, std::uint16_t port,
                                                              const std::string& user, const std::string& password,
                                                              const std::string& basePath);

  explicit FTPSTransferController(ConstructionKey key) : FTPTransferController(key) {}

  std::string urlScheme() const override { return kURLScheme; }
  std::string className() const override { return "FTPSTransferController"; }

  // The server's certificate is checked (against the system's store or the
  // CA file) unless this is set. From the URL's "insecure-tls" at creation.
  bool isSSLCertificateValidationDisabled() const { return validationDisabled_; }
  void setSSLCertificateValidationDisabled(bool disabled) { validationDisabled_ = disabled; }
  // PEM file of the certificates to trust; empty: the system's store.
  const std::string& certificateAuthorityFile() const { return caFile_; }
  void setCertificateAuthorityFile(std::string path) { caFile_ = std::move(path); }
  // TLS from the first byte on a port other than 990.
  bool usesImplicitTLS() const { return implicitTLS_; }
  void setUsesImplicitTLS(bool implicit) { implicitTLS_ = implicit; }

 protected:
  bool initializeWithBaseURL(const Url& url) override;
  void reset() override;
  // Port 990 (or implicit TLS asked for): "ftps" stays, without ":990";
  // any other port: "ftp", with TLS required on the control and data
  // connections (AUTH TLS).
  std::optional<std::string> convertURL(const Url& url) const override;

 private:
  bool validationDisabled_ = false;
  std::string caFile_;
  bool implicitTLS_ = false;
};

// The query parameters of a URL ("a=1&b=x%20y" -> {a: "1", b: "x y"}), in
// order; a parameter without "=" has an empty value.
std::vector<std::pair<std::string, std::string>> URLQueryParameters(const Url& url);

}  // namespace quorvel
