#include "archive/generations.h"

#include <zip.h>

#include <algorithm>

#include "archive/naming.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "platform/text.h"

namespace verdan::archive {
namespace {

constexpr const char* kSettingsFile = "verdan.env";

bool AllDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The regular file `name` of the directory open as `dir`, never through a symbolic link,
// when it reads as a ZIP archive (its end record found and its central directory read and
// consistent). `st` receives what the name stands for.
bool IsArchiveFile(platform::FileHandle dir, const std::string& name, platform::FileInfo& st) {
  if (!platform::InfoBeneath(dir, name, st) || st.kind != platform::FileKind::kRegular)
    return false;
  platform::FileHandle fd = platform::OpenFileBeneath(dir, name, platform::Access::kRead);
  if (fd == platform::kNoFile) return false;
  platform::FileInfo opened;
  if (!platform::InfoOf(fd, opened) || opened.kind != platform::FileKind::kRegular ||
      !opened.SameFile(st)) {
    platform::CloseFile(fd);
    return false;
  }
  // The library reads through a run-time descriptor of the file opened here (on Windows the
  // port's handle is not one), and owns it when it succeeds.
  int err = 0;
  const int descriptor = platform::RuntimeDescriptor(fd);
  platform::CloseFile(fd);
  if (descriptor < 0) return false;
  zip_t* za = ::zip_fdopen(descriptor, ZIP_RDONLY | ZIP_CHECKCONS, &err);
  if (za == nullptr) {
    platform::CloseRuntimeDescriptor(descriptor);
    return false;
  }
  zip_discard(za);
  return true;
}

// Removes `name` from `dir` when it is still the file `st` describes.
bool RemoveIfSame(platform::FileHandle dir, const std::string& name, const platform::FileInfo& st) {
  platform::FileInfo now;
  if (!platform::InfoBeneath(dir, name, now) || now.kind != platform::FileKind::kRegular ||
      !now.SameFile(st))
    return false;
  return platform::RemoveBeneath(dir, name);
}

bool Newer(const platform::FileInfo& a, const platform::FileInfo& b) {
  return b.modified < a.modified;
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
  const std::size_t cut = platform::LastSeparator(prefix);
  const std::string dirPath =
      cut == std::string::npos ? "." : (cut == 0 ? "/" : prefix.substr(0, cut));
  const std::string namePrefix = cut == std::string::npos ? prefix : prefix.substr(cut + 1);
  const std::string shown = cut == std::string::npos ? std::string() : prefix.substr(0, cut + 1);
  // Every name is looked at and removed relative to this one directory, never through a
  // symbolic link: a link planted under an archive's name is neither sorted by its target's
  // time nor followed to a file elsewhere.
  platform::FileHandle dir = platform::OpenDirectory(dirPath);
  if (dir == platform::kNoFile) return removed;
  platform::FileInfo currentSt;
  const bool haveCurrent = platform::InfoAt(current, currentSt);

  struct Candidate {
    std::string name;
    platform::FileInfo st;
    bool current;
  };
  std::vector<Candidate> found;
  std::vector<std::string> listed;
  if (!platform::ListOpenDirectory(dir, listed)) {
    platform::CloseFile(dir);
    return removed;
  }
  for (const std::string& name : listed) {
    if (name.size() <= namePrefix.size() + 4 || name.rfind(namePrefix, 0) != 0 ||
        name.compare(name.size() - 4, 4, ".zip") != 0)
      continue;
    const std::string stem = name.substr(namePrefix.size(), name.size() - namePrefix.size() - 4);
    if (!IsRunName(mode, stem)) continue;
    Candidate c{name, {}, false};
    if (!IsArchiveFile(dir, name, c.st)) continue;  // a link, a directory, not a ZIP archive
    c.current = haveCurrent && c.st.SameFile(currentSt);
    found.push_back(c);
  }
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
    platform::FileInfo secondSt;
    if (IsArchiveFile(dir, second, secondSt) && !(haveCurrent && secondSt.SameFile(currentSt)) &&
        RemoveIfSame(dir, second, secondSt))
      removed.push_back(shown + second);
  }
  platform::CloseFile(dir);
  return removed;
}

}  // namespace verdan::archive
