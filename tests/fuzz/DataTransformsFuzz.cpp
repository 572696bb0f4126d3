// libFuzzer target: the transforms that read data from outside. The input is
// taken as ciphertext of "openssl enc -aes-256-cbc -md md5 -nosalt" under a
// fixed password, as a length-prefixed compressed block, and as a gzip file.
// Whatever decrypts must encrypt back to the input; whatever inflates must
// compress and inflate again to the same data. A compressed block whose
// stream is shorter than its declared length inflates to the declared length
// (zero-padded), so blocks declaring more than 1 MiB are only checked to be
// refused when damaged, not compressed again: that would cost time, not find
// bugs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "FuzzScratch.h"
#include "foundation/DataTransforms.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  using namespace quorvel;
  namespace T = DataTransforms;
  static const fuzz::ScratchFolder scratch("quorvel-transforms-fuzz");
  static const std::string path = scratch.path() + "/input.gz";
  static const std::string password = "fuzz password";
  const Data data(bytes, bytes + size);

  if (auto plain = T::decryptAES256WithPassword(data, password)) {
    auto cipher = T::encryptAES256WithPassword(*plain, password);
    if (!cipher || *cipher != data) std::abort();
  }

  if (auto inflated = T::decompressGZip(data); inflated && inflated->size() <= (1u << 20)) {
    auto block = T::compressGZip(*inflated);
    if (!block) std::abort();
    auto again = T::decompressGZip(*block);
    if (!again || *again != *inflated) std::abort();
  }

  std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(bytes),
                                                                static_cast<std::streamsize>(size));
  if (auto inflated = T::initWithGZipFile(path)) {
    if (!T::writeToGZipFile(*inflated, path)) std::abort();
    auto again = T::initWithGZipFile(path);
    if (!again || *again != *inflated) std::abort();
  }
  return 0;
}
