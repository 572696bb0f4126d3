// CommandProgress: what a running command's phase callbacks add up to - how
// far the main phase is, the transfer speed, and the time left - for the
// status lines of the scheduler and the desktop front end.
//
// Rules. "__pre__" and "__post__" phases are ignored; "__main__" is the main
// phase and starts the clock; every other phase is active until it ends.
// Phases whose type begins with "upload", "download" or "verify" are
// measured: an update more than a second after the last measurement sets the
// phase's speed to the bytes moved since then per second. The speed of the
// command is the sum over measured phases updated less than two seconds ago.
// The time left is known once the main phase has moved and the command has
// run for more than 30 seconds: total = maximum / current * elapsed.
// Suspended time does not count (pause()/unpause()).
//
// Times are seconds on any one scale, given by the caller. Not thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvel {

class CommandProgress {
 public:
  struct PhaseInfo {
    std::string type;
    std::uint32_t identifier = 0;
    std::uint32_t current = 0;
    std::uint32_t max = 0;
    std::uint32_t lastValue = 0;
    double lastTime = 0;  // NaN: never measured
    double speed = 0;     // bytes per second
  };

  static constexpr double kEstimateAfter = 30.0;

  void willBeginPhase(const std::string& type, std::uint32_t identifier, double now);
  void didEndPhase(const std::string& type, std::uint32_t identifier);
  void didUpdatePhase(const std::string& type, std::uint32_t identifier, std::uint32_t current, std::uint32_t max,
                      double now);
  void pause(double now);
  void unpause(double now);

  // Bytes per second, or nothing below 1 KiB/s.
  std::optional<std::uint64_t> speed(double now) const;
  std::optional<double> secondsLeft(double now) const;
  // Main phase: steps done and planned.
  std::uint32_t mainCurrent() const { return main_ ? main_->current : 0; }
  std::uint32_t mainMax() const { return main_ ? main_->max : 0; }
  std::optional<double> startTime() const { return startTime_; }

  // "less than a minute", "about 5 minutes", "about 2 hours 15 minutes"
  // (localized "DURATION_MINUTE", "DURATION_MINUTES", "DURATION_HOURS").
  static std::string ApproximateDuration(double seconds);

 private:
  PhaseInfo* find(const std::string& type, std::uint32_t identifier);

  std::optional<PhaseInfo> main_;
  std::vector<PhaseInfo> active_;
  std::optional<double> startTime_;
  std::optional<double> pausedAt_;
};

}  // namespace quorvel
