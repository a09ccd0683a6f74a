#include "archive/archive_runs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <thread>

#include "app/archive_password.h"
#include "app/tables.h"
#include "archive/generations.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "support/scripted_ui.h"
#include "support/temp_dir.h"
#include "zip/verify.h"

namespace verdan::archive {
namespace {

using platform::CivilDate;
using platform::DayCountFromDate;
using testing::ReadFile;
using testing::ScopedCwd;
using testing::WriteFile;
using testing::ZipEntryNames;

std::int64_t Day(int y, int m, int d) { return DayCountFromDate(CivilDate{y, m, d}); }

bool Exists(const std::string& p) { return std::filesystem::exists(p); }

TEST(ArchiveNames, ByWeekdayDateAndMix) {
  std::string name(kBaseNameLength, ' ');
  BuildArchiveName("dan", Day(2006, 3, 9), name);
  EXPECT_EQ(name, platform::FitField("CETVRTAK", 20));
  BuildArchiveName("dat", Day(2006, 3, 5), name);
  EXPECT_EQ(platform::TrimRightCopy(name), "532006");
  BuildArchiveName("dat", Day(2006, 11, 20), name);
  EXPECT_EQ(platform::TrimRightCopy(name), "20112006");
  // Day and month that run together into another date's digits take two digits each, so
  // 11 January and 1 November no longer share "1112006" (and the later run no longer takes
  // the earlier archive for its own); dates that read one way only keep their short name.
  std::string other = name;
  BuildArchiveName("dat", Day(2006, 1, 11), name);
  BuildArchiveName("dat ", Day(2006, 11, 1), other);
  EXPECT_EQ(platform::TrimRightCopy(name), "11012006");
  EXPECT_EQ(platform::TrimRightCopy(other), "01112006");
  std::set<std::string> names;
  for (std::int64_t day = Day(2026, 1, 1); day < Day(2027, 1, 1); ++day) {
    BuildArchiveName("dat", day, name);
    EXPECT_TRUE(names.insert(name).second) << name;
    EXPECT_TRUE(IsRunName("dat", platform::TrimRightCopy(name))) << name;
  }
  EXPECT_EQ(names.count(platform::FitField("2122026", 20)), 0u);  // 2.12. and 21.2.
  EXPECT_EQ(names.count(platform::FitField("5122026", 20)), 1u);  // 5.12. only
  BuildArchiveName("mix", Day(2006, 3, 6), name);
  EXPECT_EQ(platform::TrimRightCopy(name), "PON632006");
  BuildArchiveName("mix", Day(2006, 3, 12), name);
  EXPECT_EQ(platform::TrimRightCopy(name), "NED1232006");
  // Any other mode keeps what the window's name held.
  BuildArchiveName("   ", Day(2006, 3, 7), name);
  EXPECT_EQ(platform::TrimRightCopy(name), "NED1232006");
  std::string blank(kBaseNameLength, ' ');
  BuildArchiveName("xyz", Day(2006, 3, 7), blank);
  EXPECT_EQ(blank, std::string(20, ' '));
}

class RunsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    data = dir.File("podaci");
    std::filesystem::create_directories(data);
    WriteFile(data + "/ARHIVE.TPS", "arhive");
    WriteFile(data + "/kupci.tps", std::string(50000, 'k'));
    WriteFile(data + "/ostalo.dat", "ne");
    program.StartDirectory = platform::FitField(dir.path(), 127);
    program.run.POCDIR = platform::FitField(data, 127);
    program.run.TIP_ARH = "dan";
    program.run.OZNAKAARHIVDISKA = "E";
    std::filesystem::create_directories(dir.File("usb"));
    WriteFile(dir.File("verdan.env"), "[Diskovi]\nE=" + dir.File("usb") + "\n");
  }
  std::vector<std::string> Texts() { return ui.Texts(); }

  testing::TempDir dir;
  testing::ScopedCwd cwd{dir.path()};
  platform::SettableClock clock{Day(2006, 3, 9)};  // a Thursday
  platform::ScopedClock useClock{clock};
  testing::ScriptedUi ui;
  app::Program program{ui};
  ArchiveShared shared;
  std::string IMEARHIVE = std::string(kBaseNameLength, ' ');
  std::string data;
};

