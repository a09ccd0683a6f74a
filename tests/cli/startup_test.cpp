// How the program starts: the commands start no thread they do not use (the socket layer's
// only for a send), and the windows come from a module of their own: the program opens them
// from the module beside it, and a program without it, or with one that cannot be loaded,
// says so and exits 2 without touching the working directory.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace verdan {
namespace {

namespace fs = std::filesystem;
using testing::ProcessResult;
using testing::ReadFile;
using testing::RunProcess;
using testing::TempDir;

#ifndef _WIN32  // the threads are counted in a Linux system call trace (strace)
constexpr const char* kStrace = "/usr/bin/strace";

// The threads `args` starts, as the system call trace sees them: the clone calls that make a
// thread (CLONE_THREAD) rather than a process. -1 when the trace could not be made.
int ThreadsStarted(const TempDir& dir, const std::vector<std::string>& args) {
  const std::string trace = dir.File("trace");
  std::vector<std::string> argv = {kStrace, "-f",  "-qq",        "-e", "trace=clone,clone3",
                                   "-o",    trace, VERDAN_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessResult r = RunProcess(argv, dir.path(), {}, 60);
  if (!fs::exists(trace)) return -1;
  const std::string text = ReadFile(trace);
  fs::remove(trace);
  int threads = 0;
  for (std::size_t at = 0; (at = text.find("CLONE_THREAD", at)) != std::string::npos; ++at)
    ++threads;
  return threads;
}

TEST(Startup, CommandsStartNoThreadTheyDoNotUse) {
  if (::access(kStrace, X_OK) != 0) GTEST_SKIP() << "strace is not installed";
  TempDir dir;
  // A send starts the socket layer and its threads: the trace sees them (here the send
  // fails at once, on a port where nothing listens).
  const int sendThreads =
      ThreadsStarted(dir, {"send", "--server", "127.0.0.1", "--port", "1", "--retry-pauses", "0"});
  if (sendThreads < 0) GTEST_SKIP() << "the system does not let strace trace a child";
  EXPECT_GE(sendThreads, 1);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--version"}, {"--help"}, {"log"}, {"list", "definitions"}, {"settings"}}) {
    EXPECT_EQ(ThreadsStarted(dir, args), 0) << args.front();
  }
}
#endif

// A copy of the program alone in a directory of its own: its module is neither beside it nor
// in the library directory next to it.
class WithoutTheWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_.File("bin"));
    fs::create_directories(work_);
#ifdef _WIN32
    program_ = dir_.File("bin/verdan.exe");
#else
    program_ = dir_.File("bin/verdan");
#endif
    fs::copy_file(VERDAN_BINARY, program_);
  }
  ProcessResult Open() { return RunProcess({program_}, work_, {"QT_QPA_PLATFORM=offscreen"}, 60); }

  TempDir dir_;
  std::string work_ = dir_.File("podaci");
  std::string program_;
};

#ifdef _WIN32
constexpr const char* kModule = "verdan-gui.dll";
#else
constexpr const char* kModule = "verdan-gui.so";
#endif

TEST_F(WithoutTheWindows, TheProgramSaysSoAndExitsTwoWhileTheCommandsWork) {
  ProcessResult missing = Open();
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find(std::string("prozori nisu instalirani (nema modula ") + kModule),
            std::string::npos)
      << missing.err;
  EXPECT_NE(missing.err.find("verdan backup dest"), std::string::npos) << missing.err;

  // A module that cannot be loaded (as when the desktop libraries it needs are missing): the
  // loader's reason is told beside the program's own words.
  verdan::testing::WriteFile(dir_.File(std::string("bin/") + kModule), "nije modul");
  ProcessResult broken = Open();
  EXPECT_EQ(broken.status, 2);
  EXPECT_NE(broken.err.find("prozori se ne mogu otvoriti: nedostaju biblioteke za prozore"),
            std::string::npos)
      << broken.err;
  EXPECT_NE(broken.err.find(testing::Native(dir_.File("bin")) + "/" + kModule + ": "),
            std::string::npos)
      << broken.err;
  EXPECT_TRUE(fs::is_empty(work_));  // nothing created in the working directory

  // The commands need no module.
  ProcessResult settings = RunProcess({program_, "settings", "--naming", "mix"}, work_);
  EXPECT_EQ(settings.status, 1) << settings.err;  // the first start reports the empty record
  EXPECT_NE(settings.out.find("TIP_ARH=mix\n"), std::string::npos) << settings.out;
}

#ifndef _WIN32  // the windows are built for the POSIX build; the test ends the program with SIGTERM
// The program built with the tests finds the module built beside it and opens its windows:
// the main frame opens the program's tables in the working directory. A termination signal
// then ends it as it ends any run.
TEST(Startup, TheProgramOpensItsWindowsFromTheModuleBesideIt) {
  if (!VERDAN_WITH_GUI) GTEST_SKIP() << "built without the windows";
  TempDir dir;
  std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen"};
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "QT_QPA_PLATFORM=", 16) != 0) env.push_back(*e);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string program = VERDAN_BINARY;
  char* argv[] = {program.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, dir.path().c_str());
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data()), 0);
  posix_spawn_file_actions_destroy(&actions);
  bool opened = false;
  for (int i = 0; i < 300 && !opened; ++i) {  // at most 30 s
    opened = fs::exists(dir.File("PEMAIL.TPS"));
    if (!opened) ::usleep(100 * 1000);
  }
  ::kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(opened) << "the windows did not open their tables";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
}
#endif

}  // namespace
}  // namespace verdan
