// libFuzzer target: typed streams (any bytes) read group by group, then
// every group written again and read back. Nothing may crash, leak or run
// away.
#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/TypedStreamReader.h"
#include "foundation/TypedStreamWriter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  using namespace quorvel;
  TypedStreamReader reader(bytes, size);
  TypedStreamWriter writer(size);
  while (!reader.atEnd()) {
    reader.peekTypes();
    auto group = reader.decodeGroup();
    if (!group) break;
    std::string types;
    for (const auto& type : group->types) types += type;
    writer.encodeValuesOfObjCTypes(types, group->values);
  }
  if (reader.ok() && writer.ok()) {
    TypedStreamReader again(writer.data());
    while (!again.atEnd() && again.decodeGroup()) {
    }
  }
  std::string error;
  TypedStreamReader::unarchiveObjectWithData(Data(bytes, bytes + size), &error);
  return 0;
}
