// The log of runs, `verdan.log` in the working directory: one line for every backup,
// restore and send (when, what, which archive, how many files and bytes, how long, and how it
// ended), so that an unattended night can be checked in the morning. The file is kept below
// a size by moving it to `verdan.log.1` (replacing the older one) before it would pass it.
//
// Lines are tab-separated: "2026-12-08 23:50:12", command, archive (or "-"), files, bytes,
// seconds with two decimals, result ("OK", with what it left undone when it did, or "GREŠKA"
// and a short reason). Tabs and line breaks inside a field become blanks.
//
// Thread-safety: appends from several threads or processes are serialised by a lock on the
// file; each line is written whole.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace verdan::app {

inline constexpr const char* kRunLogFile = "verdan.log";
inline constexpr std::uint64_t kRunLogLimit = 1u << 20;  // bytes before the file is rotated

struct RunLogEntry {
  std::string command;  // "backup", "restore", "send"
  std::string archive;  // empty: none
  std::int64_t files = 0;
  std::int64_t bytes = 0;
  double seconds = 0;
  bool ok = false;
  std::string reason;   // why it failed (may be empty)
  std::string warning;  // what a run that succeeded left undone (may be empty)
};

// The entry as one line (no line end), stamped with the clock port's local time.
std::string FormatRunLogLine(const RunLogEntry& entry);

// Appends the entry to `file` (rotating it first when needed). False when it could not be
// written; a run's result never depends on its log line.
bool AppendRunLog(const RunLogEntry& entry, const std::string& file = kRunLogFile,
                  std::uint64_t limit = kRunLogLimit);

// The last `count` lines of the log (the rotated file first when the current one holds
// fewer), oldest first.
std::vector<std::string> LastRunLogLines(std::size_t count, const std::string& file = kRunLogFile);

// A log line as a window shows it: "Zadnje: 2026-12-08 23:50 backup /b/UTORAK.zip, 5 datoteka,
// 1.2 MB, 3.26 s: OK". A line that is not of the log's form is returned as it is.
std::string RunLogSummary(const std::string& line);

}  // namespace verdan::app
