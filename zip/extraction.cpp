#include "zip/extraction.h"

#include <zip.h>
#include <zlib.h>

#ifdef VERDAN_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "platform/files.h"
#include "platform/memory.h"
#include "platform/workers.h"
#include "zip/checksum.h"
#include "zip/temporaries.h"

namespace verdan::archive {
namespace {

constexpr std::size_t kPage = 4096;
// Compressed bytes read at a time while looking for the end of a chunk, and by a stream.
constexpr std::size_t kFindStep = 256u << 10;
constexpr std::size_t kStreamStep = 1u << 20;
// Files from this size are written past the page cache.
constexpr std::uint64_t kDirectFrom = 1u << 20;
// Writes through the page cache of at least this many bytes start their writing back at once.
constexpr std::size_t kWriteBackFrom = 256u << 10;
constexpr unsigned kMaxThreads = 4;
// Syncs run on threads of their own so that many overlap; finished files wait for theirs
// in a queue of bounded length (each holds its descriptors open).
constexpr unsigned kSyncThreads = 8;
constexpr std::size_t kSyncBacklog = 64;
constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// The empty stored block that ends every chunk but the last: its length and the length's
// complement. Its 3 header bits and the padding after them lie in the byte before, whose top
// three bits are therefore clear.
constexpr std::uint8_t kMarker[] = {0x00, 0x00, 0xff, 0xff};
// An empty stored block that is the last of its stream, appended to a piece that ends on a
// marker so that the piece decodes as a stream of its own.
constexpr std::uint8_t kFinalEmpty[] = {0x01, 0x00, 0x00, 0xff, 0xff};

// Memory taken straight from the system: page-aligned, as writes past the page cache need,
// and only the pages touched count against the process.
class PageBuffer {
 public:
  PageBuffer() = default;
  ~PageBuffer() {
    if (data_ != nullptr) platform::FreePages(data_, size_);
  }
  PageBuffer(const PageBuffer&) = delete;
  PageBuffer& operator=(const PageBuffer&) = delete;
  bool Allocate(std::size_t size) {
    size_ = (size + kPage - 1) / kPage * kPage;
    void* p = platform::TakePages(size_);
    if (p == nullptr) {
      size_ = 0;
      return false;
    }
    data_ = static_cast<std::uint8_t*>(p);
    return true;
  }
  std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

bool WriteAt(int fd, const std::uint8_t* p, std::size_t n, std::uint64_t offset) {
  while (n > 0) {
    std::int64_t put = platform::WriteAt(fd, p, n, offset);
    if (put <= 0) {
      if (put == 0) errno = EIO;
      return false;
    }
    p += put;
    n -= static_cast<std::size_t>(put);
    offset += static_cast<std::uint64_t>(put);
  }
  return true;
}

// One deflate decoder, kept by a thread between pieces.
enum class Decoded { kOk, kTooLarge, kBad };

class Inflater {
 public:
  Inflater() {
#ifdef VERDAN_HAVE_LIBDEFLATE
    decompressor_ = libdeflate_alloc_decompressor();
#else
    ready_ = ::inflateInit2(&zs_, -MAX_WBITS) == Z_OK;
#endif
  }
  ~Inflater() {
#ifdef VERDAN_HAVE_LIBDEFLATE
    if (decompressor_ != nullptr) libdeflate_free_decompressor(decompressor_);
#else
    if (ready_) ::inflateEnd(&zs_);
#endif
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // Decodes the raw deflate stream at the start of `in` into `out` (room for `room` bytes):
  // kOk with the bytes produced and consumed, kTooLarge when it needs more room, else kBad.
  Decoded Decode(const std::uint8_t* in, std::size_t n, std::uint8_t* out, std::size_t room,
                 std::size_t& produced, std::size_t& consumed) {
#ifdef VERDAN_HAVE_LIBDEFLATE
    if (decompressor_ == nullptr) return Decoded::kBad;
    libdeflate_result r =
        libdeflate_deflate_decompress_ex(decompressor_, in, n, out, room, &consumed, &produced);
    if (r == LIBDEFLATE_SUCCESS) return Decoded::kOk;
    return r == LIBDEFLATE_INSUFFICIENT_SPACE ? Decoded::kTooLarge : Decoded::kBad;
#else
    if (!ready_ || ::inflateReset(&zs_) != Z_OK) return Decoded::kBad;
    zs_.next_in = const_cast<Bytef*>(in);
    zs_.next_out = out;
    std::size_t inLeft = n, outLeft = room;
    int r = Z_OK;
    // zlib counts in 32 bits: large buffers are handed over in parts.
    while (r == Z_OK) {
      zs_.avail_in = static_cast<uInt>(std::min<std::size_t>(inLeft, 1u << 30));
      zs_.avail_out = static_cast<uInt>(std::min<std::size_t>(outLeft, 1u << 30));
      uInt givenIn = zs_.avail_in, givenOut = zs_.avail_out;
      r = ::inflate(&zs_, Z_NO_FLUSH);
      inLeft -= givenIn - zs_.avail_in;
      outLeft -= givenOut - zs_.avail_out;
      if (r == Z_OK && givenIn == zs_.avail_in && givenOut == zs_.avail_out) r = Z_BUF_ERROR;
    }
    produced = room - outLeft;
    consumed = n - inLeft;
    if (r == Z_STREAM_END) return Decoded::kOk;
    return r == Z_BUF_ERROR && outLeft == 0 ? Decoded::kTooLarge : Decoded::kBad;
#endif
  }

 private:
#ifdef VERDAN_HAVE_LIBDEFLATE
  libdeflate_decompressor* decompressor_ = nullptr;
#else
  z_stream zs_{};
  bool ready_ = false;
#endif
};

// Where the position of the first chunk marker in `p[from, n)` lies, or kNone.
std::size_t FindMarker(const std::uint8_t* p, std::size_t from, std::size_t n) {
  from = std::max<std::size_t>(from, 1);  // the marker's header bits lie in the byte before it
  while (from + sizeof kMarker <= n) {
#ifdef _WIN32  // no memmem in Windows' C run-time
    const std::uint8_t* found =
        std::search(p + from, p + n, std::begin(kMarker), std::end(kMarker));
    const void* hit = found == p + n ? nullptr : found;
#else
    const void* hit = ::memmem(p + from, n - from, kMarker, sizeof kMarker);
#endif
    if (hit == nullptr) return kNone;
    std::size_t at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - p);
    if ((p[at - 1] & 0xE0) == 0) return at;
    from = at + 1;
  }
  return kNone;
}

// The one place where libzip's reading errors become the component's error numbers. A wrong
// password passes the header check now and then and only shows as bad data, so for an
// encrypted entry bad data counts as a wrong password.
std::int32_t ErrorOfLibzip(int ze, bool encrypted) {
  if (ze == ZIP_ER_NOPASSWD || ze == ZIP_ER_WRONGPASSWD) return kZipBadPassword;
  if (encrypted && (ze == ZIP_ER_CRC || ze == ZIP_ER_ZLIB)) return kZipBadPassword;
  if (ze == ZIP_ER_MEMORY) return kZipCannotWrite;
  return kZipDamagedEntry;
}

// A temporary being written: through the page cache, or past it for whole pages when the
// file is large and the file system takes such writes.
struct Output {
  int fd = -1;
  int direct = -1;
  std::atomic<bool> directOk{true};
  bool writeBack = false;  // start writing what goes through the cache back to the disk

