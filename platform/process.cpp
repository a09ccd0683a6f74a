#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

}  // namespace verdan::platform
