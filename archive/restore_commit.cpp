#include "archive/restore_commit.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <unordered_map>

#include "archive/temporaries.h"
#include "platform/text.h"

namespace verdan::archive {
namespace {

constexpr const char* kJournalHeader = "verdan-restore 1";
// What a temporary's name adds to the name of its target: ".", ".vrd", the process number,
// ".", six characters.
constexpr std::size_t kTemporaryExtra = 24;
constexpr std::size_t kJournalLimit = 64u << 20;

// A file of the journal; names are relative to the target directory (`final`) or to the
// final file's directory (`temp`, `aside`).
struct JournalFile {
  std::string final;
  std::string temp;   // empty: not yet extracted
  std::string aside;  // empty: no working file stood at `final`
  dev_t dev = 0;      // the temporary's file, which becomes `final`
  ino_t ino = 0;
};

struct Journal {
  pid_t pid = 0;
  bool commit = false;            // false: extracting; true: replacing the working files
  std::vector<std::string> dirs;  // created directories, relative, in the order made
  std::vector<JournalFile> files;
};

std::string Join(const std::string& dir, const std::string& name) {
  return dir == "/" ? "/" + name : dir + "/" + name;
}

// Names may hold any byte but "/" and NUL: blanks, "%" and control bytes are written as %XX.
std::string Escape(const std::string& s) {
  if (s.empty()) return "-";
  std::string out;
  for (unsigned char c : s) {
    if (c <= 0x20 || c == '%' || c == 0x7F || (c == '-' && s.size() == 1)) {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool Unescape(const std::string& s, std::string& out) {
  out.clear();
  if (s == "-") return true;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out += s[i];
      continue;
    }
    if (i + 2 >= s.size()) return false;
    int v = 0;
    if (std::sscanf(s.substr(i + 1, 2).c_str(), "%2x", &v) != 1) return false;
    out += static_cast<char>(v);
    i += 2;
  }
  return true;
}

std::string Render(const Journal& j) {
  std::ostringstream o;
  o << kJournalHeader << "\n";
  o << "pid " << j.pid << "\n";
  o << "phase " << (j.commit ? "commit" : "extract") << "\n";
  for (const auto& d : j.dirs) o << "dir " << Escape(d) << "\n";
  for (const auto& f : j.files)
    o << "file " << Escape(f.final) << " " << Escape(f.temp) << " " << Escape(f.aside) << " "
      << static_cast<unsigned long long>(f.dev) << " " << static_cast<unsigned long long>(f.ino)
      << "\n";
  o << "end\n";
  return o.str();
}

// A relative name that stays inside its directory.
bool Contained(const std::string& rel, bool allowSlash) {
  if (rel.empty() || rel[0] == '/') return false;
  if (!allowSlash && rel.find('/') != std::string::npos) return false;
  std::size_t start = 0;
  while (start <= rel.size()) {
    std::size_t end = rel.find('/', start);
    if (end == std::string::npos) end = rel.size();
    std::string part = rel.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

bool Parse(const std::string& text, Journal& j) {
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kJournalHeader) return false;
  bool ended = false;
  while (std::getline(in, line)) {
    std::istringstream l(line);
    std::string word;
    l >> word;
    if (word == "end") {
      ended = true;
      break;
    }
    if (word == "pid") {
      long long pid = 0;
      if (!(l >> pid) || pid <= 0) return false;
      j.pid = static_cast<pid_t>(pid);
    } else if (word == "phase") {
      std::string phase;
      l >> phase;
      if (phase != "commit" && phase != "extract") return false;
      j.commit = phase == "commit";
    } else if (word == "dir") {
      std::string raw, dir;
      if (!(l >> raw) || !Unescape(raw, dir) || !Contained(dir, true)) return false;
      j.dirs.push_back(dir);
    } else if (word == "file") {
      std::string rf, rt, ra;
      unsigned long long dev = 0, ino = 0;
      JournalFile f;
      if (!(l >> rf >> rt >> ra >> dev >> ino) || !Unescape(rf, f.final) || !Unescape(rt, f.temp) ||
          !Unescape(ra, f.aside) || !Contained(f.final, true) ||
          (!f.temp.empty() && !Contained(f.temp, false)) ||
          (!f.aside.empty() && !Contained(f.aside, false)))
        return false;
      f.dev = static_cast<dev_t>(dev);
      f.ino = static_cast<ino_t>(ino);
      j.files.push_back(f);
    } else {
      return false;
    }
  }
  return ended && j.pid > 0;
}

bool WriteAll(int fd, const std::string& text) {
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

std::string JournalPath(const std::string& target) { return Join(target, kRestoreJournalName); }

// Writes the journal whole: a temporary, synced, renamed over the journal, directory synced.
bool WriteJournal(const std::string& target, const Journal& j) {
  std::string path = JournalPath(target);
  std::string temp;
  int fd = CreateTemporary(path, temp);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, Render(j)) && SyncDescriptor(fd, temp);
  int saved = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  errno = saved;
  if (ok) ok = RenameFile(temp, path);
  if (!ok) {
    DiscardTemporary(temp);
    return false;
  }
  ForgetTemporary(temp);
  RegisterJournal(path);
  return SyncDirectory(target);
}

bool ReadJournal(const std::string& path, Journal& j) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  std::string text;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
    if (text.size() > kJournalLimit) break;
  }
  ::close(fd);
  return text.size() <= kJournalLimit && Parse(text, j);
}

bool Exists(const std::string& path, struct stat* out = nullptr) {
  struct stat st {};
  bool there = ::lstat(path.c_str(), &st) == 0;
  if (there && out) *out = st;
  return there;
}

// Puts every kept original back over its working file, removes the files the restore added
// (only the very files it made) and its temporaries. True when all of that was done.
bool RollBack(const std::string& target, const std::vector<JournalFile>& files) {
  bool ok = true;
  std::set<std::string> dirs;
  for (auto it = files.rbegin(); it != files.rend(); ++it) {
    const JournalFile& f = *it;
    std::string final = Join(target, f.final);
    std::string dir = DirectoryOf(final);
    dirs.insert(dir);
    if (!f.aside.empty()) {
      std::string aside = Join(dir, f.aside);
      if (Exists(aside)) {
        // When both are names of the original (nothing replaced yet) the rename does
        // nothing and the second name is simply removed.
        if (!RenameFile(aside, final)) ok = false;
        if (Exists(aside) && !RemoveFile(aside)) ok = false;
      }
    } else if (f.ino != 0) {
      struct stat st {};
      if (Exists(final, &st) && st.st_ino == f.ino && st.st_dev == f.dev && !RemoveFile(final))
        ok = false;
    }
    if (!f.temp.empty()) {
      std::string temp = Join(dir, f.temp);
      if (!RemoveFile(temp)) ok = false;
      ForgetTemporary(temp);
    }
  }
  for (const auto& dir : dirs)
    if (!SyncDirectory(dir)) ok = false;
  return ok;
}

// Removes the temporaries of process `pid` in `dir` (a dead restore's leftovers).
void RemoveTemporariesOf(const std::string& dir, pid_t pid) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return;
  std::vector<std::string> names;
  while (dirent* e = ::readdir(d)) {
    pid_t owner = 0;
    if (IsTemporaryName(e->d_name, &owner) && owner == pid) names.push_back(e->d_name);
  }
  ::closedir(d);
  for (const auto& name : names) {
    std::string path = Join(dir, name);
    struct stat st {};
    if (Exists(path, &st) && S_ISREG(st.st_mode)) ::unlink(path.c_str());
  }
}

// Removes the created directories that are empty, the deepest first.
void RemoveCreatedDirectories(const std::vector<std::string>& absolute) {
  for (auto it = absolute.rbegin(); it != absolute.rend(); ++it) {
    ::rmdir(it->c_str());
    ForgetCreatedDirectory(*it);
  }
}

// With the target's lock held.
Recovery RecoverLocked(const std::string& target) {
  std::string path = JournalPath(target);
  if (!Exists(path)) return Recovery::kNothing;
  Journal j;
  if (!ReadJournal(path, j)) return Recovery::kFailed;
  if (j.commit && !RollBack(target, j.files)) return Recovery::kFailed;
  std::set<std::string> dirs;
  for (const auto& f : j.files) dirs.insert(DirectoryOf(Join(target, f.final)));
  std::vector<std::string> created;
  for (const auto& d : j.dirs) {
    created.push_back(Join(target, d));
    dirs.insert(created.back());
  }
  for (const auto& dir : dirs) RemoveTemporariesOf(dir, j.pid);
  RemoveCreatedDirectories(created);
  if (!RemoveFile(path)) return Recovery::kFailed;
  SyncDirectory(target);
  return Recovery::kRolledBack;
}

// Locks `target` against other restores; -1 with errno set when it cannot.
int LockDirectory(const std::string& target) {
  int fd = ::open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b) {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

std::int32_t SetFailure(ZipFailure& failure, std::int32_t code, int systemError,
                        const std::string& path, const std::string& entry = {},
                        const std::string& other = {}) {
  failure.code = code;
  failure.systemError = systemError;
  failure.path = path;
  failure.entry = entry;
  failure.other = other;
  return code;
}

}  // namespace

struct RestoreCommit::Impl {
  std::string target;
  int lockFd = -1;
  std::vector<RestoreFile>* files = nullptr;
  std::vector<std::string> plannedDirs;  // absolute, in the order they are made
  std::vector<std::string> createdDirs;
  bool journalWritten = false;
  bool committed = false;
  bool keepJournal = false;  // putting the originals back failed: the next start does it

