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

}  // namespace verdan::platform

#endif
