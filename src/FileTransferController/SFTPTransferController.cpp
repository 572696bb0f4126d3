#include "FileTransferController/SFTPTransferController.h"

#include <fcntl.h>
#include <libssh2.h>
#include <libssh2_sftp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "foundation/Mutex.h"
#include "foundation/SystemLog.h"

namespace quorvel {

namespace {

constexpr const char* kLibssh2ErrorDomain = "libssh2";
constexpr const char* kSFTPLastErrorKey = "SFTPLastError";
constexpr long kFileMode = 0600;
constexpr long kFolderMode = 0700;
constexpr int kOneSecond = 1000;
// Bytes handed to libssh2 per read or write call (it pipelines them as
// several SFTP requests).
constexpr std::size_t kTransferChunkSize = 262144;

struct Hooks {
  Mutex mutex;
  SFTPTransferController::HostKeyApprover approver GUARDED_BY(mutex);
  SFTPTransferController::PassphraseProvider passphrases GUARDED_BY(mutex);
  // Held while known_hosts is read, asked about and written, so that two
  // connections to a new host ask once.
  std::mutex knownHosts;
};

Hooks& TheHooks() {
  static Hooks* hooks = new Hooks;  // never destroyed: controllers may outlive statics
  return *hooks;
}

void InitializeLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { libssh2_init(0); });
}

std::string Base64WithoutPadding(const unsigned char* bytes, std::size_t length) {
  std::string text(4 * ((length + 2) / 3) + 1, '\0');
  int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes, static_cast<int>(length));
  text.resize(static_cast<std::size_t>(written));
  while (!text.empty() && text.back() == '=') text.pop_back();
  return text;
}

// "SHA256:<base64>" of a key blob, as ssh-keygen -l prints it.
std::string Fingerprint(const unsigned char* blob, std::size_t length) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  EVP_Digest(blob, length, digest, &digestLength, EVP_sha256(), nullptr);
  return "SHA256:" + Base64WithoutPadding(digest, digestLength);
}

std::optional<std::string> FingerprintOfBase64Key(const char* base64) {
  if (!base64) return std::nullopt;
  std::size_t length = std::strlen(base64);
  std::vector<unsigned char> blob(3 * (length / 4) + 3);
  int decoded = EVP_DecodeBlock(blob.data(), reinterpret_cast<const unsigned char*>(base64), static_cast<int>(length));
  if (decoded < 0) return std::nullopt;
  // EVP_DecodeBlock counts padding bytes as data.
  std::size_t size = static_cast<std::size_t>(decoded);
  for (std::size_t i = length; i > 0 && base64[i - 1] == '='; --i) --size;
  return Fingerprint(blob.data(), size);
}

struct KeyKind {
  int knownHostBits;
  const char* name;
};

KeyKind KindOfHostKey(int type) {
  switch (type) {
    case LIBSSH2_HOSTKEY_TYPE_RSA: return {LIBSSH2_KNOWNHOST_KEY_SSHRSA, "RSA"};
    case LIBSSH2_HOSTKEY_TYPE_DSS: return {LIBSSH2_KNOWNHOST_KEY_SSHDSS, "DSA"};
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_256: return {LIBSSH2_KNOWNHOST_KEY_ECDSA_256, "ECDSA"};
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_384: return {LIBSSH2_KNOWNHOST_KEY_ECDSA_384, "ECDSA"};
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_521: return {LIBSSH2_KNOWNHOST_KEY_ECDSA_521, "ECDSA"};
    case LIBSSH2_HOSTKEY_TYPE_ED25519: return {LIBSSH2_KNOWNHOST_KEY_ED25519, "ED25519"};
    default: return {0, "unknown"};
  }
}

// Connects a non-blocking TCP socket to the first address of the host that
// answers within `seconds` (each): -1 with *reason set when none does.
int ConnectToHost(const std::string& host, int port, double seconds, std::string* reason) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_ADDRCONFIG;
  addrinfo* addresses = nullptr;
  const std::string service = std::to_string(port);
  int resolved = getaddrinfo(host.c_str(), service.c_str(), &hints, &addresses);
  if (resolved != 0) {
    *reason = "cannot resolve \"" + host + "\": " + gai_strerror(resolved);
    return -1;
  }
  int connected = -1;
  for (addrinfo* address = addresses; address && connected < 0; address = address->ai_next) {
    int fd = socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, address->ai_protocol);
    if (fd < 0) continue;
    int result = connect(fd, address->ai_addr, address->ai_addrlen);
    if (result != 0 && errno == EINPROGRESS) {
      pollfd descriptor{fd, POLLOUT, 0};
      int timeout = seconds > 0 ? static_cast<int>(seconds * 1000) : -1;
      int error = ETIMEDOUT;
      if (poll(&descriptor, 1, timeout) == 1) {
        socklen_t length = sizeof error;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
      }
      result = error == 0 ? 0 : -1;
      errno = error;
    }
    if (result == 0) {
      int on = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      connected = fd;
    } else {
      *reason = std::string("cannot connect: ") + std::strerror(errno);
      close(fd);
    }
  }
  freeaddrinfo(addresses);
  return connected;
}

