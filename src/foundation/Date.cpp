#include "foundation/Date.h"

#include <atomic>

#include <chrono>

namespace quorvel {

namespace {
// Seconds added to the system's time; moved by tests of whole processes only.
std::atomic<double> gTestClockOffset{0};
}  // namespace

Date Date::now() {
  auto since1970 = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch());
  return fromUnixTime(since1970.count() + gTestClockOffset.load(std::memory_order_relaxed));
}

void Date::advanceClockForTesting(double seconds) {
  double offset = gTestClockOffset.load();
  while (!gTestClockOffset.compare_exchange_weak(offset, offset + seconds)) {
  }
}

double Date::timeIntervalSinceNow() const { return timeIntervalSinceDate(now()); }

}  // namespace quorvel
