// The file port on Windows, through the wide-character Win32 calls so that names outside
// ASCII survive. A FileHandle is a small number naming an entry of this file's own table,
// which holds the system's handle, the full name it was opened by (the "beneath" calls name
// a file inside an open directory by joining the names: Win32 has no call relative to a
// directory handle) and the position ReadNext and WriteAll go on from.
//
// What Windows does differently, and how the port keeps the promises of files.h:
// - Every file is opened sharing reading, writing and deleting with others, so that a file
//   another handle holds can still be renamed over or removed, as on POSIX.
// - Renames replace their target and are written through (MoveFileExW with
//   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH); NTFS journals its directories, so a
//   directory needs no sync of its own.
// - Syncing a whole volume needs an administrator, so a file written over in place
//   (OverwriteOpenFile) is flushed there and then, and SyncFileSystem flushes the file it is
//   given.
// - Locks are advisory as flock's are: a lock takes one byte far beyond any file's end, so
//   that it stops other lockers only, never a reader or writer of the file's bytes. Windows
//   locks no directory: a directory's lock is taken on a hidden file ".verdan-lock" inside it,
//   which the system removes when the last process holding it lets go (or ends).
// - Files carry an access list rather than mode bits. A file created with no rights for
//   group or others (0600) gets an access list of its own granting the user alone; other
//   files inherit their folder's. A file's permissions read as 0644, or 0444 when it is
//   read-only, and setting them changes only the read-only attribute; "ours" is whether the
//   running user (or the token's default owner) owns it, "othersMayWrite" whether its access
//   list lets anyone but that user, the system or the administrators change it.
// - No writes bypass the cache here (OpenUncachedWriter gives kNoFile), and writing back
//   early and read-once advice are left to the system.
#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#undef CreateFile  // the system's names for its ...A and ...W calls, not this port's
#undef RemoveDirectory

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>

#include "platform/files.h"
#include "platform/wide.h"

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

// ---- errors --------------------------------------------------------------------------------

int ErrnoOf(DWORD err) {
  switch (err) {
    case ERROR_SUCCESS:
      return 0;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      return ENOENT;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
      return EACCES;
    case ERROR_SHARING_VIOLATION:
      return EBUSY;
    case ERROR_LOCK_VIOLATION:
    case ERROR_IO_PENDING:
      return EWOULDBLOCK;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_DIR_NOT_EMPTY:
      return ENOTEMPTY;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_PARAMETER:
      return EINVAL;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
      return ENOTSUP;
    case ERROR_CANT_RESOLVE_FILENAME:
      return ELOOP;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    default:
      return EIO;
  }
}

// Leaves the system's last error in errno; false, for `return Failed();`.
bool Failed() {
  errno = ErrnoOf(::GetLastError());
  return false;
}

std::wstring Wide(const std::string& path) { return WideFromUtf8(path); }

// ---- the handle table ----------------------------------------------------------------------

struct Entry {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::wstring path;
  bool appending = false;
  std::uint64_t position = 0;
  // A directory's lock is taken on a file inside it (Windows locks no directory): open while
  // the lock is held, removed when the last process holding it open lets go.
  HANDLE lock = INVALID_HANDLE_VALUE;
};

std::mutex gTableMutex;
std::map<FileHandle, std::shared_ptr<Entry>> gTable;  // under gTableMutex
FileHandle gNext = 3;                                 // under gTableMutex

FileHandle Register(HANDLE h, std::wstring path, bool appending = false) {
  auto entry = std::make_shared<Entry>();
  entry->handle = h;
  entry->path = std::move(path);
  entry->appending = appending;
  std::lock_guard lock(gTableMutex);
  while (gTable.count(gNext) != 0 || gNext < 0) gNext = gNext < 0 ? 3 : gNext + 1;
  const FileHandle file = gNext++;
  gTable.emplace(file, std::move(entry));
  return file;
}

std::shared_ptr<Entry> Find(FileHandle file) {
  std::lock_guard lock(gTableMutex);
  auto it = gTable.find(file);
  if (it == gTable.end()) {
    errno = EBADF;
    return nullptr;
  }
  return it->second;
}

HANDLE HandleOf(FileHandle file) {
  auto e = Find(file);
  return e ? e->handle : INVALID_HANDLE_VALUE;
}

std::wstring Beneath(FileHandle dir, const std::string& name) {
  auto e = Find(dir);
  if (!e) return {};
  std::wstring path = e->path;
  if (!path.empty() && path.back() != L'\\' && path.back() != L'/') path += L'\\';
  return path + Wide(name);
}

// ---- who may do what -----------------------------------------------------------------------

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

struct LocalFreer {
  void operator()(void* p) const { ::LocalFree(p); }
};

