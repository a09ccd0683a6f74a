// Windows: the console's input mode, without echo while input is hidden.
// clang-format off
#include <windows.h>
#include <shellapi.h>  // needs <windows.h> first
// clang-format on

#include "platform/console.h"
#include "platform/wide.h"

namespace verdan::platform {

void PrepareConsole() {
  ::SetConsoleOutputCP(CP_UTF8);
  ::SetConsoleCP(CP_UTF8);
}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  std::vector<std::string> args;
  int count = 0;
  if (LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count)) {
    for (int i = 1; i < count; ++i) args.push_back(Utf8FromWide(wide[i]));
    ::LocalFree(wide);
    return args;
  }
  if (argc > 1) args.assign(argv + 1, argv + argc);
  return args;
}

bool StdinIsTerminal() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

struct HiddenInput::Saved {
  DWORD mode = 0;
};

HiddenInput::HiddenInput() {
  HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (!::GetConsoleMode(in, &mode)) return;
  if (!::SetConsoleMode(in, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT))) return;
  saved_ = std::make_unique<Saved>();
  saved_->mode = mode;
}

HiddenInput::~HiddenInput() {
  if (saved_) ::SetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), saved_->mode);
}

}  // namespace verdan::platform
