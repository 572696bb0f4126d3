// One-line descriptions of the structured errors that transfer clients report.
#pragma once

#include <string>

#include "FileTransferController/Error.h"

namespace quorvel {

// The user-info key under which an error may repeat its description.
inline constexpr const char* kErrorLocalizedDescriptionKey = "NSLocalizedDescription";

// "<description> {Domain = <domain> | Code = <code> | <key> = <value> ...}":
// every user-info entry except the description entry, in the dictionary's
// order; texts appear as they are, other values by their description.
std::string StringFromNetworkError(const Error& error);

}  // namespace quorvel