  bool Write(const std::uint8_t* p, std::size_t n, std::uint64_t offset) {
    if (direct >= 0 && directOk.load(std::memory_order_relaxed) && offset % kPage == 0 &&
        reinterpret_cast<std::uintptr_t>(p) % kPage == 0) {
      std::size_t whole = n / kPage * kPage;
      while (whole > 0) {
        std::int64_t put = platform::WriteAt(direct, p, whole, offset);
        if (put < 0 && errno != EINVAL) return false;
        if (put <= 0) {
          // This file system takes no such writes: the rest goes through the page cache.
          directOk = false;
          break;
        }
        p += put;
        n -= static_cast<std::size_t>(put);
        offset += static_cast<std::uint64_t>(put);
        whole -= static_cast<std::size_t>(put);
        if (put % static_cast<std::int64_t>(kPage) != 0) break;  // off the page grid now
      }
    }
    if (!WriteAt(fd, p, n, offset)) return false;
    if (writeBack && n >= kWriteBackFrom) platform::StartWriteBack(fd, offset, n);
    return true;
  }

  void Close() {
    if (direct >= 0) platform::CloseFile(direct);
    if (fd >= 0) platform::CloseFile(fd);
    direct = fd = -1;
  }
};

// How an entry is read.
enum class Way {
  kWhole,    // in one step
  kStored,   // stored, in pieces at their own offsets
  kPieces,   // deflated, in pieces found at chunk markers
  kLibrary,  // through the ZIP library, as a stream
  kDecrypt,  // encrypted: checked, then decrypted and decoded as a stream
};

struct PieceResult {
  std::uint64_t length = 0;
  std::uint32_t crc = 0;
};

struct Entry {
  ExtractJob* job = nullptr;
  Way way = Way::kWhole;
  std::uint64_t dataEnd = 0;
  Output out;
  bool opened = false;
  bool handed = false;  // given to the syncs (which close it)
  // Handing out pieces.
  std::uint64_t next = 0;  // where the next piece's compressed data starts
  bool finding = false;    // a thread is looking for the end of the next piece
  bool handedOut = false;  // every piece has been handed out
  std::size_t claimed = 0;
  // Pieces decoded, in order: their lengths are the offsets of the ones after them.
  std::vector<PieceResult> results;
  std::uint64_t placed = 0;    // bytes of the pieces in `results`
  std::size_t stopAt = kNone;  // the piece from which the entry is decoded as one stream
  std::size_t writing = 0;     // threads writing a piece of it now
  std::size_t written = 0;
};

// What a thread takes up.
struct Task {
  Entry* entry = nullptr;
  std::size_t piece = 0;
  std::uint64_t start = 0;   // compressed offset
  std::uint64_t length = 0;  // kStored: bytes of the piece
};

class Extraction {
 public:
  Extraction(const std::string& archive, std::vector<ExtractJob>& jobs,
             const ExtractOptions& options, ExtractProgress* progress, ZipFailure& failure)
      : archive_(archive), options_(options), progress_(progress), failure_(failure) {
    pieceSize_ = std::clamp<std::size_t>(options.pieceSize, 64u << 10, 64u << 20) / kPage * kPage;
    inCapacity_ = pieceSize_ + pieceSize_ / 64 + kFindStep + 64;
    wholeLimit_ = std::min<std::uint64_t>(options.wholeLimit, pieceSize_);
    byCaller_ = options.sync == TemporarySync::kByCaller;
    for (ExtractJob& j : jobs) {
      entries_.push_back(std::make_unique<Entry>());
      Entry& e = *entries_.back();
      e.job = &j;
      e.next = j.dataOffset;
      e.dataEnd = j.dataOffset + j.compressedSize;
      if (j.encryption.encrypted)
        e.way = Way::kDecrypt;
      else if (!j.direct)
        e.way = Way::kLibrary;
      else if (j.size <= wholeLimit_ && j.compressedSize + sizeof kFinalEmpty + 8 <= inCapacity_)
        e.way = Way::kWhole;
      else
        e.way = j.deflated ? Way::kPieces : Way::kStored;
      if (e.way == Way::kStored && j.compressedSize == j.size)
        e.results.resize((j.size + pieceSize_ - 1) / pieceSize_);
    }
  }

