// A temporary directory for a test, removed with everything in it at the end; and a helper
// that runs the verdan binary as a child process.
#pragma once

#include <string>
#include <vector>

#include "support/zip_peer.h"  // the other tools' view of an archive, beside these helpers

namespace verdan::testing {

// `path` with the system's own separators, as the program composes paths: on Windows every
// "/" becomes "\\"; elsewhere it is unchanged.
inline std::string Native(std::string path) {
#ifdef _WIN32
  for (char& c : path)
    if (c == '/') c = '\\';
#endif
  return path;
}

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // `name` (which may hold "/") inside the directory, with the system's separators.
  std::string File(const std::string& name) const { return Native(path_ + "/" + name); }

 private:
  std::string path_;
};

// Makes `dir` the current directory for the life of the object.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string& dir);
  ~ScopedCwd();

 private:
  std::string previous_;
};

struct ProcessResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Runs `argv` (argv[0] is the program path) in `cwd` with standard input from /dev/null,
// extra environment entries "NAME=value", and a time limit in seconds after which the child
// is killed.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& cwd,
                         const std::vector<std::string>& env = {}, int timeoutSeconds = 60);

// Runs the verdan program built with the tests, with `args`, in `cwd`.
ProcessResult Verdan(const std::string& cwd, const std::vector<std::string>& args,
                     int timeoutSeconds = 120);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

}  // namespace verdan::testing
