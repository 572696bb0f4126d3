#include <gtest/gtest.h>

#include "engine/FileSizeDistribution.h"
#include "engine/PhaseProgress.h"

namespace quorvel {
namespace {

TEST(PhaseUpdateThrottle, ZeroMaxAndMainPhaseAlwaysPass) {
  EXPECT_TRUE(PhaseUpdatePasses("uploadFilePart", 0, 1000, 500));
  EXPECT_TRUE(PhaseUpdatePasses("uploadFilePart", 1000, 1000, 999));
  EXPECT_TRUE(PhaseUpdatePasses("__main__", 3, 1000, 2));
  EXPECT_TRUE(PhaseUpdatePasses("__main__", 1, 1000, 900));
}

TEST(PhaseUpdateThrottle, StepsBelowOnePercentAreDropped) {
  EXPECT_FALSE(PhaseUpdatePasses("scanSource", 9, 1000, 0));
  EXPECT_TRUE(PhaseUpdatePasses("scanSource", 10, 1000, 0));
  EXPECT_FALSE(PhaseUpdatePasses("scanSource", 119, 1000, 110));
  EXPECT_TRUE(PhaseUpdatePasses("scanSource", 120, 1000, 110));
  // A whole-range maximum: one percent of 4294967295 is a large step.
  EXPECT_FALSE(PhaseUpdatePasses("scanSource", 42949672, 4294967295u, 0));
  EXPECT_TRUE(PhaseUpdatePasses("scanSource", 42949673, 4294967295u, 0));
}

TEST(PhaseUpdateThrottle, DecreasesAreDroppedUnlessZeroOrMax) {
  EXPECT_FALSE(PhaseUpdatePasses("scanSource", 400, 1000, 800));
  EXPECT_FALSE(PhaseUpdatePasses("scanSource", 800, 1000, 800));
  EXPECT_TRUE(PhaseUpdatePasses("scanSource", 0, 1000, 800));
  EXPECT_TRUE(PhaseUpdatePasses("scanSource", 1000, 1000, 4000));
}

TEST(PhaseUpdateThrottle, ZeroMaximumPassesGrowthOnly) {
  EXPECT_TRUE(PhaseUpdatePasses("scanSource", 5, 0, 0));
  EXPECT_FALSE(PhaseUpdatePasses("scanSource", 5, 0, 5));
  EXPECT_FALSE(PhaseUpdatePasses("scanSource", 4, 0, 5));
}

FileSizeDistribution Distribution(std::vector<std::uint64_t> sizes) { return FileSizeDistributionFromSizes(sizes); }

TEST(FileSizeDistribution, NoSizesGiveZerosAndAllBitsMinimum) {
  FileSizeDistribution d = Distribution({});
  EXPECT_EQ(d.count, 0u);
  EXPECT_EQ(d.totalSize, 0u);
  EXPECT_EQ(d.minimum, 18446744073709551615ull);
  EXPECT_EQ(d.maximum, 0u);
  EXPECT_EQ(d.median, 0u);
  EXPECT_EQ(d.topQuartile, 0u);
  EXPECT_EQ(d.topDecile, 0u);
}

TEST(FileSizeDistribution, OneSizeIsEveryPoint) {
  FileSizeDistribution d = Distribution({77});
  EXPECT_EQ(d.median, 77u);
  EXPECT_EQ(d.topQuartile, 77u);
  EXPECT_EQ(d.topDecile, 77u);
  EXPECT_EQ(d.minimum, 77u);
  EXPECT_EQ(d.maximum, 77u);
}

TEST(FileSizeDistribution, TwoSizesUseTheLowerElementForQuartileAndDecile) {
  FileSizeDistribution d = Distribution({30, 10});
  EXPECT_EQ(d.median, 20u);
  EXPECT_EQ(d.topQuartile, 10u);
  EXPECT_EQ(d.topDecile, 10u);
  EXPECT_EQ(d.totalSize, 40u);
}

TEST(FileSizeDistribution, MeansRoundDown) {
  FileSizeDistribution d = Distribution({4, 2, 3, 1});
  EXPECT_EQ(d.median, 2u);
  EXPECT_EQ(d.topQuartile, 3u);
  EXPECT_EQ(d.topDecile, 1u);  // n = 4: index 9 * 0
}

TEST(FileSizeDistribution, QuartileIndexIsThreeTimesTheQuotient) {
  // n = 7: q = 1, so the quartile is s[3], not s[21 / 4] = s[5].
  FileSizeDistribution d = Distribution({1, 2, 3, 4, 5, 6, 7});
  EXPECT_EQ(d.median, 4u);
  EXPECT_EQ(d.topQuartile, 4u);
  EXPECT_EQ(d.topDecile, 1u);
}

TEST(FileSizeDistribution, DecileOfTwentySizesIsTheMeanAroundIndexEighteen) {
  std::vector<std::uint64_t> sizes;
  for (std::uint64_t i = 1; i <= 20; ++i) sizes.push_back(i * 10);
  FileSizeDistribution d = Distribution(sizes);
  EXPECT_EQ(d.topDecile, (180u + 190u) / 2);  // mean of s[17] and s[18]
  EXPECT_EQ(d.topQuartile, (150u + 160u) / 2);  // mean of s[14] and s[15]
  EXPECT_EQ(d.median, (100u + 110u) / 2);
}

TEST(FileSizeDistribution, MeanUsesWrappingSixtyFourBitSum) {
  std::uint64_t big = 18446744073709551615ull;
  FileSizeDistribution d = Distribution({big, big});
  EXPECT_EQ(d.median, (big + big) >> 1);
}

}  // namespace
}  // namespace quorvel
