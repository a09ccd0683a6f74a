#include "app/frame.h"

#include <cstdio>
#include <string_view>

#include "app/archive_definitions.h"
#include "app/tables.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace verdan::app {
namespace {

constexpr const char* kEnglishMonths[12] = {"January",   "February", "March",    "April",
                                            "May",       "June",     "July",     "August",
                                            "September", "October",  "November", "December"};

struct ButtonDefinition {
  const char* caption;
  const char* tip;
};

constexpr ButtonDefinition kButtons[kFrameButtons] = {
    {"&Arhiviranje / backup", ""},
    {"E-mail", "Pošalji arhivu e-mailom ..."},
    {"Opcije", ""},
    {"E-mail postavke", "Pošalji arhivu e-mailom ..."},
    {"&KRAJ", ""},
};

}  // namespace

std::string StatusDateLine(std::int64_t dayCount) {
  std::int64_t weekday = dayCount % 7;
  if (weekday < 0) weekday += 7;
  std::string_view table(kEnglishWeekdays);
  std::string line(platform::TrimRight(table.substr(static_cast<std::size_t>(weekday) * 9, 9)));
  platform::CivilDate date = platform::DateFromDayCount(dayCount);
  char buf[64];
  std::snprintf(buf, sizeof buf, ", %s %d, %04d", kEnglishMonths[(date.month + 11) % 12], date.day,
                date.year);
  return line + buf;
}

std::string StatusTimeLine(std::int32_t hundredths) {
  std::int32_t minutes = (hundredths % platform::kHundredthsPerDay) / 6000;
  if (minutes < 0) minutes += 24 * 60;
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d:%02d", minutes / 60, minutes % 60);
  return buf;
}

std::int32_t FrameTimerInterval(std::int32_t requested) {
  return requested >= 1 && requested <= 100 ? requested : 100;
}

FrameWindow::FrameWindow(Program& program, FrameTargets targets, std::int32_t timerInterval)
    : program_(program), targets_(std::move(targets)), requestedInterval_(timerInterval) {
  const platform::WindowThreads::Procedure* procs[kFrameButtons] = {
      &targets_.archive, &targets_.email, &targets_.options, &targets_.emailSettings, nullptr};
  for (int i = 0; i < kFrameButtons; ++i) {
    state_.buttons[i].caption = kButtons[i].caption;
    state_.buttons[i].tip = kButtons[i].tip;
    state_.buttons[i].enabled = procs[i] == nullptr || static_cast<bool>(*procs[i]);
  }
}

void FrameWindow::SetListener(std::function<void()> listener) { listener_ = std::move(listener); }

FrameState FrameWindow::Snapshot() const {
  std::lock_guard lock(mutex_);
  return state_;
}

platform::ThreadId FrameWindow::Thread() const {
  std::lock_guard lock(mutex_);
  return thread_;
}

bool FrameWindow::Press(FrameButton button) const {
  platform::ThreadId id = Thread();
  return id != 0 && platform::PostToThread(
                        id, platform::Event{kEventFrameAccept, static_cast<std::uint64_t>(button)});
}

bool FrameWindow::RequestClose() const {
  platform::ThreadId id = Thread();
  return id != 0 && platform::PostToThread(id, platform::Event{platform::kEventClose});
}

void FrameWindow::Publish() {
  if (listener_) listener_();
}

void FrameWindow::UpdateClock() {
  platform::Clock& clock = platform::GetClock();
  std::string date = StatusDateLine(clock.Today());
  std::string time = StatusTimeLine(clock.TimeOfDay());
  {
    std::lock_guard lock(mutex_);
    if (state_.zones[2] == date && state_.zones[3] == time) return;
    state_.zones[2] = std::move(date);
    state_.zones[3] = std::move(time);
  }
  Publish();
}

void FrameWindow::Start(const platform::WindowThreads::Procedure& target) {
  // The frame goes on at once; each press starts an independent copy of the window.
  if (target) program_.windows.Start(target);
}

void FrameWindow::Run(platform::EventQueue& queue) {
  {
    std::lock_guard lock(mutex_);
    thread_ = queue.Id();
  }
  program_.archivePassword = kBuiltInArchivePassword;
  // Remember the directory the program was started in; returning to it normalises it.
  program_.StartDirectory = platform::CurrentDirectory();
  platform::ChangeDirectory(program_.StartDirectory);

  bool holdsEmail = false;
  if (program_.email.ReferenceCount == 0) {
    if (OpenTable(program_, program_.email)) {
      holdsEmail = true;
    }
  } else {
    holdsEmail = true;
  }
  if (holdsEmail && !program_.Ended()) {
    ++program_.email.ReferenceCount;
    LoadEmailSettings(program_);
    // An insert of a definition whose program was killed left its pre-added record.
    RemoveAbandonedInserts(program_);
  } else {
    holdsEmail = false;
  }

  if (!program_.Ended()) {
    if (targets_.splash) program_.windows.Start(targets_.splash);
    std::int32_t interval = FrameTimerInterval(requestedInterval_);
    platform::Clock& clock = platform::GetClock();
    {
      std::lock_guard lock(mutex_);
      state_.zones[0] = kFrameNotice;
      state_.zones[2] = StatusDateLine(clock.Today());
      state_.zones[3] = StatusTimeLine(clock.TimeOfDay());
      state_.timerInterval = interval;
      state_.open = true;
    }
    queue.SetTimer(interval);
    Publish();

    for (;;) {
      platform::Event e = queue.Wait();
      if (e.code == platform::kEventClose) break;
      if (e.code == platform::kEventTimer) {
        // A table error in any window ends the program: the frame closes with it.
        if (program_.Ended()) break;
        UpdateClock();
        continue;
      }
      if (e.code == kEventFrameAccept) {
        switch (static_cast<FrameButton>(e.wparam)) {
          case FrameButton::kArchive:
            Start(targets_.archive);
            break;
          case FrameButton::kEmail:
            Start(targets_.email);
            break;
          case FrameButton::kOptions:
            Start(targets_.options);
            break;
          case FrameButton::kEmailSettings:
            Start(targets_.emailSettings);
            break;
          case FrameButton::kEnd:
            queue.Close();
            break;
        }
      }
    }
    queue.SetTimer(0);
  }

  if (holdsEmail && --program_.email.ReferenceCount == 0) CloseTable(program_.email);
  // Closing the frame closes every child window.
  program_.windows.Shut();
  {
    std::lock_guard lock(mutex_);
    state_.closed = true;
    thread_ = 0;
  }
  Publish();
}

}  // namespace verdan::app
