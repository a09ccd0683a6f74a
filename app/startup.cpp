#include "app/startup.h"

namespace verdan::app {

DragSettingGuard::DragSettingGuard(platform::Desktop& desktop) : desktop_(desktop) {
  found_ = desktop_.DragFullWindows();
  if (found_ == platform::DragSetting::kOn)
    switchedOff_ = desktop_.SetDragFullWindows(platform::DragSetting::kOff);
}

DragSettingGuard::~DragSettingGuard() {
  if (switchedOff_) desktop_.SetDragFullWindows(platform::DragSetting::kOn);
}

int RunProgram(Program& program, platform::Desktop& desktop,
               const std::function<void()>& runFrame) {
  {
    DragSettingGuard drag(desktop);
    runFrame();
    // Closing the frame closes every child window; their threads end before the process.
    program.windows.Shut();
    program.windows.JoinAll();
  }
  return program.Ended() ? kExitEndedByTable : 0;
}

}  // namespace verdan::app
