#include "FileTransferController/FTPTransferController.h"

#include <curl/curl.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>

#include "FileTransferController/FTPListingParser.h"
#include "foundation/Format.h"
#include "foundation/SystemLog.h"
#include "foundation/Unicode.h"

namespace quorvel {

namespace {

void InitializeCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

// The bytes of a UTF-8 text in an encoding of the wire; nothing when a
// character has no form there.
std::optional<std::string> EncodeText(std::string_view text, unsigned encoding) {
  if (!IsValidUtf8(text)) return std::nullopt;
  if (encoding != FTPTransferController::kISOLatin1StringEncoding) return std::string(text);
  std::string bytes;
  std::size_t pos = 0;
  char32_t codePoint = 0;
  while (pos < text.size() && DecodeUtf8(text, pos, codePoint)) {
    if (codePoint > 0xFF) return std::nullopt;
    bytes.push_back(static_cast<char>(codePoint));
  }
  return bytes;
}

// The UTF-8 text of bytes of the wire; nothing when they do not decode.
std::optional<std::string> DecodeText(std::string_view bytes, unsigned encoding) {
  if (encoding != FTPTransferController::kISOLatin1StringEncoding) {
    if (!IsValidUtf8(bytes)) return std::nullopt;
    return std::string(bytes);
  }
  std::string text;
  for (char byte : bytes) AppendUtf8(text, static_cast<unsigned char>(byte));
  return text;
}

// Percent-escapes every byte but the unreserved ones and "/".
std::string EscapePathBytes(std::string_view bytes) {
  static const char* kHex = "0123456789ABCDEF";
  std::string escaped;
  for (char c : bytes) {
    auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) || std::strchr("-._~/", c) != nullptr) {
      escaped.push_back(c);
    } else {
      escaped.push_back('%');
      escaped.push_back(kHex[byte >> 4]);
      escaped.push_back(kHex[byte & 15]);
    }
  }
  return escaped;
}

// Where the authority of a URL text ends (the start of its path).
std::size_t AuthorityEnd(const std::string& text) {
  std::size_t start = text.find("://");
  start = start == std::string::npos ? 0 : start + 3;
  std::size_t end = text.find_first_of("/?#", start);
  return end == std::string::npos ? text.size() : end;
}

bool TruthValue(const std::string& value) { return value != "0" && value != "no" && value != "false"; }

std::uint64_t Clamped(curl_off_t value) { return value > 0 ? static_cast<std::uint64_t>(value) : 0; }

// Results that trying again cannot change.
bool IsPermanentCurlCode(CURLcode code) {
  switch (code) {
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
    case CURLE_LOGIN_DENIED:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_USE_SSL_FAILED:
      return true;
    default:
      return false;
  }
}

constexpr std::size_t kUploadChunkSize = 256 * 1024;

}  // namespace

// ---------------------------------------------------------------------------
// Creation

std::vector<std::pair<std::string, std::string>> URLQueryParameters(const Url& url) {
  std::vector<std::pair<std::string, std::string>> parameters;
  const std::string& query = url.query();
  std::size_t begin = 0;
  while (begin < query.size()) {
    std::size_t end = query.find('&', begin);
    if (end == std::string::npos) end = query.size();
    std::string item = query.substr(begin, end - begin);
    begin = end + 1;
    if (item.empty()) continue;
    std::size_t equals = item.find('=');
    std::string name = item.substr(0, equals);
    std::string value = equals == std::string::npos ? std::string() : item.substr(equals + 1);
    parameters.emplace_back(Url::unescape(name).value_or(name), Url::unescape(value).value_or(value));
  }
  return parameters;
}

std::shared_ptr<FTPTransferController> FTPTransferController::initWithBaseURL(const Url& url) {
  return makeController<FTPTransferController>(url);
}

