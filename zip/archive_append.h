// Joining two archives without touching their entries' data: the entries of a freshly written
// archive are put after the entries of another, their local headers and data copied byte for
// byte and their directory records moved to their new places. Encrypted entries stay exactly
// as they were encrypted, which re-writing them through the ZIP library would not keep.
//
// Thread-safety: the function keeps no state and may run on any thread.
#pragma once

#include <string>

namespace verdan::archive {

// Appends every entry of `fresh` to the archive `base` (both complete archives, `base` written
// in place; a comment of `base` is kept). A `base` that is missing becomes a copy of `fresh`.
// True on success; on failure `base` is left damaged (the caller discards it) and
// `systemError` holds errno of the failed call, 0 when the archives could not be read as such.
bool AppendArchive(const std::string& base, const std::string& fresh, int& systemError);

}  // namespace verdan::archive
