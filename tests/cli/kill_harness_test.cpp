// Kills backups and restores at many points and checks what the next start finds:
//
// - at every step that makes a file durable or moves it (each fsync, rename, link, unlink,
//   counted through the file port's fault-injecting double in a forked child that kills
//   itself there), and at random moments of `verdan restore` and `verdan backup` run as programs;
// - a restore leaves the working files all as they were or all restored, never a mix, and
//   after the next start no temporary, kept original or journal is left;
// - a backup leaves the previous archive or the new one, each whole, and the next start
//   leaves no temporary;
// - archives with one byte changed at random never write outside the target, never replace
//   some files and not others, and leave nothing behind;
// - a data file rewritten again and again while backups run is never archived torn: each
//   run keeps one state of it, or fails naming it with the previous archive untouched.
//
// The counts are printed. CI runs a short round; `make soak` sets VERDAN_SOAK=1 for the long
// one (at least 50 kills of each kind, 1200 changed archives and 60 backups of a changing file).
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <thread>

#include "app/program.h"
#include "archive/archive_runs.h"
#include "platform/files.h"
#include "platform/text.h"
#include "support/scripted_ui.h"
#include "support/temp_dir.h"
#include "support/wait.h"
#include "zip/temporaries.h"
#include "zip/zip_component.h"

#ifndef _WIN32
extern char** environ;
#endif

namespace {

namespace fs = std::filesystem;
using verdan::platform::FileStep;
using verdan::testing::Native;
using verdan::testing::ProcessResult;
using verdan::testing::ReadFile;
using verdan::testing::RunProcess;
using verdan::testing::TempDir;
using verdan::testing::WriteFile;

bool Soak() { return std::getenv("VERDAN_SOAK") != nullptr; }

std::string Noise(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  std::mt19937 rng(seed);
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

using verdan::testing::Verdan;

// Every file under `dir` whose name begins with ".": temporaries, kept originals, journals.
std::vector<std::string> Leftovers(const std::string& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec))
    if (it->path().filename().string()[0] == '.') out.push_back(it->path().string());
  return out;
}

#ifndef _WIN32  // the kills at every step run the library in a forked child
// The double's decision in a forked child: counts the steps and kills the process at the
// chosen one.
std::atomic<int> gSteps{0};
int gKillAt = 0;
int KillAtStep(FileStep, const char*) {
  if (++gSteps == gKillAt) ::raise(SIGKILL);
  return 0;
}

// Kills the process as it is about to rename the third file over a working name (not a
// temporary, kept original or journal, whose names begin with ".").
std::atomic<int> gWorkingRenames{0};
int KillAtThirdWorkingRename(FileStep step, const char* path) {
  std::string p = path;
  if (step == FileStep::kRename && p.find("/.") == std::string::npos && ++gWorkingRenames == 3)
    ::raise(SIGKILL);
  return 0;
}

// Puts the file port's fault-injecting double in place for the rest of a forked child's life:
// `decide` is asked before every file step.
void UseSteps(int (*decide)(FileStep, const char*)) {
  auto* steps = new verdan::platform::FaultyFileSteps(
      [decide](FileStep step, const std::string& path) { return decide(step, path.c_str()); });
  new verdan::platform::ScopedFileSteps(*steps);  // never undone: the child ends with it
}

