// Phase names shared by the command frame and the commands, and the rule that
// thins out progress reports before they travel to the main thread.
#pragma once

#include <cstdint>
#include <string_view>

namespace quorvel {

// The frame's own phases (identifier 0): the pre-executable, the command
// body, and the post-executable.
inline constexpr const char* kPhasePreExecutable = "__pre__";
inline constexpr const char* kPhaseMain = "__main__";
inline constexpr const char* kPhasePostExecutable = "__post__";

// Whether a progress update passes on to the delegate, given the last value
// passed for the same phase identifier (0 when none passed yet). The
// "__main__" phase, a value of 0 and a value equal to max always pass;
// otherwise the value must have grown by at least 1 % of max since the last
// one (computed in double precision, so a decrease never passes).
bool PhaseUpdatePasses(std::string_view type, std::uint32_t current, std::uint32_t max, std::uint32_t last);

}  // namespace quorvel