std::shared_ptr<FTPTransferController> FTPTransferController::initWithHost(const std::string& host,
                                                                           std::uint16_t port, const std::string& user,
                                                                           const std::string& password,
                                                                           const std::string& basePath) {
  return makeControllerWithHost<FTPTransferController>(host, port, user, password, basePath);
}

FTPTransferController::FTPTransferController(ConstructionKey key) : FileTransferController(key) {}

FTPTransferController::~FTPTransferController() {
  if (handle_) curl_easy_cleanup(handle_);
}

bool FTPTransferController::initializeWithBaseURL(const Url& url) {
  if (!FileTransferController::initializeWithBaseURL(url)) return false;
  InitializeCurlOnce();
  handle_ = curl_easy_init();
  if (!handle_) {
    SystemLog("%s: curl_easy_init() failed", __func__);
    return false;
  }
  return true;
}

bool FTPTransferController::supportsOperation(TransferOperation operation) const {
  switch (operation) {
    case TransferOperation::ContentsOfDirectory:
    case TransferOperation::CreateDirectory:
    case TransferOperation::DeleteFile:
    case TransferOperation::DeleteDirectory:
    case TransferOperation::MovePath:
      return true;
    default:
      return false;
  }
}

// ---------------------------------------------------------------------------
// The handle

struct FTPCallbacks {
  // Keeps the server's last reply line (incoming header data only).
  // The reply to QUIT, which libcurl sends when it drops a connection
  // (after a failure too), is not kept: it would hide the reply that told
  // why the operation failed.
  static int Debug(CURL*, curl_infotype type, char* data, std::size_t size, void* controller) {
    auto* self = static_cast<FTPTransferController*>(controller);
    if (type == CURLINFO_HEADER_OUT) {
      self->quitting_ = std::string_view(data, size).starts_with("QUIT");
      return 0;
    }
    if (type != CURLINFO_HEADER_IN || self->quitting_) return 0;
    std::string_view reply(data, size);
    if (!reply.empty() && reply.back() == '\n') reply.remove_suffix(1);
    if (!reply.empty() && reply.back() == '\r') reply.remove_suffix(1);
    std::optional<std::string> text = DecodeText(reply, self->stringEncoding_);
    self->transcript_ = text ? *text : ValidUtf8(reply);
    return 0;
  }

  // Progress of a file transfer, and the delegate's abort answer.
  static int Progress(void* controller, curl_off_t downloadTotal, curl_off_t downloadNow, curl_off_t,
                      curl_off_t uploadNow) {
    auto* self = static_cast<FTPTransferController*>(controller);
    switch (self->progressKind_) {
      case FTPTransferController::ProgressKind::Download:
        if (self->maxLength() == 0 && downloadTotal > 0) self->setMaxLength(Clamped(downloadTotal));
        self->setCurrentLength(Clamped(downloadNow));
        break;
      case FTPTransferController::ProgressKind::Upload:
        self->setCurrentLength(Clamped(uploadNow));
        break;
      case FTPTransferController::ProgressKind::None:
        break;
    }
    return self->shouldAbort() ? 1 : 0;
  }
};

