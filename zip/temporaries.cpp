#include "zip/temporaries.h"

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

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/termination.h"
#include "platform/workers.h"

namespace verdan::archive {
namespace {

// What the process has made and not yet put into place. Never destroyed: the termination
// cleanup may still use it while the process ends.
struct Registry {
  std::mutex commit;  // held by CommitSection
  std::mutex mutex;   // guards everything below
  std::set<std::string> temporaries;
  struct Placement {
    std::string destination;
    std::string watched;
    platform::FileInfo identity;  // what stood at `watched` when it was marked
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
  if (!platform::IsAbsolutePath(dir)) {
    const std::string cwd = platform::CurrentDirectory();
    if (!cwd.empty()) dir = dir == "." ? cwd : cwd + "/" + dir;
  }
  return (dir == "/" ? "" : dir) + "/." + BaseName(target) + ".vrd" +
         platform::ProcessTag(platform::ThisProcess()) + ".";
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
  std::vector<std::string> listed;
  if (!platform::ListDirectory(dir, listed)) return;
  for (const auto& name : listed)
    if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0 &&
        IsToken(name.substr(prefix.size())))
      platform::RemoveName(dir + "/" + name);
}

void Cleanup(bool ending) {
  Registry& r = Live();
  std::lock_guard commit(r.commit);
  std::lock_guard lock(r.mutex);
  if (ending) r.ending = true;
  for (const auto& t : r.temporaries) {
    auto p = r.placements.find(t);
    platform::FileInfo now;
    if (p != r.placements.end() && platform::InfoAt(p->second.watched, now) &&
        !now.SameFile(p->second.identity) && platform::RenameFile(t, p->second.destination))
      continue;
    platform::RemoveName(t);
    RemoveLibraryTemporaries(t);
  }
  r.temporaries.clear();
  r.placements.clear();
  for (auto it = r.directories.rbegin(); it != r.directories.rend(); ++it)
    platform::RemoveDirectory(*it);
  r.directories.clear();
  for (const auto& j : r.journals) platform::RemoveName(j);
  r.journals.clear();
}

}  // namespace

void RemoveUnneededFiles(const std::vector<std::string>& paths) {
  constexpr std::size_t kThreads = 8;
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < paths.size();) platform::RemoveName(paths[i]);
  };
  // A thread for every four files, at most kThreads; fewer when the system gives fewer.
  const std::size_t slots = std::clamp<std::size_t>((paths.size() + 3) / 4, 1, kThreads);
  platform::RunOnWorkers(slots, [&](std::size_t) { work(); });
}

bool FileHolds(const std::string& path, const std::uint8_t* data, std::uint64_t size,
               std::uint8_t* scratch) {
  constexpr std::uint64_t kStep = 256u << 10;  // a file that differs usually does so early
  // Not blocking: whatever stands at the name (a FIFO, a device) is opened only to be looked at.
  platform::FileHandle fd =
      platform::OpenFile(path, platform::Access::kRead, platform::Links::kNoFollow);
  if (fd == platform::kNoFile) return false;
  platform::FileInfo info;
  bool same =
      platform::InfoOf(fd, info) && info.kind == platform::FileKind::kRegular && info.size == size;
  for (std::uint64_t at = 0; same && at < size; at += kStep) {
    auto n = static_cast<std::size_t>(std::min(kStep, size - at));
    same = platform::ReadAt(fd, scratch + at, n, at) == static_cast<std::int64_t>(n) &&
           std::memcmp(scratch + at, data + at, n) == 0;
  }
  platform::CloseFile(fd);
  return same;
}

bool OverwriteFile(const std::string& path, const void* data, std::size_t size,
                   const platform::FileTime* modified, const platform::FileInfo* expected,
                   std::uint32_t createPermissions) {
  if (!FileStepAllowed(FileStep::kOverwrite, path)) return false;
  platform::FileHandle fd =
      platform::OpenFile(path, platform::Access::kWrite, platform::Links::kNoFollow);
  if (fd == platform::kNoFile && errno == ENOENT && createPermissions != 0)
    fd = platform::CreateFile(path, platform::Creation::kExclusive, createPermissions);
  if (fd == platform::kNoFile) return false;
  platform::FileInfo info;
  bool ok = platform::InfoOf(fd, info);
  if (ok && (info.kind != platform::FileKind::kRegular ||
             (expected != nullptr && !info.SameFile(*expected)))) {
    ok = false;
    errno = EBUSY;  // something else stands at the name now
  }
  if (ok) ok = WriteOver(fd, data, size, modified);
  int saved = errno;
  if (!platform::CloseFile(fd) && ok) {
    ok = false;
    saved = errno;
  }
  errno = saved;
  return ok;
}

