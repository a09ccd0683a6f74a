// The settings are kept by this code on every system rather than by Windows' own profile
// calls: those look for a bare file name in the Windows directory, not the working one, and
// rewrite the file in place, where this code replaces it whole.
#include "platform/profile.h"

#ifdef _WIN32
#include <windows.h>
#undef GetProfileString  // the system's own profile calls, not this port's
#undef WriteProfileString

#include "platform/wide.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <set>
#include <sstream>
#include <vector>

#include "platform/text.h"

namespace verdan::platform {
namespace {

std::mutex g_mutex;
ProfileNotice g_notice;             // under g_mutex
std::set<std::string> g_noticed;    // files already reported, under g_mutex

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

// How a profile file stands: missing, a regular file, or something else under that name (a
// FIFO, a device, a directory) that must never be opened for reading or replaced.
enum class FileKind { kMissing, kRegular, kOther };

#ifdef _WIN32
FileKind KindOf(const std::string& file) {
  DWORD attributes = ::GetFileAttributesW(WideFromUtf8(file).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return FileKind::kMissing;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? FileKind::kOther : FileKind::kRegular;
}

// Reads the lines of a regular file. What opens must be a disk file (not a device such as
// CON or a pipe) to be read.
std::vector<std::string> ReadLines(const std::string& file, FileKind& kind) {
  std::vector<std::string> lines;
  kind = FileKind::kMissing;
  HANDLE h = ::CreateFileW(WideFromUtf8(file).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD err = ::GetLastError();
    if (err != ERROR_FILE_NOT_FOUND && err != ERROR_PATH_NOT_FOUND) kind = KindOf(file);
    return lines;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    kind = FileKind::kOther;
    ::CloseHandle(h);
    return lines;
  }
  kind = FileKind::kRegular;
  std::string text;
  char buf[8192];
  DWORD n = 0;
  while (::ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) text.append(buf, n);
  ::CloseHandle(h);
#else
FileKind KindOf(const std::string& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return FileKind::kMissing;
  return S_ISREG(st.st_mode) ? FileKind::kRegular : FileKind::kOther;
}

// Reads the lines of a regular file. The file is opened without blocking and checked again
// once open, so a FIFO or device put in its place meanwhile is never read.
std::vector<std::string> ReadLines(const std::string& file, FileKind& kind) {
  std::vector<std::string> lines;
  kind = FileKind::kMissing;
  int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    if (errno != ENOENT && errno != ENOTDIR) kind = KindOf(file);
    return lines;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    kind = FileKind::kOther;
    ::close(fd);
    return lines;
  }
  kind = FileKind::kRegular;
  std::string text;
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
#endif
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

// The notice for a file that is not a regular file, once per file name and process; empty
// when it was given already. Called under g_mutex; the caller gives it after unlocking.
ProfileNotice NoticeFor(const std::string& file) {
  if (!g_noticed.insert(file).second) return {};
  if (g_notice) return g_notice;
  return [](const std::string& name) {
    std::fprintf(stderr, "verdan: %s\n", ProfileNoticeText(name).c_str());
  };
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

#ifdef _WIN32
bool WriteWhole(const std::string& file, const std::string& text) {
  const std::wstring target = WideFromUtf8(file);
  const std::wstring tmp = WideFromUtf8(file + ".tmp" + std::to_string(::GetCurrentProcessId()));
  HANDLE h = ::CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  std::size_t off = 0;
  bool ok = true;
  while (off < text.size()) {
    DWORD n = 0;
    DWORD want = static_cast<DWORD>(std::min<std::size_t>(text.size() - off, 1u << 20));
    if (!::WriteFile(h, text.data() + off, want, &n, nullptr) || n == 0) {
      ok = false;
      break;
    }
    off += n;
  }
  ok = ::FlushFileBuffers(h) && ok;
  ok = ::CloseHandle(h) && ok;
  if (!ok || !::MoveFileExW(tmp.c_str(), target.c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ::DeleteFileW(tmp.c_str());
    return false;
  }
  return true;
}
#else
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

#endif

}  // namespace

std::string ProfileNoticeText(const std::string& file) {
  return file + " nije obična datoteka: postavke se čitaju kao prazne i ne spremaju se.";
}

void SetProfileNotice(ProfileNotice notice) {
  std::lock_guard lock(g_mutex);
  g_notice = std::move(notice);
}

void ResetProfileNotices() {
  std::lock_guard lock(g_mutex);
  g_noticed.clear();
}

std::string GetProfileString(const std::string& section, const std::string& key,
                             const std::string& defaultValue, const std::string& file) {
  ProfileNotice notice;
  std::string value = defaultValue;
  {
    std::lock_guard lock(g_mutex);
    const std::string wantSection = Lower(CutChars(section, 64));
    const std::string wantKey = Lower(CutChars(key, 64));
    bool inSection = false;
    FileKind kind;
    for (const std::string& line : ReadLines(file, kind)) {
      std::string name, k, v;
      if (SectionOf(line, name)) {
        inSection = Lower(name) == wantSection;
      } else if (inSection && KeyOf(line, k, v) && Lower(k) == wantKey) {
        value = CutChars(v, 1024);
        break;
      }
    }
    if (kind == FileKind::kOther) notice = NoticeFor(file);
  }
  if (notice) notice(file);
  return value;
}

bool WriteProfileString(const std::string& section, const std::string& key,
                        const std::string& value, const std::string& file) {
  std::unique_lock lock(g_mutex);
  const std::string sec = CutChars(section, 64);
  const std::string k = CutChars(key, 64);
  std::string v = CutChars(value, 1024);
  for (char& c : v)
    if (c == '\r' || c == '\n') c = ' ';  // one key is one line
  const std::string wantSection = Lower(sec);
  const std::string wantKey = Lower(k);

  FileKind kind;
  std::vector<std::string> lines = ReadLines(file, kind);
  if (kind == FileKind::kOther) {
    // Renaming over it would replace whatever stands there; the settings are not stored.
    ProfileNotice notice = NoticeFor(file);
    lock.unlock();
    if (notice) notice(file);
    return false;
  }
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
