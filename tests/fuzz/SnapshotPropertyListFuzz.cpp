// libFuzzer target: the property-list form of a snapshot, read the way a
// snapshot file is (PropertyList::read, then the scanner from the value).
// Whatever gives a scanner must give its property list, and that list must
// give a scanner with the same property list again (compared in binary
// form, where a NaN equals itself).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "foundation/PropertyList.h"
#include "snapshot/DirectoryScanner.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  using namespace quorvel;
  const Data data(bytes, bytes + size);
  auto value = PropertyList::read(data);
  if (!value) return 0;
  auto scanner = DirectoryScanner::initWithPropertyList(*value);
  if (!scanner) return 0;
  const Dictionary list = scanner->propertyList();
  auto again = DirectoryScanner::initWithPropertyList(Value(list));
  if (!again) std::abort();
  auto written = PropertyList::writeBinary(Value(list));
  auto writtenAgain = PropertyList::writeBinary(Value(again->propertyList()));
  if (!written || !writtenAgain || *written != *writtenAgain) std::abort();
  return 0;
}
