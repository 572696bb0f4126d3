// libFuzzer target: the AppleDouble reader on arbitrary bytes. Whatever it
// accepts must encode again, and the encoding must decode to the same
// contents.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "foundation/AppleDouble.h"

using namespace quorvel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  Data data(bytes, bytes + size);
  auto contents = DecodeAppleDouble(data);
  if (!contents) return 0;
  auto encoded = EncodeAppleDouble(*contents);
  if (!encoded) std::abort();
  auto again = DecodeAppleDouble(*encoded);
  if (!again || again->attributes != contents->attributes || again->resourceFork != contents->resourceFork ||
      again->finderInfo != contents->finderInfo)
    std::abort();
  return 0;
}