  ~Extraction() {
    for (auto& e : entries_)
      if (!e->handed) e->out.Close();
  }

  std::int32_t Run(ExtractStats* stats) {
    archiveFd_ = platform::OpenFile(archive_, platform::Access::kRead);
    if (archiveFd_ < 0) return Fail(kZipCannotOpenArchive, errno, archive_);
    // One thread per core for entries read in one step (more only contend for the directory);
    // two more where entries are read in pieces, whose threads wait while they write.
    bool large = std::any_of(entries_.begin(), entries_.end(), [](const auto& e) {
      return e->way == Way::kPieces || e->way == Way::kStored;
    });
    unsigned threads = std::clamp(std::thread::hardware_concurrency(), 2u, kMaxThreads);
    if (large) threads = std::min(threads + 2, kMaxThreads);
    if (options_.threads != 0) threads = options_.threads;
    if (!large) threads = static_cast<unsigned>(std::min<std::size_t>(threads, entries_.size()));

    // Fewer threads than wished for: the ones there are do the work. Without a sync thread
    // each file is synced by the thread that wrote it.
    platform::Workers syncs, workers;
    for (unsigned t = 0; t < kSyncThreads && t < entries_.size() && !byCaller_; ++t)
      if (!syncs.Start([this] { SyncLoop(); })) break;
    syncByWriter_ = syncs.empty();
    for (unsigned t = 1; t < threads; ++t)
      if (!workers.Start([this] { WorkLoop(); })) break;
    WorkLoop();
    workers.Join();
    {
      std::lock_guard lock(mutex_);
      syncClosed_ = true;
    }
    syncCv_.notify_all();
    syncs.Join();
    platform::CloseFile(archiveFd_);
    if (stats != nullptr) {
      stats->pieces = pieces_.load();
      stats->streamed = streamed_.load();
      stats->restarted = restarted_.load();
    }
    std::lock_guard lock(mutex_);
    return failure_.code;
  }

 private:
  // What one working thread keeps between entries.
  struct Worker {
    PageBuffer in, out;
    Inflater inflater;
    zip_t* library = nullptr;
    ~Worker() {
      if (library != nullptr) zip_discard(library);
    }
  };

  // Records the first failure and stops every thread. Returns `code`.
  std::int32_t Fail(std::int32_t code, int systemError, const std::string& path,
                    const std::string& entry = {}) {
    {
      std::lock_guard lock(mutex_);
      FailLocked(code, systemError, path, entry);
    }
    cv_.notify_all();
    syncCv_.notify_all();
    return code;
  }
  // The same with the lock held; the caller wakes the waiting threads.
  void FailLocked(std::int32_t code, int systemError, const std::string& path,
                  const std::string& entry) {
    KeepFirstFailure(failure_, code, systemError, path, entry);
    stop_ = true;
    stopped_ = true;
  }
  std::int32_t FailEntry(const Entry& e, std::int32_t code, int systemError = 0) {
    return Fail(code, systemError, e.job->target, e.job->entryName);
  }

