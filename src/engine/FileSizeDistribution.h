// Points of the file-size distribution that the source check reports: the
// smallest and largest size, the total, and the median, top quartile and top
// decile of the sizes.
#pragma once

#include <cstdint>
#include <vector>

namespace quorvel {

struct FileSizeDistribution {
  std::uint64_t count = 0;
  std::uint64_t totalSize = 0;
  // All bits set when there are no sizes.
  std::uint64_t minimum = UINT64_MAX;
  std::uint64_t maximum = 0;
  std::uint64_t median = 0;
  std::uint64_t topQuartile = 0;
  std::uint64_t topDecile = 0;
};

// Computes the distribution of the given sizes (any order; the vector is
// sorted in place). A mean of two neighbouring sizes is their 64-bit sum
// shifted right by one bit. The quartile and decile indexes are three times
// n / 4 and nine times n / 10 with integer division; when n divides evenly
// the point is the mean of that element and the one below it.
FileSizeDistribution FileSizeDistributionFromSizes(std::vector<std::uint64_t>& sizes);

}  // namespace quorvel
