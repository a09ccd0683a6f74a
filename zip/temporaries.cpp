#include "zip/temporaries.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "platform/termination.h"
#include "platform/workers.h"

namespace verdan::archive {
namespace {

std::atomic<FileStepHookForTesting> gHook{nullptr};

// Runs the test hook for a step; true when the step may go on, else errno is set.
bool StepAllowed(FileStep step, const std::string& path) {
  FileStepHookForTesting hook = gHook.load();
  if (hook == nullptr) return true;
  int injected = hook(step, path.c_str());
  if (injected == 0) return true;
  errno = injected;
  return false;
}

// What the process has made and not yet put into place. Never destroyed: the termination
// cleanup may still use it while the process ends.
struct Registry {
  std::mutex commit;  // held by CommitSection
  std::mutex mutex;   // guards everything below
  std::set<std::string> temporaries;
  struct Placement {
    std::string destination;
    std::string watched;
    dev_t dev = 0;
    ino_t ino = 0;
  };
  std::map<std::string, Placement> placements;  // by temporary
  std::vector<std::string> directories;         // in the order they were made
  std::set<std::string> journals;
  bool ending = false;  // the process is ending: nothing new is made
};

Registry& Live() {
  static Registry* registry = new Registry;
  return *registry;
}

constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

// Marks the names of linked temporaries (".PETAK_2_.zip+link.vrd4242_81234_1f0c9a7e.a8Zk3Q"):
// second names of a complete file, which the stale cleanup may put in place.
constexpr char kLinkedMark[] = "+link";

std::string RandomToken() {
  static std::mutex mutex;
  static std::mt19937_64 rng{std::random_device{}()};
  std::lock_guard lock(mutex);
  std::string token(6, 'x');
  for (char& c : token) c = kAlphabet[rng() % (sizeof kAlphabet - 1)];
  return token;
}

// Temporaries are known by absolute names, so that the termination cleanup finds them
// whatever the current directory is by then.
std::string Prefix(const std::string& target) {
  std::string dir = DirectoryOf(target);
  if (dir.empty() || dir[0] != '/') {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) != nullptr) dir = dir == "." ? cwd : std::string(cwd) + "/" + dir;
  }
  return (dir == "/" ? "" : dir) + "/." + BaseName(target) + ".vrd" +
         platform::ProcessTag(::getpid()) + ".";
}

bool IsAsciiAlnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool IsToken(const std::string& s) {
  return s.size() == 6 && std::all_of(s.begin(), s.end(), IsAsciiAlnum);
}

// Whether the process named in a temporary's name may still own it. A name that tells when
// and in which boot its process started belongs to a live process only if a process of that
// number started then, in this boot: a number used again after the owner died (most often
// after a reboot) does not keep the file. A name with the number alone counts as live while
// any process of that number runs.
bool OwnerRuns(const TemporaryOwner& owner) {
  return platform::StateOf(owner) == platform::ProcessState::kRuns;
}

// Removes the ZIP library's own temporaries of our temporary `temp` ("<temp>.XXXXXX").
void RemoveLibraryTemporaries(const std::string& temp) {
  std::string dir = DirectoryOf(temp);
  std::string prefix = BaseName(temp) + ".";
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return;
  std::vector<std::string> names;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0 &&
        IsToken(name.substr(prefix.size())))
      names.push_back(name);
  }
  ::closedir(d);
  for (const auto& name : names) ::unlink((dir + "/" + name).c_str());
}

void Cleanup(bool ending) {
  Registry& r = Live();
  std::lock_guard commit(r.commit);
  std::lock_guard lock(r.mutex);
  if (ending) r.ending = true;
  for (const auto& t : r.temporaries) {
    auto p = r.placements.find(t);
    struct stat st {};
    if (p != r.placements.end() && ::stat(p->second.watched.c_str(), &st) == 0 &&
        (st.st_ino != p->second.ino || st.st_dev != p->second.dev) &&
        ::rename(t.c_str(), p->second.destination.c_str()) == 0)
      continue;
    ::unlink(t.c_str());
    RemoveLibraryTemporaries(t);
  }
  r.temporaries.clear();
  r.placements.clear();
  for (auto it = r.directories.rbegin(); it != r.directories.rend(); ++it) ::rmdir(it->c_str());
  r.directories.clear();
  for (const auto& j : r.journals) ::unlink(j.c_str());
  r.journals.clear();
}

}  // namespace

