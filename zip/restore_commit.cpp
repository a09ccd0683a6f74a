#include "zip/restore_commit.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "platform/files.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/workers.h"
#include "zip/checksum.h"
#include "zip/temporaries.h"

#ifndef NAME_MAX
#define NAME_MAX 255  // the most characters of one name on Windows' file systems
#endif

namespace verdan::archive {
namespace {

// The journal's first line. The first form (a journal left by an earlier version) has no
// "inplace" lines: its undo file is put back whole, as that version did.
constexpr const char* kJournalHeader = "verdan-restore 2";
constexpr const char* kJournalHeaderFirst = "verdan-restore 1";
// What a temporary's name adds to the name of its target: ".", ".vrd", the process number,
// ".", six characters.
constexpr std::size_t kTemporaryExtra = 24;
constexpr std::size_t kJournalLimit = 64u << 20;

// Working files up to this size are written over in place, as many as make this many bytes
// in all (their new bytes wait in memory until the commit).
constexpr std::uint64_t kInPlaceFileLimit = 1u << 20;
constexpr std::uint64_t kInPlaceBudget = 64u << 20;
// Keeping their originals and writing them over take a thread for every so many files, up to
// a few.
constexpr std::size_t kKeeperThreads = 2;
constexpr std::size_t kFilesPerKeeperThread = 64;
constexpr std::size_t kOverwriteThreads = 4;
constexpr std::size_t kFilesPerOverwriteThread = 64;

// Threads (the calling one included) for `files` files at one per `perThread`, at most `most`.
std::size_t Slots(std::size_t files, std::size_t perThread, std::size_t most) {
  return std::clamp<std::size_t>((files + perThread - 1) / perThread, 1, most);
}

// The undo file: a header, then per file a record head, its relative name and its bytes.
constexpr char kUndoHeader[] = "verdan-undo 1\n";
constexpr char kUndoMagic[4] = {'V', 'R', 'D', 'U'};
// magic 4, name length 4, size 8, seconds 8, nanoseconds 4, mode 4, CRC of name and bytes 4
constexpr std::size_t kUndoHead = 36;
constexpr std::uint64_t kUndoRecordLimit = 64u << 20;
// A database file another connection may hold open is never written over in place.
constexpr char kDatabaseHeader[16] = "SQLite format 3";

// A file of the journal; names are relative to the target directory (`final`) or to the
// final file's directory (`temp`, `aside`).
struct JournalFile {
  std::string final;
  std::string temp;       // empty: not yet extracted
  std::string aside;      // empty: no working file stood at `final`
  std::uint64_t dev = 0;  // the temporary's file, which becomes `final`
  std::uint64_t ino = 0;
  // That file's size and time as the restore left it (`stamped`: recorded; journals of the
  // earlier form have neither): written to since, it is no longer only the restore's.
  bool stamped = false;
  std::uint64_t size = 0;
  platform::FileTime mtime;
};

// A file written over in place: what the restore writes there, so that the next start can
// tell the restore's bytes (whole, or torn by the interruption) from work done since.
constexpr std::size_t kBlock = 4096;  // a write that is cut short leaves whole blocks
struct InPlaceFile {
  std::string final;  // relative to the target directory
  std::uint64_t size = 0;
  std::int64_t mtime = 0;  // the entry's time, 0 when none
  std::uint32_t crc = 0;
  std::vector<std::uint32_t> blocks;  // the CRC of every kBlock bytes (the last one shorter)
};

struct Journal {
  int version = 2;
  pid_t pid = 0;
  bool commit = false;            // false: extracting; true: replacing the working files
  bool undo = false;              // the undo file holds originals written over in place
  std::vector<std::string> dirs;  // created directories, relative, in the order made
  std::vector<JournalFile> files;
  std::vector<InPlaceFile> inPlace;
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
  if (j.undo) o << "undo\n";
  for (const auto& d : j.dirs) o << "dir " << Escape(d) << "\n";
  for (const auto& f : j.files) {
    o << "file " << Escape(f.final) << " " << Escape(f.temp) << " " << Escape(f.aside) << " "
      << static_cast<unsigned long long>(f.dev) << " " << static_cast<unsigned long long>(f.ino);
    if (f.stamped)
      o << " " << f.size << " " << static_cast<long long>(f.mtime.seconds) << " "
        << f.mtime.nanoseconds;
    o << "\n";
  }
  for (const auto& f : j.inPlace) {
    o << "inplace " << Escape(f.final) << " " << f.size << " " << f.mtime << " " << f.crc << " ";
    if (f.blocks.empty()) o << "-";
    for (std::uint32_t b : f.blocks) {
      char hex[9];
      std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(b));
      o << hex;
    }
    o << "\n";
  }
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
  if (!std::getline(in, line)) return false;
  if (line == kJournalHeader)
    j.version = 2;
  else if (line == kJournalHeaderFirst)
    j.version = 1;
  else
    return false;
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
    } else if (word == "undo") {
      j.undo = true;
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
      f.dev = dev;
      f.ino = ino;
      unsigned long long size = 0;
      long long sec = 0, nsec = 0;
      if (l >> size >> sec >> nsec) {
        if (nsec < 0 || nsec >= 1000000000) return false;
        f.stamped = true;
        f.size = size;
        f.mtime.seconds = sec;
        f.mtime.nanoseconds = static_cast<std::int32_t>(nsec);
      }
      j.files.push_back(f);
    } else if (word == "inplace" && j.version >= 2) {
      std::string rf, hex;
      InPlaceFile f;
      long long mtime = 0;
      unsigned long long size = 0, crc = 0;
      if (!(l >> rf >> size >> mtime >> crc >> hex) || !Unescape(rf, f.final) ||
          !Contained(f.final, true) || size > kUndoRecordLimit || crc > 0xFFFFFFFFull)
        return false;
      f.size = size;
      f.mtime = mtime;
      f.crc = static_cast<std::uint32_t>(crc);
      if (hex != "-") {
        if (hex.size() % 8 != 0 || hex.size() / 8 != (size + kBlock - 1) / kBlock) return false;
        for (std::size_t at = 0; at < hex.size(); at += 8) {
          unsigned v = 0;
          if (std::sscanf(hex.substr(at, 8).c_str(), "%8x", &v) != 1) return false;
          f.blocks.push_back(v);
        }
      } else if (size != 0) {
        return false;
      }
      j.inPlace.push_back(f);
    } else {
      return false;
    }
  }
  return ended && j.pid > 0;
}

