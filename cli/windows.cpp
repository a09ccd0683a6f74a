#include "cli/windows.h"

#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "platform/desktop.h"
#include "platform/module.h"

namespace verdan::cli {
namespace {

#ifdef _WIN32
constexpr const char* kWindowsLibraries = "Qt 6";
#else
constexpr const char* kWindowsLibraries = "Qt 6, X11, OpenGL";
#endif

constexpr const char* kCommandsStillWork =
    "verdan: bez prozora rade naredbe, npr. 'verdan backup dest' (verdan --help).\n";

}  // namespace

int OpenWindows(int argc, char** argv, bool definitions) {
  if (!platform::DisplayAvailable()) {
    std::fprintf(stderr,
                 "verdan: nema zaslona za prozore (DISPLAY nije postavljen ili se X poslužitelj "
                 "ne javlja).\n%s",
                 kCommandsStillWork);
    return kExitUsage;
  }
  const std::string installed = platform::InstalledModuleDirectory();
  const std::string path = platform::FindModule(kWindowsModuleName);
  if (path.empty()) {
    std::fprintf(stderr,
                 "verdan: prozori nisu instalirani (nema modula %s ni uz program ni u %s).\n%s",
                 kWindowsModuleName, installed.c_str(), kCommandsStillWork);
    return kExitUsage;
  }
  std::string problem;
  void* module = platform::LoadModule(path, problem);
  if (!module) {
    std::fprintf(stderr,
                 "verdan: prozori se ne mogu otvoriti: nedostaju biblioteke za prozore (%s) ili "
                 "je modul %s oštećen.\nverdan: %s\n%s",
                 kWindowsLibraries, path.c_str(), problem.c_str(), kCommandsStillWork);
    return kExitUsage;
  }
  auto entry = reinterpret_cast<WindowsEntry>(platform::ModuleEntry(module, kWindowsEntryName));
  if (!entry) {
    std::fprintf(stderr, "verdan: %s nije modul prozora ovog programa.\n%s", path.c_str(),
                 kCommandsStillWork);
    return kExitUsage;
  }
  return entry(kVersionText, argc, argv, definitions ? 1 : 0);
}

}  // namespace verdan::cli
