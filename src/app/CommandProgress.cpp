#include "app/CommandProgress.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "foundation/Format.h"
#include "foundation/LocalizedString.h"

namespace quorvel {

namespace {

constexpr const char* kStrings = "Localizable";

bool IsMeasured(const std::string& type) {
  return type.starts_with("upload") || type.starts_with("download") || type.starts_with("verify");
}

}  // namespace

void CommandProgress::willBeginPhase(const std::string& type, std::uint32_t identifier, double now) {
  if (type == "__pre__" || type == "__post__") return;
  PhaseInfo phase;
  phase.type = type;
  phase.identifier = identifier;
  phase.lastTime = IsMeasured(type) ? 0 : std::numeric_limits<double>::quiet_NaN();
  if (type == "__main__") {
    main_ = phase;
    startTime_ = now;
    return;
  }
  active_.push_back(std::move(phase));
}

void CommandProgress::didEndPhase(const std::string& type, std::uint32_t identifier) {
  std::erase_if(active_, [&](const PhaseInfo& phase) { return phase.type == type && phase.identifier == identifier; });
}

CommandProgress::PhaseInfo* CommandProgress::find(const std::string& type, std::uint32_t identifier) {
  if (main_ && main_->type == type && main_->identifier == identifier) return &*main_;
  for (PhaseInfo& phase : active_) {
    if (phase.type == type && phase.identifier == identifier) return &phase;
  }
  return nullptr;
}

void CommandProgress::didUpdatePhase(const std::string& type, std::uint32_t identifier, std::uint32_t current,
                                     std::uint32_t max, double now) {
  PhaseInfo* phase = find(type, identifier);
  if (!phase || max == 0) return;
  phase->current = current;
  phase->max = max;
  if (std::isnan(phase->lastTime) || now - phase->lastTime <= 1.0) return;
  if (phase->lastTime != 0) {
    phase->speed = (static_cast<double>(current) - phase->lastValue) / (now - phase->lastTime);
  }
  phase->lastTime = now;
  phase->lastValue = current;
}

void CommandProgress::pause(double now) {
  if (!pausedAt_) pausedAt_ = now;
}

void CommandProgress::unpause(double now) {
  if (!pausedAt_) return;
  if (startTime_) *startTime_ += now - *pausedAt_;
  pausedAt_.reset();
}

std::optional<std::uint64_t> CommandProgress::speed(double now) const {
  double sum = 0;
  for (const PhaseInfo& phase : active_) {
    if (!std::isnan(phase.lastTime) && phase.lastTime != 0 && now - phase.lastTime < 2.0) sum += phase.speed;
  }
  if (sum < 1024) return std::nullopt;
  return static_cast<std::uint64_t>(sum);
}

std::optional<double> CommandProgress::secondsLeft(double now) const {
  if (!main_ || !startTime_ || main_->current == 0 || main_->max == 0) return std::nullopt;
  const double elapsed = (pausedAt_ ? *pausedAt_ : now) - *startTime_;
  if (elapsed <= kEstimateAfter) return std::nullopt;
  const double total = static_cast<double>(main_->max) / main_->current * elapsed;
  return std::max(0.0, total - elapsed);
}

std::string CommandProgress::ApproximateDuration(double seconds) {
  if (seconds < 60) return Format(LocalizedString(kStrings, "DURATION_MINUTE"), {Value(seconds), Value(0.0)});
  if (seconds < 3600) return Format(LocalizedString(kStrings, "DURATION_MINUTES"), {Value(std::ceil(seconds / 60)), Value(0.0)});
  const double minutes = std::round(std::fmod(seconds, 3600) / 60 / 5) * 5;
  return Format(LocalizedString(kStrings, "DURATION_HOURS"), {Value(std::floor(seconds / 3600)), Value(minutes)});
}

}  // namespace quorvel
