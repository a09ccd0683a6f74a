// Windows: the setting is the system parameter SPI_GETDRAGFULLWINDOWS, changed for the user
// (stored in the profile) with a broadcast so that running programs follow it.
#include <windows.h>

#include "platform/desktop.h"

namespace verdan::platform {
namespace {

class WindowsDesktop : public Desktop {
 public:
  DragSetting DragFullWindows() const override {
    BOOL on = FALSE;
    if (!::SystemParametersInfoW(SPI_GETDRAGFULLWINDOWS, 0, &on, 0)) return DragSetting::kOff;
    return on ? DragSetting::kOn : DragSetting::kOff;
  }
  bool SetDragFullWindows(DragSetting setting) override {
    UINT on = setting == DragSetting::kOn ? TRUE : FALSE;
    return ::SystemParametersInfoW(SPI_SETDRAGFULLWINDOWS, on, nullptr,
                                   SPIF_UPDATEINIFILE | SPIF_SENDCHANGE) != 0;
  }
};

}  // namespace

Desktop& SystemDesktop() {
  static WindowsDesktop desktop;
  return desktop;
}

}  // namespace verdan::platform
