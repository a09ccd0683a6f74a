// The desktop: whether there is one to open windows on, and its "show window contents while
// dragging" setting.
//
// The program switches this setting off while it runs (its windows redraw slowly while
// dragged) and restores it at exit. On Linux the desktop offers no such switch to
// programs, so the system realisation reports it off and the program leaves it alone;
// tests exercise the switch-off and restore with a fake. Realisations are thread-safe.
#pragma once

namespace verdan::platform {

enum class DragSetting { kOff, kOn };

class Desktop {
 public:
  virtual ~Desktop() = default;
  // The setting as it is now.
  virtual DragSetting DragFullWindows() const = 0;
  // Changes the setting for the user and tells running programs; false when it could not.
  virtual bool SetDragFullWindows(DragSetting setting) = 0;
};

// The desktop of the system the program runs on.
Desktop& SystemDesktop();

// True when a display is there to open windows on: an X server that accepts a connection,
// a Wayland socket, or a window-system platform chosen explicitly (QT_QPA_PLATFORM). Needs
// no desktop library, so that the program can say "no display" before it loads its windows.
bool DisplayAvailable();

}  // namespace verdan::platform
