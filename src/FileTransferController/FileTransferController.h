// FileTransferController: the client for one backup destination, named by a
// base URL. One concrete class serves each URL scheme; the engine talks to all
// of them through the operations below. This class owns what does not depend
// on the protocol:
//   - choosing the concrete class for a URL (the scheme registry);
//   - turning destination-relative paths into absolute paths and URLs;
//   - the payload stream operations that every concrete class calls around a
//     file's bytes: an MD5 digest of the plain data, AES-256-CBC encryption
//     under the backup's password, and upload/download speed limits, per
//     controller and across all transfers of the process;
//   - progress counters and the delegate callbacks;
//   - a reachability probe for the destination host;
//   - convenience transfers to and from local files, memory and byte ranges.
//
// Threads: a controller is used by one thread at a time (the thread of the
// operation that created it). Only the process-wide speed limits are shared.
//
// Encrypted payload format (what lies on the destination for every file
// uploaded with an encryption password): AES-256-CBC with PKCS#7 padding; key
// and IV from EVP_BytesToKey(AES-256-CBC, MD5, no salt, 1 iteration) over the
// password's UTF-8 bytes; no header. The stored length is the plain length
// with its low 4 bits cleared, plus 16. It equals
// DataTransforms::encryptAES256WithPassword() of the whole file and
// `openssl enc -aes-256-cbc -md md5 -nosalt`.
#pragma once

#include <openssl/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "FileTransferController/DataStream.h"
#include "FileTransferController/Error.h"
#include "FileTransferController/FileTransferControllerDelegate.h"
#include "FileTransferController/Stream.h"
#include "foundation/Data.h"
#include "foundation/Url.h"
#include "foundation/Value.h"

namespace quorvel {

// Keys of the attribute dictionaries in a listing, and the file types.
inline constexpr const char* kFileType = "NSFileType";
inline constexpr const char* kFileSize = "NSFileSize";
inline constexpr const char* kFileModificationDate = "NSFileModificationDate";
inline constexpr const char* kFileCreationDate = "NSFileCreationDate";
inline constexpr const char* kFileTypeDirectory = "NSFileTypeDirectory";
inline constexpr const char* kFileTypeRegular = "NSFileTypeRegular";
inline constexpr const char* kFileTypeSymbolicLink = "NSFileTypeSymbolicLink";
inline constexpr const char* kFileTypeUnknown = "NSFileTypeUnknown";

// The directory and file operations a destination kind may offer.
enum class TransferOperation {
  ContentsOfDirectory,
  CreateDirectory,
  DeleteFile,
  DeleteDirectory,
  DeleteDirectoryRecursively,
  MovePath,
  CopyPath,
};

class FileTransferController : public DataStreamSource, public DataStreamDestination {
 public:
  // ---- Creation -----------------------------------------------------------

  // Creates a controller for a URL of a registered scheme.
  using Factory = std::function<std::shared_ptr<FileTransferController>(const Url& url)>;
  // Decides whether an entry serves a URL's host.
  using HostMatcher = std::function<bool(const std::string& host)>;

  // A new, ready controller for the URL, or nothing when no class serves its
  // scheme. Schemes compare exactly (case-sensitive). Among the entries of a
  // scheme, the first whose host matcher accepts the host wins, else the
  // entry without a matcher.
  static std::shared_ptr<FileTransferController> fileTransferControllerWithURL(const Url& url);
  // Adds a class to the registry. An entry without a host matcher replaces
  // the scheme's previous catch-all entry; entries with a matcher are tried
  // in the order they were added. Safe to call from any thread.
  static void registerClassForScheme(const std::string& scheme, Factory factory, HostMatcher hostMatcher = {});
  // The schemes some class serves, sorted (the built-in ones included).
  static std::vector<std::string> supportedSchemes();

  // This class is abstract: always throws InternalInconsistency("FileTransferController is an abstract class").
  static std::shared_ptr<FileTransferController> initWithBaseURL(const Url& url);

  ~FileTransferController() override;
  FileTransferController(const FileTransferController&) = delete;
  FileTransferController& operator=(const FileTransferController&) = delete;

  // ---- Type-level properties (a subclass inherits what it does not answer) --

  // The scheme this class serves; empty for the abstract classes.
  virtual std::string urlScheme() const { return std::string(); }
  // Drive streams by run-loop events (true) or by polling their status.
  virtual bool useAsyncStreams() const { return true; }
  virtual bool hasAtomicUploads() const { return false; }
  virtual bool hasUploadDataStream() const { return false; }
  // The class name, for messages.
  virtual std::string className() const { return "FileTransferController"; }

  // ---- Properties -----------------------------------------------------------

