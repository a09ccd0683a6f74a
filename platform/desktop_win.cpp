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

// A service or a scheduled task run without a signed-in user has a window station of its own
// that no one sees: there is no display then.
bool DisplayAvailable() {
  HWINSTA station = ::GetProcessWindowStation();
  USEROBJECTFLAGS flags{};
  if (station == nullptr ||
      !::GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr))
    return true;  // not told: the windows' own start says what is wrong
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

}  // namespace verdan::platform
