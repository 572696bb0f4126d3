// Transforms over byte buffers: digests, HMAC, Base64, password encryption,
// the length-prefixed compressed block and gzip files.
//
// Every transform is a pure function of its arguments: it uses its own
// library context and touches no shared state, so any thread may call any of
// them at any time. Failures are reported only by an empty result (or false);
// nothing is logged and nothing is thrown.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/Data.h"

namespace quorvel::DataTransforms {

// Digests: MD5 yields 16 bytes, SHA-1 20 bytes.
std::optional<Data> md5Digest(const Data& data);
std::optional<Data> sha1Digest(const Data& data);
std::optional<Data> md5DigestWithBytes(const void* bytes, std::size_t length);
std::optional<Data> sha1DigestWithBytes(const void* bytes, std::size_t length);

// HMAC-SHA1 (20 bytes) of data. The key is the UTF-8 text up to its first NUL.
std::optional<Data> sha1HMacWithKey(const Data& data, std::string_view key);

// SHA-256 (32 bytes), and HMAC-SHA256 (32 bytes) of bytes under a key of any
// bytes (NULs included): what AWS Signature Version 4 chains.
std::optional<Data> sha256DigestWithBytes(const void* bytes, std::size_t length);
std::optional<Data> sha256HMacWithKey(std::string_view data, std::string_view key);

// Standard Base64 alphabet with "=" padding and no line breaks.
std::optional<std::string> encodeBase64(const Data& data);
// Decodes one line of Base64 (no line breaks). Nothing when the text holds a
// character outside ASCII or the library rejects the input.
std::optional<Data> decodeBase64(std::string_view text);

// Password encryption: CBC with PKCS#7 padding; key and IV come from
// EVP_BytesToKey(cipher, MD5, no salt, 1 iteration) over the password's bytes,
// so the output is that of `openssl enc -<cipher> -md md5 -nosalt`. The result
// is the bare ciphertext (no header, salt or IV). Nothing on any library
// failure, which includes a wrong password when decrypting (padding check).
// Blowfish comes from libcrypto's legacy provider; without it the Blowfish
// pair returns nothing.
std::optional<Data> encryptBlowfishWithPassword(const Data& data, std::string_view password);
std::optional<Data> decryptBlowfishWithPassword(const Data& data, std::string_view password);
std::optional<Data> encryptAES128WithPassword(const Data& data, std::string_view password);
std::optional<Data> decryptAES128WithPassword(const Data& data, std::string_view password);
std::optional<Data> encryptAES256WithPassword(const Data& data, std::string_view password);
std::optional<Data> decryptAES256WithPassword(const Data& data, std::string_view password);

// The length-prefixed compressed block: 4 bytes of uncompressed length
// (big-endian) followed by one zlib stream (RFC 1950) compressed at level 9.
// Not a gzip member, despite the names.
std::optional<Data> compressGZip(const Data& data);
// Refuses fewer than 4 bytes, a declared length above 0x3FFFFFFF and a stream
// that does not inflate into the declared length. The result always has the
// declared length.
std::optional<Data> decompressGZip(const Data& data);
// The same, refusing a declared length above largestLength.
std::optional<Data> decompressGZip(const Data& data, std::size_t largestLength);

// Gzip files (RFC 1952). Writing uses level 9 with the filtered strategy and
// deletes a partly written file on failure.
bool writeToGZipFile(const Data& data, const std::string& path);
// The most a gzip file may inflate to when read whole; a file that inflates
// to more is refused rather than filling memory.
constexpr std::size_t kLargestInflatedGZipFile = std::size_t{1} << 30;
std::optional<Data> initWithGZipFile(const std::string& path);
// The same with another ceiling on the inflated size.
std::optional<Data> initWithGZipFile(const std::string& path, std::size_t largestInflatedSize);

}  // namespace quorvel::DataTransforms
