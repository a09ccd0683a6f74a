// What the restore looks at in an archive before it writes anything: whether entries share
// their data (the mark of a damaged archive or of a "zip bomb" that makes a few kilobytes
// expand to gigabytes), and the names of the entries a pattern selects.
//
// Thread-safety: the functions keep no state and may run on any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zip/zip_component.h"
#include "zip/zip_crypto.h"

namespace verdan::archive {

// Where an entry's stored bytes lie, as the central directory and its local header place them.
struct EntryPlace {
  std::string name;              // as the directory has it, raw
  std::uint64_t data = 0;        // offset of the first stored byte in the archive file
  std::uint64_t compressed = 0;  // stored bytes
  EntryEncryption encryption;    // flags, method, time, CRC and AES field of its record
};

// Reads the archive's central directory and local headers: returns 0 when every entry's
// data lies apart from the others' and before the central directory, else
// kZipOverlappingEntries with `failure.entry` naming an entry that overlaps. An archive whose
// directory cannot be read is left to the reader's own checks (0). `places` (when not null)
// receives every entry's place in directory order after a 0, and stays empty when the
// directory could not be read or data stands before the archive.
std::int32_t CheckEntryLayout(const std::string& archive, ZipFailure& failure,
                              std::vector<EntryPlace>* places = nullptr);

// Where the central directory of an archive lies: its offset and size, its entries, and where
// the end record (after any ZIP64 end records) starts.
struct DirectoryPlace {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  std::uint64_t entries = 0;
  std::uint64_t end = 0;  // the end of central directory record
};

// Finds the central directory of the archive open as `fd`, `fileSize` bytes long. False when
// it cannot be read, or data stands before the archive (offsets would not be the file's).
bool LocateDirectory(int fd, std::uint64_t fileSize, DirectoryPlace& place);

// The names of the file entries of `archive` that match `pattern`, in archive order; empty
// when the archive cannot be read.
std::vector<std::string> MatchingEntryNames(const std::string& archive, const std::string& pattern);

}  // namespace verdan::archive