void SetFileStepHookForTesting(FileStepHookForTesting hook) { gHook.store(hook); }

bool FileStepAllowed(FileStep step, const std::string& path) { return StepAllowed(step, path); }

bool SyncDescriptor(int fd, const std::string& path) {
  if (!StepAllowed(FileStep::kSync, path)) return false;
  return ::fsync(fd) == 0;
}

bool SyncFile(const std::string& path) {
  if (!StepAllowed(FileStep::kSync, path)) return false;
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // a FIFO never blocks it
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  int saved = errno;
  ::close(fd);
  errno = saved;
  return ok;
}

bool SyncDirectory(const std::string& dir) {
  if (!StepAllowed(FileStep::kSyncDirectory, dir)) return false;
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0 || errno == EINVAL;  // some file systems cannot sync a directory
  int saved = errno;
  ::close(fd);
  errno = saved;
  return ok;
}

bool RenameFile(const std::string& from, const std::string& to) {
  if (!StepAllowed(FileStep::kRename, to)) return false;
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool LinkFile(const std::string& existing, const std::string& newName) {
  if (!StepAllowed(FileStep::kLink, newName)) return false;
  return ::link(existing.c_str(), newName.c_str()) == 0;
}

bool RemoveFile(const std::string& path) {
  if (!StepAllowed(FileStep::kUnlink, path)) return false;
  return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

void RemoveUnneededFiles(const std::vector<std::string>& paths) {
  constexpr std::size_t kThreads = 8;
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < paths.size();) ::unlink(paths[i].c_str());
  };
  // A thread for every four files, at most kThreads; fewer when the system gives fewer.
  const std::size_t slots = std::clamp<std::size_t>((paths.size() + 3) / 4, 1, kThreads);
  platform::RunOnWorkers(slots, [&](std::size_t) { work(); });
}

bool FileHolds(const std::string& path, const std::uint8_t* data, std::uint64_t size,
               std::uint8_t* scratch) {
  constexpr std::uint64_t kStep = 256u << 10;  // a file that differs usually does so early
  // Not blocking: whatever stands at the name (a FIFO, a device) is opened only to be looked at.
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool same = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              static_cast<std::uint64_t>(st.st_size) == size;
  for (std::uint64_t at = 0; same && at < size; at += kStep) {
    auto n = static_cast<std::size_t>(std::min(kStep, size - at));
    same = ::pread(fd, scratch + at, n, static_cast<off_t>(at)) == static_cast<ssize_t>(n) &&
           std::memcmp(scratch + at, data + at, n) == 0;
  }
  ::close(fd);
  return same;
}

bool SyncFileSystem(int fd, const std::string& path) {
  if (!StepAllowed(FileStep::kSync, path)) return false;
  return ::syncfs(fd) == 0;
}

bool OverwriteFile(const std::string& path, const void* data, std::size_t size,
                   const struct timespec* mtime, const struct stat* expected, mode_t createMode) {
  if (!StepAllowed(FileStep::kOverwrite, path)) return false;
  int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT && createMode != 0)
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, createMode);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0;
  if (ok && (!S_ISREG(st.st_mode) ||
             (expected != nullptr && (st.st_dev != expected->st_dev || st.st_ino != expected->st_ino)))) {
    ok = false;
    errno = EBUSY;  // something else stands at the name now
  }
  if (ok) ok = WriteOver(fd, data, size, mtime);
  int saved = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  errno = saved;
  return ok;
}

bool WriteOver(int fd, const void* data, std::size_t size, const struct timespec* mtime) {
  const char* p = static_cast<const char*>(data);
  bool ok = true;
  for (std::size_t done = 0; ok && done < size;) {
    ssize_t n = ::pwrite(fd, p + done, size - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      ok = false;
    } else {
      done += static_cast<std::size_t>(n);
    }
  }
  if (ok) ok = ::ftruncate(fd, static_cast<off_t>(size)) == 0;
  if (ok && mtime != nullptr) {
    struct timespec times[2] = {{0, UTIME_OMIT}, *mtime};
    ok = ::futimens(fd, times) == 0;
  }
  return ok;
}

