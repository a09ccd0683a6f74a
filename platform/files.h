// Files: every file-system operation the program uses, behind one interface free of the
// system's own types, so that the rest of the program never calls the file system itself.
// The realisation here is POSIX (files.cpp).
//
// Failures: a function that fails returns false (or kNoFile, or a negative count) and leaves
// the reason in errno, as one of the <cerrno> numbers (ENOENT, EEXIST, ENOSPC, EWOULDBLOCK,
// ...) that the C++ library defines on every system; a realisation for another system
// translates its own errors into these.
//
// The steps that make a file durable or move it (sync, rename, link, remove, writing a file
// over) are asked about first through the installed `FileSteps`. The program's own answers
// yes to every step; a test puts a `FaultyFileSteps` in place to fail a chosen step, or to
// end the process there, and so sees what a crash or a failing disk at that step leaves.
//
// Thread-safety: every function may be called from any thread; a handle is used by one
// thread at a time unless the function says otherwise (ReadAt and WriteAt may share one).
// The installed `FileSteps` is changed only while no other thread uses these functions.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace verdan::platform {

// An open file or directory. Owned by whoever opened it, who closes it with CloseFile.
using FileHandle = int;
inline constexpr FileHandle kNoFile = -1;

enum class FileKind { kMissing, kRegular, kDirectory, kLink, kOther };

struct FileTime {
  std::int64_t seconds = 0;
  std::int32_t nanoseconds = 0;
  bool operator==(const FileTime&) const = default;
  bool operator<(const FileTime& o) const {
    return seconds != o.seconds ? seconds < o.seconds : nanoseconds < o.nanoseconds;
  }
};

struct FileInfo {
  FileKind kind = FileKind::kMissing;
  std::uint64_t size = 0;
  FileTime modified;
  FileTime changed;               // when its contents or its attributes last changed
  std::uint32_t permissions = 0;  // the nine rwx bits with set-id and sticky (07777)
  std::uint64_t device = 0;       // device and file number together name the file
  std::uint64_t file = 0;
  std::uint64_t links = 0;      // names the file has
  bool ours = false;            // owned by the user the program runs as
  bool othersMayWrite = false;  // its group or anyone else may write it
  bool SameFile(const FileInfo& o) const { return device == o.device && file == o.file; }
};

// Whether a symbolic link at the last component of a name is followed.
enum class Links { kFollow, kNoFollow };

// ---- the steps -----------------------------------------------------------------------------

enum class FileStep { kSync, kSyncDirectory, kRename, kLink, kUnlink, kOverwrite };

// Asked before every step with the path it concerns (from several threads at once: a restore
// syncs its files in parallel); a non-zero answer fails the step with that errno.
class FileSteps {
 public:
  virtual ~FileSteps() = default;
  virtual int Before(FileStep step, const std::string& path);
};

// The test double: answers with `decide` (which may also end the process).
class FaultyFileSteps : public FileSteps {
 public:
  explicit FaultyFileSteps(std::function<int(FileStep, const std::string&)> decide)
      : decide_(std::move(decide)) {}
  int Before(FileStep step, const std::string& path) override { return decide_(step, path); }

 private:
  std::function<int(FileStep, const std::string&)> decide_;
};

// Puts `steps` in place for its lifetime (the one before comes back after).
class ScopedFileSteps {
 public:
  explicit ScopedFileSteps(FileSteps& steps);
  ~ScopedFileSteps();
  ScopedFileSteps(const ScopedFileSteps&) = delete;
  ScopedFileSteps& operator=(const ScopedFileSteps&) = delete;

 private:
  FileSteps* before_;
};

// Asks about a step done through another call (a rename beneath a directory, say): false
// with errno set when it is refused.
bool FileStepAllowed(FileStep step, const std::string& path);

