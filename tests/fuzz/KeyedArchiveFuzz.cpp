// libFuzzer target: keyed archives (any bytes) through the unarchiver, both
// the strict decoding and the raw-graph view, then what decodes is archived
// again. Nothing may crash, leak or run away.
#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/KeyedArchiver.h"
#include "foundation/KeyedUnarchiver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  using namespace quorvel;
  Data data(bytes, bytes + size);
  std::string error;
  if (auto value = KeyedUnarchiver::unarchiveObjectWithData(data, &error)) {
    KeyedArchiver::archivedDataWithRootObject(*value, &error);
  }
  if (auto raw = KeyedUnarchiver::unarchiveRawGraph(data, &error)) {
    KeyedArchiver::archivedDataWithRootObject(*raw, &error);
  }
  return 0;
}
