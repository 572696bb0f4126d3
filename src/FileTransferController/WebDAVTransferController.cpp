#include "FileTransferController/WebDAVTransferController.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "foundation/Keychain.h"
#include "foundation/SystemLog.h"
#include "foundation/UserDefaults.h"

namespace quorvel {

// ---------------------------------------------------------------------------
// Reading a PROPFIND answer

namespace {

constexpr const char* kDAVNamespace = "DAV:";

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  std::size_t begin = text.find_first_not_of(" \t\r\n\"");
  if (begin == std::string::npos) return std::string();
  std::size_t end = text.find_last_not_of(" \t\r\n\"");
  return text.substr(begin, end - begin + 1);
}

// The namespace URI of an element: its prefix (or the default) looked up in
// the xmlns attributes of the element and its ancestors.
std::string NamespaceOf(const pugi::xml_node& element) {
  const std::string name = element.name();
  std::size_t colon = name.find(':');
  const std::string attribute = colon == std::string::npos ? "xmlns" : "xmlns:" + name.substr(0, colon);
  for (pugi::xml_node node = element; node; node = node.parent()) {
    if (node.type() != pugi::node_element) break;
    if (pugi::xml_attribute declared = node.attribute(attribute.c_str())) return declared.value();
  }
  return std::string();
}

bool IsDAVElement(const pugi::xml_node& node, const char* localName) {
  if (node.type() != pugi::node_element) return false;
  const char* name = node.name();
  const char* colon = std::strchr(name, ':');
  const char* local = colon ? colon + 1 : name;
  return std::strcmp(local, localName) == 0 && NamespaceOf(node) == kDAVNamespace;
}

pugi::xml_node FirstDAVChild(const pugi::xml_node& parent, const char* localName) {
  for (pugi::xml_node child : parent.children()) {
    if (IsDAVElement(child, localName)) return child;
  }
  return pugi::xml_node();
}

std::string TextOf(const pugi::xml_node& node) { return Trim(node.child_value()); }

// "2009-03-01T12:34:56Z" (fractions of a second and offsets other than Z
// are read too).
std::optional<Date> ISO8601Date(const std::string& text) {
  int year, month, day, hour, minute;
  double second;
  if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%lf", &year, &month, &day, &hour, &minute, &second) != 6)
    return std::nullopt;
  struct tm fields {};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = 0;
  double seconds = static_cast<double>(timegm(&fields)) + second;
  // An offset such as "+02:00" after the time.
  std::size_t time = text.find('T');
  std::size_t sign = text.find_first_of("+-", time);
  if (sign != std::string::npos) {
    int offsetHours = 0, offsetMinutes = 0;
    if (std::sscanf(text.c_str() + sign + 1, "%d:%d", &offsetHours, &offsetMinutes) >= 1) {
      double offset = offsetHours * 3600.0 + offsetMinutes * 60.0;
      seconds += text[sign] == '+' ? -offset : offset;
    }
  }
  return Date::fromUnixTime(seconds);
}

// "Sun, 01 Mar 2009 12:34:56 GMT", whatever the process's locale.
std::optional<Date> RFC1123Date(const std::string& text) {
  static const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                        "jul", "aug", "sep", "oct", "nov", "dec"};
  char monthName[4] = {};
  int day, year, hour, minute, second;
  if (std::sscanf(text.c_str(), "%*[^,], %d %3s %d %d:%d:%d", &day, monthName, &year, &hour, &minute, &second) != 6)
    return std::nullopt;
  int month = -1;
  for (int i = 0; i < 12; ++i) {
    if (Lower(monthName) == kMonths[i]) month = i;
  }
  if (month < 0) return std::nullopt;
  struct tm fields {};
  fields.tm_year = year - 1900;
  fields.tm_mon = month;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  return Date::fromUnixTime(static_cast<double>(timegm(&fields)));
}

