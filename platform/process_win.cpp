// On Windows a process's start is its creation time as the system keeps it (fixed for the
// life of the process), in milliseconds since 1970: exact enough that no process number is
// used twice within one, and short enough for a tag to fit a table's status field. The boot
// is the moment the system started: the wall clock less the time since start-up, in seconds
// since 1970, eight hex digits. That moment is computed, so two processes of one boot may see it a
// little apart (the tick count's resolution, the clock set by time synchronisation): boots
// less than kSameBoot apart are taken as one, and a running process whose number and exact
// creation time match a tag is its owner whatever boot the tag names.
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>

#include "platform/process.h"
#include "platform/wide.h"

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

pid_t ThisProcess() { return static_cast<pid_t>(::GetCurrentProcessId()); }

CapturedRun RunCapturingOutput(std::vector<std::string> argv, std::chrono::milliseconds limit,
                               std::size_t mostBytes) {
  CapturedRun run;
  if (argv.empty()) {
    run.spawnError = EINVAL;
    return run;
  }
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
    run.noPipe = true;
    return run;
  }
  ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  HANDLE nul = ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
  std::wstring command;
  for (const std::string& a : argv)
    command += (command.empty() ? L"" : L" ") + QuotedArgument(WideFromUtf8(a));
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = nul;
  si.hStdOutput = writeEnd;
  si.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION pi{};
  // The program is looked for as the system looks for a command: its folder, the working
  // folder, the system's folders, then PATH.
  const BOOL started = ::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE,
                                        CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi);
  const DWORD startError = ::GetLastError();
  ::CloseHandle(writeEnd);
  if (nul != INVALID_HANDLE_VALUE) ::CloseHandle(nul);
  if (!started) {
    ::CloseHandle(readEnd);
    run.spawnError = startError == ERROR_FILE_NOT_FOUND || startError == ERROR_PATH_NOT_FOUND
                         ? ENOENT
                     : startError == ERROR_ACCESS_DENIED ? EACCES
                                                         : EIO;
    return run;
  }
  ::CloseHandle(pi.hThread);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      run.timedOut = true;
      break;
    }
    DWORD available = 0;
    if (!::PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr)) break;  // closed
    if (available == 0) {
      // Nothing to read yet: wait a little for the process (or for output).
      ::WaitForSingleObject(pi.hProcess, static_cast<DWORD>(std::min<long long>(left.count(), 20)));
      continue;
    }
    char buf[4096];
    DWORD n = 0;
    if (!::ReadFile(readEnd, buf, std::min<DWORD>(available, sizeof buf), &n, nullptr) || n == 0)
      break;
    run.output.append(buf, n);
    if (run.output.size() > mostBytes) {
      run.tooLong = true;
      break;
    }
  }
  ::CloseHandle(readEnd);
  if (run.timedOut || run.tooLong) ::TerminateProcess(pi.hProcess, 1);
  ::WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(pi.hProcess, &code);
  ::CloseHandle(pi.hProcess);
  // A process that was ended from outside is told as ended by a signal.
  run.exited = !(run.timedOut || run.tooLong);
  run.exitStatus = run.exited ? static_cast<int>(code) : 0;
  return run;
}

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
  const unsigned long long ticks = Ticks(created);
  return ticks > kUnixEpoch ? (ticks - kUnixEpoch) / 10000ULL : 0;
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
