#include "archive/generations.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "archive/archive_runs.h"
#include "platform/profile.h"
#include "platform/text.h"

namespace verdan::archive {
namespace {

constexpr const char* kSettingsFile = "verdan.env";

bool AllDigits(const std::string& s, std::size_t from = 0) {
  if (s.size() <= from) return false;
  return std::all_of(s.begin() + static_cast<std::ptrdiff_t>(from), s.end(),
                     [](char c) { return c >= '0' && c <= '9'; });
}

// A day, month and four-digit year run together: 6 to 8 digits.
bool IsDateStem(const std::string& s) { return s.size() >= 6 && s.size() <= 8 && AllDigits(s); }

}  // namespace

int KeptGenerations() {
  std::string v = platform::TrimRightCopy(
      platform::GetProfileString(kGenerationsSection, kGenerationsKey, "", kSettingsFile));
  if (v.empty() || v.size() > 4 || !AllDigits(v)) return 0;
  return std::stoi(v);
}

bool SetKeptGenerations(int generations) {
  if (generations < 0 || generations > kMostGenerations) return false;
  return platform::WriteProfileString(kGenerationsSection, kGenerationsKey,
                                      generations == 0 ? "" : std::to_string(generations), kSettingsFile);
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

std::vector<std::string> PruneGenerations(const std::string& prefix, const std::string& mode, int keep,
                                          const std::string& current) {
  std::vector<std::string> removed;
  if (keep <= 0) return removed;
  namespace fs = std::filesystem;
  const std::size_t cut = prefix.rfind('/');
  const std::string dir = cut == std::string::npos ? "." : (cut == 0 ? "/" : prefix.substr(0, cut));
  const std::string namePrefix = cut == std::string::npos ? prefix : prefix.substr(cut + 1);
  struct Candidate {
    std::string path;
    fs::file_time_type time;
  };
  std::vector<Candidate> found;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() <= namePrefix.size() + 4 || name.rfind(namePrefix, 0) != 0 ||
        name.compare(name.size() - 4, 4, ".zip") != 0)
      continue;
    const std::string stem = name.substr(namePrefix.size(), name.size() - namePrefix.size() - 4);
    std::error_code fe;
    if (!IsRunName(mode, stem) || !it->is_regular_file(fe)) continue;
    found.push_back({it->path().string(), it->last_write_time(fe)});
  }
  std::sort(found.begin(), found.end(), [](const Candidate& a, const Candidate& b) { return a.time > b.time; });
  // The archive just written counts first, whatever the clock says of the others.
  auto same = [&](const std::string& path) { return fs::equivalent(path, current, ec); };
  std::stable_partition(found.begin(), found.end(), [&](const Candidate& c) { return same(c.path); });
  for (std::size_t i = static_cast<std::size_t>(keep); i < found.size(); ++i) {
    const std::string& path = found[i].path;
    if (same(path)) continue;
    if (::unlink(path.c_str()) == 0) removed.push_back(path);
    const std::string second = path.substr(0, path.size() - 4) + "_2_.zip";
    if (::unlink(second.c_str()) == 0) removed.push_back(second);
  }
  return removed;
}

}  // namespace verdan::archive