bool OverwriteDescriptor(int fd, const std::string& path, const void* data, std::size_t size,
                         const struct timespec* mtime) {
  if (!StepAllowed(FileStep::kOverwrite, path)) return false;
  return WriteOver(fd, data, size, mtime);
}

std::string DirectoryOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

mode_t ModeFor(const std::string& target) {
  static const mode_t fallback = [] {
    mode_t mask = ::umask(022);
    ::umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
  }();
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return st.st_mode & 07777;
  return fallback;
}

std::string TemporaryNameFor(const std::string& target) { return Prefix(target) + RandomToken(); }

int CreateTemporary(const std::string& target, std::string& temp) {
  Registry& r = Live();
  std::lock_guard lock(r.mutex);  // made and registered in one step: the cleanup sees it
  if (r.ending) {
    errno = ECANCELED;
    return -1;
  }
  std::string name = Prefix(target) + "XXXXXX";
  int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return -1;
  r.temporaries.insert(name);
  temp = std::move(name);
  return fd;
}

bool LinkTemporary(const std::string& existing, const std::string& target, std::string& temp) {
  Registry& r = Live();
  std::lock_guard lock(r.mutex);
  if (r.ending) {
    errno = ECANCELED;
    return false;
  }
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::string name = TemporaryNameFor(target + kLinkedMark);
    if (LinkFile(existing, name)) {
      r.temporaries.insert(name);
      temp = std::move(name);
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

bool CopyToTemporary(const std::string& source, const std::string& target, std::string& temp) {
  int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat st {};
  int out = ::fstat(in, &st) == 0 && S_ISREG(st.st_mode) ? CreateTemporary(target, temp) : -1;
  if (out < 0) {
    int saved = errno;
    ::close(in);
    errno = saved;
    return false;
  }
  bool ok = true;
  for (;;) {
    ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
    if (n > 0) continue;
    if (n == 0) break;
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) ok = false;
    break;
  }
  if (ok && ::lseek(out, 0, SEEK_END) < st.st_size) {
    // No in-kernel copy here: plain reads and writes from where it stopped.
    ::lseek(in, ::lseek(out, 0, SEEK_END), SEEK_SET);
    std::vector<char> buf(1 << 20);
    for (;;) {
      ssize_t n = ::read(in, buf.data(), buf.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) ok = false;
      if (n <= 0) break;
      for (ssize_t done = 0; ok && done < n;) {
        ssize_t w = ::write(out, buf.data() + done, static_cast<std::size_t>(n - done));
        if (w < 0 && errno == EINTR) continue;
        if (w < 0)
          ok = false;
        else
          done += w;
      }
      if (!ok) break;
    }
  }
  ok = ok && ::fchmod(out, st.st_mode & 07777) == 0 && SyncDescriptor(out, temp);
  int saved = errno;
  ::close(in);
  if (::close(out) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (!ok) DiscardTemporary(temp);
  errno = saved;
  return ok;
}

bool PlaceTemporary(const std::string& temp, const std::string& target) {
  if (!RenameFile(temp, target)) return false;
  ForgetTemporary(temp);
  SyncDirectory(DirectoryOf(target));  // the rename is done; a failed sync is not an error
  return true;
}

void DiscardTemporary(const std::string& temp) {
  int saved = errno;
  ::unlink(temp.c_str());
  ForgetTemporary(temp);
  errno = saved;
}

void ForgetTemporary(const std::string& temp) {
  Registry& r = Live();
  std::lock_guard lock(r.mutex);
  r.temporaries.erase(temp);
  r.placements.erase(temp);
}

void PlaceOnTerminationIfReplaced(const std::string& temp, const std::string& destination,
                                  const std::string& watched) {
  struct stat st {};
  if (::stat(watched.c_str(), &st) != 0) return;
  Registry& r = Live();
  std::lock_guard lock(r.mutex);
  if (r.temporaries.count(temp) == 0) return;
  r.placements[temp] = Registry::Placement{destination, watched, st.st_dev, st.st_ino};
}

void RegisterCreatedDirectory(const std::string& dir) {
  Registry& r = Live();
  std::lock_guard lock(r.mutex);
  r.directories.push_back(dir);
}

void ForgetCreatedDirectory(const std::string& dir) {
  Registry& r = Live();
  std::lock_guard lock(r.mutex);
  std::erase(r.directories, dir);
}

void RegisterJournal(const std::string& path) {
  Registry& r = Live();
  std::lock_guard lock(r.mutex);
  r.journals.insert(path);
}

int CreateJournalFile(const std::string& path) {
  Registry& r = Live();
  std::lock_guard lock(r.mutex);  // made and registered in one step: the cleanup sees it
  if (r.ending) {
    errno = ECANCELED;
    return -1;
  }
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd >= 0) r.journals.insert(path);
  return fd;
}

void ForgetJournal(const std::string& path) {
  Registry& r = Live();
  std::lock_guard lock(r.mutex);
  r.journals.erase(path);
}

namespace {

// The part after ".vrd": six characters (oldest form), or the owner, "." and six.
bool ParseSuffix(const std::string& rest, TemporaryOwner& owner) {
  owner = {};
  if (IsToken(rest)) return true;
  std::size_t dot = rest.find('.');
  if (dot == std::string::npos || dot == 0 || !IsToken(rest.substr(dot + 1))) return false;
  return platform::ParseProcessTag(std::string_view(rest).substr(0, dot), owner);
}

// The target's name of a linked temporary's name, else "".
std::string LinkedTarget(const std::string& name) {
  std::size_t mark = name.rfind(".vrd");
  const std::size_t n = sizeof kLinkedMark - 1;
  if (mark == std::string::npos || mark < n + 2 || name.compare(mark - n, n, kLinkedMark) != 0)
    return {};
  return name.substr(1, mark - n - 1);
}

}  // namespace

bool IsTemporaryName(const std::string& name, TemporaryOwner* owner) {
  TemporaryOwner parsed;
  if (name.size() < 2 || name[0] != '.') return false;
  std::size_t mark = name.rfind(".vrd");
  if (mark == std::string::npos || mark < 2) return false;  // the target's name is not empty
  std::string rest = name.substr(mark + 4);
  // The ZIP library writes an archive through a temporary of its own, named after ours with
  // "." and six more characters.
  bool ours = ParseSuffix(rest, parsed) ||
              (rest.size() > 7 && rest[rest.size() - 7] == '.' &&
               IsToken(rest.substr(rest.size() - 6)) &&
               ParseSuffix(rest.substr(0, rest.size() - 7), parsed));
  if (ours && owner != nullptr) *owner = parsed;
  return ours;
}

bool IsTemporaryName(const std::string& name, pid_t* pid) {
  TemporaryOwner owner;
  if (!IsTemporaryName(name, &owner)) return false;
  if (pid != nullptr) *pid = owner.pid;
  return true;
}

int RemoveStaleTemporaries(const std::string& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return 0;
  std::vector<std::string> stale;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    TemporaryOwner owner;
    if (!IsTemporaryName(name, &owner) || OwnerRuns(owner)) continue;
    stale.push_back(name);
  }
  ::closedir(d);
  int removed = 0;
  const std::string base = dir == "/" ? "" : dir;
  bool placed = false;
  for (const auto& name : stale) {
    std::string path = base + "/" + name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    // A linked temporary that is the last name of its file: the file it was linked to has
    // been replaced since (a run killed between placing a new archive and its second copy),
    // so this is the only copy left of what that file held. It takes its place.
    std::string target = LinkedTarget(name);
    if (!target.empty() && st.st_nlink == 1 && RenameFile(path, base + "/" + target)) {
      placed = true;
      continue;
    }
    if (::unlink(path.c_str()) == 0) ++removed;
  }
  if (placed) SyncDirectory(dir);
  return removed;
}

CommitSection::CommitSection() { Live().commit.lock(); }
CommitSection::~CommitSection() { Live().commit.unlock(); }

void RemoveLiveTemporaries() { Cleanup(false); }

bool RemoveTemporariesOnTermination() {
  return platform::OnTerminationSignal([] { Cleanup(true); });
}

}  // namespace verdan::archive
