#include "support/test_peers.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "support/temp_dir.h"
#include "support/wait.h"

namespace verdan::testing {

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
  pid_ = ::fork();
  if (pid_ == 0) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
}

ChildProcess::~ChildProcess() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  if (WaitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, std::chrono::seconds(5)))
    return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &status, 0);
}

std::string ChildProcess::ReadyFile(const std::string& path, int seconds) const {
  if (!WaitFor([&] { return ::access(path.c_str(), F_OK) == 0; }, std::chrono::seconds(seconds)))
    return {};
  return ReadFile(path);
}

}  // namespace verdan::testing
