#include "gui/frame_view.h"

#include <gtest/gtest.h>

#include <QMdiSubWindow>
#include <QTimer>

#include <fstream>

#include "app/tables.h"
#include "gui/gui.h"
#include "gui/session.h"
#include "gui_test_support.h"
#include "platform/clock.h"
#include "support/scripted_ui.h"
#include "support/temp_dir.h"

namespace verdan::gui {
namespace {

using platform::CivilDate;

// A first start asks about the missing settings record; these tests start with one.
void SeedSettingsRecord() {
  verdan::testing::ScriptedUi scripted;
  app::Program seed(scripted);
  ASSERT_TRUE(app::OpenTable(seed, seed.email));
  app::LoadEmailSettings(seed);
  app::CloseTable(seed.email);
}

class FrameViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::App();
    SeedSettingsRecord();
  }
  verdan::testing::TempDir dir;
  verdan::testing::ScopedCwd cwd{dir.path()};
  platform::SettableClock clock{platform::DayCountFromDate(CivilDate{2006, 11, 20}), 0};
  platform::ScopedClock scopedClock{clock};
};

TEST_F(FrameViewTest, ShowsCaptionButtonsZonesAndSplashThenEndsOnKraj) {
  clock.SetTimeOfDay((9 * 60 + 4) * 6000);
  QtUi ui;
  app::Program program(ui);
  bool checked = false;
  int status = RunSession(program, ui, platform::SystemDesktop(), [&](FrameView& view) {
    auto* poll = new QTimer(&view);
    QObject::connect(poll, &QTimer::timeout, &view, [&, poll] {
      bool splashShown = false;
      for (QMdiSubWindow* sub : view.Area()->subWindowList())
        if (sub->widget() && sub->widget()->objectName() == "splash" && sub->isVisible())
          splashShown = true;
      if (view.Zone(4)->text().isEmpty() || !splashShown) return;
      poll->stop();
      EXPECT_EQ(view.windowTitle(), "  VERDAN_pro 3.8.4");
      const char* captions[] = {"&Arhiviranje / backup", "E-mail", "Opcije", "E-mail postavke",
                                "&KRAJ"};
      for (int i = 0; i < app::kFrameButtons; ++i)
        EXPECT_EQ(view.Button(static_cast<app::FrameButton>(i))->text(), captions[i]);
      EXPECT_EQ(view.Button(app::FrameButton::kEmail)->toolTip(), "Pošalji arhivu e-mailom ...");
      for (int i = 0; i < app::kFrameButtons; ++i)
        EXPECT_TRUE(view.Button(static_cast<app::FrameButton>(i))->isEnabled()) << i;
      EXPECT_EQ(view.Zone(1)->text().toStdString(), app::kFrameNotice);
      EXPECT_EQ(view.Zone(3)->text(), "Monday, November 20, 2006");
      EXPECT_EQ(view.Zone(4)->text(), "09:04");
      EXPECT_FALSE(view.windowIcon().isNull());
      checked = true;
      view.Button(app::FrameButton::kEnd)->click();
    });
    poll->start(10);
    QTimer::singleShot(20000, &view, [] {
      ADD_FAILURE() << "the frame did not end";
      QApplication::quit();
    });
  });
  EXPECT_TRUE(checked);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(program.windows.Running(), 0u);
  EXPECT_EQ(program.email.ReferenceCount, 0);
}

TEST_F(FrameViewTest, ClosingTheFrameWindowEndsTheProgram) {
  QtUi ui;
  app::Program program(ui);
  int status = RunSession(program, ui, platform::SystemDesktop(), [&](FrameView& view) {
    auto* poll = new QTimer(&view);
    QObject::connect(poll, &QTimer::timeout, &view, [&view, poll] {
      if (view.Zone(4)->text().isEmpty()) return;
      poll->stop();
      view.close();  // as the window's close button does
    });
    poll->start(10);
    QTimer::singleShot(20000, &view, [] {
      ADD_FAILURE() << "the frame did not end";
      QApplication::quit();
    });
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(program.windows.Running(), 0u);
}

TEST(GuiProgram, WithoutADisplaySaysSoAndExitsTwo) {
  verdan::testing::TempDir dir;
  verdan::testing::ProcessResult r = verdan::testing::RunProcess(
      {VERDAN_BINARY}, dir.path(), {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="}, 30);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("DISPLAY"), std::string::npos) << r.err;
  // Nothing was created in the working directory.
  EXPECT_FALSE(std::ifstream(dir.File("PEMAIL.TPS")).good());
}

TEST(GuiProgram, DisplayCheckFollowsTheEnvironment) {
  const char* names[] = {"QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "DISPLAY"};
  std::vector<std::pair<std::string, bool>> saved;
  for (const char* n : names)
    saved.emplace_back(std::getenv(n) ? std::getenv(n) : "", std::getenv(n) != nullptr);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  EXPECT_TRUE(platform::DisplayAvailable());
  setenv("QT_QPA_PLATFORM", "", 1);
  setenv("WAYLAND_DISPLAY", "", 1);
  setenv("DISPLAY", ":7391", 1);  // no server listens there
  EXPECT_FALSE(platform::DisplayAvailable());
  unsetenv("DISPLAY");
  EXPECT_FALSE(platform::DisplayAvailable());
  for (int i = 0; i < 3; ++i) {
    if (saved[i].second)
      setenv(names[i], saved[i].first.c_str(), 1);
    else
      unsetenv(names[i]);
  }
}

}  // namespace
}  // namespace verdan::gui