  void WorkLoop() {
    Worker w;
    if (!w.in.Allocate(inCapacity_) || !w.out.Allocate(pieceSize_)) {
      Fail(kZipCannotWrite, ENOMEM, archive_);
      return;
    }
    for (;;) {
      Task task;
      if (!Claim(task)) return;
      if (task.piece == 0 && progress_ != nullptr)
        progress_->FileStarted(task.entry->job->entryName);
      switch (task.entry->way) {
        case Way::kWhole:
          RunWhole(w, *task.entry);
          break;
        case Way::kStored:
          RunStored(w, task);
          break;
        case Way::kPieces:
          RunPiece(w, task);
          break;
        case Way::kLibrary:
          RunLibrary(w, *task.entry);
          break;
        case Way::kDecrypt:
          RunDecrypt(w, *task.entry);
          break;
      }
    }
  }

  // Hands out the next piece of work; false when there is none left (or all stop).
  bool Claim(Task& task) {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (stop_) return false;
      bool waiting = false;
      for (std::size_t i = firstOpen_; i < entries_.size(); ++i) {
        Entry& e = *entries_[i];
        if (e.handedOut) {
          if (i == firstOpen_) ++firstOpen_;
          continue;
        }
        if (e.finding) {  // its next piece starts where the one being measured ends
          waiting = true;
          continue;
        }
        if (!e.opened && e.way != Way::kWhole && e.way != Way::kDecrypt && !Open(e)) {
          lock.unlock();
          cv_.notify_all();
          syncCv_.notify_all();
          return false;
        }
        task = Task{&e, e.claimed++, e.next, 0};
        switch (e.way) {
          case Way::kWhole:
          case Way::kLibrary:
          case Way::kDecrypt:
            e.handedOut = true;
            break;
          case Way::kStored:
            task.length = std::min<std::uint64_t>(pieceSize_, e.dataEnd - e.next);
            e.next += task.length;
            e.handedOut = e.next >= e.dataEnd;
            break;
          case Way::kPieces:
            e.finding = true;
            break;
        }
        return true;
      }
      if (!waiting) return false;
      cv_.wait(lock);
    }
  }

  // Creates the entry's temporary, with the lock held so that every piece finds it open (an
  // entry read in one step opens its own when it needs one). False, with the failure
  // recorded, when it cannot be made.
  bool Open(Entry& e) {
    ExtractJob& j = *e.job;
    std::string temp;
    e.out.fd = CreateTemporary(j.target, temp);
    if (e.out.fd < 0) {
      FailLocked(kZipCannotWrite, errno, j.target, j.entryName);
      return false;
    }
    j.temp = temp;
    e.opened = true;
    e.out.writeBack = byCaller_;
    if (j.size >= kDirectFrom && j.direct) {
      // Room for the whole file at once (a full disk shows here), then a second descriptor
      // that writes past the page cache where the file system allows it.
      if (!platform::Reserve(e.out.fd, j.size) && errno == ENOSPC) {
        FailLocked(kZipCannotWrite, ENOSPC, j.target, j.entryName);
        return false;
      }
      e.out.direct = platform::OpenUncachedWriter(e.out.fd);
    }
    return true;
  }

  // Opens the temporary of an entry read in one step; false when it cannot (or all stop).
  bool OpenHere(Entry& e) {
    bool opened;
    {
      std::lock_guard lock(mutex_);
      opened = !stop_ && Open(e);
    }
    if (!opened) {
      cv_.notify_all();
      syncCv_.notify_all();
    }
    return opened;
  }

  // ---- one step ------------------------------------------------------------------------

  void RunWhole(Worker& w, Entry& e) {
    ExtractJob& j = *e.job;
    std::uint8_t* in = w.in.data();
    if (!platform::ReadAllAt(archiveFd_, in, j.compressedSize, j.dataOffset)) {
      FailEntry(e, kZipDamagedEntry, errno);
      return;
    }
    const std::uint8_t* data = in;
    if (j.deflated) {
      std::size_t produced = 0, consumed = 0;
      if (w.inflater.Decode(in, j.compressedSize, w.out.data(), j.size, produced, consumed) !=
              Decoded::kOk ||
          produced != j.size || Crc(0, w.out.data(), produced) != j.crc) {
        // The stream decides whether the entry is damaged.
        if (OpenHere(e)) Stream(w, e, j.dataOffset, 0, 0, false, true);
        return;
      }
      data = w.out.data();
    } else if (j.compressedSize != j.size || Crc(0, in, j.size) != j.crc) {
      FailEntry(e, kZipDamagedEntry);
      return;
    }
    // A held entry is compared with its working file by the commit, which reads that file
    // anyway to keep its original.
    if (options_.keepUnchanged && !j.hold &&
        FileHolds(j.target, data, j.size, data == in ? w.out.data() : in)) {
      j.unchanged = true;
      if (progress_ != nullptr) {
        progress_->BytesWritten(j.size);
        progress_->FileFinished();
      }
      return;
    }
    if (j.hold) {
      try {
        j.data.assign(data, data + j.size);
      } catch (const std::bad_alloc&) {
        FailEntry(e, kZipCannotWrite, ENOMEM);
        return;
      }
      j.held = true;
      if (progress_ != nullptr) {
        progress_->BytesWritten(j.size);
        progress_->FileFinished();
      }
      return;
    }
    if (!OpenHere(e)) return;
    if (!e.out.Write(data, j.size, 0)) {
      FailEntry(e, kZipCannotWrite, errno);
      return;
    }
    if (progress_ != nullptr) progress_->BytesWritten(j.size);
    Finished(e);
  }

