#include "app/cli/NetworkRetryPolicy.h"

#include <utility>

namespace quorvel {

NetworkRetryPolicy::NetworkRetryPolicy(unsigned maximumRetries, Clock clock)
    : maximumRetries_(maximumRetries), clock_(std::move(clock)) {}

std::optional<double> NetworkRetryPolicy::delayAfterFailure() {
  double now = clock_();
  bool close = lastFailure_ && now - *lastFailure_ - 2.0 * interval_ < 0.0;
  if (close) {
    interval_ *= 2.0;
  } else {
    interval_ = kInitialInterval;
    retries_ = 0;
  }
  lastFailure_ = now;
  if (retries_ >= maximumRetries_) return std::nullopt;
  ++retries_;
  return interval_;
}

void NetworkRetryPolicy::reset() {
  lastFailure_.reset();
  interval_ = kInitialInterval;
  retries_ = 0;
}

}  // namespace quorvel
