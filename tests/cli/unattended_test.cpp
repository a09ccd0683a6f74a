// The program run by cron or a timer, as an administrator sets it up: quiet runs that speak
// only when they fail, the archive's path on standard output, the log of runs, generations
// kept, archives verified, a USB disk found without a [Diskovi] entry, and the command-line
// conventions (--help for every command, --opt=value, unknown options refused, a help that
// shows every command and every option the commands accept).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "support/temp_dir.h"

namespace verdan {
namespace {

namespace fs = std::filesystem;
using testing::ProcessResult;
using testing::ReadFile;
using testing::RunProcess;
using testing::TempDir;
using testing::WriteFile;

using testing::Verdan;

bool IsNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
}

// Whether `help` names the option: "--name" (and "-x" for its short form) as a word of its own.
bool Mentions(const std::string& help, const cli::OptionDef& option) {
  auto named = [&help](const std::string& written) {
    for (std::size_t at = 0; (at = help.find(written, at)) != std::string::npos; ++at) {
      const bool startsWord = at == 0 || !IsNameCharacter(help[at - 1]);
      const std::size_t end = at + written.size();
      if (startsWord && (end == help.size() || !IsNameCharacter(help[end]))) return true;
    }
    return false;
  };
  if (!named(std::string("--") + option.name)) return false;
  return option.shortName == 0 || named(std::string("-") + option.shortName);
}

// A working directory with two data files whose backups go into `backup/`.
class Unattended : public ::testing::Test {
 protected:
  void SetUp() override {
    work_ = dir_.File("podaci");
    fs::create_directories(work_);
    fs::create_directories(dir_.File("backup"));
    WriteFile(work_ + "/KUPCI.TPS", std::string(50000, 'k'));
    WriteFile(work_ + "/racuni.tps", std::string(30000, 'r'));
    ProcessResult set = Verdan(work_, {"settings", "--dest=" + dir_.File("backup") + "/"});
    ASSERT_EQ(set.out.rfind("POCDIR=", 0), 0u) << set.err;
  }
  // A small real ZIP archive at `path`, `days` old.
  static void MakeArchive(const std::string& path, int days) {
    ProcessResult z =
        RunProcess({"/usr/bin/python3", "-c",
                    "import sys,zipfile\n"
                    "with zipfile.ZipFile(sys.argv[1],'w') as z: z.writestr('STARO.TPS','staro')\n",
                    path},
                   "/");
    ASSERT_EQ(z.status, 0) << z.err;
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(24 * days));
  }
  TempDir dir_;
  std::string work_;
};

TEST_F(Unattended, QuietRunsSpeakOnlyWhenTheyFailAndBackupPrintsItsArchive) {
  ProcessResult ok = Verdan(work_, {"-q", "backup", "dest"});
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_EQ(ok.err, "");
  // One line: the archive written, which a script can mail or copy.
  ASSERT_EQ(std::count(ok.out.begin(), ok.out.end(), '\n'), 1) << ok.out;
  const std::string archive = ok.out.substr(0, ok.out.size() - 1);
  EXPECT_EQ(archive.rfind(testing::Native(dir_.File("backup") + "/"), 0), 0u) << archive;
  EXPECT_TRUE(fs::is_regular_file(archive));
  EXPECT_EQ(Verdan(work_, {"verify", archive}).status, 0);

  // A failing quiet run says why (the messages it held back) and prints no path.
  ProcessResult failed = Verdan(work_, {"--quiet", "restore", dir_.File("nema.zip"), "--yes"});
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.out, "");
  EXPECT_NE(failed.err.find("Ne postoji ARHIV sa tim imenom !"), std::string::npos) << failed.err;

  // -v tells every file as the run starts on it, also without a terminal.
  ProcessResult verbose = Verdan(work_, {"-v", "backup", "dest"});
  EXPECT_EQ(verbose.status, 0);
  EXPECT_NE(verbose.err.find("KUPCI.TPS\n"), std::string::npos) << verbose.err;
  EXPECT_NE(verbose.err.find("racuni.tps\n"), std::string::npos) << verbose.err;

  // Every run left its line in the log; `log -n 2` shows the last two, oldest first.
  ProcessResult log = Verdan(work_, {"log", "-n", "2"});
  EXPECT_EQ(log.status, 0);
  std::regex line(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\t(backup|restore)\t[^\t]+\t\d+\t\d+\t\d+\.\d\d\t.*)");
  std::vector<std::string> lines;
  for (std::size_t at = 0, nl; (nl = log.out.find('\n', at)) != std::string::npos; at = nl + 1)
    lines.push_back(log.out.substr(at, nl - at));
  ASSERT_EQ(lines.size(), 2u) << log.out;
  EXPECT_TRUE(std::regex_match(lines[0], line)) << lines[0];
  EXPECT_NE(lines[0].find("\trestore\t"), std::string::npos);
  EXPECT_NE(lines[0].find("\tGREŠKA: "), std::string::npos);
  EXPECT_NE(lines[1].find("\tbackup\t" + archive + "\t"), std::string::npos) << lines[1];
  EXPECT_EQ(lines[1].substr(lines[1].size() - 3), "\tOK");
}