void FTPTransferController::reset() {
  transcript_.clear();
  quitting_ = false;
  progressKind_ = ProgressKind::None;
  curl_easy_reset(handle_);
  curl_easy_setopt(handle_, CURLOPT_FORBID_REUSE, keepAlive_ ? 0L : 1L);
  curl_easy_setopt(handle_, CURLOPT_IPRESOLVE, static_cast<long>(CURL_IPRESOLVE_V4));
  // Worker threads: no signals for name look-ups that time out.
  curl_easy_setopt(handle_, CURLOPT_NOSIGNAL, 1L);
  // Larger buffers than libcurl's 16 KiB and 64 KiB: fewer callbacks per
  // byte moved.
  curl_easy_setopt(handle_, CURLOPT_BUFFERSIZE, static_cast<long>(kUploadChunkSize));
  curl_easy_setopt(handle_, CURLOPT_UPLOAD_BUFFERSIZE, static_cast<long>(kUploadChunkSize));
  if (timeOut() > 0) {
    long seconds = static_cast<long>(std::ceil(timeOut()));
    curl_easy_setopt(handle_, CURLOPT_FTP_RESPONSE_TIMEOUT, seconds);
    curl_easy_setopt(handle_, CURLOPT_CONNECTTIMEOUT, seconds);
    // A data connection on which nothing moves for that long is stalled.
    curl_easy_setopt(handle_, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle_, CURLOPT_LOW_SPEED_TIME, seconds);
  }
  curl_easy_setopt(handle_, CURLOPT_VERBOSE, 1L);
  curl_easy_setopt(handle_, CURLOPT_DEBUGFUNCTION, &FTPCallbacks::Debug);
  curl_easy_setopt(handle_, CURLOPT_DEBUGDATA, this);
  // Every operation may be aborted by the delegate; file transfers also
  // report progress (progressKind_).
  curl_easy_setopt(handle_, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(handle_, CURLOPT_XFERINFOFUNCTION, &FTPCallbacks::Progress);
  curl_easy_setopt(handle_, CURLOPT_XFERINFODATA, this);
}

std::optional<std::string> FTPTransferController::convertURL(const Url& url) const {
  std::string text = url.absoluteString();
  std::size_t cut = text.find_first_of("?#", AuthorityEnd(text));
  if (cut != std::string::npos) text.erase(cut);
  if (stringEncoding_ == kISOLatin1StringEncoding) {
    std::size_t pathStart = AuthorityEnd(text);
    std::optional<std::string> path = Url::unescape(std::string_view(text).substr(pathStart));
    if (!path) return std::nullopt;
    std::optional<std::string> bytes = EncodeText(*path, stringEncoding_);
    if (!bytes) return std::nullopt;
    text = text.substr(0, pathStart) + EscapePathBytes(*bytes);
  }
  return text;
}

Error FTPTransferController::curlError(int result, const char* errorBuffer) const {
  auto code = static_cast<CURLcode>(result);
  Dictionary userInfo;
  if (!transcript_.empty()) userInfo.set(kLastServerMessageKey, transcript_);
  std::string description = errorBuffer && *errorBuffer ? ValidUtf8(errorBuffer) : curl_easy_strerror(code);
  Error error(kCurlErrorDomain, result, description, std::move(userInfo));
  if (IsPermanentCurlCode(code)) error.markPermanent();
  return error;
}

bool FTPTransferController::isMissingItemError(const Error& error) const {
  if (error.domain() != kCurlErrorDomain) return FileTransferController::isMissingItemError(error);
  // A file that is not there, or a folder the server would not change into
  // because it is not there (550; 530 and the like are other refusals).
  return error.code() == CURLE_REMOTE_FILE_NOT_FOUND ||
         (error.code() == CURLE_REMOTE_ACCESS_DENIED &&
          error.userInfo().get(kLastServerMessageKey).asString().starts_with("550"));
}

std::optional<Error> FTPTransferController::run(const Url& url) {
  std::optional<std::string> text = convertURL(url);
  notifyDidStart();
  if (!text) {
    std::string shown = url.URLByDeletingPassword().value_or(url).absoluteString();
    return Error::transferError("\"" + shown + "\" has a name the server's text encoding cannot hold");
  }
  char errorBuffer[CURL_ERROR_SIZE] = {0};
  curl_easy_setopt(handle_, CURLOPT_URL, text->c_str());
  curl_easy_setopt(handle_, CURLOPT_ERRORBUFFER, errorBuffer);
  CURLcode code = curl_easy_perform(handle_);
  curl_easy_setopt(handle_, CURLOPT_ERRORBUFFER, static_cast<char*>(nullptr));
  if (code == CURLE_OK) return std::nullopt;
  return curlError(code, errorBuffer);
}

bool FTPTransferController::report(const std::optional<Error>& error) {
  if (error) {
    notifyDidFail(*error);
    return false;
  }
  notifyDidSucceed();
  return true;
}

// ---------------------------------------------------------------------------
// Payloads

namespace {

struct DownloadSink {
  FTPTransferController* controller = nullptr;
  OutputStream* stream = nullptr;
  std::uint64_t received = 0;
  std::uint64_t limit = 0;
  std::optional<Error> failure;
};

struct UploadSource {
  FTPTransferController* controller = nullptr;
  InputStream* stream = nullptr;
  std::unique_ptr<std::uint8_t[]> buffer{new std::uint8_t[kUploadChunkSize]};
  std::size_t offset = 0;
  std::size_t length = 0;
  bool ended = false;
  std::optional<Error> failure;
};

Error StreamFailure(const Stream& stream, const std::string& what) {
  std::optional<Error> error = stream.streamError();
  if (error && error->code() != 0) return *error;
  return Error::transferError(what);
}

}  // namespace

bool FTPTransferController::downloadFileFromPathImpl(const std::string& path, OutputStream& stream) {
  if (stream.streamStatus() != StreamStatus::NotOpen) return false;
  reset();
  std::optional<Url> url = fullAbsoluteURLForRemotePath(path);
  if (!url) return false;
  DownloadSink sink;
  sink.controller = this;
  sink.stream = &stream;
  sink.limit = downloadSizeLimit();
  auto writer = +[](char* bytes, std::size_t size, std::size_t count, void* context) -> std::size_t {
    auto* sink = static_cast<DownloadSink*>(context);
    std::size_t length = size * count;
    sink->received += length;
    if (sink->limit != 0 && sink->received > sink->limit) {
      sink->failure = Error::transferError("The file holds more than the " + std::to_string(sink->limit) +
                                           " bytes expected");
      return 0;
    }
    if (!sink->controller->writeToOutputStream(*sink->stream, reinterpret_cast<const std::uint8_t*>(bytes),
                                               length)) {
      sink->failure = StreamFailure(*sink->stream, "Failed writing the downloaded data");
      return length == 0 ? 1 : 0;
    }
    return length;
  };
  curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, writer);
  curl_easy_setopt(handle_, CURLOPT_WRITEDATA, &sink);
  if (sink.limit != 0) curl_easy_setopt(handle_, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(sink.limit));
  progressKind_ = ProgressKind::Download;
  if (!openOutputStream(stream, true)) {
    notifyDidStart();
    notifyDidFail(StreamFailure(stream, "Could not open the stream for the downloaded data"));
    return false;
  }
  std::optional<Error> error = run(*url);
  if (error && sink.failure) error = sink.failure;
  if (!error && !flushOutputStream(stream)) {
    error = StreamFailure(stream, Format("Failed flushing output stream (status = %i)",
                                         static_cast<int>(stream.streamStatus())));
  }
  closeOutputStream(stream);
  return report(error);
}