// Runs `work` in a forked child that dies at step `killAt` (never for 0). Returns the wait
// status; a child that finished exits with the number of steps it took (at most 250).
template <class Work>
int InChild(int killAt, Work work) {
  pid_t pid = ::fork();
  if (pid == 0) {
    gSteps = 0;
    gKillAt = killAt;
    UseSteps(KillAtStep);
    work();
    ::_exit(std::min(gSteps.load(), 250));
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

#endif

// Starts verdan, kills it after `delay` (SIGKILL; TerminateProcess on Windows), returns its
// status (kKilledStatus when the kill ended it).
int KillAfter(const std::string& cwd, const std::vector<std::string>& args,
              std::chrono::microseconds delay) {
  std::vector<std::string> argv{VERDAN_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  verdan::testing::BackgroundProcess run(argv, cwd);
  if (!run.started()) return -1;
  std::this_thread::sleep_for(delay);
  run.Kill();
  return run.Wait();
}

class KillHarness : public ::testing::Test {
 protected:
  void SetUp() override {
    work = dir.File("podaci");
    dest = dir.File("arhive");
    fs::create_directories(work);
    fs::create_directories(dest);
    // The working files as they are, and as the archive holds them; the archive also adds a
    // file and one in a directory of its own.
    for (int i = 0; i < 4; ++i) {
      std::string name = "f" + std::to_string(i) + ".tps";
      oldFiles[name] = Noise((i + 1) << 19, 100 + i);
      newFiles[name] = Noise((i + 1) << 19, 200 + i);
    }
    newFiles["dodana.tps"] = Noise(300000, 300);
    newFiles["mapa/unutra.tps"] = Noise(200000, 301);
    fs::create_directories(dir.File("izvor/mapa"));
    for (const auto& [name, bytes] : newFiles) WriteFile(dir.File("izvor/" + name), bytes);
    ASSERT_EQ(RunProcess({"/usr/bin/zip", "-q", "-r", archive(), "."}, dir.File("izvor")).status,
              0);
    ResetWork();
    // The first start reports the new settings record (status 1); the settings are stored.
    ProcessResult set = Verdan(work, {"settings", "--source", work, "--dest", dest + "/"});
    ASSERT_NE(set.out.find("ZAVDIR=" + dest + "/\n"), std::string::npos) << set.err;
  }

  std::string archive() const { return dir.File("nova.zip"); }

  void ResetWork() {
    fs::remove_all(work + "/mapa");
    fs::remove(work + "/dodana.tps");
    for (const auto& [name, bytes] : oldFiles) WriteFile(work + "/" + name, bytes);
  }

  // "old", "new" or "mixed: ..." for the working files.
  std::string RestoreState() {
    bool allOld = !fs::exists(work + "/dodana.tps") && !fs::exists(work + "/mapa");
    bool allNew = true;
    std::string why;
    for (const auto& [name, bytes] : oldFiles) {
      std::string now = ReadFile(work + "/" + name);
      if (now != bytes) allOld = false;
      if (now != newFiles[name]) allNew = false;
      if (now != bytes && now != newFiles[name]) why += name + " damaged; ";
    }
    for (const char* added : {"dodana.tps", "mapa/unutra.tps"})
      if (ReadFile(work + "/" + added) != newFiles[added]) allNew = false;
    if (allOld) return "old";
    if (allNew) return "new";
    return "mixed: " + why;
  }

  // The library's restore, as `verdan restore --yes` runs it.
  void RestoreInProcess(const std::string& from) {
    verdan::archive::ZipComponent zip;
    zip.LSUZ_ZIPNAME(from);
    zip.LSUZ_INCLUDE("*.tps");
    zip.LSUZ_EXTRACTTO(work);
    zip.LSUZ_PASSWORD("381");
    lastResult = zip.LSUZ_EXECUTE(3, 2);
    zip.LSUZ_RESET();
  }

  // The next start: a restore run, whose first step repairs; its warning is declined.
  void NextStartOfRestore() { Verdan(work, {"restore", archive()}); }

  // Checks one killed restore after the next start; counts it.
  void CheckRestore(const std::string& what) {
    ++restoreTried;
    NextStartOfRestore();
    std::string state = RestoreState();
    std::vector<std::string> left = Leftovers(work);
    bool held = state.rfind("mixed", 0) != 0 && left.empty();
    EXPECT_TRUE(held) << what << ": " << state << (left.empty() ? "" : " left " + left[0]);
    if (held) ++restoreHeld;
    if (state == "new") ResetWork();
  }

  void Report(const std::string& line) {
    std::printf("[ harness  ] %s\n", line.c_str());
    std::fflush(stdout);
  }

  TempDir dir;
  std::string work, dest;
  std::map<std::string, std::string> oldFiles, newFiles;
  std::int32_t lastResult = 0;
  int restoreTried = 0, restoreHeld = 0;
};

TEST_F(KillHarness, RestoresKilledAtEveryStepAndAtRandomAreAllOrNothing) {
  int steps = 0;
#ifndef _WIN32  // the kills at every step run the library in a forked child
  // How many steps a whole restore takes.
  int status = InChild(0, [&] { RestoreInProcess(archive()); });
  ASSERT_TRUE(WIFEXITED(status));
  steps = WEXITSTATUS(status);
  ASSERT_GT(steps, 10);
  ASSERT_EQ(RestoreState(), "new");
  ResetWork();

  for (int k = 1; k <= steps; ++k) {
    status = InChild(k, [&] { RestoreInProcess(archive()); });
    ASSERT_TRUE(WIFSIGNALED(status)) << "step " << k;
    CheckRestore("killed at step " + std::to_string(k) + " of " + std::to_string(steps));
  }

  // A kill after two of the six files were renamed over their working names leaves a mix
  // until the next start, which puts the originals back and says so.
  ResetWork();
  status = InChild(0, [&] {
    UseSteps(KillAtThirdWorkingRename);
    RestoreInProcess(archive());
  });
  ASSERT_TRUE(WIFSIGNALED(status));
  std::string mixed = RestoreState();
  EXPECT_EQ(mixed.rfind("mixed", 0), 0u) << "two files replaced before the kill: " << mixed;
  ProcessResult next = Verdan(work, {"restore", archive()});
  EXPECT_NE(
      next.err.find("Prethodno dearhiviranje bilo je prekinuto; radne datoteke vraćene su kakve "
                    "su bile prije njega:\n" +
                    work),
      std::string::npos)
      << next.err;
  EXPECT_EQ(RestoreState(), "old");
  EXPECT_TRUE(Leftovers(work).empty());
#endif

  // Random moments of the program itself.
  ResetWork();
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(Verdan(work, {"restore", archive(), "--yes"}).status, 0);
  auto whole = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - start);
  ResetWork();
  std::mt19937 rng(42);
  int rounds = Soak() ? 60 : 8;
  for (int i = 0; i < rounds; ++i) {
    auto delay = std::chrono::microseconds(rng() % static_cast<unsigned>(whole.count() + 1));
    KillAfter(work, {"restore", archive(), "--yes"}, delay);
    CheckRestore("program killed after " + std::to_string(delay.count()) + " us");
  }
  Report("restore kills: " + std::to_string(restoreTried) + " tried, " +
         std::to_string(restoreHeld) + " held (" + std::to_string(steps) + " steps, " +
         std::to_string(rounds) + " at random)");
  EXPECT_EQ(restoreTried, restoreHeld);
}

TEST_F(KillHarness, BackupsKilledAtEveryStepAndAtRandomKeepWholeArchives) {
  // An archive and its second copy exist; the working files then change.
  ASSERT_EQ(Verdan(work, {"backup", "dest"}).status, 0);
  for (auto& [name, bytes] : oldFiles) WriteFile(work + "/" + name, Noise(bytes.size(), 500));
  ASSERT_EQ(Verdan(work, {"backup", "dest"}).status, 0);
  std::string name;
  for (const auto& e : fs::directory_iterator(dest))
    if (e.path().filename().string().find("_2_") == std::string::npos &&
        e.path().extension() == ".zip" && e.path().filename() != "nova.zip")
      name = e.path().filename().string();
  ASSERT_FALSE(name.empty());
  std::string current = dest + "/" + name;
  std::string second = current.substr(0, current.size() - 4) + "_2_.zip";
  const std::string older = ReadFile(second), old = ReadFile(current);
  for (auto& [n, bytes] : oldFiles) WriteFile(work + "/" + n, Noise(bytes.size(), 600));
  auto reset = [&] {
    WriteFile(current, old);
    WriteFile(second, older);
  };
  // The new archive is whole and holds the working files as they are now.
  auto isNew = [&](const std::string& path) {
    ProcessResult r = RunProcess({"/usr/bin/python3", "-c",
                                  "import sys,zipfile\n"
                                  "z=zipfile.ZipFile(sys.argv[1])\n"
                                  "assert z.testzip() is None\n"
                                  "for i in range(4):\n"
                                  "  n='f%d.tps'%i\n"
                                  "  assert z.read(n)==open(sys.argv[2]+'/'+n,'rb').read()\n",
                                  path, work},
                                 "/");
    return r.status == 0;
  };
  int tried = 0, held = 0, newWithOlder = 0, putRight = 0;
  auto check = [&](const std::string& what) {
    ++tried;
    std::string a = ReadFile(current), b = ReadFile(second);
    bool aNew = a != old && isNew(current);
    bool ok = (a == old && b == older) || (aNew && (b == old || b == older));
    if (aNew && b == older) ++newWithOlder;
    // The next start puts the second copy that the killed run left in place (the archive it
    // replaced is not lost), then removes the rest.
    verdan::archive::RemoveStaleTemporaries(dest);
    const std::string after = ReadFile(second);
    ok = ok && after == (aNew ? old : older);
    if (aNew && b == older && after == old) ++putRight;
    ProcessResult next = Verdan(work, {"backup", "dest"});
    std::vector<std::string> left = Leftovers(dest);
    std::vector<std::string> leftWork = Leftovers(work);
    ok = ok && next.status == 0 && left.empty() && leftWork.empty();
    EXPECT_TRUE(ok) << what << ": archive "
                    << (a == old ? "old"
                        : aNew   ? "new"
                                 : "DAMAGED")
                    << ", second copy "
                    << (b == older ? "older"
                        : b == old ? "old"
                                   : "OTHER")
                    << (after == b     ? ""
                        : after == old ? " then old"
                                       : " then other")
                    << (left.empty() ? "" : ", left " + left[0]);
    if (ok) ++held;
    reset();
  };

  int steps = 0;
#ifndef _WIN32  // the kills at every step run the library in a forked child
  verdan::testing::ScriptedUi ui;
  auto backup = [&] {
    verdan::app::Program program(ui);
    program.StartDirectory = dir.path();
    program.run.POCDIR = verdan::platform::FitField(work, 127);
    program.run.ZAVDIR = verdan::platform::FitField(dest + "/", 127);
    program.run.TIP_ARH = "dan";
    verdan::archive::ArchiveShared shared;
    std::string base(verdan::archive::kBaseNameLength, ' ');
    ::chdir(dir.path().c_str());
    verdan::archive::DestinationRun(program, shared, base);
  };
  int status = InChild(0, backup);
  ASSERT_TRUE(WIFEXITED(status));
  steps = WEXITSTATUS(status);
  ASSERT_GE(steps, 4);
  ASSERT_TRUE(isNew(current));
  ASSERT_TRUE(ReadFile(second) == old);
  reset();
  for (int k = 1; k <= steps; ++k) {
    status = InChild(k, backup);
    ASSERT_TRUE(WIFSIGNALED(status)) << "step " << k;
    check("killed at step " + std::to_string(k) + " of " + std::to_string(steps));
  }

  // Terminated (not killed) just after the new archive took its place, the run still makes
  // the second copy before it ends.
  status = InChild(0, [&] {
    verdan::archive::RemoveTemporariesOnTermination();
    UseSteps(+[](FileStep step, const char* path) -> int {
      std::string p = path;
      if (step == FileStep::kSyncDirectory && gSteps++ == 0) {
        ::raise(SIGTERM);
        ::pause();  // the signal's cleanup ends the process
      }
      return 0;
    });
    gSteps = 0;
    backup();
  });
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_TRUE(isNew(current));
  EXPECT_TRUE(ReadFile(second) == old) << (ReadFile(second) == older ? "older" : "other");
  EXPECT_TRUE(Leftovers(dest).empty());
  reset();
#endif

  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(Verdan(work, {"backup", "dest"}).status, 0);
  auto whole = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - start);
  reset();
  std::mt19937 rng(7);
  int rounds = Soak() ? 60 : 8;
  for (int i = 0; i < rounds; ++i) {
    auto delay = std::chrono::microseconds(rng() % static_cast<unsigned>(whole.count() + 1));
    KillAfter(work, {"backup", "dest"}, delay);
    check("program killed after " + std::to_string(delay.count()) + " us");
  }
  Report(
      "backup kills: " + std::to_string(tried) + " tried, " + std::to_string(held) + " held (" +
      std::to_string(steps) + " steps, " + std::to_string(rounds) +
      " at random); new archive beside the earlier second copy: " + std::to_string(newWithOlder) +
      ", put right by the next start: " + std::to_string(putRight));
  EXPECT_EQ(tried, held);
}

// A backup started while a restore into the source directory, run on a thread of this
// process, is held at a random step: with a short wait it refuses and leaves the archive and
// its second copy as they were; with a long one it waits for the restore and packs the
// restored files, whole. Never a mix.
TEST_F(KillHarness, BackupsDuringARestoreWaitOrRefuseAndNeverPackItHalfDone) {
  ASSERT_EQ(Verdan(work, {"backup", "dest"}).status, 0);
  ASSERT_EQ(Verdan(work, {"backup", "dest"}).status, 0);
  std::string current, second;
  for (const auto& e : fs::directory_iterator(dest)) {
    std::string name = e.path().filename().string();
    if (name.find("_2_") != std::string::npos)
      second = e.path().string();
    else
      current = e.path().string();
  }
  ASSERT_FALSE(current.empty() || second.empty());
  const std::string archiveBytes = ReadFile(current), secondBytes = ReadFile(second);
  // How many steps a whole restore takes.
  std::atomic<int> steps{0};
  {
    verdan::platform::FaultyFileSteps counting([&](FileStep, const std::string&) {
      ++steps;
      return 0;
    });
    verdan::platform::ScopedFileSteps scoped(counting);
    RestoreInProcess(archive());
  }
  ASSERT_GE(lastResult, 0);
  ASSERT_GT(steps.load(), 0);
  ResetWork();

  std::mt19937 rng(99);
  const int rounds = Soak() ? 40 : 4;
  int tried = 0, refused = 0, waited = 0, torn = 0;
  for (int i = 0; i < rounds; ++i) {
    const bool longWait = i % 2 == 1;
    const int holdAt = 1 + static_cast<int>(rng() % static_cast<unsigned>(steps.load()));
    std::atomic<int> seen{0};
    std::atomic<bool> held{false}, release{false};
    verdan::platform::FaultyFileSteps holding([&](FileStep, const std::string&) {
      if (++seen == holdAt) {
        held = true;
        verdan::testing::WaitFor([&] { return release.load(); }, std::chrono::seconds(120));
      }
      return 0;
    });
    std::thread restore([&] {
      verdan::platform::ScopedFileSteps scoped(holding);
      RestoreInProcess(archive());
    });
    const bool reached =
        verdan::testing::WaitFor([&] { return held.load(); }, std::chrono::seconds(60));
    EXPECT_TRUE(reached) << "the restore never reached step " << holdAt;
    ++tried;
    bool ok = false;
    if (!longWait) {
      ProcessResult b = RunProcess({VERDAN_BINARY, "backup", "dest"}, work, {"VERDAN_LOCK_WAIT=1"});
      ok = b.status == 1 && b.err.find("U direktoriju upravo radi drugo") != std::string::npos &&
           ReadFile(current) == archiveBytes && ReadFile(second) == secondBytes;
      if (ok) ++refused;
      EXPECT_TRUE(ok) << "step " << holdAt << ": " << b.err;
      release = true;
      restore.join();
    } else {
      verdan::testing::BackgroundProcess backup({VERDAN_BINARY, "backup", "dest"}, work,
                                                {"VERDAN_LOCK_WAIT=60"});
      EXPECT_TRUE(backup.started());
      release = true;
      restore.join();
      const int backupStatus = backup.Wait();
      // The restore finished first; the archive holds exactly the restored files.
      ProcessResult check =
          RunProcess({"/usr/bin/python3", "-c",
                      "import sys,zipfile\n"
                      "z=zipfile.ZipFile(sys.argv[1])\n"
                      "assert z.testzip() is None\n"
                      "for n in ['f0.tps','f1.tps','f2.tps','f3.tps','dodana.tps']:\n"
                      "  assert z.read(n)==open(sys.argv[2]+'/'+n,'rb').read(),n\n",
                      current, work},
                     "/");
      ok = backupStatus == 0 && check.status == 0 && RestoreState() == "new";
      if (check.status != 0) ++torn;
      if (ok) ++waited;
      EXPECT_TRUE(ok) << "step " << holdAt << ": " << check.err << RestoreState();
      WriteFile(current, archiveBytes);
      WriteFile(second, secondBytes);
    }
    EXPECT_GE(lastResult, 0) << "the held restore failed";
    ResetWork();
  }
  Report("backups during a restore: " + std::to_string(tried) + " tried, " +
         std::to_string(refused) + " refused leaving the archives, " + std::to_string(waited) +
         " waited and packed the restored files, " + std::to_string(torn) + " torn archives");
  EXPECT_EQ(tried, refused + waited);
  EXPECT_EQ(torn, 0);
}

// A restore killed at every step and at random moments, after which the business application
// writes into some working files (a record changed in two, one replaced by a new file) before
// VERDAN starts again: that start puts the other files back and leaves the new work alone.
TEST_F(KillHarness, WorkWrittenAfterAKilledRestoreIsNeverOverwritten) {
  ResetWork();
  int tried = 0, kept = 0, overwritten = 0, named = 0;
  auto round = [&](const std::string& what, unsigned seed) {
    ++tried;
    // Killed after its journal went, the restore had ended: its files stay.
    const bool interrupted = fs::exists(work + "/.verdan-restore.journal");
    const std::string f1 = interrupted ? oldFiles["f1.tps"] : ReadFile(work + "/f1.tps");
    const bool added = !interrupted && fs::exists(work + "/dodana.tps");
    // The application's work: a record changed in place in f0 (written over in place by a
    // restore) and in f3 (replaced by a new file), f2 saved as a new file.
    const std::string record = "NOVI RAD " + std::to_string(seed);
    auto changeRecord = [&](const std::string& name) {
      std::string bytes = ReadFile(work + "/" + name);
      bytes.replace(1000, record.size(), record);
      std::fstream out(work + "/" + name, std::ios::in | std::ios::out | std::ios::binary);
      out.seekp(1000);
      out.write(record.data(), static_cast<std::streamsize>(record.size()));
      EXPECT_TRUE(out.good()) << name;
      return bytes;
    };
    const std::string f0 = changeRecord("f0.tps"), f3 = changeRecord("f3.tps");
    const std::string f2 = Noise(70000, seed);
    WriteFile(work + "/.f2.novi", f2);
    fs::rename(work + "/.f2.novi", work + "/f2.tps");

    ProcessResult next = Verdan(work, {"restore", archive()});
    bool workKept = ReadFile(work + "/f0.tps") == f0 && ReadFile(work + "/f2.tps") == f2 &&
                    ReadFile(work + "/f3.tps") == f3;
    bool restBack = ReadFile(work + "/f1.tps") == f1 && ReadFile(work + "/f3.tps") == f3 &&
                    fs::exists(work + "/dodana.tps") == added && Leftovers(work).empty();
    if (!workKept) ++overwritten;
    if (next.err.find("Promijenjene nakon prekida, ostavljene kakve jesu:") != std::string::npos)
      ++named;
    EXPECT_TRUE(workKept && restBack) << what << ": " << next.err;
    if (workKept && restBack) ++kept;
    ResetWork();
  };
#ifndef _WIN32  // the kills at every step run the library in a forked child
  int status = InChild(0, [&] { RestoreInProcess(archive()); });
  ASSERT_TRUE(WIFEXITED(status));
  const int steps = WEXITSTATUS(status);
  ResetWork();
  for (int k = 1; k <= steps; ++k) {
    status = InChild(k, [&] { RestoreInProcess(archive()); });
    ASSERT_TRUE(WIFSIGNALED(status)) << "step " << k;
    round("killed at step " + std::to_string(k), static_cast<unsigned>(k));
  }
#endif
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(Verdan(work, {"restore", archive(), "--yes"}).status, 0);
  auto whole = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - start);
  ResetWork();
  std::mt19937 rng(4242);
  const int rounds = Soak() ? 60 : 4;
  for (int i = 0; i < rounds; ++i) {
    auto delay = std::chrono::microseconds(rng() % static_cast<unsigned>(whole.count() + 1));
    KillAfter(work, {"restore", archive(), "--yes"}, delay);
    if (RestoreState() == "new") {  // it finished before the kill: nothing to undo
      ResetWork();
      continue;
    }
    round("program killed after " + std::to_string(delay.count()) + " us",
          1000u + static_cast<unsigned>(i));
  }
  Report("kills followed by the application's writes: " + std::to_string(tried) + " tried, " +
         std::to_string(kept) + " kept the new work and put the rest back (" +
         std::to_string(named) +
         " named files changed since), new work overwritten: " + std::to_string(overwritten));
  EXPECT_EQ(tried, kept);
  EXPECT_EQ(overwritten, 0);
}

