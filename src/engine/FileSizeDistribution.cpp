#include "engine/FileSizeDistribution.h"

#include <algorithm>

namespace quorvel {

namespace {

// The sum wraps on overflow exactly as the stored unsigned arithmetic does.
std::uint64_t Mean(std::uint64_t a, std::uint64_t b) { return (a + b) >> 1; }

// The point at index step * (n / divisor), or the mean of it and its lower
// neighbour when n is a multiple of divisor.
std::uint64_t Point(const std::vector<std::uint64_t>& s, std::size_t divisor, std::size_t step) {
  std::size_t n = s.size();
  std::size_t q = n / divisor;
  if (n % divisor != 0) return s[step * q];
  return Mean(s[step * q - 1], s[step * q]);
}

}  // namespace

FileSizeDistribution FileSizeDistributionFromSizes(std::vector<std::uint64_t>& sizes) {
  FileSizeDistribution d;
  d.count = sizes.size();
  for (std::uint64_t size : sizes) {
    d.totalSize += size;
    d.minimum = std::min(d.minimum, size);
    d.maximum = std::max(d.maximum, size);
  }
  std::size_t n = sizes.size();
  if (n == 0) return d;
  std::sort(sizes.begin(), sizes.end());
  if (n == 1) {
    d.median = d.topQuartile = d.topDecile = sizes[0];
    return d;
  }
  d.median = (n % 2 != 0) ? sizes[n / 2] : Mean(sizes[n / 2 - 1], sizes[n / 2]);
  d.topQuartile = Point(sizes, 4, 3);
  d.topDecile = Point(sizes, 10, 9);
  return d;
}

}  // namespace quorvel