TEST_F(Unattended, CommandLineConventions) {
  // An unknown option before a command is a usage error, not an opened window.
  ProcessResult bogus = Verdan(work_, {"--bogus"});
  EXPECT_EQ(bogus.status, 2);
  EXPECT_NE(bogus.err.find("nepoznata opcija '--bogus'"), std::string::npos) << bogus.err;
  // --opt=value beside --opt value, before and after the command.
  ProcessResult shown = Verdan(dir_.path(), {"--workdir=" + work_, "settings", "--naming=mix"});
  EXPECT_EQ(shown.status, 0) << shown.err;
  EXPECT_NE(shown.out.find("TIP_ARH=mix\n"), std::string::npos);
}

// The help and the commands come from one table: the overview shows every command with
// every option it offers, and each command's --help every option its parser accepts. The
// password on the command line (which others see in ps) is accepted by send but not offered.
TEST_F(Unattended, HelpShowsEveryCommandAndEveryOptionItAccepts) {
  ProcessResult overview = Verdan(work_, {"--help"});
  ASSERT_EQ(overview.status, 0);
  EXPECT_EQ(overview.out.rfind("Upotreba: verdan ", 0), 0u) << overview.out;
  for (const cli::OptionDef& option : cli::ProgramOptions())
    EXPECT_TRUE(Mentions(overview.out, option)) << option.name << "\n" << overview.out;
  ASSERT_GE(cli::Commands().size(), 9u);
  for (const cli::Command* command : cli::Commands()) {
    const std::string name = command->name;
    EXPECT_NE(overview.out.find("\n  " + name + " "), std::string::npos) << name << "\n"
                                                                         << overview.out;
    ProcessResult help = Verdan(work_, {name, "--help"});
    EXPECT_EQ(help.status, 0) << name;
    EXPECT_EQ(help.out.rfind("Upotreba: verdan " + name + " ", 0), 0u) << name << ": " << help.out;
    // Each form of the command as its help gives it stands in the overview too.
    const std::string first = help.out.substr(17, help.out.find('\n') - 17);
    EXPECT_NE(overview.out.find("  " + first + "\n"), std::string::npos) << first;
    if (command->options) {
      for (const cli::OptionDef& option : *command->options) {
        EXPECT_TRUE(Mentions(help.out, option)) << name << " --" << option.name << "\n" << help.out;
        const bool offered = !(name == "send" && std::string(option.name) == "password");
        EXPECT_EQ(Mentions(overview.out, option), offered) << name << " --" << option.name;
      }
    }
    ProcessResult unknown = Verdan(work_, {name, "--nema-takve"});
    EXPECT_EQ(unknown.status, 2) << name;
    EXPECT_NE(unknown.err.find("Upotreba: verdan " + name), std::string::npos) << unknown.err;
  }
  EXPECT_EQ(Verdan(work_, {"nema-takve"}).status, 2);
}

