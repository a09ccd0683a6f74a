#include "archive/restore.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include <filesystem>

#include "app/archive_password.h"
#include "app/tables.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "support/scripted_ui.h"
#include "support/temp_dir.h"
#include "zip/zip_component.h"

namespace verdan::archive {
namespace {

using testing::ReadFile;
using testing::WriteFile;

class RestoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir.File("backup"));
    WriteFile(dir.File("ARHIVE.TPS"), "iz arhive");
    WriteFile(dir.File("kupci.tps"), std::string(20000, 'k'));
    ASSERT_TRUE(testing::ZipWithTool(dir.path(), "backup/dobra.zip", {"ARHIVE.TPS", "kupci.tps"}));
    WriteFile(dir.File("ARHIVE.TPS"), "radna");
    WriteFile(dir.File("kupci.tps"), "radni kupci");
    program.StartDirectory = dir.path();
    program.archivePassword = "381";
    program.run.POCDIR = platform::FitField(dir.path(), 127);
    program.run.ZAVDIR = platform::FitField(dir.File("backup"), 127);
    ASSERT_TRUE(app::OpenTable(program, program.datoteke));
    ++program.datoteke.ReferenceCount;
  }
  void TearDown() override { app::CloseTable(program.datoteke); }

  void ExpectWorkingFilesUntouched() {
    EXPECT_EQ(ReadFile(dir.File("ARHIVE.TPS")), "radna");
    EXPECT_EQ(ReadFile(dir.File("kupci.tps")), "radni kupci");
  }
  // The list can be read after a restore.
  void ExpectListReadable() {
    EXPECT_EQ(app::SetOrder(program, program.datoteke, platform::kRecordOrder), 0);
    EXPECT_EQ(app::NextRecord(program, program.datoteke), platform::kRecordNotAvailable);
  }

  testing::TempDir dir;
  testing::ScopedCwd cwd{dir.path()};
  testing::ScriptedUi ui;
  app::Program program{ui};
  ArchiveShared shared;
};

TEST_F(RestoreTest, ChoosingOpensTheDialogInTheDestinationAndCancellingBlanksBoth) {
  ui.QueueFiles({dir.File("backup/dobra.zip")});
  ChooseArchive(program, shared);
  EXPECT_EQ(program.buffers.ZIPARCHIVE, dir.File("backup/dobra.zip"));
  EXPECT_EQ(program.buffers.AKTIVNAARHIVA, dir.File("backup/dobra.zip"));
  ASSERT_EQ(ui.FileDialogs().size(), 1u);
  EXPECT_EQ(ui.FileDialogs()[0].title, "Odaberi arhiv datoteku");
  EXPECT_EQ(ui.FileDialogs()[0].filter, "ZIP arhive|*.zip");
  EXPECT_EQ(ui.FileDialogs()[0].startPath, dir.File("backup"));
  // The dialog takes what the archive buffer holds, not only what its old name buffer did.
  EXPECT_EQ(ui.FileDialogs()[0].nameBufferLength, 126u);
  EXPECT_EQ(platform::CurrentDirectory(), dir.path());

  ChooseArchive(program, shared);  // cancelled
  EXPECT_EQ(program.buffers.ZIPARCHIVE, "");
  EXPECT_EQ(program.buffers.AKTIVNAARHIVA, "");
  EXPECT_EQ(platform::CurrentDirectory(), dir.path());

  // A name longer than the buffer is refused, never cut to a name of another file.
  ui.QueueFiles({"/" + std::string(130, 'a') + ".zip"});
  ChooseArchive(program, shared);
  EXPECT_EQ(program.buffers.ZIPARCHIVE, "");
  ASSERT_EQ(ui.Texts().size(), 1u);
  EXPECT_EQ(ui.Texts()[0], kArchiveNameTooLongText + ("/" + std::string(130, 'a') + ".zip"));
}