bool WriteOver(platform::FileHandle file, const void* data, std::size_t size,
               const platform::FileTime* modified) {
  return platform::WriteAllAt(file, data, size, 0) && platform::SetFileSize(file, size) &&
         (modified == nullptr || platform::SetModified(file, *modified));
}

std::string DirectoryOf(const std::string& path) {
  auto slash = platform::LastSeparator(path);
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  auto slash = platform::LastSeparator(path);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::uint32_t PermissionsFor(const std::string& target) {
  platform::FileInfo info;
  if (platform::InfoAt(target, info) && info.kind == platform::FileKind::kRegular)
    return info.permissions;
  return platform::NewFilePermissions();
}

std::string TemporaryNameFor(const std::string& target) { return Prefix(target) + RandomToken(); }

platform::FileHandle CreateTemporary(const std::string& target, std::string& temp) {
  Registry& r = Live();
  std::lock_guard lock(r.mutex);  // made and registered in one step: the cleanup sees it
  if (r.ending) {
    errno = ECANCELED;
    return platform::kNoFile;
  }
  std::string name = Prefix(target) + "XXXXXX";
  platform::FileHandle fd = platform::CreateUniqueFile(name);
  if (fd == platform::kNoFile) return platform::kNoFile;
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
  platform::FileHandle in = platform::OpenFile(source, platform::Access::kRead);
  if (in == platform::kNoFile) return false;
  platform::FileInfo info;
  platform::FileHandle out = platform::InfoOf(in, info) && info.kind == platform::FileKind::kRegular
                                 ? CreateTemporary(target, temp)
                                 : platform::kNoFile;
  if (out == platform::kNoFile) {
    platform::CloseQuietly(in);
    return false;
  }
  bool ok = platform::CopyContents(in, out) && platform::SetPermissions(out, info.permissions) &&
            SyncFile(out, temp);
  int saved = errno;
  platform::CloseFile(in);
  if (!platform::CloseFile(out) && ok) {
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
  platform::RemoveName(temp);
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
  platform::FileInfo identity;
  if (!platform::InfoAt(watched, identity)) return;
  Registry& r = Live();
  std::lock_guard lock(r.mutex);
  if (r.temporaries.count(temp) == 0) return;
  r.placements[temp] = Registry::Placement{destination, watched, identity};
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

platform::FileHandle CreateJournalFile(const std::string& path) {
  Registry& r = Live();
  std::lock_guard lock(r.mutex);  // made and registered in one step: the cleanup sees it
  if (r.ending) {
    errno = ECANCELED;
    return platform::kNoFile;
  }
  platform::FileHandle fd = platform::CreateFile(path, platform::Creation::kTruncate, 0600);
  if (fd != platform::kNoFile) r.journals.insert(path);
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
  bool ours = ParseSuffix(rest, parsed) || (rest.size() > 7 && rest[rest.size() - 7] == '.' &&
                                            IsToken(rest.substr(rest.size() - 6)) &&
                                            ParseSuffix(rest.substr(0, rest.size() - 7), parsed));
  if (ours && owner != nullptr) *owner = parsed;
  return ours;
}

int RemoveStaleTemporaries(const std::string& dir) {
  std::vector<std::string> listed, stale;
  if (!platform::ListDirectory(dir, listed)) return 0;
  for (const auto& name : listed) {
    TemporaryOwner owner;
    if (!IsTemporaryName(name, &owner) || OwnerRuns(owner)) continue;
    stale.push_back(name);
  }
  int removed = 0;
  const std::string base = dir == "/" ? "" : dir;
  bool placed = false;
  for (const auto& name : stale) {
    std::string path = base + "/" + name;
    platform::FileInfo info;
    if (!platform::InfoAt(path, info, platform::Links::kNoFollow) ||
        info.kind != platform::FileKind::kRegular)
      continue;
    // A linked temporary that is the last name of its file: the file it was linked to has
    // been replaced since (a run killed between placing a new archive and its second copy),
    // so this is the only copy left of what that file held. It takes its place.
    std::string target = LinkedTarget(name);
    if (!target.empty() && info.links == 1 && RenameFile(path, base + "/" + target)) {
      placed = true;
      continue;
    }
    if (platform::RemoveName(path)) ++removed;
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