TEST_F(Unattended, OlderGenerationsOfTheOwnNamingGoAfterAVerifiedRun) {
  ASSERT_EQ(Verdan(work_, {"settings", "--naming", "dat", "--keep", "2"}).status, 0);
  // Earlier runs' archives (dates of our naming) and files of other names, oldest first.
  const std::string b = dir_.File("backup") + "/";
  const std::vector<std::string> earlier = {"1112025.zip", "532026.zip", "20112026.zip"};
  int age = 3;
  for (const std::string& name : earlier) MakeArchive(b + name, age--);
  MakeArchive(b + "1112025_2_.zip", 3);
  WriteFile(b + "PETAK.zip", "drugo imenovanje");
  WriteFile(b + "biljeske.zip", "nije naše");
  ProcessResult r = Verdan(work_, {"backup", "dest"});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string written = r.out.substr(0, r.out.size() - 1);
  // Kept: the new archive and the newest earlier one; gone: the two oldest and a second copy.
  EXPECT_TRUE(fs::exists(written));
  EXPECT_TRUE(fs::exists(b + "20112026.zip"));
  EXPECT_FALSE(fs::exists(b + "532026.zip"));
  EXPECT_FALSE(fs::exists(b + "1112025.zip"));
  EXPECT_FALSE(fs::exists(b + "1112025_2_.zip"));
  EXPECT_TRUE(fs::exists(b + "PETAK.zip"));
  EXPECT_TRUE(fs::exists(b + "biljeske.zip"));
  EXPECT_NE(r.err.find("Uklonjene su starije arhive (zadržava se 2):"), std::string::npos) << r.err;
  EXPECT_NE(Verdan(work_, {"settings"}).out.find("GENERACIJE=2\n"), std::string::npos);
}

#ifndef _WIN32  // the links are made with symlink, which Windows allows only with privileges
// Only regular files that read as ZIP archives are generations: a symbolic link planted under
// an archive's name is neither counted (by its target's time) nor followed, and a file that
// merely has such a name stays.
TEST_F(Unattended, GenerationsAreRealArchivesNeverLinksOrOtherFiles) {
  ASSERT_EQ(Verdan(work_, {"settings", "--naming", "dat", "--keep", "2"}).status, 0);
  const std::string b = dir_.File("backup") + "/";
  MakeArchive(b + "20112026.zip", 1);  // the real previous generation
  const std::string previous = ReadFile(b + "20112026.zip");
  ProcessResult first = Verdan(work_, {"backup", "dest"});
  ASSERT_EQ(first.status, 0) << first.err;
  const std::string current = first.out.substr(0, first.out.size() - 1);
  ASSERT_TRUE(fs::exists(b + "20112026.zip"));
  // Links named like older generations, to the archive just written and to the previous one,
  // and files that only have an archive's name.
  fs::create_symlink(current, b + "532026.zip");
  fs::create_symlink(b + "20112026.zip", b + "1112025.zip");
  fs::create_symlink(b + "20112026.zip", b + "1212025_2_.zip");
  MakeArchive(b + "1212025.zip", 5);
  WriteFile(b + "20112025.zip", "nije arhiva");
  WriteFile(b + "1012025_2_.zip", "nije arhiva");
  MakeArchive(b + "1012025.zip", 6);
  fs::create_directory(b + "30112025.zip");

  ProcessResult r = Verdan(work_, {"backup", "dest"});
  EXPECT_EQ(r.status, 0) << r.err;
  // Kept: the new archive and the real previous one. Gone: the two oldest real archives;
  // the second copy of one of them is a link (left) and of the other not an archive (left).
  EXPECT_TRUE(fs::is_regular_file(current));
  EXPECT_EQ(ReadFile(b + "20112026.zip"), previous);
  EXPECT_FALSE(fs::exists(b + "1212025.zip"));
  EXPECT_FALSE(fs::exists(b + "1012025.zip"));
  EXPECT_TRUE(fs::is_symlink(b + "532026.zip"));
  EXPECT_TRUE(fs::is_symlink(b + "1112025.zip"));
  EXPECT_TRUE(fs::is_symlink(b + "1212025_2_.zip"));
  EXPECT_EQ(ReadFile(b + "20112025.zip"), "nije arhiva");
  EXPECT_EQ(ReadFile(b + "1012025_2_.zip"), "nije arhiva");
  EXPECT_TRUE(fs::is_directory(b + "30112025.zip"));
  EXPECT_EQ(Verdan(work_, {"verify", current}).status, 0);
  EXPECT_NE(r.err.find(b + "1212025.zip"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("20112026"), std::string::npos) << r.err;
}
#endif

TEST_F(Unattended, VerifyListsEntriesAndTestsEveryCrc) {
  ASSERT_EQ(RunProcess({"/usr/bin/zip", "-q", "-P", "381", dir_.File("zip.zip"), "KUPCI.TPS",
                        "racuni.tps"},
                       work_)
                .status,
            0);
  ProcessResult good = Verdan(work_, {"verify", dir_.File("zip.zip")});
  EXPECT_EQ(good.status, 0) << good.err;
  EXPECT_TRUE(std::regex_search(
      good.out, std::regex(R"(\n +50000  \d\d\.\d\d\.\d{4} \d\d:\d\d  KUPCI\.TPS\n)")))
      << good.out;
  EXPECT_NE(good.out.find("2 datoteka, 80000 bajtova.\n"), std::string::npos) << good.out;

  // One byte changed inside the first entry's data.
  std::string bytes = ReadFile(dir_.File("zip.zip"));
  bytes[80] = static_cast<char>(bytes[80] ^ 0x55);
  WriteFile(dir_.File("bad.zip"), bytes);
  ProcessResult bad = Verdan(work_, {"verify", dir_.File("bad.zip")});
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find("KUPCI.TPS: "), std::string::npos) << bad.err;
  EXPECT_NE(bad.err.find("1 od 2 datoteka ne valja."), std::string::npos) << bad.err;
  WriteFile(dir_.File("tekst.zip"), "nije arhiva");
  EXPECT_EQ(Verdan(work_, {"verify", dir_.File("tekst.zip")}).status, 1);
}