  std::string Relative(const std::string& path) const { return path.substr(target.size() + 1); }

  Journal MakeJournal(bool commit) const {
    Journal j;
    j.pid = ::getpid();
    j.commit = commit;
    for (const auto& d : plannedDirs) j.dirs.push_back(Relative(d));
    for (const auto& f : *files) {
      JournalFile jf;
      jf.final = Relative(f.final);
      j.files.push_back(jf);
    }
    return j;
  }

  void Unlock() {
    if (lockFd >= 0) ::close(lockFd);
    lockFd = -1;
  }
};

RestoreCommit::RestoreCommit(std::string target) : impl_(new Impl) {
  while (target.size() > 1 && target.back() == '/') target.pop_back();
  impl_->target = std::move(target);
}

RestoreCommit::~RestoreCommit() {
  Abandon();
  delete impl_;
}

std::int32_t RestoreCommit::Plan(std::vector<RestoreFile>& files, ZipFailure& failure) {
  Impl& m = *impl_;
  m.files = &files;
  m.lockFd = LockDirectory(m.target);
  if (m.lockFd < 0) return SetFailure(failure, kZipBadTarget, errno, m.target);
  if (RecoverLocked(m.target) == Recovery::kFailed)
    return SetFailure(failure, kZipCannotReplace, 0, JournalPath(m.target));
  RemoveStaleTemporaries(m.target);

  // Names in each directory met so far, existing or about to be made, by upper-case name.
  using Listing = std::unordered_map<std::string, std::vector<std::string>>;
  std::map<std::string, Listing> listings;
  std::set<std::string> planned;
  auto listing = [&](const std::string& dir) -> Listing& {
    auto it = listings.find(dir);
    if (it != listings.end()) return it->second;
    Listing& names = listings[dir];
    if (planned.count(dir) == 0) {
      if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
          std::string name = e->d_name;
          if (name != "." && name != "..") names[platform::UpperCp1250(name)].push_back(name);
        }
        ::closedir(d);
      }
    }
    return names;
  };
  std::map<std::string, const RestoreFile*> finals;  // by upper-case path
  for (RestoreFile& f : files) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= f.relative.size()) {
      std::size_t end = f.relative.find('/', start);
      if (end == std::string::npos) end = f.relative.size();
      std::string part = f.relative.substr(start, end - start);
      if (!part.empty() && part != ".") parts.push_back(part);
      start = end + 1;
    }
    if (parts.empty()) return SetFailure(failure, kZipUnsafeEntry, 0, {}, f.entryName);
    std::string cur = m.target;
    for (std::size_t i = 0; i < parts.size(); ++i) {
      const std::string& part = parts[i];
      bool last = i + 1 == parts.size();
      if (part.size() + (last ? kTemporaryExtra : 0) > NAME_MAX)
        return SetFailure(failure, kZipUnsafeEntry, ENAMETOOLONG, {}, f.entryName);
      std::string upper = platform::UpperCp1250(part);
      Listing& names = listing(cur);
      auto found = names.find(upper);
      std::vector<std::string> matches;
      if (found != names.end()) matches = found->second;
      std::sort(matches.begin(), matches.end());
      if (matches.size() > 1)
        return SetFailure(failure, kZipNameConflict, 0, Join(cur, matches[0]), {},
                          Join(cur, matches[1]));
      std::string chosen = matches.empty() ? part : matches[0];
      std::string next = Join(cur, chosen);
      if (!last) {
        if (matches.empty()) {
          m.plannedDirs.push_back(next);
          planned.insert(next);
          names[upper].push_back(chosen);
        } else if (planned.count(next) == 0) {
          struct stat st {};
          if (!Exists(next, &st) || !S_ISDIR(st.st_mode))  // never through a link
            return SetFailure(failure, kZipCannotWrite, ENOTDIR, next, f.entryName);
        }
      } else {
        if (matches.empty()) names[upper].push_back(chosen);
        f.final = next;
      }
      cur = next;
    }
    if (f.final.size() + kTemporaryExtra >= PATH_MAX)
      return SetFailure(failure, kZipUnsafeEntry, ENAMETOOLONG, {}, f.entryName);
    std::string key = platform::UpperCp1250(f.final);
    auto seen = finals.find(key);
    if (seen != finals.end())
      return SetFailure(failure, kZipNameConflict, 0, f.final, seen->second->entryName,
                        f.entryName);
    finals[key] = &f;
  }

  // All new files must fit beside the old ones, which are kept until the end.
  struct statvfs vfs {};
  if (::statvfs(m.target.c_str(), &vfs) == 0) {
    std::uint64_t block = vfs.f_frsize ? vfs.f_frsize : 4096;
    std::uint64_t needed = 0;
    for (const auto& f : files)
      needed = SaturatingAdd(needed, SaturatingAdd(f.size, block - 1) / block * block);
    std::uint64_t available = static_cast<std::uint64_t>(vfs.f_bavail) * block;
    if (needed > available) {
      SetFailure(failure, kZipNoSpace, ENOSPC, m.target);
      failure.needed = needed;
      failure.available = available;
      return kZipNoSpace;
    }
  }
  return 0;
}

