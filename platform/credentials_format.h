// The text of the credentials file, the same on every system: "key=value" lines, '#' comment
// lines, a value's backslash, CR and LF written "\\", "\r" and "\n". Used by the credentials
// port's realisations only.
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

// Each system's realisation, called under the port's lock: the secrets of `file` after checking
// that it can be trusted (true with `exists` false and none when there is no file; false with
// `problem` otherwise), and the file written anew whole, kept to its owner.
bool Load(const std::string& file, Secrets& secrets, bool& exists, std::string& problem);
bool Store(const std::string& file, const Secrets& secrets, std::string& problem);

// "Datoteka s tajnim podacima <file> <why>; iz nje se ništa ne čita niti se u nju piše."
std::string NotTrusted(const std::string& file, const std::string& why);

}  // namespace verdan::platform::credentials
