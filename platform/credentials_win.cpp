// Windows keeps a file to its owner with its access list rather than mode bits: the file is
// created with an access list of its own (not inherited from the folder) that grants the
// running user alone, and with that user as its owner. A file is trusted when it is a regular
// file (not a link, a directory or a device), its owner is the running user, and no entry of
// its access list lets anyone but that user or the system itself read, change or delete it.
#include <aclapi.h>
#include <sddl.h>
#include <windows.h>

#include <memory>
#include <vector>

#include "platform/credentials.h"
#include "platform/credentials_format.h"
#include "platform/wide.h"

namespace verdan::platform {
namespace {

using credentials::NotTrusted;
using credentials::Secrets;

// What an access list entry must not grant to anyone else.
constexpr DWORD kGuarded = FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_EXECUTE |
                           DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_READ | GENERIC_WRITE |
                           GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED;

struct HandleCloser {
  void operator()(HANDLE h) const {
    if (h != INVALID_HANDLE_VALUE && h != nullptr) ::CloseHandle(h);
  }
};
using Handle = std::unique_ptr<void, HandleCloser>;

struct LocalFreer {
  void operator()(void* p) const { ::LocalFree(p); }
};

std::string CannotRead(const std::string& file, DWORD err) {
  return "Datoteka s tajnim podacima " + file + " ne može se pročitati: " + SystemErrorText(err) +
         ".";
}

// The running user's identity (copied out of its token), and the token's default owner, which
// a file the user made by other means may carry (an elevated administrator's files belong to
// the Administrators group).
struct User {
  std::vector<unsigned char> user;
  std::vector<unsigned char> owner;
  PSID Sid() { return user.data(); }
  PSID DefaultOwner() { return owner.data(); }
};

bool TokenPart(HANDLE token, TOKEN_INFORMATION_CLASS what, std::vector<unsigned char>& out) {
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

bool CurrentUser(User& user) {
  HANDLE raw = nullptr;
  if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &raw) &&
      !::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw))
    return false;
  Handle token(raw);
  return TokenPart(raw, TokenUser, user.user) && TokenPart(raw, TokenOwner, user.owner);
}

bool IsSystem(PSID sid) { return ::IsWellKnownSid(sid, WinLocalSystemSid) != FALSE; }

// Why the open file `h` cannot be trusted; "" when it can.
std::string Distrust(HANDLE h, const std::string& file, User& user) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return NotTrusted(file, "nije obična datoteka");
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
    return NotTrusted(file, "je simbolička veza, a ne obična datoteka");
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  const DWORD err =
      ::GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                        &owner, nullptr, &dacl, nullptr, &sd);
  if (err != ERROR_SUCCESS) return CannotRead(file, err);
  std::unique_ptr<void, LocalFreer> hold(sd);
  if (owner == nullptr ||
      !(::EqualSid(owner, user.Sid()) || ::EqualSid(owner, user.DefaultOwner())))
    return NotTrusted(file, "nije vlasništvo korisnika koji pokreće program");
  const std::string fix = " Ostavite prava samo vlasniku: icacls \"" + file +
                          "\" /inheritance:r /grant:r \"%USERNAME%\":F";
  // No access list at all lets everyone in.
  if (dacl == nullptr)
    return NotTrusted(file, "mogu čitati ili mijenjati i drugi korisnici (bez popisa prava)") + fix;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(dacl, i, &ace)) continue;
    auto* header = static_cast<ACE_HEADER*>(ace);
    if (header->AceFlags & INHERIT_ONLY_ACE) continue;  // for files inside, not this one
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
      if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
      // An allowing entry of another kind (with a condition or for an object type) whose
      // subject this code does not read: not trusted rather than guessed.
      if (header->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE ||
          header->AceType == ACCESS_ALLOWED_OBJECT_ACE_TYPE ||
          header->AceType == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE)
        return NotTrusted(file, "ima prava koja se ne mogu provjeriti") + fix;
      continue;
    }
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    if ((allowed->Mask & kGuarded) == 0) continue;
    PSID who = &allowed->SidStart;
    if (::EqualSid(who, user.Sid()) || IsSystem(who)) continue;
    std::string name = "?";
    char* text = nullptr;
    if (::ConvertSidToStringSidA(who, &text)) {
      name = text;
      ::LocalFree(text);
    }
    return NotTrusted(file, "mogu čitati ili mijenjati i drugi korisnici (" + name + ")") + fix;
  }
  return {};
}

}  // namespace

