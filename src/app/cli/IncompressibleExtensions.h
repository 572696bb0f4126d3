// The list of file extensions whose files are stored without compression
// (formats that are compressed already): resources/Incompressible.plist, a
// property list holding an array of texts, each a space-separated list of
// lower-case extensions without dots (one extension per text is the usual
// form).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quorvel {

inline constexpr const char* kIncompressibleResource = "Incompressible.plist";

// Reads the list from a property list file. Nothing (with the reason in
// *error) when the file cannot be read or is not an array of texts. The
// answer is the union of all words, in order of first appearance,
// lower-cased.
std::optional<std::vector<std::string>> ReadIncompressibleExtensions(const std::string& path,
                                                                     std::string* error = nullptr);

// The list shipped in the resources folder (QUORVEL_RESOURCES_DIR when set,
// else the built-in folder; see ResourcesDirectory()).
std::optional<std::vector<std::string>> LoadIncompressibleExtensions(std::string* error = nullptr);

}  // namespace quorvel
