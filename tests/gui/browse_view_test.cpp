// The two lists on screen (Qt's offscreen platform): the file list opened from the archiving
// window, the archive-definition list from the session, and a record inserted through each
// list's form showing up as a row.
#include "gui/browse_view.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <QHeaderView>
#include <QLineEdit>
#include <QMdiSubWindow>
#include <QTimer>
#include <functional>
#include <vector>

#include "app/archive_definitions.h"
#include "app/file_list.h"
#include "app/startup.h"
#include "app/tables.h"
#include "gui/session.h"
#include "gui_test_support.h"
#include "platform/clock.h"
#include "platform/keyed_file.h"
#include "platform/process.h"
#include "support/scripted_ui.h"
#include "support/temp_dir.h"

namespace verdan::gui {
namespace {

using testing::FindView;

BrowseView* FindList(FrameView& frame, const std::string& title) {
  return FindView<BrowseView>(frame, [&](BrowseView* v) { return v->State().title == title; });
}

// Types into a form's entry as the user would, leaving the field afterwards.
void Type(FormView* form, int control, const QString& text) {
  auto* edit = qobject_cast<QLineEdit*>(form->Control(control));
  ASSERT_NE(edit, nullptr);
  edit->setFocus();
  edit->setText(text);
  edit->setModified(true);
  emit edit->editingFinished();
}

TEST(BrowseViewTest, BothListsInsertThroughTheirFormsAndShowTheNewRow) {
  testing::App();
  verdan::testing::TempDir dir;
  verdan::testing::ScopedCwd cwd(dir.path());
  platform::SettableClock clock{platform::DayCountFromDate({2006, 3, 6}), 0};
  platform::ScopedClock scopedClock{clock};
  {
    // Settings stored beforehand, so that the frame opens without asking anything.
    verdan::testing::ScriptedUi scripted;
    app::Program seed(scripted);
    ASSERT_TRUE(app::OpenTable(seed, seed.email));
    app::LoadEmailSettings(seed);
    app::CloseTable(seed.email);
  }
  QtUi ui;
  app::Program program(ui);
  Session session(program, ui);

  testing::Steps steps = {
      [](FrameView& f) {
        if (!f.Button(app::FrameButton::kArchive)->isEnabled()) return false;
        f.Button(app::FrameButton::kArchive)->click();
        return true;
      },
      [](FrameView& f) {
        ArchiveView* v = FindView<ArchiveView>(f);
        if (!v) return false;
        EXPECT_TRUE(v->Control(14)->isHidden());
        EXPECT_FALSE(v->Control(14)->isEnabled());
        if (!v->Control(11)->isEnabled()) return false;
        static_cast<QPushButton*>(v->Control(11))->click();
        return true;
      },
      [](FrameView& f) {
        BrowseView* list = FindList(f, app::kFileListTitle);
        if (!list || !list->State().open) return false;
        EXPECT_EQ(list->Table()->horizontalHeaderItem(0)->text(), "Ime");
        EXPECT_EQ(list->Table()->horizontalHeaderItem(1)->text(), "Datum");
        EXPECT_GT(list->Table()->columnWidth(0), list->Table()->columnWidth(1));
        EXPECT_TRUE(list->Button(app::BrowseButton::kListRun)->isHidden());
        EXPECT_TRUE(list->Button(app::BrowseButton::kSelect)->isHidden());
        EXPECT_FALSE(list->Button(app::BrowseButton::kChange)->isEnabled());
        list->Button(app::BrowseButton::kInsert)->click();
        return true;
      },
      [](FrameView& f) {
        BrowseView* list = FindList(f, app::kFileListTitle);
        FormView* form = list ? list->Form() : nullptr;
        if (!form || !form->isVisible()) return false;
        EXPECT_EQ(form->windowTitle(), "  ODABIR  datoteka za ARHIV/DEARHIV.");
        EXPECT_FALSE(list->Table()->isEnabled());  // the list waits for its form
        Type(form, app::kFfName, "/podaci/kupci");
        Type(form, app::kFfDate, "6/3/06");
        static_cast<QPushButton*>(form->Control(app::kFfAccept))->click();
        return true;
      },
      [&](FrameView& f) {
        BrowseView* list = FindList(f, app::kFileListTitle);
        if (!list || list->Form() || list->Table()->rowCount() != 1) return false;
        EXPECT_EQ(list->Table()->item(0, 0)->text(), "/podaci/kupci");
        EXPECT_EQ(list->Table()->item(0, 1)->text(), "06/03/06");
        EXPECT_TRUE(list->Button(app::BrowseButton::kChange)->isEnabled());
        // The definition list, which no button on screen offers.
        program.windows.Start(session.DefinitionsProcedure());
        return true;
      },
      [](FrameView& f) {
        BrowseView* list = FindList(f, app::kDefinitionsTitle);
        if (!list || !list->State().open) return false;
        EXPECT_EQ(list->Table()->horizontalHeaderItem(2)->text(), "Datum Arh");
        EXPECT_EQ(list->Table()->horizontalHeaderItem(2)->textAlignment() & Qt::AlignHCenter,
                  Qt::AlignHCenter);
        EXPECT_EQ(list->Button(app::BrowseButton::kRun)->text(), "&ARHIVIRAJ !");
        list->Button(app::BrowseButton::kInsert)->click();
        return true;
      },
      [](FrameView& f) {
        BrowseView* list = FindList(f, app::kDefinitionsTitle);
        FormView* form = list ? list->Form() : nullptr;
        if (!form || !form->isVisible()) return false;
        EXPECT_EQ(form->windowTitle(), "Adding a datoteke Record");
        EXPECT_EQ(qobject_cast<QLineEdit*>(form->Control(app::kDfId))->text(), "1");
        Type(form, app::kDfDisk, "d:");
        Type(form, app::kDfName, "Tjedni");
        static_cast<QPushButton*>(form->Control(app::kDfOk))->click();
        return true;
      },
      [](FrameView& f) {
        BrowseView* list = FindList(f, app::kDefinitionsTitle);
        if (!list || list->Form() || list->Table()->rowCount() != 1) return false;
        EXPECT_EQ(list->Table()->item(0, 0)->text(), "d:\\Tjedni.zip");
        EXPECT_EQ(list->Table()->item(0, 1)->text(), "Tjedni");
        EXPECT_EQ(list->Table()->item(0, 2)->text(), "06/03/06");
        list->Button(app::BrowseButton::kClose)->click();
        FindList(f, app::kFileListTitle)->Button(app::BrowseButton::kClose)->click();
        return true;
      },
      [](FrameView& f) {
        if (FindView<BrowseView>(f)) return false;
        f.Button(app::FrameButton::kEnd)->click();
        return true;
      },
  };
  std::size_t reached = 0;
  int status = app::RunProgram(program, platform::SystemDesktop(), [&] {
    session.RunFrame([&](FrameView& view) { testing::PollSteps(view, steps, reached); });
  });
  EXPECT_EQ(reached, steps.size());
  EXPECT_EQ(status, 0);
  EXPECT_EQ(program.windows.Running(), 0u);
}

// "&KRAJ" while the definition form of an insert is open: the program ends (the form is
// cancelled with the list and the frame), and the record the insert added is gone again. A
// record that an earlier, killed program's insert left is removed when the program starts.
TEST(BrowseViewTest, EndingWithAnInsertFormOpenEndsTheProgramAndRemovesTheAddedRecord) {
  testing::App();
  platform::ProcessIdentity me;
  ASSERT_TRUE(platform::ParseProcessTag(platform::ProcessTag(::getpid()), me));
  const std::string ended =
      "~" + std::to_string(me.pid) + "_" + std::to_string(me.start + 1) + "_" + me.boot;
  for (int round = 0; round < 5; ++round) {
    verdan::testing::TempDir dir;
    verdan::testing::ScopedCwd cwd(dir.path());
    {
      verdan::testing::ScriptedUi scripted;
      app::Program seed(scripted);
      ASSERT_TRUE(app::OpenTable(seed, seed.email));
      app::LoadEmailSettings(seed);
      app::CloseTable(seed.email);
      platform::KeyedFile file(app::TableLayoutOf(seed.arhive));
      ASSERT_EQ(file.Create(), 0);
      ASSERT_EQ(file.Open(), 0);
      ASSERT_EQ(
          file.Add({std::int64_t{1}, "Tjedni", "d:", "d:\\Tjedni.zip", std::int64_t{0}, "", ""}),
          0);
      ASSERT_EQ(file.Add({std::int64_t{2}, "", "", "", std::int64_t{0}, "", ended}), 0);
    }
    QtUi ui;
    app::Program program(ui);
    Session session(program, ui);
    bool formShown = false;
    testing::Steps steps = {
        [&](FrameView& f) {
          if (!f.Button(app::FrameButton::kEnd)->isEnabled()) return false;
          program.windows.Start(session.DefinitionsProcedure());
          return true;
        },
        [](FrameView& f) {
          BrowseView* list = FindList(f, app::kDefinitionsTitle);
          if (!list || !list->State().open) return false;
          list->Button(app::BrowseButton::kInsert)->click();
          return true;
        },
        [&](FrameView& f) {
          BrowseView* list = FindList(f, app::kDefinitionsTitle);
          FormView* form = list ? list->Form() : nullptr;
          if (!form || !form->isVisible()) return false;
          formShown = true;
          f.Button(app::FrameButton::kEnd)->click();
          return true;
        },
    };
    std::size_t reached = 0;
    int status = app::RunProgram(program, platform::SystemDesktop(), [&] {
      session.RunFrame([&](FrameView& view) { testing::PollSteps(view, steps, reached); });
    });
    EXPECT_TRUE(formShown) << "round " << round;
    EXPECT_EQ(status, 0);
    EXPECT_EQ(program.windows.Running(), 0u);
    // Read back by a program of its own: only the user's definition is left.
    verdan::testing::ScriptedUi scripted;
    app::Program check(scripted);
    ASSERT_TRUE(app::OpenTable(check, check.arhive));
    app::SetOrder(check, check.arhive, app::ARH_KEYID);
    std::vector<int> ids;
    while (app::NextRecord(check, check.arhive) == 0) ids.push_back(check.ARH.ID);
    EXPECT_EQ(ids, std::vector<int>{1}) << "round " << round;
    app::CloseTable(check.arhive);
  }
}

}  // namespace
}  // namespace verdan::gui