namespace credentials {

// Reads the whole file after checking that it can be trusted. True with `exists` false when
// there is no file.
bool Load(const std::string& file, Secrets& secrets, bool& exists, std::string& problem) {
  secrets.clear();
  exists = false;
  User user;
  if (!CurrentUser(user)) {
    problem = CannotRead(file, ::GetLastError());
    return false;
  }
  // A link is opened as itself, never followed, so that it is told apart.
  Handle h(::CreateFileW(WideFromUtf8(file).c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ,
                         nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (h.get() == INVALID_HANDLE_VALUE) {
    const DWORD err = ::GetLastError();
    if (err == ERROR_FILE_NOT_FOUND) return true;
    // A directory cannot be opened as a file; a device name opens and is caught below.
    const DWORD attributes = ::GetFileAttributesW(WideFromUtf8(file).c_str());
    const bool folder =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    problem = folder ? NotTrusted(file, "nije obična datoteka") : CannotRead(file, err);
    return false;
  }
  problem = Distrust(h.get(), file, user);
  if (!problem.empty()) return false;
  exists = true;
  std::string text;
  char buf[4096];
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(h.get(), buf, sizeof buf, &n, nullptr)) {
      problem = CannotRead(file, ::GetLastError());
      return false;
    }
    if (n == 0) break;
    text.append(buf, n);
  }
  secrets = credentials::Parse(text);
  return true;
}

// Writes the whole file anew: a temporary beside it, created with the user's own access list,
// written, flushed to the disk and moved over the file with the move itself written through.
// The move keeps the temporary's access list. On failure the temporary is gone and the file
// as it was.
bool Store(const std::string& file, const Secrets& secrets, std::string& problem) {
  const std::string text = credentials::Compose(secrets, "icacls /inheritance:r");
  const std::wstring target = WideFromUtf8(file);
  const std::wstring temp = WideFromUtf8(file + ".tmp" + std::to_string(::GetCurrentProcessId()));
  auto failed = [&](const char* what, DWORD err) {
    ::DeleteFileW(temp.c_str());
    problem = "Datoteka s tajnim podacima " + file + " nije zapisana (" + what + ": " +
              SystemErrorText(err) + "); zaporka nije spremljena.";
    return false;
  };

  User user;
  if (!CurrentUser(user)) return failed("korisnik", ::GetLastError());
  // Full control for the user alone, owned by the user, nothing inherited from the folder.
  EXPLICIT_ACCESSW access{};
  access.grfAccessPermissions = GENERIC_ALL;
  access.grfAccessMode = SET_ACCESS;
  access.grfInheritance = NO_INHERITANCE;
  access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  access.Trustee.TrusteeType = TRUSTEE_IS_USER;
  access.Trustee.ptstrName = static_cast<LPWSTR>(user.Sid());
  PACL acl = nullptr;
  if (DWORD err = ::SetEntriesInAclW(1, &access, nullptr, &acl); err != ERROR_SUCCESS)
    return failed("SetEntriesInAcl", err);
  std::unique_ptr<void, LocalFreer> holdAcl(acl);
  SECURITY_DESCRIPTOR sd{};
  if (!::InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) ||
      !::SetSecurityDescriptorOwner(&sd, user.Sid(), FALSE) ||
      !::SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE) ||
      !::SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
    return failed("SECURITY_DESCRIPTOR", ::GetLastError());
  SECURITY_ATTRIBUTES sa{sizeof sa, &sd, FALSE};

  HANDLE raw = ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, &sa, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                             nullptr);
  if (raw == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_FILE_EXISTS) {
    // Left by a run of this process id that was killed: ours to replace.
    ::DeleteFileW(temp.c_str());
    raw = ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, &sa, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                        nullptr);
  }
  if (raw == INVALID_HANDLE_VALUE) return failed("CreateFile", ::GetLastError());
  {
    Handle h(raw);
    std::size_t off = 0;
    while (off < text.size()) {
      DWORD n = 0;
      if (!::WriteFile(raw, text.data() + off, static_cast<DWORD>(text.size() - off), &n, nullptr))
        return failed("WriteFile", ::GetLastError());
      off += n;
    }
    if (!::FlushFileBuffers(raw)) return failed("FlushFileBuffers", ::GetLastError());
  }
  if (!::MoveFileExW(temp.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return failed("MoveFileEx", ::GetLastError());
  return true;
}

}  // namespace credentials

}  // namespace verdan::platform
