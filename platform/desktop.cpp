#include "platform/desktop.h"

namespace verdan::platform {
namespace {

// X11 and Wayland desktops keep this choice in the window manager, out of a program's
// reach: the setting reads as off and cannot be changed.
class LinuxDesktop : public Desktop {
 public:
  DragSetting DragFullWindows() const override { return DragSetting::kOff; }
  bool SetDragFullWindows(DragSetting) override { return false; }
};

}  // namespace

Desktop& SystemDesktop() {
  static LinuxDesktop desktop;
  return desktop;
}

}  // namespace verdan::platform
