#include "FileTransferController/FileTransferController.h"

#include <limits.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <set>
#include <vector>

#include "FileTransferController/NetworkHost.h"
#include "foundation/SystemLog.h"
#include "foundation/InternalInconsistency.h"
#include "foundation/Mutex.h"
#include "foundation/Posix.h"

namespace quorvel {

// Registers the classes this program has (TransferControllerClasses.cpp).
void RegisterTransferControllerClasses();

namespace {

// ---------------------------------------------------------------------------
// Scheme registry

struct RegistryEntry {
  std::string scheme;
  FileTransferController::Factory factory;
  FileTransferController::HostMatcher hostMatcher;
};

struct SchemeRegistry {
  Mutex mutex;
  std::vector<RegistryEntry> entries GUARDED_BY(mutex);
};

SchemeRegistry& Registry() {
  static SchemeRegistry registry;
  return registry;
}

void EnsureBuiltInClassesRegistered() {
  static std::once_flag once;
  std::call_once(once, [] { RegisterTransferControllerClasses(); });
}

// ---------------------------------------------------------------------------
// Process-wide speed limits: one schedule per direction, the moment at which
// the next chunk may start, each guarded by its own spin lock.

class CAPABILITY("spin lock") SpinLock {
 public:
  void lock() ACQUIRE() {
    while (flag_.test_and_set(std::memory_order_acquire)) {
    }
  }
  void unlock() RELEASE() { flag_.clear(std::memory_order_release); }

 private:
  std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
};

struct SpeedSchedule {
  std::atomic<std::uint32_t> globalLimit{0};
  SpinLock lock;
  double nextTime GUARDED_BY(lock) = 0.0;
};

SpeedSchedule gUploadSchedule;
SpeedSchedule gDownloadSchedule;

double Now() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Sleeps for whole microseconds, clamped to 0 .. 4,294,967,295.
void SleepSeconds(double seconds) {
  double micro = std::floor(seconds * 1e6);
  if (!(micro > 0)) return;
  if (micro > 4294967295.0) micro = 4294967295.0;
  auto total = static_cast<std::uint64_t>(micro);
  timespec request{static_cast<time_t>(total / 1000000), static_cast<long>((total % 1000000) * 1000)};
  while (nanosleep(&request, &request) != 0 && errno == EINTR) {
  }
}

// Waits until the schedule allows the next chunk; answers the chunk's start.
double WaitForSchedule(SpeedSchedule& schedule) {
  for (;;) {
    double start = Now();
    schedule.lock.lock();
    double next = schedule.nextTime;
    schedule.lock.unlock();
    if (next <= start) return start;
    SleepSeconds(next - start);
  }
}

void AdvanceSchedule(SpeedSchedule& schedule, double start, std::size_t bytes, std::uint32_t limit) {
  schedule.lock.lock();
  schedule.nextTime = std::max(schedule.nextTime, start) + static_cast<double>(bytes) / limit;
  schedule.lock.unlock();
}

// ---------------------------------------------------------------------------
// Local paths

// Expands "~", drops empty and "." components, resolves ".." in absolute
// paths and removes a trailing "/".
std::string StandardizePath(const std::string& input) {
  std::string path = input;
  if (!path.empty() && path[0] == '~' && (path.size() == 1 || path[1] == '/')) {
    const char* home = std::getenv("HOME");
    if (home && *home) path = std::string(home) + path.substr(1);
  }
  bool absolute = !path.empty() && path[0] == '/';
  std::vector<std::string> parts;
  std::size_t begin = 0;
  while (begin <= path.size()) {
    std::size_t end = path.find('/', begin);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(begin, end - begin);
    if (part.empty() || part == ".") {
      // dropped
    } else if (part == ".." && absolute) {
      if (!parts.empty()) parts.pop_back();
    } else {
      parts.push_back(part);
    }
    begin = end + 1;
  }
  std::string result = absolute ? "/" : "";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) result += "/";
    result += parts[i];
  }
  if (result.empty()) result = absolute ? "/" : input;
  return result;
}

}  // namespace

