#include "platform/console.h"

#include <termios.h>
#include <unistd.h>

namespace verdan::platform {

void PrepareConsole() {}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>{};
}

bool StdinIsTerminal() { return ::isatty(0) == 1; }

HiddenInput::HiddenInput() {
  if (!StdinIsTerminal()) return;
  auto* saved = new termios{};
  if (::tcgetattr(0, saved) != 0) {
    delete saved;
    return;
  }
  termios quiet = *saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  ::tcsetattr(0, TCSAFLUSH, &quiet);
  savedTerminal_ = saved;
  changed_ = true;
}

HiddenInput::~HiddenInput() {
  if (!changed_) return;
  auto* saved = static_cast<termios*>(savedTerminal_);
  ::tcsetattr(0, TCSAFLUSH, saved);
  delete saved;
}

}  // namespace verdan::platform
