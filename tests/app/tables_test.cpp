#include "app/tables.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "platform/paths.h"
#include "platform/text.h"
#include "support/scripted_ui.h"
#include "support/temp_dir.h"

namespace verdan::app {
namespace {

using platform::FitField;
using platform::TrimRightCopy;
using testing::ScopedCwd;
using testing::ScriptedUi;
using testing::TempDir;

int InChild(const std::function<int()>& body) {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

class TablesTest : public ::testing::Test {
 protected:
  TempDir dir;
  ScopedCwd cwd{dir.path()};
  ScriptedUi ui;
  Program program{ui};

  void AddArchive(Program& p, std::uint16_t id, const std::string& naziv,
                  const std::string& staza) {
    p.ARH = {};
    p.ARH.ID = id;
    p.ARH.NAZIV = FitField(naziv, kArhNazivLength);
    p.ARH.STAZA = FitField(staza, kArhStazaLength);
    ASSERT_EQ(AddRecord(p, p.arhive), 0) << naziv;
  }
};

TEST_F(TablesTest, FirstStartCreatesTheTablesAndTheSettingsRecord) {
  ASSERT_TRUE(OpenTable(program, program.email));
  ASSERT_TRUE(OpenTable(program, program.arhive));
  ASSERT_TRUE(OpenTable(program, program.datoteke));
  EXPECT_TRUE(ui.Messages().empty());
  for (const char* f : {"PEMAIL.TPS", "ARHIVE.TPS", "DATOTEKE.TPS"})
    EXPECT_TRUE(std::filesystem::exists(dir.File(f))) << f;

  LoadEmailSettings(program);
  ASSERT_EQ(ui.Texts(), std::vector<std::string>{" NEXT(email), Greška :Record Not Available"});
  const std::string here = platform::CurrentDirectory();
  EXPECT_EQ(program.run.POCDIR, FitField(here, 127));
  EXPECT_EQ(program.run.ZAVDIR, FitField(here, 127));
  EXPECT_EQ(program.run.OZNAKAARHIVDISKA, "E");
  EXPECT_EQ(program.run.TIP_ARH, "dan");
  EXPECT_EQ(TrimRightCopy(program.PEM.USER), kDefaultSmtpUser);
  EXPECT_TRUE(platform::IsBlank(program.PEM.PASSWORD));  // no secret is kept in the table
  EXPECT_EQ(TrimRightCopy(program.PEM.PPORT), "25");
  EXPECT_EQ(TrimRightCopy(program.PEM.SSERVER), kDefaultSmtpServer);
  EXPECT_EQ(TrimRightCopy(program.PEM.FROM), kDefaultFrom);
  EXPECT_EQ(TrimRightCopy(program.PEM.TOFIELD), kDefaultTo);
  EXPECT_EQ(TrimRightCopy(program.PEM.SUBJECT), "Slanje backupa podataka klijenta");
  EXPECT_TRUE(platform::IsBlank(program.PEM.REPLYTO));

  // A second start finds the record and shows nothing.
  ScriptedUi ui2;
  Program second{ui2};
  ASSERT_TRUE(OpenTable(second, second.email));
  LoadEmailSettings(second);
  EXPECT_TRUE(ui2.Messages().empty());
  EXPECT_EQ(second.run.POCDIR, program.run.POCDIR);
  EXPECT_EQ(second.PEM.SSERVER, program.PEM.SSERVER);
}

TEST_F(TablesTest, SaveEmailSettingsStoresRunSettingsAndRefillsBlankDefaults) {
  ASSERT_TRUE(OpenTable(program, program.email));
  LoadEmailSettings(program);
  ui.Clear();
  program.run.POCDIR = FitField("/data/izvor", 127);
  program.run.TIP_ARH = "mix";
  program.PEM.SSERVER = FitField("", kPemTextLength);
  program.PEM.PASSWORD = FitField("", kPemTextLength);  // a cleared password alone stays
  program.PEM.REPLYTO = FitField("odgovor@example.com", kPemTextLength);
  PutRecord(program, program.email);
  SaveEmailSettings(program);
  EXPECT_TRUE(ui.Messages().empty());

  ScriptedUi ui2;
  Program reader{ui2};
  ASSERT_TRUE(OpenTable(reader, reader.email));
  LoadEmailSettings(reader);
  EXPECT_EQ(TrimRightCopy(reader.PEM.POCDIR), "/data/izvor");
  EXPECT_EQ(TrimRightCopy(reader.PEM.TIP_ARH), "mix");
  EXPECT_EQ(TrimRightCopy(reader.PEM.SSERVER), kDefaultSmtpServer);
  EXPECT_TRUE(platform::IsBlank(reader.PEM.PASSWORD));
  EXPECT_EQ(TrimRightCopy(reader.PEM.REPLYTO), "odgovor@example.com");
  EXPECT_EQ(reader.run.POCDIR, FitField("/data/izvor", 127));

  // A cleared user name brings back the placeholder user; a password found in the record
  // leaves it for the credentials file, and no byte of it stays in the table's file.
  reader.PEM.USER = FitField("", kPemTextLength);
  reader.PEM.PASSWORD = FitField("tajnaZaporka", kPemTextLength);
  ASSERT_EQ(PutRecord(reader, reader.email), 0);
  SaveEmailSettings(reader);
  EXPECT_TRUE(ui2.Messages().empty());
  EXPECT_TRUE(platform::IsBlank(reader.PEM.PASSWORD));
  LoadEmailSettings(reader);
  EXPECT_EQ(TrimRightCopy(reader.PEM.USER), kDefaultSmtpUser);
  EXPECT_TRUE(platform::IsBlank(reader.PEM.PASSWORD));
  const std::string credentials = testing::ReadFile(dir.File("verdan.credentials"));
  EXPECT_NE(credentials.find("\nsmtp.password=tajnaZaporka\n"), std::string::npos) << credentials;
  const std::string table = testing::ReadFile(dir.File("PEMAIL.TPS"));
  EXPECT_EQ(table.find("tajnaZaporka"), std::string::npos);
  EXPECT_EQ(table.find("TAJNAZAPORKA"), std::string::npos);

  // A password brought back later (a restored table) does not replace the one kept since.
  reader.PEM.PASSWORD = FitField("staraZaporka", kPemTextLength);
  ASSERT_EQ(PutRecord(reader, reader.email), 0);
  LoadEmailSettings(reader);
  EXPECT_TRUE(platform::IsBlank(reader.PEM.PASSWORD));
  EXPECT_EQ(testing::ReadFile(dir.File("verdan.credentials")), credentials);
  EXPECT_EQ(testing::ReadFile(dir.File("PEMAIL.TPS")).find("STARAZAPORKA"), std::string::npos);
}

TEST_F(TablesTest, ArchiveNamesAreUniqueIgnoringCaseButBlankNamesCoexist) {
  ASSERT_TRUE(OpenTable(program, program.arhive));
  AddArchive(program, 1, "", "/b/prva.zip");
  AddArchive(program, 2, "", "/a/druga.zip");
  AddArchive(program, 3, "Tjedna čista", "/c/treca.zip");
  program.ARH.NAZIV = FitField("TJEDNA ČISTA", kArhNazivLength);
  program.ARH.ID = 4;
  EXPECT_FALSE(DuplicateRecord(program, program.arhive));  // the current record itself
  EXPECT_EQ(AddRecord(program, program.arhive), platform::kDuplicateKey);

  // The archive run finds a definition by its path; the list reads by path.
  program.ARH.STAZA = FitField("/A/DRUGA.ZIP", kArhStazaLength);
  ASSERT_EQ(GetRecord(program, program.arhive, ARH_KEYSTAZA), 0);
  EXPECT_EQ(program.ARH.ID, 2);
  EXPECT_EQ(program.ARH.STAZA, FitField("/a/druga.zip", kArhStazaLength));
  program.ARH.NAZIV = FitField("tjedna čista", kArhNazivLength);
  EXPECT_TRUE(DuplicateRecord(program, program.arhive));
  EXPECT_EQ(RelationalUpdate(program, program.arhive), 1);
  ASSERT_EQ(ui.Texts().size(), 1u);
  program.ARH.STAZA = FitField("/a/druga.zip", kArhStazaLength);
  ASSERT_EQ(GetRecord(program, program.arhive, ARH_KEYSTAZA), 0);
  EXPECT_TRUE(platform::IsBlank(program.ARH.NAZIV));  // the failed rewrite changed nothing
  ASSERT_EQ(SetOrder(program, program.arhive, ARH_KEYSTAZA), 0);
  std::vector<int> ids;
  while (NextRecord(program, program.arhive) == 0) ids.push_back(program.ARH.ID);
  EXPECT_EQ(ids, (std::vector<int>{2, 1, 3}));
  // The form finds the highest number by reading ARH:KEYID backwards.
  ASSERT_EQ(SetOrder(program, program.arhive, ARH_KEYID), 0);
  ASSERT_EQ(PreviousRecord(program, program.arhive), 0);
  EXPECT_EQ(program.ARH.ID, 3);
}

TEST_F(TablesTest, FileListRejectsTheSamePathInAnotherCase) {
  ASSERT_TRUE(OpenTable(program, program.datoteke));
  program.DAT = {};
  program.DAT.IME = FitField("/podaci/Šifre.tps", kDatImeLength);
  ASSERT_EQ(AddRecord(program, program.datoteke), 0);
  program.DAT.IME = FitField("/PODACI/šIFRE.TPS", kDatImeLength);
  EXPECT_FALSE(DuplicateRecord(program, program.datoteke));  // it is the current one
  program.DAT = {};
  program.DAT.IME = FitField("/PODACI/šIFRE.TPS", kDatImeLength);
  EXPECT_EQ(AddRecord(program, program.datoteke), platform::kDuplicateKey);
  program.DAT.IME = FitField("/podaci/kupci.tps", kDatImeLength);
  program.DAT.DATUM = 81234;
  ASSERT_EQ(AddRecord(program, program.datoteke), 0);
  // Rewrites during the iteration of DAT:KEYIME keep the order.
  ASSERT_EQ(SetOrder(program, program.datoteke, DAT_KEYIME), 0);
  std::vector<std::string> names;
  while (NextRecord(program, program.datoteke) == 0) {
    names.push_back(TrimRightCopy(program.DAT.IME));
    program.DAT.DATUM = 90000;
    ASSERT_EQ(PutRecord(program, program.datoteke), 0);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"/podaci/kupci.tps", "/podaci/Šifre.tps"}));
}

TEST_F(TablesTest, RelationalUpdateAfterAnotherStationsChangeShowsItsValues) {
  ASSERT_TRUE(OpenTable(program, program.arhive));
  AddArchive(program, 1, "Dnevna", "/x/dnevna.zip");
  ASSERT_EQ(SetOrder(program, program.arhive, ARH_KEYSTAZA), 0);
  ASSERT_EQ(NextRecord(program, program.arhive), 0);
  ASSERT_EQ(InChild([] {
              ScriptedUi u;
              Program other{u};
              if (!OpenTable(other, other.arhive)) return 1;
              other.ARH.STAZA = FitField("/x/dnevna.zip", kArhStazaLength);
              if (GetRecord(other, other.arhive, ARH_KEYSTAZA) != 0) return 2;
              other.ARH.STATUS = FitField("promijenio drugi", kArhStatusLength);
              return RelationalUpdate(other, other.arhive);
            }),
            0);
  program.ARH.STATUS = FitField("moja promjena", kArhStatusLength);
  EXPECT_EQ(RelationalUpdate(program, program.arhive), 2);
  ASSERT_EQ(ui.Messages().size(), 1u);
  EXPECT_EQ(ui.Messages()[0].caption, "Update Operation Error");
  EXPECT_EQ(ui.Messages()[0].text, "This record was changed by another station.");
  EXPECT_EQ(TrimRightCopy(program.ARH.STATUS), "promijenio drugi");
  EXPECT_EQ(program.savedError.code, 0);
  EXPECT_FALSE(program.arhive.file->InTransaction());
  // The re-read record can be rewritten.
  program.ARH.STATUS = FitField("moja promjena", kArhStatusLength);
  EXPECT_EQ(RelationalUpdate(program, program.arhive), 0);
  // A rewrite that creates a duplicate name is reported with the table's label.
  AddArchive(program, 2, "Tjedna", "/x/tjedna.zip");
  program.ARH.NAZIV = FitField("dnevna", kArhNazivLength);
  ui.Clear();
  EXPECT_EQ(RelationalUpdate(program, program.arhive), 1);
  EXPECT_EQ(ui.Texts(),
            std::vector<std::string>{"An error (Creates Duplicate Key (40)) was experienced when "
                                     "attempting to update a record from the file.  Probable "
                                     "Cause: arhive."});
}

TEST_F(TablesTest, RelationalUpdateAndDeleteWhileAnotherProcessHoldsTheTable) {
  ASSERT_TRUE(OpenTable(program, program.datoteke));
  program.DAT = {};
  program.DAT.IME = FitField("/p/a.tps", kDatImeLength);
  ASSERT_EQ(AddRecord(program, program.datoteke), 0);
  int toChild[2], fromChild[2];
  ASSERT_EQ(::pipe(toChild), 0);
  ASSERT_EQ(::pipe(fromChild), 0);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(toChild[1]);
    ::close(fromChild[0]);
    platform::KeyedFile other(TableLayoutOf(program.datoteke));
    char c = 'b';
    if (other.Open() != 0 || other.Begin(1) != 0) ::_exit(1);
    if (::write(fromChild[1], &c, 1) != 1) ::_exit(2);
    if (::read(toChild[0], &c, 1) != 1) ::_exit(3);
    ::_exit(other.Commit() == 0 ? 0 : 4);
  }
  ::close(toChild[0]);
  ::close(fromChild[1]);
  char c = 0;
  ASSERT_EQ(::read(fromChild[0], &c, 1), 1);
  EXPECT_EQ(RelationalUpdate(program, program.datoteke), 1);
  EXPECT_EQ(RelationalDelete(program, program.datoteke), 1);
  ASSERT_EQ(ui.Texts(),
            (std::vector<std::string>{
                "Error: (File Is Already Locked (32)) attempting to frame the Update transaction "
                "on datoteke.  Update transaction cancelled.",
                "Error: (File Is Already Locked (32)) attempting to frame the Delete transaction "
                "on datoteke.  Delete transaction cancelled."}));
  c = 'g';
  ASSERT_EQ(::write(toChild[1], &c, 1), 1);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ::close(toChild[1]);
  ::close(fromChild[0]);

