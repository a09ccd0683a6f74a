// Windows: the console's input mode, without echo while input is hidden.
#include "platform/console.h"

#include <windows.h>

namespace verdan::platform {

bool StdinIsTerminal() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

HiddenInput::HiddenInput() {
  HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (!::GetConsoleMode(in, &mode)) return;
  if (!::SetConsoleMode(in, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT))) return;
  saved_ = mode;
  changed_ = true;
}

HiddenInput::~HiddenInput() {
  if (changed_) ::SetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), static_cast<DWORD>(saved_));
}

}  // namespace verdan::platform