// ---------------------------------------------------------------------------
// Background digest: a helper thread that runs the MD5 update of a large chunk
// while the controller's thread encrypts or writes the same bytes. Both only
// read the chunk; the controller waits for the update before the bytes may
// change or the digest context is touched again.

class FileTransferController::BackgroundDigest {
 public:
  BackgroundDigest() : thread_([this] { run(); }) {}
  ~BackgroundDigest() {
    {
      MutexLock lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

  void start(EVP_MD_CTX* context, const std::uint8_t* bytes, std::size_t length) EXCLUDES(mutex_) {
    {
      MutexLock lock(mutex_);
      context_ = context;
      bytes_ = bytes;
      length_ = length;
      pending_ = true;
    }
    changed_.notify_all();
  }

  // The result of the update started last.
  bool wait() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    while (pending_) lock.wait(changed_);
    return result_;
  }

 private:
  void run() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    for (;;) {
      while (!pending_ && !stop_) lock.wait(changed_);
      if (pending_) {
        EVP_MD_CTX* context = context_;
        const std::uint8_t* bytes = bytes_;
        std::size_t length = length_;
        lock.unlock();
        bool result = EVP_DigestUpdate(context, bytes, length) == 1;
        lock.lock();
        result_ = result;
        pending_ = false;
        changed_.notify_all();
      } else if (stop_) {
        return;
      }
    }
  }

  Mutex mutex_;
  std::condition_variable_any changed_;
  EVP_MD_CTX* context_ GUARDED_BY(mutex_) = nullptr;
  const std::uint8_t* bytes_ GUARDED_BY(mutex_) = nullptr;
  std::size_t length_ GUARDED_BY(mutex_) = 0;
  bool pending_ GUARDED_BY(mutex_) = false;
  bool result_ GUARDED_BY(mutex_) = true;
  bool stop_ GUARDED_BY(mutex_) = false;
  std::thread thread_;
};

bool FileTransferController::beginDigestUpdate(const std::uint8_t* bytes, std::size_t length) {
  if (!digestContext_) return true;
  // Small chunks are not worth the hand-over.
  if (length < kBackgroundDigestMinimum) return EVP_DigestUpdate(digestContext_, bytes, length) == 1;
  if (!backgroundDigest_) backgroundDigest_ = std::make_unique<BackgroundDigest>();
  backgroundDigest_->start(digestContext_, bytes, length);
  digestPending_ = true;
  return true;
}

bool FileTransferController::endDigestUpdate() {
  if (!digestPending_) return true;
  digestPending_ = false;
  return backgroundDigest_->wait();
}

// ---------------------------------------------------------------------------
// Creation

std::shared_ptr<FileTransferController> FileTransferController::fileTransferControllerWithURL(const Url& url) {
  EnsureBuiltInClassesRegistered();
  Factory chosen;
  {
    SchemeRegistry& registry = Registry();
    MutexLock lock(registry.mutex);
    std::string host = url.host();
    for (const RegistryEntry& entry : registry.entries) {
      if (entry.scheme == url.scheme() && entry.hostMatcher && entry.hostMatcher(host)) {
        chosen = entry.factory;
        break;
      }
    }
    if (!chosen) {
      for (const RegistryEntry& entry : registry.entries) {
        if (entry.scheme == url.scheme() && !entry.hostMatcher) chosen = entry.factory;
      }
    }
  }
  return chosen ? chosen(url) : nullptr;
}

std::vector<std::string> FileTransferController::supportedSchemes() {
  EnsureBuiltInClassesRegistered();
  SchemeRegistry& registry = Registry();
  MutexLock lock(registry.mutex);
  std::set<std::string> schemes;
  for (const RegistryEntry& entry : registry.entries) schemes.insert(entry.scheme);
  return std::vector<std::string>(schemes.begin(), schemes.end());
}

