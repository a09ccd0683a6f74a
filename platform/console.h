// The console the commands run in: its text encoding, the program's arguments as UTF-8,
// whether standard input is a terminal, and reading a line there without showing what is
// typed (a password).
//
// Thread-safety: meant for the command's main thread; the console is process-wide.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace verdan::platform {

// Makes the console take and show the program's UTF-8 texts (on Windows its code pages
// become UTF-8 for the run; elsewhere the terminal already is).
void PrepareConsole();

// The program's arguments after its name, in UTF-8. On Windows they are read again from the
// wide-character command line: `argv` there holds them in the ANSI code page, which cannot
// hold every name a user types.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

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
  struct Saved;  // the terminal's mode as it was, kept as each system describes it
  std::unique_ptr<Saved> saved_;
};

}  // namespace verdan::platform
