// Opening the program's windows from the command-line program. The windows live in a module
// of their own (verdan-gui.so; verdan-gui.dll on Windows), the only part of the program that needs
// the desktop's libraries (Qt, X11, OpenGL): the commands run where those are not installed, and
// the module is loaded only when `verdan` is started without a command. It is looked for beside the
// program (the build tree) and then in the program's library directory
// (<prefix>/lib/verdan beside <prefix>/bin).
//
// Call on the main thread, once.
#pragma once

namespace verdan::cli {

#ifdef _WIN32
constexpr const char* kWindowsModuleName = "verdan-gui.dll";  // with Qt's DLLs beside it
#else
constexpr const char* kWindowsModuleName = "verdan-gui.so";
#endif
constexpr const char* kWindowsEntryName = "verdan_windows_main";

// The module's entry. It refuses (status 2, with a message) a program of another version;
// else it starts what the windows need (the socket layer among them), runs them on the
// calling thread and returns the exit status. `definitions`: non-zero to open the
// archive-definition list too.
using WindowsEntry = int (*)(const char* version, int argc, char** argv, int definitions);

// Opens the windows in the current directory and returns the exit status when they have
// closed: 0, or 3 when a table error ended the program. Without a display, or when the
// module is not installed or its libraries are missing, it says so on standard error and
// returns 2 without creating anything.
int OpenWindows(int argc, char** argv, bool definitions);

}  // namespace verdan::cli