// The socket-level failures after which a session is of no further use.
bool IsBrokenConnection(int code) {
  switch (code) {
    case LIBSSH2_ERROR_SOCKET_TIMEOUT:
    case LIBSSH2_ERROR_SOCKET_DISCONNECT:
    case LIBSSH2_ERROR_SOCKET_SEND:
    case LIBSSH2_ERROR_SOCKET_RECV:
    case LIBSSH2_ERROR_BAD_SOCKET:
    case LIBSSH2_ERROR_CHANNEL_CLOSED:
    case LIBSSH2_ERROR_TIMEOUT:
      return true;
    default:
      return false;
  }
}

// The peer closed the connection (or it failed) while it lay idle: a
// look without waiting, so that a server that went away and came back costs
// no failed request.
bool SocketWasClosed(int fd) {
  pollfd descriptor{fd, POLLIN | POLLRDHUP, 0};
  if (poll(&descriptor, 1, 0) <= 0) return false;
  if (descriptor.revents & (POLLHUP | POLLERR | POLLRDHUP | POLLNVAL)) return true;
  char byte;
  return recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  return home && *home ? home : "/";
}

}  // namespace

// The socket, the SSH session on it and the SFTP channel.
class SFTPTransferController::Connection {
 public:
  // Ends the channel and the session politely, waiting at most a couple of
  // seconds for a server that no longer answers; a non-blocking session
  // would give up at the first EAGAIN and keep its memory.
  ~Connection() {
    if (session) {
      libssh2_session_set_timeout(session, 2000);
      libssh2_session_set_blocking(session, 1);
    }
    if (sftp) libssh2_sftp_shutdown(sftp);
    if (session) {
      libssh2_session_disconnect(session, "closing");
      libssh2_session_free(session);
    }
    if (fd >= 0) close(fd);
  }
  int fd = -1;
  LIBSSH2_SESSION* session = nullptr;
  LIBSSH2_SFTP* sftp = nullptr;
};

// ---------------------------------------------------------------------------
// Creation

std::shared_ptr<SFTPTransferController> SFTPTransferController::initWithBaseURL(const Url& url) {
  return makeController<SFTPTransferController>(url);
}

std::shared_ptr<SFTPTransferController> SFTPTransferController::initWithHost(const std::string& host,
                                                                             std::uint16_t port,
                                                                             const std::string& user,
                                                                             const std::string& password,
                                                                             const std::string& basePath) {
  return makeControllerWithHost<SFTPTransferController>(host, port, user, password, basePath);
}

SFTPTransferController::SFTPTransferController(ConstructionKey key) : FileTransferController(key) {}

SFTPTransferController::~SFTPTransferController() { disconnect(); }

bool SFTPTransferController::initializeWithBaseURL(const Url& url) {
  if (!FileTransferController::initializeWithBaseURL(url)) return false;
  return !url.host().empty() && url.hasUser();
}

void SFTPTransferController::setHostKeyApprover(HostKeyApprover approver) {
  Hooks& hooks = TheHooks();
  MutexLock lock(hooks.mutex);
  hooks.approver = std::move(approver);
}

void SFTPTransferController::setPassphraseProvider(PassphraseProvider provider) {
  Hooks& hooks = TheHooks();
  MutexLock lock(hooks.mutex);
  hooks.passphrases = std::move(provider);
}

std::string SFTPTransferController::knownHostsPath() { return HomeFolder() + "/.ssh/known_hosts"; }

bool SFTPTransferController::isMissingItemError(const Error& error) const {
  const Value& status = error.userInfo().get(kSFTPLastErrorKey);
  return error.domain() == kLibssh2ErrorDomain && status.isNumber() && status.asInt() == LIBSSH2_FX_NO_SUCH_FILE;
}