// The steps, each false with errno set on failure.
bool SyncFile(FileHandle file, const std::string& path);  // its data and size on the disk
bool SyncFileByName(const std::string& path);
bool SyncDirectory(const std::string& dir);  // its entries (a file system that cannot: done)
// Everything written to the file system that holds the open `file` (`path`): one sync for
// many files. A write error on that file system since `file` was opened makes it fail.
bool SyncFileSystem(FileHandle file, const std::string& path);
// Whether SyncFileSystem on the file system holding `path` makes the data of every file there
// durable, so that files written for one transaction need no sync of their own: a local disk
// file system whose sync writes back and waits for every file. False where that is not known
// (network and user-space file systems, whose sync of the whole may do less), and where no
// such sync exists.
bool SyncFileSystemCoversFiles(const std::string& path);
bool RenameFile(const std::string& from, const std::string& to);  // replaces `to`
bool LinkFile(const std::string& existing, const std::string& newName);
bool RemoveFile(const std::string& path);  // ENOENT counts as done
// Writes `size` bytes over the open regular file from its start and cuts it there, giving it
// modification time `modified` when not null. Not synced.
bool OverwriteOpenFile(FileHandle file, const std::string& path, const void* data, std::size_t size,
                       const FileTime* modified);

// ---- opening and closing -------------------------------------------------------------------

enum class Access { kRead, kWrite, kReadWrite };

// Opens an existing file. Never blocks on what stands at the name (a FIFO, a device), never
// makes it the controlling terminal; `links` kNoFollow fails (ELOOP) on a symbolic link.
FileHandle OpenFile(const std::string& path, Access access, Links links = Links::kFollow);
// Opens `name` (one component or a relative path) beneath the open directory `dir`.
FileHandle OpenFileBeneath(FileHandle dir, const std::string& name, Access access,
                           Links links = Links::kNoFollow);
// Opens a directory (to list it, to sync it, to name files beneath it); with kNoFollow a
// symbolic link at the name fails.
FileHandle OpenDirectory(const std::string& path, Links links = Links::kFollow);
FileHandle OpenDirectoryBeneath(FileHandle dir, const std::string& name);

enum class Creation {
  kExclusive,         // fails with EEXIST when anything stands at the name
  kTruncate,          // an existing file is emptied (never through a symbolic link)
  kExclusiveOrReuse,  // as kExclusive, but an existing regular file is opened (not emptied)
};
// Creates a file for writing with `permissions` (less the process's mask).
FileHandle CreateFile(const std::string& path, Creation creation, std::uint32_t permissions);
FileHandle CreateFileBeneath(FileHandle dir, const std::string& name, Creation creation,
                             std::uint32_t permissions);
// Opens `path` for writing at its end, creating it with `permissions` when missing; every
// write lands at the end even while other processes append too.
FileHandle OpenForAppending(const std::string& path, std::uint32_t permissions);
// Creates a new file whose name is `pattern` with its last six characters ("XXXXXX") made
// unique; `pattern` is changed to the name made.
FileHandle CreateUniqueFile(std::string& pattern);

// Closes; false (errno set) when a delayed write error surfaced, the handle is closed anyway.
bool CloseFile(FileHandle file);
// Closes and keeps errno as it was.
void CloseQuietly(FileHandle file);
// A C run-time descriptor of the same open file, for a library that reads through one (and
// closes it); the handle stays open as well. -1 (errno set) when none can be made.
int RuntimeDescriptor(FileHandle file);
void CloseRuntimeDescriptor(int descriptor);

// ---- reading and writing -------------------------------------------------------------------