bool FTPTransferController::uploadFileToPathImpl(const std::string& path, InputStream& stream) {
  if (stream.streamStatus() != StreamStatus::NotOpen) return false;
  reset();
  std::optional<Url> url = fullAbsoluteURLForRemotePath(path);
  if (!url) return false;
  UploadSource source;
  source.controller = this;
  source.stream = &stream;
  // The payload operations are asked for whole chunks, whatever libcurl
  // asks for: an encrypted read needs room for a block and its padding.
  auto reader = +[](char* buffer, std::size_t size, std::size_t count, void* context) -> std::size_t {
    auto* source = static_cast<UploadSource*>(context);
    if (source->offset == source->length && !source->ended) {
      long n = source->controller->readFromInputStream(*source->stream, source->buffer.get(), kUploadChunkSize);
      if (n < 0) {
        source->failure = StreamFailure(*source->stream, "Failed reading the data to upload");
        return CURL_READFUNC_ABORT;
      }
      source->offset = 0;
      source->length = static_cast<std::size_t>(n);
      source->ended = n == 0;
    }
    std::size_t n = std::min(size * count, source->length - source->offset);
    std::memcpy(buffer, source->buffer.get() + source->offset, n);
    source->offset += n;
    return n;
  };
  curl_easy_setopt(handle_, CURLOPT_READFUNCTION, reader);
  curl_easy_setopt(handle_, CURLOPT_READDATA, &source);
  curl_easy_setopt(handle_, CURLOPT_UPLOAD, 1L);
  // The stored length when it is known: libcurl then fails an upload that
  // comes out shorter.
  curl_easy_setopt(handle_, CURLOPT_INFILESIZE_LARGE,
                   maxLength() > 0 ? static_cast<curl_off_t>(maxLength()) : static_cast<curl_off_t>(-1));
  progressKind_ = ProgressKind::Upload;
  if (!openInputStream(stream, true)) {
    notifyDidStart();
    notifyDidFail(StreamFailure(stream, "Could not open the stream of the data to upload"));
    return false;
  }
  std::optional<Error> error = run(*url);
  if (error && source.failure) error = source.failure;
  // libcurl stops asking once it has the announced length; the source must
  // be at its end there (which also completes the digest).
  if (!error && !(source.ended && source.offset == source.length)) {
    long n = source.offset == source.length
                 ? readFromInputStream(stream, source.buffer.get(), kUploadChunkSize)
                 : static_cast<long>(source.length - source.offset);
    if (n < 0) error = StreamFailure(stream, "Failed reading the data to upload");
    else if (n > 0) error = Error::transferError("The data to upload is longer than the " +
                                                 std::to_string(maxLength()) + " bytes announced");
  }
  closeInputStream(stream);
  return report(error);
}

