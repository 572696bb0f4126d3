#include "foundation/Date.h"

#include <chrono>

namespace quorvel {

Date Date::now() {
  auto since1970 = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch());
  return fromUnixTime(since1970.count());
}

double Date::timeIntervalSinceNow() const { return timeIntervalSinceDate(now()); }

}  // namespace quorvel
