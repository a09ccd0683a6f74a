// Putting the files of a restore into place all or nothing.
//
// The extraction writes every entry to a temporary file beside the working file it is for and
// checks it (zip_component.cpp). This module decides where each one goes and replaces the
// working files:
//
// - Plan, before anything is written: takes the target directory's lock (`DirectoryLock`'s:
//   one restore or run per directory at a time; it waits a bounded time for another one),
//   finishes what an interrupted restore left there, refuses a FIFO, device or socket at a
//   working file's name (never opened), resolves each
//   entry to the working file of the same name in any letter case (refusing two working
//   files, or two entries, that differ only in case), refuses names too long for the file
//   system, lists the directories to create, and refuses a restore larger than the free space.
// - Begin: writes the journal ".verdan-restore.journal" in the target directory (small,
//   synced, replaced whole by a rename) and creates the directories.
// - Commit: records in the journal where each working file's original will be kept, then for
//   each file keeps the original under a second name (a hard link, or a rename where the file
//   system has no links) and renames the new file over it; a working file that already held
//   its entry (`unchanged`) is left alone. Small working files whose new bytes are held in
//   memory (`held`) are written over in place instead: their originals are first copied into
//   the undo file ".verdan-restore.undo" (synced before the journal names it; the copying may
//   start while the extraction runs, `KeepOriginalsMeanwhile`), which spares
//   a new file and a removed one per file — the costliest steps of a restore of many small
//   files. A working file that cannot be written over (not writable, linked elsewhere, a
//   database file another connection may hold open) gets a temporary and is renamed over as
//   above. Only when every file is in place and synced is the journal removed; then the kept
//   originals and the undo file go. A failure on any file puts every original back.
// - Abandon (or the destructor) removes the temporaries, the created directories and the
//   journal of a restore that did not commit.
//
// A restore killed at any point leaves its journal; `RecoverInterruptedRestore` (run at the
// start of every run, restore and verify, and when the program opens its archiving window)
// reads it and puts the originals back (from the undo file, for those written over in place),
// removes the new files the restore added, its temporaries and the directories it created.
// The journal records, for every file written over in place, the CRC of each 4 KB block of
// what the restore writes there: an original is put back only over a file that holds nothing
// but the restore's blocks and the original's (written whole, or cut short by the kill), and a
// renamed-over original only while the name still holds the restore's file; anything else was
// written since (by the business application) and is left as it is and named. Journals of the
// earlier form, without those records, are rolled back as that version did. Every name read
// from a journal or undo file is resolved beneath the target one component at a time without
// following a link (openat with O_NOFOLLOW | O_DIRECTORY; the same on every kernel); undo
// records only rewrite existing regular files the journal lists, never create one or change a
// mode; a journal or undo file of another user, or writable by group or others, is refused
// whole. Those files are opened without blocking, so a FIFO planted there cannot stall a start.
//
// Thread-safety: one `RestoreCommit` is used by one thread, except that the extraction
// threads write the temporaries of distinct files; its own threads (keeping originals, writing
// files over) each take distinct files and are joined before Commit or Abandon returns. Different
// processes are kept apart by the directory lock.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "zip/zip_component.h"

namespace verdan::archive {

inline constexpr const char* kRestoreJournalName = ".verdan-restore.journal";
inline constexpr const char* kRestoreUndoName = ".verdan-restore.undo";

// Said when the directory stayed locked by another restore or run, followed by it.
inline constexpr const char* kDirectoryBusyText =
    "U direktoriju upravo radi drugo arhiviranje ili dearhiviranje; ništa nije učinjeno, "
    "pokušajte kasnije:|";
// Said when a journal or undo file is not trusted, followed by its path.
inline constexpr const char* kRestoreRefusedText =
    "Zapis prekinutog dearhiviranja nije pouzdan (vlasnik mu je drugi korisnik ili ga smiju "
    "mijenjati i drugi); ništa iz njega nije vraćeno. Provjerite ga i uklonite:|";

// One file of a restore.
struct RestoreFile {
  std::string entryName;   // the entry's name in the archive
  std::string relative;    // the safe relative path made from it
  std::uint64_t size = 0;  // the entry's uncompressed size
  std::string final;       // the working file it replaces or becomes (set by Plan)
  std::string temp;        // its extracted, synced data (set by the extraction)
  bool unchanged = false;  // or: the working file already holds it, and stays as it is
  std::time_t mtime = 0;   // the entry's time (0: none), for a file written over in place
  bool inPlace = false;    // set by Plan: the working file may be written over in place
  bool held = false;       // or: its checked bytes are in `data`, for writing in place
  std::vector<std::uint8_t> data;
};

class RestoreCommit {
 public:
  explicit RestoreCommit(std::string target);
  ~RestoreCommit();
  RestoreCommit(const RestoreCommit&) = delete;
  RestoreCommit& operator=(const RestoreCommit&) = delete;

