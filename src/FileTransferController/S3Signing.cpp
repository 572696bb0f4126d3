#include "FileTransferController/S3Signing.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "foundation/DataTransforms.h"

namespace quorvel {

namespace {

std::string Lowercase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Leading and trailing blanks dropped, inner runs of spaces made one.
std::string CanonicalHeaderValue(const std::string& value) {
  std::string result;
  bool space = false;
  for (char c : value) {
    if (c == ' ' || c == '\t') {
      space = true;
      continue;
    }
    if (space && !result.empty()) result.push_back(' ');
    space = false;
    result.push_back(c);
  }
  return result;
}

std::string AsString(const std::optional<Data>& data) {
  return data ? std::string(data->begin(), data->end()) : std::string();
}

std::string HMAC256(const std::string& key, const std::string& text) {
  return AsString(DataTransforms::sha256HMacWithKey(text, key));
}

// Lower-cased names with their canonical values, sorted by name (values of
// one name joined with ",", in the order given).
std::vector<std::pair<std::string, std::string>> CanonicalHeaders(const S3HeaderList& headers) {
  std::vector<std::pair<std::string, std::string>> canonical;
  for (const auto& [name, value] : headers) {
    const std::string lower = Lowercase(name);
    auto same = std::find_if(canonical.begin(), canonical.end(), [&](const auto& entry) { return entry.first == lower; });
    if (same != canonical.end()) {
      same->second += "," + CanonicalHeaderValue(value);
    } else {
      canonical.emplace_back(lower, CanonicalHeaderValue(value));
    }
  }
  std::stable_sort(canonical.begin(), canonical.end(),
                   [](const auto& left, const auto& right) { return left.first < right.first; });
  return canonical;
}

}  // namespace

std::string S3URIEncode(const std::string& text, bool keepSlash) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~' || (keepSlash && c == '/')) {
      encoded.push_back(c);
    } else {
      encoded.push_back('%');
      encoded.push_back(kHex[byte >> 4]);
      encoded.push_back(kHex[byte & 15]);
    }
  }
  return encoded;
}

std::string HexString(const std::string& bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (char c : bytes) {
    auto byte = static_cast<unsigned char>(c);
    hex.push_back(kHex[byte >> 4]);
    hex.push_back(kHex[byte & 15]);
  }
  return hex;
}

std::string SHA256Hex(const std::string& text) {
  return HexString(AsString(DataTransforms::sha256DigestWithBytes(text.data(), text.size())));
}

// ---------------------------------------------------------------------------
// Version 2

std::string S3V2CanonicalResource(const std::string& bucket, const std::string& escapedPath,
                                  const std::string& query) {
  std::string resource = escapedPath.empty() ? std::string("/") : escapedPath;
  if (!bucket.empty()) resource = "/" + bucket + resource;
  if (query == "location" || query == "logging" || query == "torrent") resource += "?" + query;
  return resource;
}

std::string S3V2StringToSign(const std::string& method, const S3HeaderList& headers,
                             const std::string& canonicalResource) {
  std::string contentMD5, contentType, date;
  bool amzDate = false;
  for (const auto& [name, value] : headers) {
    const std::string lower = Lowercase(name);
    if (lower == "content-md5") contentMD5 = value;
    else if (lower == "content-type") contentType = value;
    else if (lower == "date") date = value;
    else if (lower == "x-amz-date") amzDate = true;
  }
  // With x-amz-date the Date line is empty: the date is signed as an amazon header.
  if (amzDate) date.clear();
  std::string text = method + "\n" + contentMD5 + "\n" + contentType + "\n" + date + "\n";
  for (const auto& [name, value] : CanonicalHeaders(headers)) {
    if (name.rfind("x-amz-", 0) == 0) text += name + ":" + value + "\n";
  }
  return text + canonicalResource;
}

std::string S3V2Signature(const std::string& stringToSign, const std::string& secretKey) {
  const Data text(stringToSign.begin(), stringToSign.end());
  // The platform HMAC takes the key up to a NUL, which no secret key holds.
  std::optional<Data> mac = DataTransforms::sha1HMacWithKey(text, secretKey);
  std::optional<std::string> encoded = mac ? DataTransforms::encodeBase64(*mac) : std::nullopt;
  return encoded.value_or(std::string());
}

// ---------------------------------------------------------------------------
// Version 4

std::string S3V4CanonicalQuery(const std::vector<std::pair<std::string, std::string>>& query) {
  std::vector<std::pair<std::string, std::string>> encoded;
  for (const auto& [name, value] : query) encoded.emplace_back(S3URIEncode(name, false), S3URIEncode(value, false));
  std::sort(encoded.begin(), encoded.end());
  std::string text;
  for (const auto& [name, value] : encoded) text += (text.empty() ? "" : "&") + name + "=" + value;
  return text;
}

std::string S3V4SignedHeaders(const S3HeaderList& headers) {
  std::string text;
  for (const auto& [name, value] : CanonicalHeaders(headers)) text += (text.empty() ? "" : ";") + name;
  return text;
}

std::string S3V4CanonicalRequest(const S3V4Request& request) {
  std::string text = request.method + "\n" + (request.escapedPath.empty() ? std::string("/") : request.escapedPath) +
                     "\n" + S3V4CanonicalQuery(request.query) + "\n";
  for (const auto& [name, value] : CanonicalHeaders(request.headers)) text += name + ":" + value + "\n";
  return text + "\n" + S3V4SignedHeaders(request.headers) + "\n" + request.payloadHash;
}

std::string S3V4StringToSign(const std::string& canonicalRequest, const std::string& timestamp,
                             const std::string& region, const std::string& service) {
  return "AWS4-HMAC-SHA256\n" + timestamp + "\n" + timestamp.substr(0, 8) + "/" + region + "/" + service +
         "/aws4_request\n" + SHA256Hex(canonicalRequest);
}

std::string S3V4SigningKey(const std::string& secretKey, const std::string& date, const std::string& region,
                           const std::string& service) {
  return HMAC256(HMAC256(HMAC256(HMAC256("AWS4" + secretKey, date), region), service), "aws4_request");
}

std::string S3V4Authorization(const S3V4Request& request, const std::string& accessKey,
                              const std::string& secretKey, const std::string& timestamp,
                              const std::string& region, const std::string& service) {
  const std::string stringToSign = S3V4StringToSign(S3V4CanonicalRequest(request), timestamp, region, service);
  const std::string signature =
      HexString(HMAC256(S3V4SigningKey(secretKey, timestamp.substr(0, 8), region, service), stringToSign));
  return "AWS4-HMAC-SHA256 Credential=" + accessKey + "/" + timestamp.substr(0, 8) + "/" + region + "/" + service +
         "/aws4_request,SignedHeaders=" + S3V4SignedHeaders(request.headers) + ",Signature=" + signature;
}

}  // namespace quorvel