  void RunStored(Worker& w, const Task& t) {
    Entry& e = *t.entry;
    ExtractJob& j = *e.job;
    if (j.compressedSize != j.size) {
      FailEntry(e, kZipDamagedEntry);
      return;
    }
    std::uint8_t* in = w.in.data();
    if (!platform::ReadAllAt(archiveFd_, in, t.length, t.start)) {
      FailEntry(e, kZipDamagedEntry, errno);
      return;
    }
    std::uint32_t crc = Crc(0, in, t.length);
    if (!e.out.Write(in, t.length, t.start - j.dataOffset)) {
      FailEntry(e, kZipCannotWrite, errno);
      return;
    }
    if (progress_ != nullptr) progress_->BytesWritten(t.length);
    std::unique_lock lock(mutex_);
    e.results[t.piece] = PieceResult{t.length, crc};
    if (++e.written < e.results.size()) return;
    lock.unlock();
    std::uint32_t total = 0;
    for (const PieceResult& r : e.results) total = CrcCombine(total, r.crc, r.length);
    if (total != j.crc) {
      FailEntry(e, kZipDamagedEntry);
      return;
    }
    Finished(e);
  }

  // A piece of a deflated entry: finds where it ends, decodes it, and writes it once the
  // pieces before it have decoded (their lengths give its offset).
  void RunPiece(Worker& w, const Task& t) {
    Entry& e = *t.entry;
    std::uint8_t* in = w.in.data();
    const std::size_t window = inCapacity_ - sizeof kFinalEmpty - 8;
    std::size_t filled = 0, marker = kNone;
    bool readFailed = false;
    while (marker == kNone && filled < window && t.start + filled < e.dataEnd) {
      std::size_t want = static_cast<std::size_t>(
          std::min<std::uint64_t>({kFindStep, window - filled, e.dataEnd - t.start - filled}));
      if (!platform::ReadAllAt(archiveFd_, in + filled, want, t.start + filled)) {
        readFailed = true;
        break;
      }
      std::size_t from = filled > 3 ? filled - 3 : 0;
      filled += want;
      marker = FindMarker(in, from, filled);
    }
    // The piece ends after the marker; without one it is the rest of the entry, decoded
    // here when it fits and else as a stream.
    // A marker at the very end of the data ends no chunk: the stream would lack its last block.
    if (marker != kNone && t.start + marker + sizeof kMarker >= e.dataEnd) marker = kNone;
    bool last = marker == kNone && t.start + filled >= e.dataEnd;
    std::uint64_t end = marker != kNone ? t.start + marker + sizeof kMarker : e.dataEnd;
    {
      std::lock_guard lock(mutex_);
      e.finding = false;
      e.next = end;
      if (marker == kNone || end >= e.dataEnd) e.handedOut = true;
    }
    cv_.notify_all();

    Decoded decoded = Decoded::kBad;
    std::size_t produced = 0;
    if (!readFailed && (marker != kNone || last)) {
      std::size_t length = marker != kNone ? marker + sizeof kMarker : filled;
      if (!last) {
        std::memcpy(in + length, kFinalEmpty, sizeof kFinalEmpty);
        length += sizeof kFinalEmpty;
      }
      std::size_t consumed = 0;
      decoded = w.inflater.Decode(in, length, w.out.data(), pieceSize_, produced, consumed);
      if (decoded == Decoded::kOk && consumed != length) decoded = Decoded::kBad;
    }
    std::uint32_t crc = decoded == Decoded::kOk ? Crc(0, w.out.data(), produced) : 0;

    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return stop_ || e.results.size() == t.piece || e.stopAt < t.piece; });
    if (stop_ || e.stopAt < t.piece) return;  // an earlier piece took the rest as a stream
    if (decoded != Decoded::kOk || e.placed + produced > e.job->size) {
      // From here on the entry is one stream; later pieces are dropped.
      e.stopAt = t.piece;
      e.handedOut = true;
      std::uint64_t offset = e.placed;
      std::uint32_t crcBefore = 0;
      for (const PieceResult& r : e.results) crcBefore = CrcCombine(crcBefore, r.crc, r.length);
      lock.unlock();
      cv_.notify_all();
      Stream(w, e, t.start, offset, crcBefore, t.start != e.job->dataOffset, true);
      return;
    }
    std::uint64_t offset = e.placed;
    e.placed += produced;
    e.results.push_back(PieceResult{produced, crc});
    ++e.writing;
    lock.unlock();
    cv_.notify_all();
    ++pieces_;

