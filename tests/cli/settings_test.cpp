// `verdan settings` run as a program in a temporary directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "support/temp_dir.h"

namespace {

using verdan::testing::ProcessResult;
using verdan::testing::ReadFile;
using verdan::testing::RunProcess;
using verdan::testing::TempDir;
using verdan::testing::WriteFile;

ProcessResult Settings(const std::string& cwd, std::vector<std::string> args = {}) {
  std::vector<std::string> argv{VERDAN_BINARY, "settings"};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProcess(argv, cwd);
}

// The mail profile of a new record: the placeholders, no credentials.
const std::string kDefaultMail =
    "SERVER=mail.example.com\nPORT=25\nUSER=\nPASSWORD=\nFROM=backup@example.com\n"
    "TO=podrska@example.com\nSUBJECT=Slanje backupa podataka "
    "klijenta\nTLS=none\nCAFILE=\nOAUTH=\nTOKEN=nema\nGENERACIJE=0\nZAPORKAARHIVE=nema\n";

std::string Lines(const std::string& src, const std::string& dest, const std::string& disk,
                  const std::string& naming) {
  return "POCDIR=" + src + "\nZAVDIR=" + dest + "\nOZNAKAARHIVDISKA=" + disk +
         "\nTIP_ARH=" + naming + "\n" + kDefaultMail;
}

TEST(SettingsCommand, FirstRunCreatesTheTableAndReportsTheEmptyRecordOnce) {
  TempDir dir;
  const std::string here = std::filesystem::canonical(dir.path()).string();
  ProcessResult first = Settings(dir.path());
  EXPECT_EQ(first.status, 1);
  EXPECT_EQ(first.err, " NEXT(email), Greška :Record Not Available\n");
  EXPECT_EQ(first.out, Lines(here, here, "E", "dan"));
  EXPECT_TRUE(std::filesystem::exists(dir.File("PEMAIL.TPS")));

  ProcessResult second = Settings(dir.path());
  EXPECT_EQ(second.status, 0);
  EXPECT_EQ(second.err, "");
  EXPECT_EQ(second.out, first.out);
}

TEST(SettingsCommand, OptionsAreStoredAndShownByTheNextRun) {
  TempDir dir;
  ProcessResult set = Settings(dir.path(), {"--dest", "/mnt/backup/", "--disk", "f", "--naming",
                                            "mix", "--source", "/srv/podaci čista"});
  EXPECT_EQ(set.status, 1);  // the first run's report of the empty table
  EXPECT_EQ(set.out, Lines("/srv/podaci čista", "/mnt/backup/", "F", "mix"));
  ProcessResult again = Settings(dir.path());
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.err, "");
  EXPECT_EQ(again.out, set.out);
  ProcessResult one = Settings(dir.path(), {"--naming", "dat"});
  EXPECT_EQ(one.status, 0);
  EXPECT_EQ(one.out, Lines("/srv/podaci čista", "/mnt/backup/", "F", "dat"));
}

TEST(SettingsCommand, UsageErrorsChangeNothing) {
  TempDir dir;
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"--naming", "tjedan"},
                                             {"--disk", "EF"},
                                             {"--disk", "1"},
                                             {"--dest"},
                                             {"--bogus", "x"},
                                             {"--source", std::string(128, 'a')},
                                             {"--port", "0"},
                                             {"--port", "smtp"},
                                             {"--subject", "a\r\nBcc: x@example.org"},
                                             {"--keep", "-1"},
                                             {"--keep=dva"},
                                             {"--tls", "ssl"},
                                             {"suvišno"}}) {
    ProcessResult r = Settings(dir.path(), args);
    EXPECT_EQ(r.status, 2) << args[0];
    EXPECT_EQ(r.out, "") << args[0];
    EXPECT_NE(r.err.find("Upotreba: verdan settings"), std::string::npos);
  }
  EXPECT_FALSE(std::filesystem::exists(dir.File("PEMAIL.TPS")));
}

TEST(SettingsCommand, ADamagedTableEndsWithStatus3) {
  TempDir dir;
  verdan::testing::WriteFile(dir.File("PEMAIL.TPS"), std::string(2048, '\x01'));
  ProcessResult r = Settings(dir.path());
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "[Datoteka ne valja] Greška: (Invalid Record Declaration (47)) otvaram PEMAIL.  "
            "Pritisni OK da zatvoriš aplikaciju.\nDatoteka ne valja!\n");
  EXPECT_EQ(verdan::testing::ReadFile(dir.File("PEMAIL.TPS")), std::string(2048, '\x01'));
}

// `verdan settings` with the password on standard input (one line); `option` says which.
ProcessResult SettingsWithPassword(const std::string& cwd, const std::string& password,
                                   std::vector<std::string> args,
                                   const std::string& option = "--password-stdin") {
  std::vector<std::string> argv = {VERDAN_BINARY, "settings", option};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProcess(argv, cwd, {}, 60, password + "\n");
}

