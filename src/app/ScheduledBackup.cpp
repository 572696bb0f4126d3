#include "app/ScheduledBackup.h"

#include <algorithm>

#include "foundation/Url.h"
#include "model/Backup.h"

namespace quorvel {

namespace {

std::uint16_t UsualPort(const std::string& scheme) {
  static const std::pair<const char*, std::uint16_t> kPorts[] = {
      {"ftp", 21}, {"ftps", 990}, {"sftp", 22}, {"ssh", 22},   {"http", 80},
      {"https", 443}, {"smb", 445}, {"cifs", 445}, {"afp", 548}, {"webdav", 80},
  };
  for (const auto& [name, port] : kPorts) {
    if (scheme == name) return port;
  }
  return 0;
}

}  // namespace

ScheduledBackup::ScheduledBackup(Backup& backup, BackupDelegate& delegate, Clock clock, double connectionDelay,
                                 std::function<bool()> isPerformingBackup)
    : backup_(backup),
      delegate_(delegate),
      clock_(std::move(clock)),
      connectionDelay_(connectionDelay),
      isPerformingBackup_(std::move(isPerformingBackup)) {}

ScheduledBackup::~ScheduledBackup() {
  if (scheduleTimer_) scheduleTimer_->invalidate();
  cancelNetworkTimer();
  if (reachability_) reachability_->setDelegate(nullptr);
}

std::optional<std::pair<std::string, std::uint16_t>> ScheduledBackup::WatchedAddress(const Url& destination) {
  if (destination.isFileURL() || destination.host().empty()) return std::nullopt;
  std::string host = destination.host();
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  const std::uint16_t port =
      destination.port() ? static_cast<std::uint16_t>(*destination.port()) : UsualPort(destination.scheme());
  return std::make_pair(host, port);
}

void ScheduledBackup::updateScheduleDate() {
  backup_.updateScheduleDate(clock_());
  armScheduleTimer();
}

void ScheduledBackup::didWakeUp() { armScheduleTimer(); }

void ScheduledBackup::armScheduleTimer() {
  if (scheduleTimer_) scheduleTimer_->invalidate();
  scheduleTimer_.reset();
  const std::optional<Date> date = backup_.nextScheduleDate();
  if (!date) return;
  const double delay = std::max(0.0, date->timeIntervalSinceReferenceDate() - clock_().timeIntervalSinceReferenceDate());
  scheduleTimer_ = Timer::withTimeInterval(delay, false, [this](Timer&) { scheduleTimerFired(); });
  RunLoop::main().addTimer(scheduleTimer_, kRunLoopCommonModes);
}

void ScheduledBackup::scheduleTimerFired() {
  if (!isPerformingBackup_()) delegate_.backupDidSchedule(backup_);
  updateScheduleDate();
}

void ScheduledBackup::updateReachability() {
  cancelNetworkTimer();
  if (reachability_) reachability_->setDelegate(nullptr);
  reachability_.reset();
  std::shared_ptr<const Url> destination = backup_.destinationURLWithoutPassword();
  if (!destination) return;
  if (std::optional<std::pair<std::string, std::uint16_t>> address = WatchedAddress(*destination)) {
    reachability_ = NetworkReachability::initWithHostName(address->first, address->second);
    if (reachability_) reachability_->setDelegate(this);
  }
}

bool ScheduledBackup::isHostReachable() const { return !reachability_ || reachability_->isReachable(); }

void ScheduledBackup::networkReachabilityDidUpdate(NetworkReachability& reachability) {
  cancelNetworkTimer();
  if (!reachability.isReachable()) return;
  networkTimer_ = Timer::withTimeInterval(connectionDelay_, false, [this](Timer&) { networkTimerFired(); });
  RunLoop::main().addTimer(networkTimer_, kRunLoopCommonModes);
}

void ScheduledBackup::networkTimerFired() {
  networkTimer_.reset();
  if (!reachability_ || !reachability_->isReachable() || isPerformingBackup_()) return;
  if (backup_.scheduleOnConnection()) {
    delegate_.backupDidSchedule(backup_);
  } else {
    delegate_.backupDidConnect(backup_);
  }
}

void ScheduledBackup::cancelNetworkTimer() {
  if (networkTimer_) networkTimer_->invalidate();
  networkTimer_.reset();
}

}  // namespace quorvel