std::int32_t RestoreCommit::Begin(ZipFailure& failure) {
  Impl& m = *impl_;
  if (!WriteJournal(m.target, m.MakeJournal(false)))
    return SetFailure(failure, kZipCannotWrite, errno, JournalPath(m.target));
  m.journalWritten = true;
  for (const auto& dir : m.plannedDirs) {
    if (::mkdir(dir.c_str(), 0777) != 0) return SetFailure(failure, kZipCannotWrite, errno, dir);
    m.createdDirs.push_back(dir);
    RegisterCreatedDirectory(dir);
  }
  return 0;
}

std::int32_t RestoreCommit::Commit(ZipFailure& failure) {
  Impl& m = *impl_;
  CommitSection section;  // a termination signal waits until every file is in place or back
  Journal j = m.MakeJournal(true);
  std::vector<RestoreFile>& files = *m.files;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (files[i].unchanged) continue;
    struct stat st {};
    if (!Exists(files[i].temp, &st))
      return SetFailure(failure, kZipCannotWrite, errno, files[i].temp);
    j.files[i].temp = BaseName(files[i].temp);
    j.files[i].dev = st.st_dev;
    j.files[i].ino = st.st_ino;
    if (Exists(files[i].final)) j.files[i].aside = BaseName(TemporaryNameFor(files[i].final));
  }
  if (!WriteJournal(m.target, j))
    return SetFailure(failure, kZipCannotWrite, errno, JournalPath(m.target));

  int error = 0;
  std::string errorPath;
  std::set<std::string> dirs;
  for (std::size_t i = 0; i < files.size() && error == 0; ++i) {
    const RestoreFile& f = files[i];
    if (f.unchanged) continue;
    std::string dir = DirectoryOf(f.final);
    dirs.insert(dir);
    errorPath = f.final;
    struct stat st {};
    bool there = Exists(f.final, &st);
    if (!j.files[i].aside.empty()) {
      if (!there) {
        error = ENOENT;
        break;
      }
      if (S_ISDIR(st.st_mode)) {  // a directory is never put aside or replaced by a file
        error = EISDIR;
        break;
      }
      std::string aside = Join(dir, j.files[i].aside);
      // Keep the original under a second name; where the file system has no hard links,
      // move it there instead.
      if (!LinkFile(f.final, aside)) {
        bool noLinks = errno == EPERM || errno == EOPNOTSUPP || errno == EXDEV || errno == EMLINK ||
                       errno == ENOSYS;
        if (!noLinks || !RenameFile(f.final, aside)) {
          error = errno;
          break;
        }
      }
    } else if (there) {
      error = EEXIST;  // something appeared at the name since the journal was written
      break;
    }
    if (!RenameFile(f.temp, f.final)) {
      error = errno;
      break;
    }
    ForgetTemporary(f.temp);
  }
  for (auto it = dirs.begin(); error == 0 && it != dirs.end(); ++it) {
    if (!SyncDirectory(*it)) {
      error = errno;
      errorPath = *it;
    }
  }
  if (error == 0) {
    // The journal's removal is the moment the restore counts as done.
    if (RemoveFile(JournalPath(m.target))) {
      ForgetJournal(JournalPath(m.target));
      m.journalWritten = false;
      SyncDirectory(m.target);
    } else {
      error = errno;
      errorPath = JournalPath(m.target);
    }
  }
  if (error != 0) {
    SetFailure(failure, kZipCannotReplace, error, errorPath);
    failure.rolledBack = RollBack(m.target, j.files);
    if (!failure.rolledBack) {
      m.keepJournal = true;
      ForgetJournal(JournalPath(m.target));
    }
    return kZipCannotReplace;
  }
  std::vector<std::string> kept;
  for (std::size_t i = 0; i < files.size(); ++i)
    if (!j.files[i].aside.empty()) kept.push_back(Join(DirectoryOf(files[i].final), j.files[i].aside));
  RemoveUnneededFiles(kept);
  for (const auto& dir : m.createdDirs) ForgetCreatedDirectory(dir);
  m.createdDirs.clear();
  m.committed = true;
  m.Unlock();
  return 0;
}

void RestoreCommit::Abandon() {
  Impl& m = *impl_;
  if (!m.committed && !m.keepJournal) {
    if (m.files)
      for (auto& f : *m.files)
        if (!f.temp.empty()) DiscardTemporary(f.temp);
    RemoveCreatedDirectories(m.createdDirs);
    m.createdDirs.clear();
    if (m.journalWritten) {
      RemoveFile(JournalPath(m.target));
      ForgetJournal(JournalPath(m.target));
      SyncDirectory(m.target);
      m.journalWritten = false;
    }
  }
  m.Unlock();
}

Recovery RecoverInterruptedRestore(const std::string& targetIn) {
  std::string target = targetIn;
  while (target.size() > 1 && target.back() == '/') target.pop_back();
  if (target.empty()) return Recovery::kNothing;
  struct stat st {};
  if (::stat(target.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return Recovery::kNothing;
  int fd = LockDirectory(target);
  if (fd < 0) return errno == EWOULDBLOCK ? Recovery::kBusy : Recovery::kNothing;
  Recovery r = RecoverLocked(target);
  if (r != Recovery::kFailed) RemoveStaleTemporaries(target);
  ::close(fd);
  return r;
}

}  // namespace verdan::archive