// The running user's SID and the token's default owner, read once.
struct Identity {
  std::vector<unsigned char> user, owner;
};

bool TokenSid(HANDLE token, TOKEN_INFORMATION_CLASS what, std::vector<unsigned char>& out) {
  DWORD size = 0;
  ::GetTokenInformation(token, what, nullptr, 0, &size);
  if (size == 0) return false;
  std::vector<unsigned char> buf(size);
  if (!::GetTokenInformation(token, what, buf.data(), size, &size)) return false;
  PSID sid = what == TokenUser ? reinterpret_cast<TOKEN_USER*>(buf.data())->User.Sid
                               : reinterpret_cast<TOKEN_OWNER*>(buf.data())->Owner;
  out.assign(static_cast<unsigned char*>(sid),
             static_cast<unsigned char*>(sid) + ::GetLengthSid(sid));
  return true;
}

const Identity& Me() {
  static const Identity me = [] {
    Identity id;
    HANDLE token = nullptr;
    if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
      TokenSid(token, TokenUser, id.user);
      TokenSid(token, TokenOwner, id.owner);
      ::CloseHandle(token);
    }
    return id;
  }();
  return me;
}

bool IsMe(PSID sid) {
  const Identity& me = Me();
  return (!me.user.empty() && ::EqualSid(sid, const_cast<unsigned char*>(me.user.data()))) ||
         (!me.owner.empty() && ::EqualSid(sid, const_cast<unsigned char*>(me.owner.data())));
}

void OwnerAndOthers(HANDLE h, FileInfo& info) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (::GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                        &owner, nullptr, &dacl, nullptr, &sd) != ERROR_SUCCESS)
    return;  // neither ours nor safe: nothing can be told
  std::unique_ptr<void, LocalFreer> hold(sd);
  info.ours = owner != nullptr && IsMe(owner);
  if (dacl == nullptr) {
    info.othersMayWrite = true;
    return;
  }
  constexpr DWORD kWrite = FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC | WRITE_OWNER |
                           GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(dacl, i, &ace)) continue;
    auto* header = static_cast<ACE_HEADER*>(ace);
    if (header->AceFlags & INHERIT_ONLY_ACE) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
      if (header->AceType != ACCESS_DENIED_ACE_TYPE) info.othersMayWrite = true;
      continue;
    }
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    if ((allowed->Mask & kWrite) == 0) continue;
    PSID who = &allowed->SidStart;
    if (IsMe(who) || ::IsWellKnownSid(who, WinLocalSystemSid) ||
        ::IsWellKnownSid(who, WinBuiltinAdministratorsSid) ||
        ::IsWellKnownSid(who, WinCreatorOwnerSid))
      continue;
    info.othersMayWrite = true;
  }
}

