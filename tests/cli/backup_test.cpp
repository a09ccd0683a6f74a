// `verdan backup` and the archive commands run as a program, with real zip, unzip and Python's
// zipfile on the other side.
#include "cli/command_fixture.h"

namespace {

using namespace verdan::testing::commands;

TEST_F(BackupCommand, BackupToDestinationAndUsbWritesArchivesThatZipToolsRead) {
  ProcessResult r = Verdan(work, {"backup", "dest"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "[ OBAVIJEST !]  Arhiviranje uspješno završilo !\n");
  std::vector<std::string> made = Zips(dest);
  ASSERT_EQ(made.size(), 1u);
  std::string archive = dest + "/" + made[0];

  ProcessResult t = RunProcess({"/usr/bin/unzip", "-t", archive}, dir.path());
  EXPECT_EQ(t.status, 0) << t.out;
  ProcessResult py =
      RunProcess({"/usr/bin/python3", "-c",
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

#ifndef _WIN32  // on Windows a disk letter is the system's drive; [Diskovi] is not read there
  ASSERT_EQ(Verdan(work, {"settings", "--naming", "dat"}).status, 0);
  r = Verdan(work, {"backup", "usb"});
  EXPECT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(Zips(usb).size(), 1u);
  EXPECT_EQ(Zips(usb)[0].find_first_not_of("0123456789"), Zips(usb)[0].size() - 4);
#endif
}

// Files of several chunks, one of which does not shrink, through the program as a user runs
// it: the archive reads back in zip tools and restores byte for byte.
TEST_F(BackupCommand, LargeAndIncompressibleFilesRoundTripThroughBackupAndRestore) {
  std::string records;
  std::mt19937 rng(7);
  while (records.size() < (10u << 20))
    records += "RACUN " + std::to_string(rng() % 100000) + ";KUPAC d.o.o.;Zagreb;" +
               std::to_string(rng() % 1000) + ",00 kn\n";
  WriteFile(work + "/VELIKA.TPS", records);
  WriteFile(work + "/SLIKE.TPS", Noise(5 << 20, 3));
  ASSERT_EQ(Verdan(work, {"backup", "dest"}).status, 0);
  ASSERT_EQ(Zips(dest).size(), 1u);
  std::string archive = dest + "/" + Zips(dest)[0];
  EXPECT_EQ(RunProcess({"/usr/bin/unzip", "-tq", archive}, dir.path()).status, 0);
  ProcessResult py =
      RunProcess({"/usr/bin/python3", "-c",
                  "import sys,zipfile\n"
                  "z=zipfile.ZipFile(sys.argv[1])\n"
                  "for n in ('VELIKA.TPS','SLIKE.TPS'):\n"
                  "  i=z.getinfo(n)\n"
                  "  print(n,i.compress_type,z.read(i)==open(sys.argv[2]+'/'+n,'rb').read())\n",
                  archive, work},
                 dir.path());
  EXPECT_EQ(py.out, "VELIKA.TPS 8 True\nSLIKE.TPS 0 True\n") << py.err;

  std::string images = ReadFile(work + "/SLIKE.TPS");
  WriteFile(work + "/VELIKA.TPS", "izmijenjeno");
  WriteFile(work + "/SLIKE.TPS", "izmijenjeno");
  ProcessResult r = Verdan(work, {"restore", archive, "--yes"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(work + "/VELIKA.TPS"), records);
  EXPECT_EQ(ReadFile(work + "/SLIKE.TPS"), images);
}

// Runs verdan and reports its peak resident memory in bytes (-1 when it cannot be measured).
ProcessResult VerdanMeasured(const std::string& cwd, std::vector<std::string> args,
                             long long& peak) {
#ifdef _WIN32
  // Measured through a Linux process's resource use, which the Windows program is not.
  peak = -1;
  return Verdan(cwd, args, 300);
#endif
  std::vector<std::string> argv{
      "/usr/bin/python3", "-c",
      "import resource,subprocess,sys\n"
      "r=subprocess.run(sys.argv[1:])\n"
      "sys.stderr.write('PEAK %d\\n'%resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n"
      "sys.exit(r.returncode)\n",
      VERDAN_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessResult r = RunProcess(argv, cwd, {}, 300);
  auto at = r.err.rfind("PEAK ");
  peak = at == std::string::npos ? -1 : std::stoll(r.err.substr(at + 5)) * 1024;
  if (at != std::string::npos) r.err.erase(at);
  return r;
}

// Flips one byte in the middle of the stored data of `entry` in `archive`.
void DamageEntry(const std::string& archive, const std::string& entry) {
  Python(
      "import sys,zipfile,struct\n"
      "i=zipfile.ZipFile(sys.argv[1]).getinfo(sys.argv[2])\n"
      "f=open(sys.argv[1],'r+b'); f.seek(i.header_offset); h=f.read(30)\n"
      "at=i.header_offset+30+sum(struct.unpack('<HH',h[26:30]))+i.compress_size//2\n"
      "f.seek(at); b=f.read(1); f.seek(at); f.write(bytes([b[0]^0x55])); f.close()\n",
      {archive, entry});
}

// Many small files and a few large ones restore together: every file byte for byte, within a
// memory bound far below the size of the largest file; and one damaged entry, wherever it
// lies among the others, leaves every working file as it was and nothing beside them.
TEST_F(BackupCommand, ManyFilesAndLargeOnesRestoreTogetherWithinBoundedMemory) {
  std::mt19937 rng(11);
  auto records = [&](std::size_t n) {
    std::string s;
    while (s.size() < n)
      s += "RACUN " + std::to_string(rng() % 100000) + ";KUPAC d.o.o.;Zagreb;" +
           std::to_string(rng() % 1000) + ",00 kn\n";
    s.resize(n);
    return s;
  };
  std::map<std::string, std::string> files;
  for (int i = 0; i < 300; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "m%03d.tps", i);
    files[name] = i % 7 == 0 ? Noise(static_cast<std::size_t>(rng() % 40000), 100 + i)
                             : records(static_cast<std::size_t>(rng() % 40000));
  }
  // 96 MB in chunks (records, zeros, records), a stored file of noise in several pieces,
  // and one just past the size decoded in one step.
  files["VELIKA.TPS"] = records(12u << 20) + std::string(72u << 20, '\0') + records(12u << 20);
  files["SLIKE.TPS"] = Noise(20u << 20, 12);
  files["SREDNJA.TPS"] = records(9u << 20);
  fs::remove(work + "/ARHIVE.TPS");
  fs::remove(work + "/kupci.tps");
  for (const auto& [name, bytes] : files) WriteFile(work + "/" + name, bytes);
  ASSERT_EQ(Verdan(work, {"backup", "dest"}).status, 0);
  ASSERT_EQ(Zips(dest).size(), 1u);
  std::string archive = dest + "/" + Zips(dest)[0];
  for (const auto& [name, bytes] : files) WriteFile(work + "/" + name, "radna " + name);
  // The restore opens the file list again afterwards, which creates its table.
  std::vector<std::string> before = Names(work);
  before.push_back("DATOTEKE.TPS");
  std::sort(before.begin(), before.end());
  auto untouched = [&] {
    for (const auto& [name, bytes] : files)
      if (ReadFile(work + "/" + name) != "radna " + name) return name;
    return std::string();
  };

  for (const char* entry : {"VELIKA.TPS", "SLIKE.TPS", "m150.tps", "m299.tps"}) {
    std::string bad = dest + "/ostecena.zip";
    fs::remove(bad);
    fs::copy_file(archive, bad);
    DamageEntry(bad, entry);
    ProcessResult r = Verdan(work, {"restore", bad, "--yes"});
    EXPECT_EQ(r.status, 1) << entry;
    EXPECT_NE(r.err.find(std::string("GREŠKA : -6\nZapis u arhivi je oštećen: ") + entry + "\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(untouched(), "") << "after " << entry;
    EXPECT_EQ(Names(work), before) << "after " << entry;
  }

  long long peak = 0;
  ProcessResult r = VerdanMeasured(work, {"restore", archive, "--yes"}, peak);
  ASSERT_EQ(r.status, 0) << r.err;
  for (const auto& [name, bytes] : files) EXPECT_TRUE(ReadFile(work + "/" + name) == bytes) << name;
  EXPECT_EQ(Hidden(work), std::vector<std::string>{});
#ifdef _WIN32
  (void)peak;  // the memory bound is checked in the POSIX build only (see VerdanMeasured)
#else
  ASSERT_GT(peak, 0);
#endif
#if !defined(_WIN32) && !defined(__SANITIZE_ADDRESS__) && \
    !defined(__SANITIZE_THREAD__)  // their shadow memory counts
  EXPECT_LT(peak, 80ll << 20) << "peak " << (peak >> 20) << " MB";
#endif
}

TEST_F(BackupCommand, BlankDiskLetterAndUsageErrorsAreReported) {
  ASSERT_EQ(
      Verdan(work, {"settings", "--disk", ""}).out.find("OZNAKAARHIVDISKA=\n") != std::string::npos,
      true);
  ProcessResult r = Verdan(work, {"backup", "usb"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "[Pažnja!!!] Nisi odabrao oznaku vanjskog diska\n");
  EXPECT_TRUE(Zips(usb).empty());
  EXPECT_EQ(Verdan(work, {"backup"}).status, 2);
  EXPECT_EQ(Verdan(work, {"backup", "floppy"}).status, 2);
  EXPECT_EQ(Verdan(work, {"restore"}).status, 2);
}

TEST_F(BackupCommand, ABackupKilledHalfWayLeavesThePreviousArchive) {
  ASSERT_EQ(Verdan(work, {"backup", "dest"}).status, 0);
  std::string name = Zips(dest)[0];
  std::string archive = dest + "/" + name;
  std::string previous = ReadFile(archive);
  for (int i = 0; i < 6; ++i)
    WriteFile(work + "/velika" + std::to_string(i) + ".tps", Noise(12 << 20, 10 + i));

  // Kill the run once its temporary archive has appeared, before it can be renamed.
  std::string temp_prefix = "." + name + ".vrd";
  verdan::testing::BackgroundProcess run({VERDAN_BINARY, "backup", "dest"}, work);
  ASSERT_TRUE(run.started());
  bool sawTemp = false;
  for (int i = 0; i < 2000 && !sawTemp; ++i) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dest, ec))
      if (e.path().filename().string().rfind(temp_prefix, 0) == 0 &&
          fs::file_size(e.path(), ec) > 0 && !ec)
        sawTemp = true;
    if (!sawTemp) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  run.Kill();
  const int status = run.Wait();
  ASSERT_TRUE(sawTemp);
  ASSERT_EQ(status, verdan::testing::kKilledStatus);
  EXPECT_EQ(ReadFile(archive), previous);
  EXPECT_EQ(RunProcess({"/usr/bin/unzip", "-tq", archive}, dir.path()).status, 0);
}

// Interrupt, terminate and hang-up remove the run's temporaries; what a killed run leaves is
// removed by the next run, and only files of our own pattern.
TEST_F(BackupCommand, InterruptedRunsLeaveNoTemporariesAndStaleOnesGoAtTheNextRun) {
  ASSERT_EQ(Verdan(work, {"backup", "dest"}).status, 0);
  std::string name = Zips(dest)[0];
  std::string previous = ReadFile(dest + "/" + name);
  for (int i = 0; i < 6; ++i)
    WriteFile(work + "/velika" + std::to_string(i) + ".tps", Noise(12 << 20, 20 + i));
#ifndef _WIN32  // interrupt, terminate and hang-up are POSIX signals
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    int status = SignalWhileWriting(work, {"backup", "dest"}, dest, "." + name + ".vrd", sig);
    ASSERT_TRUE(WIFSIGNALED(status)) << "signal " << sig << " status " << status;
    EXPECT_EQ(WTERMSIG(status), sig);
    EXPECT_EQ(Hidden(dest), std::vector<std::string>{}) << "signal " << sig;
    EXPECT_EQ(ReadFile(dest + "/" + name), previous);
  }

  // A restore stopped while it extracts leaves the working files, no temporary, no journal.
#endif
  ASSERT_EQ(Verdan(work, {"backup", "dest"}).status, 0);
  std::string big = ReadFile(dest + "/" + name);
#ifndef _WIN32
  for (int i = 0; i < 6; ++i) WriteFile(work + "/velika" + std::to_string(i) + ".tps", "radna");
  int status =
      SignalWhileWriting(work, {"restore", dest + "/" + name, "--yes"}, work, ".velika", SIGTERM);
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(Hidden(work), std::vector<std::string>{});
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(ReadFile(work + "/velika" + std::to_string(i) + ".tps"), "radna");
#endif

  // Killed outright, a run leaves its temporaries (ours and the ZIP library's) ...
  for (int i = 0; i < 6; ++i)
    WriteFile(work + "/velika" + std::to_string(i) + ".tps", Noise(12 << 20, 40 + i));
  ASSERT_EQ(KillWhileWriting(work, {"backup", "dest"}, dest, "." + name + ".vrd"),
            verdan::testing::kKilledStatus);
  EXPECT_FALSE(Hidden(dest).empty());
  EXPECT_EQ(ReadFile(dest + "/" + name), big);
  // ... and there are older ones of ours, and files that only look like them.
  pid_t dead = DeadProcess();
  ASSERT_NE(dead, 0);
  // This test process is alive: a name with its number and its start and boot is live, and
  // so is one with its number alone; the same number with another start time or boot is a
  // dead process whose number was used again (after a reboot, say).
  const std::string self = verdan::platform::ProcessTag(verdan::platform::ThisProcess());
  std::smatch tag;
  ASSERT_TRUE(std::regex_match(self, tag, std::regex("([0-9]+)_([0-9]+)_([0-9a-f]{8})"))) << self;
  const std::string pid = tag[1], boot = tag[3];
  const std::string later = std::to_string(std::stoull(tag[2]) + 1);
  const std::string otherBoot = boot == "00000000" ? "00000001" : "00000000";
  std::vector<std::string> stale = {
      ".kupci.tps.vrd" + std::to_string(dead) + ".Qq7788", "." + name + ".vrdAbC123",
      "." + name + ".vrdAbC123.x1Y2z3",
      "." + name + ".vrd" + pid + "_" + later + "_" + boot + ".Rr1122"};
  std::vector<std::string> live = {".kupci.tps.vrd" + self + ".Tt5566",
                                   ".kupci.tps.vrd" + pid + ".Uu7788"};
  const std::string otherBootName =
      "." + name + ".vrd" + pid + "_" + tag[2].str() + "_" + otherBoot + ".Ss3344.p0P0p0";
#ifdef _WIN32
  // There the boot is computed from the clock, so a running process whose number and exact
  // creation time match owns the name whatever boot it gives.
  live.push_back(otherBootName);
#else
  stale.push_back(otherBootName);
#endif
  for (const std::string& f : stale) WriteFile(dest + "/" + f, "stale");
  for (const auto& f : live) WriteFile(dest + "/" + f, "živo");
  // The only name left of an earlier archive, made by a process that has died: put in place.
  WriteFile(dest + "/.stara.zip+link.vrd" + pid + "_" + later + "_" + boot + ".Vv9900", "stara");
  const std::vector<std::string> foreign = {".drugo.vrd" + pid + ".AbC123", ".drugo.vrdAbC12",
                                            "PETAK.zip.vrdAbC123", ".drugo.vrd12_34.AbC123",
                                            ".drugo.vrd12_34_ABCDEF01.AbC123"};
  for (const auto& f : foreign) WriteFile(dest + "/" + f, "tuđe");
  fs::create_directory(dest + "/.mapa.vrdAbC123");
  ProcessResult r = Verdan(work, {"backup", "dest"});
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> kept = {".drugo.vrd" + pid + ".AbC123", ".drugo.vrd12_34.AbC123",
                                   ".drugo.vrd12_34_ABCDEF01.AbC123", ".drugo.vrdAbC12",
                                   ".mapa.vrdAbC123"};
  kept.insert(kept.end(), live.begin(), live.end());
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(Hidden(dest), kept);
  EXPECT_EQ(ReadFile(dest + "/stara.zip"), "stara");
  for (const auto& f : foreign) EXPECT_EQ(ReadFile(dest + "/" + f), "tuđe");
  EXPECT_EQ(RunProcess({"/usr/bin/unzip", "-tq", dest + "/" + name}, dir.path()).status, 0);
}

#ifndef _WIN32  // the file size limit (ulimit -f, SIGXFSZ) is a POSIX shell's
// The second copy is made only once the new archive is in place: a backup that fails (here the
// file size limit stops the archive half-way) leaves the archive and the generation before it.
TEST_F(BackupCommand, AFailedBackupKeepsTheArchiveAndTheGenerationBeforeIt) {
  ASSERT_EQ(Verdan(work, {"backup", "dest"}).status, 0);
  std::string archive = dest + "/" + Zips(dest)[0];
  std::string second = archive.substr(0, archive.size() - 4) + "_2_.zip";
  std::string first = ReadFile(archive);
  WriteFile(work + "/kupci.tps", Noise(20000, 3));
  ASSERT_EQ(Verdan(work, {"backup", "dest"}).status, 0);
  std::string latest = ReadFile(archive);
  ASSERT_EQ(ReadFile(second), first);

  WriteFile(work + "/velika.tps", Noise(1 << 20, 4));
  ProcessResult r = RunProcess(
      {"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 400; exec \"$0\" backup dest", VERDAN_BINARY},
      work);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "GREŠKA : -2\nDatoteka je prevelika za taj disk: " + archive + " (File too large)\n");
  EXPECT_EQ(ReadFile(archive), latest);
  EXPECT_EQ(ReadFile(second), first);
  EXPECT_EQ(Hidden(dest), std::vector<std::string>{});
}

// The program with the file changer loaded (see file_changer.cpp): `how` "inplace" or
// "rename", `times` the readings that change `file`.
ProcessResult BackupWhileChanging(const std::string& work, const std::string& file,
                                  const std::string& how, int times) {
  const char* asan = std::getenv("ASAN_OPTIONS");
  return RunProcess({VERDAN_BINARY, "backup", "dest"}, work,
                    {std::string("LD_PRELOAD=") + VERDAN_FILE_CHANGER, "VERDAN_CHANGE_FILE=" + file,
                     "VERDAN_CHANGE_HOW=" + how, "VERDAN_CHANGE_TIMES=" + std::to_string(times),
                     // the sanitizers' runtime would otherwise insist on coming first
                     "ASAN_OPTIONS=" + std::string(asan ? asan : "") + ":verify_asan_link_order=0"},
                    120);
}

// The program with the system refusing its thread start number `refused` (see
// file_changer.cpp). `reached` tells whether the run started that many threads.
ProcessResult RunRefusingThread(const std::string& work, const std::vector<std::string>& args,
                                int refused, bool& reached) {
  const std::string mark = work + "/../nit-odbijena";
  fs::remove(mark);
  const char* asan = std::getenv("ASAN_OPTIONS");
  std::vector<std::string> argv{VERDAN_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessResult r =
      RunProcess(argv, work,
                 {std::string("LD_PRELOAD=") + VERDAN_FILE_CHANGER,
                  "VERDAN_REFUSE_THREAD=" + std::to_string(refused), "VERDAN_REFUSE_MARK=" + mark,
                  "ASAN_OPTIONS=" + std::string(asan ? asan : "") + ":verify_asan_link_order=0"},
                 120);
  reached = fs::exists(mark);
  fs::remove(mark);
  return r;
}

// What an archive's entry holds: its length and the distinct bytes in it ("25165824 B").
std::string EntryLetters(const std::string& archive, const std::string& entry) {
  ProcessResult r = RunProcess({"/usr/bin/python3", "-c",
                                "import sys,zipfile\n"
                                "z=zipfile.ZipFile(sys.argv[1])\n"
                                "assert z.testzip() is None\n"
                                "d=z.read(sys.argv[2])\n"
                                "print(len(d), ''.join(sorted(set(d.decode('latin-1')))))\n",
                                archive, entry},
                               "/");
  return r.status == 0 ? r.out : "unreadable: " + r.err;
}

// A data file written while the backup reads it (in place, as the business program keeps its
// tables, or replaced under its name, as programs save) is read again, and its entry holds
// one state of it: never the head of one state and the tail of another. One that changes at
// every reading fails the run, naming it, and leaves the previous archive and its second copy
// as they were. The changes come at the same moment of every run: when the second piece of
// the file has been read.
TEST_F(BackupCommand, AFileChangedWhileItIsPackedIsReadAgainOrTheRunFailsNamingIt) {
  const std::string file = work + "/RACUNI.TPS";
  WriteFile(file, std::string(24 << 20, 'A'));
  ASSERT_EQ(Verdan(work, {"backup", "dest"}).status, 0);
  const std::string archive = dest + "/" + Zips(dest)[0];
  ASSERT_EQ(EntryLetters(archive, "RACUNI.TPS"), "25165824 A\n");

  // Changed once during the first reading: the second reading is whole.
  ProcessResult r = BackupWhileChanging(work, file, "inplace", 1);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(file)[0], 'B');
  EXPECT_EQ(EntryLetters(archive, "RACUNI.TPS"), "25165824 B\n");
  r = BackupWhileChanging(work, file, "rename", 1);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(file)[0], 'A');
  EXPECT_EQ(EntryLetters(archive, "RACUNI.TPS"), "25165824 A\n");

  // Changed at every reading: the run fails, names the file, and changes nothing.
  const std::string second = archive.substr(0, archive.size() - 4) + "_2_.zip";
  const std::string before = ReadFile(archive), secondBefore = ReadFile(second);
  for (const char* how : {"inplace", "rename"}) {
    r = BackupWhileChanging(work, file, how, 1000);
    EXPECT_EQ(r.status, 1) << how << ": " << r.err;
    EXPECT_EQ(
        r.err,
        "GREŠKA : -18\nDatoteka se mijenjala dok se arhivirala (pročitana više puta, svaki put "
        "drukčija); arhiva nije zapisana, prethodna ostaje: " +
            file + "\n")
        << how;
    EXPECT_TRUE(ReadFile(archive) == before) << how;
    EXPECT_TRUE(ReadFile(second) == secondBefore) << how;
    EXPECT_EQ(Hidden(dest), std::vector<std::string>{}) << how;
    EXPECT_EQ(Hidden(work), std::vector<std::string>{}) << how;
  }
  const std::string log = Verdan(work, {"log", "-n", "1"}).out;
  EXPECT_NE(log.find("GREŠKA: GREŠKA : -18 Datoteka se mijenjala"), std::string::npos) << log;
}

// A data file that is a symbolic link is never followed (it may name any file of the system,
// which would end up in an archive others read); a pipe or a directory under a data file's
// name is not opened. Each is left out and named on standard error and in the log; the run
// packs the rest and succeeds.
// On a terminal the progress line is redrawn only now and then while many small files are
// packed; whatever was skipped, the line the run leaves shows every file done.
TEST_F(BackupCommand, TheProgressLineOnATerminalEndsWithEveryFileCounted) {
  for (int i = 0; i < 300; ++i)
    WriteFile(work + "/m" + std::to_string(1000 + i) + ".tps", Noise(2000, i) + "RACUN\n");
  ProcessResult r = RunProcess({"/usr/bin/python3", "-c",
                                "import os,pty,sys\n"
                                "pid,fd=pty.fork()\n"
                                "if pid==0:\n"
                                "  os.execv(sys.argv[1],sys.argv[1:])\n"
                                "out=b''\n"
                                "while True:\n"
                                "  try:\n"
                                "    d=os.read(fd,65536)\n"
                                "  except OSError:\n"
                                "    break\n"
                                "  if not d:\n"
                                "    break\n"
                                "  out+=d\n"
                                "_,status=os.waitpid(pid,0)\n"
                                "sys.stdout.buffer.write(out)\n"
                                "sys.exit(os.waitstatus_to_exitcode(status))\n",
                                VERDAN_BINARY, "backup", "dest"},
                               work, {}, 120);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  ASSERT_EQ(Zips(dest).size(), 1u);
  // The line's last drawing, the one before the line ends.
  const std::size_t end = r.out.find('\n', r.out.rfind("datoteka,"));
  ASSERT_NE(end, std::string::npos) << r.out;
  const std::size_t from = r.out.rfind('\r', r.out.rfind("datoteka,"));
  ASSERT_NE(from, std::string::npos) << r.out;
  EXPECT_EQ(r.out.substr(from + 1, 17), "303/303 datoteka,") << r.out.substr(from, end - from);
}

TEST_F(BackupCommand, LinksPipesAndDirectoriesAmongTheDataFilesAreLeftOutAndNamed) {
  WriteFile(dir.File("tajna.txt"), "ne smije u arhivu");
  fs::create_symlink(dir.File("tajna.txt"), work + "/veza.tps");
  fs::create_symlink(work + "/kupci.tps", work + "/unutra.tps");  // inside the directory too
  fs::create_symlink(dir.File("nema"), work + "/prazna.tps");     // dangling
  ASSERT_EQ(::mkfifo((work + "/cijev.tps").c_str(), 0600), 0);
  fs::create_directory(work + "/mapa.tps");
  ProcessResult r = Verdan(work, {"backup", "dest"}, 60);  // a pipe opened would block
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string expected =
      "[Pažnja!!!] Preskočeno (simbolička veza ili nije obična datoteka), ne arhivira se:\n";
  EXPECT_EQ(r.err.rfind(expected, 0), 0u) << r.err;
  for (const char* name : {"veza.tps", "unutra.tps", "prazna.tps", "cijev.tps", "mapa.tps"})
    EXPECT_NE(r.err.find("\n" + work + "/" + name + "\n"), std::string::npos)
        << name << ": " << r.err;
  EXPECT_NE(r.err.find("Arhiviranje uspješno završilo !"), std::string::npos) << r.err;
  ASSERT_EQ(Zips(dest).size(), 1u);
  EXPECT_EQ(verdan::testing::ZipEntryNames(dest + "/" + Zips(dest)[0]),
            "ARHIVE.TPS PEMAIL.TPS kupci.tps\n");
  const std::string log = Verdan(work, {"log", "-n", "1"}).out;
  EXPECT_NE(log.find("\tOK: preskočeno (nije obična datoteka): "), std::string::npos) << log;
  EXPECT_NE(log.find(work + "/veza.tps"), std::string::npos) << log;

  // Only links: nothing to archive, and the previous archive stays.
  const std::string archive = dest + "/" + Zips(dest)[0];
  const std::string before = ReadFile(archive);
  for (const char* name : {"ARHIVE.TPS", "PEMAIL.TPS", "kupci.tps"})
    fs::rename(work + "/" + name, dir.File(name));
  for (const char* name : {"ARHIVE.TPS", "PEMAIL.TPS", "kupci.tps"})
    fs::create_symlink(dir.File(name), work + "/" + name);
  r = Verdan(work, {"backup", "dest"}, 60);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("Nema ništa za arhiviranje u tekućem direktoriju !"), std::string::npos)
      << r.err;
  EXPECT_EQ(ReadFile(archive), before);
}
#endif  // the file changer is loaded with LD_PRELOAD; links and pipes need symlink and mkfifo

// An archive path longer than the run buffer holds is refused before anything is written,
// never cut to a name without ".zip" or to "..._2_.".
TEST_F(BackupCommand, ArchivePathsThatWouldBeCutAreRefused) {
  std::string longDest = dir.path() + "/";
  while (longDest.size() < 114) longDest += "d";
  longDest += "/";  // 115 characters
  fs::create_directories(longDest);
  ASSERT_EQ(Verdan(work, {"settings", "--dest", longDest}).status, 0);
  std::vector<std::string> around = Names(dir.path());
  ProcessResult r = Verdan(work, {"backup", "dest"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("Putanja arhive je preduga (najviše 126 znakova), ništa nije zapisano:\n" +
                            Native(longDest),
                        0),
            0u)
      << r.err;
  EXPECT_TRUE(fs::is_empty(longDest));
  EXPECT_EQ(Names(dir.path()), around);

#ifndef _WIN32  // on Windows a disk letter is the system's drive; [Diskovi] is not read there

  // A disk letter that stands for a long directory.
  WriteFile(work + "/verdan.env", "[Diskovi]\nE=" + longDest + std::string(12, 'u') + "\n");
  fs::create_directories(longDest + std::string(12, 'u'));
  r = Verdan(work, {"backup", "usb"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(
      r.err.rfind(
          "Putanja arhive je preduga (najviše 126 znakova), ništa nije zapisano:\n" + longDest, 0),
      0u)
      << r.err;
  EXPECT_TRUE(fs::is_empty(longDest + std::string(12, 'u')));
#endif
}

// Errors say why, with the path and the system's text: a disk that is not attached, a full
// disk, a read-only disk, a restore larger than the free space.
TEST_F(BackupCommand, MissingFullAndReadOnlyDisksAreNamedInTheMessage) {
  WriteFile(work + "/verdan.env", "[Diskovi]\nF=" + dir.File("nema") + "\n");
  ASSERT_EQ(Verdan(work, {"settings", "--disk", "F"}).status, 0);
  ProcessResult r = Verdan(work, {"backup", "usb"});
  EXPECT_EQ(r.status, 1);
#ifdef _WIN32
  EXPECT_EQ(r.err, "GREŠKA : -2\nDisk F (F:) nije priključen\n");  // the drive itself there
#else
  EXPECT_EQ(r.err, "GREŠKA : -2\nDisk F (" + dir.File("nema") + ") nije priključen\n");
#endif
  EXPECT_FALSE(fs::exists(dir.File("nema")));

#ifndef _WIN32  // the small disks are tmpfs mounts in a mount namespace of the test's own
  WriteFile(dir.File("velika.tps"), Noise(1200000, 7));
  fs::create_directories(dir.File("spremljeno"));
  ASSERT_EQ(Verdan(work, {"settings", "--disk", "E"}).status, 0);
  WriteFile(work + "/verdan.env", "[Diskovi]\nE=" + usb + "\n");
  // In a mount namespace of its own: a 256 KB disk at the USB directory, which takes the first
  // archive and not the second; then the same disk read-only; then the working directory on a
  // disk too small for a restore.
  std::optional<ProcessResult> run = InOwnMounts(
      "V=$0 W=$1 U=$2 BIG=$3 SAVE=$4\n"
      "mount -t tmpfs -o size=256k tmpfs \"$U\" || exit 99\n"
      "cd \"$W\"\n"
      "\"$V\" backup usb 2>/dev/null || exit 98\n"
      "A=$(ls \"$U\")\n"
      "md5sum \"$U/$A\" > \"$SAVE/prije\"\n"
      "cp \"$BIG\" \"$W/velika.tps\"\n"
      "\"$V\" backup usb; echo \"puni=$?\"\n"
      "md5sum -c --quiet \"$SAVE/prije\" && echo \"arhiva ista\"\n"
      "ls -A \"$U\"\n"
      "mount -o remount,ro \"$U\"\n"
      "\"$V\" backup usb; echo \"ro=$?\"\n"
      "rm \"$W/velika.tps\"\n"
      "cp -a \"$W/.\" \"$SAVE/\"\n"
      "mount -t tmpfs -o size=512k tmpfs \"$W\"\n"
      "cp -a \"$SAVE/.\" \"$W/\"\n"
      "cp \"$BIG\" \"$SAVE/velika.tps\"\n"
      "cd \"$SAVE\" && zip -q -0 veliko.zip velika.tps && cd \"$W\"\n"
      "\"$V\" restore \"$SAVE/veliko.zip\" --yes 2>&1 | tail -2; echo \"obnova\"\n"
      "ls -A \"$W\"\n",
      {VERDAN_BINARY, work, usb, dir.File("velika.tps"), dir.File("spremljeno")});
  if (!run) GTEST_SKIP() << "this system does not let a test mount a small disk";
  ASSERT_EQ(run->status, 0) << run->out << run->err;
  std::string out = run->out;
  std::string day = out.substr(out.find("arhiva ista\n") + 12);
  day = day.substr(0, day.find('\n'));
  EXPECT_NE(out.find("puni=1\narhiva ista\n" + day + "\n"), std::string::npos) << out;
  EXPECT_NE(run->err.find("GREŠKA : -2\nDisk je pun: " + usb + "/" + day +
                          " (No space left on device)\n"),
            std::string::npos)
      << run->err;
  EXPECT_NE(out.find("ro=1\n"), std::string::npos) << out;
  EXPECT_NE(run->err.find("GREŠKA : -2\nDisk je zaštićen od pisanja: " + usb + "/" + day +
                          " (Read-only file system)\n"),
            std::string::npos)
      << run->err;
  EXPECT_NE(out.find("GREŠKA : -14\nDisk je pun: za dearhiviranje treba 1,1 MB, slobodno je "),
            std::string::npos)
      << out;
  std::string after = out.substr(out.find("obnova\n") + 7);
  EXPECT_EQ(after.find(".v"), std::string::npos) << after;  // no temporary, no journal
  EXPECT_EQ(after.find("velika.tps"), std::string::npos) << after;
#endif
}

#ifndef _WIN32  // another process holds the directory with flock, which Windows has not

// A backup or restore started while another process holds the source directory waits a
// bounded time, then refuses with a message; nothing is packed or replaced.
TEST_F(BackupCommand, RunsWaitForTheDirectoryAndRefuseWhileItStaysBusy) {
  ASSERT_EQ(Verdan(work, {"backup", "dest"}).status, 0);
  std::vector<std::string> zips = Zips(dest);
  ASSERT_EQ(zips.size(), 1u);
  const std::string archive = ReadFile(dest + "/" + zips[0]);
  MakeZip(dest + "/nova.zip", {{"kupci.tps", "iz arhive"}});
  const std::string kupci = ReadFile(work + "/kupci.tps");

  int fd = ::open(work.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  const std::string busy =
      "U direktoriju upravo radi drugo arhiviranje ili dearhiviranje; ništa nije "
      "učinjeno, pokušajte kasnije:\n" +
      work;
  ProcessResult b = RunProcess({VERDAN_BINARY, "backup", "dest"}, work, {"VERDAN_LOCK_WAIT=1"});
  EXPECT_EQ(b.status, 1);
  EXPECT_NE(b.err.find("GREŠKA : -17\n" + busy), std::string::npos) << b.err;
  std::vector<std::string> expected{"nova.zip", zips[0]};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Zips(dest), expected);
  EXPECT_EQ(ReadFile(dest + "/" + zips[0]), archive);
  ProcessResult r = RunProcess({VERDAN_BINARY, "restore", dest + "/nova.zip", "--yes"}, work,
                               {"VERDAN_LOCK_WAIT=1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("GREŠKA : -17\n" + busy), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(work + "/kupci.tps"), kupci);
  EXPECT_TRUE(Hidden(work).empty());
  ::close(fd);

  EXPECT_EQ(RunProcess({VERDAN_BINARY, "restore", dest + "/nova.zip", "--yes"}, work,
                       {"VERDAN_LOCK_WAIT=1"})
                .status,
            0);
  EXPECT_EQ(ReadFile(work + "/kupci.tps"), "iz arhive");
}
#endif

// A working directory longer than the settings hold is refused as the default source and
// destination, with a message, never cut: the backup then goes beside the data under its
// proper name.
TEST(LongWorkingDirectory, IsNeverCutIntoTheSettingsOrTheArchiveName) {
  TempDir dir;
  std::string work = dir.path();
  while (work.size() < 140) work += "/" + std::string(30, 'w');
  work = Native(work);  // as the program shows its working directory
  fs::create_directories(work);
  WriteFile(work + "/kupci.tps", "podaci");
  ProcessResult r = Verdan(work, {"backup", "dest"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err,
            " NEXT(email), Greška :Record Not Available\n"
            "Radni direktorij je duži od 127 znakova pa nije postavljen kao izvorni i odredišni "
            "direktorij (odaberite ih u prozoru Opcije):\n" +
                work + "\n[ OBAVIJEST !]  Arhiviranje uspješno završilo !\n");
  std::vector<std::string> zips = Zips(work);
  ASSERT_EQ(zips.size(), 1u);
  EXPECT_EQ(zips[0].find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ"), zips[0].size() - 4) << zips[0];
  EXPECT_EQ(RunProcess({"/usr/bin/unzip", "-tq", work + "/" + zips[0]}, work).status, 0);
  // Nothing was written anywhere else.
  for (const auto& e : fs::recursive_directory_iterator(dir.path())) {
    if (e.is_regular_file()) {
      EXPECT_EQ(e.path().parent_path().string(), work) << e.path();
    }
  }
  ProcessResult shown = Verdan(work, {"settings"});
  EXPECT_EQ(shown.status, 0) << shown.err;
  EXPECT_EQ(shown.out.rfind("POCDIR=\nZAVDIR=\nOZNAKAARHIVDISKA=E\nTIP_ARH=dan\n", 0), 0u)
      << shown.out;
}

#ifndef _WIN32  // thread starts are refused by the file changer, loaded with LD_PRELOAD
// A system that has no thread to give at some moment (too many threads or processes) never
// ends a run half way, nor fails it: each thread start of a backup, of a run that adds to an
// existing archive and of a restore is refused in turn, and every run still succeeds (with
// the threads it got, or on its own thread), leaving no temporary, an archive that reads
// whole, and the working files restored.
TEST_F(BackupCommand, ARefusedThreadStartNeverEndsARunHalfWay) {
  WriteFile(work + "/velika.tps", Noise(3 << 20, 7) + std::string(6 << 20, 'v'));
  ASSERT_EQ(Verdan(work, {"archive", "weekday"}).status, 0);  // makes the file list's table
  ASSERT_EQ(Verdan(work, {"backup", "dest"}).status, 0);
  const std::vector<std::string> made = Zips(dest), weekday = Zips(work);
  ASSERT_EQ(made.size(), 1u);
  ASSERT_EQ(weekday.size(), 1u);
  const std::string archive = dest + "/" + made[0];
  const std::string kupci = ReadFile(work + "/kupci.tps");

  struct Run {
    std::vector<std::string> args;
    std::string archive;  // reads whole after every run, with the same entries
  };
  const std::vector<Run> runs = {
      {{"backup", "dest"}, archive},
      {{"archive", "weekday"}, work + "/" + weekday[0]},
      {{"restore", archive, "--yes"}, archive},
  };
  int refusals = 0;
  for (const Run& run : runs) {
    const std::string names = verdan::testing::ZipEntryNames(run.archive);
    ASSERT_NE(names.find("velika.tps"), std::string::npos) << names;
    bool reached = true;
    for (int n = 1; reached && n <= 64; ++n) {
      const bool restore = run.args[0] == "restore";
      if (restore) WriteFile(work + "/kupci.tps", "izmijenjeno");
      ProcessResult r = RunRefusingThread(work, run.args, n, reached);
      SCOPED_TRACE(run.args[0] + " with thread start " + std::to_string(n) + " refused");
      refusals += reached;
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.err.find("terminate"), std::string::npos) << r.err;
      EXPECT_EQ(Hidden(work), std::vector<std::string>{});
      EXPECT_EQ(Hidden(dest), std::vector<std::string>{});
      EXPECT_EQ(verdan::testing::ZipEntryNames(run.archive), names);
      if (restore) {
        EXPECT_EQ(ReadFile(work + "/kupci.tps"), kupci);
      }
    }
    EXPECT_FALSE(reached) << run.args[0] << " started more threads than tried";
  }
  RecordProperty("refusedThreadStarts", refusals);
  EXPECT_GE(refusals, 9);  // the start-up's threads and at least two pools of every run
}
#endif

}  // namespace
