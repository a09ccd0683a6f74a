// A temporary directory for a test, removed with everything in it at the end; and a helper
// that runs the verdan binary as a child process.
#pragma once

#include <string>
#include <vector>

namespace verdan::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

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

// The entry names of a ZIP archive as Python's zipfile reads them, sorted and joined by spaces
// with a closing newline, once zipfile has tested every entry's CRC; else a text saying why.
std::string ZipEntryNames(const std::string& archive);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

}  // namespace verdan::testing
