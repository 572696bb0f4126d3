#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <optional>
#include <string>

#include "model/BackupQueue.h"
#include "model/ScheduleDate.h"

namespace quorvel {
namespace {

// Runs the test in a time zone, restoring the process's afterwards.
class InTimeZone {
 public:
  explicit InTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~InTimeZone() {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> saved_;
};

// A local wall-clock time in the current zone.
Date Local(int year, int month, int day, int hour, int minute, double second = 0) {
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_isdst = -1;
  return Date::fromUnixTime(static_cast<double>(std::mktime(&local)) + second);
}

std::string Text(std::optional<Date> date) {
  if (!date) return "none";
  const auto seconds = static_cast<std::time_t>(date->timeIntervalSince1970());
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  const double fraction = date->timeIntervalSince1970() - static_cast<double>(seconds);
  return std::string(text) + (fraction > 0 ? "+" + std::to_string(static_cast<int>(fraction * 10 + 0.5)) + "/10" : "");
}

TEST(ScheduleDate, TheNextMinuteIsAWholeMinuteAtLeastThirtySecondsAway) {
  InTimeZone zone("UTC");
  EXPECT_EQ(Text(NextMinuteDate(Local(2026, 5, 4, 10, 0, 0))), "2026-05-04 10:01:00");
  EXPECT_EQ(Text(NextMinuteDate(Local(2026, 5, 4, 10, 0, 29))), "2026-05-04 10:01:00");
  EXPECT_EQ(Text(NextMinuteDate(Local(2026, 5, 4, 10, 0, 31))), "2026-05-04 10:02:00");
  EXPECT_EQ(Text(NextMinuteDate(Local(2026, 5, 4, 10, 0, 12.5))), "2026-05-04 10:01:00+5/10");
}

TEST(ScheduleDate, IntervalsDailyTimesAndBoth) {
  InTimeZone zone("UTC");
  const Date now = Local(2026, 5, 4, 15, 0, 10);
  const double hour = 3600;
  const double at1430 = 14 * hour + 30 * 60 + 59;  // the seconds do not count
  struct Case {
    const char* what;
    ScheduleSettings settings;
    std::optional<Date> last;
    Date now;
    const char* expected;
  } cases[] = {
      {"nothing scheduled", {0, false, 0}, Local(2026, 5, 4, 14, 0), now, "none"},
      {"interval, never backed up", {hour, false, 0}, std::nullopt, now, "2026-05-04 16:00:10"},
      {"interval after the last backup", {hour, false, 0}, Local(2026, 5, 4, 14, 30), now, "2026-05-04 15:30:00"},
      {"interval overdue", {hour, false, 0}, Local(2026, 5, 4, 13, 0), now, "2026-05-04 15:01:00"},
      {"daily, never backed up, time passed", {0, true, at1430}, std::nullopt, now, "2026-05-05 14:30:00"},
      {"daily, never backed up, time ahead", {0, true, at1430}, std::nullopt, Local(2026, 5, 4, 9, 0),
       "2026-05-04 14:30:00"},
      {"daily, last yesterday after the time", {0, true, at1430}, Local(2026, 5, 3, 14, 31), Local(2026, 5, 4, 9, 0),
       "2026-05-04 14:30:00"},
      {"daily, last two days ago", {0, true, at1430}, Local(2026, 5, 2, 14, 31), now, "2026-05-04 15:01:00"},
      {"both: the interval is earlier", {hour, true, at1430}, Local(2026, 5, 4, 14, 45), now, "2026-05-04 15:45:00"},
      {"both: the daily time is earlier", {6 * hour, true, 16 * hour}, Local(2026, 5, 4, 14, 45), now,
       "2026-05-04 16:00:00"},
      {"both on the same date", {hour, true, 16 * hour}, Local(2026, 5, 4, 15, 0), now, "2026-05-04 16:00:00"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Text(NextScheduleDate(c.settings, c.last, c.now)), c.expected) << c.what;
  }
}

// A daily time keeps its hour on the clock over a daylight-saving change (the
// day of the change in Berlin has 23 hours).
TEST(ScheduleDate, ADailyTimeFollowsTheClockOverADaylightSavingChange) {
  if (access("/usr/share/zoneinfo/Europe/Berlin", R_OK) != 0) GTEST_SKIP() << "no time zone data (tzdata)";
  InTimeZone zone("Europe/Berlin");
  const ScheduleSettings daily{0, true, 14 * 3600.0 + 30 * 60};
  std::optional<Date> next = NextScheduleDate(daily, Local(2026, 3, 28, 14, 30), Local(2026, 3, 28, 16, 0));
  EXPECT_EQ(Text(next), "2026-03-29 14:30:00");
  ASSERT_TRUE(next);
  EXPECT_EQ(next->timeIntervalSinceDate(Local(2026, 3, 28, 14, 30)), 23 * 3600.0);
  EXPECT_EQ(Text(LocalMidnight(Local(2026, 3, 29, 12, 0))), "2026-03-29 00:00:00");
}

TEST(BackupQueue, OneBackupAtATimeWaitingOnesKeepTheirPlaceSkippedOnesLeave) {
  BackupQueue queue;
  EXPECT_TRUE(queue.enqueue("a"));
  EXPECT_TRUE(queue.enqueue("b"));
  EXPECT_TRUE(queue.enqueue("c"));
  EXPECT_FALSE(queue.enqueue("a")) << "no duplicates";
  std::map<std::string, BackupQueue::Readiness> answers = {
      {"a", BackupQueue::kWait}, {"b", BackupQueue::kNotThisTime}, {"c", BackupQueue::kRunNow}};
  std::vector<std::string> asked;
  auto readiness = [&](const std::string& uuid) {
    asked.push_back(uuid);
    return answers.at(uuid);
  };

  // Nothing starts while another backup runs, and nobody is asked.
  EXPECT_EQ(queue.check(true, readiness), std::nullopt);
  EXPECT_TRUE(asked.empty());
  EXPECT_EQ(queue.entries(), (std::vector<std::string>{"a", "b", "c"}));

  // a waits in place, b is skipped this time, c starts.
  EXPECT_EQ(queue.check(false, readiness), "c");
  EXPECT_EQ(asked, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(queue.entries(), (std::vector<std::string>{"a"}));

  // The walk ends at the first backup that starts.
  queue.enqueue("c");
  queue.enqueue("b");
  answers["a"] = BackupQueue::kRunNow;
  asked.clear();
  EXPECT_EQ(queue.check(false, readiness), "a");
  EXPECT_EQ(asked, (std::vector<std::string>{"a"}));
  EXPECT_EQ(queue.entries(), (std::vector<std::string>{"c", "b"}));
  EXPECT_TRUE(queue.dequeue("c"));
  EXPECT_FALSE(queue.dequeue("c"));
  EXPECT_FALSE(queue.contains("c"));
  answers["b"] = BackupQueue::kWait;
  EXPECT_EQ(queue.check(false, readiness), std::nullopt);
  EXPECT_EQ(queue.entries(), (std::vector<std::string>{"b"}));
}

}  // namespace
}  // namespace quorvel