// A security descriptor granting the running user alone, owned by that user, for files made
// with no rights for group or others.
class PrivateAccess {
 public:
  PrivateAccess() {
    const Identity& me = Me();
    if (me.user.empty()) return;
    EXPLICIT_ACCESSW access{};
    access.grfAccessPermissions = GENERIC_ALL;
    access.grfAccessMode = SET_ACCESS;
    access.grfInheritance = NO_INHERITANCE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_USER;
    access.Trustee.ptstrName = reinterpret_cast<LPWSTR>(const_cast<unsigned char*>(me.user.data()));
    PACL acl = nullptr;
    if (::SetEntriesInAclW(1, &access, nullptr, &acl) != ERROR_SUCCESS) return;
    acl_.reset(acl);
    if (::InitializeSecurityDescriptor(&sd_, SECURITY_DESCRIPTOR_REVISION) &&
        ::SetSecurityDescriptorOwner(&sd_, const_cast<unsigned char*>(me.user.data()), FALSE) &&
        ::SetSecurityDescriptorDacl(&sd_, TRUE, acl, FALSE) &&
        ::SetSecurityDescriptorControl(&sd_, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
      attributes_ = {sizeof attributes_, &sd_, FALSE};
      ready_ = true;
    }
  }
  SECURITY_ATTRIBUTES* Attributes(std::uint32_t permissions) {
    return ready_ && (permissions & 077) == 0 ? &attributes_ : nullptr;
  }

 private:
  std::unique_ptr<ACL, LocalFreer> acl_;
  SECURITY_DESCRIPTOR sd_{};
  SECURITY_ATTRIBUTES attributes_{};
  bool ready_ = false;
};

// ---- opening -------------------------------------------------------------------------------

DWORD RightsOf(Access access) {
  switch (access) {
    case Access::kRead:
      return GENERIC_READ;
    case Access::kWrite:
      return GENERIC_WRITE | FILE_READ_ATTRIBUTES;
    case Access::kReadWrite:
      return GENERIC_READ | GENERIC_WRITE;
  }
  return GENERIC_READ;
}

bool IsLink(HANDLE h) {
  FILE_ATTRIBUTE_TAG_INFO tag{};
  return ::GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag) &&
         (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
         (tag.ReparseTag == IO_REPARSE_TAG_SYMLINK || tag.ReparseTag == IO_REPARSE_TAG_MOUNT_POINT);
}

bool IsDirectoryHandle(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info{};
  return ::GetFileInformationByHandle(h, &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

enum class Want { kFile, kFileOrDirectory, kDirectory };

// Opens what stands at `path`: a file (a directory fails with EISDIR, unless it is opened for
// reading, as POSIX allows) or a directory (anything else fails with ENOTDIR). A link fails
// with ELOOP unless followed.
FileHandle Open(const std::wstring& path, DWORD rights, DWORD disposition, Links links, Want want,
                SECURITY_ATTRIBUTES* security = nullptr, bool appending = false) {
  const bool directory = want == Want::kDirectory;
  DWORD flags = FILE_ATTRIBUTE_NORMAL;
  if (want != Want::kFile) flags |= FILE_FLAG_BACKUP_SEMANTICS;
  if (links == Links::kNoFollow) flags |= FILE_FLAG_OPEN_REPARSE_POINT;
  HANDLE h = ::CreateFileW(path.c_str(), rights, kShareAll, security, disposition, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD err = ::GetLastError();
    // A directory opened as a file.
    if (!directory && err == ERROR_ACCESS_DENIED) {
      const DWORD a = ::GetFileAttributesW(path.c_str());
      if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY)) {
        errno = EISDIR;
        return kNoFile;
      }
    }
    errno = ErrnoOf(err);
    return kNoFile;
  }
  int refuse = 0;
  if (links == Links::kNoFollow && IsLink(h))
    refuse = ELOOP;
  else if (want != Want::kFileOrDirectory && directory != IsDirectoryHandle(h))
    refuse = directory ? ENOTDIR : EISDIR;
  if (refuse != 0) {
    ::CloseHandle(h);
    errno = refuse;
    return kNoFile;
  }
  return Register(h, path, appending);
}

Want WantOf(Access access) {
  return access == Access::kRead ? Want::kFileOrDirectory : Want::kFile;
}

FileHandle Create(const std::wstring& path, Creation creation, std::uint32_t permissions) {
  static PrivateAccess privateAccess;
  SECURITY_ATTRIBUTES* security = privateAccess.Attributes(permissions);
  const DWORD rights = GENERIC_READ | GENERIC_WRITE;
  if (creation == Creation::kExclusive)
    return Open(path, rights, CREATE_NEW, Links::kNoFollow, Want::kFile, security);
  FileHandle file = Open(path, rights, OPEN_ALWAYS, Links::kNoFollow, Want::kFile, security);
  if (file != kNoFile && creation == Creation::kTruncate && !SetFileSize(file, 0)) {
    CloseQuietly(file);
    return kNoFile;
  }
  return file;
}

// ---- times ---------------------------------------------------------------------------------

constexpr std::int64_t kUnixEpoch = 116444736000000000LL;  // 1970 in 100 ns since 1601

FILETIME FileTimeOf(FileTime t) {
  const std::int64_t ticks = kUnixEpoch + t.seconds * 10000000LL + t.nanoseconds / 100;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(ticks);
  ft.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ticks) >> 32);
  return ft;
}

FileTime TimeOf(std::int64_t ticks) {
  const std::int64_t since = ticks - kUnixEpoch;
  std::int64_t seconds = since / 10000000LL;
  std::int64_t rest = since % 10000000LL;
  if (rest < 0) {
    rest += 10000000LL;
    --seconds;
  }
  return {seconds, static_cast<std::int32_t>(rest * 100)};
}

