// The program run as its users run it, for the tests of its commands: a source directory
// with data files and settings, a destination and a removable disk, and the helpers that
// look at what a run left behind.
#pragma once

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <regex>
#include <thread>
#include <tuple>

#include "platform/process.h"
#include "support/temp_dir.h"

#ifndef _WIN32
extern char** environ;
#endif

namespace verdan::testing::commands {

namespace fs = std::filesystem;
using verdan::testing::ProcessResult;
using verdan::testing::ReadFile;
using verdan::testing::RunProcess;
using verdan::testing::TempDir;
using verdan::testing::WriteFile;

using verdan::testing::Verdan;

// A path for the Python scripts and tools the tests run (the Linux path behind a Windows one
// in the Windows build under its emulator).
using verdan::testing::HostPath;
using verdan::testing::Native;

inline std::vector<std::string> Zips(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().extension() == ".zip") out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

inline std::string Noise(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  std::mt19937 rng(seed);
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

// Names beginning with "." in a directory: temporaries, journals, kept originals.
inline std::vector<std::string> Hidden(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().filename().string()[0] == '.') out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

inline std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

// Writes a ZIP archive with Python's zipfile: entries in the order given.
inline void MakeZip(const std::string& path,
                    const std::vector<std::pair<std::string, std::string>>& entries) {
  std::string script =
      "import sys,zipfile\nz=zipfile.ZipFile(sys.argv[1],'w',zipfile.ZIP_DEFLATED)\n";
  std::vector<std::string> argv{"/usr/bin/python3", "-c", "", path};
  for (std::size_t i = 0; i < entries.size(); ++i) {
    script += "z.writestr(sys.argv[" + std::to_string(2 + 2 * i) + "],open(sys.argv[" +
              std::to_string(3 + 2 * i) + "],'rb').read())\n";
  }
  script += "z.close()\n";
  argv[2] = script;
  TempDir scratch;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    std::string file = scratch.File(std::to_string(i));
    WriteFile(file, entries[i].second);
    argv.push_back(entries[i].first);
    argv.push_back(file);
  }
  ProcessResult r = RunProcess(argv, scratch.path());
  ASSERT_EQ(r.status, 0) << r.err;
}

// Runs a Python script with arguments; the test fails when it does.
inline void Python(const std::string& script, std::vector<std::string> args) {
  std::vector<std::string> argv{"/usr/bin/python3", "-c", script};
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessResult r = RunProcess(argv, "/");
  ASSERT_EQ(r.status, 0) << r.err;
}

// Archive headers written by hand, for archives no ZIP tool would make.
constexpr const char* kZipHeaders =
    "import struct,sys,zlib\n"
    "def local(name,crc,comp,size,method=0,extra=b''):\n"
    "  return struct.pack('<IHHHHHIIIHH',0x04034b50,45,0,method,0,0x21,crc,comp,size,len(name),"
    "len(extra))+name+extra\n"
    "def central(name,crc,comp,size,off,method=0,extra=b''):\n"
    "  return struct.pack('<IHHHHHHIIIHHHHHII',0x02014b50,45,45,0,method,0,0x21,crc,comp,size,"
    "len(name),len(extra),0,0,0,0,off)+name+extra\n"
    "def end(n,cd,off):\n"
    "  return struct.pack('<IHHHHIIH',0x06054b50,0,0,n,n,len(cd),off,0)\n";

#ifndef _WIN32
// Runs `script` with /bin/sh in a mount namespace of its own, where it may mount small file
// systems over directories of the test; nothing when this system does not allow that.
// The script's $0, $1, ... are `args`.
inline std::optional<ProcessResult> InOwnMounts(const std::string& script,
                                                const std::vector<std::string>& args) {
  ProcessResult probe = RunProcess({"/usr/bin/unshare", "-rm", "/bin/sh", "-c",
                                    "mount -t tmpfs -o size=64k tmpfs \"$0\"", "/mnt"},
                                   "/");
  if (probe.status != 0) return std::nullopt;
  std::vector<std::string> argv{"/usr/bin/unshare", "-rm", "/bin/sh", "-c", script};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProcess(argv, "/");
}

// Starts verdan with `args` in `cwd` and sends `sig` once a non-empty file whose name begins
// with `prefix` appears in `watch`. Returns the wait status, or -1 if no such file appeared.
inline int SignalWhileWriting(const std::string& cwd, const std::vector<std::string>& args,
                              const std::string& watch, const std::string& prefix, int sig) {
  std::string bin = VERDAN_BINARY;
  std::vector<char*> argv{bin.data()};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  if (posix_spawn(&pid, bin.c_str(), &actions, nullptr, argv.data(), environ) != 0) return -1;
  posix_spawn_file_actions_destroy(&actions);
  bool seen = false;
  for (int i = 0; i < 2000 && !seen; ++i) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(watch, ec))
      if (e.path().filename().string().rfind(prefix, 0) == 0 && fs::file_size(e.path(), ec) > 0)
        seen = true;
    if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ::kill(pid, seen ? sig : SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return seen ? status : -1;
}

#endif

// Whether a file whose name begins with `prefix` and that holds something is in `dir`.
inline bool Writing(const std::string& dir, const std::string& prefix) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec))
    if (e.path().filename().string().rfind(prefix, 0) == 0 && fs::file_size(e.path(), ec) > 0 &&
        !ec)
      return true;
  return false;
}

// Starts verdan with `args` in `cwd` and kills it (SIGKILL; TerminateProcess on Windows) once
// a non-empty file whose name begins with `prefix` appears in `watch`. Returns its status
// (kKilledStatus), or -1 if no such file appeared.
inline int KillWhileWriting(const std::string& cwd, const std::vector<std::string>& args,
                            const std::string& watch, const std::string& prefix) {
  std::vector<std::string> argv{VERDAN_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  verdan::testing::BackgroundProcess run(argv, cwd);
  if (!run.started()) return -1;
  bool seen = false;
  for (int i = 0; i < 2000 && !(seen = Writing(watch, prefix)); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  run.Kill();
  const int status = run.Wait();
  return seen ? status : -1;
}

// A process number that belongs to no running process.
inline pid_t DeadProcess() {
  for (pid_t p = 4194000; p > 1000; --p)
    if (verdan::platform::StateOf({p, 0, ""}) == verdan::platform::ProcessState::kEnded) return p;
  return 0;
}

class BackupCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    work = dir.File("podaci");
    dest = dir.File("odrediste");
    usb = dir.File("usb");
    for (const auto& d : {work, dest, usb}) fs::create_directories(d);
    WriteFile(work + "/ARHIVE.TPS", std::string(30000, 'a') + Noise(5000, 1));
    WriteFile(work + "/kupci.tps", Noise(20000, 2));
    WriteFile(work + "/napomena.txt", "ne arhivira se");
    WriteFile(work + "/verdan.env", "[Diskovi]\nE=" + usb + "\n");
    ProcessResult set = Verdan(work, {"settings", "--source", work, "--dest", dest + "/"});
    ASSERT_EQ(set.out.find("ZAVDIR=" + dest + "/"), set.out.find("ZAVDIR="));
  }

  TempDir dir;
  std::string work, dest, usb;
};

}  // namespace verdan::testing::commands
