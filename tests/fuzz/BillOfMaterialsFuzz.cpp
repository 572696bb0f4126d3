// libFuzzer target: bill-of-materials files and BOM file lists. Whatever
// parses as a bill of materials must write back to the same text; whatever
// parses as a file list must parse again from the bill of materials made of
// its entries.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/ArchiveSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  using namespace quorvel;
  const std::string text(reinterpret_cast<const char*>(bytes), size);

  if (auto entries = ParseBillOfMaterials(text)) {
    if (BillOfMaterialsText(*entries) != text) std::abort();
  } else if (entries.status().message().empty()) {
    std::abort();
  }

  if (auto entries = ParseBomFileList(text)) {
    if (entries->empty() || (*entries)[0] != ".") std::abort();
    auto again = ParseBillOfMaterials(BillOfMaterialsText(*entries));
    if (!again || *again != *entries) std::abort();
  } else if (entries.status().message().empty()) {
    std::abort();
  }
  return 0;
}