#ifndef _WIN32  // disk E: is the system's own drive on Windows, not a directory named in verdan.env
TEST_F(RunsTest, ExternalDiskRunWritesTheWeekdayArchiveAndKeepsTheEarlierOneAsSecondCopy) {
  EXPECT_TRUE(ExternalDiskRun(program, shared, IMEARHIVE));
  std::string archive = dir.File("usb/CETVRTAK.zip");
  EXPECT_EQ(program.buffers.ZIPARCHIVE, archive);
  EXPECT_EQ(program.buffers.AKTIVNAARHIVA, archive);
  EXPECT_EQ(ZipEntryNames(archive), "ARHIVE.TPS kupci.tps\n");
  EXPECT_FALSE(Exists(dir.File("usb/CETVRTAK_2_.zip")));
  ASSERT_EQ(ui.Messages().size(), 1u);
  EXPECT_EQ(ui.Messages()[0].text, " Arhiviranje uspješno završilo !");
  EXPECT_EQ(ui.Messages()[0].caption, " OBAVIJEST !");
  EXPECT_EQ(ui.Messages()[0].icon, platform::Icon::kExclamation);
  EXPECT_EQ(platform::CurrentDirectory(), dir.path());
  EXPECT_FALSE(ui.ProgressReports().empty());
  EXPECT_TRUE(ui.ProgressReports().back().finished);

  std::string first = ReadFile(archive);
  WriteFile(data + "/novi.tps", "novi");
  EXPECT_TRUE(ExternalDiskRun(program, shared, IMEARHIVE));
  EXPECT_EQ(ReadFile(dir.File("usb/CETVRTAK_2_.zip")), first);
  EXPECT_EQ(ZipEntryNames(archive), "ARHIVE.TPS kupci.tps novi.tps\n");
}
#endif

#ifndef _WIN32  // a symbolic link needs privileges on Windows, and disk E: is the system's own
                // there
// The window's runs name a data file that is a symbolic link in a message of their own
// before the success message, and the browse runs before theirs; the link is not followed.
TEST_F(RunsTest, LinkedDataFilesAreNamedInTheRunsMessagesAndLeftOut) {
  WriteFile(dir.File("tajna.txt"), "tajna");
  std::filesystem::create_symlink(dir.File("tajna.txt"), data + "/veza.tps");
  EXPECT_TRUE(ExternalDiskRun(program, shared, IMEARHIVE));
  EXPECT_EQ(ZipEntryNames(dir.File("usb/CETVRTAK.zip")), "ARHIVE.TPS kupci.tps\n");
  ASSERT_EQ(ui.Messages().size(), 2u);
  EXPECT_EQ(ui.Messages()[0].text, std::string(kSkippedText) + "|" + data + "/veza.tps");
  EXPECT_EQ(ui.Messages()[0].icon, platform::Icon::kExclamation);
  EXPECT_EQ(ui.Messages()[1].text, " Arhiviranje uspješno završilo !");

  platform::ChangeDirectory(data);
  WeekdayRun(program, shared, 0);
  EXPECT_EQ(ZipEntryNames(data + "/CETVRTAK.zip"), "ARHIVE.TPS kupci.tps\n");
  ASSERT_EQ(ui.Messages().size(), 4u);
  EXPECT_EQ(ui.Messages()[2].text, std::string(kSkippedText) + "|" + data + "/veza.tps");
  EXPECT_EQ(ui.Messages()[3].text, " ARHIVIRANJE ZAVRŠILO !");
}
#endif

