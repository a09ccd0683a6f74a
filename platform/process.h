// Who a process is, in a form that outlives it: its number, when it started (clock ticks
// since boot; on Windows its creation time) and which boot it ran in. A process number alone
// is used again once its process has died, and is meaningless after a reboot; with the start
// time and the boot it names one process only. Files and records a process leaves behind
// carry this tag, so that a later run can tell whether their owner still runs.
//
// Thread-safety: every function may be called from any thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace verdan::platform {

struct ProcessIdentity {
  pid_t pid = 0;
  unsigned long long start = 0;  // 0: not known
  std::string boot;              // eight hex digits of the boot id; "": not known
};

// The first eight hex digits of the running system's boot id (on Windows: of the second,
// since 1970, at which the system started); "" when it does not tell.
const std::string& BootTag();

// When process `pid` started, in clock ticks since boot (on Windows: its creation time in
// milliseconds since 1970); 0 when that cannot be read (no such
// process, or the system hides it).
unsigned long long ProcessStartTime(pid_t pid);

// "PID_START_BOOT" for process `pid` ("4242_81234_1f0c9a7e"), or the number alone when the
// system does not tell its start time or boot.
std::string ProcessTag(pid_t pid);

// The number of the running process.
pid_t ThisProcess();

// Reads a tag of either form; false for anything else.
bool ParseProcessTag(std::string_view text, ProcessIdentity& identity);

enum class ProcessState {
  kRuns,       // a process of that number runs (and, when the tag tells, started then)
  kEnded,      // no such process runs in this boot
  kOtherBoot,  // the tag is of another boot: of this machine before a restart, or of
               // another machine sharing the files
};
ProcessState StateOf(const ProcessIdentity& identity);

// What a program run for its output did.
struct CapturedRun {
  bool noPipe = false;    // no pipe for its output could be made: it was not started
  int spawnError = 0;     // errno when it could not be started (nothing else is set then)
  std::string output;     // what it wrote to its standard output
  bool timedOut = false;  // it ran past the limit and was killed
  bool tooLong = false;   // it wrote more than the most asked for and was killed
  bool exited = false;    // it ended by itself, with `exitStatus`; else a signal ended it
  int exitStatus = 0;
};

// Runs `argv` (argv[0] looked up in PATH) with standard input from the null device and its
// standard output captured, for at most `limit` and `mostBytes` of output. Waits for it to
// end in every case.
CapturedRun RunCapturingOutput(std::vector<std::string> argv, std::chrono::milliseconds limit,
                               std::size_t mostBytes);

}  // namespace verdan::platform
