// Windows: drive letters and "\" are the system's own; only "/" is turned into "\".
#include <windows.h>

#include <cctype>

#include "platform/paths.h"
#include "platform/wide.h"

namespace verdan::platform {

std::string CurrentDirectory() {
  DWORD n = ::GetCurrentDirectoryW(0, nullptr);
  if (n == 0) return {};
  std::wstring buf(n, L'\0');
  n = ::GetCurrentDirectoryW(n, buf.data());
  if (n == 0 || n >= buf.size()) return {};
  buf.resize(n);
  return Utf8FromWide(buf);
}

bool ChangeDirectory(const std::string& dir) {
  return !dir.empty() && ::SetCurrentDirectoryW(WideFromUtf8(dir).c_str()) != 0;
}

std::string DriveRoot(char letter, const std::string&) {
  return std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(letter)))) + ":";
}

bool DriveLetterMapped(char, const std::string&) { return false; }

std::vector<std::string> RemovableDiskMounts(const std::string&) { return {}; }

std::string NativePath(const std::string& path, const std::string&) {
  std::string out = path;
  for (char& c : out)
    if (c == '/') c = kSeparator;
  // "d:" and "d:NAME" name the disk's root and a name in it, as the program's users write
  // them, not the current directory of that disk.
  if (out.size() >= 2 && out[1] == ':' && std::isalpha(static_cast<unsigned char>(out[0])) &&
      (out.size() == 2 || out[2] != kSeparator))
    out.insert(2, 1, kSeparator);
  return out;
}

bool EndsWithSeparator(const std::string& path) {
  return !path.empty() && (path.back() == '\\' || path.back() == '/');
}

}  // namespace verdan::platform
