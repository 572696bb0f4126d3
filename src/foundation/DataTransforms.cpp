#include "foundation/DataTransforms.h"

#include <openssl/bio.h>
#include <openssl/buffer.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/provider.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

// libcrypto 3 manages its own locking, so the process needs no lock table and
// no locking callbacks before threads start using it.

namespace quorvel::DataTransforms {
namespace {

constexpr std::size_t kCipherSliceSize = 1024;
constexpr std::size_t kCipherSlack = 32;
constexpr std::uint32_t kLargestDecompressedLength = 0x3FFFFFFF;
constexpr unsigned kGZipReadSize = 131072;
// The first buffer of the compressed block's inflation; it doubles as needed.
constexpr std::size_t kInflateFirstSize = 65536;

struct MdCtxDeleter {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct CipherCtxDeleter {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
struct BioDeleter {
  void operator()(BIO* bio) const { BIO_free_all(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioDeleter>;

std::optional<Data> Digest(const EVP_MD* md, const void* bytes, std::size_t length) {
  std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> ctx(EVP_MD_CTX_new());
  if (!ctx || !md) return std::nullopt;
  if (EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) return std::nullopt;
  if (EVP_DigestUpdate(ctx.get(), bytes, length) != 1) return std::nullopt;
  Data digest(static_cast<std::size_t>(EVP_MD_get_size(md)));
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest.data(), &size) != 1) return std::nullopt;
  digest.resize(size);
  return digest;
}

// Blowfish lives in the legacy provider. Loading a provider explicitly turns
// off the implicit loading of the default one, so both are loaded, once.
const EVP_CIPHER* BlowfishCipher() {
  static const EVP_CIPHER* cipher = [] {
    OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
    OSSL_PROVIDER* fallback = OSSL_PROVIDER_load(nullptr, "default");
    if (!legacy || !fallback) return static_cast<EVP_CIPHER*>(nullptr);
    return EVP_CIPHER_fetch(nullptr, "BF-CBC", nullptr);
  }();
  return cipher;
}

const EVP_CIPHER* AES128Cipher() {
  static const EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
  return cipher;
}

const EVP_CIPHER* AES256Cipher() {
  static const EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
  return cipher;
}

std::optional<Data> Crypt(const EVP_CIPHER* cipher, bool encrypt, const Data& input, std::string_view password) {
  if (!cipher) return std::nullopt;
  unsigned char key[EVP_MAX_KEY_LENGTH];
  unsigned char iv[EVP_MAX_IV_LENGTH];
  if (EVP_BytesToKey(cipher, EVP_md5(), nullptr, reinterpret_cast<const unsigned char*>(password.data()),
                     static_cast<int>(password.size()), 1, key, iv) <= 0)
    return std::nullopt;

  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter> ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return std::nullopt;
  if (EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key, iv, encrypt ? 1 : 0) != 1) return std::nullopt;
  OPENSSL_cleanse(key, sizeof key);
  OPENSSL_cleanse(iv, sizeof iv);

