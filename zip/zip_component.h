// The Zip component: tests for and copies files, packs queued files into a ZIP archive and
// extracts entries from one. The archive runs and the restore call it with the program's own
// function names and argument lists; results are 32-bit signed numbers as they always were.
//
// Archives are standard ZIP (deflate, or stored for data that does not shrink; ZIP64 when an
// entry or the archive passes 4 GiB); under an archive password every entry is encrypted with
// AES-256, and encrypted archives made elsewhere are read too (see zip_crypto.h).
// Each entry holds one state of its
// file, read through one descriptor; a file that keeps changing while it is read fails the
// execute (see zip_writer.h). Files are packed in chunks on
// every core (see zip_writer.h), so memory stays small whatever the file sizes. Every file
// this component writes (an archive, a copy, a restored file) is written under a temporary
// name beside its target, verified, flushed to disk and renamed into place only when
// complete, so a failure or a killed process leaves the previous file as it was. Extraction
// reads several entries at once and large ones in pieces on every core (see extraction.h),
// verifies every matching entry before any working file is replaced, and replaces them all
// or none (see restore_commit.h): a failure or a kill half-way leaves the working files as
// they were, or as they are put back at the next start.
//
// Thread-safety: one component holds one queue and one set of unzip settings; calls on the
// same object must not overlap (the archive runs hold their run lock for that). Distinct objects
// are independent. The current directory is read by `LSZIP_INCLUDE` (relative patterns).
#pragma once

#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

namespace verdan::platform {
class Ui;
}

namespace verdan::archive {

// Error numbers returned (negated) by the two executes.
enum ZipError : std::int32_t {
  kZipNothingQueued = -1,        // execute with nothing queued: no archive touched
  kZipCannotWrite = -2,          // the archive or a temporary file could not be written
  kZipCannotReadFile = -3,       // a queued file could not be read
  kZipVerifyFailed = -4,         // the written archive did not read back intact
  kZipCannotOpenArchive = -5,    // no archive, or not a readable ZIP archive
  kZipDamagedEntry = -6,         // an entry failed its CRC or size check while extracting
  kZipUnsafeEntry = -7,          // an entry would be written outside the target directory
  kZipBadPassword = -8,          // an encrypted entry could not be read with the password
  kZipBadTarget = -9,            // the extraction target is not a usable directory
  kZipNothingMatched = -10,      // no entry matches the unzip pattern
  kZipCannotReplace = -11,       // a verified file could not be put in place
  kZipBadAction = -12,           // an action other than 2 (new archive) or 3 (add)
  kZipOverlappingEntries = -13,  // entries share their data: a damaged or hostile archive
  kZipNoSpace = -14,             // the restore does not fit the free space of the target
  kZipNameConflict = -15,        // two working files, or two entries, differ only in letter case
  kZipNotAFile = -16,            // a FIFO, device or socket stands at a working file's name
  kZipDirectoryBusy = -17,       // another restore or run held the target directory too long
  kZipFileChanged = -18,         // a queued file kept changing while it was read
};

// What the last failed execute knows about its failure, for the message that reports it.
struct ZipFailure {
  std::int32_t code = 0;        // the ZipError, 0 when the last execute succeeded
  int systemError = 0;          // errno of the failed system call, 0 when none
  std::string path;             // the file or directory concerned
  std::string entry;            // the archive entry concerned
  std::string other;            // the second name of a conflict
  std::uint64_t needed = 0;     // bytes a restore needs (kZipNoSpace)
  std::uint64_t available = 0;  // bytes free on the target (kZipNoSpace)
  bool rolledBack = false;      // a failed replace put every working file back
};

// Records a failure in `failure` unless one is recorded already: the first one is reported.
inline void KeepFirstFailure(ZipFailure& failure, std::int32_t code, int systemError,
                             const std::string& path, const std::string& entry) {
  if (failure.code != 0) return;
  failure = ZipFailure{};
  failure.code = code;
  failure.systemError = systemError;
  failure.path = path;
  failure.entry = entry;
}

// How the deflated entries of an extraction were decoded (extraction.h).
struct ExtractStats {
  std::uint64_t pieces = 0;     // pieces decoded apart from the ones before them
  std::uint64_t streamed = 0;   // entries, or their remainders, decoded as one stream
  std::uint64_t restarted = 0;  // entries decoded once more from their start
};

// The archive action of `LSZIP_EXECUTE`.
constexpr std::int32_t kActionNew = 2;
constexpr std::int32_t kActionAdd = 3;

// True when `name` matches `pattern` ("*" any run of characters, "?" one character) without
// regard to letter case, as file names compare on the system the program was made for.
bool MatchesPattern(const std::string& pattern, const std::string& name);

class ZipComponent {
 public:
  ZipComponent();
  ~ZipComponent();
  ZipComponent(const ZipComponent&) = delete;
  ZipComponent& operator=(const ZipComponent&) = delete;

