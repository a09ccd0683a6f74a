// `verdan files add`, `verdan list` and `verdan archive` run as a program; the archives are
// read back with Python's zipfile.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "app/form_window.h"
#include "app/tables.h"
#include "archive/archive_runs.h"
#include "platform/clock.h"
#include "platform/keyed_file.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using verdan::testing::Native;
using verdan::testing::ProcessResult;
using verdan::testing::TempDir;
using verdan::testing::WriteFile;
using verdan::testing::ZipEntryNames;

using verdan::testing::Verdan;

std::string Today() { return verdan::app::FormatDate(verdan::platform::SystemClock().Today()); }

class BrowseCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir.File("podaci"));
    WriteFile(dir.File("podaci/kupci.tps"), std::string(20000, 'k'));
    WriteFile(dir.File("podaci/racuni.tps"), "racuni");
    WriteFile(dir.File("glavna.tps"), "glavna");
  }
  TempDir dir;
};

// The log's file count of a run: the fourth field of each line.
std::vector<std::string> LoggedFileCounts(const std::string& log) {
  std::vector<std::string> counts;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string f; std::getline(in, f, '\t');) fields.push_back(f);
    counts.push_back(fields.size() > 3 ? fields[3] : "?");
  }
  return counts;
}

TEST_F(BrowseCommands, FilesAreListedAndArchivedIntoTheWeekdayArchive) {
  WriteFile(dir.File("podaci/stavke.tps"), "stavke");
  ProcessResult r = Verdan(
      dir.path(), {"files", "add", "podaci/kupci.tps", dir.File("podaci/racuni"), "podaci/stavke"});
  EXPECT_EQ(r.status, 0) << r.err;
  r = Verdan(dir.path(), {"files", "add", dir.File("PODACI/../podaci/KUPCI.TPS")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Već postoji slog sa ovom vrijednosti za ključ:DAT:KeyIme"),
            std::string::npos)
      << r.err;
  r = Verdan(dir.path(), {"list", "files"});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string kupci = Native(dir.File("podaci/kupci")),
                    racuni = Native(dir.File("podaci/racuni")),
                    stavke = Native(dir.File("podaci/stavke"));
  EXPECT_EQ(r.out, kupci + "\t\t\t\n" + racuni + "\t\t\t\n" + stavke + "\t\t\t\n");

  r = Verdan(dir.path(), {"archive", "weekday", "--listed"});
  EXPECT_EQ(r.status, 0) << r.err;
  std::string archive;
  for (const auto& e : fs::directory_iterator(dir.path()))
    if (e.path().extension() == ".zip") archive = e.path().string();
  ASSERT_FALSE(archive.empty());
  EXPECT_EQ(ZipEntryNames(archive), "kupci.tps racuni.tps stavke.tps\n");
  r = Verdan(dir.path(), {"list", "files"});
  EXPECT_EQ(r.out, kupci + "\t" + Today() + "\t\t\n" + racuni + "\t" + Today() + "\t\t\n" + stavke +
                       "\t" + Today() + "\t\t\n");
  // Without --listed the working directory's data files are added to the same archive.
  r = Verdan(dir.path(), {"archive", "weekday"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ZipEntryNames(archive), "DATOTEKE.TPS glavna.tps kupci.tps racuni.tps stavke.tps\n");
  // The log counts every listed file the run packed, then the two of the directory.
  EXPECT_EQ(LoggedFileCounts(verdan::testing::ReadFile(dir.File("verdan.log"))),
            (std::vector<std::string>{"3", "2"}));

  for (std::vector<std::string> bad : {std::vector<std::string>{"list"},
                                       {"list", "arhive"},
                                       {"files"},
                                       {"files", "add"},
                                       {"archive", "weekday", "x"},
                                       {"archive", "definition"}})
    EXPECT_EQ(Verdan(dir.path(), bad).status, 2) << bad.back();
}

TEST_F(BrowseCommands, DefinitionIsArchivedByItsPath) {
  fs::create_directories(dir.File("out"));
  const std::string path = dir.File("out/Mjesecni.zip");
  {
    verdan::testing::ScopedCwd here(dir.path());
    verdan::app::TableSlot slot("ARHIVE", "arhive");
    verdan::platform::KeyedFile file(verdan::app::TableLayoutOf(slot));
    ASSERT_EQ(file.Create(), 0);
    ASSERT_EQ(file.Open(), 0);
    ASSERT_EQ(file.Add({std::int64_t{1}, "Mjesecni", "", path, std::int64_t{0}, "", "aktivan"}), 0);
  }
  ProcessResult r = Verdan(dir.path(), {"list", "definitions"});
  EXPECT_EQ(r.out, path + "\tMjesecni\t\t\t\taktivan\n");

  r = Verdan(dir.path(), {"archive", "definition", path});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ZipEntryNames(path), "ARHIVE.TPS DATOTEKE.TPS glavna.tps\n");
  r = Verdan(dir.path(), {"list", "definitions"});
  EXPECT_EQ(r.out, path + "\tMjesecni\t" + Today() + "\t\t\taktivan\n");

  // A definition whose path lies in the root directory (a blank disk) is not run.
  const std::string rootName = "VerdanKorijen" + std::to_string(::getpid()) + ".zip";
  {
    verdan::testing::ScopedCwd here(dir.path());
    verdan::app::TableSlot slot("ARHIVE", "arhive");
    verdan::platform::KeyedFile file(verdan::app::TableLayoutOf(slot));
    ASSERT_EQ(file.Open(), 0);
    ASSERT_EQ(file.Add({std::int64_t{2}, "Korijen", "", "\\" + rootName, std::int64_t{0}, "", ""}),
              0);
  }
  r = Verdan(dir.path(), {"archive", "definition", "\\" + rootName});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Staza \\" + rootName + " vodi u korijenski direktorij"), std::string::npos)
      << r.err;
  EXPECT_FALSE(fs::exists("/" + rootName));
  r = Verdan(dir.path(), {"list", "definitions"});
  EXPECT_NE(r.out.find("\\" + rootName + "\tKorijen\t\t"), std::string::npos) << r.out;  // no date

  r = Verdan(dir.path(), {"archive", "definition", dir.File("out/nema.zip")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Nema definicije arhiva sa stazom: " + dir.File("out/nema.zip")),
            std::string::npos)
      << r.err;
}

}  // namespace