#ifndef _WIN32  // the disks are tmpfs mounts in a mount namespace; /mnt and /media are Linux's
// A disk letter without a [Diskovi] entry and without /mnt/<letter>: the one disk mounted
// under /media/<user>/ is offered and, without a terminal, taken, saying which.
TEST_F(Unattended, TheOneMountedUsbDiskIsOfferedForAnUnmappedLetter) {
  ProcessResult probe = RunProcess({"/usr/bin/unshare", "-rm", "/bin/true"}, "/");
  if (probe.status != 0) GTEST_SKIP() << "this system does not let a test mount a disk of its own";
  const std::string script =
      "mount -t tmpfs tmpfs /mnt || exit 99\n"
      "mount -t tmpfs tmpfs /media || exit 99\n"
      "U=/media/$(id -un)/USB_DISK\n"
      "mkdir -p \"$U\" && mount -t tmpfs -o size=4m tmpfs \"$U\" || exit 99\n"
      "cd \"$0\" && \"$1\" settings --disk G >/dev/null && \"$1\" backup usb || exit $?\n"
      "ls \"$U\"\n";
  ProcessResult r = RunProcess(
      {"/usr/bin/unshare", "-rm", "/bin/sh", "-c", script, work_, VERDAN_BINARY}, "/", {}, 120);
  if (r.status == 99) GTEST_SKIP() << "mounting in the namespace failed: " << r.err;
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(
      r.err.find(
          "Disk G: nije naveden u odjeljku [Diskovi] datoteke verdan.env, a /mnt/g ne postoji."),
      std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("Priključen je jedan vanjski disk: /media/root/USB_DISK"), std::string::npos)
      << r.err;
  EXPECT_TRUE(
      std::regex_search(r.out, std::regex(R"(^/media/root/USB_DISK/[A-Z]+\.zip\n[A-Z]+\.zip\n$)")))
      << r.out;
}

#endif

}  // namespace
}  // namespace verdan
