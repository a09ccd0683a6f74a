#include "support/temp_dir.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/paths.h"

namespace verdan::testing {
namespace {

// In a forked child: enters `cwd`, adds `env` and runs `argv`; never returns (126 when the
// directory cannot be entered, 127 when the program cannot be run).
[[noreturn]] void ExecInChild(const std::vector<std::string>& argv, const std::string& cwd,
                              const std::vector<std::string>& env) {
  if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
  for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  ::execv(args[0], args.data());
  ::_exit(127);
}

}  // namespace

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "verdan-test-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

ScopedCwd::ScopedCwd(const std::string& dir) : previous_(platform::CurrentDirectory()) {
  platform::ChangeDirectory(dir);
}
ScopedCwd::~ScopedCwd() { platform::ChangeDirectory(previous_); }

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& cwd,
                         const std::vector<std::string>& env, int timeoutSeconds,
                         const std::string& input) {
  ProcessResult result;
  int outPipe[2], errPipe[2], inPipe[2] = {-1, -1};
  if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) return result;
  if (!input.empty() && ::pipe2(inPipe, O_CLOEXEC) != 0) return result;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(outPipe[1], 1);
    ::dup2(errPipe[1], 2);
    ::dup2(input.empty() ? ::open("/dev/null", O_RDONLY) : inPipe[0], 0);
    ExecInChild(argv, cwd, env);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  if (!input.empty()) {
    // A few lines fit the pipe's buffer: written whole before the output is read.
    ::close(inPipe[0]);
    if (::write(inPipe[1], input.data(), input.size()) < 0) result.err = "input not written\n";
    ::close(inPipe[1]);
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  bool outOpen = true, errOpen = true, killed = false;
  while (outOpen || errOpen) {
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::kill(pid, SIGKILL);
      killed = true;
      break;
    }
    ::poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 1000)));
    char buf[65536];
    for (int i = 0; i < 2; ++i) {
      bool& open = i == 0 ? outOpen : errOpen;
      if (!open || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n <= 0)
        open = false;
      else
        (i == 0 ? result.out : result.err).append(buf, static_cast<std::size_t>(n));
    }
  }
  ::close(outPipe[0]);
  ::close(errPipe[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (killed)
    result.status = 128 + SIGKILL;
  else if (WIFEXITED(status))
    result.status = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    result.status = 128 + WTERMSIG(status);
  return result;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv, const std::string& cwd,
                                     const std::vector<std::string>& env) {
  pid_t pid = ::fork();
  if (pid == 0) {
    int devnull = ::open("/dev/null", O_RDWR);
    for (int fd : {0, 1, 2}) ::dup2(devnull, fd);
    ExecInChild(argv, cwd, env);
  }
  started_ = pid > 0;
  id_ = pid;
}

BackgroundProcess::~BackgroundProcess() {
  if (started_ && !waited_) {
    Kill();
    Wait();
  }
}

void BackgroundProcess::Kill() {
  if (started_ && !waited_) ::kill(static_cast<pid_t>(id_), SIGKILL);
}

int BackgroundProcess::Wait() {
  if (!started_ || waited_) return status_;
  int status = 0;
  ::waitpid(static_cast<pid_t>(id_), &status, 0);
  waited_ = true;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return status_;
}

std::string HostPath(const std::string& path) { return path; }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

ProcessResult Verdan(const std::string& cwd, const std::vector<std::string>& args,
                     int timeoutSeconds) {
  std::vector<std::string> argv{VERDAN_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProcess(argv, cwd, {}, timeoutSeconds);
}

}  // namespace verdan::testing
