// Looking into an archive without extracting it: its entries with sizes and dates, and a
// test that reads every entry through and checks its CRC and size, as `verdan verify` and
// the restore warning show them.
//
// Thread-safety: the functions keep no state and may run on any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace verdan::archive {

struct ArchiveEntryInfo {
  std::string name;
  std::uint64_t size = 0;        // uncompressed bytes
  std::uint64_t compressed = 0;  // bytes in the archive
  std::int64_t modified = 0;     // seconds since 1970 as the archive records it (local time)
  bool directory = false;
  bool ok = true;            // after a test: the entry read back whole and intact
  std::string problem;       // after a test: why it did not (the program's text)
  bool badPassword = false;  // after a test: encrypted, and the password is missing or wrong
};

// The entries of `archive` in archive order. False, with `problem` set, when it cannot be
// read as an archive.
bool ListArchive(const std::string& archive, std::vector<ArchiveEntryInfo>& entries,
                 std::string& problem);

// Lists and reads every entry through (with `password` for encrypted entries), checking CRC
// and size, and for AES entries their authentication code, and refuses archives whose
// entries share their data. True when the archive and every entry are intact. When the only
// failures are entries the password does not open, `problem` says so rather than that the
// archive is damaged.
bool TestArchive(const std::string& archive, const std::string& password,
                 std::vector<ArchiveEntryInfo>& entries, std::string& problem);

// "08.12.2026 23:50" for an entry's time.
std::string EntryTimeText(std::int64_t modified);

}  // namespace verdan::archive
