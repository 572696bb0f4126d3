#include "engine/NetworkError.h"

#include "foundation/Format.h"

namespace quorvel {

std::string StringFromNetworkError(const Error& error) {
  std::string details = Format("Domain = %@ | Code = %i", error.domain(), static_cast<int>(error.code()));
  for (const auto& [key, value] : error.userInfo()) {
    if (key == kErrorLocalizedDescriptionKey) continue;
    details += " | ";
    details += Format("%@ = %@", key, value);
  }
  return Format("%@ {%@}", error.localizedDescription(), details);
}

}  // namespace quorvel
