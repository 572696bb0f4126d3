#include "FileTransferController/HTTPTransferController.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

namespace quorvel {

// ---------------------------------------------------------------------------
// MIME types

namespace {

std::string Lowercase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::map<std::string, std::string> ReadMIMETypes(const std::string& file) {
  std::map<std::string, std::string> types;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    std::size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    std::istringstream words(line);
    std::string type;
    if (!(words >> type)) continue;
    // The first line that names an extension wins.
    for (std::string extension; words >> extension;) types.emplace(Lowercase(extension), type);
  }
  return types;
}

}  // namespace

std::string MIMETypeForPath(const std::string& path, const std::string& mimeTypesFile) {
  static std::mutex mutex;
  static std::map<std::string, std::map<std::string, std::string>> files;
  const std::string kDefault = "application/octet-stream";
  std::size_t slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::size_t dot = name.find_last_of('.');
  if (dot == std::string::npos || dot + 1 == name.size()) return kDefault;
  std::string extension = Lowercase(name.substr(dot + 1));
  std::lock_guard<std::mutex> lock(mutex);
  auto file = files.find(mimeTypesFile);
  if (file == files.end()) file = files.emplace(mimeTypesFile, ReadMIMETypes(mimeTypesFile)).first;
  auto type = file->second.find(extension);
  return type == file->second.end() ? kDefault : type->second;
}

// ---------------------------------------------------------------------------
// Creation

namespace {

std::once_flag gCurlInitialised;

double MonotonicNow() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool TruthValue(const std::string& value) {
  std::string lower = Lowercase(value);
  return lower == "1" || lower == "yes" || lower == "true" || lower == "on";
}

// Escapes everything of a path but unreserved characters and "/".
std::string EscapedPath(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string escaped;
  for (char c : path) {
    auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
      escaped.push_back(c);
    } else {
      escaped.push_back('%');
      escaped.push_back(kHex[byte >> 4]);
      escaped.push_back(kHex[byte & 15]);
    }
  }
  return escaped;
}

}  // namespace

struct HTTPTransferController::Handles {
  CURLM* multi = nullptr;
  CURL* easy = nullptr;
  char errorBuffer[CURL_ERROR_SIZE] = {};
  // The CA file the easy handle was given (none: the system's store).
  std::string caFile;
  ~Handles() {
    if (easy) curl_easy_cleanup(easy);
    if (multi) curl_multi_cleanup(multi);
  }
};

HTTPTransferController::HTTPTransferController(ConstructionKey key) : StreamTransferController(key) {}

HTTPTransferController::~HTTPTransferController() = default;

std::shared_ptr<HTTPTransferController> HTTPTransferController::initWithBaseURL(const Url& url) {
  return makeController<HTTPTransferController>(url);
}

std::shared_ptr<HTTPTransferController> HTTPTransferController::initWithHost(const std::string& host,
                                                                             std::uint16_t port,
                                                                             const std::string& user,
                                                                             const std::string& password,
                                                                             const std::string& basePath) {
  return makeControllerWithHost<HTTPTransferController>(host, port, user, password, basePath);
}

std::shared_ptr<SecureHTTPTransferController> SecureHTTPTransferController::initWithBaseURL(const Url& url) {
  return makeController<SecureHTTPTransferController>(url);
}

