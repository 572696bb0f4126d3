#include "engine/PhaseProgress.h"

namespace quorvel {

bool PhaseUpdatePasses(std::string_view type, std::uint32_t current, std::uint32_t max, std::uint32_t last) {
  if (type == kPhaseMain || current == 0 || current == max) return true;
  // With max 0 a growing value divides to +infinity and passes; a value
  // that did not grow gives a non-positive quotient (or NaN) and does not.
  double step = (static_cast<double>(current) - static_cast<double>(last)) / static_cast<double>(max);
  return step >= 0.01;
}

}  // namespace quorvel
