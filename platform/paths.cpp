#include "platform/paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/profile.h"

namespace verdan::platform {

std::string CurrentDirectory() {
  char buf[PATH_MAX];
  if (::getcwd(buf, sizeof buf) == nullptr) return {};
  return buf;
}

bool ChangeDirectory(const std::string& dir) { return !dir.empty() && ::chdir(dir.c_str()) == 0; }

namespace {

std::string MappedRoot(char letter, const std::string& profileDir) {
  char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  std::string file = profileDir.empty() ? std::string("verdan.env") : profileDir + "/verdan.env";
  std::string mapped = GetProfileString("Diskovi", std::string(1, upper), "", file);
  while (mapped.size() > 1 && mapped.back() == '/') mapped.pop_back();
  return mapped;
}

// A mount table field: "\040" and the like stand for blanks and other bytes.
std::string Unescape(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() &&
        std::isdigit(static_cast<unsigned char>(field[i + 1]))) {
      out += static_cast<char>(std::strtol(field.substr(i + 1, 3).c_str(), nullptr, 8));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

std::string UserName() {
  if (const passwd* pw = ::getpwuid(::geteuid())) return pw->pw_name;
  const char* user = std::getenv("USER");
  return user ? user : "";
}

}  // namespace

std::string DriveRoot(char letter, const std::string& profileDir) {
  std::string mapped = MappedRoot(letter, profileDir);
  if (!mapped.empty()) return mapped;
  return std::string("/mnt/") + static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
}

bool DriveLetterMapped(char letter, const std::string& profileDir) {
  return !MappedRoot(letter, profileDir).empty();
}

std::vector<std::string> RemovableDiskMounts(const std::string& mountTable) {
  std::vector<std::string> found;
  const std::string user = UserName();
  if (user.empty()) return found;
  const std::string roots[] = {"/media/" + user + "/", "/run/media/" + user + "/"};
  std::ifstream in(mountTable);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string device, mount;
    if (!(fields >> device >> mount)) continue;
    mount = Unescape(mount);
    for (const std::string& root : roots) {
      // One level below the user's media directory, as desktops mount a disk by its label.
      if (mount.size() > root.size() && mount.rfind(root, 0) == 0 &&
          mount.find('/', root.size()) == std::string::npos) {
        bool seen = false;
        for (const std::string& f : found) seen = seen || f == mount;
        if (!seen) found.push_back(mount);
      }
    }
  }
  return found;
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
