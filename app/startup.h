// Process start and end around the main frame.
//
// In order: the desktop's drag setting is switched off when it is on, the main frame runs
// until it closes, every window thread is closed and joined, and the drag setting is
// switched back on if it was switched off. A failure to change the setting is ignored.
//
// Thread-safety: runs on the process's main thread; the frame's own thread and the windows
// it starts live inside `runFrame`.
#pragma once

#include <functional>

#include "app/program.h"
#include "platform/desktop.h"

namespace verdan::app {

// Exit status of a run that a table error ended (the end text was shown in a box).
inline constexpr int kExitEndedByTable = 3;

// Switches the drag setting off for its lifetime when it is on, and back on afterwards.
// A setting that is off is neither read back nor written.
class DragSettingGuard {
 public:
  explicit DragSettingGuard(platform::Desktop& desktop);
  ~DragSettingGuard();
  DragSettingGuard(const DragSettingGuard&) = delete;
  DragSettingGuard& operator=(const DragSettingGuard&) = delete;

  // The setting as found at start.
  platform::DragSetting Found() const { return found_; }

 private:
  platform::Desktop& desktop_;
  platform::DragSetting found_ = platform::DragSetting::kOff;
  bool switchedOff_ = false;
};

// Runs the program: `runFrame` runs the main frame and returns when it has closed. Every
// window thread still running is then closed and joined. Returns 0, or kExitEndedByTable
// when a table error ended the program.
int RunProgram(Program& program, platform::Desktop& desktop, const std::function<void()>& runFrame);

}  // namespace verdan::app