TEST_F(RestoreTest, DecliningTheWarningChangesNothing) {
  program.buffers.ZIPARCHIVE = dir.File("backup/dobra.zip");
  EXPECT_FALSE(RestoreArchive(program, shared));  // the default button is "&Odustani"
  ui.QueueAnswer(2);
  EXPECT_FALSE(RestoreArchive(program, shared));
  auto messages = ui.Messages();
  ASSERT_EQ(messages.size(), 2u);
  const auto& warning = messages[0];
  // The two lines of the warning, then which working files the archive would replace,
  // naming the program's own tables among them.
  // Each file comes with its size and date as the archive has them.
  const std::regex details(R"( \(\d+ [KMG]B, \d\d\.\d\d\.\d{4} \d\d:\d\d\))");
  EXPECT_TRUE(
      std::regex_search(warning.text, std::regex("kupci\\.tps" + std::string(R"( \(20 KB, )"))))
      << warning.text;
  EXPECT_EQ(std::regex_replace(warning.text, details, ""),
            "Pazite da ne prebrišete trenutne radne podatke!! |Koristiti uz konzultaciju sa "
            "osobljem za podršku!||Zamijenit će se radne datoteke u " +
                dir.path() + ":|ARHIVE.TPS, kupci.tps|Među njima su tablice programa: ARHIVE.TPS");
  EXPECT_EQ(warning.caption, "PAŽNJA!");
  EXPECT_EQ(warning.icon, platform::Icon::kExclamation);
  EXPECT_EQ(warning.namedButtons, "&Raspakiraj|&Odustani");
  EXPECT_EQ(warning.defaultButton, 2u);
  EXPECT_EQ(warning.modality, platform::Modality::kSystem);
  ExpectWorkingFilesUntouched();
}

TEST_F(RestoreTest, RestoresTheDataFilesAndReopensTheList) {
  program.buffers.ZIPARCHIVE = dir.File("backup/dobra.zip");
  ui.QueueAnswer(1);
  EXPECT_TRUE(RestoreArchive(program, shared));
  EXPECT_EQ(ReadFile(dir.File("ARHIVE.TPS")), "iz arhive");
  EXPECT_EQ(ReadFile(dir.File("kupci.tps")), std::string(20000, 'k'));
  ASSERT_EQ(ui.Messages().size(), 2u);
  EXPECT_EQ(ui.Messages()[1].text, " Dearhiviranje uspješno završilo !");
  EXPECT_EQ(ui.Messages()[1].caption, " OBAVIJEST !");
  ExpectListReadable();
}

TEST_F(RestoreTest, EveryStepRunsAndReportsWithoutAChosenArchive) {
  ui.QueueAnswer(1);
  EXPECT_FALSE(RestoreArchive(program, shared));
  EXPECT_EQ(ui.Texts(),
            (std::vector<std::string>{
                ui.Texts()[0], "Ne postoji ARHIV sa tim imenom !",
                "Nema ništa za dearhiviranje u odabranoj arhivi !",
                "GREŠKA : " + std::to_string(kZipCannotOpenArchive) + "|Arhiva nije odabrana"}));
  ExpectWorkingFilesUntouched();
  ExpectListReadable();

  // An archive without data files, restored into a directory that does not exist.
  ui.Clear();
  WriteFile(dir.File("napomena.txt"), "x");
  ASSERT_TRUE(testing::ZipWithTool(dir.path(), "backup/txt.zip", {"napomena.txt"}));
  program.buffers.ZIPARCHIVE = dir.File("backup/txt.zip");
  program.run.POCDIR = platform::FitField(dir.File("nema"), 127);
  ui.QueueAnswer(1);
  EXPECT_FALSE(RestoreArchive(program, shared));
  EXPECT_EQ(ui.Texts(), (std::vector<std::string>{
                            ui.Texts()[0], "Nema ništa za dearhiviranje u odabranoj arhivi !",
                            "Pogrešan direktorij za dearhiviranje !",
                            "GREŠKA : " + std::to_string(kZipBadTarget) +
                                "|Direktorij za dearhiviranje nije upotrebljiv. Ne postoji: " +
                                dir.File("nema") + " (No such file or directory)"}));
  ExpectListReadable();
}

TEST_F(RestoreTest, ADamagedArchiveLeavesTheWorkingFiles) {
  std::string good = ReadFile(dir.File("backup/dobra.zip"));
  std::string bad = good;
  bad[bad.size() / 2] = static_cast<char>(bad[bad.size() / 2] ^ 0x20);
  WriteFile(dir.File("backup/losa.zip"), bad);
  program.buffers.ZIPARCHIVE = dir.File("backup/losa.zip");
  ui.QueueAnswer(1);
  EXPECT_FALSE(RestoreArchive(program, shared));
  EXPECT_EQ(ui.Texts().back().rfind("GREŠKA : -", 0), 0u);
  ExpectWorkingFilesUntouched();
  ExpectListReadable();
}

