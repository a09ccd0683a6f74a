#include "support/smtp_server.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/temp_dir.h"

namespace verdan::testing {

using namespace std::chrono_literals;

SmtpServerProcess::SmtpServerProcess(const std::string& outdir, const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {"/usr/bin/python3",
                                   std::string(VERDAN_SOURCE_DIR) + "/tests/cli/smtp_server.py", outdir};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  pid_ = ::fork();
  if (pid_ == 0) {
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  const std::string portFile = outdir + "/port";
  for (int i = 0; i < 200 && ::access(portFile.c_str(), F_OK) != 0; ++i) std::this_thread::sleep_for(50ms);
  if (::access(portFile.c_str(), F_OK) == 0) port_ = ReadFile(portFile);
}

SmtpServerProcess::~SmtpServerProcess() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 100; ++i) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) return;
    std::this_thread::sleep_for(50ms);
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &status, 0);
}

}  // namespace verdan::testing