bool SFTPTransferController::supportsOperation(TransferOperation operation) const {
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
// Connecting

namespace {

// The destination as shown in messages: no user password.
std::string ShownDestination(const Url& url) {
  std::string text = "ssh://" + url.user() + "@" + url.host();
  if (url.port()) text += ":" + std::to_string(*url.port());
  return text;
}

// The path the server understands: "/~/x" is "x" in the user's home folder.
std::string ServerPath(const std::string& absolutePath) {
  if (absolutePath == "/~" || absolutePath == "/~/") return ".";
  if (absolutePath.rfind("/~/", 0) == 0) return absolutePath.substr(3);
  return absolutePath;
}

// Checks the server's key against known_hosts, asking the approver about an
// unknown host. Nothing on acceptance, else the refusal.
std::optional<Error> CheckHostKey(LIBSSH2_SESSION* session, const Url& url, int port) {
  std::size_t keyLength = 0;
  int keyType = 0;
  const char* key = libssh2_session_hostkey(session, &keyLength, &keyType);
  const std::string destination = ShownDestination(url);
  if (!key) return Error::transferError("\"" + destination + "\" offered no host key").markPermanent();
  const KeyKind kind = KindOfHostKey(keyType);
  const std::string offered = Fingerprint(reinterpret_cast<const unsigned char*>(key), keyLength);

  Hooks& hooks = TheHooks();
  std::lock_guard<std::mutex> knownHostsLock(hooks.knownHosts);
  LIBSSH2_KNOWNHOSTS* knownHosts = libssh2_knownhost_init(session);
  if (!knownHosts) return Error::transferError("Cannot check the host key of \"" + destination + "\"");
  struct Release {
    LIBSSH2_KNOWNHOSTS* hosts;
    ~Release() { libssh2_knownhost_free(hosts); }
  } release{knownHosts};
  const std::string path = SFTPTransferController::knownHostsPath();
  // A missing file lists no host; an unreadable one is as good as missing here.
  libssh2_knownhost_readfile(knownHosts, path.c_str(), LIBSSH2_KNOWNHOST_FILE_OPENSSH);

  libssh2_knownhost* found = nullptr;
  const int typeMask = LIBSSH2_KNOWNHOST_TYPE_PLAIN | LIBSSH2_KNOWNHOST_KEYENC_RAW | kind.knownHostBits;
  int check = libssh2_knownhost_checkp(knownHosts, url.host().c_str(), port, key, keyLength, typeMask, &found);
  if (check == LIBSSH2_KNOWNHOST_CHECK_MATCH) return std::nullopt;
  if (check == LIBSSH2_KNOWNHOST_CHECK_MISMATCH) {
    std::optional<std::string> known = found ? FingerprintOfBase64Key(found->key) : std::nullopt;
    return Error::transferError("The host key of \"" + destination + "\" has changed: " + path + " lists " +
                                known.value_or("another key") + ", the server offers " + kind.name + " " + offered +
                                ". If the server's key was replaced on purpose, remove its old entry from " +
                                path + "; otherwise someone may be intercepting the connection")
        .markPermanent();
  }

  HostKeyQuestion question{url.host(), port, kind.name, offered};
  bool approved = false;
  {
    MutexLock lock(hooks.mutex);
    if (hooks.approver) approved = hooks.approver(question);
  }
  if (!approved) {
    return Error::transferError("The host key of \"" + destination + "\" (" + kind.name + " " + offered +
                                ") is not known and was not accepted: confirm it on a terminal, or pass "
                                "--accept-new-host-key")
        .markPermanent();
  }
  const std::string hostEntry = port == 22 ? url.host() : "[" + url.host() + "]:" + std::to_string(port);
  const int addMask = LIBSSH2_KNOWNHOST_TYPE_PLAIN | LIBSSH2_KNOWNHOST_KEYENC_RAW | kind.knownHostBits;
  if (libssh2_knownhost_addc(knownHosts, hostEntry.c_str(), nullptr, key, keyLength, nullptr, 0, addMask,
                             nullptr) != 0) {
    SystemLog("%s: cannot add the host key of \"%@\"", __func__, destination);
    return std::nullopt;
  }
  const std::string folder = path.substr(0, path.rfind('/'));
  mkdir(folder.c_str(), 0700);
  if (libssh2_knownhost_writefile(knownHosts, path.c_str(), LIBSSH2_KNOWNHOST_FILE_OPENSSH) != 0) {
    SystemLog("%s: cannot write \"%@\"", __func__, path);
  }
  return std::nullopt;
}

bool MethodOffered(const char* methods, const char* method) {
  if (!methods) return false;
  std::string list = std::string(",") + methods + ",";
  return list.find(std::string(",") + method + ",") != std::string::npos;
}

bool AuthenticateWithAgent(LIBSSH2_SESSION* session, const std::string& user) {
  const char* socketPath = std::getenv("SSH_AUTH_SOCK");
  if (!socketPath || !*socketPath) return false;
  LIBSSH2_AGENT* agent = libssh2_agent_init(session);
  if (!agent) return false;
  bool authenticated = false;
  if (libssh2_agent_connect(agent) == 0 && libssh2_agent_list_identities(agent) == 0) {
    libssh2_agent_publickey* identity = nullptr;
    libssh2_agent_publickey* previous = nullptr;
    while (!authenticated && libssh2_agent_get_identity(agent, &identity, previous) == 0) {
      authenticated = libssh2_agent_userauth(agent, user.c_str(), identity) == 0;
      previous = identity;
    }
    libssh2_agent_disconnect(agent);
  }
  libssh2_agent_free(agent);
  return authenticated;
}

bool AuthenticateWithDefaultKeys(LIBSSH2_SESSION* session, const std::string& user) {
  const std::string folder = HomeFolder() + "/.ssh/";
  for (const char* name : {"id_ed25519", "id_ecdsa", "id_rsa"}) {
    const std::string keyPath = folder + name;
    if (access(keyPath.c_str(), R_OK) != 0) continue;
    const std::string publicPath = keyPath + ".pub";
    const char* publicKey = access(publicPath.c_str(), R_OK) == 0 ? publicPath.c_str() : nullptr;
    int result = libssh2_userauth_publickey_fromfile_ex(session, user.c_str(), static_cast<unsigned>(user.size()),
                                                        publicKey, keyPath.c_str(), nullptr);
    if (result == 0) return true;
    if (result != LIBSSH2_ERROR_FILE) continue;  // refused by the server, or not a key
    // The key did not open without a passphrase: ask for one.
    std::optional<std::string> passphrase;
    {
      Hooks& hooks = TheHooks();
      MutexLock lock(hooks.mutex);
      if (hooks.passphrases) passphrase = hooks.passphrases(keyPath);
    }
    if (passphrase &&
        libssh2_userauth_publickey_fromfile_ex(session, user.c_str(), static_cast<unsigned>(user.size()), publicKey,
                                               keyPath.c_str(), passphrase->c_str()) == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool SFTPTransferController::reconnect(Error* error) {
  if (connection_ && connection_->session &&
      (IsBrokenConnection(libssh2_session_last_errno(connection_->session)) || SocketWasClosed(connection_->fd))) {
    SystemLog("%s: Connection was broken", __func__);
    disconnect();
  }
  if (connection_) return true;
  InitializeLibrary();
  const Url& url = baseURL();
  const int port = url.port().value_or(22);
  const std::string destination = ShownDestination(url);
  auto fail = [&](Error failure) {
    disconnect();
    *error = std::move(failure);
    return false;
  };
  auto unreachable = [&](const std::string& why) {
    SystemLog("%s: %@", __func__, why);
    return fail(Error::transferError("\"" + destination + "\" is not reachable: " + why));
  };
  if (port <= 0) return unreachable("no port");

  connection_ = std::make_unique<Connection>();
  std::string reason;
  connection_->fd = ConnectToHost(url.host(), port, timeOut(), &reason);
  if (connection_->fd < 0) return unreachable(reason);
  connection_->session = libssh2_session_init();
  if (!connection_->session) return unreachable("libssh2_session_init() failed");
  libssh2_session_set_blocking(connection_->session, 1);
  libssh2_session_set_timeout(connection_->session, timeOut() > 0 ? static_cast<long>(timeOut() * 1000) : 0);
  if (libssh2_session_handshake(connection_->session, connection_->fd) != 0) {
    return fail(lastSessionError("The SSH handshake with \"" + destination + "\" failed"));
  }
  if (std::optional<Error> refusal = CheckHostKey(connection_->session, url, port)) return fail(*refusal);

  const std::string user = url.user();
  const char* methods =
      libssh2_userauth_list(connection_->session, user.c_str(), static_cast<unsigned>(user.size()));
  bool authenticated = libssh2_userauth_authenticated(connection_->session) != 0;
  if (!authenticated && MethodOffered(methods, "publickey")) {
    authenticated = AuthenticateWithAgent(connection_->session, user) ||
                    AuthenticateWithDefaultKeys(connection_->session, user);
  }
  std::optional<std::string> password = url.passwordByReplacingPercentEscapes();
  if (!authenticated && password && MethodOffered(methods, "password")) {
    authenticated = libssh2_userauth_password_ex(connection_->session, user.c_str(),
                                                 static_cast<unsigned>(user.size()), password->c_str(),
                                                 static_cast<unsigned>(password->size()), nullptr) == 0;
  }
  if (!authenticated) {
    int code = libssh2_session_last_errno(connection_->session);
    if (IsBrokenConnection(code)) return fail(lastSessionError("The connection to \"" + destination + "\" broke"));
    return fail(Error(kLibssh2ErrorDomain, code,
                      "\"" + destination + "\" refused the user name, keys and password" +
                          (password ? "" : " (no password was given)"))
                    .markPermanent());
  }
  connection_->sftp = libssh2_sftp_init(connection_->session);
  if (!connection_->sftp) return fail(lastSessionError("libssh2_sftp_init() failed"));
  libssh2_session_set_blocking(connection_->session, 0);
  return true;
}

void SFTPTransferController::disconnect() { connection_.reset(); }

Error SFTPTransferController::lastSessionError(const std::string& what) const {
  if (!connection_ || !connection_->session) return Error(kLibssh2ErrorDomain, -1, what);
  char* message = nullptr;
  int length = 0;
  int code = libssh2_session_last_error(connection_->session, &message, &length, 0);
  Dictionary userInfo;
  if (connection_->sftp && code == LIBSSH2_ERROR_SFTP_PROTOCOL) {
    unsigned long status = libssh2_sftp_last_error(connection_->sftp);
    if (status != 0) userInfo.set(kSFTPLastErrorKey, static_cast<long long>(status));
  }
  std::string description = what;
  if (message && length > 0) description += ": " + std::string(message, static_cast<std::size_t>(length));
  return Error(kLibssh2ErrorDomain, code, description, std::move(userInfo));
}

bool SFTPTransferController::beginOperation() {
  notifyDidStart();
  aborted_ = false;
  Error error;
  if (reconnect(&error)) return true;
  notifyDidFail(error);
  return false;
}

bool SFTPTransferController::waitForSocket() {
  int directions = libssh2_session_block_directions(connection_->session);
  short events = 0;
  if (directions & LIBSSH2_SESSION_BLOCK_INBOUND) events |= POLLIN;
  if (directions & LIBSSH2_SESSION_BLOCK_OUTBOUND) events |= POLLOUT;
  if (events == 0) events = POLLIN;
  pollfd descriptor{connection_->fd, events, 0};
  int ready = poll(&descriptor, 1, kOneSecond);
  return ready > 0;
}

template <class Call>
long SFTPTransferController::callUntilDone(Call call, bool mayAbort) {
  auto lastActivity = std::chrono::steady_clock::now();
  for (;;) {
    long result = call();
    if (result != LIBSSH2_ERROR_EAGAIN) return result;
    if (waitForSocket()) {
      lastActivity = std::chrono::steady_clock::now();
      continue;
    }
    const double idle = std::chrono::duration<double>(std::chrono::steady_clock::now() - lastActivity).count();
    if (timeOut() > 0 && idle >= timeOut()) {
      // The session is of no further use: the next operation reconnects.
      libssh2_session_set_last_error(connection_->session, LIBSSH2_ERROR_SOCKET_TIMEOUT,
                                     "the server did not answer in time");
      return LIBSSH2_ERROR_SOCKET_TIMEOUT;
    }
    if (mayAbort && shouldAbort()) {
      aborted_ = true;
      // A request may be half sent: the session cannot be trusted for the next one.
      libssh2_session_set_last_error(connection_->session, LIBSSH2_ERROR_SOCKET_TIMEOUT, "the transfer was aborted");
      return LIBSSH2_ERROR_SOCKET_TIMEOUT;
    }
  }
}

// ---------------------------------------------------------------------------
// Folders and files

std::optional<Dictionary> SFTPTransferController::contentsOfDirectoryAtPath(const std::string& path) {
  const std::string folder = ServerPath(absolutePathForRemotePath(path));
  if (!beginOperation()) return std::nullopt;
  LIBSSH2_SFTP* sftp = connection_->sftp;
  LIBSSH2_SFTP_HANDLE* handle = nullptr;
  callUntilDone(
      [&]() -> long {
        handle = libssh2_sftp_open_ex(sftp, folder.c_str(), static_cast<unsigned>(folder.size()), 0, 0,
                                      LIBSSH2_SFTP_OPENDIR);
        if (handle) return 0;
        return libssh2_session_last_errno(connection_->session);
      },
      false);
  if (!handle) {
    notifyDidFail(lastSessionError("Could not list \"" + folder + "\""));
    return std::nullopt;
  }
  Dictionary listing;
  char name[1024];
  long result = 0;
  for (;;) {
    LIBSSH2_SFTP_ATTRIBUTES attributes{};
    result = callUntilDone([&] { return static_cast<long>(libssh2_sftp_readdir(handle, name, sizeof name, &attributes)); },
                           false);
    if (result <= 0) break;
    std::string entry(name, static_cast<std::size_t>(result));
    if (entry == "." || entry.rfind("..", 0) == 0) continue;
    if (!(attributes.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS)) continue;
    const unsigned long type = attributes.permissions & LIBSSH2_SFTP_S_IFMT;
    if (type == LIBSSH2_SFTP_S_IFLNK) continue;
    Dictionary item;
    item.set(kFileType, type == LIBSSH2_SFTP_S_IFDIR ? kFileTypeDirectory : kFileTypeRegular);
    if (attributes.flags & LIBSSH2_SFTP_ATTR_ACMODTIME) {
      item.set(kFileModificationDate, Date::fromUnixTime(static_cast<double>(attributes.mtime)));
    }
    if (type == LIBSSH2_SFTP_S_IFREG && (attributes.flags & LIBSSH2_SFTP_ATTR_SIZE)) {
      item.set(kFileSize, static_cast<long long>(attributes.filesize));
    }
    listing.set(entry, std::move(item));
  }
  const Error failure = lastSessionError("Could not list \"" + folder + "\"");
  callUntilDone([&] { return static_cast<long>(libssh2_sftp_closedir(handle)); }, false);
  if (result < 0) notifyDidFail(failure);
  else notifyDidSucceed();
  return listing;
}

bool SFTPTransferController::makeFolderWithParents(const std::string& absolutePath) {
  auto makeOne = [&](const std::string& folder) {
    return callUntilDone(
        [&] {
          return static_cast<long>(libssh2_sftp_mkdir_ex(connection_->sftp, folder.c_str(),
                                                         static_cast<unsigned>(folder.size()), kFolderMode));
        },
        false);
  };
  auto exists = [&](const std::string& folder) {
    LIBSSH2_SFTP_ATTRIBUTES attributes{};
    return callUntilDone(
               [&] {
                 return static_cast<long>(libssh2_sftp_stat_ex(connection_->sftp, folder.c_str(),
                                                               static_cast<unsigned>(folder.size()),
                                                               LIBSSH2_SFTP_STAT, &attributes));
               },
               false) == 0;
  };
  if (makeOne(absolutePath) == 0) return true;
  // Make the missing folders above it, top down.
  std::vector<std::string> missing{absolutePath};
  for (std::string folder = absolutePath;;) {
    std::size_t slash = folder.find_last_of('/');
    if (slash == std::string::npos || slash == 0) break;
    folder.resize(slash);
    if (exists(folder)) break;
    missing.push_back(folder);
  }
  for (auto folder = missing.rbegin(); folder != missing.rend(); ++folder) {
    if (makeOne(*folder) != 0 && !exists(*folder)) return false;
  }
  return true;
}

bool SFTPTransferController::createDirectoryAtPath(const std::string& path) {
  const std::string folder = ServerPath(absolutePathForRemotePath(path));
  if (!beginOperation()) return false;
  const bool baseFolder = path.find_first_not_of('/') == std::string::npos;
  bool made = baseFolder ? makeFolderWithParents(folder)
                         : callUntilDone(
                               [&] {
                                 return static_cast<long>(libssh2_sftp_mkdir_ex(
                                     connection_->sftp, folder.c_str(), static_cast<unsigned>(folder.size()),
                                     kFolderMode));
                               },
                               false) == 0;
  if (!made) {
    notifyDidFail(lastSessionError("Could not create the folder \"" + folder + "\""));
    return false;
  }
  notifyDidSucceed();
  return true;
}

bool SFTPTransferController::movePath(const std::string& fromPath, const std::string& toPath) {
  const std::string from = ServerPath(absolutePathForRemotePath(fromPath));
  const std::string to = ServerPath(absolutePathForRemotePath(toPath));
  if (!beginOperation()) return false;
  const long flags = LIBSSH2_SFTP_RENAME_OVERWRITE | LIBSSH2_SFTP_RENAME_ATOMIC | LIBSSH2_SFTP_RENAME_NATIVE;
  long result = callUntilDone(
      [&] {
        return static_cast<long>(libssh2_sftp_rename_ex(connection_->sftp, from.c_str(),
                                                        static_cast<unsigned>(from.size()), to.c_str(),
                                                        static_cast<unsigned>(to.size()), flags));
      },
      false);
  if (result != 0) {
    // Servers of the common SFTP version 3 do not replace a target: remove
    // it and try once more.
    LIBSSH2_SFTP_ATTRIBUTES attributes{};
    bool targetExists = callUntilDone(
                            [&] {
                              return static_cast<long>(libssh2_sftp_stat_ex(connection_->sftp, to.c_str(),
                                                                            static_cast<unsigned>(to.size()),
                                                                            LIBSSH2_SFTP_LSTAT, &attributes));
                            },
                            false) == 0;
    if (targetExists &&
        callUntilDone([&] { return static_cast<long>(libssh2_sftp_unlink_ex(connection_->sftp, to.c_str(),
                                                                             static_cast<unsigned>(to.size()))); },
                      false) == 0) {
      result = callUntilDone(
          [&] {
            return static_cast<long>(libssh2_sftp_rename_ex(connection_->sftp, from.c_str(),
                                                            static_cast<unsigned>(from.size()), to.c_str(),
                                                            static_cast<unsigned>(to.size()), flags));
          },
          false);
    }
  }
  if (result != 0) {
    notifyDidFail(lastSessionError("Could not move \"" + from + "\" to \"" + to + "\""));
    return false;
  }
  notifyDidSucceed();
  return true;
}

bool SFTPTransferController::deleteFileAtPath(const std::string& path) { return deleteItem(path, false); }

bool SFTPTransferController::deleteDirectoryAtPath(const std::string& path) { return deleteItem(path, true); }

bool SFTPTransferController::deleteItem(const std::string& path, bool folder) {
  const std::string item = ServerPath(absolutePathForRemotePath(path));
  const auto length = static_cast<unsigned>(item.size());
  const std::string failure = folder ? "Could not delete the folder \"" + item + "\"" : "Could not delete \"" + item + "\"";
  if (!beginOperation()) return false;
  LIBSSH2_SFTP_ATTRIBUTES attributes{};
  long status = callUntilDone(
      [&] {
        return static_cast<long>(
            libssh2_sftp_stat_ex(connection_->sftp, item.c_str(), length, LIBSSH2_SFTP_LSTAT, &attributes));
      },
      false);
  // A missing item counts as deleted; anything else that stops the look does not.
  bool deleted = status != 0 ? libssh2_sftp_last_error(connection_->sftp) == LIBSSH2_FX_NO_SUCH_FILE
                             : callUntilDone(
                                   [&] {
                                     return static_cast<long>(
                                         folder ? libssh2_sftp_rmdir_ex(connection_->sftp, item.c_str(), length)
                                                : libssh2_sftp_unlink_ex(connection_->sftp, item.c_str(), length));
                                   },
                                   false) == 0;
  if (!deleted) {
    notifyDidFail(lastSessionError(failure));
    return false;
  }
  notifyDidSucceed();
  return true;
}

// ---------------------------------------------------------------------------
// Transfers

namespace {

// Closes a remote file however the transfer ends.
class RemoteFile {
 public:
  RemoteFile(LIBSSH2_SFTP_HANDLE* handle, std::function<void(LIBSSH2_SFTP_HANDLE*)> closer)
      : handle_(handle), closer_(std::move(closer)) {}
  ~RemoteFile() {
    if (handle_) closer_(handle_);
  }
  LIBSSH2_SFTP_HANDLE* get() const { return handle_; }

 private:
  LIBSSH2_SFTP_HANDLE* handle_;
  std::function<void(LIBSSH2_SFTP_HANDLE*)> closer_;
};

// The stream's own error when it has one, else "<message> (status = N)".
Error OutputStreamError(const OutputStream& stream, const std::string& message) {
  std::optional<Error> own = stream.streamError();
  if (own && own->code() != 0) return *own;
  return Error::transferError(message + " (status = " + std::to_string(static_cast<int>(stream.streamStatus())) +
                              ")");
}

}  // namespace

LIBSSH2_SFTP_HANDLE* SFTPTransferController::openRemoteFile(const std::string& file, unsigned long flags, long mode) {
  LIBSSH2_SFTP_HANDLE* handle = nullptr;
  callUntilDone(
      [&]() -> long {
        handle = libssh2_sftp_open_ex(connection_->sftp, file.c_str(), static_cast<unsigned>(file.size()), flags,
                                      mode, LIBSSH2_SFTP_OPENFILE);
        return handle ? 0 : libssh2_session_last_errno(connection_->session);
      },
      true);
  return handle;
}

void SFTPTransferController::closeRemoteFile(LIBSSH2_SFTP_HANDLE* handle) {
  if (connection_) callUntilDone([&] { return static_cast<long>(libssh2_sftp_close_handle(handle)); }, false);
}

bool SFTPTransferController::uploadFileToPathImpl(const std::string& path, InputStream& stream) {
  const std::string file = ServerPath(absolutePathForRemotePath(path));
  if (!openInputStream(stream, true)) return false;
  struct CloseStream {
    SFTPTransferController* self;
    InputStream& stream;
    ~CloseStream() { self->closeInputStream(stream); }
  } closeStream{this, stream};
  if (!beginOperation()) return false;

  LIBSSH2_SFTP_HANDLE* handle = openRemoteFile(file, LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_TRUNC, kFileMode);
  if (!handle) {
    if (!aborted_) notifyDidFail(lastSessionError("Could not create \"" + file + "\""));
    return false;
  }
  RemoteFile remote(handle, [this](LIBSSH2_SFTP_HANDLE* h) { closeRemoteFile(h); });

  std::vector<std::uint8_t> buffer(kTransferChunkSize);
  std::uint64_t uploaded = 0;
  for (;;) {
    long count = readFromInputStream(stream, buffer.data(), buffer.size());
    if (count == 0) break;
    if (count < 0) {
      notifyDidFail(Error::transferError("Failed reading from input stream"));
      return false;
    }
    std::size_t written = 0;
    while (written < static_cast<std::size_t>(count)) {
      long result = callUntilDone(
          [&] {
            return static_cast<long>(libssh2_sftp_write(handle, reinterpret_cast<char*>(buffer.data()) + written,
                                                        static_cast<std::size_t>(count) - written));
          },
          true);
      if (result < 0) {
        if (!aborted_) notifyDidFail(lastSessionError("Could not write \"" + file + "\""));
        return false;
      }
      written += static_cast<std::size_t>(result);
    }
    uploaded += static_cast<std::uint64_t>(count);
    setCurrentLength(uploaded);
    if (shouldAbort()) return false;
  }
  // The server confirms the last writes when the file closes.
  LIBSSH2_SFTP_HANDLE* closing = handle;
  remote = RemoteFile(nullptr, {});
  if (callUntilDone([&] { return static_cast<long>(libssh2_sftp_close_handle(closing)); }, true) != 0) {
    if (!aborted_) notifyDidFail(lastSessionError("Could not finish \"" + file + "\""));
    return false;
  }
  notifyDidSucceed();
  return true;
}

bool SFTPTransferController::downloadFileFromPathImpl(const std::string& path, OutputStream& stream) {
  const std::string file = ServerPath(absolutePathForRemotePath(path));
  if (!openOutputStream(stream, true)) return false;
  struct CloseStream {
    SFTPTransferController* self;
    OutputStream& stream;
    ~CloseStream() { self->closeOutputStream(stream); }
  } closeStream{this, stream};
  if (!beginOperation()) return false;

  LIBSSH2_SFTP_HANDLE* handle = openRemoteFile(file, LIBSSH2_FXF_READ, 0);
  if (!handle) {
    if (!aborted_) notifyDidFail(lastSessionError("Could not open \"" + file + "\""));
    return false;
  }
  RemoteFile remote(handle, [this](LIBSSH2_SFTP_HANDLE* h) { closeRemoteFile(h); });
  LIBSSH2_SFTP_ATTRIBUTES attributes{};
  if (callUntilDone([&] { return static_cast<long>(libssh2_sftp_fstat_ex(handle, &attributes, 0)); }, true) != 0 ||
      !(attributes.flags & LIBSSH2_SFTP_ATTR_SIZE)) {
    if (!aborted_) notifyDidFail(lastSessionError("Could not read the size of \"" + file + "\""));
    return false;
  }
  // A stored file's size is not trusted beyond what the caller can take.
  if (downloadSizeLimit() != 0 && attributes.filesize > downloadSizeLimit()) {
    notifyDidFail(Error::posixError(EFBIG, "Could not read \"" + file + "\": its " +
                                               std::to_string(attributes.filesize) + " bytes exceed the " +
                                               std::to_string(downloadSizeLimit()) + " expected",
                                    file));
    return false;
  }
  setMaxLength(attributes.filesize);

  std::vector<std::uint8_t> buffer(kTransferChunkSize);
  std::uint64_t received = 0;
  for (;;) {
    long count = callUntilDone(
        [&] { return static_cast<long>(libssh2_sftp_read(handle, reinterpret_cast<char*>(buffer.data()), buffer.size())); },
        true);
    if (count < 0) {
      if (!aborted_) notifyDidFail(lastSessionError("Could not read \"" + file + "\""));
      return false;
    }
    if (count == 0) break;
    // Reading stops at the size the file had when it opened.
    if (received + static_cast<std::uint64_t>(count) > attributes.filesize) {
      notifyDidFail(Error::transferError("\"" + file + "\" grew while it was read"));
      return false;
    }
    if (!writeToOutputStream(stream, buffer.data(), static_cast<std::size_t>(count))) {
      notifyDidFail(OutputStreamError(stream, "Failed writing to output stream"));
      return false;
    }
    received += static_cast<std::uint64_t>(count);
    setCurrentLength(received);
    if (shouldAbort()) return false;
  }
  if (!flushOutputStream(stream)) {
    notifyDidFail(OutputStreamError(stream, "Failed flushing output stream"));
    return false;
  }
  notifyDidSucceed();
  return true;
}

}  // namespace quorvel
