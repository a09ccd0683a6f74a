// The main frame: the parent window of every other window. It offers five command
// buttons, keeps a clock in its status bar, holds the e-mail table open for its whole life,
// loads the e-mail settings and shows the start-up splash.
//
// `FrameWindow::Run` is the frame's procedure and runs on the frame's own window thread.
// The view (drawn elsewhere) reads `Snapshot()` after each change announced through the
// listener, and forwards a button's accept or the window's close as events to the frame's
// thread (`Press`, `RequestClose`). Snapshot, Press and RequestClose are thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "app/program.h"
#include "platform/event_loop.h"

namespace verdan::app {

inline constexpr const char* kFrameCaption = "  VERDAN_pro 3.8.4";
inline constexpr const char* kFrameNotice =
    "VERDAN pro  © 2006 VERDAN Software d.o.o.  Sva prava pridržana.";
// The built-in archive password handed to the unzip side before every extraction.
inline constexpr const char* kBuiltInArchivePassword = "381";

// Seven English weekday names, Sunday first, each padded to nine characters.
inline constexpr const char* kEnglishWeekdays =
    "Sunday   Monday   Tuesday  WednesdayThursday Friday   Saturday ";

// Status zone 3: "Thursday, December 8, 2026" for the given day count.
std::string StatusDateLine(std::int64_t dayCount);
// Status zone 4: the time as "HH:MM" on the 24-hour clock.
std::string StatusTimeLine(std::int32_t hundredths);
// The frame's timer interval: anything outside 1..100 hundredths becomes 100.
std::int32_t FrameTimerInterval(std::int32_t requested);

enum class FrameButton : int { kArchive = 0, kEmail, kOptions, kEmailSettings, kEnd };
inline constexpr int kFrameButtons = 5;

// Event posted to the frame's thread when a button is accepted; wparam is the FrameButton.
inline constexpr std::int32_t kEventFrameAccept = platform::kEventUser + 10;

// The windows the frame starts, each a window procedure to run on a new thread. A target
// left empty is a window not offered yet: its button is disabled.
struct FrameTargets {
  platform::WindowThreads::Procedure archive;        // "&Arhiviranje / backup"
  platform::WindowThreads::Procedure email;          // "E-mail"
  platform::WindowThreads::Procedure options;        // "Opcije"
  platform::WindowThreads::Procedure emailSettings;  // "E-mail postavke"
  platform::WindowThreads::Procedure splash;         // shown once at initialisation
};

struct FrameButtonState {
  std::string caption;
  std::string tip;  // empty: no tip
  bool enabled = false;
};

struct FrameState {
  std::string caption = kFrameCaption;
  // Status zones 1 to 4 (index 0 is zone 1).
  std::array<std::string, 4> zones;
  std::array<FrameButtonState, kFrameButtons> buttons;
  bool open = false;    // the procedure has initialised the window
  bool closed = false;  // the procedure has ended
  std::int32_t timerInterval = 0;
};

class FrameWindow {
 public:
  // `timerInterval` is the frame's status timer in hundredths (corrected to 1..100).
  FrameWindow(Program& program, FrameTargets targets, std::int32_t timerInterval = 100);

  // Called on the frame's thread after every change of the state; set before Run.
  void SetListener(std::function<void()> listener);

  // The frame procedure: initialisation, event loop, and end. Returns when the frame
  // closes ("&KRAJ", a close request, or the program ended by a table error). Closes every
  // other window before it returns.
  void Run(platform::EventQueue& queue);

  FrameState Snapshot() const;
  // The frame's thread, 0 before Run and after it ends.
  platform::ThreadId Thread() const;

  // Forward input from the view; false when the frame is not running.
  bool Press(FrameButton button) const;
  bool RequestClose() const;

 private:
  void Publish();
  void UpdateClock();
  void Start(const platform::WindowThreads::Procedure& target);

  Program& program_;
  FrameTargets targets_;
  std::int32_t requestedInterval_;
  std::function<void()> listener_;
  mutable std::mutex mutex_;
  FrameState state_;
  platform::ThreadId thread_ = 0;
};

}  // namespace verdan::app
