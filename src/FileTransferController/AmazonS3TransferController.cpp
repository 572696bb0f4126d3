#include "FileTransferController/AmazonS3TransferController.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <regex>
#include <sstream>

#include "FileTransferController/S3Signing.h"
#include "foundation/UserDefaults.h"

namespace quorvel {

namespace {

constexpr const char* kDefaultServiceHost = "s3.amazonaws.com";
constexpr const char* kDefaultServiceDomain = "amazonaws.com";
constexpr const char* kDefaultRegion = "us-east-1";

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool Truthy(const std::string& value) {
  const std::string lower = Lower(value);
  return lower.empty() || lower == "1" || lower == "yes" || lower == "true" || lower == "on";
}

// The query's parameters, unescaped; a name without "=" has an empty value.
std::map<std::string, std::string> QueryParameters(const Url& url) {
  std::map<std::string, std::string> parameters;
  std::istringstream query(url.query());
  for (std::string parameter; std::getline(query, parameter, '&');) {
    if (parameter.empty()) continue;
    std::size_t equals = parameter.find('=');
    std::string name = parameter.substr(0, equals);
    std::string value = equals == std::string::npos ? std::string() : parameter.substr(equals + 1);
    parameters[Url::unescape(name).value_or(name)] = Url::unescape(value).value_or(value);
  }
  return parameters;
}

std::string Parameter(const std::map<std::string, std::string>& parameters, const std::string& name,
                      const std::string& userDefault, const std::string& fallback) {
  auto found = parameters.find(name);
  if (found != parameters.end() && !found->second.empty()) return found->second;
  std::string stored = UserDefaults::standard().stringForKey(userDefault);
  return stored.empty() ? fallback : stored;
}

bool IsIPAddress(const std::string& host) {
  if (host.find(':') != std::string::npos) return true;
  return !host.empty() && host.find_first_not_of("0123456789.") == std::string::npos;
}

// A bucket name usable as a host label (for virtual-host requests).
bool IsDNSBucket(const std::string& bucket, bool secure) {
  if (bucket.size() < 3 || bucket.size() > 63) return false;
  if (bucket.front() == '-' || bucket.back() == '-' || bucket.front() == '.' || bucket.back() == '.') return false;
  for (char c : bucket) {
    if (c == '.' && !secure) continue;  // a dotted name breaks the certificate's wildcard
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
  }
  return true;
}

// Path components joined with "/", without empty ones.
std::string JoinedKey(const std::string& first, const std::string& second) {
  std::string key;
  for (const std::string* part : {&first, &second}) {
    std::istringstream components(*part);
    for (std::string component; std::getline(components, component, '/');) {
      if (component.empty()) continue;
      key += (key.empty() ? "" : "/") + component;
    }
  }
  return key;
}

// ---- XML by local name --------------------------------------------------

const char* LocalName(const pugi::xml_node& node) {
  const char* name = node.name();
  const char* colon = std::strrchr(name, ':');
  return colon ? colon + 1 : name;
}

bool IsNamed(const pugi::xml_node& node, const char* localName) {
  return node.type() == pugi::node_element && std::strcmp(LocalName(node), localName) == 0;
}

pugi::xml_node Child(const pugi::xml_node& parent, const char* localName) {
  for (pugi::xml_node child : parent.children()) {
    if (IsNamed(child, localName)) return child;
  }
  return pugi::xml_node();
}

std::string ChildText(const pugi::xml_node& parent, const char* localName) {
  return Child(parent, localName).child_value();
}

bool LoadXML(pugi::xml_document& document, const std::string& body, std::string* error) {
  pugi::xml_parse_result parsed = document.load_buffer(body.data(), body.size());
  if (!parsed) {
    if (error) *error = std::string("the answer is not XML: ") + parsed.description();
    return false;
  }
  return true;
}

// "Tue, 08 Dec 2026 22:00:00 +0000" (V2) and "20261208T220000Z" (V4), with
// English names whatever the process's locale.
void Timestamps(double seconds, std::string* httpDate, std::string* amzDate) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::time_t whole = static_cast<std::time_t>(seconds);
  std::tm fields{};
  gmtime_r(&whole, &fields);
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d +0000", kDays[fields.tm_wday], fields.tm_mday,
                kMonths[fields.tm_mon], fields.tm_year + 1900, fields.tm_hour, fields.tm_min, fields.tm_sec);
  *httpDate = text;
  std::snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d%02dZ", fields.tm_year + 1900, fields.tm_mon + 1,
                fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec);
  *amzDate = text;
}

}  // namespace

