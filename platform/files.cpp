#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace verdan::platform {
namespace {

FileSteps gAnswerYes;
std::atomic<FileSteps*> gSteps{&gAnswerYes};

bool Allowed(FileStep step, const std::string& path) {
  int injected = gSteps.load()->Before(step, path);
  if (injected == 0) return true;
  errno = injected;
  return false;
}

int AccessFlags(Access access) {
  switch (access) {
    case Access::kRead:
      return O_RDONLY;
    case Access::kWrite:
      return O_WRONLY;
    case Access::kReadWrite:
      return O_RDWR;
  }
  return O_RDONLY;
}

int LinkFlags(Links links) { return links == Links::kNoFollow ? O_NOFOLLOW : 0; }

void Fill(const struct stat& st, FileInfo& info) {
  if (S_ISREG(st.st_mode))
    info.kind = FileKind::kRegular;
  else if (S_ISDIR(st.st_mode))
    info.kind = FileKind::kDirectory;
  else if (S_ISLNK(st.st_mode))
    info.kind = FileKind::kLink;
  else
    info.kind = FileKind::kOther;
  info.size = static_cast<std::uint64_t>(st.st_size);
  info.modified = {st.st_mtim.tv_sec, static_cast<std::int32_t>(st.st_mtim.tv_nsec)};
  info.changed = {st.st_ctim.tv_sec, static_cast<std::int32_t>(st.st_ctim.tv_nsec)};
  info.permissions = st.st_mode & 07777;
  info.device = st.st_dev;
  info.file = st.st_ino;
  info.links = st.st_nlink;
  // The program never changes its user: asked once, not once for every file looked at.
  static const uid_t effectiveUser = ::geteuid();
  info.ours = st.st_uid == effectiveUser;
  info.othersMayWrite = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

bool Stat(int rc, const struct stat& st, FileInfo& info) {
  info = FileInfo{};
  if (rc != 0) return false;
  Fill(st, info);
  return true;
}

int CreationFlags(Creation creation) {
  switch (creation) {
    case Creation::kExclusive:
      return O_CREAT | O_EXCL;
    case Creation::kTruncate:
      return O_CREAT | O_TRUNC | O_NOFOLLOW;
    case Creation::kExclusiveOrReuse:
      return O_CREAT | O_NOFOLLOW;
  }
  return O_CREAT | O_EXCL;
}

bool List(DIR* d, std::vector<std::string>& names) {
  names.clear();
  if (d == nullptr) return false;
  errno = 0;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  int saved = errno;
  ::closedir(d);
  errno = saved;
  return saved == 0;
}

}  // namespace

int FileSteps::Before(FileStep, const std::string&) { return 0; }

ScopedFileSteps::ScopedFileSteps(FileSteps& steps) : before_(gSteps.exchange(&steps)) {}
ScopedFileSteps::~ScopedFileSteps() { gSteps.store(before_); }

bool FileStepAllowed(FileStep step, const std::string& path) { return Allowed(step, path); }

bool SyncFile(FileHandle file, const std::string& path) {
  if (!Allowed(FileStep::kSync, path)) return false;
  return ::fsync(file) == 0;
}

bool SyncFileByName(const std::string& path) {
  if (!Allowed(FileStep::kSync, path)) return false;
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // a FIFO never blocks it
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  CloseQuietly(fd);
  return ok;
}

bool SyncDirectory(const std::string& dir) {
  if (!Allowed(FileStep::kSyncDirectory, dir)) return false;
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0 || errno == EINVAL;  // some file systems cannot sync a directory
  CloseQuietly(fd);
  return ok;
}

bool SyncFileSystem(FileHandle file, const std::string& path) {
  if (!Allowed(FileStep::kSync, path)) return false;
  return ::syncfs(file) == 0;
}

bool SyncFileSystemCoversFiles(const std::string& path) {
  struct statfs fs {};
  if (::statfs(path.c_str(), &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0xEF53:      // ext2, ext3, ext4
    case 0x58465342:  // XFS
    case 0x9123683E:  // Btrfs
    case 0xF2F52010:  // F2FS
    case 0x794C7630:  // overlay (its sync is its upper file system's)
    case 0x01021994:  // tmpfs (nothing to write back)
      return true;
    default:
      return false;
  }
}

bool RenameFile(const std::string& from, const std::string& to) {
  if (!Allowed(FileStep::kRename, to)) return false;
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool LinkFile(const std::string& existing, const std::string& newName) {
  if (!Allowed(FileStep::kLink, newName)) return false;
  return ::link(existing.c_str(), newName.c_str()) == 0;
}

bool RemoveFile(const std::string& path) {
  if (!Allowed(FileStep::kUnlink, path)) return false;
  return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

bool OverwriteOpenFile(FileHandle file, const std::string& path, const void* data, std::size_t size,
                       const FileTime* modified) {
  if (!Allowed(FileStep::kOverwrite, path)) return false;
  return WriteAllAt(file, data, size, 0) && SetFileSize(file, size) &&
         (modified == nullptr || SetModified(file, *modified));
}

FileHandle OpenFile(const std::string& path, Access access, Links links) {
  return ::open(path.c_str(),
                AccessFlags(access) | LinkFlags(links) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

FileHandle OpenFileBeneath(FileHandle dir, const std::string& name, Access access, Links links) {
  return ::openat(dir, name.c_str(),
                  AccessFlags(access) | LinkFlags(links) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

FileHandle OpenDirectory(const std::string& path, Links links) {
  return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | LinkFlags(links) | O_CLOEXEC);
}

FileHandle OpenDirectoryBeneath(FileHandle dir, const std::string& name) {
  return ::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

FileHandle CreateFile(const std::string& path, Creation creation, std::uint32_t permissions) {
  return ::open(path.c_str(), O_WRONLY | CreationFlags(creation) | O_CLOEXEC,
                static_cast<mode_t>(permissions));
}

FileHandle CreateFileBeneath(FileHandle dir, const std::string& name, Creation creation,
                             std::uint32_t permissions) {
  return ::openat(dir, name.c_str(), O_WRONLY | CreationFlags(creation) | O_CLOEXEC,
                  static_cast<mode_t>(permissions));
}

FileHandle OpenForAppending(const std::string& path, std::uint32_t permissions) {
  return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY,
                static_cast<mode_t>(permissions));
}

FileHandle CreateUniqueFile(std::string& pattern) { return ::mkostemp(pattern.data(), O_CLOEXEC); }

bool CloseFile(FileHandle file) { return ::close(file) == 0; }

void CloseQuietly(FileHandle file) {
  int saved = errno;
  ::close(file);
  errno = saved;
}

int RuntimeDescriptor(FileHandle file) { return ::fcntl(file, F_DUPFD_CLOEXEC, 0); }
void CloseRuntimeDescriptor(int descriptor) { ::close(descriptor); }

std::int64_t ReadAt(FileHandle file, void* data, std::size_t size, std::uint64_t offset) {
  for (;;) {
    ssize_t n = ::pread(file, data, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

std::int64_t WriteAt(FileHandle file, const void* data, std::size_t size, std::uint64_t offset) {
  for (;;) {
    ssize_t n = ::pwrite(file, data, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

std::int64_t ReadNext(FileHandle file, void* data, std::size_t size) {
  for (;;) {
    ssize_t n = ::read(file, data, size);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

bool WriteAll(FileHandle file, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  for (std::size_t done = 0; done < size;) {
    ssize_t n = ::write(file, p + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool SetFileSize(FileHandle file, std::uint64_t size) {
  return ::ftruncate(file, static_cast<off_t>(size)) == 0;
}

bool SetPosition(FileHandle file, std::uint64_t offset) {
  return ::lseek(file, static_cast<off_t>(offset), SEEK_SET) >= 0;
}

void StartWriteBack(FileHandle file, std::uint64_t offset, std::uint64_t length) {
  ::sync_file_range(file, static_cast<off_t>(offset), static_cast<off_t>(length),
                    SYNC_FILE_RANGE_WRITE);
}

bool SetModified(FileHandle file, FileTime modified) {
  struct timespec times[2] = {{0, UTIME_OMIT}, {modified.seconds, modified.nanoseconds}};
  return ::futimens(file, times) == 0;
}

bool SetTimes(FileHandle file, FileTime accessed, FileTime modified) {
  struct timespec times[2] = {{accessed.seconds, accessed.nanoseconds},
                              {modified.seconds, modified.nanoseconds}};
  return ::futimens(file, times) == 0;
}

bool Reserve(FileHandle file, std::uint64_t size) {
  return ::fallocate(file, 0, 0, static_cast<off_t>(size)) == 0;
}

FileHandle OpenUncachedWriter(FileHandle file) {
  const std::string self = "/proc/self/fd/" + std::to_string(file);
  return ::open(self.c_str(), O_WRONLY | O_DIRECT | O_CLOEXEC);
}

bool SetPermissions(FileHandle file, std::uint32_t permissions) {
  return ::fchmod(file, static_cast<mode_t>(permissions & 07777)) == 0;
}

bool CopyContents(FileHandle from, FileHandle to) {
  for (;;) {
    ssize_t n = ::copy_file_range(from, nullptr, to, nullptr, 1 << 30, 0);
    if (n > 0) continue;
    if (n == 0) return true;
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) return false;
    break;
  }
  // No in-kernel copy here: plain reads and writes from where it stopped.
  off_t at = ::lseek(to, 0, SEEK_END);
  if (at < 0 || ::lseek(from, at, SEEK_SET) < 0) return false;
  std::vector<char> buf(1 << 20);
  for (;;) {
    std::int64_t n = ReadNext(from, buf.data(), buf.size());
    if (n < 0) return false;
    if (n == 0) return true;
    if (!WriteAll(to, buf.data(), static_cast<std::size_t>(n))) return false;
  }
}

void WillReadOnce(FileHandle file) { ::posix_fadvise(file, 0, 0, POSIX_FADV_SEQUENTIAL); }

bool InfoOf(FileHandle file, FileInfo& info) {
  struct stat st {};
  return Stat(::fstat(file, &st), st, info);
}

bool InfoAt(const std::string& path, FileInfo& info, Links links) {
  struct stat st {};
  return Stat(links == Links::kFollow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st), st,
              info);
}

bool InfoBeneath(FileHandle dir, const std::string& name, FileInfo& info, Links links) {
  struct stat st {};
  return Stat(
      ::fstatat(dir, name.c_str(), &st, links == Links::kNoFollow ? AT_SYMLINK_NOFOLLOW : 0), st,
      info);
}

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

bool MayWriteIn(const std::string& dir) { return ::access(dir.c_str(), W_OK | X_OK) == 0; }

bool SetPermissionsAt(const std::string& path, std::uint32_t permissions) {
  return ::chmod(path.c_str(), static_cast<mode_t>(permissions & 07777)) == 0;
}

bool SetTimesAt(const std::string& path, FileTime accessed, FileTime modified, Links links) {
  struct timespec times[2] = {{accessed.seconds, accessed.nanoseconds},
                              {modified.seconds, modified.nanoseconds}};
  return ::utimensat(AT_FDCWD, path.c_str(), times,
                     links == Links::kNoFollow ? AT_SYMLINK_NOFOLLOW : 0) == 0;
}

bool RemoveName(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool RenameName(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool RemoveBeneath(FileHandle dir, const std::string& name) {
  return ::unlinkat(dir, name.c_str(), 0) == 0;
}

bool RenameBeneath(FileHandle fromDir, const std::string& from, FileHandle toDir,
                   const std::string& to) {
  return ::renameat(fromDir, from.c_str(), toDir, to.c_str()) == 0;
}

bool MakeDirectory(const std::string& path, std::uint32_t permissions) {
  return ::mkdir(path.c_str(), static_cast<mode_t>(permissions)) == 0;
}

bool MakeDirectoryBeneath(FileHandle dir, const std::string& name, std::uint32_t permissions) {
  return ::mkdirat(dir, name.c_str(), static_cast<mode_t>(permissions)) == 0;
}

bool RemoveDirectory(const std::string& path) { return ::rmdir(path.c_str()) == 0; }

bool RemoveDirectoryBeneath(FileHandle dir, const std::string& name) {
  return ::unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0;
}

FileHandle DuplicateHandle(FileHandle file) { return ::fcntl(file, F_DUPFD_CLOEXEC, 0); }

bool ListDirectory(const std::string& path, std::vector<std::string>& names) {
  return List(::opendir(path.c_str()), names);
}

bool ListOpenDirectory(FileHandle dir, std::vector<std::string>& names) {
  // A second handle of its own: listing moves it, and closing the listing closes it.
  int listing = ::fcntl(dir, F_DUPFD_CLOEXEC, 0);
  DIR* d = listing < 0 ? nullptr : ::fdopendir(listing);
  if (d == nullptr && listing >= 0) CloseQuietly(listing);
  return List(d, names);
}

bool FreeSpace(const std::string& path, std::uint64_t& bytes, std::uint64_t& blockSize) {
  struct statvfs vfs {};
  if (::statvfs(path.c_str(), &vfs) != 0) return false;
  blockSize = vfs.f_frsize != 0 ? vfs.f_frsize : 4096;
  bytes = static_cast<std::uint64_t>(vfs.f_bavail) * blockSize;
  return true;
}

std::uint32_t NewFilePermissions() {
  static const std::uint32_t permissions = [] {
    mode_t mask = ::umask(022);
    ::umask(mask);
    return static_cast<std::uint32_t>(0666 & ~mask);
  }();
  return permissions;
}

bool LockFile(FileHandle file, LockWait wait) {
  for (;;) {
    if (::flock(file, LOCK_EX | (wait == LockWait::kTry ? LOCK_NB : 0)) == 0) return true;
    if (errno != EINTR) return false;
  }
}

bool UnlockFile(FileHandle file) { return ::flock(file, LOCK_UN) == 0; }

}  // namespace verdan::platform