// The path of an href, which may be a full URL; unescaped, without a
// trailing "/".
std::string HrefPath(const std::string& href) {
  std::string path = href;
  std::size_t scheme = path.find("://");
  if (scheme != std::string::npos) {
    std::size_t slash = path.find('/', scheme + 3);
    path = slash == std::string::npos ? std::string("/") : path.substr(slash);
  }
  std::optional<std::string> unescaped = Url::unescape(path);
  if (unescaped) path = *unescaped;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

pugi::xml_encoding EncodingForCharset(const std::string& charset) {
  if (charset.empty() || charset == "utf-8" || charset == "utf8" || charset == "us-ascii") return pugi::encoding_utf8;
  if (charset == "iso-8859-1" || charset == "latin1" || charset == "iso-latin-1") return pugi::encoding_latin1;
  if (charset == "utf-16") return pugi::encoding_utf16;
  if (charset == "utf-16le") return pugi::encoding_utf16_le;
  if (charset == "utf-16be") return pugi::encoding_utf16_be;
  if (charset == "utf-32") return pugi::encoding_utf32;
  SystemLog("%s: Invalid charset value \"%s\"", "ListingFromPROPFINDResponse", charset.c_str());
  return pugi::encoding_utf8;
}

}  // namespace

std::optional<Dictionary> ListingFromPROPFINDResponse(const std::string& body, const std::string& contentType,
                                                      const std::string& listedPath, Error* error) {
  // "text/xml; charset=\"utf-8\"": the media type and its charset.
  const std::string field = Lower(contentType);
  const std::string mediaType = Trim(field.substr(0, field.find(';')));
  std::string charset;
  std::size_t charsetAt = field.find("charset=");
  if (charsetAt != std::string::npos) {
    charset = field.substr(charsetAt + 8);
    charset = Trim(charset.substr(0, charset.find(';')));
  }
  if (mediaType != "text/xml" && mediaType != "application/xml") {
    if (mediaType.empty() || mediaType == "text/plain") {
      *error = Error(kHTTPErrorDomain, 207, "Unsupported HTTP response");
    } else {
      *error = Error::transferError("Unsupported MIME type \"" + mediaType + "\"");
    }
    return std::nullopt;
  }
  pugi::xml_document document;
  pugi::xml_parse_result parsed =
      document.load_buffer(body.data(), body.size(), pugi::parse_default, EncodingForCharset(charset));
  if (!parsed) {
    *error = Error::transferError(std::string("Could not read the folder listing: ") + parsed.description() +
                                  " at offset " + std::to_string(parsed.offset));
    return std::nullopt;
  }
  pugi::xml_node root = document.document_element();
  if (!IsDAVElement(root, "multistatus")) {
    *error = Error::transferError("Could not read the folder listing: it is not a WebDAV multistatus");
    return std::nullopt;
  }

  std::string listed = listedPath;
  while (listed.size() > 1 && listed.back() == '/') listed.pop_back();
  std::vector<pugi::xml_node> responses;
  std::vector<std::string> paths;
  for (pugi::xml_node response : root.children()) {
    if (!IsDAVElement(response, "response")) continue;
    responses.push_back(response);
    paths.push_back(HrefPath(TextOf(FirstDAVChild(response, "href"))));
  }
  // The listed folder answers for itself too, usually first; when no href
  // names it exactly (another spelling of the same path), the first is taken
  // for it.
  std::size_t self = std::find(paths.begin(), paths.end(), listed) - paths.begin();
  if (self == paths.size()) self = 0;
  Dictionary listing;
  for (std::size_t index = 0; index < responses.size(); ++index) {
    if (index == self) continue;
    const pugi::xml_node& response = responses[index];
    const std::string& path = paths[index];
    std::size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty()) continue;
    // The properties of the first propstat that was answered with 200.
    pugi::xml_node properties;
    for (pugi::xml_node propstat : response.children()) {
      if (!IsDAVElement(propstat, "propstat")) continue;
      const std::string status = TextOf(FirstDAVChild(propstat, "status"));
      if (!status.empty() && status.find(" 200") == std::string::npos) continue;
      properties = FirstDAVChild(propstat, "prop");
      if (properties) break;
    }
    Dictionary attributes;
    if (properties) {
      if (pugi::xml_node type = FirstDAVChild(properties, "resourcetype")) {
        attributes.set(kFileType, FirstDAVChild(type, "collection") ? kFileTypeDirectory : kFileTypeRegular);
      }
      if (pugi::xml_node created = FirstDAVChild(properties, "creationdate")) {
        if (std::optional<Date> date = ISO8601Date(TextOf(created))) attributes.set(kFileCreationDate, *date);
      }
      std::optional<Date> modified;
      if (pugi::xml_node node = FirstDAVChild(properties, "modificationdate")) modified = ISO8601Date(TextOf(node));
      if (!modified) {
        if (pugi::xml_node node = FirstDAVChild(properties, "getlastmodified")) modified = RFC1123Date(TextOf(node));
      }
      if (modified) attributes.set(kFileModificationDate, *modified);
      if (pugi::xml_node length = FirstDAVChild(properties, "getcontentlength")) {
        const std::string text = TextOf(length);
        char* end = nullptr;
        unsigned long long size = std::strtoull(text.c_str(), &end, 10);
        if (!text.empty() && end && *end == '\0') attributes.set(kFileSize, size);
      }
    }
    listing.set(name, std::move(attributes));
  }
  return listing;
}

