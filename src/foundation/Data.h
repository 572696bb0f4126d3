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
// Stores `value` big-endian in out[0..3].
inline void StoreBigEndian32(std::uint8_t* out, std::uint32_t value) {
  out[0] = static_cast<std::uint8_t>(value >> 24);
  out[1] = static_cast<std::uint8_t>(value >> 16);
  out[2] = static_cast<std::uint8_t>(value >> 8);
  out[3] = static_cast<std::uint8_t>(value);
}

// Lower-case hexadecimal text of the bytes ("0a1b...").
std::string HexStringFromData(const Data& data);

}  // namespace quorvel
