// The list scheme through a scripted view: paging over a table of a few hundred records,
// letter locate, the scroll thumb, the popup menu and select mode.
#include "app/browse.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "app/archive_definitions.h"
#include "app/file_list.h"
#include "list_fixture.h"
#include "platform/keyed_file.h"

namespace verdan::app {
namespace {

using testing::WaitFor;

std::string Name(int i) {
  return "/arhiva/" + std::string(1, static_cast<char>('A' + i / 12)) +
         std::string(1, static_cast<char>('A' + i % 12)) + ".zip";
}

class BrowseTest : public testing::ListFixture {
 protected:
  // 312 definitions /arhiva/AA.zip .. /arhiva/ZL.zip, added out of order.
  void AddMany() {
    std::vector<std::string> paths;
    for (int i = 0; i < 312; ++i) paths.push_back(Name((i * 7) % 312));
    AddDefinitions(paths);
  }
  void Scroll(const std::shared_ptr<BrowseWindow>& w, BrowseScroll how, int times = 1) {
    for (int i = 0; i < times; ++i) Do(w, [&] { return w->Scroll(how); });
  }
};

TEST_F(BrowseTest, PagesThroughAFewHundredRecordsInKeyOrder) {
  AddMany();
  auto w = Start(DefinitionBrowse());
  Do(w, [&] { return w->SetPageRows(8); });
  BrowseState s = w->Snapshot();
  ASSERT_EQ(s.rows.size(), 8u);
  EXPECT_EQ(Cell(s, 0), Name(0));
  EXPECT_EQ(s.highlighted, 0);
  EXPECT_EQ(s.thumb, 1);

  // Line down inside the page, then one record read past its end.
  Scroll(w, BrowseScroll::kLineDown, 7);
  s = w->Snapshot();
  EXPECT_EQ(Highlighted(s), Name(7));
  EXPECT_EQ(Cell(s, 0), Name(0));
  Scroll(w, BrowseScroll::kLineDown);
  s = w->Snapshot();
  EXPECT_EQ(Cell(s, 0), Name(1));
  EXPECT_EQ(s.highlighted, 7);
  EXPECT_EQ(Highlighted(s), Name(8));

  // A page on and back: the highlight keeps its row.
  Scroll(w, BrowseScroll::kPageDown);
  s = w->Snapshot();
  EXPECT_EQ(Cell(s, 0), Name(9));
  EXPECT_EQ(Highlighted(s), Name(16));
  Scroll(w, BrowseScroll::kPageUp);
  EXPECT_EQ(Cell(w->Snapshot(), 0), Name(1));
  Scroll(w, BrowseScroll::kLineUp, 8);
  s = w->Snapshot();
  EXPECT_EQ(Cell(s, 0), Name(0));
  EXPECT_EQ(s.highlighted, 0);
  Scroll(w, BrowseScroll::kPageUp);  // at the top nothing moves
  EXPECT_EQ(Highlighted(w->Snapshot()), Name(0));

  // The last page, where reading on finds nothing more.
  Scroll(w, BrowseScroll::kBottom);
  s = w->Snapshot();
  EXPECT_EQ(Cell(s, 0), Name(304));
  EXPECT_EQ(Highlighted(s), Name(311));
  EXPECT_EQ(s.thumb, 100);
  Scroll(w, BrowseScroll::kLineDown);
  Scroll(w, BrowseScroll::kPageDown);
  EXPECT_EQ(Highlighted(w->Snapshot()), Name(311));
  Scroll(w, BrowseScroll::kPageUp);
  s = w->Snapshot();
  EXPECT_EQ(Cell(s, 0), Name(296));
  EXPECT_EQ(Highlighted(s), Name(303));

  // Dragging the thumb: the ends, and the middle of the table near the middle.
  Do(w, [&] { return w->Thumb(1); });
  EXPECT_EQ(Highlighted(w->Snapshot()), Name(0));
  Do(w, [&] { return w->Thumb(50); });
  s = w->Snapshot();
  EXPECT_GE(Highlighted(s), "/arhiva/L");
  EXPECT_LT(Highlighted(s), "/arhiva/O");
  EXPECT_GE(s.thumb, 45);
  EXPECT_LE(s.thumb, 55);
  Do(w, [&] { return w->Thumb(100); });
  EXPECT_EQ(Highlighted(w->Snapshot()), Name(311));

  // Another station adds a record above the highlight; the page is read again around the
  // highlighted record, which keeps its row.
  Scroll(w, BrowseScroll::kTop);
  Scroll(w, BrowseScroll::kLineDown, 3);
  {
    platform::KeyedFile other(TableLayoutOf(program.arhive));
    ASSERT_EQ(other.Open(), 0);
    ASSERT_EQ(other.Add({std::int64_t{400}, "", "", "/ARHIVA/aaa.zip", std::int64_t{0}, "", ""}),
              0);
  }
  Do(w, [&] { return w->RequestRefresh(); });
  s = w->Snapshot();
  EXPECT_EQ(Highlighted(s), Name(3));
  EXPECT_EQ(s.highlighted, 3);
  EXPECT_EQ(Cell(s, 0), "/ARHIVA/aaa.zip");

  // A taller control holds more rows, read around the highlighted record.
  Do(w, [&] { return w->SetPageRows(20); });
  s = w->Snapshot();
  EXPECT_EQ(s.rows.size(), 20u);
  EXPECT_EQ(Highlighted(s), Name(3));
}

TEST_F(BrowseTest, LetterLocateWalksThroughOneLettersPathsAndWraps) {
  AddDefinitions({"/d/X.zip", "C:\\B.zip", "/c/B.zip", "D:\\X.zip", "/c/A.zip", "C:\\A.zip"});
  auto w = Start(DefinitionBrowse());
  Do(w, [&] { return w->SetPageRows(2); });
  auto type = [&](const char* c) {
    Do(w, [&] { return w->Locate(c); });
    return Highlighted(w->Snapshot());
  };
  // Paths from the root: the letter after the separator.
  Do(w, [&] { return w->Scroll(BrowseScroll::kLineDown); });
  Do(w, [&] { return w->Scroll(BrowseScroll::kLineDown); });
  ASSERT_EQ(Highlighted(w->Snapshot()), "/d/X.zip");
  EXPECT_EQ(type("C"), "/c/A.zip");
  EXPECT_EQ(type("c"), "/c/B.zip");
  EXPECT_EQ(type("C"), "/c/A.zip");
  // Drive-letter paths.
  Do(w, [&] { return w->Scroll(BrowseScroll::kBottom); });
  ASSERT_EQ(Highlighted(w->Snapshot()), "D:\\X.zip");
  EXPECT_EQ(type("C"), "C:\\A.zip");
  EXPECT_EQ(type("C"), "C:\\B.zip");
  EXPECT_EQ(type("c"), "C:\\A.zip");
  // A letter past every path lands on the last one.
  EXPECT_EQ(type("q"), "D:\\X.zip");
}

TEST(ThumbStepTable, SpreadsBetweenTheEndsInKeyOrder) {
  const std::vector<std::string>& alphabet = UpperCaseAlphabet();
  EXPECT_EQ(alphabet.size(), 66u);
  EXPECT_EQ(alphabet.front(), "A");
  for (const char* letter : {"Č", "Ć", "Đ", "Š", "Ž", "Z"})
    EXPECT_NE(std::find(alphabet.begin(), alphabet.end(), letter), alphabet.end()) << letter;
  for (const char* other : {"č", "ß", "×", "1", "a"})
    EXPECT_EQ(std::find(alphabet.begin(), alphabet.end(), other), alphabet.end()) << other;

  std::vector<std::string> steps = ThumbSteps("/arhiva/AA.zip", "/arhiva/zl.zip");
  ASSERT_EQ(steps.size(), 100u);
  EXPECT_EQ(steps.front(), "/arhiva/AA.Z");
  EXPECT_EQ(steps.back(), "/arhiva/ZL.Z");
  auto key = [](const std::string& s) { return platform::Utf8ToCp1250(platform::UpperCp1250(s)); };
  EXPECT_TRUE(std::is_sorted(steps.begin(), steps.end(),
                             [&](const auto& a, const auto& b) { return key(a) < key(b); }));
  EXPECT_LT(key(steps[40]), key("/arhiva/M"));
  EXPECT_GT(key(steps[60]), key("/arhiva/M"));

  // Equal ends give step 0: every entry is the same value.
  for (const auto& [low, high] :
       {std::pair{"C:\\A.zip", "C:\\A.zip"}, std::pair{"/c/A.zip", "/C/a.ZIP"}}) {
    std::vector<std::string> same = ThumbSteps(low, high);
    EXPECT_TRUE(std::all_of(same.begin(), same.end(), [&](const std::string& e) {
      return platform::TrimRightCopy(e) == low;
    })) << low;
  }
}

TEST_F(BrowseTest, OneRecordIsWhereverTheThumbIsDragged) {
  AddDefinitions({"C:\\A.zip"});
  auto w = Start(DefinitionBrowse());
  for (int position : {1, 30, 70, 100}) {
    Do(w, [&] { return w->Thumb(position); });
    EXPECT_EQ(Highlighted(w->Snapshot()), "C:\\A.zip") << position;
  }
}

TEST_F(BrowseTest, PopupMenuButtonsAndSelectModeFollowTheListsState) {
  // An empty list: only inserting is offered.
  auto empty = Start(DefinitionBrowse());
  BrowseState s = empty->Snapshot();
  EXPECT_EQ(s.menuText, "&Definiraj novu|~&Pogledaj|~&Briši|-|~&Selekt");
  EXPECT_TRUE(s.Button(BrowseButton::kSelect).hidden);
  EXPECT_FALSE(s.Button(BrowseButton::kChange).enabled);
  EXPECT_FALSE(s.Button(BrowseButton::kRun).enabled);
  EXPECT_FALSE(empty->Press(BrowseButton::kChange));
  Do(empty, [&] { return empty->MenuChoice(3); });
  Do(empty, [&] { return empty->Alert(BrowseAlert::kDelete); });
  EXPECT_TRUE(ui.Messages().empty());  // no delete was asked for
  EXPECT_EQ(s.title, "POPIS ARHIVA");
  ASSERT_EQ(s.columns.size(), 6u);
  EXPECT_EQ(s.columns[2].header, "Datum Arh");
  EXPECT_EQ(s.Button(BrowseButton::kClose).text, "      &Zatvori");
  EXPECT_EQ(s.tabText, "ODABERI ARHIV:");
  EXPECT_EQ(s.option, 0);
  Do(empty, [&] { return empty->Press(BrowseButton::kClose); });
  ASSERT_TRUE(WaitFor([&] { return empty->Snapshot().closed; }));
  EXPECT_EQ(program.CallResponse, 2);
  EXPECT_EQ(program.arhive.ReferenceCount, 0);
  EXPECT_EQ(program.datoteke.ReferenceCount, 0);

  // The file list with an entry; its "ARHIVIRAJ" is defined hidden.
  ASSERT_TRUE(OpenTable(program, program.datoteke));
  ClearRecord(program, program.datoteke);
  program.DAT.IME = platform::FitField("/podaci/kupci", kDatImeLength);
  program.DAT.DATUM = static_cast<std::int32_t>(platform::DayCountFromDate({2006, 3, 5}));
  ASSERT_EQ(AddRecord(program, program.datoteke), 0);
  CloseTable(program.datoteke);
  auto files = Start(FileListBrowse());
  s = files->Snapshot();
  EXPECT_EQ(s.title, " ARHIVIRANJE ODABRANIH DATOTEKA");
  EXPECT_EQ(s.menuText, "&Unos|&Otvori|&Briši|-|~&Selekt");
  EXPECT_EQ(s.rows, (std::vector<std::vector<std::string>>{{"/podaci/kupci", "05/03/06", "", ""}}));
  EXPECT_TRUE(s.Button(BrowseButton::kListRun).hidden);
  EXPECT_FALSE(files->Press(BrowseButton::kListRun));
  ASSERT_TRUE(files->RequestClose());
  ASSERT_TRUE(WaitFor([&] { return files->Snapshot().closed; }));

  // Select mode: "&Selekt" is offered, and a double click selects the highlighted record.
  AddDefinitions({"/x/prvi.zip", "/x/drugi.zip"});
  auto select = Start(DefinitionBrowse(), {}, 4);
  EXPECT_EQ(program.CallRequest, 0);
  s = select->Snapshot();
  EXPECT_EQ(s.menuText, "&Definiraj novu|&Pogledaj|&Briši|-|&Selekt");
  EXPECT_FALSE(s.Button(BrowseButton::kSelect).hidden);
  Do(select, [&] { return select->SelectRow(1); });
  ASSERT_TRUE(select->Alert(BrowseAlert::kDoubleClick));
  ASSERT_TRUE(WaitFor([&] { return select->Snapshot().closed; }));
  EXPECT_EQ(program.CallResponse, 1);
  EXPECT_EQ(platform::TrimRightCopy(program.ARH.STAZA), "/x/prvi.zip");
}

}  // namespace
}  // namespace verdan::app