TEST_F(KillHarness, ArchivesWithAChangedByteNeverWriteOutsideOrHalfway) {
  // Small files, so that a changed byte falls on headers as often as on data.
  for (auto& [name, bytes] : oldFiles) bytes = Noise(3000, 700 + static_cast<unsigned>(name[1]));
  for (auto& [name, bytes] : newFiles) {
    bytes = Noise(2000, 800 + static_cast<unsigned>(name[1]));
    WriteFile(dir.File("izvor/" + name), bytes);
  }
  std::string small = dest + "/mala.zip";
  ASSERT_EQ(RunProcess({"/usr/bin/zip", "-q", "-r", small, "."}, dir.File("izvor")).status, 0);
  ResetWork();
  const std::string good = ReadFile(small);
  std::vector<std::string> around = {};
  for (const auto& e : fs::directory_iterator(dir.path())) around.push_back(e.path().string());
  std::sort(around.begin(), around.end());

  std::mt19937 rng(1234);
  int rounds = Soak() ? 1200 : 60;
  int failed = 0, succeeded = 0, mixed = 0, outside = 0, left = 0;
  std::string flipped = dest + "/izmijenjena.zip";
  for (int i = 0; i < rounds; ++i) {
    std::string bad = good;
    bad[rng() % bad.size()] ^= static_cast<char>(1 + rng() % 255);
    WriteFile(flipped, bad);
    RestoreInProcess(flipped);
    std::string state = RestoreState();
    // A failure changes nothing; a success may restore fewer files (a name that no longer
    // matches), but every working file is whole, old or new.
    bool ok = lastResult < 0 ? state == "old" : state.find("damaged") == std::string::npos;
    (lastResult < 0 ? failed : succeeded)++;
    if (!ok) ++mixed;
    std::vector<std::string> now;
    for (const auto& e : fs::directory_iterator(dir.path())) now.push_back(e.path().string());
    std::sort(now.begin(), now.end());
    if (now != around) ++outside;
    if (!Leftovers(work).empty()) ++left;
    EXPECT_TRUE(ok) << "round " << i << " result " << lastResult << ": " << state;
    ResetWork();
  }
  Report("changed archives: " + std::to_string(rounds) + " (" + std::to_string(failed) +
         " refused, " + std::to_string(succeeded) + " restored), mixed " + std::to_string(mixed) +
         ", written outside " + std::to_string(outside) + ", leftovers " + std::to_string(left));
  EXPECT_EQ(outside, 0);
  EXPECT_EQ(left, 0);
}