void FileTransferController::registerClassForScheme(const std::string& scheme, Factory factory,
                                                    HostMatcher hostMatcher) {
  SchemeRegistry& registry = Registry();
  MutexLock lock(registry.mutex);
  std::vector<RegistryEntry>& entries = registry.entries;
  if (!hostMatcher) {
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [&](const RegistryEntry& entry) {
                                   return entry.scheme == scheme && !entry.hostMatcher;
                                 }),
                  entries.end());
  }
  entries.push_back({scheme, std::move(factory), std::move(hostMatcher)});
}

std::shared_ptr<FileTransferController> FileTransferController::initWithBaseURL(const Url& url) {
  throw InternalInconsistency("FileTransferController is an abstract class");
}

FileTransferController::~FileTransferController() { dropPayloadState(); }

FileTransferController::FileTransferController(ConstructionKey) {}

std::optional<Url> FileTransferController::urlForHost(const std::string& scheme, const std::string& host,
                                                      std::uint16_t port, const std::string& user,
                                                      const std::string& password, const std::string& basePath) {
  return Url::URLWithScheme(scheme, user, password, host, port, basePath);
}

bool FileTransferController::initializeWithBaseURL(const Url& url) {
  std::string scheme = urlScheme();
  if (scheme.empty() || url.scheme() != scheme) return false;
  baseURL_ = url;
  localHost_ = IsLocalHost(hostForReachability());
  return true;
}

std::string FileTransferController::hostForReachability() const { return baseURL_.host(); }

bool FileTransferController::isMissingItemError(const Error& error) const {
  return error.domain() == kPOSIXErrorDomain && error.code() == ENOENT;
}

// ---------------------------------------------------------------------------
// Speed limits

std::uint32_t FileTransferController::globalMaximumUploadSpeed() {
  return gUploadSchedule.globalLimit.load(std::memory_order_relaxed);
}

void FileTransferController::setGlobalMaximumUploadSpeed(std::uint32_t bytesPerSecond) {
  gUploadSchedule.globalLimit.store(bytesPerSecond, std::memory_order_relaxed);
}

std::uint32_t FileTransferController::globalMaximumDownloadSpeed() {
  return gDownloadSchedule.globalLimit.load(std::memory_order_relaxed);
}

void FileTransferController::setGlobalMaximumDownloadSpeed(std::uint32_t bytesPerSecond) {
  gDownloadSchedule.globalLimit.store(bytesPerSecond, std::memory_order_relaxed);
}

std::uint32_t FileTransferController::globalLimitForDownload() const {
  return fileTransfer_ && !localHost_ ? globalMaximumDownloadSpeed() : 0;
}

std::uint32_t FileTransferController::globalLimitForUpload() const {
  return fileTransfer_ && !localHost_ ? globalMaximumUploadSpeed() : 0;
}

// ---------------------------------------------------------------------------
// Progress

void FileTransferController::setMaxLength(std::uint64_t length) {
  maxLength_ = length;
  currentLength_ = 0;
}

void FileTransferController::setCurrentLength(std::uint64_t length) {
  if (maxLength_ == 0 || length == currentLength_) return;
  currentLength_ = length;
  if (delegate_) delegate_->fileTransferControllerDidUpdateProgress(*this);
}

float FileTransferController::transferProgress() const {
  if (maxLength_ == 0) return std::nanf("");
  float progress = static_cast<float>(static_cast<double>(currentLength_) / static_cast<double>(maxLength_));
  return std::min(progress, 1.0f);
}