TEST_F(RunsTest, BlankDiskLetterStopsTheRunBeforeAnythingIsWritten) {
  program.run.OZNAKAARHIVDISKA = " ";
  program.buffers.ZIPARCHIVE = "prije";
  EXPECT_FALSE(ExternalDiskRun(program, shared, IMEARHIVE));
  ASSERT_EQ(ui.Messages().size(), 1u);
  EXPECT_EQ(ui.Messages()[0].text, "Nisi odabrao oznaku vanjskog diska");
  EXPECT_EQ(ui.Messages()[0].caption, "Pažnja!!!");
  EXPECT_EQ(ui.Messages()[0].icon, platform::Icon::kExclamation);
  EXPECT_EQ(program.buffers.ZIPARCHIVE, "prije");
  EXPECT_TRUE(std::filesystem::is_empty(dir.File("usb")));
}

TEST_F(RunsTest, DestinationIsADirectoryOrAPrefix) {
  std::filesystem::create_directories(dir.File("backup"));
  program.run.TIP_ARH = "mix";
  program.run.ZAVDIR = platform::FitField(dir.File("backup") + "/", 127);
  EXPECT_TRUE(DestinationRun(program, shared, IMEARHIVE));
  EXPECT_TRUE(Exists(dir.File("backup/CET932006.zip")));

  // A directory as the dialog returns it, without the closing separator: the archive goes
  // inside it (the second run keeps the first archive as its second copy).
  program.run.ZAVDIR = platform::FitField(dir.File("backup"), 127);
  EXPECT_TRUE(DestinationRun(program, shared, IMEARHIVE));
  EXPECT_EQ(program.buffers.ZIPARCHIVE, dir.File("backup/CET932006.zip"));
  EXPECT_TRUE(Exists(dir.File("backup/CET932006_2_.zip")));
  EXPECT_FALSE(Exists(dir.File("backupCET932006.zip")));

  // Anything else is a prefix exactly as stored.
  program.run.ZAVDIR = platform::FitField(dir.File("backup/dnevni_"), 127);
  EXPECT_TRUE(DestinationRun(program, shared, IMEARHIVE));
  EXPECT_EQ(program.buffers.ZIPARCHIVE, dir.File("backup/dnevni_CET932006.zip"));
  EXPECT_TRUE(Exists(dir.File("backup/dnevni_CET932006.zip")));
  EXPECT_FALSE(Exists(dir.File("backup/dnevni_CET932006_2_.zip")));

  // A blank destination names the archive relative to the source directory.
  program.run.ZAVDIR = std::string(127, ' ');
  EXPECT_TRUE(DestinationRun(program, shared, IMEARHIVE));
  EXPECT_EQ(program.buffers.ZIPARCHIVE, "CET932006.zip");
  EXPECT_TRUE(Exists(data + "/CET932006.zip"));
  EXPECT_EQ(platform::CurrentDirectory(), dir.path());
}

TEST_F(RunsTest, AnArchivePathThatWouldBeCutIsRefusedBeforeAnythingIsWritten) {
  std::string deep = dir.path() + platform::kSeparator;
  while (deep.size() < 113) deep += "d";
  std::filesystem::create_directories(deep);
  deep += platform::kSeparator;  // 114 characters: "CETVRTAK.zip" fits in 126, "CETVRTAK_2_.zip"
                                 // would not
  program.run.ZAVDIR = platform::FitField(deep, 127);
  program.buffers.ZIPARCHIVE = "prije";
  EXPECT_FALSE(DestinationRun(program, shared, IMEARHIVE));
  EXPECT_EQ(Texts(), std::vector<std::string>{kPathTooLongText + deep + "CETVRTAK_2_.zip"});
  EXPECT_TRUE(std::filesystem::is_empty(deep));
  EXPECT_EQ(program.buffers.ZIPARCHIVE, "prije");

#ifndef _WIN32  // disk E: is the system's own drive on Windows, not a directory in verdan.env
  // A disk letter that stands for a long directory: the archive itself would lose ".zip".
  ui.Clear();
  WriteFile(dir.File("verdan.env"), "[Diskovi]\nE=" + deep + std::string(10, 'x') + "\n");
  EXPECT_FALSE(ExternalDiskRun(program, shared, IMEARHIVE));
  EXPECT_EQ(Texts(), std::vector<std::string>{kPathTooLongText + deep + std::string(10, 'x') +
                                              "/CETVRTAK.zip"});
  EXPECT_TRUE(std::filesystem::is_empty(deep));
#endif
}

