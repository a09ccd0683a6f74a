// Text helpers for the program's fixed-length fields.
//
// Text lives in memory as UTF-8. A field declared with n characters holds at most n
// characters of code page 1250, blank-padded; fields compare without trailing blanks, and
// case-insensitive keys compare after upper-casing by that code page. All functions are pure
// and thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace verdan::platform {

// The text without trailing blanks (spaces only, as the fields are padded with spaces).
std::string_view TrimRight(std::string_view text);
std::string TrimRightCopy(std::string_view text);

// True when the text is empty or holds only blanks.
bool IsBlank(std::string_view text);

// Number of characters (code points) of a UTF-8 text.
std::size_t CharCount(std::string_view utf8);

// The first `chars` characters of the text (never splits a character).
std::string CutChars(std::string_view utf8, std::size_t chars);

// The text cut or blank-padded to exactly `chars` characters: the value a field of that
// length holds after an assignment.
std::string FitField(std::string_view utf8, std::size_t chars);

// Upper case as code page 1250 does it: ASCII letters and the Central European letters of
// that code page (č→Č, š→Š, ž→Ž, đ→Đ, ć→Ć, ...). Other characters are unchanged.
std::string UpperCp1250(std::string_view utf8);

// Case-insensitive comparison by code page 1250 upper case, trailing blanks ignored.
bool EqualNoCase(std::string_view a, std::string_view b);

// Conversions between UTF-8 and code page 1250 bytes. Characters that code page 1250 cannot
// hold become '?'.
std::string Utf8ToCp1250(std::string_view utf8);
std::string Cp1250ToUtf8(std::string_view cp1250);

}  // namespace verdan::platform