bool WriteAll(platform::FileHandle fd, const void* data, std::size_t size) {
  return platform::WriteAll(fd, data, size);
}

bool WriteAll(platform::FileHandle fd, const std::string& text) {
  return platform::WriteAll(fd, text.data(), text.size());
}

std::string JournalPath(const std::string& target) { return Join(target, kRestoreJournalName); }
std::string UndoPath(const std::string& target) { return Join(target, kRestoreUndoName); }

// Writes the journal whole: a temporary, synced, renamed over the journal, directory synced.
bool WriteJournal(const std::string& target, const Journal& j) {
  std::string path = JournalPath(target);
  std::string temp;
  platform::FileHandle fd = CreateTemporary(path, temp);
  if (fd == platform::kNoFile) return false;
  bool ok = WriteAll(fd, Render(j)) && SyncFile(fd, temp);
  int saved = errno;
  if (!platform::CloseFile(fd) && ok) {
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

// ---- reading what an interrupted restore left, beneath its directory ------------------------

// A journal or undo file is trusted only when it is a regular file of the user running the
// program that no one else may write: one planted by another user could otherwise make a
// program run by an administrator write wherever that user chose.
bool Trusted(platform::FileHandle fd) {
  platform::FileInfo info;
  return platform::InfoOf(fd, info) && info.kind == platform::FileKind::kRegular && info.ours &&
         !info.othersMayWrite;
}

// Opens the file `name` of the directory `root` for reading, without following a link or
// blocking on a FIFO; -1 with errno set. A file there that is not trusted gives EPERM.
platform::FileHandle OpenTrusted(platform::FileHandle root, const char* name) {
  platform::FileHandle fd = platform::OpenFileBeneath(root, name, platform::Access::kRead);
  if (fd == platform::kNoFile) {
    if (errno == ELOOP || errno == ENXIO) errno = EPERM;  // a link, a socket
    return platform::kNoFile;
  }
  if (!Trusted(fd)) {
    platform::CloseFile(fd);
    errno = EPERM;
    return platform::kNoFile;
  }
  return fd;
}

bool ReadJournal(platform::FileHandle fd, Journal& j) {
  std::string text;
  char buf[65536];
  for (;;) {
    std::int64_t n = platform::ReadNext(fd, buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
    if (text.size() > kJournalLimit) break;
  }
  return text.size() <= kJournalLimit && Parse(text, j);
}

// Opens the directory `relative` (a Contained name, or "" for `root` itself) beneath `root`,
// one component at a time, never following a link: -1 with errno set when a component is
// missing, a link or not a directory.
platform::FileHandle OpenPathBeneath(platform::FileHandle root, const std::string& relative) {
  platform::FileHandle cur = platform::DuplicateHandle(root);
  std::size_t start = 0;
  while (cur != platform::kNoFile && start < relative.size()) {
    std::size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    std::string part = relative.substr(start, end - start);
    platform::FileHandle next = platform::kNoFile;
    if (part.empty() || part == "." || part == "..")
      errno = EINVAL;
    else
      next = platform::OpenDirectoryBeneath(cur, part);
    platform::CloseQuietly(cur);
    cur = next;
    start = end + 1;
  }
  return cur;
}

// The directories a recovery works in, each opened beneath the target once and synced at the
// end; keyed by their name relative to the target.
class Beneath {
 public:
  explicit Beneath(int root) : root_(root) {}
  ~Beneath() {
    for (auto& [name, fd] : dirs_)
      if (fd >= 0) platform::CloseFile(fd);
  }
  Beneath(const Beneath&) = delete;
  Beneath& operator=(const Beneath&) = delete;

  // The directory holding `relative`, -1 when it cannot be reached without a link; `leaf`
  // is the last component.
  int ParentOf(const std::string& relative, std::string& leaf) {
    auto slash = relative.rfind('/');
    leaf = slash == std::string::npos ? relative : relative.substr(slash + 1);
    return Directory(slash == std::string::npos ? std::string() : relative.substr(0, slash));
  }
  int Directory(const std::string& relative) {
    auto it = dirs_.find(relative);
    if (it != dirs_.end()) {
      if (it->second < 0) errno = failures_[relative];
      return it->second;
    }
    int fd = OpenPathBeneath(root_, relative);
    if (fd < 0) failures_[relative] = errno;
    dirs_[relative] = fd;
    return fd;
  }
  // Syncs every directory opened; false when one failed.
  bool SyncAll(const std::string& target) {
    bool ok = true;
    for (auto& [name, fd] : dirs_)
      if (fd >= 0 && !SyncFile(fd, name.empty() ? target : Join(target, name)) && errno != EINVAL)
        ok = false;
    return ok;
  }

 private:
  int root_;
  std::map<std::string, int> dirs_;
  std::map<std::string, int> failures_;  // errno of those that could not be opened
};

bool Exists(const std::string& path, platform::FileInfo* out = nullptr) {
  platform::FileInfo info;
  bool there = platform::InfoAt(path, info, platform::Links::kNoFollow);
  if (there && out) *out = info;
  return there;
}

// ---- the undo file ------------------------------------------------------------------------

void Put(std::string& out, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::uint64_t Get(const std::uint8_t* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

std::uint32_t RecordCrc(const std::string& relative, const std::uint8_t* data, std::size_t size) {
  return Crc(Crc(0, reinterpret_cast<const std::uint8_t*>(relative.data()), relative.size()), data,
             size);
}

// Appends the record of one original: its name relative to the target, time, mode and bytes.
void AppendUndoRecord(std::string& out, const std::string& relative,
                      const std::vector<std::uint8_t>& bytes, const platform::FileInfo& st) {
  out.append(kUndoMagic, sizeof kUndoMagic);
  Put(out, relative.size(), 4);
  Put(out, bytes.size(), 8);
  Put(out, static_cast<std::uint64_t>(st.modified.seconds), 8);
  Put(out, static_cast<std::uint64_t>(st.modified.nanoseconds), 4);
  Put(out, st.permissions & 07777, 4);
  Put(out, RecordCrc(relative, bytes.data(), bytes.size()), 4);
  out += relative;
  out.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

struct UndoRecord {
  std::string relative;
  platform::FileTime mtime;
  std::uint32_t mode = 0;
  std::vector<std::uint8_t> bytes;
};

// Reads exactly `n` bytes: 1, or 0 at the end of the file before any, else -1.
int ReadExactly(platform::FileHandle fd, std::uint64_t& offset, void* out, std::size_t n) {
  char* p = static_cast<char*>(out);
  std::size_t got = 0;
  while (got < n) {
    std::int64_t r = platform::ReadAt(fd, p + got, n - got, offset + got);
    if (r <= 0) return r == 0 && got == 0 ? 0 : -1;
    got += static_cast<std::size_t>(r);
  }
  offset += n;
  return 1;
}

// Hands every record of the undo file open at `fd` to `each`, in order. False when the file
// cannot be read, a record is damaged, or `each` says so.
bool ReadUndo(platform::FileHandle fd, const std::function<bool(const UndoRecord&)>& each) {
  std::uint64_t at = 0;
  char header[sizeof kUndoHeader - 1];
  bool ok = ReadExactly(fd, at, header, sizeof header) == 1 &&
            std::memcmp(header, kUndoHeader, sizeof header) == 0;
  UndoRecord r;
  while (ok) {
    std::uint8_t head[kUndoHead];
    int got = ReadExactly(fd, at, head, sizeof head);
    if (got == 0) break;
    std::uint64_t nameLength = Get(head + 4, 4), size = Get(head + 8, 8);
    ok = got == 1 && std::memcmp(head, kUndoMagic, sizeof kUndoMagic) == 0 && nameLength > 0 &&
         nameLength < PATH_MAX && size <= kUndoRecordLimit;
    if (!ok) break;
    r.mtime.seconds = static_cast<std::int64_t>(Get(head + 16, 8));
    r.mtime.nanoseconds = static_cast<std::int32_t>(Get(head + 24, 4));
    r.mode = static_cast<std::uint32_t>(Get(head + 28, 4) & 07777);
    r.relative.resize(nameLength);
    r.bytes.resize(size);
    ok = ReadExactly(fd, at, r.relative.data(), nameLength) == 1 &&
         (size == 0 || ReadExactly(fd, at, r.bytes.data(), size) == 1) &&
         RecordCrc(r.relative, r.bytes.data(), r.bytes.size()) == Get(head + 32, 4) &&
         r.mtime.nanoseconds >= 0 && r.mtime.nanoseconds < 1000000000 &&
         Contained(r.relative, true) && each(r);
  }
  return ok;
}

// True when `now` holds only what a restore writing the `blocks` of `written` (its CRCs, whole
// size `size`) over `original` may have left there: every block its new bytes or the
// original's, cut where a write stops (at a block's end or at `size`).
bool LeftByRestore(const std::vector<std::uint8_t>& now, const std::vector<std::uint8_t>& original,
                   const InPlaceFile& written) {
  std::size_t at = 0;
  const std::size_t size = static_cast<std::size_t>(written.size);
  while (at < now.size()) {
    std::size_t end = std::min(now.size(), (at / kBlock + 1) * kBlock);
    if (at < size && end > size) end = size;
    bool old =
        end <= original.size() && std::memcmp(now.data() + at, original.data() + at, end - at) == 0;
    bool fresh = false;
    if (!old && at < size && at % kBlock == 0) {
      std::size_t b = at / kBlock;
      fresh = end == std::min(at + kBlock, size) && b < written.blocks.size() &&
              Crc(0, now.data() + at, end - at) == written.blocks[b];
    }
    if (!old && !fresh) return false;
    at = end;
  }
  return true;
}

// Writes the originals of the undo file back over the working files the journal says were
// written over in place, each synced. Nothing is written unless every record is whole. A
// record names a file beneath the target that the journal lists; the file must stand there as
// a regular file (it is never created) and, for a journal of this version, still hold what the
// restore wrote: a file changed since is left as it is and named. True when every file was
// dealt with.
bool ReplayUndo(int undo, const std::string& target, const Journal& j, Beneath& dirs,
                RecoveryReport& report) {
  if (!ReadUndo(undo, [](const UndoRecord&) { return true; })) return false;
  std::set<std::string> listed;
  for (const auto& f : j.files)
    if (f.temp.empty() && f.aside.empty()) listed.insert(f.final);
  std::map<std::string, const InPlaceFile*> written;
  for (const auto& f : j.inPlace) written[f.final] = &f;
  bool all = true;
  std::set<std::string> seen;
  ReadUndo(undo, [&](const UndoRecord& r) {
    if (listed.count(r.relative) == 0 || !seen.insert(r.relative).second) return true;
    const InPlaceFile* w = nullptr;
    if (j.version >= 2) {
      auto it = written.find(r.relative);
      if (it == written.end()) return true;  // kept, but never written over
      w = it->second;
    }
    std::string leaf;
    int dir = dirs.ParentOf(r.relative, leaf);
    platform::FileHandle fd =
        dir < 0 ? platform::kNoFile
                : platform::OpenFileBeneath(dir, leaf, platform::Access::kReadWrite);
    platform::FileInfo st;
    if (fd == platform::kNoFile || !platform::InfoOf(fd, st) ||
        st.kind != platform::FileKind::kRegular) {
      if (fd != platform::kNoFile) platform::CloseFile(fd);
      report.leftAlone.push_back(r.relative);  // gone, or no longer a file of its own here
      return true;
    }
    bool restore = true, same = false;
    if (w != nullptr) {
      std::vector<std::uint8_t> now;
      restore = st.size <= std::max<std::uint64_t>(w->size, r.bytes.size());
      if (restore) {
        now.resize(static_cast<std::size_t>(st.size));
        restore = now.empty() || platform::ReadAt(fd, now.data(), now.size(), 0) ==
                                     static_cast<std::int64_t>(now.size());
      }
      same = restore && now == r.bytes;
      restore = restore && (same || LeftByRestore(now, r.bytes, *w));
    }
    if (!restore) {
      report.leftAlone.push_back(r.relative);
    } else if (same || (platform::OverwriteOpenFile(fd, Join(target, r.relative), r.bytes.data(),
                                                    r.bytes.size(), &r.mtime) &&
                        SyncFile(fd, Join(target, r.relative)))) {
      report.putBack.push_back(r.relative);
    } else {
      all = false;
    }
    platform::CloseFile(fd);
    return true;  // the others are still put back
  });
  return all;
}

// Reads the working file at `path` for the undo file when it may be written over in place: a
// regular file with no other name, writable, within the size limit, not a database file.
bool ReadOriginal(const std::string& path, std::vector<std::uint8_t>& bytes,
                  platform::FileInfo& st) {
  platform::FileHandle fd =
      platform::OpenFile(path, platform::Access::kReadWrite, platform::Links::kNoFollow);
  if (fd == platform::kNoFile) return false;
  bool ok = platform::InfoOf(fd, st) && st.kind == platform::FileKind::kRegular && st.links == 1 &&
            st.size <= kInPlaceFileLimit;
  if (ok) {
    bytes.resize(static_cast<std::size_t>(st.size));
    ok = bytes.empty() || platform::ReadAt(fd, bytes.data(), bytes.size(), 0) ==
                              static_cast<std::int64_t>(bytes.size());
  }
  platform::CloseFile(fd);
  return ok && !(bytes.size() >= sizeof kDatabaseHeader &&
                 std::memcmp(bytes.data(), kDatabaseHeader, sizeof kDatabaseHeader) == 0);
}

// Puts every kept original back at its working name, removes the files the restore added
// (only the very files it made) and its temporaries, every name resolved beneath the target.
// A working name that holds neither the restore's file nor the original any more was changed
// since: it is left as it is and named. True when all of that was done.
bool RollBack(const std::vector<JournalFile>& files, Beneath& dirs, RecoveryReport& report) {
  bool ok = true;
  for (auto it = files.rbegin(); it != files.rend(); ++it) {
    const JournalFile& f = *it;
    std::string leaf;
    int dir = dirs.ParentOf(f.final, leaf);
    if (dir < 0) {
      if (errno != ENOENT && (!f.aside.empty() || f.ino != 0)) report.leftAlone.push_back(f.final);
      continue;
    }
    platform::FileInfo now, kept;
    bool there = platform::InfoBeneath(dir, leaf, now);
    bool ours = there && f.ino != 0 && now.file == f.ino && now.device == f.dev &&
                (!f.stamped || (now.size == f.size && now.modified == f.mtime));
    bool keptThere = !f.aside.empty() && platform::InfoBeneath(dir, f.aside, kept) &&
                     kept.kind == platform::FileKind::kRegular;
    if (keptThere) {
      bool unchanged = there && now.SameFile(kept);
      if (!there || ours) {
        if (!FileStepAllowed(FileStep::kRename, f.final) ||
            !platform::RenameBeneath(dir, f.aside, dir, leaf))
          ok = false;
        else
          report.putBack.push_back(f.final);
      } else {
        // Nothing replaced yet (both names are the original), or the name holds new work.
        if (!unchanged) report.leftAlone.push_back(f.final);
        if (!platform::RemoveBeneath(dir, f.aside) && errno != ENOENT) ok = false;
      }
    } else if (f.aside.empty() && f.ino != 0 && there) {
      if (!ours) {
        report.leftAlone.push_back(f.final);
      } else if (!platform::RemoveBeneath(dir, leaf) && errno != ENOENT) {
        ok = false;
      } else {
        report.putBack.push_back(f.final);
      }
    }
    if (!f.temp.empty()) {
      platform::FileInfo st;
      if (platform::InfoBeneath(dir, f.temp, st) && st.kind == platform::FileKind::kRegular &&
          !platform::RemoveBeneath(dir, f.temp) && errno != ENOENT)
        ok = false;
    }
  }
  return ok;
}

// Removes the temporaries of process `pid` in the directory `dir` (open; a dead restore's
// leftovers): regular files of our pattern only.
void RemoveTemporariesOf(platform::FileHandle dir, pid_t pid) {
  std::vector<std::string> listed;
  if (dir == platform::kNoFile || !platform::ListOpenDirectory(dir, listed)) return;
  for (const auto& name : listed) {
    TemporaryOwner owner;
    platform::FileInfo st;
    if (IsTemporaryName(name, &owner) && owner.pid == pid && platform::InfoBeneath(dir, name, st) &&
        st.kind == platform::FileKind::kRegular)
      platform::RemoveBeneath(dir, name);
  }
}

// Removes the created directories that are empty, the deepest first.
void RemoveCreatedDirectories(const std::vector<std::string>& absolute) {
  for (auto it = absolute.rbegin(); it != absolute.rend(); ++it) {
    platform::RemoveDirectory(*it);
    ForgetCreatedDirectory(*it);
  }
}

// Undoes what a restore of journal `j` (in its commit phase) did: the renamed files, then the
// files written over in place from the undo file open at `undo` (-1: none), every directory
// synced. True when all was put back or left alone.
bool PutBack(const Journal& j, platform::FileHandle undo, const std::string& target, Beneath& dirs,
             RecoveryReport& report) {
  bool back = RollBack(j.files, dirs, report);
  if (undo >= 0 && !ReplayUndo(undo, target, j, dirs, report)) back = false;
  if (j.undo && undo < 0) back = false;
  if (!dirs.SyncAll(target)) back = false;
  return back;
}

// With the target's lock held.
Recovery RecoverLocked(const std::string& target, RecoveryReport& report) {
  platform::FileHandle root = platform::OpenDirectory(target);
  if (root == platform::kNoFile) return Recovery::kNothing;
  struct CloseRoot {
    platform::FileHandle fd;
    ~CloseRoot() { platform::CloseFile(fd); }
  } closeRoot{root};
  platform::FileInfo st;
  if (!platform::InfoBeneath(root, kRestoreJournalName, st)) {
    // An undo file without a journal is left from a restore that had already ended.
    platform::RemoveBeneath(root, kRestoreUndoName);
    return Recovery::kNothing;
  }
  platform::FileHandle journal = OpenTrusted(root, kRestoreJournalName);
  if (journal == platform::kNoFile) {
    if (errno != EPERM) return Recovery::kFailed;
    report.refused = JournalPath(target);
    return Recovery::kRefused;
  }
  Journal j;
  bool read = ReadJournal(journal, j);
  platform::CloseFile(journal);
  if (!read) return Recovery::kFailed;
  platform::FileHandle undo = platform::kNoFile;
  if (j.commit && j.undo) {
    undo = OpenTrusted(root, kRestoreUndoName);
    if (undo == platform::kNoFile) {
      if (errno != EPERM) return Recovery::kFailed;
      report.refused = UndoPath(target);
      return Recovery::kRefused;
    }
  }
  struct CloseUndo {
    platform::FileHandle fd;
    ~CloseUndo() {
      if (fd != platform::kNoFile) platform::CloseFile(fd);
    }
  } closeUndo{undo};
  Beneath dirs(root);
  if (j.commit && !PutBack(j, undo, target, dirs, report)) return Recovery::kFailed;
  std::set<std::string> parents;
  for (const auto& f : j.files) {
    auto slash = f.final.rfind('/');
    parents.insert(slash == std::string::npos ? std::string() : f.final.substr(0, slash));
  }
  for (const auto& d : j.dirs) parents.insert(d);
  for (const auto& dir : parents) RemoveTemporariesOf(dirs.Directory(dir), j.pid);
  for (auto it = j.dirs.rbegin(); it != j.dirs.rend(); ++it) {
    std::string leaf;
    int parent = dirs.ParentOf(*it, leaf);
    if (parent >= 0) platform::RemoveDirectoryBeneath(parent, leaf);  // only when empty
  }
  if (!RemoveFile(JournalPath(target))) return Recovery::kFailed;
  platform::RemoveBeneath(root, kRestoreUndoName);  // only after the journal
  SyncDirectory(target);
  return Recovery::kRolledBack;
}

// Locks `target` against other restores and runs, waiting up to `seconds` for another
// process to release it; -1 with errno set (EWOULDBLOCK: still held) when it cannot.
platform::FileHandle LockDirectory(const std::string& target, int seconds) {
  platform::FileHandle fd = platform::OpenDirectory(target);
  if (fd == platform::kNoFile) return platform::kNoFile;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!platform::LockFile(fd, platform::LockWait::kTry)) {
    int saved = errno;
    if (saved != EWOULDBLOCK || std::chrono::steady_clock::now() >= until) {
      platform::CloseFile(fd);
      errno = saved;
      return platform::kNoFile;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
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
  bool undoWritten = false;
  // What the keeping of the originals found, by file.
  struct Kept {
    bool usable = false;  // may be written over in place; its original is in the undo file
    platform::FileInfo identity;
    std::uint32_t crc = 0;  // of the original
  };
  std::vector<Kept> kept;
  std::thread keeper;
  bool keeping = false;  // started, or done
  std::int32_t keepResult = 0;
  ZipFailure keepFailure;
  bool committed = false;
  bool keepJournal = false;  // putting the originals back failed: the next start does it
  // The target's directory, opened before anything is extracted, so that syncing its file
  // system through it reports every write error there since (one opened later might not),
  // and the file system's device.
  platform::FileHandle fileSystem = platform::kNoFile;
  std::uint64_t fileSystemDevice = 0;

  std::string Relative(const std::string& path) const { return path.substr(target.size() + 1); }

  Journal MakeJournal(bool commit) const {
    Journal j;
    j.pid = platform::ThisProcess();
    j.commit = commit;
    for (const auto& d : plannedDirs) j.dirs.push_back(Relative(d));
    for (const auto& f : *files) {
      JournalFile jf;
      jf.final = Relative(f.final);
      j.files.push_back(jf);
    }
    return j;
  }

  // Writes a held file's bytes to a temporary beside it, synced, for the rename instead.
  bool HoldToTemporary(RestoreFile& f) {
    std::string temp;
    platform::FileHandle fd = CreateTemporary(f.final, temp);
    if (fd == platform::kNoFile) return false;
    f.temp = temp;  // from now on the temporary is discarded with the others
    bool ok = WriteAll(fd, f.data.data(), f.data.size());
    if (ok && f.mtime != 0) platform::SetModified(fd, {f.mtime, 0});
    ok = ok && platform::SetPermissions(fd, PermissionsFor(f.final)) && SyncFile(fd, temp);
    int saved = errno;
    if (!platform::CloseFile(fd) && ok) {
      ok = false;
      saved = errno;
    }
    errno = saved;
    f.held = false;
    std::vector<std::uint8_t>().swap(f.data);
    return ok;
  }

  // Copies the original of every file Plan chose to write over in place into the undo file,
  // synced, noting each one's identity, size and CRC; a file that cannot be written over in
  // place is noted as such. Runs on a thread of its own while the extraction runs (nothing is
  // written over before the commit), or in the commit.
  void KeepOriginals() {
    kept.assign(files->size(), Kept{});
    if (std::none_of(files->begin(), files->end(), [](const RestoreFile& f) { return f.inPlace; }))
      return;
    std::string path = UndoPath(target);
    int fd = CreateJournalFile(path);  // removed with the journal should the program be ended
    if (fd < 0) {
      keepResult = SetFailure(keepFailure, kZipCannotWrite, errno, path);
      return;
    }
    undoWritten = true;
    // The files are read by a few threads; each gathers records and appends them in turns.
    std::atomic<std::size_t> next{0};
    std::mutex appending;
    int error = WriteAll(fd, kUndoHeader, sizeof kUndoHeader - 1) ? 0 : errno;
    auto append = [&](std::string& pending) {
      std::lock_guard lock(appending);
      if (error == 0 && !WriteAll(fd, pending)) error = errno != 0 ? errno : EIO;
      pending.clear();
      if (error != 0) next = files->size();
    };
    auto work = [&] {
      std::string pending;
      std::vector<std::uint8_t> original;
      for (std::size_t i; (i = next.fetch_add(1)) < files->size();) {
        const RestoreFile& f = (*files)[i];
        Kept& k = kept[i];
        if (!f.inPlace || !ReadOriginal(f.final, original, k.identity)) continue;
        AppendUndoRecord(pending, Relative(f.final), original, k.identity);
        k.usable = true;
        k.crc = Crc(0, original.data(), original.size());
        if (pending.size() >= (1u << 20)) append(pending);
      }
      append(pending);
    };
    // A thread for every kFilesPerKeeperThread files, fewer when the system gives fewer.
    if (error == 0)
      platform::RunOnWorkers(Slots(files->size(), kFilesPerKeeperThread, kKeeperThreads),
                             [&](std::size_t) { work(); });
    if (error == 0 && !SyncFile(fd, path)) error = errno;
    if (!platform::CloseFile(fd) && error == 0) error = errno;
    if (error != 0) keepResult = SetFailure(keepFailure, kZipCannotWrite, error, path);
  }

  void WaitForOriginals() {
    if (keeper.joinable()) keeper.join();
    if (!keeping) KeepOriginals();
    keeping = true;
  }

  // Decides for every held file: written over in place (its original kept), left as it is
  // (it already holds its entry), or given a temporary to be renamed over it. Lists the files
  // to write over in place, each with the identity its working file must still have then.
  std::int32_t PlaceHeld(std::vector<std::size_t>& overwrite,
                         std::vector<platform::FileInfo>& identity, ZipFailure& failure) {
    WaitForOriginals();
    if (keepResult != 0) {
      failure = keepFailure;
      return keepResult;
    }
    std::vector<std::uint8_t> scratch;
    for (std::size_t i = 0; i < files->size(); ++i) {
      RestoreFile& f = (*files)[i];
      if (!f.held) continue;
      const Kept& k = kept[i];
      if (!k.usable) {
        if (!HoldToTemporary(f))
          return SetFailure(failure, kZipCannotWrite, errno, f.final, f.entryName);
        continue;
      }
      // The same size and CRC as the original: compared byte for byte.
      bool same = false;
      if (k.identity.size == f.data.size() && k.crc == Crc(0, f.data.data(), f.data.size())) {
        scratch.resize(f.data.size());
        same = FileHolds(f.final, f.data.data(), f.data.size(), scratch.data());
      }
      if (same) {
        f.held = false;  // it already holds its entry: left as it is
        f.unchanged = true;
        std::vector<std::uint8_t>().swap(f.data);
        continue;
      }
      overwrite.push_back(i);
      identity.push_back(k.identity);
    }
    return 0;
  }

  void RemoveUndo() {
    if (!undoWritten) return;
    RemoveFile(UndoPath(target));
    ForgetJournal(UndoPath(target));
    undoWritten = false;
  }

  void Unlock() {
    if (lockFd != platform::kNoFile) platform::CloseFile(lockFd);
    lockFd = platform::kNoFile;
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
  m.lockFd = LockDirectory(m.target, LockWaitSeconds());
  if (m.lockFd < 0)
    return SetFailure(failure, errno == EWOULDBLOCK ? kZipDirectoryBusy : kZipBadTarget, errno,
                      m.target);
  RecoveryReport report;
  Recovery recovered = RecoverLocked(m.target, report);
  if (recovered == Recovery::kFailed)
    return SetFailure(failure, kZipCannotReplace, 0, JournalPath(m.target));
  if (recovered == Recovery::kRefused)  // its originals may still be needed: nothing is written
    return SetFailure(failure, kZipCannotReplace, EPERM, report.refused);
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
      std::vector<std::string> listed;
      if (platform::ListDirectory(dir, listed))
        for (const auto& name : listed) names[platform::UpperCp1250(name)].push_back(name);
    }
    return names;
  };
  std::map<std::string, const RestoreFile*> finals;  // by upper-case path
  std::uint64_t inPlaceBytes = 0;
  std::map<const RestoreFile*, std::uint64_t> originals;  // sizes of those written in place
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
          platform::FileInfo st;
          if (!Exists(next, &st) ||
              st.kind != platform::FileKind::kDirectory)  // never through a link
            return SetFailure(failure, kZipCannotWrite, ENOTDIR, next, f.entryName);
        }
      } else {
        if (matches.empty()) names[upper].push_back(chosen);
        f.final = next;
        platform::FileInfo st;
        // A FIFO, device or socket at the name is not a working file: never opened, replaced
        // or put aside.
        if (!matches.empty() && Exists(next, &st) && st.kind == platform::FileKind::kOther)
          return SetFailure(failure, kZipNotAFile, 0, next, f.entryName);
        f.inPlace = false;
        if (!matches.empty() && f.size <= kInPlaceFileLimit &&
            inPlaceBytes + f.size <= kInPlaceBudget && planned.count(cur) == 0 &&
            Exists(next, &st) && st.kind == platform::FileKind::kRegular && st.links == 1 &&
            st.size <= kInPlaceFileLimit) {
          f.inPlace = true;
          inPlaceBytes += f.size;
          originals[&f] = st.size;
        }
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

  // All new files must fit beside the old ones, which are kept until the end: as files of
  // their own, or copied into the undo file for those written over in place.
  std::uint64_t available = 0, block = 4096;
  if (platform::FreeSpace(m.target, available, block)) {
    auto blocks = [&](std::uint64_t n) { return SaturatingAdd(n, block - 1) / block * block; };
    std::uint64_t needed = 0;
    for (const auto& f : files) {
      auto original = originals.find(&f);
      if (original == originals.end()) {
        needed = SaturatingAdd(needed, blocks(f.size));
      } else {
        needed = SaturatingAdd(needed, original->second);
        if (f.size > original->second)
          needed = SaturatingAdd(needed, blocks(f.size - original->second));
      }
    }
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
  platform::FileInfo info;
  m.fileSystem = platform::OpenDirectory(m.target);
  if (m.fileSystem == platform::kNoFile || !platform::InfoOf(m.fileSystem, info))
    return SetFailure(failure, kZipCannotWrite, errno, m.target);
  m.fileSystemDevice = info.device;
  if (!WriteJournal(m.target, m.MakeJournal(false)))
    return SetFailure(failure, kZipCannotWrite, errno, JournalPath(m.target));
  m.journalWritten = true;
  for (const auto& dir : m.plannedDirs) {
    if (!platform::MakeDirectory(dir)) return SetFailure(failure, kZipCannotWrite, errno, dir);
    m.createdDirs.push_back(dir);
    RegisterCreatedDirectory(dir);
  }
  return 0;
}

std::int32_t RestoreCommit::Commit(ZipFailure& failure) {
  Impl& m = *impl_;
  CommitSection section;  // a termination signal waits until every file is in place or back
  std::vector<RestoreFile>& files = *m.files;
  std::vector<std::size_t> overwrite;
  std::vector<platform::FileInfo> identity;
  if (m.PlaceHeld(overwrite, identity, failure) != 0) return failure.code;
  Journal j = m.MakeJournal(true);
  j.undo = !overwrite.empty();
  // What each file written over in place will hold, block by block: the next start puts its
  // original back only while it holds nothing else.
  for (std::size_t index : overwrite) {
    const RestoreFile& f = files[index];
    InPlaceFile w;
    w.final = m.Relative(f.final);
    w.size = f.data.size();
    w.mtime = f.mtime;
    w.crc = Crc(0, f.data.data(), f.data.size());
    for (std::size_t at = 0; at < f.data.size(); at += kBlock)
      w.blocks.push_back(Crc(0, f.data.data() + at, std::min(kBlock, f.data.size() - at)));
    j.inPlace.push_back(std::move(w));
  }
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (files[i].unchanged || files[i].held) continue;
    platform::FileInfo st;
    if (!Exists(files[i].temp, &st))
      return SetFailure(failure, kZipCannotWrite, errno, files[i].temp);
    j.files[i].temp = BaseName(files[i].temp);
    j.files[i].dev = st.device;
    j.files[i].ino = st.file;
    j.files[i].stamped = true;
    j.files[i].size = st.size;
    j.files[i].mtime = st.modified;
    if (Exists(files[i].final)) j.files[i].aside = BaseName(TemporaryNameFor(files[i].final));
  }
  // The new files' data is on the disk before the journal lets them replace anything: one
  // sync of the target's file system (the extraction may leave their syncing to this), which
  // costs one wait where a sync per file costs one each; a new file on another file system
  // (one mounted beneath the target) is synced by itself.
  bool syncFileSystem = false;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (files[i].unchanged || files[i].held) continue;
    if (j.files[i].dev == m.fileSystemDevice)
      syncFileSystem = true;
    else if (!SyncFileByName(files[i].temp))
      return SetFailure(failure, kZipCannotWrite, errno, files[i].temp);
  }
  if (syncFileSystem && !SyncFileSystem(m.fileSystem, m.target))
    return SetFailure(failure, kZipCannotWrite, errno, m.target);
  if (!WriteJournal(m.target, j))
    return SetFailure(failure, kZipCannotWrite, errno, JournalPath(m.target));

  int error = 0;
  std::string errorPath;
  std::set<std::string> dirs;
  for (std::size_t i = 0; i < files.size() && error == 0; ++i) {
    const RestoreFile& f = files[i];
    if (f.unchanged || f.held) continue;
    std::string dir = DirectoryOf(f.final);
    dirs.insert(dir);
    errorPath = f.final;
    platform::FileInfo st;
    bool there = Exists(f.final, &st);
    if (!j.files[i].aside.empty()) {
      if (!there) {
        error = ENOENT;
        break;
      }
      if (st.kind ==
          platform::FileKind::kDirectory) {  // a directory is never put aside or replaced by a file
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
  // The small files are written over in place, then synced together. The directory is
  // opened first, so that the sync reports any write error of the file system after it.
  platform::FileHandle fileSystem =
      overwrite.empty() ? platform::kNoFile : platform::OpenDirectory(m.target);
  if (!overwrite.empty() && fileSystem < 0 && error == 0) {
    error = errno;
    errorPath = m.target;
  }
  if (error == 0) {
    // Many files are written by a few threads at once, in order; the first failure stops all.
    std::atomic<std::size_t> next{0};
    std::mutex failed;
    auto work = [&] {
      for (std::size_t k; (k = next.fetch_add(1)) < overwrite.size();) {
        RestoreFile& f = files[overwrite[k]];
        const platform::FileTime mtime{f.mtime, 0};
        if (OverwriteFile(f.final, f.data.data(), f.data.size(), f.mtime != 0 ? &mtime : nullptr,
                          &identity[k], 0)) {
          std::vector<std::uint8_t>().swap(f.data);
          continue;
        }
        int saved = errno;
        std::lock_guard lock(failed);
        if (error == 0) {
          error = saved != 0 ? saved : EIO;
          errorPath = f.final;
        }
        next = overwrite.size();
      }
    };
    platform::RunOnWorkers(Slots(overwrite.size(), kFilesPerOverwriteThread, kOverwriteThreads),
                           [&](std::size_t) { work(); });
  }
  if (error == 0 && fileSystem >= 0 && !SyncFileSystem(fileSystem, m.target)) {
    error = errno;
    errorPath = m.target;
  }
  if (fileSystem != platform::kNoFile) platform::CloseFile(fileSystem);
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
    failure.rolledBack = false;
    platform::FileHandle root = platform::OpenDirectory(m.target);
    if (root != platform::kNoFile) {
      platform::FileHandle undo =
          j.undo ? platform::OpenFile(UndoPath(m.target), platform::Access::kRead,
                                      platform::Links::kNoFollow)
                 : platform::kNoFile;
      {
        Beneath dirs(root);
        RecoveryReport ignored;
        failure.rolledBack = PutBack(j, undo, m.target, dirs, ignored);
      }
      if (undo != platform::kNoFile) platform::CloseFile(undo);
      platform::CloseFile(root);
    }
    if (!failure.rolledBack) {
      m.keepJournal = true;
      ForgetJournal(JournalPath(m.target));
      ForgetJournal(UndoPath(m.target));
    }
    return kZipCannotReplace;
  }
  std::vector<std::string> kept;
  for (std::size_t i = 0; i < files.size(); ++i)
    if (!j.files[i].aside.empty())
      kept.push_back(Join(DirectoryOf(files[i].final), j.files[i].aside));
  RemoveUnneededFiles(kept);
  m.RemoveUndo();
  for (const auto& dir : m.createdDirs) ForgetCreatedDirectory(dir);
  m.createdDirs.clear();
  m.committed = true;
  platform::CloseFile(m.fileSystem);
  m.fileSystem = platform::kNoFile;
  m.Unlock();
  return 0;
}

void RestoreCommit::KeepOriginalsMeanwhile() {
  Impl& m = *impl_;
  if (m.keeping || m.files == nullptr) return;
  // With no thread to spare the commit keeps them itself.
  if (platform::StartThread(m.keeper, [&m] { m.KeepOriginals(); })) m.keeping = true;
}

void RestoreCommit::Abandon() {
  Impl& m = *impl_;
  if (m.keeper.joinable()) m.keeper.join();
  if (m.fileSystem != platform::kNoFile) platform::CloseFile(m.fileSystem);
  m.fileSystem = platform::kNoFile;
  if (!m.committed && !m.keepJournal) {
    if (m.files)
      for (auto& f : *m.files)
        if (!f.temp.empty()) DiscardTemporary(f.temp);
    RemoveCreatedDirectories(m.createdDirs);
    m.createdDirs.clear();
    bool journalGone = true;
    if (m.journalWritten) {
      journalGone = RemoveFile(JournalPath(m.target));
      ForgetJournal(JournalPath(m.target));
      SyncDirectory(m.target);
      m.journalWritten = false;
    }
    if (journalGone)
      m.RemoveUndo();  // only once no journal can name it
    else
      ForgetJournal(UndoPath(m.target));
  }
  m.Unlock();
}

namespace {

std::string WithoutTrailingSlash(std::string target) {
  while (target.size() > 1 && target.back() == '/') target.pop_back();
  return target;
}

bool IsDirectory(const std::string& path) {
  platform::FileInfo info;
  return !path.empty() && platform::InfoAt(path, info) &&
         info.kind == platform::FileKind::kDirectory;
}

}  // namespace

Recovery RecoverInterruptedRestore(const std::string& targetIn, RecoveryReport* report) {
  std::string target = WithoutTrailingSlash(targetIn);
  if (!IsDirectory(target)) return Recovery::kNothing;
  int fd = LockDirectory(target, 0);  // a restore or run there now has its own recovery
  if (fd < 0) return errno == EWOULDBLOCK ? Recovery::kBusy : Recovery::kNothing;
  Recovery r = RecoverInterruptedRestoreLocked(target, report);
  platform::CloseFile(fd);
  return r;
}

Recovery RecoverInterruptedRestoreLocked(const std::string& targetIn, RecoveryReport* report) {
  std::string target = WithoutTrailingSlash(targetIn);
  if (!IsDirectory(target)) return Recovery::kNothing;
  RecoveryReport ignored;
  Recovery r = RecoverLocked(target, report != nullptr ? *report : ignored);
  if (r != Recovery::kFailed && r != Recovery::kRefused) RemoveStaleTemporaries(target);
  return r;
}

int LockWaitSeconds() {
  const char* text = std::getenv("VERDAN_LOCK_WAIT");
  if (text != nullptr && *text != '\0') {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (*end == '\0' && v >= 0 && v <= 3600) return static_cast<int>(v);
  }
  return 60;
}

bool DirectoryLock::Take(const std::string& dir) {
  Release();
  dir_ = WithoutTrailingSlash(dir);
  fd_ = LockDirectory(dir_, LockWaitSeconds());
  return fd_ >= 0;
}

void DirectoryLock::Release() {
  if (fd_ >= 0) platform::CloseFile(fd_);
  fd_ = -1;
}

}  // namespace verdan::archive
