#include "archive/generations.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>

#include "archive/naming.h"
#include "platform/profile.h"
#include "platform/text.h"

namespace verdan::archive {
namespace {

constexpr const char* kSettingsFile = "verdan.env";

bool AllDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The regular file `name` of the directory open as `dir`, never through a symbolic link,
// when it reads as a ZIP archive (its end record found and its central directory read and
// consistent). `st` receives what the name stands for.
bool IsArchiveFile(int dir, const std::string& name, struct stat& st) {
  if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
    return false;
  int fd = ::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  struct stat opened {};
  if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || !SameFile(opened, st)) {
    ::close(fd);
    return false;
  }
  int err = 0;
  zip_t* za = ::zip_fdopen(fd, ZIP_RDONLY | ZIP_CHECKCONS, &err);  // owns fd when it succeeds
  if (za == nullptr) {
    ::close(fd);
    return false;
  }
  zip_discard(za);
  return true;
}

// Removes `name` from `dir` when it is still the file `st` describes.
bool RemoveIfSame(int dir, const std::string& name, const struct stat& st) {
  struct stat now {};
  if (::fstatat(dir, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(now.st_mode) ||
      !SameFile(now, st))
    return false;
  return ::unlinkat(dir, name.c_str(), 0) == 0;
}

bool Newer(const struct stat& a, const struct stat& b) {
  if (a.st_mtim.tv_sec != b.st_mtim.tv_sec) return a.st_mtim.tv_sec > b.st_mtim.tv_sec;
  return a.st_mtim.tv_nsec > b.st_mtim.tv_nsec;
}

}  // namespace

int KeptGenerations() {
  std::string v = platform::TrimRightCopy(
      platform::GetProfileString(kGenerationsSection, kGenerationsKey, "", kSettingsFile));
  if (v.empty() || v.size() > 4 || !AllDigits(v)) return 0;
  return std::stoi(v);
}

bool SetKeptGenerations(int generations) {
  if (generations < 0 || generations > kMostGenerations) return false;
  return platform::WriteProfileString(kGenerationsSection, kGenerationsKey,
                                      generations == 0 ? "" : std::to_string(generations),
                                      kSettingsFile);
}

std::vector<std::string> PruneGenerations(const std::string& prefix, const std::string& mode,
                                          int keep, const std::string& current) {
  std::vector<std::string> removed;
  if (keep <= 0) return removed;
  const std::size_t cut = prefix.rfind('/');
  const std::string dirPath =
      cut == std::string::npos ? "." : (cut == 0 ? "/" : prefix.substr(0, cut));
  const std::string namePrefix = cut == std::string::npos ? prefix : prefix.substr(cut + 1);
  const std::string shown = cut == std::string::npos ? std::string() : prefix.substr(0, cut + 1);
  // Every name is looked at and removed relative to this one directory, never through a
  // symbolic link: a link planted under an archive's name is neither sorted by its target's
  // time nor followed to a file elsewhere.
  int dir = ::open(dirPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return removed;
  struct stat currentSt {};
  const bool haveCurrent = ::stat(current.c_str(), &currentSt) == 0;

  struct Candidate {
    std::string name;
    struct stat st;
    bool current;
  };
  std::vector<Candidate> found;
  int listing = ::dup(dir);
  DIR* d = listing < 0 ? nullptr : ::fdopendir(listing);
  if (d == nullptr) {
    if (listing >= 0) ::close(listing);
    ::close(dir);
    return removed;
  }
  while (dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name.size() <= namePrefix.size() + 4 || name.rfind(namePrefix, 0) != 0 ||
        name.compare(name.size() - 4, 4, ".zip") != 0)
      continue;
    const std::string stem = name.substr(namePrefix.size(), name.size() - namePrefix.size() - 4);
    if (!IsRunName(mode, stem)) continue;
    Candidate c{name, {}, false};
    if (!IsArchiveFile(dir, name, c.st)) continue;  // a link, a directory, not a ZIP archive
    c.current = haveCurrent && SameFile(c.st, currentSt);
    found.push_back(c);
  }
  ::closedir(d);
  // The archive just written counts first, whatever the clock says of the others.
  std::sort(found.begin(), found.end(), [](const Candidate& a, const Candidate& b) {
    if (a.current != b.current) return a.current;
    return Newer(a.st, b.st);
  });
  for (std::size_t i = static_cast<std::size_t>(keep); i < found.size(); ++i) {
    const Candidate& c = found[i];
    if (c.current) continue;
    if (RemoveIfSame(dir, c.name, c.st)) removed.push_back(shown + c.name);
    const std::string second = c.name.substr(0, c.name.size() - 4) + "_2_.zip";
    struct stat secondSt {};
    if (IsArchiveFile(dir, second, secondSt) && !(haveCurrent && SameFile(secondSt, currentSt)) &&
        RemoveIfSame(dir, second, secondSt))
      removed.push_back(shown + second);
  }
  ::close(dir);
  return removed;
}

}  // namespace verdan::archive
