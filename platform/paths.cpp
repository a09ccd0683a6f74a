#include "platform/paths.h"

#include <unistd.h>

#include <cctype>
#include <climits>

#include "platform/profile.h"

namespace verdan::platform {

std::string CurrentDirectory() {
  char buf[PATH_MAX];
  if (::getcwd(buf, sizeof buf) == nullptr) return {};
  return buf;
}

bool ChangeDirectory(const std::string& dir) { return !dir.empty() && ::chdir(dir.c_str()) == 0; }

std::string DriveRoot(char letter, const std::string& profileDir) {
  char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  std::string file = profileDir.empty() ? std::string("verdan.env") : profileDir + "/verdan.env";
  std::string mapped = GetProfileString("Diskovi", std::string(1, upper), "", file);
  while (mapped.size() > 1 && mapped.back() == '/') mapped.pop_back();
  if (!mapped.empty()) return mapped;
  return std::string("/mnt/") +
         static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
}

std::string NativePath(const std::string& path, const std::string& profileDir) {
  std::string rest = path;
  std::string root;
  if (path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]))) {
    root = DriveRoot(path[0], profileDir);
    rest = path.substr(2);
    if (rest.empty() || (rest[0] != '\\' && rest[0] != '/')) rest = "/" + rest;
  }
  for (char& c : rest)
    if (c == '\\') c = kSeparator;
  if (rest == "/" && !root.empty()) return root + "/";
  return root + rest;
}

bool EndsWithSeparator(const std::string& path) {
  return !path.empty() && (path.back() == kSeparator || path.back() == '\\');
}

}  // namespace verdan::platform