std::optional<Data> FileTransferController::lastTransferDigestData() const {
  for (std::uint8_t byte : digestBuffer_) {
    if (byte != 0) return Data(std::begin(digestBuffer_), std::end(digestBuffer_));
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// Paths

std::string FileTransferController::absolutePathForRemotePath(const std::string& path) const {
  std::string base = baseURL_.path();
  std::string result;
  if (base.empty()) {
    result = path;
  } else if (path.empty()) {
    result = base;
  } else if (base.back() == '/' || path.front() == '/') {
    result = base + path;
  } else {
    result = base + "/" + path;
  }
  if (result.empty()) return "/";
  if (result.front() != '/') result.insert(result.begin(), '/');
  return result;
}

std::optional<Url> FileTransferController::absoluteURLForRemotePath(const std::string& path) {
  return Url::URLWithScheme(baseURL_.scheme(), "", "", baseURL_.host(), baseURL_.port().value_or(0),
                            absolutePathForRemotePath(path),
                            baseURL_.queryByReplacingPercentEscapes().value_or(""));
}

std::optional<Url> FileTransferController::fullAbsoluteURLForRemotePath(const std::string& path) const {
  return Url::URLWithScheme(baseURL_.scheme(), baseURL_.user(),
                            baseURL_.passwordByReplacingPercentEscapes().value_or(""), baseURL_.host(),
                            baseURL_.port().value_or(0), absolutePathForRemotePath(path),
                            baseURL_.queryByReplacingPercentEscapes().value_or(""));
}

// ---------------------------------------------------------------------------
// Delegate

void FileTransferController::notifyDidStart() {
  if (delegate_) delegate_->fileTransferControllerDidStart(*this);
}

void FileTransferController::notifyDidSucceed() {
  if (delegate_) delegate_->fileTransferControllerDidSucceed(*this);
}

void FileTransferController::notifyDidFail(const Error& error) {
  lastFailure_ = error;
  if (delegate_) delegate_->fileTransferControllerDidFail(*this, error);
}

bool FileTransferController::shouldAbort() {
  return delegate_ && delegate_->fileTransferControllerShouldAbort(*this);
}

bool FileTransferController::failNotImplemented(const char* operation) {
  notifyDidFail(Error::transferError(std::string(operation) + " is not implemented by " + className()));
  return false;
}

// ---------------------------------------------------------------------------
// Transfers

bool FileTransferController::uploadFileToPath(const std::string& path, InputStream& stream) {
  bool success = uploadFileToPathImpl(path, stream);
  setMaxLength(0);
  return success;
}

bool FileTransferController::downloadFileFromPath(const std::string& path, OutputStream& stream) {
  bool success = downloadFileFromPathImpl(path, stream);
  setMaxLength(0);
  return success;
}

bool FileTransferController::uploadFileToPathImpl(const std::string& path, InputStream& stream) {
  return failNotImplemented("uploadFileToPath");
}

bool FileTransferController::downloadFileFromPathImpl(const std::string& path, OutputStream& stream) {
  return failNotImplemented("downloadFileFromPath");
}

std::optional<Dictionary> FileTransferController::contentsOfDirectoryAtPath(const std::string& path) {
  failNotImplemented("contentsOfDirectoryAtPath");
  return std::nullopt;
}

bool FileTransferController::createDirectoryAtPath(const std::string& path) {
  return failNotImplemented("createDirectoryAtPath");
}

bool FileTransferController::deleteFileAtPath(const std::string& path) {
  return failNotImplemented("deleteFileAtPath");
}

bool FileTransferController::deleteDirectoryAtPath(const std::string& path) {
  return failNotImplemented("deleteDirectoryAtPath");
}

bool FileTransferController::deleteDirectoryRecursivelyAtPath(const std::string& path) {
  return failNotImplemented("deleteDirectoryRecursivelyAtPath");
}

bool FileTransferController::movePath(const std::string& fromPath, const std::string& toPath) {
  return failNotImplemented("movePath");
}

bool FileTransferController::copyPath(const std::string& fromPath, const std::string& toPath) {
  return failNotImplemented("copyPath");
}

// ---------------------------------------------------------------------------
// Convenience transfers

std::uint64_t FileTransferController::expectedUploadLength(std::uint64_t plainLength) const {
  if (!encryptionPassword_) return plainLength;
  return (plainLength & ~static_cast<std::uint64_t>(15)) + 16;
}

bool FileTransferController::uploadFileFromPath(const std::string& localPath, const std::string& remotePath) {
  std::string path = StandardizePath(localPath);
  std::set<std::string> visited;
  struct stat attributes;
  for (;;) {
    if (lstat(path.c_str(), &attributes) != 0) {
      notifyDidFail(Error::posixError(errno, "Could not read the attributes of \"" + path + "\"", path));
      return false;
    }
    if (!S_ISLNK(attributes.st_mode)) break;
    if (!visited.insert(path).second) {
      notifyDidFail(Error::posixError(ELOOP, "Could not follow the symbolic link \"" + localPath + "\"", localPath));
      return false;
    }
    std::vector<char> target(PATH_MAX + 1);
    ssize_t length = readlink(path.c_str(), target.data(), PATH_MAX);
    if (length < 0) {
      notifyDidFail(Error::posixError(errno, "Could not read the symbolic link \"" + path + "\"", path));
      return false;
    }
    std::string destination(target.data(), static_cast<std::size_t>(length));
    path = StandardizePath(destination.front() == '/' ? destination : ParentFolderOf(path) + "/" + destination);
  }
  setMaxLength(expectedUploadLength(static_cast<std::uint64_t>(attributes.st_size)));
  FileInputStream stream(path);
  return uploadFileToPath(remotePath, stream);
}

bool FileTransferController::downloadFileFromPath(const std::string& remotePath, const std::string& localPath) {
  std::string path = StandardizePath(localPath);
  FileOutputStream stream(path, false);
  bool success = downloadFileFromPath(remotePath, stream);
  if (!success && stream.hasBeenOpened()) {
    stream.close();
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
      Error error = Error::posixError(errno, "Could not delete \"" + path + "\"", path);
      SystemLog("%@: %@", "downloadFileFromPath", error.localizedDescription());
    }
  }
  return success;
}

bool FileTransferController::uploadFileFromData(const Data& data, const std::string& remotePath) {
  setMaxLength(expectedUploadLength(data.size()));
  std::unique_ptr<MemoryInputStream> stream = MemoryInputStream::withBytesNoCopy(data.data(), data.size());
  return uploadFileToPath(remotePath, *stream);
}

std::optional<Data> FileTransferController::downloadFileFromPathToData(const std::string& remotePath,
                                                                      std::uint64_t largestSize) {
  // The plain bytes are no more than the stored ones.
  MemoryOutputStream stream(static_cast<std::size_t>(std::min<std::uint64_t>(largestSize, SIZE_MAX)));
  downloadSizeLimit_ = largestSize;
  bool downloaded = downloadFileFromPath(remotePath, static_cast<OutputStream&>(stream));
  downloadSizeLimit_ = 0;
  if (!downloaded) return std::nullopt;
  return stream.takeData();
}

bool FileTransferController::downloadFileFromPathToNull(const std::string& remotePath) {
  FileOutputStream stream("/dev/null", false);
  return downloadFileFromPath(remotePath, static_cast<OutputStream&>(stream));
}

bool FileTransferController::uploadFileFromBytes(const void* bytes, std::size_t length,
                                                 const std::string& remotePath) {
  if (!bytes) return false;
  setMaxLength(expectedUploadLength(length));
  // The controller is the stream's source; it outlives the stream.
  std::shared_ptr<DataStreamSource> self(std::shared_ptr<DataStreamSource>(), this);
  ByteRangeCursor cursor{static_cast<std::uint8_t*>(const_cast<void*>(bytes)), length};
  std::unique_ptr<DataReadStream> stream = DataReadStream::initWithDataSource(self, cursor);
  return uploadFileToPath(remotePath, *stream);
}

long FileTransferController::downloadFileFromPathToBuffer(const std::string& remotePath, void* buffer,
                                                          std::size_t capacity) {
  if (!buffer) return -1;
  std::shared_ptr<DataStreamDestination> self(std::shared_ptr<DataStreamDestination>(), this);
  std::unique_ptr<DataWriteStream> stream =
      DataWriteStream::initWithDataDestination(self, ByteRangeCursor{static_cast<std::uint8_t*>(buffer), capacity});
  // A stored file longer than the buffer can hold (once stored) is not read at all.
  downloadSizeLimit_ = expectedUploadLength(capacity);
  bool downloaded = downloadFileFromPath(remotePath, static_cast<OutputStream&>(*stream));
  downloadSizeLimit_ = 0;
  if (!downloaded) return -1;
  auto* cursor = std::any_cast<ByteRangeCursor>(&stream->userInfo());
  return static_cast<long>(capacity - cursor->remaining);
}

bool FileTransferController::uploadFileToPath(const std::string& path, InputStream& stream,
                                              std::uint64_t length) {
  setMaxLength(expectedUploadLength(length));
  return uploadFileToPath(path, stream);
}

bool FileTransferController::openDataStream(std::any& info) { return true; }

long FileTransferController::readDataFromStream(std::any& info, std::uint8_t* buffer, std::size_t maxLength) {
  auto* cursor = std::any_cast<ByteRangeCursor>(&info);
  if (!cursor) return -1;
  std::size_t n = std::min(maxLength, cursor->remaining);
  if (n) std::memcpy(buffer, cursor->pointer, n);
  cursor->pointer += n;
  cursor->remaining -= n;
  return static_cast<long>(n);
}

long FileTransferController::writeDataToStream(std::any& info, const std::uint8_t* bytes, std::size_t length) {
  auto* cursor = std::any_cast<ByteRangeCursor>(&info);
  if (!cursor) return -1;
  std::size_t n = std::min(length, cursor->remaining);
  if (n) std::memcpy(cursor->pointer, bytes, n);
  cursor->pointer += n;
  cursor->remaining -= n;
  return static_cast<long>(n);
}

void FileTransferController::closeDataStream(std::any& info) {}

// ---------------------------------------------------------------------------
// Reachability

bool FileTransferController::checkReachability() {
  if (!reachabilityCreated_) {
    reachabilityHost_ = hostForReachability();
    reachabilityCreated_ = true;
  }
  return IsHostReachable(reachabilityHost_);
}

// ---------------------------------------------------------------------------
// Payload stream operations

void FileTransferController::dropPayloadState() {
  endDigestUpdate();
  if (digestContext_) EVP_MD_CTX_free(digestContext_);
  digestContext_ = nullptr;
  if (encryptionContext_) EVP_CIPHER_CTX_free(encryptionContext_);
  encryptionContext_ = nullptr;
}

bool FileTransferController::growScratchBuffer(std::size_t size) {
  if (encryptionBufferSize_ != size || !encryptionBufferBytes_) {
    encryptionBufferBytes_.reset(new (std::nothrow) std::uint8_t[size ? size : 1]);
    encryptionBufferSize_ = encryptionBufferBytes_ ? size : 0;
  }
  return encryptionBufferBytes_ != nullptr;
}

bool FileTransferController::openStreamForTransfer(Stream& stream, bool isFileTransfer, bool decrypt) {
  dropPayloadState();
  totalSize_ = 0;
  fileTransfer_ = isFileTransfer;
  ciphertextFinished_ = false;
  decryptionFailed_ = false;
  lastFailure_.reset();
  if (isFileTransfer) {
    std::memset(digestBuffer_, 0, sizeof digestBuffer_);
    if (digestComputation_) {
      digestContext_ = EVP_MD_CTX_new();
      if (!digestContext_ || EVP_DigestInit_ex(digestContext_, EVP_md5(), nullptr) != 1) {
        dropPayloadState();
        return false;
      }
    }
    if (encryptionPassword_) {
      const std::string& password = *encryptionPassword_;
      unsigned char key[EVP_MAX_KEY_LENGTH];
      unsigned char iv[EVP_MAX_IV_LENGTH];
      const EVP_CIPHER* cipher = EVP_aes_256_cbc();
      if (password.empty() ||
          EVP_BytesToKey(cipher, EVP_md5(), nullptr, reinterpret_cast<const unsigned char*>(password.data()),
                         static_cast<int>(password.size()), 1, key, iv) != 32) {
        dropPayloadState();
        return false;
      }
      encryptionContext_ = EVP_CIPHER_CTX_new();
      bool ready = encryptionContext_ &&
                   EVP_CipherInit_ex(encryptionContext_, cipher, nullptr, key, iv, decrypt ? 0 : 1) == 1;
      OPENSSL_cleanse(key, sizeof key);
      OPENSSL_cleanse(iv, sizeof iv);
      if (!ready) {
        dropPayloadState();
        return false;
      }
      encryptionBufferBytes_.reset();
      encryptionBufferSize_ = 0;
    }
    maxSpeed_ = localHost_ ? 0.0 : static_cast<double>(decrypt ? maxDownloadSpeed_ : maxUploadSpeed_);
  } else {
    maxSpeed_ = 0.0;
  }
  stream.open();
  if (stream.streamStatus() != StreamStatus::Open) {
    dropPayloadState();
    return false;
  }
  return true;
}

bool FileTransferController::openOutputStream(OutputStream& stream, bool isFileTransfer) {
  return openStreamForTransfer(stream, isFileTransfer, true);
}

bool FileTransferController::openInputStream(InputStream& stream, bool isFileTransfer) {
  return openStreamForTransfer(stream, isFileTransfer, false);
}

void FileTransferController::throttleChunk(std::size_t bytes, double startTime, bool upload,
                                           std::uint32_t globalLimit) {
  if (maxSpeed_ > 0) {
    double delay = static_cast<double>(bytes) / maxSpeed_ - (Now() - startTime);
    if (delay > 0) SleepSeconds(delay);
  } else if (globalLimit > 0) {
    AdvanceSchedule(upload ? gUploadSchedule : gDownloadSchedule, startTime, bytes, globalLimit);
  }
}

bool FileTransferController::writeToOutputStream(OutputStream& stream, const std::uint8_t* bytes,
                                                 std::size_t length) {
  std::uint32_t globalLimit = globalLimitForDownload();
  const std::uint8_t* output = bytes;
  std::size_t outputLength = length;
  if (encryptionContext_) {
    if (!growScratchBuffer(length + 32)) return false;
    int produced = 0;
    if (EVP_DecryptUpdate(encryptionContext_, encryptionBufferBytes_.get(), &produced, bytes,
                          static_cast<int>(length)) != 1) {
      decryptionFailed_ = true;
      return false;
    }
    output = encryptionBufferBytes_.get();
    outputLength = static_cast<std::size_t>(produced);
  }
  // The digest of these bytes runs alongside their writing.
  if (!beginDigestUpdate(output, outputLength)) return false;
  if (outputLength > 0) {
    double start = Now();
    if (maxSpeed_ <= 0 && globalLimit > 0) start = WaitForSchedule(gDownloadSchedule);
    std::size_t written = 0;
    while (written < outputLength) {
      long n = stream.write(output + written, outputLength - written);
      // A stream that takes nothing would be asked forever: that is a failure too.
      if (n <= 0) {
        endDigestUpdate();
        return false;
      }
      written += static_cast<std::size_t>(n);
    }
    throttleChunk(outputLength, start, false, globalLimit);
  }
  if (!endDigestUpdate()) return false;
  totalSize_ += length;
  return true;
}

bool FileTransferController::flushOutputStream(OutputStream& stream) {
  bool success = true;
  if (encryptionContext_) {
    std::uint8_t finalBytes[2 * EVP_MAX_BLOCK_LENGTH];
    int produced = 0;
    success = EVP_DecryptFinal_ex(encryptionContext_, finalBytes, &produced) == 1;
    if (!success) decryptionFailed_ = true;
    EVP_CIPHER_CTX_free(encryptionContext_);
    encryptionContext_ = nullptr;
    if (success && produced > 0) {
      if (digestContext_ && EVP_DigestUpdate(digestContext_, finalBytes, static_cast<std::size_t>(produced)) != 1) {
        success = false;
      }
      std::size_t written = 0;
      while (success && written < static_cast<std::size_t>(produced)) {
        long n = stream.write(finalBytes + written, static_cast<std::size_t>(produced) - written);
        if (n <= 0) success = false;
        else written += static_cast<std::size_t>(n);
      }
    }
  }
  if (digestContext_) {
    if (success) success = finishDigest();
    if (digestContext_) EVP_MD_CTX_free(digestContext_);
    digestContext_ = nullptr;
  }
  return success;
}

bool FileTransferController::finishDigest() {
  if (!endDigestUpdate()) {
    EVP_MD_CTX_free(digestContext_);
    digestContext_ = nullptr;
    return false;
  }
  unsigned int size = 0;
  std::uint8_t digest[EVP_MAX_MD_SIZE];
  bool success = EVP_DigestFinal_ex(digestContext_, digest, &size) == 1 && size == sizeof digestBuffer_;
  if (success) std::memcpy(digestBuffer_, digest, sizeof digestBuffer_);
  EVP_MD_CTX_free(digestContext_);
  digestContext_ = nullptr;
  return success;
}

long FileTransferController::readFromInputStream(InputStream& stream, std::uint8_t* buffer, std::size_t capacity) {
  std::uint32_t globalLimit = globalLimitForUpload();
  auto waitForLimit = [&]() {
    return maxSpeed_ <= 0 && globalLimit > 0 ? WaitForSchedule(gUploadSchedule) : Now();
  };
  if (!encryptionContext_) {
    double start = waitForLimit();
    long n = stream.read(buffer, capacity);
    if (n < 0) return -1;
    // After the last cipher block nothing may follow, least of all plain text.
    if (ciphertextFinished_ && n > 0) return -1;
    throttleChunk(static_cast<std::size_t>(n), start, true, globalLimit);
    if (digestContext_) {
      if (EVP_DigestUpdate(digestContext_, buffer, static_cast<std::size_t>(n)) != 1) return -1;
      if (n == 0 || currentLength_ + static_cast<std::uint64_t>(n) == maxLength_) {
        if (!finishDigest()) return -1;
      }
    }
    totalSize_ += static_cast<std::uint64_t>(n);
    return n;
  }

  if (capacity <= 32) return -1;
  if (!growScratchBuffer(capacity)) return -1;
  double start = waitForLimit();
  long n = stream.read(encryptionBufferBytes_.get(), capacity - 32);
  if (n < 0) return -1;
  int produced = 0;
  if (n > 0) {
    throttleChunk(static_cast<std::size_t>(n), start, true, globalLimit);
    // The digest of the plain bytes runs alongside their encryption.
    if (!beginDigestUpdate(encryptionBufferBytes_.get(), static_cast<std::size_t>(n))) return -1;
    bool encrypted = EVP_EncryptUpdate(encryptionContext_, buffer, &produced, encryptionBufferBytes_.get(),
                                       static_cast<int>(n)) == 1;
    if (!endDigestUpdate() || !encrypted) return -1;
  }
  if (produced == 0) {
    // The data is finished: the last, padded block ends the ciphertext.
    if (digestContext_ && !finishDigest()) return -1;
    int finalLength = 0;
    bool success = EVP_EncryptFinal_ex(encryptionContext_, buffer, &finalLength) == 1;
    EVP_CIPHER_CTX_free(encryptionContext_);
    encryptionContext_ = nullptr;
    if (!success) return -1;
    ciphertextFinished_ = true;
    produced = finalLength;
  }
  totalSize_ += static_cast<std::uint64_t>(produced);
  return produced;
}

void FileTransferController::closeOutputStream(OutputStream& stream) {
  dropPayloadState();
  stream.close();
}

void FileTransferController::closeInputStream(InputStream& stream) {
  dropPayloadState();
  stream.close();
}

}  // namespace quorvel
