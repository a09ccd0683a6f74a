#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "app/archive_password.h"
#include "app/tables.h"
#include "archive/archive_window.h"
#include "archive/source_dest.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "support/scripted_ui.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace verdan::archive {
namespace {

using testing::WaitFor;
using testing::WriteFile;

class WindowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir.File("A.TPS"), "a");
    program.StartDirectory = dir.path();
    program.run.POCDIR = platform::FitField(dir.path(), 127);
    program.run.ZAVDIR = platform::FitField(dir.path() + "/", 127);
    program.run.OZNAKAARHIVDISKA = "E";
    program.run.TIP_ARH = "dan";
  }
  testing::TempDir dir;
  testing::ScopedCwd cwd{dir.path()};
  platform::SettableClock clock{platform::DayCountFromDate({2006, 3, 10})};  // a Friday
  platform::ScopedClock useClock{clock};
  testing::ScriptedUi ui;
  app::Program program{ui};
  ArchiveShared shared;
  platform::WindowThreads threads;
};

TEST_F(WindowsTest, ArchivingWindowHasItsControlsInOrderAndRunsFromItsButtons) {
  std::atomic<int> fileListStarts{0};
  ArchiveWindowTargets targets;
  targets.fileList = [&](platform::EventQueue&) { ++fileListStarts; };
  ArchiveWindow window(program, shared, targets);
  threads.Start([&](platform::EventQueue& q) { window.Run(q); });
  ASSERT_TRUE(WaitFor([&] { return window.Snapshot().open; }));

  ArchiveWindowState s = window.Snapshot();
  EXPECT_EQ(s.title, "ARHIVIRANJE DATOTEKA ");
  EXPECT_EQ(s.Control(4).text, "NA &TVRDI DISK");
  EXPECT_EQ(s.Control(8).text, "NA &VANJSKI DISK (USB)");
  EXPECT_EQ(s.Control(12).text, "   Raspakiraj odabranu arhivu !");
  EXPECT_EQ(s.Control(15).text,
            "A]  AUTOMATSKI ZA SVE *.TPS DATOTEKE iz tekućeg direktorija programa :");
  EXPECT_EQ(s.Control(24).text, "&Zatvori");
  EXPECT_FALSE(s.Control(7).enabled);
  EXPECT_FALSE(s.Control(14).enabled);
  EXPECT_TRUE(s.Control(14).hidden);
  EXPECT_EQ(s.Control(13).value, dir.path());
  EXPECT_EQ(s.Control(20).value, "E");
  EXPECT_EQ(s.Control(25).value, dir.path() + "/");
  EXPECT_FALSE(window.Press(7));
  EXPECT_FALSE(window.Press(14));
  EXPECT_FALSE(window.Press(3));  // a prompt

  // A typed destination counts for the next run at once.
  std::filesystem::create_directory(dir.File("out"));
  ASSERT_TRUE(window.Edit(kCtlDestinationDir, dir.File("out") + "/"));
  ASSERT_TRUE(
      WaitFor([&] { return window.Snapshot().Control(25).value == dir.File("out") + "/"; }));
  ASSERT_TRUE(window.Press(kCtlDestinationRun));
  ASSERT_TRUE(
      WaitFor([&] { return window.Snapshot().Control(22).value == dir.File("out/PETAK.zip"); }));
  EXPECT_EQ(window.Snapshot().Control(21).value, dir.File("out/PETAK.zip"));
  EXPECT_EQ(platform::TrimRightCopy(window.BaseName()), "PETAK");
  EXPECT_TRUE(std::filesystem::exists(dir.File("out/PETAK.zip")));
  EXPECT_EQ(ui.Texts(), std::vector<std::string>{" Arhiviranje uspješno završilo !"});

  // Settings changed by another window show after a refresh.
  program.run.POCDIR = platform::FitField(dir.File("drugi"), 127);
  EXPECT_EQ(window.Snapshot().Control(13).value, dir.path());
  ASSERT_TRUE(window.RequestRefresh());
  ASSERT_TRUE(WaitFor([&] { return window.Snapshot().Control(13).value == dir.File("drugi"); }));
  program.run.POCDIR = platform::FitField(dir.path(), 127);

  ASSERT_TRUE(window.Press(kCtlSelectedFiles));
  ASSERT_TRUE(WaitFor([&] { return fileListStarts == 1; }));
  ASSERT_TRUE(window.Press(kCtlClose));
  ASSERT_TRUE(WaitFor([&] { return window.Snapshot().closed; }));
  EXPECT_FALSE(window.Press(kCtlDestinationRun));
}