#ifndef _WIN32  // the small disks are tmpfs mounts in a mount namespace of the test's own
// A disk that fills up at every size around what a backup and a restore need: in a mount
// namespace of its own the test mounts small file systems over the destination and over
// (a copy of) the working directory. Every backup leaves the previous archive or a whole new
// one, every restore all old or all new files, and neither leaves a temporary.
TEST_F(KillHarness, FullDisksAtEverySizeLoseNothing) {
  ProcessResult probe = RunProcess(
      {"/usr/bin/unshare", "-rm", "/bin/sh", "-c", "mount -t tmpfs -o size=64k tmpfs /mnt"}, "/");
  if (probe.status != 0) GTEST_SKIP() << "this system does not let a test mount a small disk";
  fs::create_directories(dir.File("stari"));
  for (const auto& [name, bytes] : oldFiles) WriteFile(dir.File("stari/" + name), bytes);
  fs::create_directories(dir.File("spremljeno"));
  ASSERT_EQ(Verdan(work, {"backup", "dest"}).status, 0);               // an archive to keep
  WriteFile(work + "/f0.tps", Noise(oldFiles["f0.tps"].size(), 900));  // the next one differs
  std::uintmax_t archiveKb = 0, restoreKb = 0;
  for (const auto& e : fs::directory_iterator(dest))
    archiveKb = std::max(archiveKb, e.file_size() / 1024);
  for (const auto& [name, bytes] : newFiles) restoreKb += bytes.size() / 1024;
  int rounds = Soak() ? 40 : 6;
  // Room beside the kept archive for 0 to 1.5 new archives; free space for 0.5 to 1.5 restores.
  std::string sizes, room;
  for (int i = 0; i < rounds; ++i) {
    sizes +=
        std::to_string(archiveKb + 8 + archiveKb * 3 * static_cast<unsigned>(i) / (2 * rounds)) +
        " ";
    room += std::to_string(restoreKb / 2 + restoreKb * static_cast<unsigned>(i) / rounds) + " ";
  }
  // Each line: size, result, then per working file old/new/bad, then what is hidden.
  std::optional<ProcessResult> run;
  ProcessResult r = RunProcess(
      {"/usr/bin/unshare", "-rm", "/bin/sh", "-c",
       "V=$0 W=$1 D=$2 OLD=$3 NEW=$4 SAVE=$5 ARCH=$6 SIZES=$7 ROOM=$8\n"
       "cp -a \"$D/.\" \"$SAVE/\"\n"
       "for S in $SIZES; do\n"
       "  mount -t tmpfs -o size=${S}k tmpfs \"$D\"; A=$(ls \"$SAVE\" | grep -v _2_ | head -1)\n"
       "  cp \"$SAVE/$A\" \"$D/\"\n"
       "  cp \"$D/$A\" \"$SAVE/prije.zip\" 2>/dev/null\n"
       "  cd \"$W\"; \"$V\" backup dest 2>/dev/null; RC=$?\n"
       "  if cmp -s \"$D/$A\" \"$SAVE/prije.zip\"; then ST=old; elif unzip -tq \"$D/$A\" "
       ">/dev/null 2>&1; then ST=new; else ST=bad; fi\n"
       "  echo \"backup $S $RC $ST $(ls -A \"$D\" | grep '^\\.' | tr '\\n' ' ')\"\n"
       "  cd /; umount \"$D\"\n"
       "done\n"
       "mkdir \"$SAVE/work\"; cp -a \"$W/.\" \"$SAVE/work/\"; cp \"$OLD\"/*.tps \"$SAVE/work/\"\n"
       "BASE=$(du -sk \"$SAVE/work\" | cut -f1)\n"
       "for S in $ROOM; do\n"
       "  mount -t tmpfs -o size=$((BASE + S + 64))k tmpfs \"$W\"; cp -a \"$SAVE/work/.\" \"$W/\"\n"
       "  cd \"$W\"; \"$V\" restore \"$ARCH\" --yes >/dev/null 2>&1; RC=$?\n"
       "  L=\"restore $S $RC\"\n"
       "  for F in f0.tps f1.tps f2.tps f3.tps; do\n"
       "    if cmp -s \"$W/$F\" \"$OLD/$F\"; then L=\"$L old\"; elif cmp -s \"$W/$F\" \"$NEW/$F\"; "
       "then L=\"$L new\"; else L=\"$L bad\"; fi\n"
       "  done\n"
       "  echo \"$L $(ls -A \"$W\" | grep '^\\.' | tr '\\n' ' ')\"\n"
       "  cd /; umount \"$W\"\n"
       "done\n",
       VERDAN_BINARY, work, dest, dir.File("stari"), dir.File("izvor"), dir.File("spremljeno"),
       archive(), sizes, room},
      "/", {}, 600);
  ASSERT_EQ(r.status, 0) << r.err;
  if (Soak()) std::printf("%s", r.out.c_str());
  int backups = 0, backupsHeld = 0, backupsFull = 0, restores = 0, restoresHeld = 0,
      restoresFull = 0;
  std::istringstream lines(r.out);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream l(line);
    std::string kind, size, rc;
    l >> kind >> size >> rc;
    std::vector<std::string> rest;
    for (std::string w; l >> w;) rest.push_back(w);
    if (kind == "backup") {
      ++backups;
      bool ok =
          rest.size() == 1 && ((rest[0] == "old" && rc != "0") || (rest[0] == "new" && rc == "0"));
      if (rc != "0") ++backupsFull;
      if (ok) ++backupsHeld;
      EXPECT_TRUE(ok) << line;
    } else if (kind == "restore") {
      ++restores;
      bool allOld = rest.size() == 4 && std::count(rest.begin(), rest.end(), "old") == 4;
      bool allNew = rest.size() == 4 && std::count(rest.begin(), rest.end(), "new") == 4;
      bool ok = (allOld && rc != "0") || (allNew && rc == "0");
      if (rc != "0") ++restoresFull;
      if (ok) ++restoresHeld;
      EXPECT_TRUE(ok) << line;
    }
  }
  EXPECT_EQ(backups, rounds);
  EXPECT_EQ(restores, rounds);
  Report("full disks: " + std::to_string(backups) + " backups (" + std::to_string(backupsFull) +
         " failed for space), " + std::to_string(backupsHeld) + " held; " +
         std::to_string(restores) + " restores (" + std::to_string(restoresFull) +
         " refused or failed for space), " + std::to_string(restoresHeld) + " held");
}
#endif

