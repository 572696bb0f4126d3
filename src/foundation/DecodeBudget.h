// What a decoder of untrusted input may produce: a number of values (nodes)
// and a number of bytes of text and data. A value referred to from several
// places is charged once for every place that receives a copy of it, so that
// a small input whose references fan out cannot expand into gigabytes.
//
// Once a charge does not fit, the budget stays exhausted.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvel {

class DecodeBudget {
 public:
  // Values and bytes allowed per byte of input, plus a floor that small
  // inputs always get.
  static constexpr std::uint64_t kNodesPerInputByte = 16;
  static constexpr std::uint64_t kNodeFloor = std::uint64_t{1} << 18;
  static constexpr std::uint64_t kBytesPerInputByte = 64;
  static constexpr std::uint64_t kByteFloor = std::uint64_t{64} << 20;

  DecodeBudget(std::uint64_t nodes, std::uint64_t bytes) : nodesLeft_(nodes), bytesLeft_(bytes) {}

  static DecodeBudget forInput(std::size_t inputSize) {
    auto size = static_cast<std::uint64_t>(inputSize);
    return DecodeBudget(kNodeFloor + kNodesPerInputByte * size, kByteFloor + kBytesPerInputByte * size);
  }

  // What one decoded value is reckoned to occupy, beyond its text or data.
  static constexpr std::uint64_t kBytesPerNode = 128;

  // A budget in memory: half of it for values at kBytesPerNode each, half
  // for their text and data, so that what a decode produces stays within
  // `bytes` however it mixes the two.
  static DecodeBudget forMemory(std::uint64_t bytes) { return DecodeBudget(bytes / 2 / kBytesPerNode, bytes / 2); }

  // Takes nodes and bytes from what is left; false (and exhausted from then
  // on) when they do not fit.
  bool charge(std::uint64_t nodes, std::uint64_t bytes) {
    if (exhausted_ || nodes > nodesLeft_ || bytes > bytesLeft_) {
      exhausted_ = true;
      return false;
    }
    nodesLeft_ -= nodes;
    bytesLeft_ -= bytes;
    nodesUsed_ += nodes;
    bytesUsed_ += bytes;
    return true;
  }

  bool exhausted() const { return exhausted_; }
  // Totals charged so far; the difference of two readings is what the
  // values produced in between cost, to be charged again for each copy.
  std::uint64_t nodesUsed() const { return nodesUsed_; }
  std::uint64_t bytesUsed() const { return bytesUsed_; }

 private:
  std::uint64_t nodesLeft_;
  std::uint64_t bytesLeft_;
  std::uint64_t nodesUsed_ = 0;
  std::uint64_t bytesUsed_ = 0;
  bool exhausted_ = false;
};

}  // namespace quorvel