std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
  return s;
}

// How many of the files (tables, and every entry of every archive) hold `password` or its
// upper-case form anywhere in their bytes; counts the files looked at in `checked`.
int FilesHoldingPassword(const std::string& dir, const std::string& password, int& checked) {
  int hits = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    const std::string name = entry.path().string();
    std::string ext = Upper(entry.path().extension().string());
    std::vector<std::string> contents;
    if (ext == ".TPS") {
      contents.push_back(ReadFile(name));
    } else if (ext == ".ZIP") {
      const std::string raw = ReadFile(name);
      contents.push_back(raw);  // the archive as stored (entries may be stored uncompressed)
      ProcessResult unpacked = RunProcess({"/usr/bin/unzip", "-p", name}, dir);
      EXPECT_EQ(unpacked.status, 0) << name;
      contents.push_back(unpacked.out);
    } else {
      continue;
    }
    ++checked;
    for (const std::string& bytes : contents)
      if (bytes.find(password) != std::string::npos ||
          bytes.find(Upper(password)) != std::string::npos) {
        ++hits;
        ADD_FAILURE() << name << " holds the password";
        break;
      }
  }
  return hits;
}

// Writes a password into the settings table the way the program once kept it: in the record's
// PASSWORD field and its upper-case key, changed twice so that the file's free space holds
// the earlier (longer) one too.
void PlantOldStylePassword(const std::string& dir, const std::string& earlier,
                           const std::string& password) {
  WriteFile(dir + "/plant.py", R"PY(
import sqlite3, sys
db = sqlite3.connect(sys.argv[1] + '/PEMAIL.TPS')
db.execute('PRAGMA secure_delete=OFF')
for pw in sys.argv[2:]:
    db.execute('UPDATE tps_records SET f6 = ?, k2 = ?', (pw, pw.upper().encode()))
    db.commit()
db.close()
)PY");
  ProcessResult r =
      RunProcess({"/usr/bin/python3", dir + "/plant.py", dir, earlier, password}, dir);
  ASSERT_EQ(r.status, 0) << r.err;
  std::filesystem::remove(dir + "/plant.py");
  const std::string table = ReadFile(dir + "/PEMAIL.TPS");
  ASSERT_NE(table.find(Upper(password)), std::string::npos);
  // What is left of the earlier one in the free space: its first 20 characters at least.
  ASSERT_NE(table.find(Upper(earlier.substr(0, 20))), std::string::npos);
}

std::string Credentials(const std::string& dir) { return ReadFile(dir + "/verdan.credentials"); }