bool Fill(HANDLE h, FileInfo& info) {
  info = FileInfo{};
  BY_HANDLE_FILE_INFORMATION bh{};
  FILE_BASIC_INFO basic{};
  if (!::GetFileInformationByHandle(h, &bh) ||
      !::GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic))
    return Failed();
  const DWORD a = bh.dwFileAttributes;
  if (a & FILE_ATTRIBUTE_REPARSE_POINT && IsLink(h))
    info.kind = FileKind::kLink;
  else if (a & FILE_ATTRIBUTE_DIRECTORY)
    info.kind = FileKind::kDirectory;
  else if (::GetFileType(h) == FILE_TYPE_DISK)
    info.kind = FileKind::kRegular;
  else
    info.kind = FileKind::kOther;
  info.size = (static_cast<std::uint64_t>(bh.nFileSizeHigh) << 32) | bh.nFileSizeLow;
  info.modified = TimeOf(basic.LastWriteTime.QuadPart);
  info.changed = TimeOf(std::max(basic.ChangeTime.QuadPart, basic.LastWriteTime.QuadPart));
  info.permissions = (a & FILE_ATTRIBUTE_DIRECTORY)  ? 0755
                     : (a & FILE_ATTRIBUTE_READONLY) ? 0444
                                                     : 0644;
  info.device = bh.dwVolumeSerialNumber;
  info.file = (static_cast<std::uint64_t>(bh.nFileIndexHigh) << 32) | bh.nFileIndexLow;
  info.links = bh.nNumberOfLinks;
  OwnerAndOthers(h, info);
  return true;
}

bool InfoOfName(const std::wstring& path, FileInfo& info, Links links) {
  info = FileInfo{};
  DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;
  if (links == Links::kNoFollow) flags |= FILE_FLAG_OPEN_REPARSE_POINT;
  HANDLE h = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL, kShareAll, nullptr,
                           OPEN_EXISTING, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Failed();
  const bool ok = Fill(h, info);
  ::CloseHandle(h);
  return ok;
}

bool SetReadOnly(const std::wstring& path, std::uint32_t permissions) {
  const DWORD a = ::GetFileAttributesW(path.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return Failed();
  if (a & FILE_ATTRIBUTE_DIRECTORY) return true;
  const DWORD want =
      (permissions & 0200) ? (a & ~FILE_ATTRIBUTE_READONLY) : (a | FILE_ATTRIBUTE_READONLY);
  if (want == a) return true;
  return ::SetFileAttributesW(path.c_str(), want == 0 ? FILE_ATTRIBUTE_NORMAL : want) ? true
                                                                                      : Failed();
}

// Renames `from` to `to`, replacing it, the move written through. A target another handle
// holds open cannot be replaced that way; where the system can, it is then replaced as POSIX
// does (the holder keeps the old file, the name moves to the new one).
// The rename with flags of Windows 10 (1607 on); the headers name it for that version only.
constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);

bool Rename(const std::wstring& from, const std::wstring& to) {
  if (::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  const DWORD err = ::GetLastError();
  if (err != ERROR_ACCESS_DENIED && err != ERROR_SHARING_VIOLATION) {
    errno = ErrnoOf(err);
    return false;
  }
  std::wstring full(32768, L'\0');
  const DWORD n =
      ::GetFullPathNameW(to.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  HANDLE h = ::CreateFileW(from.c_str(), DELETE | SYNCHRONIZE, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (n == 0 || n >= full.size() || h == INVALID_HANDLE_VALUE) {
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    errno = ErrnoOf(err);
    return false;
  }
  full.resize(n);
  const std::wstring target = L"\\??\\" + full;
  std::vector<unsigned char> buf(offsetof(FILE_RENAME_INFO, FileName) +
                                 (target.size() + 1) * sizeof(wchar_t));
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buf.data());
  // The flags word shares its place with the older ReplaceIfExists.
  const DWORD flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
  std::memcpy(buf.data(), &flags, sizeof flags);
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
  std::memcpy(info->FileName, target.c_str(), (target.size() + 1) * sizeof(wchar_t));
  const bool ok =
      ::SetFileInformationByHandle(h, kFileRenameInfoEx, info, static_cast<DWORD>(buf.size())) != 0;
  ::CloseHandle(h);
  if (!ok) errno = ErrnoOf(err);  // the first refusal says more than the second
  return ok;
}

bool List(const std::wstring& dir, std::vector<std::string>& names) {
  names.clear();
  std::wstring pattern = dir;
  if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/') pattern += L'\\';
  pattern += L'*';
  WIN32_FIND_DATAW data{};
  HANDLE find = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                   nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) {
    if (::GetLastError() == ERROR_FILE_NOT_FOUND) return true;  // not even "." in a drive root
    return Failed();
  }
  do {
    std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") names.push_back(Utf8FromWide(name));
  } while (::FindNextFileW(find, &data));
  const DWORD err = ::GetLastError();
  ::FindClose(find);
  if (err != ERROR_NO_MORE_FILES) {
    errno = ErrnoOf(err);
    return false;
  }
  return true;
}

// The file a directory's lock is taken on.
constexpr const wchar_t* kDirectoryLockName = L".verdan-lock";

// A lock's byte: far beyond any file's end, so that it never stands in a reader's way.
constexpr DWORD kLockHigh = 0x7FFFFFFF;
constexpr DWORD kLockLow = 0xFFFFFFFE;

}  // namespace

