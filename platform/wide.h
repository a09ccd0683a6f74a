// Text at the Windows system interface: the program keeps UTF-8 everywhere, the system's
// wide-character calls take UTF-16. Conversions replace a malformed sequence with U+FFFD
// rather than fail, so a name the program built never turns into an empty one silently.
// Windows only. Thread-safe.
#pragma once
#ifdef _WIN32

#include <string>
#include <string_view>

namespace verdan::platform {

std::wstring WideFromUtf8(std::string_view utf8);
std::string Utf8FromWide(std::wstring_view wide);

// The system's own text for a Windows error code (GetLastError), in UTF-8 without the
// trailing full stop and line end; "pogreška <code>" when the system has none. A text that
// names what failed by a placeholder names `subject` there (left out when it is empty).
std::string SystemErrorText(unsigned long code, const std::string& subject = {});

// `arg` quoted for a command line, so that the C run-time's parser reads it back as it is.
std::wstring QuotedArgument(const std::wstring& arg);

}  // namespace verdan::platform

#endif