    bool ok = e.out.Write(w.out.data(), produced, offset);
    int error = errno;
    if (ok && progress_ != nullptr) progress_->BytesWritten(produced);
    lock.lock();
    --e.writing;
    ++e.written;
    bool complete = e.handedOut && e.stopAt == kNone && !e.finding && e.written == e.claimed;
    lock.unlock();
    cv_.notify_all();
    if (!ok) {
      FailEntry(e, kZipCannotWrite, error);
      return;
    }
    if (!complete) return;
    std::uint32_t total = 0;
    for (const PieceResult& r : e.results) total = CrcCombine(total, r.crc, r.length);
    if (e.placed == e.job->size && total == e.job->crc) {
      Finished(e);
    } else {
      // Every piece chained and yet the whole is wrong: the stream from the start decides.
      Restart(w, e);
    }
  }

  // Decodes the entry as one stream from compressed offset `from`, whose output starts at
  // `offset` with `crc` so far. `speculative`: the pieces before `from` were decoded apart, so
  // a failure here is tried once more from the entry's start. `report`: the bytes count as
  // progress (not when they are decoded a second time).
  void Stream(Worker& w, Entry& e, std::uint64_t from, std::uint64_t offset, std::uint32_t crc,
              bool speculative, bool report) {
    ExtractJob& j = *e.job;
    ++streamed_;
    z_stream zs{};
    if (::inflateInit2(&zs, -MAX_WBITS) != Z_OK) {
      FailEntry(e, kZipCannotWrite, ENOMEM);
      return;
    }
    std::uint8_t* in = w.in.data();
    std::uint8_t* out = w.out.data();
    std::uint64_t pos = from;
    std::size_t held = 0;  // decoded bytes in `out` not yet written
    bool damaged = false, ended = false;
    int error = 0;
    while (!ended && !damaged) {
      if (stopped_.load(std::memory_order_relaxed)) {
        ::inflateEnd(&zs);
        return;
      }
      if (zs.avail_in == 0) {
        if (pos >= e.dataEnd) {
          damaged = true;  // the data ends before the stream does
          break;
        }
        std::size_t want = static_cast<std::size_t>(
            std::min<std::uint64_t>({kStreamStep, inCapacity_, e.dataEnd - pos}));
        if (!platform::ReadAllAt(archiveFd_, in, want, pos)) {
          error = errno;
          damaged = true;
          break;
        }
        pos += want;
        zs.next_in = in;
        zs.avail_in = static_cast<uInt>(want);
      }
      zs.next_out = out + held;
      zs.avail_out = static_cast<uInt>(pieceSize_ - held);
      int r = ::inflate(&zs, Z_NO_FLUSH);
      held = pieceSize_ - zs.avail_out;
      if (r == Z_STREAM_END)
        ended = true;
      else if (r != Z_OK && r != Z_BUF_ERROR)
        damaged = true;
      // Never more than the entry says it holds: an entry that inflates beyond its size is
      // damaged, however large it would grow.
      if (offset + held > j.size) damaged = true;
      if (damaged || (held < pieceSize_ && !ended)) continue;
      crc = Crc(crc, out, held);
      if (!e.out.Write(out, held, offset)) {
        int writeError = errno;
        ::inflateEnd(&zs);
        FailEntry(e, kZipCannotWrite, writeError);
        return;
      }
      if (report && progress_ != nullptr) progress_->BytesWritten(held);
      offset += held;
      held = 0;
    }
    ::inflateEnd(&zs);
    // The pieces before `from` may still be being written.
    {
      std::unique_lock lock(mutex_);
      cv_.wait(lock, [&] { return stop_ || e.writing == 0; });
      if (stop_) return;
    }
    if (!damaged && offset == j.size && crc == j.crc) {
      Finished(e);
    } else if (speculative) {
      Restart(w, e);
    } else {
      FailEntry(e, kZipDamagedEntry, error);
    }
  }

  // Decodes the entry once more, as one stream from its start; that outcome is final.
  void Restart(Worker& w, Entry& e) {
    ++restarted_;
    {
      std::unique_lock lock(mutex_);
      cv_.wait(lock, [&] { return stop_ || e.writing == 0; });
      if (stop_) return;
    }
    Stream(w, e, e.job->dataOffset, 0, 0, false, false);
  }

