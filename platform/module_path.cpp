// Where a module is looked for, alike on every system.
#include <filesystem>

#include "platform/files.h"
#include "platform/module.h"

#ifndef VERDAN_MODULE_DIR
#define VERDAN_MODULE_DIR "../lib/verdan"
#endif

namespace verdan::platform {

std::string InstalledModuleDirectory() {
  const std::string here = ProgramDirectory();
  if (here.empty()) return {};
  return std::filesystem::path(here + "/" + VERDAN_MODULE_DIR).lexically_normal().string();
}

std::string FindModule(const std::string& fileName) {
  for (const std::string& dir : {ProgramDirectory(), InstalledModuleDirectory()}) {
    const std::string candidate = dir + "/" + fileName;
    if (!dir.empty() && Exists(candidate)) return candidate;
  }
  return {};
}

}  // namespace verdan::platform
