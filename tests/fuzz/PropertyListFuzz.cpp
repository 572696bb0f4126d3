// libFuzzer target: both property-list readers on arbitrary bytes. Whatever
// a reader accepts must write back, and the written form must read back and
// write again to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "foundation/PropertyList.h"

using namespace quorvel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  Data data(bytes, bytes + size);
  if (auto value = PropertyList::readBinary(data)) {
    Data written = *PropertyList::writeBinary(*value);
    if (written.empty()) std::abort();
    auto again = PropertyList::readBinary(written);
    if (!again || *PropertyList::writeBinary(*again) != written) std::abort();
  }
  if (auto value = PropertyList::readXml(data)) {
    Data written = *PropertyList::writeXml(*value);
    if (written.empty()) std::abort();
    auto again = PropertyList::readXml(written);
    if (!again || *PropertyList::writeXml(*again) != written) std::abort();
  }
  return 0;
}