  // Not owned; must outlive the operations it is set for.
  FileTransferControllerDelegate* delegate() const { return delegate_; }
  void setDelegate(FileTransferControllerDelegate* delegate) { delegate_ = delegate; }
  bool digestComputation() const { return digestComputation_; }
  void setDigestComputation(bool on) { digestComputation_ = on; }
  // When present, file transfers are encrypted on upload and decrypted on download.
  const std::optional<std::string>& encryptionPassword() const { return encryptionPassword_; }
  void setEncryptionPassword(std::optional<std::string> password) { encryptionPassword_ = std::move(password); }
  // Inactivity time-out in seconds used by the concrete classes; 0 = none.
  double timeOut() const { return timeOut_; }
  void setTimeOut(double seconds) { timeOut_ = seconds; }
  // This controller's limits in bytes per second; 0 = unlimited.
  std::uint32_t maximumUploadSpeed() const { return maxUploadSpeed_; }
  void setMaximumUploadSpeed(std::uint32_t bytesPerSecond) { maxUploadSpeed_ = bytesPerSecond; }
  std::uint32_t maximumDownloadSpeed() const { return maxDownloadSpeed_; }
  void setMaximumDownloadSpeed(std::uint32_t bytesPerSecond) { maxDownloadSpeed_ = bytesPerSecond; }

  const Url& baseURL() const { return baseURL_; }
  // The host is this machine or on the local network: never speed-limited.
  bool isLocalHost() const { return localHost_; }

  // Process-wide limits shared by all transfers of a direction; 0 = unlimited.
  // Setting is a plain store, any thread.
  static std::uint32_t globalMaximumUploadSpeed();
  static void setGlobalMaximumUploadSpeed(std::uint32_t bytesPerSecond);
  static std::uint32_t globalMaximumDownloadSpeed();
  static void setGlobalMaximumDownloadSpeed(std::uint32_t bytesPerSecond);

  // ---- Progress and results ------------------------------------------------

  std::uint64_t currentLength() const { return currentLength_; }
  std::uint64_t maxLength() const { return maxLength_; }
  // Sets the expected size (0 = unknown, no progress reported) and resets currentLength to 0.
  void setMaxLength(std::uint64_t length);
  // Stores the value and reports progress, unless maxLength is 0 or the value is unchanged.
  void setCurrentLength(std::uint64_t length);
  std::uint64_t transferSize() const { return maxLength_; }
  // currentLength / maxLength, at most 1.0; not-a-number while maxLength is 0.
  float transferProgress() const;
  // Bytes the payload operations moved in the last transfer, counted as
  // stored on the destination (ciphertext when encrypting).
  std::uint64_t lastTransferSize() const { return totalSize_; }
  // MD5 of the last file transfer's plain data; nothing when none was made.
  std::optional<Data> lastTransferDigestData() const;
  // The last download failed because its data could not be decrypted: the
  // password is wrong or the stored file is damaged. Not a network failure,
  // so retrying the same transfer cannot help.
  bool lastTransferFailedDecryption() const { return decryptionFailed_; }
  // The last failure reported to the delegate, kept until the next transfer
  // begins or clearLastFailure() is called.
  const std::optional<Error>& lastFailure() const { return lastFailure_; }
  void clearLastFailure() { lastFailure_.reset(); }
  // Trying the failed operation again cannot succeed: the last failure is
  // permanent (a full disk, a denied permission, a refused certificate) or
  // the last download did not decrypt.
  bool lastFailureIsPermanent() const {
    return decryptionFailed_ || (lastFailure_ && lastFailure_->isPermanent());
  }
  // The error says the item is not there (a file or folder that does not
  // exist), in whatever words the protocol has for it.
  virtual bool isMissingItemError(const Error& error) const;

  // ---- Paths ------------------------------------------------------------------

  // The base URL's path joined with `path`, always beginning with "/".
  std::string absolutePathForRemotePath(const std::string& path) const;
  // A URL with the base URL's scheme, host, port and query, the absolute
  // path, and no user or password; nothing when none can be built (no host).
  virtual std::optional<Url> absoluteURLForRemotePath(const std::string& path);
  // The same with the base URL's user and unescaped password.
  std::optional<Url> fullAbsoluteURLForRemotePath(const std::string& path) const;

  // ---- Transfers ----------------------------------------------------------------

  // The stream is passed unopened; the implementation opens it through the
  // payload operations and closes it before returning. Afterwards progress is
  // reset (setMaxLength(0)). Success or failure is also reported to the delegate.
  bool uploadFileToPath(const std::string& path, InputStream& stream);
  bool downloadFileFromPath(const std::string& path, OutputStream& stream);

  // ---- Directory and file operations (offered per destination kind) --------