// ---------------------------------------------------------------------------
// Listing

std::optional<Dictionary> FTPTransferController::ParseFTPDirectoryListing(const Data& bytes, unsigned encoding,
                                                                          Date now, std::string* problem) {
  std::optional<std::string> text =
      DecodeText(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), encoding);
  if (!text) {
    if (problem) *problem = "Failed parsing FTP listing (invalid character encoding)";
    return std::nullopt;
  }
  Dictionary listing;
  bool understood = false;
  std::string firstUnrecognised;
  std::string_view rest(*text);
  FTPListingLine line;
  while (std::size_t consumed = ParseFTPListingLine(rest, now, line)) {
    std::string_view lineText = rest.substr(0, consumed);
    rest.remove_prefix(consumed);
    if (line.kind == FTPListingLineKind::Unrecognised) {
      if (firstUnrecognised.empty()) firstUnrecognised = std::string(lineText.substr(0, lineText.find_first_of("\r\n")));
      continue;
    }
    understood = true;
    if (line.kind != FTPListingLineKind::Entry || line.name == "." || line.name == "..") continue;
    Dictionary attributes;
    if (line.type == FTPResourceType::RegularFile) {
      attributes.set(kFileType, kFileTypeRegular);
      if (line.size) attributes.set(kFileSize, static_cast<unsigned long long>(*line.size));
    } else if (line.type == FTPResourceType::Directory) {
      attributes.set(kFileType, kFileTypeDirectory);
    }
    if (line.modificationDate) attributes.set(kFileModificationDate, *line.modificationDate);
    listing.set(line.name, std::move(attributes));
  }
  // Lines of which not one could be read are a format this parser does not
  // know: taking them for an empty folder would hide what the folder holds.
  if (!understood && !firstUnrecognised.empty()) {
    if (problem) *problem = "Failed parsing FTP listing (unknown format: \"" + firstUnrecognised + "\")";
    return std::nullopt;
  }
  return listing;
}