TEST_F(RunsTest, AFailedRunKeepsBothTheArchiveAndTheEarlierSecondCopy) {
  std::filesystem::create_directories(dir.File("prazno"));
  program.run.ZAVDIR = platform::FitField(dir.path() + "/", 127);
  ASSERT_TRUE(DestinationRun(program, shared, IMEARHIVE));
  std::string first = ReadFile(dir.File("CETVRTAK.zip"));
  WriteFile(data + "/novi.tps", "novi");
  ASSERT_TRUE(DestinationRun(program, shared, IMEARHIVE));
  std::string second = ReadFile(dir.File("CETVRTAK.zip"));
  ASSERT_EQ(ReadFile(dir.File("CETVRTAK_2_.zip")), first);
  ui.Clear();

  // Nothing to archive: the run fails, and neither file changes; the generation before the
  // latest archive is still there.
  program.run.POCDIR = platform::FitField(dir.File("prazno"), 127);
  EXPECT_FALSE(DestinationRun(program, shared, IMEARHIVE));
  EXPECT_EQ(Texts(), (std::vector<std::string>{"Nema ništa za arhiviranje u tekućem direktoriju !",
                                               "GREŠKA : " + std::to_string(kZipNothingQueued)}));
  EXPECT_EQ(ReadFile(dir.File("CETVRTAK.zip")), second);
  EXPECT_EQ(ReadFile(dir.File("CETVRTAK_2_.zip")), first);
  EXPECT_EQ(program.buffers.AKTIVNAARHIVA, dir.File("CETVRTAK.zip"));
  // No temporary of the prepared second copy is left.
  for (const auto& e : std::filesystem::directory_iterator(dir.path()))
    EXPECT_NE(e.path().filename().string()[0], '.') << e.path();

  // A browse run whose every pattern fails leaves its second copy too.
  program.run.POCDIR = platform::FitField(data, 127);
  WriteFile(dir.File("Arhiv#2.zip"), "starija");
  WriteFile(dir.File("CETVRTAK.zip"), second);
  ScopedCwd inEmpty{dir.File("prazno")};
  WriteFile(dir.File("prazno/CETVRTAK.zip"), ReadFile(dir.File("CETVRTAK.zip")));
  WriteFile(dir.File("prazno/Arhiv#2.zip"), "starija");
  WeekdayRun(program, shared, 0);
  EXPECT_EQ(ReadFile(dir.File("prazno/Arhiv#2.zip")), "starija");
  EXPECT_EQ(ReadFile(dir.File("prazno/CETVRTAK.zip")), second);
}

TEST_F(RunsTest, RunsFromTwoWindowsAtOnceTakeTurns) {
  WriteFile(data + "/velika.tps", std::string(3 << 20, 'v'));
  program.run.ZAVDIR = platform::FitField(dir.path() + "/", 127);
  std::string otherName(kBaseNameLength, ' ');
  bool first = false, second = false;
  std::thread other([&] { second = DestinationRun(program, shared, otherName); });
  first = DestinationRun(program, shared, IMEARHIVE);
  other.join();
  EXPECT_TRUE(first);
  EXPECT_TRUE(second);
  EXPECT_EQ(Texts(), (std::vector<std::string>{" Arhiviranje uspješno završilo !",
                                               " Arhiviranje uspješno završilo !"}));
  EXPECT_EQ(ZipEntryNames(dir.File("CETVRTAK.zip")), "ARHIVE.TPS kupci.tps velika.tps\n");
  EXPECT_EQ(ZipEntryNames(dir.File("CETVRTAK_2_.zip")), "ARHIVE.TPS kupci.tps velika.tps\n");
  EXPECT_EQ(platform::CurrentDirectory(), dir.path());
}