  Data output(input.size() + kCipherSlack);
  std::size_t produced = 0;
  for (std::size_t offset = 0; offset < input.size(); offset += kCipherSliceSize) {
    int slice = static_cast<int>(std::min(kCipherSliceSize, input.size() - offset));
    int written = 0;
    if (EVP_CipherUpdate(ctx.get(), output.data() + produced, &written, input.data() + offset, slice) != 1) break;
    produced += static_cast<std::size_t>(written);
  }
  int written = 0;
  if (EVP_CipherFinal_ex(ctx.get(), output.data() + produced, &written) != 1) return std::nullopt;
  produced += static_cast<std::size_t>(written);
  output.resize(produced);
  return output;
}

}  // namespace

std::optional<Data> md5Digest(const Data& data) { return Digest(EVP_md5(), data.data(), data.size()); }

std::optional<Data> sha1Digest(const Data& data) { return Digest(EVP_sha1(), data.data(), data.size()); }

std::optional<Data> md5DigestWithBytes(const void* bytes, std::size_t length) {
  return Digest(EVP_md5(), bytes, length);
}

std::optional<Data> sha1DigestWithBytes(const void* bytes, std::size_t length) {
  return Digest(EVP_sha1(), bytes, length);
}

std::optional<Data> sha1HMacWithKey(const Data& data, std::string_view key) {
  key = key.substr(0, std::min(key.size(), key.find('\0')));
  Data mac(EVP_MAX_MD_SIZE);
  unsigned int size = 0;
  static const unsigned char kNoBytes = 0;
  if (!HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()), data.empty() ? &kNoBytes : data.data(),
            data.size(), mac.data(), &size))
    return std::nullopt;
  mac.resize(size);
  return mac;
}

std::optional<Data> sha256DigestWithBytes(const void* bytes, std::size_t length) {
  return Digest(EVP_sha256(), bytes, length);
}

std::optional<Data> sha256HMacWithKey(std::string_view data, std::string_view key) {
  Data mac(EVP_MAX_MD_SIZE);
  unsigned int size = 0;
  static const unsigned char kNoBytes = 0;
  if (!HMAC(EVP_sha256(), key.empty() ? static_cast<const void*>(&kNoBytes) : key.data(), static_cast<int>(key.size()),
            data.empty() ? &kNoBytes : reinterpret_cast<const unsigned char*>(data.data()), data.size(), mac.data(),
            &size))
    return std::nullopt;
  mac.resize(size);
  return mac;
}

std::optional<std::string> encodeBase64(const Data& data) {
  BIO* base64 = BIO_new(BIO_f_base64());
  if (!base64) return std::nullopt;
  BIO* memory = BIO_new(BIO_s_mem());
  if (!memory) {
    BIO_free(base64);
    return std::nullopt;
  }
  BIO_set_flags(base64, BIO_FLAGS_BASE64_NO_NL);
  BioPtr chain(BIO_push(base64, memory));

  for (std::size_t offset = 0; offset < data.size();) {
    int slice = static_cast<int>(std::min<std::size_t>(data.size() - offset, INT_MAX / 2));
    int written = BIO_write(chain.get(), data.data() + offset, slice);
    if (written <= 0) return std::nullopt;
    offset += static_cast<std::size_t>(written);
  }
  if (BIO_flush(chain.get()) != 1) return std::nullopt;
  BUF_MEM* buffer = nullptr;
  BIO_get_mem_ptr(memory, &buffer);
  if (!buffer) return std::nullopt;
  return std::string(buffer->data, buffer->length);
}

std::optional<Data> decodeBase64(std::string_view text) {
  if (std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) > 0x7F; }))
    return std::nullopt;
  if (text.size() > INT_MAX) return std::nullopt;
  Data output;
  if (text.empty()) return output;

  BIO* base64 = BIO_new(BIO_f_base64());
  if (!base64) return std::nullopt;
  BIO* memory = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
  if (!memory) {
    BIO_free(base64);
    return std::nullopt;
  }
  BIO_set_flags(base64, BIO_FLAGS_BASE64_NO_NL);
  BioPtr chain(BIO_push(base64, memory));

  // Decoded Base64 is never longer than three quarters of its text.
  output.resize(text.size() / 4 * 3 + 3);
  std::size_t produced = 0;
  for (;;) {
    int room = static_cast<int>(std::min<std::size_t>(output.size() - produced, INT_MAX));
    if (room == 0) {
      output.resize(output.size() + 4096);
      continue;
    }
    int read = BIO_read(chain.get(), output.data() + produced, room);
    if (read < 0) return std::nullopt;
    if (read == 0) break;
    produced += static_cast<std::size_t>(read);
  }
  output.resize(produced);
  return output;
}

std::optional<Data> encryptBlowfishWithPassword(const Data& data, std::string_view password) {
  return Crypt(BlowfishCipher(), true, data, password);
}

std::optional<Data> decryptBlowfishWithPassword(const Data& data, std::string_view password) {
  return Crypt(BlowfishCipher(), false, data, password);
}

std::optional<Data> encryptAES128WithPassword(const Data& data, std::string_view password) {
  return Crypt(AES128Cipher(), true, data, password);
}

std::optional<Data> decryptAES128WithPassword(const Data& data, std::string_view password) {
  return Crypt(AES128Cipher(), false, data, password);
}

std::optional<Data> encryptAES256WithPassword(const Data& data, std::string_view password) {
  return Crypt(AES256Cipher(), true, data, password);
}

std::optional<Data> decryptAES256WithPassword(const Data& data, std::string_view password) {
  return Crypt(AES256Cipher(), false, data, password);
}

