// On Windows a process's start is its creation time as the system keeps it (100-nanosecond
// units since 1601, exact and fixed for the life of the process), and the boot is the
// moment the system started: the wall clock less the time since start-up, in seconds since
// 1970, eight hex digits. That moment is computed, so two processes of one boot may see it a
// little apart (the tick count's resolution, the clock set by time synchronisation): boots
// less than kSameBoot apart are taken as one, and a running process whose number and exact
// creation time match a tag is its owner whatever boot the tag names.
#include <windows.h>

#include <cstdio>
#include <memory>

#include "platform/process.h"

namespace verdan::platform {
namespace {

constexpr long long kSameBoot = 300;  // seconds

constexpr unsigned long long kUnixEpoch = 116444736000000000ULL;  // 1970 in 100 ns since 1601

unsigned long long Ticks(const FILETIME& t) {
  return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

unsigned long long BootSeconds() {
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  const unsigned long long since = ::GetTickCount64() * 10000ULL;
  const unsigned long long boot = Ticks(now) - since;
  return boot > kUnixEpoch ? (boot - kUnixEpoch) / 10000000ULL : 0;
}

struct HandleCloser {
  void operator()(HANDLE h) const {
    if (h) ::CloseHandle(h);
  }
};

// Opens process `pid` for what these functions ask; null when there is none (or it hides).
HANDLE OpenQuery(pid_t pid, DWORD& err) {
  HANDLE h = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE,
                           static_cast<DWORD>(pid));
  if (!h) h = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  err = h ? ERROR_SUCCESS : ::GetLastError();
  return h;
}

// A handle stays valid after its process ends while anyone holds one: ended is asked too.
bool NumberRuns(pid_t pid) {
  if (pid <= 0 || pid > 0xFFFFFFFFLL) return false;
  DWORD err = 0;
  std::unique_ptr<void, HandleCloser> h(OpenQuery(pid, err));
  if (!h) return err == ERROR_ACCESS_DENIED;  // there, but another user's
  const DWORD wait = ::WaitForSingleObject(h.get(), 0);
  if (wait == WAIT_OBJECT_0) return false;
  if (wait == WAIT_TIMEOUT) return true;
  DWORD code = 0;
  return !::GetExitCodeProcess(h.get(), &code) || code == STILL_ACTIVE;
}

}  // namespace

const std::string& BootTag() {
  static const std::string tag = [] {
    const unsigned long long seconds = BootSeconds();
    if (seconds == 0) return std::string();
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08llx", seconds & 0xFFFFFFFFULL);
    return std::string(hex);
  }();
  return tag;
}

unsigned long long ProcessStartTime(pid_t pid) {
  if (pid <= 0 || pid > 0xFFFFFFFFLL) return 0;
  DWORD err = 0;
  std::unique_ptr<void, HandleCloser> h(OpenQuery(pid, err));
  if (!h) return 0;
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!::GetProcessTimes(h.get(), &created, &exited, &kernel, &user)) return 0;
  return Ticks(created);
}

ProcessState StateOf(const ProcessIdentity& identity) {
  if (identity.pid <= 0) return ProcessState::kEnded;
  const bool runs =
      identity.pid == static_cast<pid_t>(::GetCurrentProcessId()) || NumberRuns(identity.pid);
  if (identity.start == 0) return runs ? ProcessState::kRuns : ProcessState::kEnded;
  if (runs) {
    const unsigned long long start = ProcessStartTime(identity.pid);
    // A start time that cannot be read is taken as a match: kept, to be safe.
    if (start == 0 || start == identity.start) return ProcessState::kRuns;
  }
  if (!BootTag().empty() && identity.boot.size() == 8) {
    const long long tagged = static_cast<long long>(std::stoull(identity.boot, nullptr, 16));
    const long long ours = static_cast<long long>(std::stoull(BootTag(), nullptr, 16));
    if (tagged - ours > kSameBoot || ours - tagged > kSameBoot) return ProcessState::kOtherBoot;
  }
  return ProcessState::kEnded;
}

}  // namespace verdan::platform