class BrowseRunsTest : public RunsTest {
 protected:
  void SetUp() override {
    RunsTest::SetUp();
    ASSERT_TRUE(app::OpenTable(program, program.datoteke));
    ++program.datoteke.ReferenceCount;
    ASSERT_TRUE(app::OpenTable(program, program.arhive));
    ++program.arhive.ReferenceCount;
    WriteFile(dir.File("LOKALNA.TPS"), "lokalna");
  }
  void TearDown() override {
    app::CloseTable(program.datoteke);
    app::CloseTable(program.arhive);
  }
  void AddEntry(const std::string& ime) {
    program.DAT = {};
    program.DAT.IME = platform::FitField(ime, app::kDatImeLength);
    ASSERT_EQ(app::AddRecord(program, program.datoteke), 0);
  }
  std::vector<std::int32_t> Stamps() {
    std::vector<std::int32_t> out;
    app::SetOrder(program, program.datoteke, platform::kRecordOrder);
    while (app::NextRecord(program, program.datoteke) == 0) out.push_back(program.DAT.DATUM);
    return out;
  }
};

TEST_F(BrowseRunsTest, ListRunPacksEachEntryAddingToTheArchiveOfEarlierRuns) {
  AddEntry(data + "/kupci");
  AddEntry(data + "/ARHIVE.TPS");  // stored with its extension: matches nothing
  AddEntry(data + "/arhive");
  ListRun(program, shared);
  EXPECT_EQ(Texts(), (std::vector<std::string>{"Nema ništa za arhiviranje u tekućem direktoriju !",
                                               "GREŠKA : " + std::to_string(kZipNothingQueued),
                                               " ARHIVIRANJE ZAVRŠILO !"}));
  EXPECT_EQ(ui.Messages().back().caption, " OBAVIJEST !");
  EXPECT_EQ(ZipEntryNames(dir.File("OdPodaci.zip")), "ARHIVE.TPS kupci.tps\n");
  EXPECT_FALSE(Exists(dir.File("OdPod#2.zip")));
  EXPECT_EQ(Stamps(), (std::vector<std::int32_t>{0, 0, 0}));  // no stamping

  std::string first = ReadFile(dir.File("OdPodaci.zip"));
  WriteFile(data + "/novi.tps", "n");
  AddEntry(data + "/NOVI");
  ListRun(program, shared);
  EXPECT_EQ(ReadFile(dir.File("OdPod#2.zip")), first);
  EXPECT_EQ(ZipEntryNames(dir.File("OdPodaci.zip")), "ARHIVE.TPS kupci.tps novi.tps\n");
}

TEST_F(BrowseRunsTest, AnEmptyListOnlyClosesTheRun) {
  ListRun(program, shared);
  EXPECT_EQ(Texts(), std::vector<std::string>{" ARHIVIRANJE ZAVRŠILO !"});
  EXPECT_FALSE(Exists(dir.File("OdPodaci.zip")));
}

TEST_F(BrowseRunsTest, WeekdayRunStampsTheListedFilesOrPacksTheCurrentDirectory) {
  AddEntry(data + "/kupci");
  AddEntry(data + "/nema");
  int redraws = 0, refreshes = 0;
  BrowseHooks hooks{[&] { ++redraws; }, [&] { ++refreshes; }};
  WeekdayRun(program, shared, 1, hooks);
  std::string archive = dir.File("CETVRTAK.zip");
  EXPECT_EQ(program.buffers.ZIPARCHIVE, archive);
  EXPECT_EQ(ZipEntryNames(archive), "kupci.tps\n");
  EXPECT_EQ(Stamps(), (std::vector<std::int32_t>{static_cast<std::int32_t>(Day(2006, 3, 9)),
                                                 static_cast<std::int32_t>(Day(2006, 3, 9))}));
  EXPECT_EQ(redraws, 2);
  EXPECT_EQ(refreshes, 1);

  std::string first = ReadFile(archive);
  WeekdayRun(program, shared, 0, hooks);
  EXPECT_EQ(ReadFile(dir.File("Arhiv#2.zip")), first);
  EXPECT_EQ(ZipEntryNames(archive), "ARHIVE.TPS DATOTEKE.TPS LOKALNA.TPS kupci.tps\n");
  EXPECT_EQ(Texts().back(), " ARHIVIRANJE ZAVRŠILO !");
}

