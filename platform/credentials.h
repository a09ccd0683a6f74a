// The credentials file: the program's secrets (the SMTP password, and whatever further
// secret a later feature needs: sign-in tokens, an archive password) kept apart from the
// tables, which travel inside every archive.
//
// The file holds "key=value" lines, one secret each ('#' begins a comment line); in a value
// a backslash, CR and LF are written "\\", "\r" and "\n", everything else as it is. It is
// readable by the program's user only: it is created with mode 0600 (on Windows: owned by the
// running user, with an access list of its own that grants that user alone) under a temporary
// name beside it, written, synced and renamed into place (the directory synced too), so a
// reader never sees half a file and no moment exists at which others could read it. A file
// that others may read or change, that belongs to another user, or that is not a regular file
// (a symbolic link included) is neither read nor replaced: the functions refuse it with a text
// that says why and what to do.
//
// A file named without a directory lives in the current working directory.
//
// Thread-safety: calls are serialised within the process; a change is a read, modify and
// replace of the whole file under that lock.
#pragma once

#include <string>

namespace verdan::platform {

// The name of the program's credentials file, beside its tables in the working directory.
inline constexpr const char* kCredentialsFile = "verdan.credentials";

// Reads secret `key`. True when the file could be trusted: `found` tells whether it holds
// the key (a missing file holds none) and `value` is its value (empty when not found). False
// when the file cannot be trusted or read: `value` is empty and `problem` says why.
bool ReadSecret(const std::string& file, const std::string& key, std::string& value, bool& found,
                std::string& problem);

// Sets secret `key` to `value` (an empty value is kept as such) and keeps the others. False,
// with `problem` set and the file as it was, when the existing file cannot be trusted or the
// new one cannot be written. Keys are letters, digits, '.', '_' and '-'.
bool WriteSecret(const std::string& file, const std::string& key, const std::string& value,
                 std::string& problem);

}  // namespace verdan::platform
