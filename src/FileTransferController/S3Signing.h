// S3 request signatures, as pure functions over a request's parts (no
// network, no clock), so that they can be checked against AWS's published
// examples.
//
// Signature version 2 ("Authorization: AWS KEY:SIGNATURE"): HMAC-SHA1
// over
//   METHOD \n CONTENT-MD5 \n CONTENT-TYPE \n DATE \n
//   x-amz-name:value \n ...       (lower-cased names, sorted)
//   RESOURCE                      ("/" + bucket + path as sent, or "/";
//                                  "?location", "?logging", "?torrent")
// Base64-encoded. DATE is the Date header, or empty when x-amz-date is sent.
//
// Signature version 4 ("AWS4-HMAC-SHA256"): the canonical request
//   METHOD \n URI \n QUERY \n name:value\n... \n signed;names \n PAYLOAD-HASH
// (URI: the path as sent, which S3 does not encode a second time; QUERY: each
// name and value RFC 3986-encoded, sorted by name then value, "name=" for an
// empty value; header names lower-cased, values trimmed with inner runs of
// spaces made one, sorted), hashed with SHA-256 into the string to sign
//   AWS4-HMAC-SHA256 \n YYYYMMDDTHHMMSSZ \n YYYYMMDD/REGION/SERVICE/aws4_request \n HEX(SHA256(canonical))
// and signed with HMAC-SHA256 under the key chained from "AWS4" + secret
// through the date, the region, the service and "aws4_request".
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace quorvel {

using S3HeaderList = std::vector<std::pair<std::string, std::string>>;

// RFC 3986 percent-encoding as AWS wants it: everything but A-Z a-z 0-9 and
// "-._~" is encoded with upper-case hex digits; "/" too unless `keepSlash`.
std::string S3URIEncode(const std::string& text, bool keepSlash);

// Lower-case hex of bytes.
std::string HexString(const std::string& bytes);
// SHA-256 of text, as lower-case hex.
std::string SHA256Hex(const std::string& text);

// ---- Version 2 ----------------------------------------------------------

// The canonical resource: the path as sent ("/" when empty), after "/" +
// bucket for a request to a bucket host (`bucket` empty: a request to the
// service host, whose path names the bucket itself); then "?" + the query
// when it is exactly "location", "logging" or "torrent".
std::string S3V2CanonicalResource(const std::string& bucket, const std::string& escapedPath,
                                  const std::string& query);
// The string to sign for a request with these headers (names in any case:
// Content-MD5, Content-Type, Date, x-amz-*).
std::string S3V2StringToSign(const std::string& method, const S3HeaderList& headers,
                             const std::string& canonicalResource);
// Base64(HMAC-SHA1(secret, stringToSign)).
std::string S3V2Signature(const std::string& stringToSign, const std::string& secretKey);

// ---- Version 4 ----------------------------------------------------------

struct S3V4Request {
  std::string method;
  // The path exactly as sent (already escaped), "/" at least.
  std::string escapedPath;
  // Query parameters, unescaped, in any order.
  std::vector<std::pair<std::string, std::string>> query;
  // The headers to sign (Host included), names in any case.
  S3HeaderList headers;
  // Hex SHA-256 of the body, or "UNSIGNED-PAYLOAD".
  std::string payloadHash;
};

// The query as sent and signed: "a=1&b=" (encoded, sorted).
std::string S3V4CanonicalQuery(const std::vector<std::pair<std::string, std::string>>& query);
// "host;x-amz-date" (lower-cased, sorted).
std::string S3V4SignedHeaders(const S3HeaderList& headers);
std::string S3V4CanonicalRequest(const S3V4Request& request);
// `timestamp` is "YYYYMMDDTHHMMSSZ".
std::string S3V4StringToSign(const std::string& canonicalRequest, const std::string& timestamp,
                             const std::string& region, const std::string& service);
// The signing key (raw bytes) for the date "YYYYMMDD".
std::string S3V4SigningKey(const std::string& secretKey, const std::string& date, const std::string& region,
                           const std::string& service);
// The whole Authorization header value.
std::string S3V4Authorization(const S3V4Request& request, const std::string& accessKey,
                              const std::string& secretKey, const std::string& timestamp,
                              const std::string& region, const std::string& service);

}  // namespace quorvel
