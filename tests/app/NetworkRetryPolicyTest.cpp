// The answers to the engine's network-error questions, on a hand-driven clock.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "app/cli/NetworkRetryPolicy.h"

namespace quorvel {
namespace {

class NetworkRetryPolicyTest : public ::testing::Test {
 protected:
  double now = 1000.0;
  NetworkRetryPolicy::Clock clock = [this] { return now; };
};

// Each retry fails right after its wait: failures follow each other closely.
TEST_F(NetworkRetryPolicyTest, WaitDoublesWhileFailuresFollowEachOtherClosely) {
  NetworkRetryPolicy policy(6, clock);
  std::vector<double> waits;
  for (int i = 0; i < 6; ++i) {
    std::optional<double> wait = policy.delayAfterFailure();
    ASSERT_TRUE(wait) << "failure " << i;
    waits.push_back(*wait);
    now += *wait + 0.5;  // the retry runs and fails half a second later
  }
  EXPECT_EQ(waits, (std::vector<double>{10, 20, 40, 80, 160, 320}));
}

TEST_F(NetworkRetryPolicyTest, GivesUpAfterTheMaximumNumberOfRetriesInARow) {
  NetworkRetryPolicy policy(3, clock);
  for (int i = 0; i < 3; ++i) {
    std::optional<double> wait = policy.delayAfterFailure();
    ASSERT_TRUE(wait);
    EXPECT_EQ(policy.retriesInStreak(), static_cast<unsigned>(i + 1));
    now += *wait + 1;
  }
  EXPECT_FALSE(policy.delayAfterFailure());
  // Asked again at once: still no.
  now += 0.1;
  EXPECT_FALSE(policy.delayAfterFailure());
}

TEST_F(NetworkRetryPolicyTest, NoRetriesAtAllWithAMaximumOfZero) {
  NetworkRetryPolicy policy(0, clock);
  EXPECT_FALSE(policy.delayAfterFailure());
  now += 3600;
  EXPECT_FALSE(policy.delayAfterFailure());
}

TEST_F(NetworkRetryPolicyTest, AFailureAfterAQuietPeriodStartsAgainWithTheFullBudget) {
  NetworkRetryPolicy policy(2, clock);
  ASSERT_EQ(policy.delayAfterFailure(), 10.0);
  now += 10.5;
  ASSERT_EQ(policy.delayAfterFailure(), 20.0);
  // The retry worked; the next failure comes long after twice the interval.
  now += 20 + 2 * 20 + 1;
  EXPECT_EQ(policy.delayAfterFailure(), 10.0);
  EXPECT_EQ(policy.retriesInStreak(), 1u);
  now += 10.5;
  EXPECT_EQ(policy.delayAfterFailure(), 20.0);
  now += 20.5;
  EXPECT_FALSE(policy.delayAfterFailure());
}

// "Closely" means less than twice the current interval after the previous
// failure; exactly twice the interval is already a quiet period.
TEST_F(NetworkRetryPolicyTest, TheBoundaryOfCloselyIsTwiceTheCurrentInterval) {
  NetworkRetryPolicy policy(10, clock);
  ASSERT_EQ(policy.delayAfterFailure(), 10.0);
  now += 19.999;
  EXPECT_EQ(policy.delayAfterFailure(), 20.0);
  now += 40.0;
  EXPECT_EQ(policy.delayAfterFailure(), 10.0);
}

TEST_F(NetworkRetryPolicyTest, ResetForgetsThePreviousFailures) {
  NetworkRetryPolicy policy(1, clock);
  ASSERT_EQ(policy.delayAfterFailure(), 10.0);
  now += 1;
  ASSERT_FALSE(policy.delayAfterFailure());
  policy.reset();
  now += 1;
  EXPECT_EQ(policy.delayAfterFailure(), 10.0);
  EXPECT_EQ(policy.currentInterval(), NetworkRetryPolicy::kInitialInterval);
}

}  // namespace
}  // namespace quorvel
