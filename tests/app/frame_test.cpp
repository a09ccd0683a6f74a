#include "app/frame.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "app/splash.h"
#include "app/startup.h"
#include "platform/clock.h"
#include "platform/desktop.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "support/scripted_ui.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace verdan::app {
namespace {

using namespace std::chrono_literals;
using platform::CivilDate;
using platform::DayCountFromDate;

using verdan::testing::WaitFor;

std::int32_t At(int h, int m, int s = 0) { return ((h * 60 + m) * 60 + s) * 100; }

// A child window that stays until it is asked to close, counting starts and ends.
struct CountingWindow {
  std::atomic<int> started{0};
  std::atomic<int> ended{0};
  platform::WindowThreads::Procedure Procedure() {
    return [this](platform::EventQueue& q) {
      ++started;
      while (q.Wait().code != platform::kEventClose) {
      }
      ++ended;
    };
  }
};

TEST(StatusZones, DateLineIsWeekdayMonthDayYear) {
  EXPECT_EQ(StatusDateLine(0), "Sunday, December 28, 1800");
  EXPECT_EQ(StatusDateLine(DayCountFromDate(CivilDate{2006, 3, 5})), "Sunday, March 5, 2006");
  EXPECT_EQ(StatusDateLine(DayCountFromDate(CivilDate{2006, 3, 6})), "Monday, March 6, 2006");
  EXPECT_EQ(StatusDateLine(DayCountFromDate(CivilDate{2024, 2, 29})),
            "Thursday, February 29, 2024");
  EXPECT_EQ(StatusDateLine(DayCountFromDate(CivilDate{2026, 12, 8})), "Tuesday, December 8, 2026");
  EXPECT_EQ(StatusDateLine(DayCountFromDate(CivilDate{2006, 9, 13})),
            "Wednesday, September 13, 2006");
  // Before day 0 the remainder is negative and is brought back into the week.
  EXPECT_EQ(StatusDateLine(-1), "Saturday, December 27, 1800");
  EXPECT_EQ(StatusDateLine(-7), "Sunday, December 21, 1800");
  EXPECT_EQ(StatusDateLine(-10), "Thursday, December 18, 1800");
}

TEST(StatusZones, TimeLineIsHoursAndMinutes) {
  EXPECT_EQ(StatusTimeLine(0), "00:00");
  EXPECT_EQ(StatusTimeLine(At(9, 5, 59) + 99), "09:05");
  EXPECT_EQ(StatusTimeLine(At(13, 0)), "13:00");
  EXPECT_EQ(StatusTimeLine(platform::kHundredthsPerDay - 1), "23:59");
}

TEST(StatusZones, TimerIntervalOutsideOneToHundredBecomesHundred) {
  EXPECT_EQ(FrameTimerInterval(0), 100);
  EXPECT_EQ(FrameTimerInterval(101), 100);
  EXPECT_EQ(FrameTimerInterval(-5), 100);
  EXPECT_EQ(FrameTimerInterval(1), 1);
  EXPECT_EQ(FrameTimerInterval(100), 100);
  EXPECT_EQ(FrameTimerInterval(50), 50);
}

class FrameTest : public ::testing::Test {
 protected:
  testing::TempDir dir;
  testing::ScopedCwd cwd{dir.path()};
  testing::ScriptedUi ui;
  platform::SettableClock clock{DayCountFromDate(CivilDate{2006, 3, 6}), At(13, 7)};
  platform::ScopedClock scopedClock{clock};
  Program program{ui};
};

TEST_F(FrameTest, InitialisesRunsButtonsAndEndsOnKraj) {
  CountingWindow archive;
  FrameTargets targets;
  targets.archive = archive.Procedure();
  FrameWindow frame(program, std::move(targets), 1);
  std::atomic<int> published{0};
  frame.SetListener([&] { ++published; });
  program.windows.Start([&](platform::EventQueue& q) { frame.Run(q); });
  ASSERT_TRUE(WaitFor([&] { return frame.Snapshot().open; }));

  FrameState s = frame.Snapshot();
  EXPECT_EQ(s.caption, "  VERDAN_pro 3.8.4");
  EXPECT_EQ(s.zones[0], kFrameNotice);
  EXPECT_EQ(s.zones[2], "Monday, March 6, 2006");
  EXPECT_EQ(s.zones[3], "13:07");
  EXPECT_EQ(s.timerInterval, 1);
  const char* captions[] = {"&Arhiviranje / backup", "E-mail", "Opcije", "E-mail postavke",
                            "&KRAJ"};
  for (int i = 0; i < kFrameButtons; ++i) EXPECT_EQ(s.buttons[i].caption, captions[i]);
  EXPECT_EQ(s.buttons[1].tip, "Pošalji arhivu e-mailom ...");
  EXPECT_EQ(s.buttons[3].tip, "Pošalji arhivu e-mailom ...");
  // Windows that are not there are not offered; "&KRAJ" always is.
  EXPECT_TRUE(s.buttons[0].enabled);
  EXPECT_FALSE(s.buttons[1].enabled);
  EXPECT_FALSE(s.buttons[2].enabled);
  EXPECT_FALSE(s.buttons[3].enabled);
  EXPECT_TRUE(s.buttons[4].enabled);
  EXPECT_TRUE(WaitFor([&] { return published > 0; }));  // the view was told

  // The e-mail table is held for the frame's life and the settings are loaded.
  EXPECT_EQ(program.email.ReferenceCount, 1);
  EXPECT_EQ(platform::TrimRightCopy(program.run.TIP_ARH), "dan");
  EXPECT_EQ(program.StartDirectory, platform::CurrentDirectory());
  EXPECT_FALSE(program.archivePassword.empty());

  // Two presses give two independent windows; the frame goes on at once.
  ASSERT_TRUE(frame.Press(FrameButton::kArchive));
  ASSERT_TRUE(frame.Press(FrameButton::kArchive));
  ASSERT_TRUE(WaitFor([&] { return archive.started == 2; }));
  EXPECT_TRUE(WaitFor([&] { return program.windows.Running() == 3u; }));
  // A disabled button's event starts nothing.
  ASSERT_TRUE(frame.Press(FrameButton::kEmail));

  // The clock runs on the frame's timer.
  clock.SetTimeOfDay(At(14, 30));
  EXPECT_TRUE(WaitFor([&] { return frame.Snapshot().zones[3] == "14:30"; }));
  clock.SetToday(DayCountFromDate(CivilDate{2006, 3, 7}));
  EXPECT_TRUE(WaitFor([&] { return frame.Snapshot().zones[2] == "Tuesday, March 7, 2006"; }));

  ASSERT_TRUE(frame.Press(FrameButton::kEnd));
  ASSERT_TRUE(WaitFor([&] { return frame.Snapshot().closed; }));
  program.windows.JoinAll();
  EXPECT_EQ(archive.ended, 2);  // closing the frame closed its children
  EXPECT_EQ(program.windows.Running(), 0u);
  EXPECT_EQ(program.email.ReferenceCount, 0);
  EXPECT_FALSE(frame.Press(FrameButton::kArchive));
  EXPECT_FALSE(program.Ended());
}

TEST_F(FrameTest, CloseRequestEndsFrameAndTimerRuleApplies) {
  FrameWindow frame(program, FrameTargets{}, 0);
  program.windows.Start([&](platform::EventQueue& q) { frame.Run(q); });
  ASSERT_TRUE(WaitFor([&] { return frame.Snapshot().open; }));
  EXPECT_EQ(frame.Snapshot().timerInterval, 100);
  EXPECT_TRUE(frame.RequestClose());
  program.windows.JoinAll();
  EXPECT_TRUE(frame.Snapshot().closed);
}

TEST_F(FrameTest, SplashStartsAtInitialisationAndOpensArchiveWhenItCloses) {
  CountingWindow archive;
  std::shared_ptr<SplashWindow> splash;
  std::atomic<bool> splashMade{false};
  FrameTargets targets;
  targets.splash = [&](platform::EventQueue& q) {
    splash = std::make_shared<SplashWindow>(program, archive.Procedure(), 100000);
    splashMade = true;
    splash->Run(q);
  };
  FrameWindow frame(program, std::move(targets), 100);
  program.windows.Start([&](platform::EventQueue& q) { frame.Run(q); });
  ASSERT_TRUE(WaitFor([&] { return splashMade && splash->Snapshot().open; }));
  SplashState s = splash->Snapshot();
  EXPECT_EQ(s.product, "VERDAN pro");
  EXPECT_EQ(s.version, "190506#3.8.4.");
  EXPECT_FALSE(s.maker.empty());

  // Keys on the keyboard and the middle button leave it open.
  ASSERT_TRUE(splash->Input(SplashKey::kKeyboard));
  ASSERT_TRUE(splash->Input(SplashKey::kMiddleButton));
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(splash->Snapshot().closed);
  EXPECT_EQ(archive.started, 0);

  ASSERT_TRUE(splash->Input(SplashKey::kRightButton));
  ASSERT_TRUE(WaitFor([&] { return archive.started == 1; }));
  EXPECT_TRUE(splash->Snapshot().closed);
  frame.RequestClose();
  program.windows.JoinAll();
  EXPECT_EQ(archive.ended, 1);
}

TEST_F(FrameTest, SplashClosesOnEachAlertedMouseKeyAndOnItsTimer) {
  for (SplashKey key :
       {SplashKey::kLeftButton, SplashKey::kLeftDoubleClick, SplashKey::kRightButton}) {
    CountingWindow archive;
    SplashWindow splash(program, archive.Procedure(), 100000);
    program.windows.Start([&](platform::EventQueue& q) { splash.Run(q); });
    ASSERT_TRUE(WaitFor([&] { return splash.Snapshot().open; }));
    ASSERT_TRUE(splash.Input(key));
    ASSERT_TRUE(WaitFor([&] { return archive.started == 1; })) << static_cast<int>(key);
    program.windows.CloseAll();
    program.windows.JoinAll();
  }
  CountingWindow archive;
  SplashWindow splash(program, archive.Procedure(), 2);
  auto start = std::chrono::steady_clock::now();
  program.windows.Start([&](platform::EventQueue& q) { splash.Run(q); });
  ASSERT_TRUE(WaitFor([&] { return archive.started == 1; }));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
  program.windows.CloseAll();
  program.windows.JoinAll();
}

TEST_F(FrameTest, SplashClosedByTheProgramEndingStartsNothing) {
  CountingWindow archive;
  SplashWindow splash(program, archive.Procedure(), 100000);
  program.windows.Start([&](platform::EventQueue& q) { splash.Run(q); });
  ASSERT_TRUE(WaitFor([&] { return splash.Snapshot().open; }));
  program.windows.Shut();
  program.windows.JoinAll();
  EXPECT_TRUE(splash.Snapshot().closed);
  EXPECT_EQ(archive.started, 0);
  EXPECT_FALSE(splash.Input(SplashKey::kLeftButton));
}

TEST_F(FrameTest, TableThatCannotBeOpenedEndsTheProgram) {
  testing::WriteFile(dir.File("PEMAIL.TPS"), std::string(4096, 'x'));
  class NoDesktop : public platform::Desktop {
   public:
    platform::DragSetting DragFullWindows() const override { return platform::DragSetting::kOff; }
    bool SetDragFullWindows(platform::DragSetting) override { return false; }
  } desktop;
  CountingWindow splash;
  FrameTargets targets;
  targets.splash = splash.Procedure();
  FrameWindow frame(program, std::move(targets), 100);
  int status = RunProgram(program, desktop, [&] {
    program.windows.Start([&](platform::EventQueue& q) { frame.Run(q); });
    ASSERT_TRUE(WaitFor([&] { return frame.Snapshot().closed; }));
  });
  EXPECT_EQ(status, kExitEndedByTable);
  EXPECT_TRUE(program.Ended());
  ASSERT_FALSE(ui.Texts().empty());
  EXPECT_EQ(ui.Texts().back(), program.EndText());
  EXPECT_EQ(splash.started, 0);
  EXPECT_EQ(program.email.ReferenceCount, 0);
  EXPECT_EQ(program.windows.Running(), 0u);
}

// A desktop whose drag setting the test sets, recording every change asked for.
class FakeDesktop : public platform::Desktop {
 public:
  explicit FakeDesktop(platform::DragSetting s, bool refuse = false)
      : setting_(s), refuse_(refuse) {}
  platform::DragSetting DragFullWindows() const override { return setting_; }
  bool SetDragFullWindows(platform::DragSetting s) override {
    writes.push_back(s);
    if (refuse_) return false;
    setting_ = s;
    return true;
  }
  std::vector<platform::DragSetting> writes;

