// `verdan backup` and `verdan restore` run as a program, with real zip, unzip and Python's
// zipfile on the other side.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "support/temp_dir.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using verdan::testing::ProcessResult;
using verdan::testing::ReadFile;
using verdan::testing::RunProcess;
using verdan::testing::TempDir;
using verdan::testing::WriteFile;

ProcessResult Verdan(const std::string& cwd, std::vector<std::string> args) {
  std::vector<std::string> argv{VERDAN_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProcess(argv, cwd);
}

std::vector<std::string> Zips(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().extension() == ".zip") out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

std::string Noise(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  std::mt19937 rng(seed);
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
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

TEST_F(BackupCommand, BackupToDestinationAndUsbWritesArchivesThatZipToolsRead) {
  ProcessResult r = Verdan(work, {"backup", "dest"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "[ OBAVIJEST !]  Arhiviranje uspješno završilo !\n");
  std::vector<std::string> made = Zips(dest);
  ASSERT_EQ(made.size(), 1u);
  std::string archive = dest + "/" + made[0];

  ProcessResult t = RunProcess({"/usr/bin/unzip", "-t", archive}, dir.path());
  EXPECT_EQ(t.status, 0) << t.out;
  ProcessResult py = RunProcess(
      {"/usr/bin/python3", "-c",
       "import sys,zipfile\n"
       "z=zipfile.ZipFile(sys.argv[1])\n"
       "assert z.testzip() is None\n"
       "assert z.read('kupci.tps')==open(sys.argv[2]+'/kupci.tps','rb').read()\n"
       "print(' '.join(sorted(z.namelist())))",
       archive, work},
      dir.path());
  EXPECT_EQ(py.status, 0) << py.err;
  EXPECT_EQ(py.out, "ARHIVE.TPS PEMAIL.TPS kupci.tps\n");

  // The second run keeps the first archive as the second copy.
  std::string first = ReadFile(archive);
  ASSERT_EQ(Verdan(work, {"backup", "dest"}).status, 0);
  std::string second = archive.substr(0, archive.size() - 4) + "_2_.zip";
  EXPECT_EQ(ReadFile(second), first);

  ASSERT_EQ(Verdan(work, {"settings", "--naming", "dat"}).status, 0);
  r = Verdan(work, {"backup", "usb"});
  EXPECT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(Zips(usb).size(), 1u);
  EXPECT_EQ(Zips(usb)[0].find_first_not_of("0123456789"), Zips(usb)[0].size() - 4);
}

TEST_F(BackupCommand, BlankDiskLetterAndUsageErrorsAreReported) {
  ASSERT_EQ(Verdan(work, {"settings", "--disk", ""}).out.find("OZNAKAARHIVDISKA=\n") !=
                std::string::npos,
            true);
  ProcessResult r = Verdan(work, {"backup", "usb"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "[Pažnja!!!] Nisi odabrao oznaku vanjskog diska\n");
  EXPECT_TRUE(Zips(usb).empty());
  EXPECT_EQ(Verdan(work, {"backup"}).status, 2);
  EXPECT_EQ(Verdan(work, {"backup", "floppy"}).status, 2);
  EXPECT_EQ(Verdan(work, {"restore"}).status, 2);
}

TEST_F(BackupCommand, RestoreTakesArchivesOfZipAndAsksFirst) {
  std::string original = ReadFile(work + "/kupci.tps");
  ASSERT_EQ(RunProcess({"/usr/bin/zip", "-q", "-P", "381", dest + "/zip.zip", "kupci.tps",
                        "ARHIVE.TPS"},
                       work)
                .status,
            0);
  WriteFile(work + "/kupci.tps", "promijenjeno");

  // Without --yes and without a terminal the warning takes its default: nothing changes.
  ProcessResult no = Verdan(work, {"restore", dest + "/zip.zip"});
  EXPECT_EQ(no.status, 1);
  EXPECT_EQ(ReadFile(work + "/kupci.tps"), "promijenjeno");

  ProcessResult yes = Verdan(work, {"restore", dest + "/zip.zip", "--yes"});
  EXPECT_EQ(yes.status, 0) << yes.err;
  EXPECT_NE(yes.err.find("[ OBAVIJEST !]  Dearhiviranje uspješno završilo !"), std::string::npos);
  EXPECT_EQ(ReadFile(work + "/kupci.tps"), original);

  ProcessResult missing = Verdan(work, {"restore", "nema.zip", "--yes"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("Ne postoji ARHIV sa tim imenom !"), std::string::npos);
}

TEST_F(BackupCommand, UnsafeOrDamagedArchivesLeaveEverythingAsItWas) {
  std::string kupci = ReadFile(work + "/kupci.tps");
  std::string arhive = ReadFile(work + "/ARHIVE.TPS");
  ASSERT_EQ(RunProcess({"/usr/bin/python3", "-c",
                        "import zipfile\n"
                        "z=zipfile.ZipFile('" + dest + "/zlo.zip','w')\n"
                        "z.writestr('kupci.tps','tuđe')\n"
                        "z.writestr('../izvan.tps','izvan')\n"},
                       dir.path())
                .status,
            0);
  ProcessResult r = Verdan(work, {"restore", dest + "/zlo.zip", "--yes"});
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(fs::exists(dir.File("izvan.tps")));
  EXPECT_EQ(ReadFile(work + "/kupci.tps"), kupci);

  ASSERT_EQ(Verdan(work, {"backup", "dest"}).status, 0);
  std::string archive = dest + "/" + Zips(dest).back();
  std::string good = ReadFile(archive);
  WriteFile(work + "/kupci.tps", "radna");
  WriteFile(dest + "/kratka.zip", good.substr(0, good.size() - 200));
  r = Verdan(work, {"restore", dest + "/kratka.zip", "--yes"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("GREŠKA : -"), std::string::npos);
  EXPECT_EQ(ReadFile(work + "/kupci.tps"), "radna");
  EXPECT_EQ(ReadFile(work + "/ARHIVE.TPS"), arhive);
}

TEST_F(BackupCommand, ABackupKilledHalfWayLeavesThePreviousArchive) {
  ASSERT_EQ(Verdan(work, {"backup", "dest"}).status, 0);
  std::string name = Zips(dest)[0];
  std::string archive = dest + "/" + name;
  std::string previous = ReadFile(archive);
  for (int i = 0; i < 6; ++i) WriteFile(work + "/velika" + std::to_string(i) + ".tps", Noise(12 << 20, 10 + i));

  // Kill the run once its temporary archive has appeared, before it can be renamed.
  std::string temp_prefix = "." + name + ".vrd";
  std::string bin = VERDAN_BINARY;
  char* argv[] = {bin.data(), const_cast<char*>("backup"), const_cast<char*>("dest"), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, work.c_str());
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, bin.c_str(), &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  bool sawTemp = false;
  for (int i = 0; i < 2000 && !sawTemp; ++i) {
    for (const auto& e : fs::directory_iterator(dest))
      if (e.path().filename().string().rfind(temp_prefix, 0) == 0 && fs::file_size(e.path()) > 0)
        sawTemp = true;
    if (!sawTemp) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(sawTemp);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(ReadFile(archive), previous);
  EXPECT_EQ(RunProcess({"/usr/bin/unzip", "-tq", archive}, dir.path()).status, 0);
}

}  // namespace
