#include "platform/profile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include "platform/text.h"

namespace verdan::platform {
namespace {

std::mutex g_mutex;

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Strip(const std::string& s) {
  auto b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return {};
  auto e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

std::vector<std::string> ReadLines(const std::string& file) {
  std::vector<std::string> lines;
  std::ifstream in(file, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// Section name of a "[name]" line, or nothing.
bool SectionOf(const std::string& line, std::string& name) {
  std::string s = Strip(line);
  if (s.size() < 2 || s.front() != '[' || s.back() != ']') return false;
  name = Strip(s.substr(1, s.size() - 2));
  return true;
}

// Key and value of a "key=value" line.
bool KeyOf(const std::string& line, std::string& key, std::string& value) {
  std::string s = Strip(line);
  if (s.empty() || s[0] == ';' || s[0] == '#') return false;
  auto eq = s.find('=');
  if (eq == std::string::npos) return false;
  key = Strip(s.substr(0, eq));
  value = Strip(s.substr(eq + 1));
  return true;
}

bool WriteWhole(const std::string& file, const std::string& text) {
  std::string tmp = file + ".tmp" + std::to_string(::getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::size_t off = 0;
  bool ok = true;
  while (off < text.size()) {
    ssize_t n = ::write(fd, text.data() + off, text.size() - off);
    if (n <= 0) {
      ok = false;
      break;
    }
    off += static_cast<std::size_t>(n);
  }
  ok = ::fsync(fd) == 0 && ok;
  ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(tmp.c_str(), file.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace

std::string GetProfileString(const std::string& section, const std::string& key,
                             const std::string& defaultValue, const std::string& file) {
  std::lock_guard lock(g_mutex);
  const std::string wantSection = Lower(CutChars(section, 64));
  const std::string wantKey = Lower(CutChars(key, 64));
  bool inSection = false;
  for (const std::string& line : ReadLines(file)) {
    std::string name, k, v;
    if (SectionOf(line, name)) {
      inSection = Lower(name) == wantSection;
    } else if (inSection && KeyOf(line, k, v) && Lower(k) == wantKey) {
      return CutChars(v, 1024);
    }
  }
  return defaultValue;
}

bool WriteProfileString(const std::string& section, const std::string& key,
                        const std::string& value, const std::string& file) {
  std::lock_guard lock(g_mutex);
  const std::string sec = CutChars(section, 64);
  const std::string k = CutChars(key, 64);
  std::string v = CutChars(value, 1024);
  for (char& c : v)
    if (c == '\r' || c == '\n') c = ' ';  // one key is one line
  const std::string wantSection = Lower(sec);
  const std::string wantKey = Lower(k);

  std::vector<std::string> lines = ReadLines(file);
  bool inSection = false, sectionSeen = false, done = false;
  std::size_t insertAt = lines.size();
  for (std::size_t i = 0; i < lines.size() && !done; ++i) {
    std::string name, lk, lv;
    if (SectionOf(lines[i], name)) {
      if (inSection) {
        insertAt = i;
        break;
      }
      inSection = Lower(name) == wantSection;
      if (inSection) {
        sectionSeen = true;
        insertAt = i + 1;
      }
    } else if (inSection) {
      if (KeyOf(lines[i], lk, lv) && Lower(lk) == wantKey) {
        lines[i] = lk + "=" + v;
        done = true;
      } else if (!Strip(lines[i]).empty()) {
        insertAt = i + 1;
      }
    }
  }
  if (!done) {
    if (!sectionSeen) {
      lines.push_back("[" + sec + "]");
      insertAt = lines.size();
    }
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), k + "=" + v);
  }
  std::ostringstream out;
  for (const auto& l : lines) out << l << "\r\n";
  return WriteWhole(file, out.str());
}

}  // namespace verdan::platform