// ---------------------------------------------------------------------------
// Answers

std::optional<Date> ParseS3Date(const std::string& text) {
  int year, month, day, hour, minute;
  double second;
  if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%lf", &year, &month, &day, &hour, &minute, &second) != 6)
    return std::nullopt;
  std::tm fields{};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  return Date::fromUnixTime(static_cast<double>(timegm(&fields)) + second);
}

std::optional<S3ListingPage> ParseS3ListBucketResult(const std::string& body, std::string* error) {
  pugi::xml_document document;
  if (!LoadXML(document, body, error)) return std::nullopt;
  pugi::xml_node root = document.document_element();
  if (!IsNamed(root, "ListBucketResult")) {
    if (error) *error = std::string("the answer is not a bucket listing (root element \"") + root.name() + "\")";
    return std::nullopt;
  }
  S3ListingPage page;
  page.isTruncated = Lower(ChildText(root, "IsTruncated")) == "true";
  page.nextMarker = ChildText(root, "NextMarker");
  page.nextContinuationToken = ChildText(root, "NextContinuationToken");
  for (pugi::xml_node child : root.children()) {
    if (IsNamed(child, "Contents")) {
      S3ListingPage::Object object;
      object.key = ChildText(child, "Key");
      const std::string size = ChildText(child, "Size");
      object.size = std::strtoull(size.c_str(), nullptr, 10);
      object.modified = ParseS3Date(ChildText(child, "LastModified"));
      page.objects.push_back(std::move(object));
    } else if (IsNamed(child, "CommonPrefixes")) {
      page.commonPrefixes.push_back(ChildText(child, "Prefix"));
    }
  }
  return page;
}

std::pair<std::string, std::string> ParseS3ErrorDocument(const std::string& body) {
  pugi::xml_document document;
  if (body.empty() || !LoadXML(document, body, nullptr)) return {};
  pugi::xml_node root = document.document_element();
  return {ChildText(root, "Code"), ChildText(root, "Message")};
}

