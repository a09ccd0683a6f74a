#include "archive/naming.h"

#include <algorithm>
#include <cstdio>

#include "platform/text.h"

namespace verdan::archive {
namespace {

constexpr const char* kWeekdayNames[7] = {"NEDJELJA", "PONEDJELJAK", "UTORAK", "SRIJEDA",
                                          "CETVRTAK", "PETAK",       "SUBOTA"};
constexpr const char* kWeekdayCodes[7] = {"NED", "PON", "UTO", "SRI", "CET", "PET", "SUB"};

int WeekdayIndex(std::int64_t dayCount) {
  int w = static_cast<int>(dayCount % 7);
  return w < 0 ? w + 7 : w;
}

bool AllDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A day, month and four-digit year run together: 6 to 8 digits.
bool IsDateStem(const std::string& s) { return s.size() >= 6 && s.size() <= 8 && AllDigits(s); }

}  // namespace

const char* WeekdayName(std::int64_t dayCount) { return kWeekdayNames[WeekdayIndex(dayCount)]; }
const char* WeekdayCode(std::int64_t dayCount) { return kWeekdayCodes[WeekdayIndex(dayCount)]; }

std::string DateStem(const platform::CivilDate& date) {
  const std::string dm = std::to_string(date.day) + std::to_string(date.month);
  // Day and month run together can read as another date of the year (11 January and
  // 1 November both give "111"); such dates take two digits each, a form no other date has.
  int readings = 0;
  for (std::size_t split = 1; split < dm.size(); ++split) {
    const std::string d = dm.substr(0, split), m = dm.substr(split);
    if (d[0] == '0' || m[0] == '0' || d.size() > 2 || m.size() > 2) continue;
    const int day = std::stoi(d), month = std::stoi(m);
    if (month < 1 || month > 12 || day < 1) continue;
    const platform::CivilDate probe{date.year, month, day};
    if (platform::DateFromDayCount(platform::DayCountFromDate(probe)).day == day) ++readings;
  }
  char padded[16];
  std::snprintf(padded, sizeof padded, "%02d%02d", date.day, date.month);
  return (readings > 1 ? std::string(padded) : dm) + std::to_string(date.year);
}

void BuildArchiveName(const std::string& TIP_ARH, std::int64_t today, std::string& IMEARHIVE) {
  std::string mode = platform::TrimRightCopy(TIP_ARH);
  platform::CivilDate date = platform::DateFromDayCount(today);
  std::string dmy = DateStem(date);
  if (mode == "dan")
    IMEARHIVE = WeekdayName(today);
  else if (mode == "dat")
    IMEARHIVE = dmy;
  else if (mode == "mix")
    IMEARHIVE = WeekdayCode(today) + dmy;
  IMEARHIVE = platform::FitField(IMEARHIVE, kBaseNameLength);
}

bool IsRunName(const std::string& mode, const std::string& stem) {
  if (mode == "dan") {
    for (std::int64_t d = 0; d < 7; ++d)
      if (stem == WeekdayName(d)) return true;
    return false;
  }
  if (mode == "dat") return IsDateStem(stem);
  if (mode == "mix") {
    for (std::int64_t d = 0; d < 7; ++d) {
      const std::string code = WeekdayCode(d);
      if (stem.rfind(code, 0) == 0 && IsDateStem(stem.substr(code.size()))) return true;
    }
  }
  return false;
}

}  // namespace verdan::archive
