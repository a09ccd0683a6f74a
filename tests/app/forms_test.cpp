// The two forms, called from their lists as the user would call them: numbering and pre-adding
// an archive definition, cancelling, duplicates, rewriting only what changed, a change that
// collides with another station, deleting, the file dialogs and the current directory.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "app/archive_definitions.h"
#include "app/file_list.h"
#include "list_fixture.h"
#include "platform/clock.h"
#include "platform/keyed_file.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace verdan::app {
namespace {

using testing::WaitFor;

// The screen's file dialog: a choice without "keep the current directory" makes the chosen
// file's directory current.
class DialogUi : public verdan::testing::ScriptedUi {
 public:
  std::vector<std::string> FileOpen(const platform::FileOpenSpec& dialog) override {
    std::vector<std::string> chosen = ScriptedUi::FileOpen(dialog);
    if (!chosen.empty() && !dialog.keepCurrentDirectory)
      platform::ChangeDirectory(std::filesystem::path(chosen.front()).parent_path().string());
    return chosen;
  }
};

class FormsTest : public testing::ListFixture {
 protected:
  // The stored records of a table, read through a connection of its own.
  std::vector<platform::Record> Stored(TableSlot& table) {
    platform::KeyedFile file(TableLayoutOf(table));
    std::vector<platform::Record> out;
    if (file.Open() != 0) return out;
    file.Set(platform::kRecordOrder);
    platform::Record r;
    while (file.Next(r) == 0) out.push_back(r);
    return out;
  }
  static std::string Field(const platform::Record& r, std::size_t i) {
    const auto* s = std::get_if<std::string>(&r[i]);
    return s ? *s : std::to_string(std::get<std::int64_t>(r[i]));
  }
  static std::string Value(const std::shared_ptr<FormWindow>& form, int control) {
    return form->Snapshot().Control(control)->value;
  }
  // Forwards an entry's new text and waits until the form shows `shown` in it.
  static void Enter(const std::shared_ptr<FormWindow>& form, int control, const std::string& text,
                    const std::string& shown) {
    ASSERT_TRUE(form->Edit(control, text));
    ASSERT_TRUE(WaitFor([&] { return Value(form, control) == shown; })) << Value(form, control);
  }
  std::shared_ptr<FormWindow> Call(const std::shared_ptr<BrowseWindow>& w, BrowseButton button) {
    EXPECT_TRUE(w->Press(button));
    return OpenForm(w);
  }
  std::string Today() const { return "09/03/06"; }
};

TEST_F(FormsTest, InsertNumbersAfterTheHighestIdAndCancellingLeavesNothing) {
  auto w = Start(DefinitionBrowse());
  auto form = Call(w, BrowseButton::kInsert);
  FormState s = form->Snapshot();
  EXPECT_EQ(s.caption, "Adding a datoteke Record");
  EXPECT_EQ(s.Control(kDfId)->value, "1");
  EXPECT_EQ(s.Control(kDfDate)->value, Today());
  EXPECT_EQ(s.focus, kDfId);
  // The number is taken at once: the record is in the table while the form is open.
  ASSERT_EQ(Stored(program.arhive).size(), 1u);
  EXPECT_FALSE(w->Press(BrowseButton::kInsert));  // the list waits for its form
  Enter(form, kDfDisk, "d:", "d:");
  Enter(form, kDfName, "Tjedni", "Tjedni");
  EXPECT_EQ(Value(form, kDfPath), "d:\\Tjedni.zip");
  ASSERT_TRUE(form->Press(kDfOk));
  FormClosed(w);
  EXPECT_EQ(program.CallResponse, 1);
  BrowseState b = w->Snapshot();
  ASSERT_EQ(b.rows.size(), 1u);
  EXPECT_EQ(b.rows[0],
            (std::vector<std::string>{"d:\\Tjedni.zip", "Tjedni", Today(), "d:", "", ""}));

  // With numbers 1, 2 and 7 present the next is 8; cancelling removes the pre-added record.
  AddDefinitions({"/a.zip", "/b.zip"}, {2, 7});
  for (bool closeBox : {false, true}) {
    form = Call(w, BrowseButton::kInsert);
    EXPECT_EQ(Value(form, kDfId), "8");
    ASSERT_EQ(Stored(program.arhive).size(), 4u);
    ASSERT_TRUE(closeBox ? form->RequestClose() : form->Press(kDfCancel));
    FormClosed(w);
    EXPECT_EQ(program.CallResponse, 2);
    EXPECT_EQ(Stored(program.arhive).size(), 3u);
  }
  EXPECT_EQ(w->Snapshot().rows.size(), 3u);

  // The program ending while an insert is open takes the pre-added record away as well.
  form = Call(w, BrowseButton::kInsert);
  ASSERT_EQ(Stored(program.arhive).size(), 4u);
  threads.Shut();
  threads.JoinAll();
  EXPECT_EQ(Stored(program.arhive).size(), 3u);
  EXPECT_EQ(program.arhive.ReferenceCount, 0);
}

// The pre-added record carries the mark of the process whose form holds it; at the next start
// one whose process has ended (killed with the form open) is removed, and nothing else is.
TEST_F(FormsTest, APreAddedRecordLeftByAnEndedProcessIsRemovedAndNoOtherRecord) {
  const std::string self = platform::ProcessTag(::getpid());
  platform::ProcessIdentity me;
  ASSERT_TRUE(platform::ParseProcessTag(self, me));
  ASSERT_NE(me.start, 0u) << self;
  const std::string ended =
      std::to_string(me.pid) + "_" + std::to_string(me.start + 1) + "_" + me.boot;
  const std::string otherBoot = std::to_string(me.pid) + "_" + std::to_string(me.start) +
                                (me.boot == "00000000" ? "_00000001" : "_00000000");
  AddDefinitions({"/backup/a.zip"});
  {
    platform::KeyedFile file(TableLayoutOf(program.arhive));
    ASSERT_EQ(file.Open(), 0);
    const std::int64_t day = platform::DayCountFromDate({2006, 3, 8});
    ASSERT_EQ(file.Add({std::int64_t{2}, "", "", "", day, "", "~" + ended}), 0);  // left behind
    ASSERT_EQ(file.Add({std::int64_t{3}, "", "", "", day, "", "~" + otherBoot}),
              0);  // another station
    ASSERT_EQ(file.Add({std::int64_t{4}, "Moj", "", "", day, "", "~" + ended}), 0);  // has a name
    ASSERT_EQ(file.Add({std::int64_t{5}, "", "", "", day, "", ""}), 0);              // no mark
    ASSERT_EQ(file.Add({std::int64_t{6}, "", "", "", day, "", "~nije_oznaka"}), 0);
  }
  auto w = Start(DefinitionBrowse());
  auto form = Call(w, BrowseButton::kInsert);
  EXPECT_EQ(Value(form, kDfId), "7");
  EXPECT_EQ(Value(form, kDfStatus), "");  // the mark is the stored record's only
  std::vector<platform::Record> stored = Stored(program.arhive);
  ASSERT_EQ(stored.size(), 7u);
  EXPECT_EQ(Field(stored.back(), 6), "~" + self);

  EXPECT_EQ(RemoveAbandonedInserts(program), 1);  // the open form's record stays
  std::vector<std::string> ids;
  for (const auto& r : Stored(program.arhive)) ids.push_back(Field(r, 0));
  EXPECT_EQ(ids, (std::vector<std::string>{"1", "3", "4", "5", "6", "7"}));

  Enter(form, kDfPath, "/backup/b.zip", "/backup/b.zip");
  Enter(form, kDfStatus, "tjedni", "tjedni");
  ASSERT_TRUE(form->Press(kDfOk));
  FormClosed(w);
  EXPECT_EQ(Field(Stored(program.arhive).back(), 6), "tjedni");
  EXPECT_EQ(RemoveAbandonedInserts(program), 0);
  EXPECT_EQ(Stored(program.arhive).size(), 6u);
}

TEST_F(FormsTest, DuplicateNameInAnotherCaseIsRefusedAndTheFormStaysOpen) {
  auto w = Start(DefinitionBrowse());
  auto form = Call(w, BrowseButton::kInsert);
  Enter(form, kDfDisk, "e:", "e:");
  Enter(form, kDfName, "Tjedni", "Tjedni");
  ASSERT_TRUE(form->Press(kDfOk));
  FormClosed(w);

  form = Call(w, BrowseButton::kInsert);
  Enter(form, kDfPath, "/backup/drugi.zip", "/backup/drugi.zip");
  Enter(form, kDfName, "TJEDNI", "TJEDNI");
  ASSERT_TRUE(form->Press(kDfOk));
  ASSERT_TRUE(WaitFor([&] { return ui.Messages().size() == 1; }));
  EXPECT_EQ(ui.Messages()[0].text, "Već postoji slog sa ovom vrijednosti za ključ:ARH:KeyNaziv");
  EXPECT_EQ(ui.Messages()[0].caption, "Greška dupliciranja");
  ASSERT_TRUE(WaitFor([&] { return form->Snapshot().focusSerial >= 2; }));
  EXPECT_TRUE(form->Snapshot().open);
  EXPECT_EQ(form->Snapshot().focus, kDfId);
  Enter(form, kDfName, "Mjesecni", "Mjesecni");
  ASSERT_TRUE(form->Press(kDfOk));
  FormClosed(w);
  EXPECT_EQ(program.CallResponse, 1);
  EXPECT_EQ(w->Snapshot().rows.size(), 2u);
  EXPECT_EQ(Stored(program.arhive).size(), 2u);
}

// A blank disk makes "\Tjedni.zip" of the name, an archive in the root directory; that and
// a definition without any path are refused on "OK", and nothing is written.
TEST_F(FormsTest, APathWithoutDirectoryOrWithNoneIsRefusedAndNothingIsWritten) {
  auto w = Start(DefinitionBrowse());
  auto form = Call(w, BrowseButton::kInsert);
  ASSERT_TRUE(form->Press(kDfOk));
  ASSERT_TRUE(WaitFor([&] { return ui.Messages().size() == 1; }));
  EXPECT_EQ(ui.Messages()[0].text, "Upišite naziv ili stazu arhiva !");
  Enter(form, kDfName, "Tjedni", "Tjedni");
  EXPECT_EQ(Value(form, kDfPath), "\\Tjedni.zip");
  ASSERT_TRUE(form->Press(kDfOk));
  ASSERT_TRUE(WaitFor([&] { return ui.Messages().size() == 2; }));
  EXPECT_EQ(ui.Messages()[1].text,
            "Staza \\Tjedni.zip vodi u korijenski direktorij datotečnog sustava: upišite disk ili "
            "direktorij arhiva !");
  // The path made of disk and name is made again from the disk given now.
  ASSERT_TRUE(WaitFor([&] { return Value(form, kDfPath).empty(); }));
  EXPECT_TRUE(form->Snapshot().open);
  EXPECT_EQ(form->Snapshot().focus, kDfDisk);
  ASSERT_EQ(Stored(program.arhive).size(), 1u);
  EXPECT_EQ(Field(Stored(program.arhive)[0], 3), "");  // only the pre-added record
  Enter(form, kDfDisk, "d:", "d:");
  ASSERT_TRUE(form->Press(kDfOk));
  FormClosed(w);
  EXPECT_EQ(program.CallResponse, 1);
  EXPECT_EQ(Field(Stored(program.arhive).at(0), 3), "d:\\Tjedni.zip");

  // A path typed into the root directory, in a change: refused, the stored one stays.
  form = Call(w, BrowseButton::kChange);
  for (const char* typed : {"/Tjedni.zip", "/mnt/../Tjedni.zip"}) {
    std::size_t before = ui.Messages().size();
    Enter(form, kDfPath, typed, typed);
    ASSERT_TRUE(form->Press(kDfOk));
    ASSERT_TRUE(WaitFor([&] { return ui.Messages().size() == before + 1; }));
    EXPECT_EQ(ui.Messages().back().text, RootPathText(typed));
    EXPECT_EQ(form->Snapshot().focus, kDfPath);
  }
  ASSERT_TRUE(form->Press(kDfCancel));
  FormClosed(w);
  EXPECT_EQ(Field(Stored(program.arhive).at(0), 3), "d:\\Tjedni.zip");
  EXPECT_FALSE(std::filesystem::exists("/Tjedni.zip"));
}

TEST_F(FormsTest, ChangeRewritesOnlyWhatChangedAndShowsAnotherStationsChange) {
  ASSERT_TRUE(OpenTable(program, program.arhive));
  ClearRecord(program, program.arhive);
  program.ARH.ID = 1;
  program.ARH.STAZA = platform::FitField("/backup/tjedni.zip", kArhStazaLength);
  program.ARH.DATUMARH = platform::DayCountFromDate({2006, 1, 2});
  ASSERT_EQ(AddRecord(program, program.arhive), 0);
  const std::string position = RecordPosition(program.arhive);
  CloseTable(program.arhive);

  auto w = Start(DefinitionBrowse());
  auto form = Call(w, BrowseButton::kChange);
  EXPECT_EQ(form->Snapshot().caption, "Changing a datoteke Record");
  EXPECT_EQ(Value(form, kDfDate), Today());  // shown, but no change by itself
  ASSERT_TRUE(form->Press(kDfOk));
  FormClosed(w);
  EXPECT_EQ(program.CallResponse, 1);
  EXPECT_EQ(Field(Stored(program.arhive).at(0), 4),
            std::to_string(platform::DayCountFromDate({2006, 1, 2})));
  EXPECT_EQ(w->Snapshot().rows.at(0).at(2), "02/01/06");

  // Another station changes the record while the form has it.
  form = Call(w, BrowseButton::kChange);
  {
    platform::KeyedFile other(TableLayoutOf(program.arhive));
    ASSERT_EQ(other.Open(), 0);
    platform::Record r;
    ASSERT_EQ(other.Reget(position, r), 0);
    r[6] = std::string("drugi");
    ASSERT_EQ(other.Put(r), 0);
  }
  Enter(form, kDfStatus, "moj", "moj");
  ASSERT_TRUE(form->Press(kDfOk));
  ASSERT_TRUE(WaitFor([&] { return Value(form, kDfStatus) == "drugi"; }));
  EXPECT_TRUE(form->Snapshot().open);
  ASSERT_FALSE(ui.Messages().empty());
  EXPECT_EQ(ui.Messages().back().text, "This record was changed by another station.");
  Enter(form, kDfStatus, "moj", "moj");
  ASSERT_TRUE(form->Press(kDfOk));
  FormClosed(w);
  EXPECT_EQ(program.CallResponse, 1);
  EXPECT_EQ(Field(Stored(program.arhive).at(0), 6), "moj");
  EXPECT_EQ(w->Snapshot().rows.at(0).at(5), "moj");
}

TEST_F(FormsTest, DeleteIsConfirmedWithoutAWindow) {
  AddDefinitions({"/backup/a.zip", "/backup/b.zip"});
  auto w = Start(DefinitionBrowse());
  Do(w, [&] { return w->Alert(BrowseAlert::kDelete); });  // the default answer is Cancel
  ASSERT_EQ(ui.Texts(), std::vector<std::string>{
                            "Brisati ću odabrani slog.  Pritisnite OK za potvrdu brisanja."});
  EXPECT_EQ(ui.Messages()[0].defaultButton, platform::kButtonCancel);
  EXPECT_EQ(w->Snapshot().rows.size(), 2u);
  ui.QueueAnswer(platform::kButtonOk);
  Do(w, [&] { return w->MenuChoice(3); });
  BrowseState s = w->Snapshot();
  ASSERT_EQ(s.rows.size(), 1u);
  EXPECT_EQ(Highlighted(s), "/backup/b.zip");
  EXPECT_EQ(Stored(program.arhive).size(), 1u);
  EXPECT_EQ(program.CallResponse, 1);
}

TEST_F(FormsTest, ChooseAndCreatePathsAndTheCurrentDirectory) {
  DialogUi dialogs;
  Program p(dialogs);
  p.StartDirectory = dir.path();
  std::filesystem::create_directories(dir.File("odrediste"));
  std::filesystem::create_directories(dir.File("drugi"));
  auto w = std::make_shared<BrowseWindow>(p, DefinitionBrowse());
  threads.Start([w](platform::EventQueue& q) { w->Run(q); });
  ASSERT_TRUE(WaitFor([&] { return w->Snapshot().open; }));

  auto form = Call(w, BrowseButton::kInsert);
  dialogs.QueueFiles({dir.File("odrediste/bilo.txt")});
  ASSERT_TRUE(form->Press(kDfChoose));
  ASSERT_TRUE(WaitFor([&] { return Value(form, kDfPath) == dir.File("odrediste/bilo.txt"); }));
  ASSERT_EQ(dialogs.FileDialogs().size(), 1u);
  platform::FileOpenSpec d = dialogs.FileDialogs()[0];
  EXPECT_EQ(d.title, "Odaberi bilo koju datoteku u direktoriju !");
  EXPECT_EQ(d.filter, "Odaberi datoteku u željenom direktoriju!|*.*");
  EXPECT_EQ(d.nameBufferLength, 80u);
  EXPECT_FALSE(d.keepCurrentDirectory);
  // The chosen file's directory is current; "2. &Kreiraj" names the archive there and goes
  // back to the directory the form found.
  ASSERT_TRUE(form->Press(kDfCreate));
  ASSERT_TRUE(WaitFor([&] { return Value(form, kDfPath) == dir.File("odrediste/Arhiv1.zip"); }));
  EXPECT_EQ(platform::CurrentDirectory(), dir.path());
  EXPECT_EQ(p.StartDirectory, dir.path());
  // A path that names a directory: the archive goes inside it.
  Enter(form, kDfPath, dir.File("drugi"), dir.File("drugi"));
  ASSERT_TRUE(form->Press(kDfCreate));
  ASSERT_TRUE(WaitFor([&] { return Value(form, kDfPath) == dir.File("drugi/Arhiv1.zip"); }));
  // A choice followed by "&OK": the directory the form found is current again afterwards.
  dialogs.QueueFiles({dir.File("odrediste/Tjedni.zip")});
  ASSERT_TRUE(form->Press(kDfChoose));
  ASSERT_TRUE(WaitFor([&] { return Value(form, kDfPath) == dir.File("odrediste/Tjedni.zip"); }));
  ASSERT_TRUE(form->Press(kDfOk));
  FormClosed(w);
  EXPECT_EQ(platform::CurrentDirectory(), dir.path());
  EXPECT_EQ(Cell(w->Snapshot(), 0), dir.File("odrediste/Tjedni.zip"));
  ASSERT_TRUE(w->RequestClose());
  ASSERT_TRUE(WaitFor([&] { return w->Snapshot().closed; }));
}

TEST_F(FormsTest, FileListEntryIsAddedOnlyWhenAcceptedAndDuplicatesAreRefused) {
  auto w = Start(FileListBrowse());
  auto form = Call(w, BrowseButton::kInsert);
  FormState s = form->Snapshot();
  EXPECT_EQ(s.caption, "  ODABIR  datoteka za ARHIV/DEARHIV.");
  EXPECT_EQ(s.status, "Unos");
  EXPECT_TRUE(Stored(program.datoteke).empty());  // no record until accepted
  // "  Potraži" takes a data file; the entry names it without its extension.
  ui.QueueFiles({dir.File("podaci/KUPCI.tps")});
  ASSERT_TRUE(form->Press(kFfFind));
  ASSERT_TRUE(WaitFor([&] { return Value(form, kFfName) == dir.File("podaci/KUPCI"); }));
  platform::FileOpenSpec d = ui.FileDialogs().at(0);
  EXPECT_EQ(d.title, "Odaberi datoteku !");
  EXPECT_EQ(d.filter, "Podatkovne datoteke|*.tps");
  EXPECT_TRUE(d.keepCurrentDirectory);
  Enter(form, kFfDate, "5/3/06", "05/03/06");
  ASSERT_TRUE(form->Edit(kFfDate, "31/02/06"));  // no such day: refused, the date stays
  ASSERT_TRUE(WaitFor([&] { return !ui.Messages().empty(); }));
  EXPECT_EQ(ui.Messages()[0].text, kBadDateText);
  EXPECT_EQ(Value(form, kFfDate), "05/03/06");
  ASSERT_TRUE(form->Press(kFfAccept));
  FormClosed(w);
  EXPECT_EQ(w->Snapshot().rows.at(0),
            (std::vector<std::string>{dir.File("podaci/KUPCI"), "05/03/06", "", ""}));

  // The same path in other letters is refused; cancelling afterwards adds nothing.
  form = Call(w, BrowseButton::kInsert);
  Enter(form, kFfName, dir.File("PODACI/kupci"), dir.File("PODACI/kupci"));
  ASSERT_TRUE(form->Press(kFfAccept));
  ASSERT_TRUE(WaitFor([&] { return ui.Messages().size() == 2; }));
  EXPECT_EQ(ui.Messages()[1].text, "Već postoji slog sa ovom vrijednosti za ključ:DAT:KeyIme");
  EXPECT_TRUE(form->Snapshot().open);
  ASSERT_TRUE(form->Press(kFfCancel));
  FormClosed(w);
  EXPECT_EQ(Stored(program.datoteke).size(), 1u);

  // A change through "&Otvori".
  form = Call(w, BrowseButton::kChange);
  EXPECT_EQ(form->Snapshot().status, "Otvori");
  Enter(form, kFfFlag, "dnevno", "dnevno");
  ASSERT_TRUE(form->Press(kFfAccept));
  FormClosed(w);
  EXPECT_EQ(Cell(w->Snapshot(), 0, 3), "dnevno");
}

}  // namespace
}  // namespace verdan::app