// ---------------------------------------------------------------------------
// Creation

std::shared_ptr<WebDAVTransferController> WebDAVTransferController::initWithBaseURL(const Url& url) {
  return makeController<WebDAVTransferController>(url);
}

std::shared_ptr<WebDAVTransferController> WebDAVTransferController::initWithHost(const std::string& host,
                                                                                 std::uint16_t port,
                                                                                 const std::string& user,
                                                                                 const std::string& password,
                                                                                 const std::string& basePath) {
  return makeControllerWithHost<WebDAVTransferController>(host, port, user, password, basePath);
}

HostedDiskService HostedDiskService::configured() {
  const char* fromEnvironment = std::getenv(kHostEnvironmentVariable);
  if (fromEnvironment) return fromText(fromEnvironment);
  return fromText(UserDefaults::standard().stringForKey(kHostDefaultsKey));
}

HostedDiskService HostedDiskService::fromText(const std::string& hostAndPort) {
  HostedDiskService service;
  const std::size_t colon = hostAndPort.rfind(':');
  if (colon == std::string::npos) {
    service.host = hostAndPort;
    return service;
  }
  const std::string portText = hostAndPort.substr(colon + 1);
  char* end = nullptr;
  const long port = std::strtol(portText.c_str(), &end, 10);
  if (portText.empty() || *end != '\0' || port < 1 || port > 65535) return service;
  service.host = hostAndPort.substr(0, colon);
  service.port = static_cast<std::uint16_t>(port);
  return service;
}

bool HostedDiskService::matches(const Url& url) const {
  if (!exists() || url.scheme() != "http" || url.host() != host) return false;
  return port == 0 || url.port().value_or(0) == port;
}

std::string HostedDiskService::memberBasePath(const std::string& member, const std::string& basePath) {
  if (member.empty() || member == "public") return basePath;
  const std::string folder = "/" + member;
  const bool endsWithMember =
      basePath.size() >= folder.size() && basePath.compare(basePath.size() - folder.size(), folder.size(), folder) == 0;
  if (endsWithMember || basePath.rfind(folder + "/", 0) == 0) return basePath;
  if (basePath.empty()) return folder;
  return folder + (basePath.front() == '/' ? "" : "/") + basePath;
}

std::shared_ptr<WebDAVTransferController> WebDAVTransferController::initWithIDiskForUser(const std::string& user,
                                                                                         const std::string& password,
                                                                                         const std::string& basePath) {
  const HostedDiskService service = HostedDiskService::configured();
  if (!service.exists()) return nullptr;
  const std::string member = user.empty() ? UserDefaults::standard().stringForKey(HostedDiskService::kMemberDefaultsKey)
                                          : user;
  std::string memberPassword = password;
  if (!member.empty() && memberPassword.empty()) {
    memberPassword = Keychain::sharedKeychain()
                         .genericPasswordForService(HostedDiskService::kKeychainService, member)
                         .value_or("");
  }
  return initWithHost(service.host, service.port, member, memberPassword,
                      HostedDiskService::memberBasePath(member, basePath));
}

std::shared_ptr<WebDAVTransferController> WebDAVTransferController::initWithIDiskForUser(const std::string& user,
                                                                                         const std::string& basePath) {
  return initWithIDiskForUser(user, "", basePath);
}

std::shared_ptr<WebDAVTransferController> WebDAVTransferController::initWithIDiskForLocalUser(
    const std::string& basePath) {
  return initWithIDiskForUser("", "", basePath);
}

std::shared_ptr<WebDAVTransferController> WebDAVTransferController::initWithHostedDiskURL(const Url& url) {
  const std::string user = url.user();
  const std::string password = url.passwordByReplacingPercentEscapes().value_or("");
  if (!user.empty() && !password.empty()) return initWithIDiskForUser(user, password, url.path());
  if (!user.empty()) return initWithIDiskForUser(user, url.path());
  return initWithIDiskForLocalUser(url.path());
}

std::shared_ptr<SecureWebDAVTransferController> SecureWebDAVTransferController::initWithBaseURL(const Url& url) {
  return makeController<SecureWebDAVTransferController>(url);
}

