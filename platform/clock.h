// The clock port: today as a day count and the time of day in hundredths of a second.
//
// Day counts start at 28 December 1800 (day 0, a Sunday), so the weekday is the day count
// modulo 7 with 0 for Sunday. Clock values run from 0 up to, not including, 8640000
// hundredths; callers handle the wrap at midnight. The program reads the clock through
// `GetClock()`; a test installs a `SettableClock` with `ScopedClock`. Thread-safe.
#pragma once

#include <atomic>
#include <cstdint>

namespace verdan::platform {

constexpr std::int32_t kHundredthsPerDay = 8640000;

struct CivilDate {
  int year = 0;
  int month = 0;  // 1..12
  int day = 0;    // 1..31
};

// Day count of a civil date, and back. Valid for any proleptic Gregorian date.
std::int64_t DayCountFromDate(const CivilDate& date);
CivilDate DateFromDayCount(std::int64_t dayCount);

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::int64_t Today() const = 0;             // local day count
  virtual std::int32_t TimeOfDay() const = 0;         // local hundredths since midnight
  virtual std::int32_t UtcOffsetMinutes() const = 0;  // local time minus UTC, in minutes
};

// The clock of the operating system (local time zone).
Clock& SystemClock();

// Settles the local time zone for the rest of the run: with no TZ in the environment the C
// library reads the zone file again for every time it converts (several per archive entry),
// so the zone file is named once. A TZ already set is kept. Call before any thread starts.
void SettleTimeZone();

// A clock whose values the test sets; the time of day can advance by hand.
class SettableClock : public Clock {
 public:
  SettableClock(std::int64_t today = 0, std::int32_t timeOfDay = 0, std::int32_t offset = 0)
      : today_(today), time_(timeOfDay), offset_(offset) {}
  std::int64_t Today() const override { return today_.load(); }
  std::int32_t TimeOfDay() const override { return time_.load(); }
  std::int32_t UtcOffsetMinutes() const override { return offset_.load(); }
  void SetToday(std::int64_t day) { today_ = day; }
  void SetTimeOfDay(std::int32_t hundredths) { time_ = hundredths; }
  void SetUtcOffsetMinutes(std::int32_t minutes) { offset_ = minutes; }
  // Moves the time forward, rolling over midnight into the next day.
  void Advance(std::int32_t hundredths);

 private:
  std::atomic<std::int64_t> today_;
  std::atomic<std::int32_t> time_;
  std::atomic<std::int32_t> offset_;
};

// The clock the program uses now (the system clock unless a test installed another).
Clock& GetClock();

// Installs a clock for the life of the object, then puts the previous one back.
class ScopedClock {
 public:
  explicit ScopedClock(Clock& clock);
  ~ScopedClock();
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;

 private:
  Clock* previous_;
};

}  // namespace verdan::platform
