// `verdan settings` run as a program in a temporary directory.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.h"

namespace {

using verdan::testing::ProcessResult;
using verdan::testing::RunProcess;
using verdan::testing::TempDir;

ProcessResult Settings(const std::string& cwd, std::vector<std::string> args = {}) {
  std::vector<std::string> argv{VERDAN_BINARY, "settings"};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProcess(argv, cwd);
}

// The mail profile of a new record: the placeholders, no credentials.
const std::string kDefaultMail =
    "SERVER=mail.example.com\nPORT=25\nUSER=\nPASSWORD=\nFROM=backup@example.com\n"
    "TO=podrska@example.com\nSUBJECT=Slanje backupa podataka klijenta\nTLS=none\nCAFILE=\nGENERACIJE=0\n";

std::string Lines(const std::string& src, const std::string& dest, const std::string& disk,
                  const std::string& naming) {
  return "POCDIR=" + src + "\nZAVDIR=" + dest + "\nOZNAKAARHIVDISKA=" + disk + "\nTIP_ARH=" +
         naming + "\n" + kDefaultMail;
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
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--naming", "tjedan"},
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

}  // namespace
