// Archives as a user's other ZIP tools write and read them, for tests that hold the program's
// archives against another implementation. POSIX systems: zip and Python's zipfile run as
// child processes; Windows (where no such tool runs under the emulator): libzip inside the
// test process. Thread-safety: none needed, each call stands alone.
#pragma once

#include <string>
#include <vector>

namespace verdan::testing {

// The entry names of a ZIP archive, sorted and joined by spaces with a closing newline, once
// every entry's CRC has been checked; else a text saying why the archive was refused.
std::string ZipEntryNames(const std::string& archive);

// The bytes of the entry `name` of `archive` as the other reader extracts them (its CRC
// checked); a text beginning "refused" when it cannot.
std::string ZipEntryBytes(const std::string& archive, const std::string& name);

// Packs `files` (paths relative to `cwd`) into `archive` (relative to `cwd`) under their last
// name components, deflated, encrypted with the traditional ZIP password when `password` is
// not empty. True when the archive was written.
bool ZipWithTool(const std::string& cwd, const std::string& archive,
                 const std::vector<std::string>& files, const std::string& password = {});

}  // namespace verdan::testing