TEST_F(BrowseRunsTest, DefinitionRunRecordsTheDayInTheDefinition) {
  std::string path = dir.File("def.zip");
  program.ARH = {};
  program.ARH.ID = 1;
  program.ARH.NAZIV = platform::FitField("Dnevna", app::kArhNazivLength);
  program.ARH.STAZA = platform::FitField(path, app::kArhStazaLength);
  ASSERT_EQ(app::AddRecord(program, program.arhive), 0);

  DefinitionRun(program, shared, 0, path);
  EXPECT_EQ(ZipEntryNames(path), "ARHIVE.TPS DATOTEKE.TPS LOKALNA.TPS\n");
  EXPECT_EQ(Texts(), std::vector<std::string>{" ARHIVIRANJE ZAVRŠILO !"});
  program.ARH.STAZA = platform::FitField(path, app::kArhStazaLength);
  ASSERT_EQ(app::GetRecord(program, program.arhive, app::ARH_KEYSTAZA), 0);
  EXPECT_EQ(program.ARH.DATUMARH, Day(2006, 3, 9));

  // Option 1 adds the listed files to the same archive; the old one is the second copy.
  std::string first = ReadFile(path);
  AddEntry(data + "/kupci");
  DefinitionRun(program, shared, 1, path);
  EXPECT_EQ(ReadFile(dir.File("OdPod#2.zip")), first);
  EXPECT_EQ(ZipEntryNames(path), "ARHIVE.TPS DATOTEKE.TPS LOKALNA.TPS kupci.tps\n");
}

#ifndef _WIN32  // the credentials file is made untrusted through its POSIX mode
// The archive password comes from the credentials file; when that file cannot be trusted
// every run, of the archiving window and of the browses, stops with the reason before it
// writes anything: an archive is never written unencrypted in place of an encrypted one.
TEST_F(BrowseRunsTest, AnUntrustedCredentialsFileStopsEveryRunBeforeItWrites) {
  std::string problem;
  ASSERT_TRUE(app::StoreArchivePassword("tajna arhive", problem)) << problem;
  ASSERT_EQ(::chmod(dir.File("verdan.credentials").c_str(), 0644), 0);
  std::filesystem::create_directories(dir.File("backup"));
  program.run.ZAVDIR = platform::FitField(dir.File("backup"), 127);
  AddEntry(data + "/kupci");
  const std::string path = dir.File("def.zip");

  EXPECT_FALSE(ExternalDiskRun(program, shared, IMEARHIVE));
  EXPECT_FALSE(DestinationRun(program, shared, IMEARHIVE));
  WeekdayRun(program, shared, 0);
  ListRun(program, shared);
  DefinitionRun(program, shared, 1, path);
  std::vector<std::string> texts = Texts();
  ASSERT_EQ(texts.size(), 8u);  // the browse runs close with their closing message
  for (std::size_t i : {0u, 1u, 2u, 4u, 6u}) {
    EXPECT_EQ(texts[i].rfind(app::kArchivePasswordUnreadableText, 0), 0u) << texts[i];
    EXPECT_NE(texts[i].find("(prava 0644)"), std::string::npos) << texts[i];
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.File("usb")));
  EXPECT_TRUE(std::filesystem::is_empty(dir.File("backup")));
  for (const char* name : {"CETVRTAK.zip", "OdPodaci.zip", "def.zip"})
    EXPECT_FALSE(Exists(dir.File(name))) << name;

  // Trusted again, the same runs write, encrypted under the stored password only.
  ASSERT_EQ(::chmod(dir.File("verdan.credentials").c_str(), 0600), 0);
  EXPECT_TRUE(DestinationRun(program, shared, IMEARHIVE));
  ListRun(program, shared);
  std::vector<ArchiveEntryInfo> entries;
  EXPECT_TRUE(TestArchive(dir.File("OdPodaci.zip"), "tajna arhive", entries, problem)) << problem;
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "kupci.tps");
  EXPECT_FALSE(TestArchive(dir.File("OdPodaci.zip"), "381", entries, problem));
  EXPECT_TRUE(entries[0].badPassword);
}
#endif

}  // namespace
}  // namespace verdan::archive
