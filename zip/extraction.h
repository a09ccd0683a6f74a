// Extracting the entries of a restore into temporary files beside the working files they are
// for, each checked (size and CRC) and synced (or left for the caller to sync all at once),
// ready for the commit (restore_commit.h).
//
// Entries are extracted several at once, one per core, with memory bounded whatever their
// sizes: an entry up to the piece size is read and decoded in one step; a larger one is
// decoded in pieces. Our own archives join independently compressed chunks into one deflate
// stream, each chunk but the last ending on a byte-aligned empty stored block, so the pieces
// of such an entry are found at those markers and decoded on every core; a piece counts only
// when the piece before it decoded whole and ended exactly where it begins. An entry whose
// stream has no such markers (an archive made elsewhere), or whose pieces do not chain, is
// decoded as one stream from the last piece that did (and, should that fail, once more from
// its start) — the stream alone decides whether an entry is damaged. Stored entries are
// copied in pieces at their own offsets. Encrypted entries are checked whole first and then
// decrypted as one stream, their temporary made only once they passed (zip_crypto.h); other
// methods are read through the ZIP library.
//
// A working file that already holds exactly an entry's bytes (an entry read in one step, of
// the same size, compared byte for byte) is left in place: no temporary is made for it.
// An entry marked `hold` that is read in one step is kept in memory instead of a temporary,
// for the commit to write over its working file in place.
//
// Large files are written past the page cache where the file system allows it (they are
// synced anyway, and copying them through the cache costs more than the decoding). Finished
// files are synced by a group of threads, so that their syncs overlap; or, when the caller
// makes them durable itself (one sync of the file system for all of them), not synced here
// at all: their writing back to the disk is started as they are written, so that the one
// sync finds little left to wait for.
//
// Thread-safety: ExtractEntries may run on any thread, and on several at once for different
// targets; it starts and joins its own threads, the calling thread being one of them.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "zip/zip_component.h"
#include "zip/zip_crypto.h"

namespace verdan::archive {

// One entry to extract.
struct ExtractJob {
  std::uint64_t index = 0;  // the entry's index in the archive
  std::string entryName;    // its name in the archive, for messages
  std::string target;       // the working file it is for; the temporary goes beside it
  std::uint64_t size = 0;   // uncompressed size, as the directory says
  std::uint64_t compressedSize = 0;
  std::uint32_t crc = 0;
  std::time_t mtime = 0;  // 0: none recorded
  // Where the entry's stored bytes start in the archive, when they can be read directly
  // (stored or deflated, not encrypted, placed as the directory says); else everything
  // goes through the ZIP library.
  bool direct = false;
  bool deflated = false;  // with `direct`: method 8, else stored
  std::uint64_t dataOffset = 0;
  // An encrypted entry whose stored bytes start at `dataOffset`: decrypted here (its password
  // and authentication code checked before anything is written), not by the ZIP library.
  EntryEncryption encryption;
  std::string temp;  // set by ExtractEntries: the temporary holding the data
  // Set by ExtractEntries instead of `temp` when the working file already holds exactly the
  // entry's bytes (compared byte for byte): it needs no replacing.
  bool unchanged = false;
  // Keep the checked bytes in `data` (and set `held`) rather than in a temporary, when the
  // entry is read in one step; one read otherwise still gets a temporary. A held entry is not
  // compared with its working file here (`unchanged` stays false): the commit does that.
  bool hold = false;
  bool held = false;
  std::vector<std::uint8_t> data;
};

// Who makes the finished temporaries durable.
enum class TemporarySync {
  kEachFile,  // each is synced here before ExtractEntries returns
  kByCaller,  // the caller syncs them (their file system) before it counts on them
};

struct ExtractOptions {
  std::uint64_t wholeLimit = 8u << 20;  // entries up to this size are decoded in one step
  std::size_t pieceSize = 8u << 20;     // output bytes held per decoding thread (64 KiB..64 MiB)
  unsigned threads = 0;                 // decoding threads; 0: by the cores and the entries (2..4)
  std::string password;                 // for encrypted entries
  bool keepUnchanged = true;            // leave working files that equal their entry in place
  TemporarySync sync = TemporarySync::kEachFile;
};

// Hears how far the extraction has come, from any of its threads (calls may overlap).
class ExtractProgress {
 public:
  virtual ~ExtractProgress() = default;
  virtual void FileStarted(const std::string& entryName) = 0;
  virtual void BytesWritten(std::uint64_t n) = 0;
  virtual void FileFinished() = 0;
};

// Extracts every job from `archive` into a temporary beside its target, checked and synced
// (unless `options.sync` leaves that to the caller), or into memory (`hold`); sets each job's
// `temp` as soon as it exists. Returns 0, or the ZipError of the first failure with `failure`
// filled (the other jobs are stopped); the caller then removes the temporaries. `stats` (when not
// null) tells how the entries were decoded. Never throws.
std::int32_t ExtractEntries(const std::string& archive, std::vector<ExtractJob>& jobs,
                            const ExtractOptions& options, ExtractProgress* progress,
                            ZipFailure& failure, ExtractStats* stats = nullptr);

}  // namespace verdan::archive