// The archive password is typed into a field the window never publishes: its state says
// only whether one is set. "Zatvori" stores it in the credentials file, an emptied field
// clears it, and a window closed otherwise leaves the stored one as it was.
TEST_F(WindowsTest, SourceDestinationWindowStoresTheArchivePasswordOnlyThroughZatvori) {
  ASSERT_TRUE(app::OpenTable(program, program.email));
  ++program.email.ReferenceCount;
  app::LoadEmailSettings(program);
  auto open = [&] {
    auto window = std::make_unique<SourceDestWindow>(program);
    threads.Start([w = window.get()](platform::EventQueue& q) { w->Run(q); });
    EXPECT_TRUE(WaitFor([&] { return window->Snapshot().open; }));
    return window;
  };
  auto stored = [] {
    std::string password, problem;
    EXPECT_TRUE(app::LoadArchivePassword(password, problem)) << problem;
    return password;
  };

  auto window = open();
  SourceDestState s = window->Snapshot();
  EXPECT_EQ(s.Control(kSdArchivePasswordEntry).kind, ControlKind::kEntry);
  EXPECT_FALSE(s.archivePasswordSet);
  EXPECT_EQ(s.Control(kSdArchivePasswordEntry).value, kArchivePasswordNoneHint);
  ASSERT_TRUE(window->Edit(kSdArchivePasswordEntry, "Ured 2026!"));
  ASSERT_TRUE(WaitFor([&] { return window->Snapshot().archivePasswordSet; }));
  for (const ControlState& c : window->Snapshot().controls)
    EXPECT_EQ(c.value.find("Ured 2026!"), std::string::npos) << c.number;
  EXPECT_EQ(stored(), "");  // not before "Zatvori"
  window->Press(kSdClose);
  ASSERT_TRUE(WaitFor([&] { return window->Snapshot().closed; }));
  EXPECT_EQ(stored(), "Ured 2026!");

  // Shown as set when the window opens again; a change closed without "Zatvori" is dropped.
  window = open();
  EXPECT_TRUE(window->Snapshot().archivePasswordSet);
  EXPECT_EQ(window->Snapshot().Control(kSdArchivePasswordEntry).value, kArchivePasswordSetHint);
  window->Edit(kSdArchivePasswordEntry, "druga");
  window->RequestClose();
  ASSERT_TRUE(WaitFor([&] { return window->Snapshot().closed; }));
  EXPECT_EQ(stored(), "Ured 2026!");

  // An emptied field clears it.
  window = open();
  window->Edit(kSdArchivePasswordEntry, "");
  ASSERT_TRUE(WaitFor([&] { return !window->Snapshot().archivePasswordSet; }));
  window->Press(kSdClose);
  ASSERT_TRUE(WaitFor([&] { return window->Snapshot().closed; }));
  EXPECT_EQ(stored(), "");
  for (const std::string& text : ui.Texts())
    EXPECT_EQ(text.find(kArchivePasswordNotStoredText), std::string::npos) << text;
  app::CloseTable(program.email);
}

TEST_F(WindowsTest, FileListButtonIsDisabledUntilThereIsAWindowToOpen) {
  ArchiveWindow window(program, shared);
  EXPECT_FALSE(window.Snapshot().Control(kCtlSelectedFiles).enabled);
}

