#include "platform/console.h"

#include <termios.h>
#include <unistd.h>

namespace verdan::platform {

void PrepareConsole() {}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>{};
}

bool StdinIsTerminal() { return ::isatty(0) == 1; }

struct HiddenInput::Saved {
  termios settings{};
};

HiddenInput::HiddenInput() {
  if (!StdinIsTerminal()) return;
  auto saved = std::make_unique<Saved>();
  if (::tcgetattr(0, &saved->settings) != 0) return;
  termios quiet = saved->settings;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  if (::tcsetattr(0, TCSAFLUSH, &quiet) == 0) saved_ = std::move(saved);
}

HiddenInput::~HiddenInput() {
  if (saved_) ::tcsetattr(0, TCSAFLUSH, &saved_->settings);
}

}  // namespace verdan::platform
