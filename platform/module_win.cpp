// Modules on Windows are DLLs: loaded by their wide name, the libraries they need looked for
// beside the module first, then in the system's folders (never in the working directory).
#include <windows.h>

#include "platform/module.h"
#include "platform/wide.h"

namespace verdan::platform {

void* LoadModule(const std::string& path, std::string& problem) {
  HMODULE module =
      ::LoadLibraryExW(WideFromUtf8(path).c_str(), nullptr,
                       LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
  if (!module) {
    // The path leads; a system text that names the module itself names it by its file name.
    const std::size_t slash = path.find_last_of("/\\");
    problem = path + ": " +
              SystemErrorText(::GetLastError(),
                              slash == std::string::npos ? path : path.substr(slash + 1));
  }
  return reinterpret_cast<void*>(module);
}

void* ModuleEntry(void* module, const char* name) {
  return module ? reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(module), name))
                : nullptr;
}

std::string ProgramDirectory() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) {
      buffer.resize(n);
      break;
    }
    if (buffer.size() >= 32768) return {};
    buffer.resize(buffer.size() * 2);
  }
  const std::size_t slash = buffer.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return {};
  // "C:\" keeps its separator: "C:" alone would mean that drive's working directory.
  return Utf8FromWide(buffer.substr(0, slash == 2 && buffer[1] == L':' ? 3 : slash));
}

}  // namespace verdan::platform
