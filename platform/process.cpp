#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace verdan::platform {
namespace {

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// A run of 1 to `max` decimal digits without a leading zero.
bool ParseNumber(std::string_view text, std::size_t max, unsigned long long& value) {
  if (text.empty() || text.size() > max || text[0] == '0') return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return true;
}

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

std::string ProcessTag(pid_t pid) {
  unsigned long long start = ProcessStartTime(pid);
  if (start == 0 || BootTag().empty()) return std::to_string(pid);
  return std::to_string(pid) + "_" + std::to_string(start) + "_" + BootTag();
}

bool ParseProcessTag(std::string_view text, ProcessIdentity& identity) {
  identity = {};
  std::size_t first = text.find('_');
  unsigned long long pid = 0;
  if (!ParseNumber(text.substr(0, first), 9, pid) || pid > INT_MAX) return false;
  identity.pid = static_cast<pid_t>(pid);
  if (first == std::string_view::npos) return true;
  std::string_view rest = text.substr(first + 1);
  std::size_t second = rest.find('_');
  if (second == std::string_view::npos || !ParseNumber(rest.substr(0, second), 20, identity.start))
    return false;
  std::string_view boot = rest.substr(second + 1);
  if (boot.size() != 8 || !std::all_of(boot.begin(), boot.end(), IsHexDigit)) return false;
  identity.boot = std::string(boot);
  return true;
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