  void RunLibrary(Worker& w, Entry& e) {
    ExtractJob& j = *e.job;
    if (w.library == nullptr) {
      // Opening converts the entries' times through the C library's time zone state: one
      // handle is opened at a time.
      static std::mutex opening;
      std::lock_guard lock(opening);
      int err = 0;
      w.library = zip_open(archive_.c_str(), ZIP_RDONLY, &err);
      if (w.library == nullptr) {
        Fail(kZipCannotOpenArchive, 0, archive_);
        return;
      }
    }
    zip_stat_t st;
    if (zip_stat_index(w.library, j.index, 0, &st) != 0) {
      FailEntry(e, kZipDamagedEntry);
      return;
    }
    bool encrypted = (st.valid & ZIP_STAT_ENCRYPTION_METHOD) && st.encryption_method != ZIP_EM_NONE;
    const char* password = options_.password.empty() ? nullptr : options_.password.c_str();
    zip_file_t* zf =
        zip_fopen_index_encrypted(w.library, j.index, 0, encrypted ? password : nullptr);
    if (zf == nullptr) {
      int ze = zip_error_code_zip(zip_get_error(w.library));
      zip_error_clear(w.library);
      FailEntry(e, ErrorOfLibzip(ze, encrypted));
      return;
    }
    // libzip checks the CRC once the last byte has been read; the size is checked here.
    std::uint8_t* out = w.out.data();
    std::uint64_t offset = 0;
    std::int32_t result = 0;
    int error = 0;
    bool end = false;
    while (!end && result == 0) {
      std::size_t held = 0;
      while (held < pieceSize_) {
        zip_int64_t n = zip_fread(zf, out + held, pieceSize_ - held);
        if (n < 0) {
          result = ErrorOfLibzip(zip_error_code_zip(zip_file_get_error(zf)), encrypted);
          break;
        }
        if (n == 0) {
          end = true;
          break;
        }
        held += static_cast<std::size_t>(n);
      }
      if (result != 0) break;
      if (offset + held > j.size) {
        result = kZipDamagedEntry;
        break;
      }
      if (held > 0 && !e.out.Write(out, held, offset)) {
        error = errno;
        result = kZipCannotWrite;
        break;
      }
      offset += held;
      if (progress_ != nullptr) progress_->BytesWritten(held);
      if (stopped_.load(std::memory_order_relaxed)) {
        zip_fclose(zf);
        return;
      }
    }
    zip_fclose(zf);
    if (result == 0 && offset != j.size) result = kZipDamagedEntry;
    if (result != 0) {
      FailEntry(e, result, error);
      return;
    }
    Finished(e);
  }

  // Whether the password passes the check byte of a traditional-cipher entry other than `j`.
  bool PasswordPassesAnotherCheck(const ExtractJob& j) const {
    for (const auto& other : entries_) {
      const ExtractJob& o = *other->job;
      if (&o != &j && TraditionalCheckPasses(archiveFd_, o.dataOffset, o.compressedSize,
                                             o.encryption, options_.password))
        return true;
    }
    return false;
  }

  // An encrypted entry: its temporary is made only when the password and the authentication
  // code have held, so a wrong password or damaged data leaves nothing behind.
  void RunDecrypt(Worker& w, Entry& e) {
    ExtractJob& j = *e.job;
    std::uint64_t offset = 0;
    int error = 0;
    bool writeFailed = false;
    // An entry that fits the buffers is read once and decoded in one step; a larger one is
    // read twice a few megabytes at a time, and the pages left untouched by the smaller reads
    // never count against the restore's memory.
    const bool whole = j.compressedSize <= pieceSize_ && j.size <= pieceSize_;
    const std::size_t buffer =
        whole ? pieceSize_ : std::min<std::size_t>(pieceSize_, 2 * kStreamStep);
    // A held entry read in one step stays in memory for the commit, as a plain one does.
    const bool hold = whole && j.hold;
    const PlainSink sink = [&](const std::uint8_t* p, std::size_t n) {
      if (stopped_.load(std::memory_order_relaxed)) return false;
      if (hold) {
        try {
          j.data.insert(j.data.end(), p, p + n);
        } catch (const std::bad_alloc&) {
          error = ENOMEM;
          writeFailed = true;
          return false;
        }
        return true;
      }
      if (!e.opened && !OpenHere(e)) return false;
      if (!e.out.Write(p, n, offset)) {
        error = errno;
        writeFailed = true;
        return false;
      }
      offset += n;
      if (progress_ != nullptr) progress_->BytesWritten(n);
      return true;
    };
    switch (ReadEncryptedEntry(archiveFd_, j.dataOffset, j.compressedSize, j.encryption,
                               options_.password, w.in.data(), w.out.data(), buffer, sink)) {
      case CryptoCheck::kOk:
        break;
      case CryptoCheck::kBadPassword:
        FailEntry(e, kZipBadPassword);
        return;
      case CryptoCheck::kDamaged:
        // The traditional cipher's check is one byte: a wrong password passes it one time in
        // 256 and then shows only as data that does not decode. Such data is damage only when
        // the password also passes the check of another entry of the restore.
        FailEntry(e, j.encryption.method == kAesMethod || PasswordPassesAnotherCheck(j)
                         ? kZipDamagedEntry
                         : kZipBadPassword);
        return;
      case CryptoCheck::kAuthFailed:
      case CryptoCheck::kUnsupported:
        FailEntry(e, kZipDamagedEntry);
        return;
      case CryptoCheck::kReadFailed:
        FailEntry(e, kZipDamagedEntry, errno);
        return;
      case CryptoCheck::kNoMemory:
        FailEntry(e, kZipCannotWrite, ENOMEM);
        return;
      case CryptoCheck::kSinkStopped:
        // Stopped by another entry's failure, or the temporary could not be made (recorded).
        if (writeFailed) FailEntry(e, kZipCannotWrite, error);
        return;
    }
    if (hold) {
      j.held = true;
      if (progress_ != nullptr) {
        progress_->BytesWritten(j.size);
        progress_->FileFinished();
      }
      return;
    }
    if (!e.opened && !OpenHere(e)) return;  // an empty entry
    Finished(e);
  }