  // Whether this class offers the operation; callers ask before calling.
  virtual bool supportsOperation(TransferOperation operation) const { return false; }
  // Entry name -> attributes (kFileType, and where known kFileSize,
  // kFileModificationDate, kFileCreationDate); nothing on failure.
  virtual std::optional<Dictionary> contentsOfDirectoryAtPath(const std::string& path);
  virtual bool createDirectoryAtPath(const std::string& path);
  virtual bool deleteFileAtPath(const std::string& path);
  virtual bool deleteDirectoryAtPath(const std::string& path);
  virtual bool deleteDirectoryRecursivelyAtPath(const std::string& path);
  virtual bool movePath(const std::string& fromPath, const std::string& toPath);
  virtual bool copyPath(const std::string& fromPath, const std::string& toPath);
  // Makes everything stored so far durable before the caller deletes what
  // it replaced. Destinations whose stores are durable once acknowledged
  // answer true without doing anything (the default); a local folder syncs
  // itself. Reports to the delegate only where it does work.
  virtual bool syncDestination() { return true; }

  // ---- Convenience transfers -------------------------------------------------

  // Follows symbolic links from the standardised local path until a non-link
  // (a cycle fails), takes the expected length from the file's size, and
  // uploads the file.
  bool uploadFileFromPath(const std::string& localPath, const std::string& remotePath);
  // Downloads into a new file (truncated) at the standardised local path; on
  // failure a partly written file is deleted.
  bool downloadFileFromPath(const std::string& remotePath, const std::string& localPath);
  bool uploadFileFromData(const Data& data, const std::string& remotePath);
  // The file's bytes, or nothing on failure, also when the file holds more
  // than largestSize bytes once stored (a stored file's size cannot be
  // trusted; reading stops there).
  std::optional<Data> downloadFileFromPathToData(const std::string& remotePath, std::uint64_t largestSize);
  // Reads the remote file completely and drops it (to obtain its digest, say).
  bool downloadFileFromPathToNull(const std::string& remotePath);
  // Uploads a caller's byte range; fails on a missing pointer.
  bool uploadFileFromBytes(const void* bytes, std::size_t length, const std::string& remotePath);
  // Downloads into a caller's buffer: the byte count, or -1 on failure (also
  // when the file is larger than the capacity or the buffer is missing).
  long downloadFileFromPathToBuffer(const std::string& remotePath, void* buffer, std::size_t capacity);
  // Sets the expected length from the plain length and uploads.
  bool uploadFileToPath(const std::string& path, InputStream& stream, std::uint64_t length);

  // The stored length of an upload of `plainLength` bytes under the current
  // password setting: the plain length without one, else (plainLength & ~15) + 16.
  std::uint64_t expectedUploadLength(std::uint64_t plainLength) const;

  // ---- Reachability ---------------------------------------------------------------

  // True when the base URL's host can be reached without first establishing
  // a connection (it resolves and there is a route to it).
  bool checkReachability();

  // ---- Payload stream operations -------------------------------------------------
  // Called by the concrete classes around a transfer's bytes. The output
  // stream is where downloaded data goes, the input stream where uploaded
  // data comes from. They never report to the delegate: the caller turns a
  // false or -1 into a failure callback.

  // Prepare digest, cipher and speed limit (for a file transfer), then open
  // the stream. False (with no state left behind) when the password is empty,
  // the cipher cannot be set up, or the stream does not open.
  bool openOutputStream(OutputStream& stream, bool isFileTransfer);
  bool openInputStream(InputStream& stream, bool isFileTransfer);
  // Decrypt, digest, throttle and write all; false on failure (also when the
  // stream takes no bytes at all).
  bool writeToOutputStream(OutputStream& stream, const std::uint8_t* bytes, std::size_t length);
  // Finish decryption (the padding check: a wrong password fails here) and
  // the digest.
  bool flushOutputStream(OutputStream& stream);
  // Read, throttle, digest and encrypt: the bytes placed in the buffer, 0 at
  // the end, -1 on failure. An encrypted read needs a capacity above 32.
  long readFromInputStream(InputStream& stream, std::uint8_t* buffer, std::size_t capacity);
  // Drop cipher and digest state and close the stream.
  void closeOutputStream(OutputStream& stream);
  void closeInputStream(InputStream& stream);

  // ---- DataStreamSource / DataStreamDestination over a caller's byte range ----
  // The user information is a ByteRangeCursor.
  struct ByteRangeCursor {
    std::uint8_t* pointer = nullptr;
    std::size_t remaining = 0;
  };
  bool openDataStream(std::any& info) override;
  long readDataFromStream(std::any& info, std::uint8_t* buffer, std::size_t maxLength) override;
  long writeDataToStream(std::any& info, const std::uint8_t* bytes, std::size_t length) override;
  void closeDataStream(std::any& info) override;

 protected:
  // Only the concrete classes' factories can make one (see makeController).
  class ConstructionKey {
    ConstructionKey() = default;
    friend class FileTransferController;
  };
  explicit FileTransferController(ConstructionKey);

