// The password the office encrypts its archives under (AES-256), kept in the credentials file
// beside the tables (platform/credentials.h) under `kArchivePasswordSecret`: never in a table,
// which travels inside every archive, and never on a command line. No password set (or an
// empty one) means archives are written unencrypted.
//
// Only the contents of the archive's entries are encrypted; its directory (the names, sizes
// and dates of the files) stays readable, so that a restore can say what it will replace.
//
// Thread-safety: the functions keep no state; the credentials file serialises its callers.
#pragma once

#include <string>

namespace verdan::app {

// Reads the stored archive password. True when the credentials file could be trusted (a
// missing file holds no password): `password` is the stored one, empty when none is set.
// False with `problem` saying why the file is refused; `password` is then empty.
bool LoadArchivePassword(std::string& password, std::string& problem);

// Stores `password` (empty: archives are no longer encrypted). False, with `problem` set and
// the stored password as it was, when the credentials file cannot be trusted or written.
bool StoreArchivePassword(const std::string& password, std::string& problem);

// What a run says when the password cannot be read: nothing is written unencrypted in its
// place. Followed by the credentials file's problem.
inline constexpr const char* kArchivePasswordUnreadableText =
    "Zaporka arhive ne može se pročitati, arhiva nije zapisana (bez zaporke se ne arhivira):|";

// The line a sent backup's message says when archives are encrypted.
inline constexpr const char* kEncryptedArchiveMailText =
    "Arhiva je šifrirana (AES-256); za raspakiranje treba zaporka arhive koju je postavio ured.";

}  // namespace verdan::app