int FileSteps::Before(FileStep, const std::string&) { return 0; }

ScopedFileSteps::ScopedFileSteps(FileSteps& steps) : before_(gSteps.exchange(&steps)) {}
ScopedFileSteps::~ScopedFileSteps() { gSteps.store(before_); }

bool FileStepAllowed(FileStep step, const std::string& path) { return Allowed(step, path); }

bool SyncFile(FileHandle file, const std::string& path) {
  if (!Allowed(FileStep::kSync, path)) return false;
  // A directory is opened for reading, which FlushFileBuffers refuses; its entries are
  // journalled by the file system, as SyncDirectory says.
  const HANDLE h = HandleOf(file);
  if (h != INVALID_HANDLE_VALUE && IsDirectoryHandle(h)) return true;
  return ::FlushFileBuffers(h) ? true : Failed();
}

bool SyncFileByName(const std::string& path) {
  if (!Allowed(FileStep::kSync, path)) return false;
  HANDLE h = ::CreateFileW(Wide(path).c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Failed();
  const bool ok = ::FlushFileBuffers(h) != 0;
  const DWORD err = ::GetLastError();
  ::CloseHandle(h);
  if (!ok) errno = ErrnoOf(err);
  return ok;
}

bool SyncDirectory(const std::string& dir) {
  if (!Allowed(FileStep::kSyncDirectory, dir)) return false;
  // The file system journals its directories; what a rename wrote was written through.
  const DWORD a = ::GetFileAttributesW(Wide(dir).c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return Failed();
  return true;
}

bool SyncFileSystem(FileHandle file, const std::string& path) {
  if (!Allowed(FileStep::kSync, path)) return false;
  // Flushing a whole volume needs an administrator; what was written over in place was
  // flushed as it was written.
  HANDLE h = HandleOf(file);
  if (h == INVALID_HANDLE_VALUE) return false;
  if (IsDirectoryHandle(h)) return true;
  return ::FlushFileBuffers(h) || ::GetLastError() == ERROR_ACCESS_DENIED ? true : Failed();
}

// A directory's handle flushes nothing here: every file is flushed on its own.
bool SyncFileSystemCoversFiles(const std::string&) { return false; }

bool RenameFile(const std::string& from, const std::string& to) {
  if (!Allowed(FileStep::kRename, to)) return false;
  return RenameName(from, to);
}

bool LinkFile(const std::string& existing, const std::string& newName) {
  if (!Allowed(FileStep::kLink, newName)) return false;
  return ::CreateHardLinkW(Wide(newName).c_str(), Wide(existing).c_str(), nullptr) ? true
                                                                                   : Failed();
}

bool RemoveFile(const std::string& path) {
  if (!Allowed(FileStep::kUnlink, path)) return false;
  return RemoveName(path) || errno == ENOENT;
}

bool OverwriteOpenFile(FileHandle file, const std::string& path, const void* data, std::size_t size,
                       const FileTime* modified) {
  if (!Allowed(FileStep::kOverwrite, path)) return false;
  return WriteAllAt(file, data, size, 0) && SetFileSize(file, size) &&
         (modified == nullptr || SetModified(file, *modified)) &&
         (::FlushFileBuffers(HandleOf(file)) || Failed());
}

FileHandle OpenFile(const std::string& path, Access access, Links links) {
  return Open(Wide(path), RightsOf(access), OPEN_EXISTING, links, WantOf(access));
}

FileHandle OpenFileBeneath(FileHandle dir, const std::string& name, Access access, Links links) {
  const std::wstring path = Beneath(dir, name);
  return path.empty() ? kNoFile
                      : Open(path, RightsOf(access), OPEN_EXISTING, links, WantOf(access));
}

FileHandle OpenDirectory(const std::string& path, Links links) {
  return Open(Wide(path), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE,
              OPEN_EXISTING, links, Want::kDirectory);
}

FileHandle OpenDirectoryBeneath(FileHandle dir, const std::string& name) {
  const std::wstring path = Beneath(dir, name);
  return path.empty()
             ? kNoFile
             : Open(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE,
                    OPEN_EXISTING, Links::kNoFollow, Want::kDirectory);
}

FileHandle CreateFile(const std::string& path, Creation creation, std::uint32_t permissions) {
  return Create(Wide(path), creation, permissions);
}

FileHandle CreateFileBeneath(FileHandle dir, const std::string& name, Creation creation,
                             std::uint32_t permissions) {
  const std::wstring path = Beneath(dir, name);
  return path.empty() ? kNoFile : Create(path, creation, permissions);
}

FileHandle OpenForAppending(const std::string& path, std::uint32_t) {
  // With the right to append and not to write, every write lands at the end.
  return Open(Wide(path), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE, OPEN_ALWAYS,
              Links::kFollow, Want::kFile, nullptr, true);
}

FileHandle CreateUniqueFile(std::string& pattern) {
  if (pattern.size() < 6 || pattern.compare(pattern.size() - 6, 6, "XXXXXX") != 0) {
    errno = EINVAL;
    return kNoFile;
  }
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  thread_local std::mt19937_64 random{std::random_device{}() ^ ::GetTickCount64() ^
                                      ::GetCurrentThreadId()};
  for (int attempt = 0; attempt < 1000; ++attempt) {
    for (std::size_t i = pattern.size() - 6; i < pattern.size(); ++i)
      pattern[i] = kLetters[random() % (sizeof kLetters - 1)];
    FileHandle file = Create(Wide(pattern), Creation::kExclusive, 0600);
    if (file != kNoFile || errno != EEXIST) return file;
  }
  errno = EEXIST;
  return kNoFile;
}

bool CloseFile(FileHandle file) {
  std::shared_ptr<Entry> e;
  {
    std::lock_guard lock(gTableMutex);
    auto it = gTable.find(file);
    if (it == gTable.end()) {
      errno = EBADF;
      return false;
    }
    e = std::move(it->second);
    gTable.erase(it);
  }
  if (e->lock != INVALID_HANDLE_VALUE) ::CloseHandle(e->lock);
  return ::CloseHandle(e->handle) ? true : Failed();
}

void CloseQuietly(FileHandle file) {
  int saved = errno;
  CloseFile(file);
  errno = saved;
}

int RuntimeDescriptor(FileHandle file) {
  HANDLE h = HandleOf(file), copy = nullptr;
  if (h == INVALID_HANDLE_VALUE) {
    errno = EBADF;
    return -1;
  }
  if (!::DuplicateHandle(::GetCurrentProcess(), h, ::GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
    Failed();
    return -1;
  }
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(copy), _O_RDONLY | _O_BINARY);
  if (fd < 0) ::CloseHandle(copy);
  return fd;
}

void CloseRuntimeDescriptor(int descriptor) { ::_close(descriptor); }

std::int64_t ReadAt(FileHandle file, void* data, std::size_t size, std::uint64_t offset) {
  HANDLE h = HandleOf(file);
  if (h == INVALID_HANDLE_VALUE) return -1;
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD n = 0;
  const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
  if (!::ReadFile(h, data, want, &n, &at)) {
    if (::GetLastError() == ERROR_HANDLE_EOF) return 0;
    Failed();
    return -1;
  }
  return n;
}

std::int64_t WriteAt(FileHandle file, const void* data, std::size_t size, std::uint64_t offset) {
  HANDLE h = HandleOf(file);
  if (h == INVALID_HANDLE_VALUE) return -1;
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD n = 0;
  const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
  if (!::WriteFile(h, data, want, &n, &at)) {
    Failed();
    return -1;
  }
  return n;
}

std::int64_t ReadNext(FileHandle file, void* data, std::size_t size) {
  auto e = Find(file);
  if (!e) return -1;
  std::int64_t n = ReadAt(file, data, size, e->position);
  if (n > 0) e->position += static_cast<std::uint64_t>(n);
  return n;
}

bool WriteAll(FileHandle file, const void* data, std::size_t size) {
  auto e = Find(file);
  if (!e) return false;
  const char* p = static_cast<const char*>(data);
  for (std::size_t done = 0; done < size;) {
    DWORD n = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 30));
    BOOL ok;
    if (e->appending) {
      ok = ::WriteFile(e->handle, p + done, want, &n, nullptr);
    } else {
      OVERLAPPED at{};
      at.Offset = static_cast<DWORD>(e->position);
      at.OffsetHigh = static_cast<DWORD>(e->position >> 32);
      ok = ::WriteFile(e->handle, p + done, want, &n, &at);
    }
    if (!ok) return Failed();
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    done += n;
    if (!e->appending) e->position += n;
  }
  return true;
}