  // Creates T and runs its initialisation with the URL; nothing on failure.
  // Concrete classes build their initWithBaseURL on it:
  //   static std::shared_ptr<Foo> initWithBaseURL(const Url& url) { return makeController<Foo>(url); }
  template <class T, class... Arguments>
  static std::shared_ptr<T> makeController(const Url& url, Arguments&&... arguments) {
    std::shared_ptr<T> controller = std::make_shared<T>(ConstructionKey(), std::forward<Arguments>(arguments)...);
    if (!static_cast<FileTransferController&>(*controller).initializeWithBaseURL(url)) return nullptr;
    return controller;
  }
  // Builds the URL from T's scheme and the parts (the URL builder refuses an
  // empty host) and calls makeController.
  template <class T>
  static std::shared_ptr<T> makeControllerWithHost(const std::string& host, std::uint16_t port,
                                                   const std::string& user, const std::string& password,
                                                   const std::string& basePath) {
    std::shared_ptr<T> controller = std::make_shared<T>(ConstructionKey());
    std::optional<Url> url = urlForHost(controller->urlScheme(), host, port, user, password, basePath);
    if (!url || !static_cast<FileTransferController&>(*controller).initializeWithBaseURL(*url)) return nullptr;
    return controller;
  }
  static std::optional<Url> urlForHost(const std::string& scheme, const std::string& host, std::uint16_t port,
                                       const std::string& user, const std::string& password,
                                       const std::string& basePath);

  // Fails unless the URL's scheme equals urlScheme(); keeps the URL and
  // computes localHost. Subclasses that parse more call this first.
  virtual bool initializeWithBaseURL(const Url& url);

  // The protocol's own transfers; the base versions report "not implemented".
  virtual bool uploadFileToPathImpl(const std::string& path, InputStream& stream);
  virtual bool downloadFileFromPathImpl(const std::string& path, OutputStream& stream);

  // Delegate helpers.
  void notifyDidStart();
  void notifyDidSucceed();
  void notifyDidFail(const Error& error);
  bool shouldAbort();
  // Reports "<operation> is not implemented by <class>" and returns false.
  bool failNotImplemented(const char* operation);

  // The most a download may read from the destination: set while
  // downloadFileFromPathToBuffer or downloadFileFromPathToData runs, else 0
  // (no bound but the file's own size).
  std::uint64_t downloadSizeLimit() const { return downloadSizeLimit_; }

  // Which host the local-host test and reachability look at: the base URL's.
  virtual std::string hostForReachability() const;

 private:
  void dropPayloadState();
  bool openStreamForTransfer(Stream& stream, bool isFileTransfer, bool decrypt);
  // Throttling.
  std::uint32_t globalLimitForDownload() const;
  std::uint32_t globalLimitForUpload() const;
  void throttleChunk(std::size_t bytes, double startTime, bool upload, std::uint32_t globalLimit);
  bool growScratchBuffer(std::size_t size);
  bool finishDigest();
  // Digest updates of large chunks run on a helper thread while the chunk is
  // encrypted or written; endDigestUpdate() waits for it and answers its result.
  class BackgroundDigest;
  static constexpr std::size_t kBackgroundDigestMinimum = 65536;
  bool beginDigestUpdate(const std::uint8_t* bytes, std::size_t length);
  bool endDigestUpdate();

  Url baseURL_;
  FileTransferControllerDelegate* delegate_ = nullptr;
  bool localHost_ = false;
  bool reachabilityCreated_ = false;
  std::string reachabilityHost_;
  std::uint64_t currentLength_ = 0;
  std::uint64_t maxLength_ = 0;
  bool digestComputation_ = false;
  std::uint64_t totalSize_ = 0;
  EVP_MD_CTX* digestContext_ = nullptr;
  std::uint8_t digestBuffer_[16] = {};
  std::optional<std::string> encryptionPassword_;
  EVP_CIPHER_CTX* encryptionContext_ = nullptr;
  std::unique_ptr<std::uint8_t[]> encryptionBufferBytes_;
  std::size_t encryptionBufferSize_ = 0;
  double timeOut_ = 0.0;
  std::uint32_t maxUploadSpeed_ = 0;
  std::uint32_t maxDownloadSpeed_ = 0;
  bool fileTransfer_ = false;
  double maxSpeed_ = 0.0;
  // The encrypted upload has delivered its last block.
  bool ciphertextFinished_ = false;
  bool decryptionFailed_ = false;
  std::optional<Error> lastFailure_;
  std::unique_ptr<BackgroundDigest> backgroundDigest_;
  bool digestPending_ = false;
  std::uint64_t downloadSizeLimit_ = 0;
};

}  // namespace quorvel
