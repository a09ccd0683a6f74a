// The archive runs started from the two lists' run buttons, end to end: real archives read
// back with Python's zipfile, the dates the runs stamp, and the list read again afterwards.
#include "archive/browse_windows.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "app/tables.h"
#include "platform/clock.h"
#include "platform/keyed_file.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "support/scripted_ui.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace verdan::archive {
namespace {

using app::BrowseButton;
using testing::ReadFile;
using testing::WaitFor;
using testing::WriteFile;
using testing::ZipEntryNames;

std::int64_t Day(int y, int m, int d) { return platform::DayCountFromDate({y, m, d}); }

class BrowseWindowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir.File("kupci.tps"), std::string(30000, 'k'));
    WriteFile(dir.File("racuni.tps"), "racuni");
    std::filesystem::create_directories(dir.File("podaci"));
    std::filesystem::create_directories(dir.File("out"));
    WriteFile(dir.File("podaci/novi.tps"), "novi");
    WriteFile(dir.File("podaci/stari.tps"), "stari");
    program.StartDirectory = dir.path();
  }
  void TearDown() override {
    threads.Shut();
    threads.JoinAll();
  }
  // Adds records to a table through a connection of its own.
  void Add(app::TableSlot& slot, const std::vector<platform::Record>& records) {
    platform::KeyedFile file(app::TableLayoutOf(slot));
    if (file.Open() == platform::kFileNotFound) {
      ASSERT_EQ(file.Create(), 0);
      ASSERT_EQ(file.Open(), 0);
    }
    for (const auto& r : records) ASSERT_EQ(file.Add(r), 0);
  }
  std::vector<std::int64_t> Dates(app::TableSlot& slot, std::size_t field) {
    platform::KeyedFile file(app::TableLayoutOf(slot));
    std::vector<std::int64_t> out;
    if (file.Open() != 0) return out;
    file.Set(platform::kRecordOrder);
    platform::Record r;
    while (file.Next(r) == 0) out.push_back(std::get<std::int64_t>(r[field]));
    return out;
  }
  std::shared_ptr<app::BrowseWindow> Start(std::shared_ptr<app::BrowseWindow> w) {
    threads.Start([w](platform::EventQueue& q) { w->Run(q); });
    EXPECT_TRUE(WaitFor([&] { return w->Snapshot().open; }));
    return w;
  }
  // Presses a run button and waits until the run is over and the list read again.
  void RunFrom(const std::shared_ptr<app::BrowseWindow>& w, BrowseButton button) {
    std::uint64_t before = w->Snapshot().handled;
    ASSERT_TRUE(w->Press(button));
    ASSERT_TRUE(WaitFor([&] { return w->Snapshot().handled > before; }));
  }
  void Option(const std::shared_ptr<app::BrowseWindow>& w, int value) {
    std::uint64_t before = w->Snapshot().handled;
    ASSERT_TRUE(w->SelectOption(value));
    ASSERT_TRUE(
        WaitFor([&] { return w->Snapshot().handled > before && w->Snapshot().option == value; }));
  }

  testing::TempDir dir;
  testing::ScopedCwd cwd{dir.path()};
  platform::SettableClock clock{Day(2006, 3, 9)};  // a Thursday
  platform::ScopedClock useClock{clock};
  testing::ScriptedUi ui;
  app::Program program{ui};
  ArchiveShared shared;
  platform::WindowThreads threads;
};

TEST_F(BrowseWindowsTest, DefinitionListArchivesIntoTheHighlightedDefinition) {
  const std::string archive = dir.File("out/Tjedni.zip");
  Add(program.arhive, {{std::int64_t{1}, "Tjedni", "", archive, std::int64_t{0}, "", ""}});
  auto w = Start(MakeDefinitionBrowse(program, shared));

  // The working directory's data files into a new archive; the definition gets today's date.
  RunFrom(w, BrowseButton::kRun);
  EXPECT_EQ(ui.Texts(), std::vector<std::string>{" ARHIVIRANJE ZAVRŠILO !"});
  EXPECT_EQ(ZipEntryNames(archive), "ARHIVE.TPS DATOTEKE.TPS kupci.tps racuni.tps\n");
  EXPECT_FALSE(std::filesystem::exists(dir.File("OdPod#2.zip")));
  EXPECT_EQ(w->Snapshot().rows.at(0).at(2), "09/03/06");
  EXPECT_EQ(Dates(program.arhive, 4), std::vector<std::int64_t>{Day(2006, 3, 9)});

  // A day later, the listed files: added to the archive, which was kept as it was. An entry
  // stored with its extension names no file.
  Add(program.datoteke, {{dir.File("podaci/novi"), std::int64_t{0}, "", std::int64_t{0}, ""},
                         {dir.File("podaci/stari.tps"), std::int64_t{0}, "", std::int64_t{0}, ""}});
  clock.SetToday(Day(2006, 3, 10));
  const std::string before = ReadFile(archive);
  ui.Clear();
  Option(w, 1);
  RunFrom(w, BrowseButton::kRun);
  EXPECT_EQ(ui.Texts(),
            (std::vector<std::string>{"Nema ništa za arhiviranje u tekućem direktoriju !",
                                      "GREŠKA : " + std::to_string(kZipNothingQueued),
                                      " ARHIVIRANJE ZAVRŠILO !"}));
  EXPECT_EQ(ZipEntryNames(archive), "ARHIVE.TPS DATOTEKE.TPS kupci.tps novi.tps racuni.tps\n");
  EXPECT_EQ(ReadFile(dir.File("OdPod#2.zip")), before);
  EXPECT_EQ(Dates(program.datoteke, 3),
            (std::vector<std::int64_t>{Day(2006, 3, 10), Day(2006, 3, 10)}));
  EXPECT_EQ(Dates(program.arhive, 4), std::vector<std::int64_t>{Day(2006, 3, 10)});
  app::BrowseState s = w->Snapshot();
  EXPECT_EQ(s.rows.at(0).at(2), "10/03/06");
  EXPECT_EQ(s.entryName, dir.File("podaci/stari.tps"));  // the last entry the run went through
  EXPECT_EQ(platform::CurrentDirectory(), dir.path());
}

TEST_F(BrowseWindowsTest, FileListArchivesIntoTheWeekdayArchiveOfTheCurrentDirectory) {
  auto w = Start(MakeFileListBrowse(program, shared));
  EXPECT_TRUE(w->Snapshot().Button(BrowseButton::kListRun).hidden);
  RunFrom(w, BrowseButton::kRun);
  EXPECT_EQ(ui.Texts(), std::vector<std::string>{" ARHIVIRANJE ZAVRŠILO !"});
  const std::string archive = dir.File("CETVRTAK.zip");
  EXPECT_EQ(ZipEntryNames(archive), "DATOTEKE.TPS kupci.tps racuni.tps\n");

  // The listed files of an empty list: nothing is packed, only the closing message.
  const std::string first = ReadFile(archive);
  ui.Clear();
  Option(w, 1);
  RunFrom(w, BrowseButton::kRun);
  EXPECT_EQ(ui.Texts(), std::vector<std::string>{" ARHIVIRANJE ZAVRŠILO !"});
  EXPECT_EQ(ReadFile(archive), first);
  // An archive the run did not change is not copied over the second copy, which keeps the
  // generation before (here: none yet).
  EXPECT_FALSE(std::filesystem::exists(dir.File("Arhiv#2.zip")));
  EXPECT_TRUE(w->Snapshot().rows.empty());
}

}  // namespace
}  // namespace verdan::archive
