// How the command line answers the engine's "retry after a network error?"
// question: wait, then retry, with a wait that doubles while failures follow
// each other closely, and give up after a number of retries in a row.
#pragma once

#include <functional>
#include <optional>

namespace quorvel {

class NetworkRetryPolicy {
 public:
  // Seconds on a monotonic scale; only differences are used.
  using Clock = std::function<double()>;

  // The first wait, and the wait again after a quiet period.
  static constexpr double kInitialInterval = 10.0;
  static constexpr unsigned kDefaultMaximumRetries = 6;

  NetworkRetryPolicy(unsigned maximumRetries, Clock clock);

  // A network error was reported now. The answer is the number of seconds to
  // wait before retrying, or nothing when the command should give up.
  //
  // A failure that comes less than twice the current interval after the
  // previous one doubles the interval (10, 20, 40 s ...) and continues the
  // streak; a later one starts again at 10 s with a new streak. A streak
  // allows maximumRetries retries; the failure after them is answered with
  // nothing (and so is every failure with a maximum of 0). The failure that
  // gives up still counts as the last failure, so that a command asking again
  // at once is refused as well.
  std::optional<double> delayAfterFailure();

  // Forgets every failure (a new command).
  void reset();

  unsigned maximumRetries() const { return maximumRetries_; }
  // Retries granted in the current streak.
  unsigned retriesInStreak() const { return retries_; }
  double currentInterval() const { return interval_; }

 private:
  unsigned maximumRetries_;
  Clock clock_;
  std::optional<double> lastFailure_;
  double interval_ = kInitialInterval;
  unsigned retries_ = 0;
};

}  // namespace quorvel