std::optional<Dictionary> FTPTransferController::contentsOfDirectoryAtPath(const std::string& path) {
  std::string folder = path.empty() ? "/" : (path.back() == '/' ? path : path + "/");
  std::optional<Url> url = fullAbsoluteURLForRemotePath(folder);
  if (!url) return std::nullopt;
  reset();
  Data bytes;
  auto collector = +[](char* data, std::size_t size, std::size_t count, void* context) -> std::size_t {
    static_cast<Data*>(context)->insert(static_cast<Data*>(context)->end(), data, data + size * count);
    return size * count;
  };
  curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, collector);
  curl_easy_setopt(handle_, CURLOPT_WRITEDATA, &bytes);
  std::optional<Error> error = run(*url);
  std::optional<Dictionary> listing;
  if (!error) {
    std::string problem;
    listing = ParseFTPDirectoryListing(bytes, stringEncoding_, Date::now(), &problem);
    if (!listing) error = Error::transferError(problem);
  }
  report(error);
  return listing;
}

// ---------------------------------------------------------------------------
// Commands

bool FTPTransferController::performQuote(const std::vector<std::string>& commands, const Url& url) {
  reset();
  auto discard = +[](char*, std::size_t size, std::size_t count, void*) -> std::size_t { return size * count; };
  curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, discard);
  curl_slist* list = nullptr;
  for (const std::string& command : commands) {
    curl_slist* longer = curl_slist_append(list, command.c_str());
    if (!longer) {
      curl_slist_free_all(list);
      notifyDidStart();
      notifyDidFail(Error::transferError("Out of memory for the FTP commands"));
      return false;
    }
    list = longer;
  }
  if (list) {
    curl_easy_setopt(handle_, CURLOPT_POSTQUOTE, list);
  } else {
    curl_easy_setopt(handle_, CURLOPT_FTP_CREATE_MISSING_DIRS, static_cast<long>(CURLFTP_CREATE_DIR));
  }
  std::optional<Error> error = run(url);
  curl_easy_setopt(handle_, CURLOPT_POSTQUOTE, static_cast<curl_slist*>(nullptr));
  curl_slist_free_all(list);
  return report(error);
}

std::optional<std::string> FTPTransferController::commandArgument(const std::string& path) const {
  std::string relative = !path.empty() && path.front() == '/' ? path.substr(1) : path;
  // A line end would end the command and begin another one.
  if (relative.empty() || relative.find_first_of("\r\n") != std::string::npos) return std::nullopt;
  return EncodeText(relative, stringEncoding_);
}

bool FTPTransferController::runCommands(const std::vector<std::pair<std::string, std::string>>& commands,
                                        const Url& url) {
  std::vector<std::string> lines;
  for (const auto& [verb, path] : commands) {
    std::optional<std::string> argument = commandArgument(path);
    if (!argument) {
      notifyDidStart();
      notifyDidFail(Error::transferError("\"" + path + "\" cannot be named in an FTP command"));
      return false;
    }
    lines.push_back(verb + " " + *argument);
  }
  return performQuote(lines, url);
}

bool FTPTransferController::createDirectoryAtPath(const std::string& path) {
  std::string folder = path.empty() ? "/" : (path.back() == '/' ? path : path + "/");
  std::optional<Url> url = fullAbsoluteURLForRemotePath(folder);
  if (!url) return false;
  return performQuote({}, *url);
}

bool FTPTransferController::movePath(const std::string& fromPath, const std::string& toPath) {
  std::optional<Url> url = fullAbsoluteURLForRemotePath("/");
  if (!url) return false;
  return runCommands({{"RNFR", fromPath}, {"RNTO", toPath}}, *url);
}

bool FTPTransferController::deleteFileAtPath(const std::string& path) {
  std::optional<Url> url = fullAbsoluteURLForRemotePath("/");
  if (!url) return false;
  return runCommands({{"DELE", path}}, *url);
}

