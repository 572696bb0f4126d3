// Byte buffers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

// A byte buffer. Plain vector semantics: copies are deep, moves are cheap.
using Data = std::vector<std::uint8_t>;

inline Data DataFromString(std::string_view text) { return Data(text.begin(), text.end()); }
inline std::string StringFromData(const Data& data) { return std::string(data.begin(), data.end()); }

// Lower-case hexadecimal text of the bytes ("0a1b...").
std::string HexStringFromData(const Data& data);

}  // namespace quorvel