TEST_F(WindowsTest, SourceDestinationWindowStoresOnlyThroughZatvori) {
  ASSERT_TRUE(app::OpenTable(program, program.email));
  ++program.email.ReferenceCount;
  app::LoadEmailSettings(program);
  program.run.TIP_ARH = "   ";  // a mode from elsewhere selects no radio
  const std::string destination = program.run.ZAVDIR;

  auto window = std::make_unique<SourceDestWindow>(program);
  threads.Start([&](platform::EventQueue& q) { window->Run(q); });
  ASSERT_TRUE(WaitFor([&] { return window->Snapshot().open; }));
  SourceDestState s = window->Snapshot();
  EXPECT_EQ(s.title, "Odaberi početni i završni direktorij");
  EXPECT_EQ(s.Control(11).text, "Oznaka vanjskog diska (USB stick):");
  EXPECT_EQ(s.Control(17).text, "Datumu ( 120106, 130106, ...)");
  EXPECT_EQ(s.selectedRadio, 0);

  // A directory longer than the dialog's buffer is cut before it is offered.
  std::string longDir = "/" + std::string(90, 'x');
  window->Edit(kSdSourceEntry, longDir);
  ui.QueueDirectory(dir.File("izvor"));
  window->Press(kSdSourceButton);
  ASSERT_TRUE(WaitFor([&] { return window->Snapshot().Control(5).value == dir.File("izvor"); }));
  EXPECT_EQ(program.run.POCDIR, platform::FitField(dir.File("izvor"), 127));
  ui.QueueDirectory(std::nullopt);  // cancelled: nothing changes
  window->Press(kSdDestinationButton);
  window->SelectNaming(kSdRadioMix);
  ASSERT_TRUE(WaitFor([&] { return window->Snapshot().selectedRadio == kSdRadioMix; }));
  EXPECT_EQ(program.run.ZAVDIR, destination);
  EXPECT_EQ(program.run.TIP_ARH, "mix");
  window->Edit(kSdDiskEntry, "f");
  window->Press(kSdClose);
  ASSERT_TRUE(WaitFor([&] { return window->Snapshot().closed; }));
  EXPECT_TRUE(window->Snapshot().stored);

  // What was stored comes back at the next load; a change closed otherwise does not.
  auto again = std::make_unique<SourceDestWindow>(program);
  threads.Start([&](platform::EventQueue& q) { again->Run(q); });
  ASSERT_TRUE(WaitFor([&] { return again->Snapshot().open; }));
  again->SelectNaming(kSdRadioDate);
  ASSERT_TRUE(WaitFor([&] { return again->Snapshot().selectedRadio == kSdRadioDate; }));
  again->RequestClose();
  ASSERT_TRUE(WaitFor([&] { return again->Snapshot().closed; }));
  EXPECT_FALSE(again->Snapshot().stored);

  app::LoadEmailSettings(program);
  EXPECT_EQ(program.run.TIP_ARH, "mix");
  EXPECT_EQ(program.run.OZNAKAARHIVDISKA, "f");
  EXPECT_EQ(program.run.POCDIR, platform::FitField(dir.File("izvor"), 127));
  EXPECT_EQ(program.email.ReferenceCount, 1);
  app::CloseTable(program.email);
}

TEST_F(WindowsTest, DirectoryDialogOffersTheWholeSettingAndRefusesWhatDoesNotFit) {
  std::string setting = platform::FitField("/" + std::string(100, 'd'), 127);
  // The scripted dialog echoes nothing back: record what it was offered through a cancel.
  struct OfferUi : testing::ScriptedUi {
    std::string offered;
    std::size_t length = 0;
    std::string answer;
    bool ChooseDirectory(const std::string&, std::string& path, std::size_t n) override {
      offered = path;
      length = n;
      if (answer.empty()) return false;
      path = answer;
      return true;
    }
  } offerUi;
  app::Program p(offerUi);
  ChooseDirectorySetting(p, setting, kChooseSourceTitle);
  EXPECT_EQ(offerUi.offered, "/" + std::string(100, 'd'));
  EXPECT_EQ(offerUi.length, 127u);  // what the setting holds, not only the dialog's old 79
  offerUi.answer = "/" + std::string(130, 'z');
  std::string before = setting;
  ChooseDirectorySetting(p, setting, kChooseSourceTitle);
  EXPECT_EQ(setting, before);
  EXPECT_EQ(offerUi.Texts(), std::vector<std::string>{kDirectoryTooLongText});
}

}  // namespace
}  // namespace verdan::archive