bool FTPTransferController::deleteDirectoryAtPath(const std::string& path) {
  if (path.find_first_not_of('/') != std::string::npos) {
    std::optional<Url> url = fullAbsoluteURLForRemotePath("/");
    if (!url) return false;
    return runCommands({{"RMD", path}}, *url);
  }
  // The base folder itself goes from the folder above it.
  std::string base = absolutePathForRemotePath("");
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  std::size_t slash = base.rfind('/');
  std::string name = slash == std::string::npos ? base : base.substr(slash + 1);
  if (name.empty()) {
    notifyDidStart();
    notifyDidFail(Error::transferError("The server's top folder cannot be deleted"));
    return false;
  }
  const Url& baseURL = this->baseURL();
  std::optional<Url> parent =
      Url::URLWithScheme(baseURL.scheme(), baseURL.user(), baseURL.passwordByReplacingPercentEscapes().value_or(""),
                         baseURL.host(), baseURL.port().value_or(0), base.substr(0, slash + 1),
                         baseURL.queryByReplacingPercentEscapes().value_or(""));
  if (!parent) return false;
  std::optional<std::string> argument = EncodeText(name, stringEncoding_);
  if (!argument || argument->find_first_of("\r\n") != std::string::npos) {
    notifyDidStart();
    notifyDidFail(Error::transferError("\"" + name + "\" cannot be named in an FTP command"));
    return false;
  }
  return performQuote({"RMD " + *argument}, *parent);
}

// ---------------------------------------------------------------------------
// FTPS

std::shared_ptr<FTPSTransferController> FTPSTransferController::initWithBaseURL(const Url& url) {
  return makeController<FTPSTransferController>(url);
}

std::shared_ptr<FTPSTransferController> FTPSTransferController::initWithHost(const std::string& host,
                                                                             std::uint16_t port,
                                                                             const std::string& user,
                                                                             const std::string& password,
                                                                             const std::string& basePath) {
  return makeControllerWithHost<FTPSTransferController>(host, port, user, password, basePath);
}

bool FTPSTransferController::initializeWithBaseURL(const Url& url) {
  if (!FTPTransferController::initializeWithBaseURL(url)) return false;
  for (const auto& [name, value] : URLQueryParameters(url)) {
    if (name == "insecure-tls") validationDisabled_ = TruthValue(value);
    else if (name == "ca-file") caFile_ = value;
    else if (name == "implicit-tls") implicitTLS_ = TruthValue(value);
  }
  return true;
}

void FTPSTransferController::reset() {
  FTPTransferController::reset();
  CURL* curl = handle();
  curl_easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
  curl_easy_setopt(curl, CURLOPT_FTPSSLAUTH, static_cast<long>(CURLFTPAUTH_TLS));
  // libcurl before 8.9 loses the end of uploads over TLS 1.3 data
  // connections (servers answer 426 or keep a truncated file): TLS 1.2 there.
  if (curl_version_info(CURLVERSION_NOW)->version_num < 0x080900) {
    curl_easy_setopt(curl, CURLOPT_SSLVERSION,
                     static_cast<long>(CURL_SSLVERSION_TLSv1_2) | static_cast<long>(CURL_SSLVERSION_MAX_TLSv1_2));
  }
  if (validationDisabled_) {
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
  } else {
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!caFile_.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, caFile_.c_str());
  }
}

std::optional<std::string> FTPSTransferController::convertURL(const Url& url) const {
  std::optional<std::string> text = FTPTransferController::convertURL(url);
  if (!text) return std::nullopt;
  std::size_t authorityEnd = AuthorityEnd(*text);
  const std::string port = ":" + std::to_string(kImplicitTLSPort);
  if (url.port() == kImplicitTLSPort) {
    if (authorityEnd >= port.size() && text->compare(authorityEnd - port.size(), port.size(), port) == 0) {
      text->erase(authorityEnd - port.size(), port.size());
    }
    return text;
  }
  if (implicitTLS_) return text;
  if (text->starts_with("ftps://")) text->replace(0, 7, "ftp://");
  return text;
}

}  // namespace quorvel
