// Profile files (INI form): read or write one key of one section at a time.
//
// A file named without a directory lives in the current working directory. A missing file,
// section or key reads as the default; failures are not reported (a write returns false).
// Writes replace the file through a temporary name, so a reader never sees half a file.
// Calls are serialised within the process.
#pragma once

#include <string>

namespace verdan::platform {

// Section and key names compare without regard to ASCII letter case. Names are cut to 64
// characters, values to 1024.
std::string GetProfileString(const std::string& section, const std::string& key,
                             const std::string& defaultValue, const std::string& file);
bool WriteProfileString(const std::string& section, const std::string& key,
                        const std::string& value, const std::string& file);

}  // namespace verdan::platform
