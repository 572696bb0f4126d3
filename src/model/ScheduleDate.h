// When a configured backup runs next by its schedule: an interval after the
// last backup, a time of day, or both (the earlier wins).
//
// Dates are seconds since 2001 (Date). Days and midnights are local, in the
// process's time zone (TZ), so a daily time keeps its hour on the clock
// across daylight-saving changes. Nothing here reads the clock: `now` is
// always given, so that the rules are tested on a hand-driven clock.
//
// Edge cases:
//   - interval 0 (or less) and daily off: no date at all;
//   - an interval whose date has passed (the computer was off): the next
//     whole minute at least 30 seconds away, so that an overdue backup is
//     asked for every minute until it has run;
//   - daily at 14:30, never backed up, now 15:00: tomorrow 14:30;
//     last backup yesterday 14:31, now 09:00: today 14:30;
//     last backup two days ago, now 15:00: the next minute;
//   - both schedules giving the same date: that date (the daily one).
#pragma once

#include <optional>

#include "foundation/Date.h"

namespace quorvel {

struct ScheduleSettings {
  // Seconds between backups; 0 or less: no interval schedule.
  double interval = 0;
  bool daily = false;
  // Seconds after local midnight; its hours and minutes count, its seconds
  // do not.
  double timeOfDay = 0;
};

// The first whole minute at least 30 seconds after `now` (now's fraction of
// a second is kept).
Date NextMinuteDate(Date now);

// Local midnight of the day `date` falls on.
Date LocalMidnight(Date date);

// The next scheduled run, or nothing when the settings schedule none.
// `lastBackup` is when the last backup ran (the newest "performBackup"
// history entry), nothing when it never ran.
std::optional<Date> NextScheduleDate(const ScheduleSettings& settings, std::optional<Date> lastBackup, Date now);

}  // namespace quorvel
