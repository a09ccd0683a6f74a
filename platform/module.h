// Parts of the program kept in files of their own and loaded only when they are used (the
// windows, whose desktop libraries a machine without a screen need not have; the HTTPS client,
// whose libraries every start of the program would otherwise load).
//
// A module once loaded stays loaded until the process ends: its code may still run then (the
// destructors of its static objects). Thread-safety: every function may be called from any
// thread.
#pragma once

#include <string>

namespace verdan::platform {

// Loads the module at `path` with the libraries it needs and returns its handle; null with
// `problem` set to the system loader's own account (a missing library is named there) when
// it cannot be loaded.
void* LoadModule(const std::string& path, std::string& problem);

// The address of the entry `name` in a loaded module; null when it has none.
void* ModuleEntry(void* module, const char* name);

// The directory of the running program's own file (empty when the system does not tell).
std::string ProgramDirectory();

// The directory an installed program keeps its modules in (<prefix>/lib/verdan beside
// <prefix>/bin), and the path of the module `fileName`: beside the program (the build tree)
// or else in that directory; empty when it is in neither.
std::string InstalledModuleDirectory();
std::string FindModule(const std::string& fileName);

}  // namespace verdan::platform
