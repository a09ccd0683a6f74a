// How many generations of the weekday and date archives are kept. Date names accumulate
// for ever (a new name every day), so a user may ask to keep only the newest N archives of
// the program's own naming in the destination; older ones, with their second copies, are
// removed after a run whose archive was verified and put in place. Off (0) unless set.
//
// The setting lives in verdan.env, section "Arhiviranje", key "Generacije".
//
// Thread-safety: the functions keep no state; pruning is called under the run lock.
#pragma once

#include <string>
#include <vector>

#include "archive/naming.h"

namespace verdan::archive {

inline constexpr const char* kGenerationsSection = "Arhiviranje";
inline constexpr const char* kGenerationsKey = "Generacije";
inline constexpr int kMostGenerations = 9999;

// The number of generations to keep; 0 (keep all) when unset or not a number.
int KeptGenerations();
// Stores it (0 turns pruning off); false when it could not be written.
bool SetKeptGenerations(int generations);

// Removes the archives named `prefix` + a run name of `mode` + ".zip" beyond the newest
// `keep` (by modification time; `current`, the archive just written, always stays), with
// their "_2_.zip" second copies. Only regular files that read as ZIP archives count and go:
// a symbolic link (whatever it points at), a directory or a file that merely has such a name
// is never counted, followed or removed, and files of other names are never touched.
// Returns the removed paths.
std::vector<std::string> PruneGenerations(const std::string& prefix, const std::string& mode,
                                          int keep, const std::string& current);

}  // namespace verdan::archive