  // ---- finished files ------------------------------------------------------------------

  // Hands a complete, checked file to the syncs; waits while too many wait for theirs.
  void Finished(Entry& e) {
    if (progress_ != nullptr) progress_->FileFinished();
    if (syncByWriter_) {
      {
        std::lock_guard lock(mutex_);
        if (stop_) return;
        e.handed = true;
      }
      Sync(e, false);
      return;
    }
    std::unique_lock lock(mutex_);
    syncCv_.wait(lock, [&] { return stop_ || syncQueue_.size() < kSyncBacklog; });
    if (stop_) return;
    e.handed = true;
    syncQueue_.push_back(&e);
    lock.unlock();
    syncCv_.notify_all();
  }

  void SyncLoop() {
    for (;;) {
      Entry* e = nullptr;
      bool stopped = false;
      {
        std::unique_lock lock(mutex_);
        syncCv_.wait(lock, [&] { return syncClosed_ || !syncQueue_.empty(); });
        if (syncQueue_.empty()) return;
        e = syncQueue_.front();
        syncQueue_.pop_front();
        stopped = stop_;
      }
      syncCv_.notify_all();
      Sync(*e, stopped);
    }
  }

  // Gives a handed file its time and permissions, syncs and closes it (only closes it when
  // the extraction was stopped). When the caller syncs, the file's writing back is started
  // (what went past the cache or was started already has nothing left to start).
  void Sync(Entry& e, bool stopped) {
    ExtractJob& j = *e.job;
    bool ok = true;
    int error = 0;
    if (!stopped) {
      if (j.mtime != 0) platform::SetTimes(e.out.fd, {j.mtime, 0}, {j.mtime, 0});
      ok = platform::SetPermissions(e.out.fd, PermissionsFor(j.target));
      if (ok && byCaller_)
        platform::StartWriteBack(e.out.fd, 0, j.size);
      else if (ok)
        ok = SyncFile(e.out.fd, j.temp);
      error = errno;
    }
    if (e.out.direct >= 0 && !platform::CloseFile(e.out.direct) && ok) {
      ok = false;
      error = errno;
    }
    e.out.direct = -1;
    if (!platform::CloseFile(e.out.fd) && ok) {
      ok = false;
      error = errno;
    }
    e.out.fd = -1;
    if (!ok && !stopped) FailEntry(e, kZipCannotWrite, error);
  }

  const std::string& archive_;
  const ExtractOptions& options_;
  ExtractProgress* progress_;
  ZipFailure& failure_;
  std::size_t pieceSize_ = 0;
  std::size_t inCapacity_ = 0;
  std::uint64_t wholeLimit_ = 0;
  int archiveFd_ = -1;
  bool syncByWriter_ = false;  // no sync thread could be started: each writer syncs its files
  bool byCaller_ = false;      // the caller syncs the temporaries: none is synced here
  std::vector<std::unique_ptr<Entry>> entries_;  // in archive order

  std::mutex mutex_;                // guards everything below, the entries' states and `failure_`
  std::condition_variable cv_;      // a piece was measured, decoded or written; a stop
  std::condition_variable syncCv_;  // the sync queue changed
  bool stop_ = false;
  std::atomic<bool> stopped_{false};  // `stop_`, for checks without the lock
  std::size_t firstOpen_ = 0;         // the entries before this one are all handed out
  std::deque<Entry*> syncQueue_;
  bool syncClosed_ = false;

  std::atomic<std::uint64_t> pieces_{0}, streamed_{0}, restarted_{0};
};

}  // namespace

std::int32_t ExtractEntries(const std::string& archive, std::vector<ExtractJob>& jobs,
                            const ExtractOptions& options, ExtractProgress* progress,
                            ZipFailure& failure, ExtractStats* stats) {
  failure = ZipFailure{};
  if (stats != nullptr) *stats = ExtractStats{};
  if (jobs.empty()) return 0;
  Extraction extraction(archive, jobs, options, progress, failure);
  return extraction.Run(stats);
}

}  // namespace verdan::archive
