#include "model/ScheduleDate.h"

#include <cmath>
#include <ctime>

namespace quorvel {

namespace {

std::tm LocalTime(Date date) {
  const auto seconds = static_cast<std::time_t>(std::floor(date.timeIntervalSince1970()));
  std::tm local{};
  localtime_r(&seconds, &local);
  return local;
}

// The local date of `day` at hour:minute, `daysLater` calendar days on.
Date LocalDateAt(Date day, int daysLater, int hour, int minute) {
  std::tm local = LocalTime(day);
  local.tm_mday += daysLater;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = 0;
  local.tm_isdst = -1;  // whatever the clock says on that day
  return Date::fromUnixTime(static_cast<double>(std::mktime(&local)));
}

std::optional<Date> IntervalDate(double interval, std::optional<Date> lastBackup, Date now) {
  if (!lastBackup) return now.addingTimeInterval(interval);
  const Date due = lastBackup->addingTimeInterval(interval);
  return due > now ? due : NextMinuteDate(now);
}

std::optional<Date> DailyDate(double timeOfDay, std::optional<Date> lastBackup, Date now) {
  const auto seconds = static_cast<long>(std::floor(timeOfDay));
  const int hour = static_cast<int>(seconds / 3600);
  const int minute = static_cast<int>((seconds % 3600) / 60);
  const Date day = lastBackup ? *lastBackup : now;
  Date candidate = LocalDateAt(day, 0, hour, minute);
  if (candidate > now) return candidate;
  candidate = LocalDateAt(day, 1, hour, minute);
  if (lastBackup && candidate <= now) return NextMinuteDate(now);
  return candidate;
}

}  // namespace

Date NextMinuteDate(Date now) {
  const Date soon = now.addingTimeInterval(30);
  const auto secondOfMinute = static_cast<long long>(std::floor(soon.timeIntervalSince1970())) % 60;
  return soon.addingTimeInterval(static_cast<double>(60 - (secondOfMinute + 60) % 60));
}

Date LocalMidnight(Date date) { return LocalDateAt(date, 0, 0, 0); }

std::optional<Date> NextScheduleDate(const ScheduleSettings& settings, std::optional<Date> lastBackup, Date now) {
  std::optional<Date> byInterval;
  std::optional<Date> byDay;
  if (settings.interval > 0) byInterval = IntervalDate(settings.interval, lastBackup, now);
  if (settings.daily) byDay = DailyDate(settings.timeOfDay, lastBackup, now);
  if (byInterval && byDay) return *byInterval < *byDay ? byInterval : byDay;
  return byDay ? byDay : byInterval;
}

}  // namespace quorvel