bool WebDAVTransferController::supportsOperation(TransferOperation operation) const {
  switch (operation) {
    case TransferOperation::ContentsOfDirectory:
    case TransferOperation::CreateDirectory:
    case TransferOperation::DeleteFile:
    case TransferOperation::DeleteDirectoryRecursively:
    case TransferOperation::MovePath:
    case TransferOperation::CopyPath:
      return true;
    default:
      return false;
  }
}

// ---------------------------------------------------------------------------
// Operations

namespace {

std::string FolderPath(std::string absolutePath) {
  if (absolutePath.empty() || absolutePath.back() != '/') absolutePath.push_back('/');
  return absolutePath;
}

}  // namespace

std::optional<Dictionary> WebDAVTransferController::contentsOfDirectoryAtPath(const std::string& path) {
  const std::string folder = FolderPath(absolutePathForRemotePath(path));
  std::string body;
  Request request;
  request.method = "PROPFIND";
  request.url = requestURLForAbsolutePath(folder);
  request.headers = {"Depth: 1", "Brief: T"};
  request.memoryBody = &body;
  if (!performExpecting(request, {207})) return std::nullopt;
  Error error;
  std::optional<Dictionary> listing = ListingFromPROPFINDResponse(body, responseHeader("Content-Type"), folder, &error);
  if (!listing) {
    notifyDidFail(error);
    return std::nullopt;
  }
  notifyDidSucceed();
  return listing;
}

long WebDAVTransferController::makeCollection(const std::string& absoluteFolder, bool* failed) {
  Request request;
  request.method = "MKCOL";
  request.url = requestURLForAbsolutePath(FolderPath(absoluteFolder));
  Error error;
  bool aborted = false;
  if (!perform(request, &error, &aborted)) {
    if (!aborted) notifyDidFail(error);
    *failed = true;
    return -1;
  }
  return response_.status;
}

bool WebDAVTransferController::createDirectoryAtPath(const std::string& path) {
  std::string folder = absolutePathForRemotePath(path);
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  bool failed = false;
  long status = makeCollection(folder, &failed);
  if (failed) return false;
  const bool baseFolder = path.find_first_not_of('/') == std::string::npos;
  if (status == 409 && baseFolder) {
    // A folder above is missing: make them from the top down.
    std::vector<std::string> missing;
    for (std::string above = folder;;) {
      std::size_t slash = above.find_last_of('/');
      if (slash == std::string::npos || slash == 0) break;
      above.resize(slash);
      missing.push_back(above);
    }
    for (auto above = missing.rbegin(); above != missing.rend(); ++above) {
      long made = makeCollection(*above, &failed);
      if (failed) return false;
      // 405: it is there already.
      if (made != 201 && made != 405) {
        notifyDidFail(errorForResponse());
        return false;
      }
    }
    status = makeCollection(folder, &failed);
    if (failed) return false;
  }
  if (status != 201) {
    notifyDidFail(errorForResponse());
    return false;
  }
  notifyDidSucceed();
  return true;
}

bool WebDAVTransferController::movePathImpl(const std::string& fromPath, const std::string& toPath, bool copy) {
  Request request;
  request.method = copy ? "COPY" : "MOVE";
  request.url = requestURLForPath(fromPath);
  request.headers = {"Destination: " + requestURLForPath(toPath), "Overwrite: T"};
  if (!performExpecting(request, {201, 204})) return false;
  notifyDidSucceed();
  return true;
}

bool WebDAVTransferController::movePath(const std::string& fromPath, const std::string& toPath) {
  return movePathImpl(fromPath, toPath, false);
}

bool WebDAVTransferController::copyPath(const std::string& fromPath, const std::string& toPath) {
  return movePathImpl(fromPath, toPath, true);
}

bool WebDAVTransferController::deletePath(const std::string& path) {
  Request request;
  request.method = "DELETE";
  request.url = requestURLForPath(path);
  if (!performExpecting(request, {204, 200, 404})) return false;
  notifyDidSucceed();
  return true;
}

bool WebDAVTransferController::deleteFileAtPath(const std::string& path) { return deletePath(path); }

bool WebDAVTransferController::deleteDirectoryRecursivelyAtPath(const std::string& path) {
  std::string folder = path;
  if (folder.empty() || folder.back() != '/') folder.push_back('/');
  return deletePath(folder);
}

}  // namespace quorvel
