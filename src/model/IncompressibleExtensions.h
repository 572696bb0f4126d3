// The list of file extensions whose files are stored without compression
// (formats that are compressed already): resources/Incompressible.plist, a
// property list holding an array of texts, each a space-separated list of
// lower-case extensions without dots (one extension per text is the usual
// form).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "foundation/Status.h"

namespace quorvel {

inline constexpr const char* kIncompressibleResource = "Incompressible.plist";

// Reads the list from a property list file: the union of all words, in order
// of first appearance, lower-cased; a failure (with the reason) when the file
// cannot be read or is not an array of texts.
Expected<std::vector<std::string>> ReadIncompressibleExtensions(const std::string& path);

// The list shipped in the resources folder (see ResourcesDirectory()).
Expected<std::vector<std::string>> LoadIncompressibleExtensions();

}  // namespace quorvel