  ui.Clear();
  EXPECT_EQ(RelationalDelete(program, program.datoteke), 0);
  EXPECT_TRUE(ui.Messages().empty());
  ASSERT_EQ(SetOrder(program, program.datoteke, DAT_KEYIME), 0);
  EXPECT_EQ(NextRecord(program, program.datoteke), platform::kRecordNotAvailable);
  // Deleting a record that is gone.
  EXPECT_EQ(RelationalDelete(program, program.datoteke), 1);
  EXPECT_EQ(ui.Texts().back(),
            "An error (Record Not Available (33)) was experienced when attempting to delete a "
            "record from the file datoteke.");
}

TEST_F(TablesTest, OpenTableEndsTheProgramForAFileThatIsNotATable) {
  testing::WriteFile(dir.File("ARHIVE.TPS"), "not a table at all");
  EXPECT_FALSE(OpenTable(program, program.arhive));
  EXPECT_TRUE(program.Ended());
  EXPECT_EQ(program.EndText(), "Datoteka ne valja!");
  ASSERT_EQ(ui.Messages().size(), 2u);
  EXPECT_EQ(ui.Messages()[0].text,
            "Greška: (Invalid Record Declaration (47)) otvaram ARHIVE.  Pritisni OK da zatvoriš "
            "aplikaciju.");
  EXPECT_EQ(testing::ReadFile(dir.File("ARHIVE.TPS")), "not a table at all");
  // Once ended, nothing more is opened.
  EXPECT_FALSE(OpenTable(program, program.datoteke));
  EXPECT_FALSE(std::filesystem::exists(dir.File("DATOTEKE.TPS")));
}

