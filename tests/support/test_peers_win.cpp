// Windows build under its emulator: the peers are the Linux side's programs (the Python
// servers), started there through /bin/sh, which writes the server's process number first so
// that it can be stopped by the same signals as in the POSIX build.
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <random>

#include "platform/wide.h"
#include "support/temp_dir.h"
#include "support/test_peers.h"
#include "support/wait.h"

namespace verdan::testing {
namespace {

bool Exists(const std::string& path) {
  return std::filesystem::exists(std::filesystem::path(platform::WideFromUtf8(path)));
}

std::string UniqueTempFile() {
  wchar_t base[MAX_PATH + 1] = {};
  ::GetTempPathW(MAX_PATH + 1, base);
  std::random_device random;
  return platform::Utf8FromWide(base) + "verdan-peer-" + std::to_string(random()) + ".pid";
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv) : pidFile_(UniqueTempFile()) {
  // A shell that starts the server in the background, writes its number and ends at once,
  // leaving the server running; the server's output goes to the null device (the tests read
  // the files it writes).
  std::vector<std::string> sh{"/bin/sh", "-c",
                              "p=$1; shift; (exec \"$@\" </dev/null >/dev/null 2>&1) &\n"
                              "echo $! >\"$p.new\" && mv \"$p.new\" \"$p\"",
                              "sh", pidFile_};
  sh.insert(sh.end(), argv.begin(), argv.end());
  RunProcess(sh, "", {}, 30);
  if (WaitFor([&] { return Exists(pidFile_); }, std::chrono::seconds(10)))
    pid_ = static_cast<pid_t>(std::atoi(ReadFile(pidFile_).c_str()));
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    // SIGTERM, then at most five seconds (fifty polls) before SIGKILL.
    RunProcess({"/bin/sh", "-c",
                "kill -TERM $0 2>/dev/null; i=0\n"
                "while kill -0 $0 2>/dev/null && [ $i -lt 50 ]; do sleep 0.1; i=$((i+1)); done\n"
                "kill -KILL $0 2>/dev/null; true",
                std::to_string(pid_)},
               "/", {}, 30);
  }
  std::error_code ec;
  std::filesystem::remove(std::filesystem::path(platform::WideFromUtf8(pidFile_)), ec);
}

std::string ChildProcess::ReadyFile(const std::string& path, int seconds) const {
  if (!WaitFor([&] { return Exists(path); }, std::chrono::seconds(seconds))) return {};
  return ReadFile(path);
}

}  // namespace verdan::testing
