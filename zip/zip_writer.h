// Writes new ZIP archives for the Zip component. Every file is cut into chunks that worker
// threads (one per core) compress independently; the chunks of one file are joined into one
// deflate stream, each chunk but the last ending on a byte-aligned empty stored block, so that
// a single large file keeps every core busy while only the chunks in flight are held in
// memory. A file whose data does not shrink is stored as it is (method 0); a large one is
// recognised by a quickly compressed sample of its start. When the archive is complete it is
// read back and every chunk is decoded and checked against the CRC of the data it was made
// from. Under a password every entry is encrypted (AES-256) in the same pipeline: the keys of
// an entry are derived by the thread that reads its first chunk, and the chunks are encrypted
// in order as they are written; the check decrypts them again and tests each entry's
// authentication code.
//
// Each file is opened once (never through a symbolic link, and only as a regular file) and
// all its chunks are read through that one descriptor, so a file replaced under its name
// while it is packed is never mixed with its successor. Its size, modification and change
// times are compared before and after it is read, and its name must still name it: a file
// that changed meanwhile is cut off the archive and read again after a short pause; one that
// keeps changing fails the write, naming it. So every entry holds one state of its file as
// it was at some moment of the run (files are not a snapshot of one another).
//
// Thread-safety: WriteArchive may run on any thread, and on several threads at once for
// different files; it starts and joins its own worker threads. Progress is reported on the
// calling thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace verdan::archive {

struct PackFile {
  std::string path;        // the file to pack
  std::string entryName;   // its name inside the archive
  std::uint64_t size = 0;  // as found before packing, for progress; the entry takes the size
                           // and time the file has when it is opened
  std::time_t mtime = 0;
};

// What became of one file in the archive.
struct PackedEntry {
  std::string name;
  bool stored = false;  // method 0: the data did not shrink
  std::uint32_t crc = 0;
  std::uint64_t size = 0;
  std::uint64_t compressedSize = 0;
};

struct PackOptions {
  std::size_t chunkSize = 4 << 20;  // bytes of a file compressed as one piece, 64 KiB to 16 MiB
  unsigned threads = 0;             // compressing threads; 0: one per core
  bool forceZip64 = false;          // ZIP64 fields on every entry, as files past 4 GiB need
  int attempts = 3;                 // reads of a file that changes while it is read, in all
  std::chrono::milliseconds pause{300};  // before the second reading; longer before each next
  std::string password;  // not empty: every entry is encrypted under it (AES-256, AE-2)
};

// Hears how far the packing has come, on the thread that called WriteArchive.
class PackProgress {
 public:
  virtual ~PackProgress() = default;
  virtual void FileStarted(const std::string& entryName) = 0;
  virtual void BytesPacked(std::uint64_t n) = 0;
  virtual void FileFinished() = 0;
  // The file just started changed while it was read; `n` bytes told of it are taken back, and
  // it starts again.
  virtual void FileAgain(std::uint64_t n) { (void)n; }
};

// Why a write failed, for the message that reports it.
struct PackFailure {
  std::string path;     // the file to pack that failed; empty when the archive itself did
  int systemError = 0;  // errno of the failed call; 0 when none (such as a file found shorter)
};

enum class PackResult {
  kOk,
  kCannotRead,    // a file could not be opened or read in full
  kCannotWrite,   // the archive could not be written (disk full, no memory, no thread)
  kVerifyFailed,  // the archive did not read back as written
  kChanged,       // a file kept changing while it was read (PackFailure names it)
};

// Writes `files`, in order, as a complete archive into `fd`, an empty regular file open for
// reading and writing that `path` names; then reads the archive back through `path` and checks
// it. On kOk the file holds the archive, written but not yet synced, and `entries` (when not
// null) describes it in the same order as `files`. On failure the file's content is undefined;
// the caller removes it, and `failure` (when not null) tells why. Never throws.
PackResult WriteArchive(int fd, const std::string& path, const std::vector<PackFile>& files,
                        const PackOptions& options, PackProgress* progress,
                        std::vector<PackedEntry>* entries, PackFailure* failure = nullptr);

}  // namespace verdan::archive
