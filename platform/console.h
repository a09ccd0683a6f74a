// The console the commands run in: whether standard input is a terminal, and reading a line
// there without showing what is typed (a password).
//
// Thread-safety: meant for the command's main thread; the console is process-wide.
#pragma once

namespace verdan::platform {

// True when standard input is a terminal (a console on Windows).
bool StdinIsTerminal();

// While it lives, what is typed on the terminal at standard input is not shown; the
// terminal's earlier mode comes back when it ends. Does nothing when standard input is no
// terminal.
class HiddenInput {
 public:
  HiddenInput();
  ~HiddenInput();
  HiddenInput(const HiddenInput&) = delete;
  HiddenInput& operator=(const HiddenInput&) = delete;

 private:
  bool changed_ = false;
  unsigned long saved_ = 0;  // the Windows console mode
  void* savedTerminal_ = nullptr;  // the POSIX terminal settings
};

}  // namespace verdan::platform
