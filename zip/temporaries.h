// The temporary files of the archive runs and the restore, and the file steps that put a
// written file into place.
//
// Everything the Zip component writes goes first to a temporary file beside its target, named
// "." + the target's name + ".vrd" + its owner + "." + six letters or digits. The owner is the
// process number, when the process started (clock ticks since boot) and the first eight hex
// digits of the boot id, joined by "_" ("PETAK.zip" ->
// ".PETAK.zip.vrd4242_81234_1f0c9a7e.a8Zk3Q"), so that a process number used again by another
// process, in this boot or after a reboot, does not keep a dead run's file. Earlier versions
// wrote the process number alone (".PETAK.zip.vrd4242.a8Zk3Q") or no owner at all
// (".PETAK.zip.vrda8Zk3Q"); all three forms are ours and nothing else is, and the number alone
// is still written where the system does not tell the start time or boot. The live
// temporaries of the process are known here, so that an interrupt, terminate or hang-up
// signal removes them before the program ends (`RemoveTemporariesOnTermination`), and a run
// that starts removes those that a killed run left behind (`RemoveStaleTemporaries`): files of
// our pattern whose process no longer runs. The one exception is a second copy-to-be that a
// killed run left after it had replaced the archive: that is put in place, not removed.
//
// A restore registers the directories it created and its journal too: the termination
// cleanup removes the temporaries first, then those directories (only when empty), then the
// journal. While a `CommitSection` is held the cleanup waits, so a signal never splits a
// commit in two.
//
// Thread-safety: every function may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/process.h"

namespace verdan::archive {

// ---- the file steps ----------------------------------------------------------------------

// The steps that make a file durable or move it are the file port's (platform/files.h), where
// a test puts its fault-injecting double.
using platform::FileStep;
using platform::FileStepAllowed;
using platform::LinkFile;
using platform::RemoveFile;
using platform::RenameFile;
using platform::SyncDirectory;
using platform::SyncFile;
using platform::SyncFileByName;
using platform::SyncFileSystem;

// Removes files no longer needed (not steps: nothing depends on them being gone), several at
// a time: removing a file waits for its blocks to be freed, and those waits overlap.
void RemoveUnneededFiles(const std::vector<std::string>& paths);

// True when `path` is a regular file holding exactly `size` bytes equal to `data`; `scratch`
// has room for them.
bool FileHolds(const std::string& path, const std::uint8_t* data, std::uint64_t size,
               std::uint8_t* scratch);

// Writes `size` bytes of `data` over the regular file at `path` in place (the same file: its
// permissions, owner and other names are kept) and cuts it to that length; gives it
// modification time `modified` when that is not null. With `expected`, the file must still be
// the one it describes (else EBUSY). A missing file is made with `createPermissions` when
// that is not 0. Not synced.
bool OverwriteFile(const std::string& path, const void* data, std::size_t size,
                   const platform::FileTime* modified, const platform::FileInfo* expected,
                   std::uint32_t createPermissions);

// The plain write of OverwriteOpenFile, without asking about the step.
bool WriteOver(platform::FileHandle file, const void* data, std::size_t size,
               const platform::FileTime* modified);

std::string DirectoryOf(const std::string& path);  // "." for a bare name
std::string BaseName(const std::string& path);

// The permissions a file written at `target` gets: those of the file it replaces, else the
// default for new files (0666 less the process's umask).
std::uint32_t PermissionsFor(const std::string& target);

// ---- temporaries -------------------------------------------------------------------------

// Creates an empty temporary file beside `target` and registers it. Returns it opened for
// writing and sets `temp`; kNoFile with errno set on failure.
platform::FileHandle CreateTemporary(const std::string& target, std::string& temp);

// Makes a temporary beside `target` that is a second name (hard link) of `existing`, and
// registers it. False with errno set when the file system has no hard links or they cannot
// cross to `target`'s directory. Its name carries "+link" after the target's name
// (".PETAK_2_.zip+link.vrd4242_81234_1f0c9a7e.a8Zk3Q"): left by a killed process, it is put in
// place at `target` by `RemoveStaleTemporaries` if `existing` has been replaced meanwhile.
bool LinkTemporary(const std::string& existing, const std::string& target, std::string& temp);

// Copies `existing` into a new temporary beside `target` (synced, with the same permissions).
bool CopyToTemporary(const std::string& existing, const std::string& target, std::string& temp);

// A fresh temporary name beside `target` (nothing is created or registered).
std::string TemporaryNameFor(const std::string& target);

// Marks a complete temporary as the one that replaces `destination` once `watched` has been
// replaced: if a termination signal comes after `watched` became another file, the cleanup
// puts the temporary in place instead of removing it.
void PlaceOnTerminationIfReplaced(const std::string& temp, const std::string& destination,
                                  const std::string& watched);

// Renames a complete, synced temporary to `target` (replacing it), syncs the directory and
// forgets the temporary. False with errno set when the rename failed (the temporary stays).
bool PlaceTemporary(const std::string& temp, const std::string& target);

// Removes a temporary and forgets it; errno is kept as it was.
void DiscardTemporary(const std::string& temp);

// Forgets a temporary that was renamed away by the caller.
void ForgetTemporary(const std::string& temp);

// The restore's created directories and its journal, removed by the termination cleanup
// after the temporaries (directories only when empty, the deepest first).
void RegisterCreatedDirectory(const std::string& dir);
void ForgetCreatedDirectory(const std::string& dir);
void RegisterJournal(const std::string& path);
void ForgetJournal(const std::string& path);
// Creates (or empties) a file of a restore's own that the termination cleanup removes with the
// journals, made and registered in one step; kNoFile with errno set (ECANCELED once the
// process is ending, when nothing new is made).
platform::FileHandle CreateJournalFile(const std::string& path);

// Who made a temporary, as its name tells: the process number (0 in the oldest form), and
// when that process started with the boot it ran in (0 and "" in the older forms).
using TemporaryOwner = platform::ProcessIdentity;

// True when `name` (a name without directory) has our temporary pattern; `owner` (`pid`) is
// then who made it.
bool IsTemporaryName(const std::string& name, TemporaryOwner* owner = nullptr);

// Removes the files of our pattern in `dir` whose process no longer runs, and those of the
// oldest form. A name with start time and boot counts as live only while a process of that
// number runs that started then, in this boot; a name with the number alone while any
// process of that number runs. Never follows a link or removes anything else. A linked temporary
// whose file has no other name left (the file it was linked to was replaced before the process
// died) is the only copy of what that file held: it is renamed to its target instead. Returns how
// many were removed.
int RemoveStaleTemporaries(const std::string& dir);

// Held while a commit renames files into place: the termination cleanup waits for it.
class CommitSection {
 public:
  CommitSection();
  ~CommitSection();
  CommitSection(const CommitSection&) = delete;
  CommitSection& operator=(const CommitSection&) = delete;
};

// What the termination cleanup does: removes every registered temporary, then the created
// directories that are empty, then the journals. Afterwards no new temporary can be created
// (the process is about to end).
void RemoveLiveTemporaries();

// Installs `RemoveLiveTemporaries` as the cleanup of SIGINT, SIGTERM and SIGHUP.
bool RemoveTemporariesOnTermination();

}  // namespace verdan::archive