  // Where progress of a long execute is reported (files and bytes); null for none.
  void SetProgress(platform::Ui* ui) { progressUi_ = ui; }

  // Non-zero when a file (not a directory) exists at `path`.
  std::int32_t FILE_EXISTS(const std::string& path);

  // Makes `destination` a copy of `source`, replacing an earlier file only once the copy is
  // complete and on disk. Returns 1 on success, 0 on failure (the earlier file stays).
  std::int32_t COPY_FILE(const std::string& source, const std::string& destination);

  // Queues the regular files matching `pattern` ("*.tps", or one file name, optionally with a
  // directory; relative to the current directory). Returns the number of files it matched,
  // 0 when none. A file queued again under the same entry name replaces the earlier one.
  // Symbolic links are never followed: a link, like anything else that is not a regular
  // file (a directory, a pipe, a device), is not queued but kept for `TakeSkipped`.
  std::int32_t LSZIP_INCLUDE(const std::string& pattern);
  // The paths that the includes since the last call left out, in order; empties the list.
  std::vector<std::string> TakeSkipped();

  // Writes the queued files into `archive`: action 2 writes the archive anew, action 3 adds
  // them to an existing archive, replacing entries of the same name (any letter case).
  // `a` and `b` are the program's constants 1 and 145, accepted and not otherwise used.
  // Returns the number of entries written, or a negative ZipError; in every case the queue is
  // emptied and, on error, the previous archive is left untouched.
  std::int32_t LSZIP_EXECUTE(const std::string& archive, std::int32_t action, std::int32_t a,
                             std::int32_t b);

  // Unzip settings, kept until `LSUZ_RESET`.
  std::int32_t LSUZ_ZIPNAME(const std::string& archive);    // 0: no such archive
  std::int32_t LSUZ_INCLUDE(const std::string& pattern);    // 0: no entry matches
  std::int32_t LSUZ_EXTRACTTO(const std::string& target);   // 0: directory unusable
  std::int32_t LSUZ_PASSWORD(const std::string& password);  // always 1
  // Extracts the matching entries into the target, replacing files of the same name, all or
  // nothing. `a` and `b` are the program's constants 3 and 2. Returns the number of files
  // written, or a negative ZipError with no working file changed.
  std::int32_t LSUZ_EXECUTE(std::int32_t a, std::int32_t b);
  std::int32_t LSUZ_RESET();

  // Entries up to this size (and the piece size) are extracted in one step; larger ones in
  // pieces, or as a stream.
  void SetWholeFileLimit(std::uint64_t bytes) { wholeFileLimit_ = bytes; }

  // Decoded bytes each extracting thread holds at most (see extraction.h).
  void SetPieceSize(std::size_t bytes) { pieceSize_ = bytes; }

  // Bytes of a file compressed as one piece; smaller chunks spread a file over more pieces.
  void SetChunkSize(std::size_t bytes) { chunkSize_ = bytes; }

  // The password the next archives written are encrypted under (every entry, AES-256); empty:
  // none. Adding to an archive encrypts the entries added and leaves the others as they are.
  void SetArchivePassword(const std::string& password) { archivePassword_ = password; }

  // The failure of the last execute (code 0 after a success).
  const ZipFailure& LastFailure() const { return failure_; }

  // How the entries of the last extraction were decoded.
  const ExtractStats& LastExtractStats() const { return extractStats_; }

  // Number of files queued for the next execute.
  std::size_t Queued() const { return queue_.size(); }

  struct QueuedFile {
    std::string path;       // absolute path of the file
    std::string entryName;  // name inside the archive
    // As the include found it, for the progress totals; the entry takes the size and time
    // the file has when it is opened for packing.
    std::uint64_t size = 0;
    std::time_t mtime = 0;
  };

 private:
  // Records the first failure of an execute (thread-safe) and returns its code.
  std::int32_t Fail(std::int32_t code, int systemError, const std::string& path,
                    const std::string& entry = {});

  std::vector<QueuedFile> queue_;
  std::vector<std::string> skipped_;
  ZipFailure failure_;
  std::string unzipArchive_;
  std::string unzipPattern_;
  std::string unzipTarget_;
  std::string unzipPassword_;
  std::string archivePassword_;  // encrypts the archives written; empty: none
  platform::Ui* progressUi_ = nullptr;
  // Up to one chunk as the writer cuts them: a larger entry is decoded chunk by chunk, so that
  // no thread holds more than a chunk's bytes of it.
  std::uint64_t wholeFileLimit_ = 4ull << 20;
  std::size_t pieceSize_ = 8u << 20;
  ExtractStats extractStats_;
  std::size_t chunkSize_ = 4 << 20;
  std::mutex failureMutex_;
};

}  // namespace verdan::archive