  // Each returns 0, or a ZipError with `failure` filled; after a failure the caller abandons.
  std::int32_t Plan(std::vector<RestoreFile>& files, ZipFailure& failure);
  std::int32_t Begin(ZipFailure& failure);
  // Starts keeping the originals of the files Plan chose to write over in place, on a thread
  // of its own, while the caller extracts (nothing is written over before Commit). Optional:
  // Commit otherwise keeps them itself.
  void KeepOriginalsMeanwhile();
  // Every file's `temp` must be set, or the file be `unchanged` or `held`. The temporaries need
  // not be synced where platform::SyncFileSystemCoversFiles holds for the target: its file
  // system is synced (and one on another file system synced by itself) before the journal
  // names them for replacing; elsewhere the caller syncs each. On failure every working file is
  // as it was (or, if even putting them back failed, the journal stays for the next start to
  // finish the job).
  std::int32_t Commit(ZipFailure& failure);
  void Abandon();

 private:
  struct Impl;
  Impl* impl_;
};

enum class Recovery {
  kNothing,     // no interrupted restore in the directory
  kRolledBack,  // an interrupted restore was undone
  kBusy,        // another process is restoring into (or archiving) the directory now
  kFailed,      // the journal could not be read or an original not be put back
  kRefused,     // the journal or undo file is not trusted: nothing was replayed, it stays
};

// What undoing an interrupted restore did, by name relative to the directory.
struct RecoveryReport {
  // Put back as they were (or removed, if the restore added them).
  std::vector<std::string> putBack;
  // Changed since the restore was interrupted: left as they are.
  std::vector<std::string> leftAlone;
  std::string refused;  // the file not trusted (kRefused)
};

// Undoes an interrupted restore into `target` from its journal, then removes the stale
// temporaries of our pattern there. Every name the journal or undo file gives is resolved
// beneath `target` without following a link in any component; an undo record only rewrites
// an existing regular file the journal lists (never creates one, never changes its mode), and
// only when the file still holds what the interrupted restore wrote (whole or torn), so that
// work done since is never overwritten. A journal or undo file owned by another user, or
// writable by group or others, is refused: nothing is replayed. `report` (optional) says what
// was done.
Recovery RecoverInterruptedRestore(const std::string& target, RecoveryReport* report = nullptr);

// The lock on a directory that restores into it and runs that pack it hold for their whole
// length, so that no run packs a directory a restore is changing and no two restores meet.
// Taking it waits up to `LockWaitSeconds()` for another process to release it.
class DirectoryLock {
 public:
  DirectoryLock() = default;
  ~DirectoryLock() { Release(); }
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;

  // True when held; false with errno set (EWOULDBLOCK: another process still holds it).
  bool Take(const std::string& dir);
  void Release();
  bool held() const { return fd_ >= 0; }
  const std::string& directory() const { return dir_; }

 private:
  int fd_ = -1;
  std::string dir_;
};

// How long a run or restore waits for another one on the same directory: the number of
// seconds in VERDAN_LOCK_WAIT (0 to 3600), else 60.
int LockWaitSeconds();

// The same recovery when this process already holds the lock on `target` (a run that took it).
Recovery RecoverInterruptedRestoreLocked(const std::string& target, RecoveryReport* report);

}  // namespace verdan::archive