// At most `size` bytes; the count done, 0 at the end, -1 on failure. Interrupted calls are
// resumed, a short count is not.
std::int64_t ReadAt(FileHandle file, void* data, std::size_t size, std::uint64_t offset);
std::int64_t WriteAt(FileHandle file, const void* data, std::size_t size, std::uint64_t offset);
std::int64_t ReadNext(FileHandle file, void* data, std::size_t size);
// All `size` bytes at `offset`, or false: a read error, or the end of the file before them
// (errno EIO).
inline bool ReadAllAt(FileHandle file, void* data, std::size_t size, std::uint64_t offset) {
  char* p = static_cast<char*>(data);
  for (std::size_t done = 0; done < size;) {
    std::int64_t n = ReadAt(file, p + done, size - done, offset + done);
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}
// All of it, or false (a short write of a full disk fails with ENOSPC).
inline bool WriteAllAt(FileHandle file, const void* data, std::size_t size, std::uint64_t offset) {
  const char* p = static_cast<const char*>(data);
  for (std::size_t done = 0; done < size;) {
    std::int64_t n = WriteAt(file, p + done, size - done, offset + done);
    if (n < 0) return false;
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}
bool WriteAll(FileHandle file, const void* data, std::size_t size);
bool SetFileSize(FileHandle file, std::uint64_t size);
// Where ReadNext and WriteAll go on.
bool SetPosition(FileHandle file, std::uint64_t offset);
// Starts writing `length` bytes from `offset` to the disk without waiting for them (so that
// a later sync has less to wait for); nothing when the system cannot.
void StartWriteBack(FileHandle file, std::uint64_t offset, std::uint64_t length);
bool SetModified(FileHandle file, FileTime modified);
bool SetTimes(FileHandle file, FileTime accessed, FileTime modified);
// Takes room for `size` bytes on the disk now (a full disk shows here, not half way).
bool Reserve(FileHandle file, std::uint64_t size);
// A second handle of the open `file` whose writes of whole pages at page offsets bypass the
// system's cache; kNoFile where the system or the file system has no such writes.
FileHandle OpenUncachedWriter(FileHandle file);
bool SetPermissions(FileHandle file, std::uint32_t permissions);
// Copies the whole of `from` after what `to` holds, inside the kernel where it can.
bool CopyContents(FileHandle from, FileHandle to);
// Advice that the bytes will be read once from start to end (none is an error).
void WillReadOnce(FileHandle file);

// ---- names ---------------------------------------------------------------------------------

bool InfoOf(FileHandle file, FileInfo& info);
// What stands at `path`; false with ENOENT (and kind kMissing) when nothing does.
bool InfoAt(const std::string& path, FileInfo& info, Links links = Links::kFollow);
bool InfoBeneath(FileHandle dir, const std::string& name, FileInfo& info,
                 Links links = Links::kNoFollow);
bool Exists(const std::string& path);
// True when this process may make and remove names in the directory `dir`.
bool MayWriteIn(const std::string& dir);
bool SetPermissionsAt(const std::string& path, std::uint32_t permissions);
// Times of what stands at `path`; with kNoFollow a symbolic link's own.
bool SetTimesAt(const std::string& path, FileTime accessed, FileTime modified, Links links);
// Plain removes and renames, not steps: a caller for whom one is a step asks FileStepAllowed
// first with the full path.
bool RemoveName(const std::string& path);
bool RenameName(const std::string& from, const std::string& to);
bool RemoveBeneath(FileHandle dir, const std::string& name);
bool RenameBeneath(FileHandle fromDir, const std::string& from, FileHandle toDir,
                   const std::string& to);
bool MakeDirectory(const std::string& path, std::uint32_t permissions = 0777);
bool MakeDirectoryBeneath(FileHandle dir, const std::string& name,
                          std::uint32_t permissions = 0777);
bool RemoveDirectory(const std::string& path);  // only an empty one
bool RemoveDirectoryBeneath(FileHandle dir, const std::string& name);
// A second handle of the same open file or directory, closed on its own.
FileHandle DuplicateHandle(FileHandle file);
// The names in a directory, "." and ".." left out; false when it cannot be read.
bool ListDirectory(const std::string& path, std::vector<std::string>& names);
bool ListOpenDirectory(FileHandle dir, std::vector<std::string>& names);
// Bytes free for this process on the file system holding `path`, and the size of its blocks
// (what a file's size is rounded up to).
bool FreeSpace(const std::string& path, std::uint64_t& bytes, std::uint64_t& blockSize);
// Permissions a new file gets: 0666 less the process's mask.
std::uint32_t NewFilePermissions();

// ---- locks ---------------------------------------------------------------------------------

enum class LockWait { kWait, kTry };
// An exclusive lock on the whole open file, released by UnlockFile or by closing it; with
// kTry, false with EWOULDBLOCK while another holder has it.
bool LockFile(FileHandle file, LockWait wait);
bool UnlockFile(FileHandle file);

}  // namespace verdan::platform
