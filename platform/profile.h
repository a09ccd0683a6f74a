// Profile files (INI form): read or write one key of one section at a time.
//
// A file named without a directory lives in the current working directory. A missing file,
// section or key reads as the default; failures are not reported (a write returns false).
// Writes replace the file through a temporary name, so a reader never sees half a file.
// Something other than a regular file under the name (a FIFO, a device, a directory) is
// never read nor replaced: it reads as empty, writes fail, and the notice says so once per
// file and process. A file is read line by line, in time linear in its size and memory
// bounded by the longest line read: a line longer than `kMaxProfileLineBytes` holds no
// setting (no value is that long) and is skipped with a notice naming the file and line,
// while the other lines are read as usual. A file larger than `kMaxProfileFileBytes` is not
// rewritten (writes fail, with a notice). Calls are serialised within the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// <windows.h> names its own profile calls with these macros; the names here are this port's.
#undef GetProfileString
#undef WriteProfileString

namespace verdan::platform {

// The longest value read or written, in characters: the longest field kept in the file
// (the address and file lists of the e-mail settings).
inline constexpr std::size_t kMaxProfileValueChars = 1024;
// The longest line read: a key, "=" and the longest value at up to 4 bytes a character, with
// room for blanks around them.
inline constexpr std::size_t kMaxProfileLineBytes = 8192;
// The largest file rewritten.
inline constexpr std::uint64_t kMaxProfileFileBytes = 16u << 20;

// Section and key names compare without regard to ASCII letter case. Names are cut to 64
// characters, values to `kMaxProfileValueChars`.
std::string GetProfileString(const std::string& section, const std::string& key,
                             const std::string& defaultValue, const std::string& file);
bool WriteProfileString(const std::string& section, const std::string& key,
                        const std::string& value, const std::string& file);

// Told (with the file name and the text to show) when a profile file is not a regular file,
// holds a line too long to be read, or is too large to be rewritten; called on the calling
// thread outside the port's lock. Without one, a line goes to standard error.
using ProfileNotice = std::function<void(const std::string& file, const std::string& text)>;
void SetProfileNotice(ProfileNotice notice);
// The program's texts for those notices.
std::string ProfileNoticeText(const std::string& file);
std::string ProfileLongLineText(const std::string& file, std::size_t line);
std::string ProfileTooBigText(const std::string& file);
// Forgets which files were reported (for tests).
void ResetProfileNotices();

}  // namespace verdan::platform
