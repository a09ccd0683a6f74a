#include "platform/module.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

namespace verdan::platform {

void* LoadModule(const std::string& path, std::string& problem) {
  // Local binding: the module keeps its own copies of the program's code and state, so
  // that nothing it defines is mixed with the loading program's.
  void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    const char* why = ::dlerror();
    problem = why ? why : path;
  }
  return module;
}

void* ModuleEntry(void* module, const char* name) {
  return module ? ::dlsym(module, name) : nullptr;
}

std::string ProgramDirectory() {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  std::string path(buffer, static_cast<std::size_t>(n));
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash == 0 ? 1 : slash);
}

}  // namespace verdan::platform
