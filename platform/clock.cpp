#include "platform/clock.h"

#include <chrono>
#include <cstdlib>
#include <ctime>

#ifdef _WIN32
#include <windows.h>
#endif

namespace verdan::platform {
namespace {

// Days from 1970-01-01 for a civil date (H. Hinnant's algorithm).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

CivilDate CivilFromDays(std::int64_t z) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return CivilDate{static_cast<int>(y + (m <= 2)), static_cast<int>(m), static_cast<int>(d)};
}

const std::int64_t kEpochOffset = DaysFromCivil(1800, 12, 28);

#ifdef _WIN32
// Windows: the local time and zone as the system keeps them (the zone from its settings, not
// from a TZ variable).
class OsClock : public Clock {
 public:
  std::int64_t Today() const override {
    SYSTEMTIME st{};
    ::GetLocalTime(&st);
    return DayCountFromDate({st.wYear, st.wMonth, st.wDay});
  }
  std::int32_t TimeOfDay() const override {
    SYSTEMTIME st{};
    ::GetLocalTime(&st);
    return (st.wHour * 3600 + st.wMinute * 60 + st.wSecond) * 100 + st.wMilliseconds / 10;
  }
  std::int32_t UtcOffsetMinutes() const override {
    // Bias is UTC minus local time, in minutes; the daylight or standard bias adds to it.
    TIME_ZONE_INFORMATION tz{};
    DWORD which = ::GetTimeZoneInformation(&tz);
    LONG bias = tz.Bias;
    if (which == TIME_ZONE_ID_DAYLIGHT)
      bias += tz.DaylightBias;
    else if (which == TIME_ZONE_ID_STANDARD)
      bias += tz.StandardBias;
    else if (which == TIME_ZONE_ID_INVALID)
      return 0;
    return static_cast<std::int32_t>(-bias);
  }
};
#else
class OsClock : public Clock {
 public:
  std::int64_t Today() const override {
    std::tm tm = Local();
    return DayCountFromDate({tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday});
  }
  std::int32_t TimeOfDay() const override {
    auto now = std::chrono::system_clock::now();
    std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm tm{};
    localtime_r(&t, &tm);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    return (tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec) * 100 +
           static_cast<std::int32_t>(ms.count() / 10);
  }
  std::int32_t UtcOffsetMinutes() const override {
    std::tm tm = Local();
    return static_cast<std::int32_t>(tm.tm_gmtoff / 60);
  }

 private:
  static std::tm Local() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
  }
};

#endif

std::atomic<Clock*> g_clock{nullptr};

}  // namespace

std::int64_t DayCountFromDate(const CivilDate& date) {
  return DaysFromCivil(date.year, static_cast<unsigned>(date.month),
                       static_cast<unsigned>(date.day)) -
         kEpochOffset;
}

CivilDate DateFromDayCount(std::int64_t dayCount) { return CivilFromDays(dayCount + kEpochOffset); }

void SettableClock::Advance(std::int32_t hundredths) {
  std::int64_t t = static_cast<std::int64_t>(time_.load()) + hundredths;
  std::int64_t days = t / kHundredthsPerDay;
  t %= kHundredthsPerDay;
  if (t < 0) {
    t += kHundredthsPerDay;
    --days;
  }
  today_ += days;
  time_ = static_cast<std::int32_t>(t);
}

void SettleTimeZone() {
#ifdef _WIN32
  // The system answers for the zone directly; the C library's copy is for the rest.
  ::_tzset();
#else
  if (std::getenv("TZ") == nullptr) ::setenv("TZ", ":/etc/localtime", 0);
  ::tzset();
#endif
}

Clock& SystemClock() {
  static OsClock clock;
  return clock;
}

Clock& GetClock() {
  Clock* c = g_clock.load();
  return c ? *c : SystemClock();
}

ScopedClock::ScopedClock(Clock& clock) : previous_(g_clock.exchange(&clock)) {}
ScopedClock::~ScopedClock() { g_clock.store(previous_); }

}  // namespace verdan::platform
