// The process tag's text, the same on every system.
#include <algorithm>
#include <climits>

#include "platform/process.h"

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

}  // namespace

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

}  // namespace verdan::platform
