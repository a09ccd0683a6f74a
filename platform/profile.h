// Profile files (INI form): read or write one key of one section at a time.
//
// A file named without a directory lives in the current working directory. A missing file,
// section or key reads as the default; failures are not reported (a write returns false).
// Writes replace the file through a temporary name, so a reader never sees half a file.
// Something other than a regular file under the name (a FIFO, a device, a directory) is
// never read nor replaced: it reads as empty, writes fail, and the notice says so once per
// file and process. Calls are serialised within the process.
#pragma once

#include <functional>
#include <string>

// <windows.h> names its own profile calls with these macros; the names here are this port's.
#undef GetProfileString
#undef WriteProfileString

namespace verdan::platform {

// Section and key names compare without regard to ASCII letter case. Names are cut to 64
// characters, values to 1024.
std::string GetProfileString(const std::string& section, const std::string& key,
                             const std::string& defaultValue, const std::string& file);
bool WriteProfileString(const std::string& section, const std::string& key,
                        const std::string& value, const std::string& file);

// Told (with the file name) when a profile file is not a regular file; called on the
// calling thread outside the port's lock. Without one, a line goes to standard error.
using ProfileNotice = std::function<void(const std::string& file)>;
void SetProfileNotice(ProfileNotice notice);
// The program's text for that notice.
std::string ProfileNoticeText(const std::string& file);
// Forgets which files were reported (for tests).
void ResetProfileNotices();

}  // namespace verdan::platform