bool IsS3BucketNameValid(const std::string& name) {
  if (name.size() < 3 || name.size() > 63 || name.back() == '-') return false;
  return std::all_of(name.begin(), name.end(),
                     [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'; });
}

bool IsS3URL(const Url& url) {
  if (url.scheme() != "http" && url.scheme() != "https") return false;
  const std::map<std::string, std::string> parameters = QueryParameters(url);
  auto flag = parameters.find("s3");
  if (flag != parameters.end() && Truthy(flag->second)) return true;
  const std::string domain = Lower(Parameter(parameters, "service-domain", "S3ServiceDomain", kDefaultServiceDomain));
  const std::string host = Lower(url.host());
  return !domain.empty() && (host == domain || (host.size() > domain.size() && host.ends_with("." + domain)));
}

// ---------------------------------------------------------------------------
// Creation

std::shared_ptr<AmazonS3TransferController> AmazonS3TransferController::initWithBaseURL(const Url& url) {
  return makeController<AmazonS3TransferController>(url);
}

std::shared_ptr<SecureAmazonS3TransferController> SecureAmazonS3TransferController::initWithBaseURL(const Url& url) {
  return makeController<SecureAmazonS3TransferController>(url);
}

std::shared_ptr<AmazonS3TransferController> AmazonS3TransferController::initWithAccessKeyID(
    const std::string& accessKeyID, const std::string& secretAccessKey, const std::string& bucket) {
  if (accessKeyID.empty() || secretAccessKey.empty()) return nullptr;
  std::string host = UserDefaults::standard().stringForKey("S3ServiceHost");
  if (host.empty()) host = kDefaultServiceHost;
  if (!bucket.empty()) host = bucket + "." + host;
  return makeControllerWithHost<AmazonS3TransferController>(host, 0, accessKeyID, secretAccessKey, "");
}

bool AmazonS3TransferController::initializeWithBaseURL(const Url& url) {
  if (!HTTPTransferController::initializeWithBaseURL(url)) return false;
  accessKey_ = url.user();
  secretKey_ = url.passwordByReplacingPercentEscapes().value_or("");
  if (accessKey_.empty() || secretKey_.empty()) return false;
  const std::map<std::string, std::string> parameters = QueryParameters(url);
  const std::string host = Lower(url.host());
  const bool secure = url.scheme() == "https";

  // A bucket host: the labels before one that is "s3" or begins with "s3-".
  bool bucketHost = false;
  if (!IsIPAddress(host)) {
    for (std::size_t dot = host.find('.'); dot != std::string::npos; dot = host.find('.', dot + 1)) {
      const std::string rest = host.substr(dot + 1);
      if (rest.rfind("s3.", 0) == 0 || rest.rfind("s3-", 0) == 0 || rest == "s3") {
        bucket_ = host.substr(0, dot);
        serviceHost_ = rest;
        bucketHost = true;
        break;
      }
    }
  }
  const std::string path = url.path();
  if (bucketHost) {
    folder_ = JoinedKey(path, "");
  } else {
    serviceHost_ = host;
    const std::string key = JoinedKey(path, "");
    const std::size_t slash = key.find('/');
    bucket_ = key.substr(0, slash);
    folder_ = slash == std::string::npos ? std::string() : key.substr(slash + 1);
  }

  // The region: given, or the one an AWS endpoint names, or the default.
  static const std::regex kRegionalHost(R"(^s3[.-](?:dualstack\.)?([a-z0-9-]+)\.amazonaws\.com(\.cn)?$)");
  std::string hostRegion;
  std::smatch match;
  if (std::regex_match(serviceHost_, match, kRegionalHost)) {
    hostRegion = match[1].str() == "external-1" ? std::string(kDefaultRegion) : match[1].str();
  }
  auto givenRegion = parameters.find("region");
  if (givenRegion != parameters.end() && !givenRegion->second.empty()) region_ = givenRegion->second;
  else if (!hostRegion.empty()) region_ = hostRegion;
  else region_ = Parameter(parameters, "region", "S3Region", kDefaultRegion);

  const std::string signature = Lower(Parameter(parameters, "signature", "S3SignatureVersion", "4"));
  signatureVersion_ = signature == "2" || signature == "v2" ? 2 : 4;

  std::string style = Lower(Parameter(parameters, "addressing", "S3AddressingStyle", "auto"));
  if (auto pathStyle = parameters.find("path-style"); pathStyle != parameters.end())
    style = Truthy(pathStyle->second) ? "path" : "virtual";
  if (style == "path") {
    addressing_ = Addressing::Path;
  } else if (style == "virtual" || style == "vhost" || style == "virtual-host") {
    addressing_ = Addressing::VirtualHost;
  } else if (bucketHost) {
    addressing_ = Addressing::VirtualHost;
  } else {
    // Amazon prefers bucket hosts; every S3-compatible server takes paths.
    const bool amazon = serviceHost_.ends_with(".amazonaws.com") || serviceHost_.ends_with(".amazonaws.com.cn");
    addressing_ = amazon && IsDNSBucket(bucket_, secure) ? Addressing::VirtualHost : Addressing::Path;
  }
  if (bucket_.empty()) addressing_ = Addressing::Path;

  auto location = parameters.find("bucket-location");
  newBucketLocation_ = location != parameters.end() ? location->second
                                                    : (region_ == kDefaultRegion ? std::string() : region_);
  return true;
}

bool AmazonS3TransferController::supportsOperation(TransferOperation operation) const {
  switch (operation) {
    case TransferOperation::ContentsOfDirectory:
    case TransferOperation::CreateDirectory:
    case TransferOperation::DeleteFile:
    case TransferOperation::DeleteDirectory:
    case TransferOperation::CopyPath:
      return true;
    default:
      return false;
  }
}

// ---------------------------------------------------------------------------
// Requests

std::string AmazonS3TransferController::keyForPath(const std::string& path) const {
  return JoinedKey(folder_, path);
}

std::string AmazonS3TransferController::requestURL(const std::string& key,
                                                   const std::vector<std::pair<std::string, std::string>>& query,
                                                   std::string* host, std::string* escapedPath) const {
  std::string name = addressing_ == Addressing::VirtualHost ? bucket_ + "." + serviceHost_ : serviceHost_;
  if (name.find(':') != std::string::npos) name = "[" + name + "]";
  *host = name + (baseURL().port() ? ":" + std::to_string(*baseURL().port()) : std::string());
  if (addressing_ == Addressing::VirtualHost) {
    *escapedPath = "/" + S3URIEncode(key, true);
  } else {
    *escapedPath = "/" + S3URIEncode(bucket_, false);
    if (!key.empty()) *escapedPath += "/" + S3URIEncode(key, true);
    if (bucket_.empty()) *escapedPath = "/";
  }
  std::string url = urlScheme() + "://" + *host + *escapedPath;
  const std::string canonicalQuery = S3V4CanonicalQuery(query);
  if (!canonicalQuery.empty()) url += "?" + canonicalQuery;
  return url;
}

std::optional<Url> AmazonS3TransferController::absoluteURLForRemotePath(const std::string& path) {
  std::string host, escapedPath;
  return Url::URLWithString(requestURL(keyForPath(path), {}, &host, &escapedPath));
}

bool AmazonS3TransferController::prepareRequest(Request& request, Error* error) {
  const double now = clock_ ? clock_() : static_cast<double>(std::time(nullptr));
  std::string httpDate, amzDate;
  Timestamps(now, &httpDate, &amzDate);
  // The request's own headers ("Name: value") take part in the signature.
  S3HeaderList headers;
  for (const std::string& line : request.headers) {
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    headers.emplace_back(line.substr(0, colon), value);
  }
  request.headers.push_back("Host: " + pending_.host);
  if (signatureVersion_ == 2) {
    request.headers.push_back("Date: " + httpDate);
    headers.emplace_back("Date", httpDate);
    // A sub-resource is signed with the bucket it belongs to.
    std::string subresource;
    if (pending_.query.size() == 1 && pending_.query.front().second.empty()) subresource = pending_.query.front().first;
    const std::string resource = S3V2CanonicalResource(
        addressing_ == Addressing::VirtualHost ? bucket_ : std::string(), pending_.escapedPath, subresource);
    const std::string signature = S3V2Signature(S3V2StringToSign(request.method, headers, resource), secretKey_);
    request.headers.push_back("Authorization: AWS " + accessKey_ + ":" + signature);
  } else {
    request.headers.push_back("x-amz-date: " + amzDate);
    request.headers.push_back("x-amz-content-sha256: " + pending_.payloadHash);
    S3V4Request signing;
    signing.method = request.method;
    signing.escapedPath = pending_.escapedPath;
    signing.query = pending_.query;
    signing.payloadHash = pending_.payloadHash;
    signing.headers = {{"host", pending_.host}, {"x-amz-date", amzDate}, {"x-amz-content-sha256", pending_.payloadHash}};
    for (const auto& [name, value] : headers) {
      const std::string lower = Lower(name);
      if (lower == "content-type" || lower == "content-md5" || lower.rfind("x-amz-", 0) == 0)
        signing.headers.emplace_back(name, value);
    }
    request.headers.push_back("Authorization: " +
                              S3V4Authorization(signing, accessKey_, secretKey_, amzDate, region_, "s3"));
  }
  // No "Expect: 100-continue" wait before a body: one round trip less.
  request.headers.push_back("Expect:");
  return true;
}

Error AmazonS3TransferController::s3ErrorForResponse(const std::string& body) const {
  const std::pair<std::string, std::string> document = ParseS3ErrorDocument(body);
  const std::string& code = document.first;
  const std::string& message = document.second;
  const long status = response_.status;
  if (code.empty() && message.empty()) {
    Error error = errorForResponse();
    if (status == 401 || status == 403) {
      return Error(kHTTPErrorDomain, status, "The S3 server refused the access to \"" + shownDestination() + "\"")
          .markPermanent();
    }
    return error;
  }
  static const char* const kRefusals[] = {"SignatureDoesNotMatch", "InvalidAccessKeyId", "AccessDenied",
                                          "RequestTimeTooSkewed",  "AuthorizationHeaderMalformed",
                                          "InvalidSecurity",       "AccountProblem", "InvalidToken",
                                          "ExpiredToken"};
  const std::string text = message.empty() ? code : message;
  Dictionary userInfo;
  userInfo.set(kErrorFailureReasonKey, "S3 error " + code + " (HTTP status " + std::to_string(status) + ") from " +
                                           shownDestination());
  const bool refused = status == 401 || status == 403 ||
                       std::find_if(std::begin(kRefusals), std::end(kRefusals),
                                    [&](const char* name) { return code == name; }) != std::end(kRefusals);
  if (refused) {
    return Error(kHTTPErrorDomain, status,
                 "The S3 server refused the access key or signature for \"" + shownDestination() + "\": " + text +
                     " (" + code + ")",
                 std::move(userInfo))
        .markPermanent();
  }
  return Error(kHTTPErrorDomain, status, "Amazon S3 Error: " + text + (code.empty() ? "" : " (" + code + ")"),
               std::move(userInfo));
}

bool AmazonS3TransferController::run(Request& request, const std::string& key,
                                     const std::vector<std::pair<std::string, std::string>>& query,
                                     std::initializer_list<long> accepted,
                                     std::initializer_list<const char*> acceptedCodes) {
  if (bucket_.empty() && !(key.empty() && query.empty() && request.method == "GET")) {
    notifyDidFail(Error::transferError("The S3 destination \"" + shownDestination() + "\" names no bucket"));
    return false;
  }
  request.url = requestURL(key, query, &pending_.host, &pending_.escapedPath);
  pending_.query = query;
  pending_.payloadHash = request.body ? std::string("UNSIGNED-PAYLOAD") : SHA256Hex(request.bodyText);
  request.errorBody = &errorBody_;
  request.followRedirects = false;
  Error error;
  bool aborted = false;
  if (!perform(request, &error, &aborted)) {
    if (!aborted) notifyDidFail(error);
    return false;
  }
  if (std::find(accepted.begin(), accepted.end(), response_.status) == accepted.end()) {
    const std::string code = ParseS3ErrorDocument(errorBody_).first;
    for (const char* accepted : acceptedCodes) {
      if (code == accepted) return true;
    }
    notifyDidFail(s3ErrorForResponse(errorBody_));
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Operations

std::optional<S3ListingPage> AmazonS3TransferController::bucketKeys(const std::string& prefix,
                                                                    const std::string& marker,
                                                                    const std::string& delimiter, unsigned maxKeys) {
  std::vector<std::pair<std::string, std::string>> query;
  if (!prefix.empty()) query.emplace_back("prefix", prefix);
  if (!marker.empty()) query.emplace_back("marker", marker);
  if (!delimiter.empty()) query.emplace_back("delimiter", delimiter);
  if (maxKeys != 0) query.emplace_back("max-keys", std::to_string(maxKeys));
  std::string body;
  Request request;
  request.method = "GET";
  request.memoryBody = &body;
  if (!run(request, "", query, {200})) return std::nullopt;
  std::string problem;
  std::optional<S3ListingPage> page = ParseS3ListBucketResult(body, &problem);
  if (!page) {
    notifyDidFail(Error::transferError("Could not read the listing of \"" + shownDestination() + "\": " + problem));
    return std::nullopt;
  }
  return page;
}

std::optional<Dictionary> AmazonS3TransferController::contentsOfDirectoryAtPath(const std::string& path) {
  const std::string key = keyForPath(path);
  Dictionary listing;
  if (bucket_.empty()) {
    // The service itself: its buckets, as folders.
    std::string body;
    Request request;
    request.method = "GET";
    request.memoryBody = &body;
    if (!run(request, "", {}, {200})) return std::nullopt;
    pugi::xml_document document;
    std::string problem;
    if (!LoadXML(document, body, &problem) || !IsNamed(document.document_element(), "ListAllMyBucketsResult")) {
      notifyDidFail(Error::transferError("Could not read the bucket list of \"" + shownDestination() + "\""));
      return std::nullopt;
    }
    for (pugi::xml_node bucket : Child(document.document_element(), "Buckets").children()) {
      if (!IsNamed(bucket, "Bucket")) continue;
      Dictionary attributes;
      attributes.set(kFileType, kFileTypeDirectory);
      if (std::optional<Date> created = ParseS3Date(ChildText(bucket, "CreationDate")))
        attributes.set(kFileCreationDate, *created);
      listing.set(ChildText(bucket, "Name"), std::move(attributes));
    }
    notifyDidSucceed();
    return listing;
  }
  const std::string prefix = key.empty() ? std::string() : key + "/";
  std::string marker;
  for (;;) {
    std::optional<S3ListingPage> page = bucketKeys(prefix, marker, "/", 0);
    if (!page) return std::nullopt;
    std::string last;
    for (const S3ListingPage::Object& object : page->objects) {
      last = std::max(last, object.key);
      if (object.key.size() <= prefix.size()) continue;  // a folder's own marker object
      Dictionary attributes;
      attributes.set(kFileType, kFileTypeRegular);
      attributes.set(kFileSize, object.size);
      if (object.modified) attributes.set(kFileModificationDate, *object.modified);
      listing.set(object.key.substr(prefix.size()), std::move(attributes));
    }
    for (const std::string& common : page->commonPrefixes) {
      last = std::max(last, common);
      std::string name = common.substr(std::min(prefix.size(), common.size()));
      while (!name.empty() && name.back() == '/') name.pop_back();
      if (name.empty()) continue;
      Dictionary attributes;
      attributes.set(kFileType, kFileTypeDirectory);
      listing.set(name, std::move(attributes));
    }
    if (!page->isTruncated) break;
    const std::string next = page->nextMarker.empty() ? last : page->nextMarker;
    if (next.empty() || next <= marker) {
      notifyDidFail(Error::transferError("The listing of \"" + shownDestination() +
                                         "\" is truncated but names no next page"));
      return std::nullopt;
    }
    marker = next;
  }
  notifyDidSucceed();
  return listing;
}

bool AmazonS3TransferController::createDirectoryAtPath(const std::string& path) {
  if (!JoinedKey(path, "").empty()) {
    // Keys make their folders.
    notifyDidSucceed();
    return true;
  }
  Request request;
  request.method = "PUT";
  if (!newBucketLocation_.empty()) {
    request.bodyText = "<CreateBucketConfiguration><LocationConstraint>" + newBucketLocation_ +
                       "</LocationConstraint></CreateBucketConfiguration>";
    request.headers.push_back("Content-Type: application/xml");
  }
  std::string body;
  request.memoryBody = &body;
  // A bucket of one's own that is there already will do; a server that does
  // not tell whose it is (BucketAlreadyExists) is asked for a listing.
  if (!run(request, "", {}, {200, 201, 204}, {"BucketAlreadyOwnedByYou", "BucketAlreadyExists"})) return false;
  if (response_.status >= 300 && !bucketKeys("", "", "", 1)) return false;
  notifyDidSucceed();
  return true;
}

bool AmazonS3TransferController::deleteFileAtPath(const std::string& path) {
  const std::string key = keyForPath(path);
  if (key.empty()) {
    notifyDidFail(Error::transferError("No object to delete at the root of \"" + shownDestination() + "\""));
    return false;
  }
  Request request;
  request.method = "DELETE";
  if (!run(request, key, {}, {204, 200})) return false;
  notifyDidSucceed();
  return true;
}

bool AmazonS3TransferController::deleteDirectoryAtPath(const std::string& path) {
  const std::string key = keyForPath(path);
  Request request;
  request.method = "DELETE";
  if (key.empty()) {
    // The root of a destination that is a whole bucket: the bucket.
    if (!run(request, "", {}, {204, 200})) return false;
  } else {
    // Folders are key prefixes: only a folder marker object ("KEY/") may be there.
    if (!run(request, key + "/", {}, {204, 200, 404})) return false;
  }
  notifyDidSucceed();
  return true;
}

bool AmazonS3TransferController::copyPath(const std::string& fromPath, const std::string& toPath) {
  if (fromPath.empty()) {
    notifyDidFail(Error::transferError("No source to copy"));
    return false;
  }
  // A source beginning with "/" is a whole "/bucket/key" path already.
  const std::string source = fromPath.front() == '/' ? fromPath : "/" + bucket_ + "/" + keyForPath(fromPath);
  std::string body;
  Request request;
  request.method = "PUT";
  request.memoryBody = &body;
  request.headers.push_back("x-amz-copy-source: " + S3URIEncode(source, true));
  if (!run(request, keyForPath(toPath), {}, {200})) return false;
  // An error can come with status 200 too, in the body.
  pugi::xml_document document;
  if (!LoadXML(document, body, nullptr) || !IsNamed(document.document_element(), "CopyObjectResult")) {
    const auto [code, message] = ParseS3ErrorDocument(body);
    notifyDidFail(Error(kHTTPErrorDomain, response_.status,
                        "Amazon S3 Error: " + (message.empty() ? code.empty() ? std::string("copy failed") : code
                                                               : message)));
    return false;
  }
  notifyDidSucceed();
  return true;
}

std::optional<std::string> AmazonS3TransferController::locationForPath(const std::string& path) {
  std::string body;
  Request request;
  request.method = "GET";
  request.memoryBody = &body;
  if (!run(request, "", {{"location", ""}}, {200})) return std::nullopt;
  pugi::xml_document document;
  if (!LoadXML(document, body, nullptr) || !IsNamed(document.document_element(), "LocationConstraint")) {
    notifyDidFail(Error::transferError("Could not read the location of the bucket of \"" + shownDestination() + "\""));
    return std::nullopt;
  }
  notifyDidSucceed();
  return std::string(document.document_element().child_value());
}

bool AmazonS3TransferController::performTransfer(Request& request, const std::string& path,
                                                 std::initializer_list<long> accepted) {
  return run(request, keyForPath(path), {}, accepted);
}

}  // namespace quorvel