bool HTTPTransferController::initializeWithBaseURL(const Url& url) {
  if (!FileTransferController::initializeWithBaseURL(url) || url.host().empty()) return false;
  std::istringstream parameters(url.query());
  for (std::string parameter; std::getline(parameters, parameter, '&');) {
    std::size_t equals = parameter.find('=');
    std::string name = parameter.substr(0, equals);
    std::string value = equals == std::string::npos ? std::string("1") : parameter.substr(equals + 1);
    value = Url::unescape(value).value_or(value);
    if (name == "insecure-tls") disableSSLCertificates_ = TruthValue(value);
    else if (name == "ca-file") caFile_ = value;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Paths and messages

std::string HTTPTransferController::requestURLForPath(const std::string& path) const {
  return requestURLForAbsolutePath(absolutePathForRemotePath(path));
}

std::string HTTPTransferController::requestURLForAbsolutePath(const std::string& absolutePath) const {
  std::string host = baseURL().host();
  if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
  std::string text = baseURL().scheme() + "://" + host;
  if (baseURL().port()) text += ":" + std::to_string(*baseURL().port());
  return text + EscapedPath(absolutePath);
}

std::string HTTPTransferController::shownDestination() const {
  std::string text = baseURL().scheme() + "://";
  if (baseURL().hasUser()) text += baseURL().user() + "@";
  text += baseURL().host();
  if (baseURL().port()) text += ":" + std::to_string(*baseURL().port());
  return text + absolutePathForRemotePath("");
}

std::string HTTPTransferController::responseHeader(const std::string& name) const {
  const std::string wanted = Lowercase(name);
  for (const auto& [field, value] : response_.headers) {
    if (Lowercase(field) == wanted) return value;
  }
  return std::string();
}

bool HTTPTransferController::isMissingItemError(const Error& error) const {
  return error.domain() == kHTTPErrorDomain && error.code() == 404;
}

Error HTTPTransferController::errorForResponse() const {
  if (response_.status == 401) {
    if (!baseURL().hasUser() || !baseURL().passwordByReplacingPercentEscapes()) {
      return Error(kHTTPErrorDomain, 401,
                   "\"" + shownDestination() + "\" asks for a user name and password, and the URL gives none")
          .markPermanent();
    }
    return Error(kHTTPErrorDomain, 401,
                 "The server refused the user name or password for \"" + shownDestination() + "\"")
        .markPermanent();
  }
  Dictionary userInfo;
  userInfo.set(kErrorFailureReasonKey, "HTTP status " + std::to_string(response_.status) + " from " +
                                           (response_.effectiveURL.empty() ? shownDestination()
                                                                           : response_.effectiveURL));
  return Error(kHTTPErrorDomain, response_.status, "Unsupported HTTP response", std::move(userInfo));
}

// ---------------------------------------------------------------------------
// Requests

namespace {

// The state of one running request, shared with libcurl's callbacks.
struct Transfer {
  CURL* easy = nullptr;
  InputStream* body = nullptr;
  OutputStream* output = nullptr;
  std::string* memoryBody = nullptr;
  std::string* errorBody = nullptr;
  bool lengthIsProgress = false;
  std::uint64_t sizeLimit = 0;
  std::vector<std::pair<std::string, std::string>>* headers = nullptr;
  // Bytes that moved in either direction (activity for the time-out).
  std::uint64_t moved = 0;
  std::uint64_t received = 0;
  bool outputFailed = false;
  bool inputFailed = false;
  bool tooLarge = false;
  bool aborted = false;
  bool askAbort = false;
  std::function<bool()> shouldAbort;
  std::function<bool(const std::uint8_t*, std::size_t)> write;
  std::function<long(std::uint8_t*, std::size_t)> read;
  std::function<void(std::uint64_t)> expectLength;
};

long CurrentStatus(CURL* easy) {
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  return status;
}

std::string Trimmed(const std::string& text) {
  std::size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return std::string();
  std::size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

size_t HeaderCallback(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const std::size_t length = size * count;
  transfer->moved += length;
  std::string line(data, length);
  if (line.rfind("HTTP/", 0) == 0) {
    // A new answer (after a redirect, a challenge or "100 Continue").
    transfer->headers->clear();
    return length;
  }
  std::size_t colon = line.find(':');
  if (colon == std::string::npos) return length;
  std::string name = Trimmed(line.substr(0, colon));
  std::string value = Trimmed(line.substr(colon + 1));
  transfer->headers->emplace_back(name, value);
  long status = CurrentStatus(transfer->easy);
  if (status >= 200 && status < 300 && Lowercase(name) == "content-length") {
    char* end = nullptr;
    unsigned long long announced = std::strtoull(value.c_str(), &end, 10);
    if (transfer->sizeLimit != 0 && announced > transfer->sizeLimit) {
      transfer->tooLarge = true;
      return 0;
    }
    if (transfer->lengthIsProgress && transfer->expectLength) transfer->expectLength(announced);
  }
  return length;
}

size_t WriteCallback(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const std::size_t length = size * count;
  transfer->moved += length;
  // Only a successful answer's body is the caller's; the bodies of refusals
  // and error pages are dropped.
  long status = CurrentStatus(transfer->easy);
  if (status < 200 || status >= 300) {
    constexpr std::size_t kLargestErrorBody = 65536;
    if (transfer->errorBody && status >= 300 && transfer->errorBody->size() < kLargestErrorBody)
      transfer->errorBody->append(data, std::min(length, kLargestErrorBody - transfer->errorBody->size()));
    return length;
  }
  // libcurl may deliver many chunks in one go: the abort question is asked
  // for each of them.
  if (transfer->askAbort && transfer->shouldAbort()) {
    transfer->aborted = true;
    return 0;
  }
  transfer->received += length;
  if (transfer->sizeLimit != 0 && transfer->received > transfer->sizeLimit) {
    transfer->tooLarge = true;
    return 0;
  }
  if (transfer->output) {
    if (!transfer->write(reinterpret_cast<const std::uint8_t*>(data), length)) {
      transfer->outputFailed = true;
      return 0;
    }
  } else if (transfer->memoryBody) {
    transfer->memoryBody->append(data, length);
  }
  return length;
}

size_t ReadCallback(char* buffer, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  if (transfer->askAbort && transfer->shouldAbort()) {
    transfer->aborted = true;
    return CURL_READFUNC_ABORT;
  }
  long read = transfer->read(reinterpret_cast<std::uint8_t*>(buffer), size * count);
  if (read < 0) {
    transfer->inputFailed = true;
    return CURL_READFUNC_ABORT;
  }
  transfer->moved += static_cast<std::uint64_t>(read);
  return static_cast<size_t>(read);
}

long ChunkSize(std::uint32_t speedLimit) {
  constexpr long kLargest = 262144;
  if (speedLimit == 0) return kLargest;
  return std::clamp(static_cast<long>(speedLimit / 2), 1024L, kLargest);
}

// A certificate or TLS set-up problem that trying again cannot mend.
bool IsCertificateRefusal(CURLcode code) {
  return code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_CACERT_BADFILE ||
         code == CURLE_SSL_CERTPROBLEM || code == CURLE_SSL_ISSUER_ERROR || code == CURLE_SSL_PINNEDPUBKEYNOTMATCH;
}

}  // namespace

bool HTTPTransferController::prepareHandles(Error* error) {
  std::call_once(gCurlInitialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  // A handle keeps its CA file; another one needs a new handle.
  if (handles_ && handles_->caFile == caFile_) return true;
  handles_.reset();
  auto handles = std::make_unique<Handles>();
  handles->multi = curl_multi_init();
  handles->easy = curl_easy_init();
  if (!handles->multi || !handles->easy) {
    *error = Error(kCurlErrorDomain, CURLE_FAILED_INIT, "Could not set up libcurl");
    return false;
  }
  handles->caFile = caFile_;
  handles_ = std::move(handles);
  return true;
}

bool HTTPTransferController::perform(Request& request, Error* error, bool* aborted) {
  *aborted = false;
  response_ = Response();
  if (request.errorBody) request.errorBody->clear();
  if (!prepareHandles(error)) return false;
  if (!prepareRequest(request, error)) return false;
  CURL* easy = handles_->easy;
  handles_->errorBuffer[0] = '\0';

  Transfer transfer;
  transfer.easy = easy;
  transfer.body = request.body;
  transfer.output = request.output;
  transfer.memoryBody = request.memoryBody;
  transfer.errorBody = request.errorBody;
  transfer.lengthIsProgress = request.lengthIsProgress;
  transfer.sizeLimit = request.output && request.isFileTransfer ? downloadSizeLimit() : 0;
  transfer.headers = &response_.headers;
  transfer.askAbort = delegate() != nullptr;
  transfer.shouldAbort = [this] { return shouldAbort(); };
  transfer.write = [this, &request](const std::uint8_t* bytes, std::size_t length) {
    if (!writeToOutputStream(*request.output, bytes, length)) return false;
    setCurrentLength(currentLength() + length);
    return true;
  };
  std::size_t textSent = 0;
  transfer.read = [this, &request, &textSent](std::uint8_t* buffer, std::size_t capacity) -> long {
    if (!request.body) {
      const std::size_t count = std::min(capacity, request.bodyText.size() - textSent);
      std::memcpy(buffer, request.bodyText.data() + textSent, count);
      textSent += count;
      return static_cast<long>(count);
    }
    long count = readFromInputStream(*request.body, buffer, capacity);
    if (count > 0) setCurrentLength(currentLength() + static_cast<std::uint64_t>(count));
    return count;
  };
  transfer.expectLength = [this](std::uint64_t length) { setMaxLength(length); };

  // Options of an earlier request are replaced, so that the handle (with its
  // connections and its authentication state) serves the next one.
  curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, handles_->errorBuffer);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, nullptr);
  if (request.method == "HEAD") {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  } else if (request.method == "PUT") {
    curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
    curl_off_t size = -1;
    if (!request.body) size = static_cast<curl_off_t>(request.bodyText.size());
    else if (request.bodyLength != 0) size = static_cast<curl_off_t>(request.bodyLength);
    curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, size);
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, ReadCallback);
    curl_easy_setopt(easy, CURLOPT_READDATA, &transfer);
  } else if (request.method != "GET") {
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, request.followRedirects ? 1L : 0L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_USERAGENT, className().c_str());
  curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, keepAlive_ ? 0L : 1L);
  curl_easy_setopt(easy, CURLOPT_TCP_KEEPALIVE, 1L);
  // Chunks of 256 KiB; under a speed limit chunks of half a second's worth,
  // so that the pauses between them leave the abort question waiting no
  // longer than that.
  const std::uint32_t downloadLimit =
      isLocalHost() ? 0 : (maximumDownloadSpeed() ? maximumDownloadSpeed() : globalMaximumDownloadSpeed());
  const std::uint32_t uploadLimit =
      isLocalHost() ? 0 : (maximumUploadSpeed() ? maximumUploadSpeed() : globalMaximumUploadSpeed());
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, ChunkSize(downloadLimit));
  curl_easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE, ChunkSize(uploadLimit));
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, timeOut() > 0 ? static_cast<long>(timeOut() * 1000) : 0L);
  // Credentials only when the server asks, Basic or Digest.
  const std::optional<std::string> password = baseURL().passwordByReplacingPercentEscapes();
  if (baseURL().hasUser() && answersAuthenticationChallenges()) {
    curl_easy_setopt(easy, CURLOPT_HTTPAUTH,
                     static_cast<long>(authScheme_ != 0 ? authScheme_ : CURLAUTH_BASIC | CURLAUTH_DIGEST));
    curl_easy_setopt(easy, CURLOPT_USERNAME, baseURL().user().c_str());
    curl_easy_setopt(easy, CURLOPT_PASSWORD, password ? password->c_str() : "");
  }
  // Certificates (no effect on "http").
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, disableSSLCertificates_ ? 0L : 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, disableSSLCertificates_ ? 0L : 2L);
  if (!caFile_.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, caFile_.c_str());
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, HeaderCallback);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, WriteCallback);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
  struct curl_slist* headers = nullptr;
  for (const std::string& header : request.headers) headers = curl_slist_append(headers, header.c_str());
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);

  notifyDidStart();
  curl_multi_add_handle(handles_->multi, easy);
  double lastActivity = MonotonicNow();
  std::uint64_t lastMoved = 0;
  bool timedOut = false;
  bool finished = false;
  CURLcode code = CURLE_OK;
  for (;;) {
    int running = 0;
    CURLMcode multiCode = curl_multi_perform(handles_->multi, &running);
    if (multiCode != CURLM_OK) {
      code = CURLE_FAILED_INIT;
      break;
    }
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(handles_->multi, &queued)) {
      if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
        finished = true;
        code = message->data.result;
      }
    }
    if (finished || transfer.aborted) break;
    // At most one second without looking at the time-out and the delegate.
    curl_multi_poll(handles_->multi, nullptr, 0, 1000, nullptr);
    const double now = MonotonicNow();
    if (transfer.moved != lastMoved) {
      lastMoved = transfer.moved;
      lastActivity = now;
    } else if (timeOut() > 0 && now - lastActivity >= timeOut()) {
      timedOut = true;
      break;
    }
    if (transfer.askAbort && shouldAbort()) {
      transfer.aborted = true;
      break;
    }
  }
  curl_multi_remove_handle(handles_->multi, easy);
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, nullptr);
  curl_slist_free_all(headers);
  {
    long status = -1;
    if (curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status > 0) response_.status = status;
    char* effective = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective)
      response_.effectiveURL = effective;
    // Digest when the server offers it, so that a password never travels
    // in the clear where it need not.
    long offered = 0;
    if (curl_easy_getinfo(easy, CURLINFO_HTTPAUTH_AVAIL, &offered) == CURLE_OK && offered != 0) {
      if (offered & CURLAUTH_DIGEST) {
        authScheme_ = CURLAUTH_DIGEST;
      } else if (offered & CURLAUTH_BASIC) {
        authScheme_ = CURLAUTH_BASIC;
      }
    }
  }

  if (transfer.aborted) {
    *aborted = true;
    return false;
  }
  if (timedOut) {
    *error = Error::transferError(request.body ? "Timeout while writing to stream" : "Timeout while reading from stream");
    return false;
  }
  if (transfer.tooLarge) {
    *error = Error::posixError(EFBIG, "Could not read \"" + request.url + "\": it holds more than the " +
                                          std::to_string(downloadSizeLimit()) + " bytes expected");
    return false;
  }
  if (transfer.outputFailed) {
    std::optional<Error> own = request.output->streamError();
    *error = own && own->code() != 0
                 ? *own
                 : Error::transferError("Failed writing to output stream (status = " +
                                        std::to_string(static_cast<int>(request.output->streamStatus())) + ")");
    return false;
  }
  if (transfer.inputFailed) {
    *error = Error::transferError("Failed reading from data stream");
    return false;
  }
  if (!finished || code != CURLE_OK) {
    std::string reason = handles_->errorBuffer[0] ? handles_->errorBuffer : curl_easy_strerror(code);
    if (IsCertificateRefusal(code)) {
      *error = Error(kCurlErrorDomain, code,
                     "The certificate of " + baseURL().host() + " was refused: " + reason)
                   .markPermanent();
    } else {
      *error = Error(kCurlErrorDomain, code, request.method + " " + request.url + " failed: " + reason);
    }
    return false;
  }
  return true;
}

