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

// Runs `argv` (argv[0] is the program path) in `cwd` with standard input from /dev/null (or
// `input`, a few lines at most), extra environment entries "NAME=value", and a time limit in
// seconds after which the child is killed. In the Windows build a program named by an absolute
// Linux path other than an .exe is one of the machine's own tools (Python, zip): it is run on the
// Linux side of the emulator, with every argument that is a Windows path given as HostPath.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& cwd,
                         const std::vector<std::string>& env = {}, int timeoutSeconds = 60,
                         const std::string& input = {});

// A program started in the background, its standard streams on the null device, for tests
// that end it from outside at a moment of their choosing. The object waits for it when it goes
// (killing it first if it still runs). In the Windows build it starts Windows programs only.
class BackgroundProcess {
 public:
  BackgroundProcess(const std::vector<std::string>& argv, const std::string& cwd,
                    const std::vector<std::string>& env = {});
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;
  bool started() const { return started_; }
  // Ends it at once: SIGKILL, or on Windows TerminateProcess with the status a kill gives.
  void Kill();
  // Waits for it to end; its status as RunProcess gives it (-1 when it never started).
  int Wait();

 private:
  bool started_ = false;
  bool waited_ = false;
  int status_ = -1;
  long long id_ = 0;  // the process number, or on Windows the process handle
};

// A status of RunProcess or BackgroundProcess::Wait for a process killed from outside.
constexpr int kKilledStatus = 128 + 9;

// `path` as programs of the machine the tests run on see it: the same path, except in the
// Windows build under its emulator, where a Windows path is given as the Linux path behind it
// (for the Python scripts and tools the tests use as peers and checkers).
std::string HostPath(const std::string& path);

// Runs the verdan program built with the tests, with `args`, in `cwd`.
ProcessResult Verdan(const std::string& cwd, const std::vector<std::string>& args,
                     int timeoutSeconds = 120);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

}  // namespace verdan::testing
