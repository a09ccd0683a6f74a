// Paths: composition with the native separator, the current directory, and drive letters.
//
// The program was written for drive-letter paths with "\". On Windows they are what they
// say. Elsewhere a drive letter maps to a mount root: section [Diskovi] of verdan.env in the
// working directory (E=/media/usb), or else /mnt/<letter in lower case>. Paths are UTF-8 on
// every system. Functions are thread-safe except that the current directory is process-wide.
#pragma once

#include <string>
#include <vector>

namespace verdan::platform {

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

// True when `path` names its place without the current directory: "/..." here; on Windows
// "C:\...", "\\server\share\..." or "\..." (either slash).
inline bool IsAbsolutePath(const std::string& path) {
#ifdef _WIN32
  if (path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) return true;
  return !path.empty() && (path[0] == '\\' || path[0] == '/');
#else
  return !path.empty() && path[0] == '/';
#endif
}

// Where the last separator of `path` stands (on Windows either slash), npos when none.
inline std::string::size_type LastSeparator(const std::string& path) {
#ifdef _WIN32
  return path.find_last_of("\\/");
#else
  return path.rfind('/');
#endif
}

// The current working directory (empty if it cannot be read).
std::string CurrentDirectory();
// Makes `dir` current; false when it cannot.
bool ChangeDirectory(const std::string& dir);

// The directory a drive letter stands for, without a closing separator ("E:" on Windows).
// `profileDir` is where verdan.env is looked for (empty: the current directory).
std::string DriveRoot(char letter, const std::string& profileDir = {});

// True when section [Diskovi] of verdan.env names a directory for the letter (never on
// Windows, where a letter needs no mapping).
bool DriveLetterMapped(char letter, const std::string& profileDir = {});

// The removable disks mounted for the current user the way desktops mount them
// (/media/<user>/<label>, /run/media/<user>/<label>), from the mount table, in its order.
// None on Windows: a removable disk there has its own letter, which the user names.
std::vector<std::string> RemovableDiskMounts(const std::string& mountTable = "/proc/self/mounts");

// Converts a path written with a drive letter and "\" ("E:\PETAK.zip", "d:") to a native
// path; other paths have "\" turned into the separator.
std::string NativePath(const std::string& path, const std::string& profileDir = {});

// True when the path ends in the separator.
bool EndsWithSeparator(const std::string& path);

}  // namespace verdan::platform