// Data files that change while backups run, as the business program writes its tables: a
// writer rewrites a file again and again, alternately all 'A' and all 'B', in place or as a
// new file renamed over it, with pauses of random length. Every backup either succeeds with
// an entry that is one state of the file (all one letter, the whole length) or fails naming
// the file with the previous archive untouched; never a mixed entry reported as success.
TEST_F(KillHarness, FilesChangingDuringBackupsAreNeverArchivedTorn) {
  const std::string file = work + "/MIJENJA.TPS";
  constexpr std::size_t kSize = 16 << 20;
  WriteFile(file, std::string(kSize, 'A'));
  ProcessResult first = Verdan(work, {"backup", "dest"});
  ASSERT_EQ(first.status, 0) << first.err;
  const std::string archive = first.out.substr(0, first.out.size() - 1);
  const int rounds = Soak() ? 60 : 4;
  int runs = 0, whole = 0, refused = 0, torn = 0, other = 0;
  std::mt19937 rng(99);
  for (int round = 0; round < rounds; ++round) {
    const bool rename = round % 2 == 1;
    std::atomic<bool> stop{false};
    std::atomic<int> writes{0};
    const unsigned seed = static_cast<unsigned>(rng());
    std::thread writer([&] {
      std::mt19937 pauses(seed);
      const std::string a(kSize, 'A'), b(kSize, 'B');
      for (int k = 0; !stop.load() && k < 100000; ++k) {
        const std::string& bytes = k % 2 == 0 ? b : a;
        if (rename) {
          WriteFile(file + ".novo", bytes);
          // On Windows a file the backup holds open is not replaced: that writing is skipped.
          std::error_code ec;
          fs::rename(file + ".novo", file, ec);
        } else {
          std::fstream out(file, std::ios::in | std::ios::out | std::ios::binary);
          for (std::size_t at = 0; out && at < kSize; at += 1 << 20)
            out.write(bytes.data() + at, 1 << 20).flush();
        }
        ++writes;
        std::this_thread::sleep_for(std::chrono::milliseconds(pauses() % 400));
      }
    });
    const std::string before = ReadFile(archive);
    ProcessResult r = Verdan(work, {"backup", "dest"});
    stop = true;
    writer.join();
    ++runs;
    if (r.status == 0) {
      ProcessResult entry =
          RunProcess({"/usr/bin/python3", "-c",
                      "import sys,zipfile\n"
                      "z=zipfile.ZipFile(sys.argv[1])\n"
                      "assert z.testzip() is None\n"
                      "d=z.read('MIJENJA.TPS')\n"
                      "print(len(d), ''.join(sorted(set(d.decode('latin-1')))))\n",
                      archive},
                     "/");
      const bool one = entry.out == std::to_string(kSize) + " A\n" ||
                       entry.out == std::to_string(kSize) + " B\n";
      (one ? whole : torn)++;
      EXPECT_TRUE(one) << "round " << round << (rename ? " (rename)" : " (in place)") << ": "
                       << entry.out << entry.err;
    } else {
      const bool named = r.status == 1 && r.err.find("GREŠKA : -18\n") != std::string::npos &&
                         r.err.find(Native(work) + "/MIJENJA.TPS") != std::string::npos &&
                         ReadFile(archive) == before;
      (named ? refused : other)++;
      EXPECT_TRUE(named) << "round " << round << ": " << r.err;
    }
    EXPECT_TRUE(Leftovers(dest).empty()) << "round " << round;
  }
  Report("changing files: " + std::to_string(runs) + " backups while a file was rewritten (" +
         std::to_string(rounds / 2) + " by rename), " + std::to_string(whole) + " whole entries, " +
         std::to_string(refused) + " refused naming the file, " + std::to_string(torn) + " torn, " +
         std::to_string(other) + " other");
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(other, 0);
}

}  // namespace
