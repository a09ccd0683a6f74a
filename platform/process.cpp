#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace verdan::platform {
namespace {

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

bool NumberRuns(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

}  // namespace

const std::string& BootTag() {
  static const std::string tag = [] {
    std::string text;
    int fd = ::open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      char buf[64];
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n > 0) text.assign(buf, static_cast<std::size_t>(n));
      ::close(fd);
    }
    std::string hex;
    for (char c : text) {
      if (hex.size() == 8) break;
      if (IsHexDigit(c))
        hex += c;
      else if (c != '-')
        break;
    }
    return hex.size() == 8 ? hex : std::string();
  }();
  return tag;
}

unsigned long long ProcessStartTime(pid_t pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/stat";
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char buf[1024];
  ssize_t n = ::read(fd, buf, sizeof buf - 1);
  ::close(fd);
  if (n <= 0) return 0;
  buf[n] = '\0';
  // The command name (field 2) may hold blanks and parentheses: count from the last ')'.
  const char* p = std::strrchr(buf, ')');
  if (p == nullptr) return 0;
  ++p;
  for (int field = 3; field < 22; ++field) {
    while (*p == ' ') ++p;
    while (*p != ' ' && *p != '\0') ++p;
  }
  while (*p == ' ') ++p;
  unsigned long long value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) value = value * 10 + static_cast<unsigned>(*p - '0');
  return value;
}

pid_t ThisProcess() { return ::getpid(); }

ProcessState StateOf(const ProcessIdentity& identity) {
  if (identity.pid <= 0) return ProcessState::kEnded;
  if (identity.start == 0)
    return identity.pid == ::getpid() || NumberRuns(identity.pid) ? ProcessState::kRuns
                                                                  : ProcessState::kEnded;
  if (!BootTag().empty() && identity.boot != BootTag()) return ProcessState::kOtherBoot;
  if (!NumberRuns(identity.pid)) return ProcessState::kEnded;
  unsigned long long start = ProcessStartTime(identity.pid);
  // A start time that cannot be read is taken as a match: kept, to be safe.
  return start == 0 || start == identity.start ? ProcessState::kRuns : ProcessState::kEnded;
}

CapturedRun RunCapturingOutput(std::vector<std::string> argv, std::chrono::milliseconds limit,
                               std::size_t mostBytes) {
  CapturedRun run;
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    run.noPipe = true;
    return run;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (spawned != 0) {
    ::close(out[0]);
    run.spawnError = spawned;
    return run;
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      run.timedOut = true;
      break;
    }
    pollfd p{out[0], POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    char buf[4096];
    const ssize_t n = ::read(out[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    run.output.append(buf, static_cast<std::size_t>(n));
    if (run.output.size() > mostBytes) {
      run.tooLong = true;
      break;
    }
  }
  ::close(out[0]);
  if (run.timedOut || run.tooLong) ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.exited = WIFEXITED(status);
  run.exitStatus = run.exited ? WEXITSTATUS(status) : 0;
  return run;
}

}  // namespace verdan::platform