// The password is kept in verdan.credentials (mode 0600), never in a table: neither the
// tables nor an archive made afterwards hold its bytes, in either letter case.
TEST(SettingsSecrets, ThePasswordStaysOutOfTablesAndArchives) {
  TempDir dir;
  const std::string work = dir.File("work");
  std::filesystem::create_directories(work + "/arhive");
  ProcessResult set = SettingsWithPassword(work, "Lozinka=Ured 2026\\",
                                           {"--user", "ured", "--dest", work + "/arhive/"});
  EXPECT_EQ(set.status, 1) << set.err;  // the first run's report of the empty table
  EXPECT_NE(set.out.find("USER=ured\nPASSWORD=********\n"), std::string::npos) << set.out;
#ifndef _WIN32  // owner-only file modes are POSIX's
  struct stat st {};
  ASSERT_EQ(::stat((work + "/verdan.credentials").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
#endif
  EXPECT_NE(Credentials(work).find("\nsmtp.password=Lozinka=Ured 2026\\\\\n"), std::string::npos)
      << Credentials(work);

  ProcessResult backup = verdan::testing::Verdan(work, {"backup", "dest"});
  EXPECT_EQ(backup.status, 0) << backup.err;
  ProcessResult again = verdan::testing::Verdan(work, {"backup", "dest"});  // and its second copy
  EXPECT_EQ(again.status, 0) << again.err;
  int checked = 0;
  EXPECT_EQ(FilesHoldingPassword(work, "Lozinka=Ured 2026", checked), 0);
  EXPECT_EQ(checked, 3);  // PEMAIL.TPS, the archive and its second copy
  ProcessResult names =
      RunProcess({"/usr/bin/unzip", "-Z1", backup.out.substr(0, backup.out.size() - 1)}, work);
  EXPECT_EQ(names.out, "PEMAIL.TPS\n");  // the credentials file is not packed
}

// A table from before keeps the password in the record: the first start moves it to the
// credentials file and leaves no byte of it in the table. A restore of an archive made then
// does not bring it back, nor does it replace the password set since.
TEST(SettingsSecrets, AnOldTableIsMigratedAndARestoreBringsNoPasswordBack) {
  TempDir dir;
  const std::string work = dir.File("work");
  std::filesystem::create_directories(work + "/arhive");
  ASSERT_EQ(Settings(work, {"--user", "ured", "--dest", work + "/arhive/"}).status, 1);
  PlantOldStylePassword(work, "PrvaLozinkaKojaJeBilaMnogoDuzaOdSadasnje1234567", "StaraLozinka22");
  // An archive made with the old table, packed as the program once packed it.
  ASSERT_EQ(RunProcess({"/usr/bin/zip", "-q", "stara.zip", "PEMAIL.TPS"}, work).status, 0);
  std::filesystem::rename(work + "/stara.zip", dir.File("stara.zip"));

  ProcessResult first = Settings(work);
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_NE(first.out.find("USER=ured\nPASSWORD=********\n"), std::string::npos) << first.out;
  EXPECT_NE(Credentials(work).find("\nsmtp.password=StaraLozinka22\n"), std::string::npos);
  int checked = 0;
  EXPECT_EQ(FilesHoldingPassword(work, "StaraLozinka22", checked), 0);
  EXPECT_EQ(FilesHoldingPassword(
                work, std::string("PrvaLozinkaKojaJeBilaMnogoDuzaOdSadasnje1234567").substr(0, 20),
                checked),
            0);
  EXPECT_EQ(checked, 2);

  // A new password, then the old archive restored over the table.
  ASSERT_EQ(SettingsWithPassword(work, "NovaLozinka33", {}).status, 0);
  ProcessResult restore =
      verdan::testing::Verdan(work, {"restore", dir.File("stara.zip"), "--yes"});
  EXPECT_EQ(restore.status, 0) << restore.err;
  EXPECT_NE(Credentials(work).find("\nsmtp.password=NovaLozinka33\n"), std::string::npos)
      << Credentials(work);
  EXPECT_EQ(Credentials(work).find("StaraLozinka22"), std::string::npos);
  ProcessResult backup = verdan::testing::Verdan(work, {"backup", "dest"});
  EXPECT_EQ(backup.status, 0) << backup.err;
  checked = 0;
  EXPECT_EQ(FilesHoldingPassword(work, "StaraLozinka22", checked), 0);
  EXPECT_EQ(FilesHoldingPassword(work, "NovaLozinka33", checked), 0);
  EXPECT_EQ(checked, 6);  // twice PEMAIL.TPS, DATOTEKE.TPS (the restore opens it) and the archive
}

#ifndef _WIN32  // the file is opened to others with chmod, given to another user with chown
// A credentials file others may read, or that is not the user's, is refused with the reason;
// it is neither read nor replaced.
TEST(SettingsSecrets, ACredentialsFileOthersCouldReadIsRefused) {
  TempDir dir;
  Settings(dir.path());
  ASSERT_EQ(SettingsWithPassword(dir.path(), "tajna", {"--user", "ured"}).status, 0);
  ::chmod(dir.File("verdan.credentials").c_str(), 0644);
  const std::string before = Credentials(dir.path());
  ProcessResult shown = Settings(dir.path());
  EXPECT_EQ(shown.status, 1);
  EXPECT_EQ(shown.err,
            "verdan settings: Datoteka s tajnim podacima verdan.credentials mogu čitati ili "
            "mijenjati i drugi korisnici (prava 0644); iz nje se ništa ne čita niti se u nju piše. "
            "Ostavite prava samo vlasniku: chmod 600 verdan.credentials\n");
  EXPECT_NE(shown.out.find("USER=ured\nPASSWORD=\n"), std::string::npos) << shown.out;
  // The password is not stored; what else was given is.
  ProcessResult change = SettingsWithPassword(dir.path(), "druga", {"--subject", "Nova tema"});
  EXPECT_EQ(change.status, 1);
  EXPECT_NE(change.err.find("(prava 0644)"), std::string::npos) << change.err;
  EXPECT_NE(change.out.find("\nSUBJECT=Nova tema\n"), std::string::npos) << change.out;
  EXPECT_EQ(Credentials(dir.path()), before);

  if (::geteuid() == 0) {
    ::chmod(dir.File("verdan.credentials").c_str(), 0600);
    ASSERT_EQ(::chown(dir.File("verdan.credentials").c_str(), 65534, 65534), 0);
    ProcessResult foreign = Settings(dir.path());
    EXPECT_EQ(foreign.status, 1);
    EXPECT_NE(foreign.err.find("nije vlasništvo korisnika koji pokreće program"), std::string::npos)
        << foreign.err;
  }
}

#endif

}  // namespace

namespace {

// The archive password lives in verdan.credentials beside the SMTP one: `settings` says only
// whether one is set, an empty line clears it, and neither the tables, the archives, the
// log of runs nor the trace ever hold it.
TEST(SettingsSecrets, TheArchivePasswordIsSetShownAsSetAndCleared) {
  TempDir dir;
  const std::string work = dir.File("work");
  std::filesystem::create_directories(work + "/arhive");
  ASSERT_EQ(Settings(work, {"--dest", work + "/arhive/"}).status, 1);
  const std::string secret = "Arhiva#Ured 2026";
  ProcessResult set =
      SettingsWithPassword(work, secret, {"--user", "ured"}, "--archive-password-stdin");
  EXPECT_EQ(set.status, 0) << set.err;
  EXPECT_NE(set.out.find("\nZAPORKAARHIVE=postavljena (AES-256)\n"), std::string::npos) << set.out;
  EXPECT_EQ((set.out + set.err).find(secret), std::string::npos);
  EXPECT_NE(set.out.find("\nPASSWORD=\n"), std::string::npos);  // the SMTP one is apart
#ifndef _WIN32                                                  // owner-only file modes are POSIX's
  struct stat st {};
  ASSERT_EQ(::stat((work + "/verdan.credentials").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
#endif
  EXPECT_NE(Credentials(work).find("\narchive.password=Arhiva#Ured 2026\n"), std::string::npos)
      << Credentials(work);

  // A run with a trace: the password reaches neither the tables nor the archive's bytes and
  // names, the log of runs, the trace or the output.
  ProcessResult backup = RunProcess({VERDAN_BINARY, "backup", "dest"}, work,
                                    {"VERDAN_TRACE=" + dir.File("trace.txt")});
  EXPECT_EQ(backup.status, 0) << backup.err;
  const std::string archive = backup.out.substr(0, backup.out.size() - 1);
  ProcessResult names = RunProcess({"/usr/bin/unzip", "-Z1", archive}, work);
  EXPECT_EQ(names.out, "PEMAIL.TPS\n");  // the directory stays readable; no credentials in it
  for (const std::string& file :
       {work + "/PEMAIL.TPS", archive, work + "/verdan.log", dir.File("trace.txt")}) {
    const std::string bytes = std::filesystem::exists(file) ? ReadFile(file) : "";
    EXPECT_EQ(bytes.find(secret), std::string::npos) << file;
    EXPECT_EQ(bytes.find(Upper(secret)), std::string::npos) << file;
  }
  EXPECT_EQ((backup.out + backup.err).find(secret), std::string::npos);

  // An empty line clears it: archives are written unencrypted again.
  ProcessResult cleared = SettingsWithPassword(work, "", {}, "--archive-password-stdin");
  EXPECT_EQ(cleared.status, 0) << cleared.err;
  EXPECT_NE(cleared.out.find("\nZAPORKAARHIVE=nema\n"), std::string::npos) << cleared.out;
  EXPECT_EQ(Credentials(work).find(secret), std::string::npos);

  // Standard input holds one secret: two options that read it are refused, nothing changes.
  ProcessResult both = SettingsWithPassword(work, "x", {"--password-stdin", "--subject", "Nova"},
                                            "--archive-password-stdin");
  EXPECT_EQ(both.status, 2);
  EXPECT_NE(both.err.find("samo jedna od --password-stdin, --archive-password-stdin"),
            std::string::npos)
      << both.err;
  EXPECT_EQ(Settings(work).out.find("SUBJECT=Nova"), std::string::npos);
}

#ifndef _WIN32  // the file is opened to others with chmod
// With a credentials file that cannot be trusted the archive password cannot be known:
// `settings` says it cannot tell (the runs stop, as the archive runs' tests show).
TEST(SettingsSecrets, AnUntrustedCredentialsFileLeavesTheArchivePasswordUnknown) {
  TempDir dir;
  const std::string work = dir.File("work");
  std::filesystem::create_directories(work);
  ASSERT_EQ(Settings(work).status, 1);
  ASSERT_EQ(SettingsWithPassword(work, "tajna-arhive", {}, "--archive-password-stdin").status, 0);
  ::chmod((work + "/verdan.credentials").c_str(), 0644);
  ProcessResult backup = verdan::testing::Verdan(work, {"backup", "dest"});
  EXPECT_EQ(backup.status, 1);
  EXPECT_NE(backup.err.find("Zaporka arhive ne može se pročitati, arhiva nije zapisana"),
            std::string::npos)
      << backup.err;

  ProcessResult shown = Settings(work);
  EXPECT_EQ(shown.status, 1);
  EXPECT_NE(shown.out.find("\nZAPORKAARHIVE=nepoznato\n"), std::string::npos) << shown.out;
  EXPECT_NE(shown.err.find("(prava 0644)"), std::string::npos) << shown.err;
}
#endif

}  // namespace