bool SetFileSize(FileHandle file, std::uint64_t size) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  return ::SetFileInformationByHandle(HandleOf(file), FileEndOfFileInfo, &end, sizeof end)
             ? true
             : Failed();
}

bool SetPosition(FileHandle file, std::uint64_t offset) {
  auto e = Find(file);
  if (!e) return false;
  e->position = offset;
  return true;
}

void StartWriteBack(FileHandle, std::uint64_t, std::uint64_t) {}

bool SetModified(FileHandle file, FileTime modified) {
  const FILETIME m = FileTimeOf(modified);
  return ::SetFileTime(HandleOf(file), nullptr, nullptr, &m) ? true : Failed();
}

bool SetTimes(FileHandle file, FileTime accessed, FileTime modified) {
  const FILETIME a = FileTimeOf(accessed), m = FileTimeOf(modified);
  return ::SetFileTime(HandleOf(file), nullptr, &a, &m) ? true : Failed();
}

bool Reserve(FileHandle file, std::uint64_t size) {
  FILE_ALLOCATION_INFO room{};
  room.AllocationSize.QuadPart = static_cast<LONGLONG>(size);
  return ::SetFileInformationByHandle(HandleOf(file), FileAllocationInfo, &room, sizeof room)
             ? true
             : Failed();
}

