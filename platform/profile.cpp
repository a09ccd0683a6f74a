// The settings are kept by this code on every system rather than by Windows' own profile
// calls: those look for a bare file name in the Windows directory, not the working one, and
// rewrite the file in place, where this code replaces it whole.
#include "platform/profile.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
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
#include <climits>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <sstream>
#include <vector>

#include "platform/text.h"

namespace verdan::platform {
namespace {

std::mutex g_mutex;
ProfileNotice g_notice;           // under g_mutex
std::set<std::string> g_noticed;  // files already reported, under g_mutex

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

// Opens a regular file for reading and hands it over as a C run-time descriptor. What opens
// must be a disk file (not a device such as CON or a pipe) to be read. -1 when there is
// nothing to read; `kind` says why.
int OpenRegular(const std::string& file, FileKind& kind) {
  kind = FileKind::kMissing;
  HANDLE h = ::CreateFileW(WideFromUtf8(file).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD err = ::GetLastError();
    if (err != ERROR_FILE_NOT_FOUND && err != ERROR_PATH_NOT_FOUND) kind = KindOf(file);
    return -1;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    kind = FileKind::kOther;
    ::CloseHandle(h);
    return -1;
  }
  int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    ::CloseHandle(h);
    return -1;
  }
  kind = FileKind::kRegular;
  return fd;
}

std::uint64_t SizeOf(int fd) {
  LARGE_INTEGER size{};
  HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  return ::GetFileSizeEx(h, &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0;
}

long ReadSome(int fd, char* buf, std::size_t n) {
  return ::_read(fd, buf, static_cast<unsigned>(std::min<std::size_t>(n, INT_MAX)));
}

void CloseFile(int fd) { ::_close(fd); }
#else
FileKind KindOf(const std::string& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return FileKind::kMissing;
  return S_ISREG(st.st_mode) ? FileKind::kRegular : FileKind::kOther;
}

// Opens a regular file for reading. The file is opened without blocking and checked again
// once open, so a FIFO or device put in its place meanwhile is never read. -1 when there is
// nothing to read; `kind` says why.
int OpenRegular(const std::string& file, FileKind& kind) {
  kind = FileKind::kMissing;
  int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    if (errno != ENOENT && errno != ENOTDIR) kind = KindOf(file);
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    kind = FileKind::kOther;
    ::close(fd);
    return -1;
  }
  kind = FileKind::kRegular;
  return fd;
}

std::uint64_t SizeOf(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

long ReadSome(int fd, char* buf, std::size_t n) { return ::read(fd, buf, n); }

void CloseFile(int fd) { ::close(fd); }
#endif

// Hands the lines of `fd` to `line` in order (numbered from 1, without the line end), each
// read once: the time is linear in the file's size. A line longer than `kMaxProfileLineBytes`
// is handed over with `tooLong` set and, unless `keepLong`, without its text (so a huge line
// takes no memory). `line` returns false to stop early.
template <typename LineFn>
void ScanLines(int fd, bool keepLong, LineFn&& line) {
  std::string current;
  bool tooLong = false;
  std::size_t number = 1;
  bool any = false;  // bytes since the last line end
  auto flush = [&] {
    if (!current.empty() && current.back() == '\r') current.pop_back();
    if (current.size() > kMaxProfileLineBytes) tooLong = true;
    bool go = line(current, number, tooLong);
    current.clear();
    tooLong = false;
    any = false;
    ++number;
    return go;
  };
  std::vector<char> buf(64 << 10);
  for (;;) {
    long n = ReadSome(fd, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const char* p = buf.data();
    const char* end = p + n;
    while (p < end) {
      const char* nl =
          static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
      const char* stop = nl != nullptr ? nl : end;
      std::size_t take = static_cast<std::size_t>(stop - p);
      if (take > 0) any = true;
      // One byte over the limit is kept so that a "\r" ending a line of exactly the limit
      // is not mistaken for more text.
      if (!tooLong && current.size() + take > kMaxProfileLineBytes + 1) {
        tooLong = true;
        if (!keepLong) current.clear();
      }
      if (!tooLong || keepLong) current.append(p, take);
      if (nl == nullptr) break;
      if (!flush()) return;
      p = nl + 1;
    }
  }
  if (any) flush();
}

// The lines of a regular file, too long ones included as they are. A file larger than
// `kMaxProfileFileBytes` is not read (`tooBig` is set): it is no settings file to rewrite.
std::vector<std::string> ReadLines(const std::string& file, FileKind& kind, bool& tooBig) {
  std::vector<std::string> lines;
  tooBig = false;
  int fd = OpenRegular(file, kind);
  if (fd < 0) return lines;
  if (SizeOf(fd) > kMaxProfileFileBytes) {
    tooBig = true;
  } else {
    ScanLines(fd, true, [&](std::string& text, std::size_t, bool) {
      lines.push_back(std::move(text));
      return true;
    });
  }
  CloseFile(fd);
  return lines;
}

// A notice to give once the port's lock is released.
using PendingNotice = std::function<void()>;

// The notice `text` about `file`, once per `what` and process; empty when it was given
// already. Called under g_mutex; the caller runs it after unlocking.
PendingNotice NoticeFor(const std::string& what, const std::string& file, std::string text) {
  if (!g_noticed.insert(what).second) return {};
  ProfileNotice to = g_notice;
  if (!to)
    to = [](const std::string&, const std::string& t) {
      std::fprintf(stderr, "verdan: %s\n", t.c_str());
    };
  return [to, file, text = std::move(text)] { to(file, text); };
}

PendingNotice NotRegularNotice(const std::string& file) {
  return NoticeFor(file, file, ProfileNoticeText(file));
}

PendingNotice LongLineNotice(const std::string& file, std::size_t line) {
  return NoticeFor(file + "\n" + std::to_string(line), file, ProfileLongLineText(file, line));
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

std::string ProfileTooBigText(const std::string& file) {
  return file + " je veći od " + std::to_string(kMaxProfileFileBytes >> 20) +
         " MB i nije datoteka postavki: postavke se ne spremaju.";
}

std::string ProfileLongLineText(const std::string& file, std::size_t line) {
  return file + ", redak " + std::to_string(line) + ": redak je dulji od " +
         std::to_string(kMaxProfileLineBytes) +
         " bajta (ni jedna postavka nije tako duga) i ne čita se; ostale postavke vrijede.";
}

std::string GetProfileString(const std::string& section, const std::string& key,
                             const std::string& defaultValue, const std::string& file) {
  PendingNotice notice;
  std::string value = defaultValue;
  {
    std::lock_guard lock(g_mutex);
    const std::string wantSection = Lower(CutChars(section, 64));
    const std::string wantKey = Lower(CutChars(key, 64));
    bool inSection = false;
    FileKind kind;
    int fd = OpenRegular(file, kind);
    if (fd >= 0) {
      ScanLines(fd, false, [&](const std::string& line, std::size_t number, bool tooLong) {
        std::string name, k, v;
        if (tooLong) {
          // No value is that long: the line is not read, the rest of the file is.
          if (!notice) notice = LongLineNotice(file, number);
        } else if (SectionOf(line, name)) {
          inSection = Lower(name) == wantSection;
        } else if (inSection && KeyOf(line, k, v) && Lower(k) == wantKey) {
          value = CutChars(v, kMaxProfileValueChars);
          return false;
        }
        return true;
      });
      CloseFile(fd);
    }
    if (kind == FileKind::kOther) notice = NotRegularNotice(file);
  }
  if (notice) notice();
  return value;
}

bool WriteProfileString(const std::string& section, const std::string& key,
                        const std::string& value, const std::string& file) {
  std::unique_lock lock(g_mutex);
  const std::string sec = CutChars(section, 64);
  const std::string k = CutChars(key, 64);
  std::string v = CutChars(value, kMaxProfileValueChars);
  for (char& c : v)
    if (c == '\r' || c == '\n') c = ' ';  // one key is one line
  const std::string wantSection = Lower(sec);
  const std::string wantKey = Lower(k);

  FileKind kind;
  bool tooBig = false;
  // Lines too long to be read are kept as they are, unless it is the written key's.
  std::vector<std::string> lines = ReadLines(file, kind, tooBig);
  if (kind == FileKind::kOther || tooBig) {
    // Renaming over it would replace whatever stands there, or a file that holds more than
    // settings; the settings are not stored.
    PendingNotice notice =
        tooBig ? NoticeFor(file + "\nsize", file, ProfileTooBigText(file)) : NotRegularNotice(file);
    lock.unlock();
    if (notice) notice();
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