bool HTTPTransferController::performExpecting(Request& request, std::initializer_list<long> accepted) {
  Error error;
  bool aborted = false;
  if (!perform(request, &error, &aborted)) {
    if (!aborted) notifyDidFail(error);
    return false;
  }
  if (std::find(accepted.begin(), accepted.end(), response_.status) == accepted.end()) {
    notifyDidFail(errorForResponse());
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Transfers

std::optional<std::string> HTTPTransferController::finalURLForPath(const std::string& path) {
  Request request;
  request.method = "HEAD";
  request.url = requestURLForPath(path);
  if (!performExpecting(request, {200, 404, 301, 307})) return std::nullopt;
  if (response_.status == 301 || response_.status == 307) {
    std::string location = responseHeader("Location");
    if (location.empty()) {
      notifyDidFail(errorForResponse());
      return std::nullopt;
    }
    // A Location may be relative to the URL asked for.
    std::optional<Url> base = Url::URLWithString(request.url);
    std::optional<Url> resolved = base ? Url::URLWithString(location, *base) : std::nullopt;
    return resolved ? resolved->absoluteString() : location;
  }
  return response_.effectiveURL.empty() ? request.url : response_.effectiveURL;
}

bool HTTPTransferController::performTransfer(Request& request, const std::string& path,
                                             std::initializer_list<long> accepted) {
  if (request.url.empty()) request.url = requestURLForPath(path);
  return performExpecting(request, accepted);
}

bool HTTPTransferController::uploadFileToPathImpl(const std::string& path, InputStream& stream) {
  if (stream.hasBeenOpened()) {
    notifyDidFail(Error::transferError("The stream to upload from is already open"));
    return false;
  }
  Request request;
  if (findsUploadURLFirst()) {
    std::optional<std::string> url = finalURLForPath(path);
    if (!url) return false;
    request.url = *url;
  }
  if (!openInputStream(stream, true)) return false;
  struct CloseStream {
    HTTPTransferController* self;
    InputStream& stream;
    ~CloseStream() { self->closeInputStream(stream); }
  } closeStream{this, stream};
  request.method = "PUT";
  request.isFileTransfer = true;
  request.headers.push_back("Content-Type: " + MIMETypeForPath(path));
  // The answer's body, for servers that describe the stored file in it.
  std::string answer;
  if (hasUploadDataStream()) request.memoryBody = &answer;
  if (maxLength() != 0 || !needsUploadLength()) {
    request.body = &stream;
    request.bodyLength = maxLength();
  } else {
    // A body of unknown length is read first, for a server that wants its length.
    std::vector<std::uint8_t> buffer(1 << 16);
    for (long count; (count = readFromInputStream(stream, buffer.data(), buffer.size())) != 0;) {
      if (count < 0) {
        notifyDidFail(Error::transferError("Failed reading from data stream"));
        return false;
      }
      request.bodyText.append(reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(count));
    }
  }
  if (!performTransfer(request, path, {200, 201, 204})) return false;
  notifyDidSucceed();
  return true;
}

bool HTTPTransferController::downloadFileFromPathImpl(const std::string& path, OutputStream& stream) {
  if (stream.hasBeenOpened()) {
    notifyDidFail(Error::transferError("The stream to download into is already open"));
    return false;
  }
  if (!openOutputStream(stream, true)) return false;
  struct CloseStream {
    HTTPTransferController* self;
    OutputStream& stream;
    ~CloseStream() { self->closeOutputStream(stream); }
  } closeStream{this, stream};
  Request request;
  request.method = "GET";
  request.output = &stream;
  request.isFileTransfer = true;
  request.lengthIsProgress = true;
  if (!performTransfer(request, path, {200})) return false;
  if (!flushOutputStream(stream)) {
    std::optional<Error> own = stream.streamError();
    notifyDidFail(own && own->code() != 0
                      ? *own
                      : Error::transferError("Failed flushing output stream (status = " +
                                             std::to_string(static_cast<int>(stream.streamStatus())) + ")"));
    return false;
  }
  notifyDidSucceed();
  return true;
}

}  // namespace quorvel