// An encrypted archive the stored and built-in passwords do not open has its password asked
// in a dialog, again after a wrong one; a cancelled dialog ends with the message and nothing
// replaced. Once the password is stored no dialog is needed.
TEST_F(RestoreTest, AnEncryptedArchiveAsksForItsPasswordInADialog) {
  std::filesystem::create_directories(dir.File("src"));
  WriteFile(dir.File("src/ARHIVE.TPS"), "iz sifrirane");
  WriteFile(dir.File("src/kupci.tps"), "sifrirani k");
  archive::ZipComponent packer;
  packer.SetArchivePassword("Kljuc-7");
  ASSERT_EQ(packer.LSZIP_INCLUDE(dir.File("src") + "/*.tps"), 2);
  ASSERT_EQ(packer.LSZIP_EXECUTE(dir.File("backup/sifra.zip"), archive::kActionNew, 1, 145), 2);
  program.buffers.ZIPARCHIVE = dir.File("backup/sifra.zip");

  ui.QueueAnswer(1);  // no password given: the dialog is cancelled
  EXPECT_FALSE(RestoreArchive(program, shared));
  ASSERT_EQ(ui.PasswordDialogs().size(), 1u);
  EXPECT_EQ(ui.PasswordDialogs()[0].title, kArchivePasswordTitle);
  EXPECT_EQ(ui.PasswordDialogs()[0].text, kAskArchivePasswordText);
  EXPECT_EQ(ui.Texts().back(), "GREŠKA : " + std::to_string(kZipBadPassword) + "|" +
                                   kWrongArchivePasswordText + dir.File("backup/sifra.zip"));
  ExpectWorkingFilesUntouched();
  ExpectListReadable();

  ui.Clear();
  ui.QueueAnswer(1);
  ui.QueuePassword("krivo");
  ui.QueuePassword("Kljuc-7");
  EXPECT_TRUE(RestoreArchive(program, shared));
  ASSERT_EQ(ui.PasswordDialogs().size(), 2u);
  EXPECT_EQ(ui.PasswordDialogs()[1].text, kAskArchivePasswordAgainText);
  EXPECT_EQ(ui.Texts().back(), kRestoreSuccessText);
  EXPECT_EQ(ReadFile(dir.File("kupci.tps")), "sifrirani k");
  for (const std::string& text : ui.Texts()) EXPECT_EQ(text.find("Kljuc-7"), std::string::npos);

  std::string problem;
  ASSERT_TRUE(app::StoreArchivePassword("Kljuc-7", problem)) << problem;
  WriteFile(dir.File("kupci.tps"), "radni kupci");
  ui.Clear();
  ui.QueueAnswer(1);
  EXPECT_TRUE(RestoreArchive(program, shared));
  EXPECT_TRUE(ui.PasswordDialogs().empty());
  EXPECT_EQ(ReadFile(dir.File("kupci.tps")), "sifrirani k");

#ifndef _WIN32  // the credentials file is made untrusted through its POSIX mode
  // A credentials file that cannot be trusted is said only when the archive needs a
  // password: a plain archive restores without a word of it, an encrypted one asks.
  ASSERT_EQ(::chmod(dir.File("verdan.credentials").c_str(), 0644), 0);
  auto said = [&] {
    int n = 0;
    for (const std::string& text : ui.Texts())
      n += text.rfind(kStoredPasswordUnreadableText, 0) == 0;
    return n;
  };
  ui.Clear();
  program.buffers.ZIPARCHIVE = dir.File("backup/dobra.zip");
  ui.QueueAnswer(1);
  EXPECT_TRUE(RestoreArchive(program, shared));
  EXPECT_EQ(said(), 0);
  program.buffers.ZIPARCHIVE = dir.File("backup/sifra.zip");
  ui.QueueAnswer(1);
  ui.QueuePassword("Kljuc-7");
  EXPECT_TRUE(RestoreArchive(program, shared));
  EXPECT_EQ(said(), 1);
  EXPECT_EQ(ui.PasswordDialogs().size(), 1u);
#endif
}

}  // namespace
}  // namespace verdan::archive
