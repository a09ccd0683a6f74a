// The program's windows as a module of their own, loaded by `verdan` when it is started
// without a command (cli/windows.h). It holds its own copy of the program's code below the
// windows, so it sets up for itself what the windows need: the time zone, the socket layer
// with the command line's trace switches, and the removal of temporary files on a
// termination signal.
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "zip/temporaries.h"
#include "cli/commands.h"
#include "cli/windows.h"
#include "gui/gui.h"
#include "net/socket_layer.h"
#include "platform/clock.h"

// The one name the module shows the program's loader: an export of the DLL on Windows, the
// one visible symbol elsewhere.
#ifdef _WIN32
#define VERDAN_MODULE_ENTRY extern "C" __declspec(dllexport)
#else
#define VERDAN_MODULE_ENTRY extern "C" __attribute__((visibility("default")))
#endif

VERDAN_MODULE_ENTRY int verdan_windows_main(const char* version, int argc, char** argv,
                                            int definitions) {
  // The two halves are built together; a module left from another version is not entered.
  if (!version || std::strcmp(version, verdan::cli::kVersionText) != 0) {
    std::fprintf(stderr, "verdan: modul prozora je inačice %s, a program %s.\n",
                 verdan::cli::kVersionText, version ? version : "?");
    return verdan::cli::kExitUsage;
  }
  verdan::platform::SettleTimeZone();
  verdan::net::NetProgramScope network(argc, argv);  // socket start-up, trace switches, shutdown
  if (!verdan::archive::RemoveTemporariesOnTermination())
    std::fputs(verdan::cli::kNoCleanupWarning, stderr);
  std::vector<std::string> rest;
  if (definitions) rest.push_back("--definitions");
  return verdan::gui::Run(argc, argv, rest);
}

static_assert(std::is_same_v<decltype(&verdan_windows_main), verdan::cli::WindowsEntry>);