FileHandle OpenUncachedWriter(FileHandle) {
  errno = ENOTSUP;
  return kNoFile;
}

bool SetPermissions(FileHandle file, std::uint32_t permissions) {
  auto e = Find(file);
  if (!e) return false;
  FILE_BASIC_INFO basic{};
  if (!::GetFileInformationByHandleEx(e->handle, FileBasicInfo, &basic, sizeof basic))
    return Failed();
  if (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) return true;
  DWORD want = (permissions & 0200) ? (basic.FileAttributes & ~FILE_ATTRIBUTE_READONLY)
                                    : (basic.FileAttributes | FILE_ATTRIBUTE_READONLY);
  if (want == basic.FileAttributes) return true;
  FILE_BASIC_INFO change{};
  change.FileAttributes = want == 0 ? FILE_ATTRIBUTE_NORMAL : want;
  return ::SetFileInformationByHandle(e->handle, FileBasicInfo, &change, sizeof change) ? true
                                                                                        : Failed();
}

bool CopyContents(FileHandle from, FileHandle to) {
  FileInfo info;
  if (!InfoOf(to, info)) return false;
  std::uint64_t at = info.size;
  std::vector<char> buf(1 << 20);
  for (;;) {
    std::int64_t n = ReadAt(from, buf.data(), buf.size(), at);
    if (n < 0) return false;
    if (n == 0) break;
    if (!WriteAllAt(to, buf.data(), static_cast<std::size_t>(n), at)) return false;
    at += static_cast<std::uint64_t>(n);
  }
  // Both go on from the end, as after the reads and writes of a copy on POSIX.
  return SetPosition(from, at) && SetPosition(to, at);
}

void WillReadOnce(FileHandle) {}

bool InfoOf(FileHandle file, FileInfo& info) {
  HANDLE h = HandleOf(file);
  if (h == INVALID_HANDLE_VALUE) {
    info = FileInfo{};
    return false;
  }
  return Fill(h, info);
}

bool InfoAt(const std::string& path, FileInfo& info, Links links) {
  return InfoOfName(Wide(path), info, links);
}

bool InfoBeneath(FileHandle dir, const std::string& name, FileInfo& info, Links links) {
  const std::wstring path = Beneath(dir, name);
  if (path.empty()) {
    info = FileInfo{};
    return false;
  }
  return InfoOfName(path, info, links);
}

