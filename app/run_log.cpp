#include "app/run_log.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <deque>

#include "platform/clock.h"
#include "platform/files.h"

namespace verdan::app {
namespace {

std::string Field(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  return out;
}

// Lines of a regular file (a FIFO or device under the name is never read).
std::vector<std::string> ReadLines(const std::string& file) {
  std::vector<std::string> lines;
  platform::FileHandle fd = platform::OpenFile(file, platform::Access::kRead);
  if (fd == platform::kNoFile) return lines;
  platform::FileInfo info;
  std::string text;
  if (platform::InfoOf(fd, info) && info.kind == platform::FileKind::kRegular) {
    char buf[65536];
    for (std::int64_t n; (n = platform::ReadNext(fd, buf, sizeof buf)) > 0;)
      text.append(buf, static_cast<std::size_t>(n));
  }
  platform::CloseFile(fd);
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace

std::string FormatRunLogLine(const RunLogEntry& e) {
  const platform::Clock& clock = platform::GetClock();
  const platform::CivilDate d = platform::DateFromDayCount(clock.Today());
  const std::int32_t t = clock.TimeOfDay() / 100;
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d", d.year, d.month, d.day,
                t / 3600, t / 60 % 60, t % 60);
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.2f", e.seconds);
  std::string result = e.ok ? "OK" : "GREŠKA";
  if (!e.ok && !e.reason.empty()) result += ": " + e.reason;
  if (e.ok && !e.warning.empty()) result += ": " + e.warning;
  return std::string(stamp) + "\t" + Field(e.command) + "\t" +
         (e.archive.empty() ? "-" : Field(e.archive)) + "\t" + std::to_string(e.files) + "\t" +
         std::to_string(e.bytes) + "\t" + seconds + "\t" + Field(result);
}

bool AppendRunLog(const RunLogEntry& entry, const std::string& file, std::uint64_t limit) {
  const std::string line = FormatRunLogLine(entry) + "\n";
  for (int attempt = 0; attempt < 4; ++attempt) {
    platform::FileHandle fd = platform::OpenForAppending(file, 0644);
    if (fd == platform::kNoFile) return false;
    platform::FileInfo st;
    if (!platform::InfoOf(fd, st) || st.kind != platform::FileKind::kRegular) {
      platform::CloseFile(fd);
      return false;
    }
    platform::LockFile(fd, platform::LockWait::kWait);
    // Another process may have rotated the file between our open and our lock: the name
    // then names a new file, and the line goes there.
    platform::FileInfo now;
    if (!platform::InfoAt(file, now) || !now.SameFile(st)) {
      platform::CloseFile(fd);
      continue;
    }
    if (now.size + line.size() > limit && now.size > 0) {
      platform::RenameName(file, file + ".1");
      platform::CloseFile(fd);  // releases the lock; the next attempt creates the new file
      continue;
    }
    bool ok = platform::WriteAll(fd, line.data(), line.size());
    platform::CloseFile(fd);
    return ok;
  }
  return false;
}

std::string RunLogSummary(const std::string& line) {
  std::vector<std::string> f;
  std::size_t start = 0;
  while (start <= line.size()) {
    std::size_t tab = line.find('\t', start);
    if (tab == std::string::npos) tab = line.size();
    f.push_back(line.substr(start, tab - start));
    start = tab + 1;
  }
  if (f.size() < 7) return line;
  char size[32];
  const double bytes = std::strtod(f[4].c_str(), nullptr);
  if (bytes >= 1024.0 * 1024.0)
    std::snprintf(size, sizeof size, "%.1f MB", bytes / (1024.0 * 1024.0));
  else
    std::snprintf(size, sizeof size, "%.0f KB", bytes / 1024.0);
  std::string text = "Zadnje: " + f[0].substr(0, 16) + " " + f[1];
  if (f[2] != "-") text += " " + f[2];
  text += ", " + f[3] + " datoteka, " + size + ", " + f[5] + " s: " + f[6];
  return text;
}

std::vector<std::string> LastRunLogLines(std::size_t count, const std::string& file) {
  std::deque<std::string> last;
  for (const std::string& name : {file + ".1", file}) {
    for (std::string& line : ReadLines(name)) {
      if (line.empty()) continue;
      last.push_back(std::move(line));
      if (last.size() > count) last.pop_front();
    }
  }
  return {last.begin(), last.end()};
}

}  // namespace verdan::app
