// The names the weekday and date runs give their archives, and the reading of such a name
// back (which files of a destination are this program's own generations). Building and
// reading live together so that the two can never disagree.
//
// Naming modes: "dan" (the full weekday name), "dat" (day, month and four-digit year run
// together) and "mix" (the weekday's three-letter code followed by the date part).
//
// Thread-safety: the functions keep no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/clock.h"

namespace verdan::archive {

// Length of the window's base name IMEARHIVE.
constexpr std::size_t kBaseNameLength = 20;

// Weekday names and codes, Sunday first.
const char* WeekdayName(std::int64_t dayCount);
const char* WeekdayCode(std::int64_t dayCount);

// The date part of "dat" and "mix" names: day, month and year run together ("532006"); a
// date whose day and month together could read as another date gets two digits for each.
std::string DateStem(const platform::CivilDate& date);

// The base name for naming mode `TIP_ARH` (trailing blanks ignored) on day `today`: the full
// weekday name ("dan"), day, month and four-digit year without leading zeros ("dat"), or the
// weekday code followed by those ("mix"). Any other mode leaves `IMEARHIVE` as it was.
// `IMEARHIVE` is kept blank-padded to 20 characters.
void BuildArchiveName(const std::string& TIP_ARH, std::int64_t today, std::string& IMEARHIVE);

// True when `stem` (an archive's file name without prefix and ".zip") is a name that naming
// mode `mode` ("dan", "dat", "mix") gives: a weekday, a date of digits, or a weekday code
// followed by a date.
bool IsRunName(const std::string& mode, const std::string& stem);

}  // namespace verdan::archive