bool Exists(const std::string& path) {
  return ::GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool MayWriteIn(const std::string& dir) {
  // Asked of the folder itself: a name made and removed at once.
  std::wstring probe = Wide(dir);
  if (!probe.empty() && probe.back() != L'\\' && probe.back() != L'/') probe += L'\\';
  probe += L".verdan-probe-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
           std::to_wstring(::GetCurrentThreadId());
  HANDLE h = ::CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  ::CloseHandle(h);
  return true;
}

bool SetPermissionsAt(const std::string& path, std::uint32_t permissions) {
  return SetReadOnly(Wide(path), permissions);
}

bool SetTimesAt(const std::string& path, FileTime accessed, FileTime modified, Links links) {
  DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;
  if (links == Links::kNoFollow) flags |= FILE_FLAG_OPEN_REPARSE_POINT;
  HANDLE h = ::CreateFileW(Wide(path).c_str(), FILE_WRITE_ATTRIBUTES, kShareAll, nullptr,
                           OPEN_EXISTING, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Failed();
  const FILETIME a = FileTimeOf(accessed), m = FileTimeOf(modified);
  const bool ok = ::SetFileTime(h, nullptr, &a, &m) != 0;
  const DWORD err = ::GetLastError();
  ::CloseHandle(h);
  if (!ok) errno = ErrnoOf(err);
  return ok;
}

bool RemoveName(const std::string& path) {
  return ::DeleteFileW(Wide(path).c_str()) ? true : Failed();
}

bool RenameName(const std::string& from, const std::string& to) {
  return Rename(Wide(from), Wide(to));
}

bool RemoveBeneath(FileHandle dir, const std::string& name) {
  const std::wstring path = Beneath(dir, name);
  return !path.empty() && (::DeleteFileW(path.c_str()) || Failed());
}

bool RenameBeneath(FileHandle fromDir, const std::string& from, FileHandle toDir,
                   const std::string& to) {
  const std::wstring a = Beneath(fromDir, from), b = Beneath(toDir, to);
  return !a.empty() && !b.empty() && Rename(a, b);
}

bool MakeDirectory(const std::string& path, std::uint32_t) {
  return ::CreateDirectoryW(Wide(path).c_str(), nullptr) ? true : Failed();
}

bool MakeDirectoryBeneath(FileHandle dir, const std::string& name, std::uint32_t) {
  const std::wstring path = Beneath(dir, name);
  return !path.empty() && (::CreateDirectoryW(path.c_str(), nullptr) || Failed());
}

bool RemoveDirectory(const std::string& path) {
  return ::RemoveDirectoryW(Wide(path).c_str()) ? true : Failed();
}

bool RemoveDirectoryBeneath(FileHandle dir, const std::string& name) {
  const std::wstring path = Beneath(dir, name);
  return !path.empty() && (::RemoveDirectoryW(path.c_str()) || Failed());
}

FileHandle DuplicateHandle(FileHandle file) {
  auto e = Find(file);
  if (!e) return kNoFile;
  HANDLE copy = nullptr;
  if (!::DuplicateHandle(::GetCurrentProcess(), e->handle, ::GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
    Failed();
    return kNoFile;
  }
  FileHandle dup = Register(copy, e->path, e->appending);
  Find(dup)->position = e->position;
  return dup;
}

bool ListDirectory(const std::string& path, std::vector<std::string>& names) {
  return List(Wide(path), names);
}

bool ListOpenDirectory(FileHandle dir, std::vector<std::string>& names) {
  auto e = Find(dir);
  if (!e) {
    names.clear();
    return false;
  }
  return List(e->path, names);
}

bool FreeSpace(const std::string& path, std::uint64_t& bytes, std::uint64_t& blockSize) {
  const std::wstring wide = Wide(path);
  ULARGE_INTEGER available{}, total{}, free{};
  if (!::GetDiskFreeSpaceExW(wide.c_str(), &available, &total, &free)) return Failed();
  bytes = available.QuadPart;
  blockSize = 4096;
  wchar_t root[MAX_PATH + 1] = {};
  DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
  if (::GetVolumePathNameW(wide.c_str(), root, MAX_PATH + 1) &&
      ::GetDiskFreeSpaceW(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters) &&
      sectorsPerCluster != 0 && bytesPerSector != 0)
    blockSize = static_cast<std::uint64_t>(sectorsPerCluster) * bytesPerSector;
  return true;
}

std::uint32_t NewFilePermissions() { return 0666; }

bool LockFile(FileHandle file, LockWait wait) {
  auto e = Find(file);
  if (!e) return false;
  HANDLE h = e->handle;
  if (IsDirectoryHandle(h)) {
    if (e->lock == INVALID_HANDLE_VALUE) {
      std::wstring name = e->path;
      if (!name.empty() && name.back() != L'\\' && name.back() != L'/') name += L'\\';
      name += kDirectoryLockName;
      e->lock =
          ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr, OPEN_ALWAYS,
                        FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
      if (e->lock == INVALID_HANDLE_VALUE) {
        // Still being removed by the holder that just let go: held, for a moment longer.
        const DWORD err = ::GetLastError();
        errno = err == ERROR_ACCESS_DENIED &&
                        ::GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES
                    ? EWOULDBLOCK
                    : ErrnoOf(err);
        return false;
      }
    }
    h = e->lock;
  }
  OVERLAPPED at{};
  at.Offset = kLockLow;
  at.OffsetHigh = kLockHigh;
  const DWORD flags =
      LOCKFILE_EXCLUSIVE_LOCK | (wait == LockWait::kTry ? LOCKFILE_FAIL_IMMEDIATELY : 0);
  if (::LockFileEx(h, flags, 0, 1, 0, &at)) return true;
  return Failed();
}

bool UnlockFile(FileHandle file) {
  auto e = Find(file);
  if (!e) return false;
  OVERLAPPED at{};
  at.Offset = kLockLow;
  at.OffsetHigh = kLockHigh;
  const bool directory = e->lock != INVALID_HANDLE_VALUE;
  const bool ok = ::UnlockFileEx(directory ? e->lock : e->handle, 0, 1, 0, &at) != 0;
  if (!ok) Failed();
  if (directory) {
    ::CloseHandle(e->lock);
    e->lock = INVALID_HANDLE_VALUE;
  }
  return ok;
}

}  // namespace verdan::platform