 private:
  platform::DragSetting setting_;
  bool refuse_;
};

TEST(DragSetting, LeftUntouchedWhenOffSwitchedAndRestoredWhenOn) {
  using platform::DragSetting;
  testing::ScriptedUi ui;
  {
    Program program(ui);
    FakeDesktop desktop(DragSetting::kOff);
    DragSetting during = DragSetting::kOn;
    EXPECT_EQ(RunProgram(program, desktop, [&] { during = desktop.DragFullWindows(); }), 0);
    EXPECT_EQ(during, DragSetting::kOff);
    EXPECT_TRUE(desktop.writes.empty());
  }
  {
    Program program(ui);
    FakeDesktop desktop(DragSetting::kOn);
    DragSetting during = DragSetting::kOn;
    RunProgram(program, desktop, [&] { during = desktop.DragFullWindows(); });
    EXPECT_EQ(during, DragSetting::kOff);
    EXPECT_EQ(desktop.writes, (std::vector<DragSetting>{DragSetting::kOff, DragSetting::kOn}));
    EXPECT_EQ(desktop.DragFullWindows(), DragSetting::kOn);
  }
  {
    // A switch-off the desktop refuses is not "restored" afterwards.
    Program program(ui);
    FakeDesktop desktop(DragSetting::kOn, true);
    RunProgram(program, desktop, [] {});
    EXPECT_EQ(desktop.writes, (std::vector<DragSetting>{DragSetting::kOff}));
  }
  // The Linux desktop reports the setting off and does not change it.
  EXPECT_EQ(platform::SystemDesktop().DragFullWindows(), DragSetting::kOff);
}

TEST(RunProgramTest, EndsEveryWindowLeftRunning) {
  testing::ScriptedUi ui;
  Program program(ui);
  FakeDesktop desktop(platform::DragSetting::kOff);
  CountingWindow window;
  RunProgram(program, desktop, [&] {
    program.windows.Start(window.Procedure());
    program.windows.Start(window.Procedure());
  });
  EXPECT_EQ(window.ended, 2);
  EXPECT_EQ(program.windows.Running(), 0u);
  // A window started after the end is closed at once.
  program.windows.Start(window.Procedure());
  program.windows.JoinAll();
  EXPECT_EQ(window.ended, 3);
}

}  // namespace
}  // namespace verdan::app
