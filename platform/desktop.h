// The desktop's "show window contents while dragging" setting.
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

// True when a display server of this machine answers on display `number` (":0" is 0): a
// connection to its local socket is accepted. Thread-safe.
bool LocalDisplayServerAnswers(int number);

}  // namespace verdan::platform