TEST_F(TablesTest, OpenTableOffersTheKeyRebuild) {
  ASSERT_TRUE(OpenTable(program, program.arhive));
  AddArchive(program, 1, "B", "/b");
  AddArchive(program, 2, "A", "/a");
  CloseTable(program.arhive);
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(dir.File("ARHIVE.TPS").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "DROP INDEX tps_key1", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  // Refused: the program ends.
  {
    ScriptedUi u;
    Program p{u};
    u.QueueAnswer(platform::kButtonNo);
    EXPECT_FALSE(OpenTable(p, p.arhive));
    EXPECT_EQ(p.EndText(), "Invalid Key!");
    EXPECT_EQ(u.Messages()[0].text, "ARHIVE key file is invalid.  Do you want to rebuild the key?");
  }
  // Accepted: rebuilt and open, with the keys working again.
  {
    ScriptedUi u;
    Program p{u};
    ASSERT_TRUE(OpenTable(p, p.arhive));
    EXPECT_EQ(u.Messages().size(), 1u);
    EXPECT_FALSE(p.Ended());
    ASSERT_EQ(SetOrder(p, p.arhive, ARH_KEYNAZIV), 0);
    ASSERT_EQ(NextRecord(p, p.arhive), 0);
    EXPECT_EQ(p.ARH.ID, 2);
  }
}

TEST_F(TablesTest, OpenTableReportsACreationFailureAndEnds) {
  // A directory that is gone cannot take a new file.
  const std::string gone = dir.File("gone");
  std::filesystem::create_directory(gone);
  ScopedCwd inGone(gone);
  std::filesystem::remove(gone);
  EXPECT_FALSE(OpenTable(program, program.email));
  EXPECT_EQ(program.EndText(), "File Creation Error!");
  ASSERT_FALSE(ui.Messages().empty());
  EXPECT_EQ(ui.Messages()[0].caption, "File Creation Error");
  EXPECT_EQ(ui.Messages()[0].text.rfind("Error: (", 0), 0u);
  EXPECT_NE(ui.Messages()[0].text.find(") creating PEMAIL.  Press OK to end this application."),
            std::string::npos);
}

TEST_F(TablesTest, TheEmailTableNeedsItsOwnerPassword) {
  platform::KeyedFile plain(TableLayoutOf(program.email));
  ASSERT_EQ(plain.Create(), 0);
  EXPECT_FALSE(OpenTable(program, program.email));
  EXPECT_EQ(program.EndText(), "Datoteka ne valja!");
}

}  // namespace
}  // namespace verdan::app