std::optional<Data> compressGZip(const Data& data) {
  // The prefix holds the length in 32 bits.
  if (data.size() > UINT32_MAX) return std::nullopt;
  uLong bound = compressBound(static_cast<uLong>(data.size()));
  Data block(bound + 4);
  uLongf compressedLength = bound;
  if (compress2(block.data() + 4, &compressedLength, data.data(), static_cast<uLong>(data.size()), 9) != Z_OK)
    return std::nullopt;
  StoreBigEndian32(block.data(), static_cast<std::uint32_t>(data.size()));
  block.resize(4 + compressedLength);
  return block;
}

std::optional<Data> decompressGZip(const Data& data) { return decompressGZip(data, kLargestDecompressedLength); }

std::optional<Data> decompressGZip(const Data& data, std::size_t largestLength) {
  std::uint32_t length = 0xFFFFFFFF;
  if (data.size() >= 4)
    length = (std::uint32_t{data[0]} << 24) | (std::uint32_t{data[1]} << 16) | (std::uint32_t{data[2]} << 8) |
             std::uint32_t{data[3]};
  if (length > kLargestDecompressedLength || length > largestLength) return std::nullopt;
  // Inflates into a buffer that grows with what the stream yields (up to the
  // declared length), so that damaged data declaring a large length costs no
  // more memory than it inflates to. Accepts exactly what zlib's uncompress()
  // into the declared length accepts: a complete stream of at most that many
  // bytes; a shorter one is padded with zeros to the declared length.
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) return std::nullopt;
  const std::uint8_t* input = data.data() + 4;
  std::size_t inputLeft = data.size() - 4;
  Data output(std::min<std::size_t>(length, kInflateFirstSize));
  std::size_t produced = 0;
  bool complete = false;
  for (;;) {
    if (stream.avail_in == 0 && inputLeft > 0) {
      stream.next_in = const_cast<Bytef*>(input);
      stream.avail_in = static_cast<uInt>(std::min<std::size_t>(inputLeft, std::numeric_limits<uInt>::max()));
      input += stream.avail_in;
      inputLeft -= stream.avail_in;
    }
    if (produced == output.size() && output.size() < length)
      output.resize(std::min<std::size_t>(length, output.size() * 2));
    // zlib wants an output pointer even for no room (an empty result).
    std::uint8_t none = 0;
    stream.next_out = output.empty() ? &none : output.data() + produced;
    stream.avail_out = static_cast<uInt>(output.size() - produced);
    const int result = inflate(&stream, Z_NO_FLUSH);
    produced = output.size() - stream.avail_out;
    if (result == Z_STREAM_END) {
      complete = true;
      break;
    }
    if (result == Z_OK) continue;
    // Out of room with room still to give, or input still to hand over.
    if (result == Z_BUF_ERROR && ((stream.avail_out == 0 && output.size() < length) ||
                                  (stream.avail_in == 0 && inputLeft > 0)))
      continue;
    break;
  }
  inflateEnd(&stream);
  if (!complete) return std::nullopt;
  output.resize(length);
  return output;
}

bool writeToGZipFile(const Data& data, const std::string& path) {
  gzFile file = gzopen(path.c_str(), "w9f");
  if (!file) return false;
  std::size_t written = gzfwrite(data.data(), 1, data.size(), file);
  // Closing flushes the last deflate block, so its failure loses data as well.
  int closed = gzclose(file);
  if (written != data.size() || closed != Z_OK) {
    unlink(path.c_str());
    return false;
  }
  return true;
}

std::optional<Data> initWithGZipFile(const std::string& path) {
  return initWithGZipFile(path, kLargestInflatedGZipFile);
}

std::optional<Data> initWithGZipFile(const std::string& path, std::size_t largestInflatedSize) {
  gzFile file = gzopen(path.c_str(), "r");
  if (!file) return std::nullopt;
  Data buffer(kGZipReadSize);
  std::size_t total = 0;
  for (;;) {
    int read = gzread(file, buffer.data() + buffer.size() - kGZipReadSize, kGZipReadSize);
    // Past the ceiling the file is refused at once: the buffer never grows
    // beyond it by more than one read.
    if (read < 0 || total + static_cast<std::size_t>(read) > largestInflatedSize) {
      gzclose(file);
      return std::nullopt;
    }
    total += static_cast<std::size_t>(read);
    if (static_cast<unsigned>(read) < kGZipReadSize) break;
    buffer.resize(buffer.size() + kGZipReadSize);
  }
  // A file that ends in the middle of its gzip stream reads like a short one;
  // closing is what tells them apart.
  if (gzclose(file) == Z_BUF_ERROR) return std::nullopt;
  buffer.resize(total);
  return buffer;
}

}  // namespace quorvel::DataTransforms
