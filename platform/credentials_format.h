// The text of the credentials file, the same on every system: "key=value" lines, '#' comment
// lines, a value's backslash, CR and LF written "\\", "\r" and "\n". Used by the credentials
// port's realisations only. Thread-safe (no state).
#pragma once

#include <map>
#include <string>

namespace verdan::platform::credentials {

using Secrets = std::map<std::string, std::string>;

// Keys are letters, digits, '.', '_' and '-'.
bool ValidKey(const std::string& key);

// The secrets of a file's text; lines without '=' are passed over. CR LF ends a line too.
Secrets Parse(const std::string& text);

// The whole file's text for `secrets`, with a heading comment that says what the file is and
// `rights`: how the file's access is kept to its owner on this system.
std::string Compose(const Secrets& secrets, const std::string& rights);

// "Datoteka s tajnim podacima <file> <why>; iz nje se ništa ne čita niti se u nju piše."
std::string NotTrusted(const std::string& file, const std::string& why);

}  // namespace verdan::platform::credentials
