// Points in time, counted the platform's way: seconds since 1 January 2001 GMT.
#pragma once

#include <compare>

namespace quorvel {

// Seconds between 1 January 1970 and 1 January 2001.
inline constexpr double kTimeIntervalSince1970 = 978307200.0;

class Date {
 public:
  constexpr Date() = default;
  constexpr explicit Date(double secondsSinceReferenceDate) : seconds_(secondsSinceReferenceDate) {}

  static Date now();
  // Moves now() forward in this whole process, as if the machine had slept
  // for that long: for tests that drive a scheduling process from outside
  // (the scheduler's AdvanceClock in its test mode). Never called otherwise.
  static void advanceClockForTesting(double seconds);
  static constexpr Date fromUnixTime(double secondsSince1970) {
    return Date(secondsSince1970 - kTimeIntervalSince1970);
  }
  static constexpr Date distantPast() { return Date(-63114076800.0); }
  static constexpr Date distantFuture() { return Date(63113904000.0); }

  constexpr double timeIntervalSinceReferenceDate() const { return seconds_; }
  constexpr double timeIntervalSince1970() const { return seconds_ + kTimeIntervalSince1970; }
  constexpr double timeIntervalSinceDate(const Date& other) const { return seconds_ - other.seconds_; }
  double timeIntervalSinceNow() const;
  constexpr Date addingTimeInterval(double seconds) const { return Date(seconds_ + seconds); }

  constexpr auto operator<=>(const Date&) const = default;
  constexpr bool operator==(const Date&) const = default;

 private:
  double seconds_ = 0.0;
};

}  // namespace quorvel
