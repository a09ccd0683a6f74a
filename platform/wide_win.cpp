#include <windows.h>

#include "platform/wide.h"

namespace verdan::platform {

std::wstring WideFromUtf8(std::string_view utf8) {
  if (utf8.empty()) return {};
  int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string Utf8FromWide(std::wstring_view wide) {
  if (wide.empty()) return {};
  int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                        nullptr, nullptr);
  return out;
}

std::string SystemErrorText(unsigned long code, const std::string& subject) {
  wchar_t* buffer = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  const std::string raw = n > 0 ? Utf8FromWide(std::wstring_view(buffer, n)) : std::string();
  if (buffer) ::LocalFree(buffer);
  // Some texts name what failed by an insert ("%1 is not a valid application"); the call
  // leaves them in, so each becomes the subject, or goes with the blank before it when there
  // is none. "%%" is a per cent sign.
  std::string text;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '%' || i + 1 == raw.size()) {
      text += raw[i];
    } else if (raw[i + 1] == '%') {
      text += '%';
      ++i;
    } else if (raw[i + 1] >= '1' && raw[i + 1] <= '9') {
      ++i;
      while (i + 1 < raw.size() && raw[i + 1] >= '0' && raw[i + 1] <= '9') ++i;
      if (i + 1 < raw.size() && raw[i + 1] == '!') {  // a printf form: %1!s!
        const std::size_t end = raw.find('!', i + 2);
        if (end != std::string::npos) i = end;
      }
      if (!subject.empty())
        text += subject;
      else if (!text.empty() && text.back() == ' ')
        text.pop_back();
    } else {
      text += raw[i];
    }
  }
  while (!text.empty() && text.front() == ' ') text.erase(0, 1);
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
    text.pop_back();
  return text.empty() ? "pogreška " + std::to_string(code) : text;
}

// One argument as the C run-time's parser of a command line reads it back.
std::wstring QuotedArgument(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  for (std::size_t i = 0;; ++i) {
    std::size_t slashes = 0;
    while (i < arg.size() && arg[i] == L'\\') {
      ++slashes;
      ++i;
    }
    if (i == arg.size()) {
      out.append(slashes * 2, L'\\');
      break;
    }
    if (arg[i] == L'"')
      out.append(slashes * 2 + 1, L'\\');
    else
      out.append(slashes, L'\\');
    out += arg[i];
  }
  return out + L"\"";
}

}  // namespace verdan::platform
