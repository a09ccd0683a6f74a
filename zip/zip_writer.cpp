#include "zip/zip_writer.h"

#include <time.h>
#include <zip.h>
#include <zlib.h>

#ifdef VERDAN_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/files.h"
#include "platform/workers.h"
#include "zip/archive_check.h"
#include "zip/checksum.h"
#include "zip/zip_signatures.h"
#include "zip/zip_crypto.h"

namespace verdan::archive {
namespace {

// Level 5 of libdeflate packs as tightly as level 6 of the classic deflate and much faster.
constexpr int kDeflateLevel = 5;
// A small file (one chunk under kSmallFile bytes) is packed at level 4: on such files it
// still packs tighter than level 6 of the classic deflate, and a fifth faster than level 5;
// where thousands of them are packed that is most of the time spent.
constexpr int kSmallFileLevel = 4;
constexpr std::uint64_t kSmallFile = 256 << 10;
// zlib's usual balance, when the program is built without libdeflate.
constexpr int kZlibLevel = 6;
// A file of at least this size first has samples of its first chunk compressed quickly; when
// they do not shrink the whole file is stored, without a full compression spent on it. The
// samples are spread over the chunk so that a header of another kind does not decide alone.
constexpr std::uint64_t kProbeFrom = 256 << 10;
constexpr std::size_t kProbeSamples = 4;
constexpr std::size_t kProbeSampleBytes = 16 << 10;
constexpr int kProbeLevel = 1;
// Chunk sizes the caller may ask for.
constexpr std::size_t kMinChunk = 64 << 10;
constexpr std::size_t kMaxChunk = 16 << 20;
// Memory for the chunks in flight (read, compressed, waiting to be written), whatever the
// file sizes; with fewer cores fewer chunks are in flight.
constexpr std::uint64_t kInFlightBudget = 64ull << 20;
constexpr unsigned kMaxThreads = 8;
constexpr std::size_t kOutputBuffer = 1 << 20;
// Written data is handed to the disk as it accumulates, so that the closing sync is short.
constexpr std::uint64_t kWritebackStep = 8ull << 20;
// The empty stored block that ends every chunk but the last: at most one byte for its header
// bits, then its zero length and the length's complement. Decoding a chunk by itself appends
// a final empty stored block, which takes as many bytes.
constexpr std::size_t kMarkerBytes = 5;

// ZIP format constants.
constexpr std::uint16_t kMadeBy = (3 << 8) | 63;  // Unix, format 6.3
constexpr std::uint16_t kFlagUtf8 = 1 << 11;
constexpr std::uint32_t kExternalAttributes = 0100666u << 16;  // a regular file, rw for all
constexpr std::uint32_t kMax32 = 0xffffffffu;
// An entry this large gets ZIP64 sizes from its local header on: deflate may add a little to
// incompressible stretches, and the local header is written before the compressed size is
// known.
constexpr std::uint64_t kZip64From = kMax32 - (64ull << 20);

std::size_t CompressBound(std::size_t n) {
#ifdef VERDAN_HAVE_LIBDEFLATE
  return libdeflate_deflate_compress_bound(nullptr, n) + kMarkerBytes;
#else
  // deflateBound's bound for default settings, plus the flush marker.
  return n + (n >> 12) + (n >> 14) + (n >> 25) + 13 + 6 + kMarkerBytes;
#endif
}

// ---------------------------------------------------------------------------------------
// Compressing and decoding one chunk.

// Compresses chunks for one thread. Every chunk is compressed on its own, with no history
// of the chunk before it, so that any chunk can also be decoded on its own.
class ChunkDeflater {
 public:
  ChunkDeflater() {
#ifdef VERDAN_HAVE_LIBDEFLATE
    full_ = libdeflate_alloc_compressor(kDeflateLevel);
    small_ = libdeflate_alloc_compressor(kSmallFileLevel);
    quick_ = libdeflate_alloc_compressor(kProbeLevel);
    walkerOpen_ = inflateInit2(&walker_, -15) == Z_OK;
#else
    fullOpen_ = deflateInit2(&full_, kZlibLevel, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    quickOpen_ = deflateInit2(&quick_, kProbeLevel, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK;
#endif
  }
  ~ChunkDeflater() {
#ifdef VERDAN_HAVE_LIBDEFLATE
    if (full_) libdeflate_free_compressor(full_);
    if (small_) libdeflate_free_compressor(small_);
    if (quick_) libdeflate_free_compressor(quick_);
    if (walkerOpen_) inflateEnd(&walker_);
#else
    if (fullOpen_) deflateEnd(&full_);
    if (quickOpen_) deflateEnd(&quick_);
#endif
  }
  ChunkDeflater(const ChunkDeflater&) = delete;
  ChunkDeflater& operator=(const ChunkDeflater&) = delete;

  bool ok() const {
#ifdef VERDAN_HAVE_LIBDEFLATE
    return full_ != nullptr && small_ != nullptr && quick_ != nullptr && walkerOpen_;
#else
    return fullOpen_ && quickOpen_;
#endif
  }

  // True when samples spread over the `n` bytes at `in` shrink, taken together, under quick
  // compression. `scratch` has room for at least kProbeSampleBytes.
  bool Shrinks(const std::uint8_t* in, std::size_t n, std::uint8_t* scratch) {
    std::size_t sampled = 0, packed = 0;
    for (std::size_t k = 0; k < kProbeSamples; ++k) {
      std::size_t at = n / kProbeSamples * k;
      std::size_t len = std::min(kProbeSampleBytes, n - at);
      if (len < 2) continue;
      // Room for less than the sample: data that does not shrink does not fit (0).
      std::size_t out = QuickCompress(in + at, len, scratch, len - 1);
      sampled += len;
      packed += out > 0 ? out : len;
    }
    return packed < sampled;
  }

  // Compresses `n` bytes into `out` (room for CompressBound(n) bytes). The last chunk of an
  // entry ends the deflate stream; any other ends on a byte-aligned empty stored block that
  // is not the last, so that the next chunk's data may follow it directly. Returns the
  // length written, 0 on failure. `smallFile`: the chunk is the whole of a small file.
  std::size_t Compress(const std::uint8_t* in, std::size_t n, std::uint8_t* out, std::size_t cap,
                       bool last, bool smallFile) {
#ifdef VERDAN_HAVE_LIBDEFLATE
    if (cap < kMarkerBytes) return 0;
    std::size_t len = libdeflate_deflate_compress(smallFile && last ? small_ : full_, in, n, out,
                                                  cap - kMarkerBytes);
    if (len == 0 || last) return len;
    return ContinueStream(out, len, n) ? len : 0;
#else
    (void)smallFile;
    return RunZlib(full_, in, n, out, cap, last);
#endif
  }

 private:
#ifdef VERDAN_HAVE_LIBDEFLATE
  // libdeflate only writes whole streams, whose last block carries the final mark. To let the
  // stream go on, the last block is found by decoding the stream block by block (which also
  // checks that it gives back `expected` bytes), its final mark is cleared, and an empty
  // stored block is appended at the next byte boundary. `n` grows by at most kMarkerBytes.
  bool ContinueStream(std::uint8_t* data, std::size_t& n, std::size_t expected) {
    if (inflateReset(&walker_) != Z_OK) return false;
    walker_.next_in = data;
    walker_.avail_in = static_cast<uInt>(n);
    std::uint64_t header = 0;  // bit position of the header of the block being decoded
    std::uint64_t end = 0;     // bit position just after the last block
    std::uint64_t produced = 0;
    for (;;) {
      walker_.next_out = scratch_;
      walker_.avail_out = sizeof scratch_;
      int rc = inflate(&walker_, Z_BLOCK);
      produced += sizeof scratch_ - walker_.avail_out;
      if (rc != Z_OK) return false;  // the stream stops before its last block ends
      if (walker_.data_type & 128) {
        // Stopped at a block boundary; bit 6 tells that the block just ended was the last.
        std::uint64_t here = static_cast<std::uint64_t>(walker_.next_in - data) * 8 -
                             static_cast<unsigned>(walker_.data_type & 7);
        if (walker_.data_type & 64) {
          end = here;
          break;
        }
        header = here;
      }
    }
    if (produced != expected || (end + 7) / 8 != n) return false;
    data[header / 8] = static_cast<std::uint8_t>(data[header / 8] & ~(1u << (header % 8)));
    unsigned used = static_cast<unsigned>(end % 8);  // bits of the last byte in use
    if (used != 0) data[n - 1] = static_cast<std::uint8_t>(data[n - 1] & ((1u << used) - 1));
    // The stored block's three header bits fit in the last byte when at least three are free.
    if (used == 0 || used > 5) data[n++] = 0;
    static constexpr std::uint8_t kEmptyLength[] = {0x00, 0x00, 0xff, 0xff};
    std::memcpy(data + n, kEmptyLength, sizeof kEmptyLength);
    n += sizeof kEmptyLength;
    return true;
  }

  std::size_t QuickCompress(const std::uint8_t* in, std::size_t n, std::uint8_t* out,
                            std::size_t cap) {
    return libdeflate_deflate_compress(quick_, in, n, out, cap);
  }

  libdeflate_compressor* full_ = nullptr;
  libdeflate_compressor* small_ = nullptr;
  libdeflate_compressor* quick_ = nullptr;
  z_stream walker_{};
  bool walkerOpen_ = false;
  std::uint8_t scratch_[64 << 10];
#else
  // zlib ends a chunk that is not the last with a sync flush, which is the same empty stored
  // block.
  static std::size_t RunZlib(z_stream& zs, const std::uint8_t* in, std::size_t n, std::uint8_t* out,
                             std::size_t cap, bool last) {
    if (deflateReset(&zs) != Z_OK) return 0;
    zs.next_in = const_cast<std::uint8_t*>(in);
    zs.avail_in = static_cast<uInt>(n);
    zs.next_out = out;
    zs.avail_out = static_cast<uInt>(cap);
    int rc = deflate(&zs, last ? Z_FINISH : Z_SYNC_FLUSH);
    bool ok = last ? rc == Z_STREAM_END : rc == Z_OK && zs.avail_in == 0 && zs.avail_out > 0;
    return ok ? cap - zs.avail_out : 0;
  }
  std::size_t QuickCompress(const std::uint8_t* in, std::size_t n, std::uint8_t* out,
                            std::size_t cap) {
    return RunZlib(quick_, in, n, out, cap, true);
  }

  z_stream full_{};
  z_stream quick_{};
  bool fullOpen_ = false;
  bool quickOpen_ = false;
#endif
};

// Decodes single chunks of an entry's deflate stream, for the check of a written archive.
class ChunkInflater {
 public:
  ChunkInflater() {
#ifdef VERDAN_HAVE_LIBDEFLATE
    d_ = libdeflate_alloc_decompressor();
#else
    open_ = inflateInit2(&zs_, -15) == Z_OK;
#endif
  }
  ~ChunkInflater() {
#ifdef VERDAN_HAVE_LIBDEFLATE
    if (d_) libdeflate_free_decompressor(d_);
#else
    if (open_) inflateEnd(&zs_);
#endif
  }
  ChunkInflater(const ChunkInflater&) = delete;
  ChunkInflater& operator=(const ChunkInflater&) = delete;
  bool ok() const {
#ifdef VERDAN_HAVE_LIBDEFLATE
    return d_ != nullptr;
#else
    return open_;
#endif
  }

  // True when the `n` bytes at `in` (followed by kMarkerBytes bytes of room) decode to exactly
  // `size` bytes in `out`, using every byte: as the end of the stream for the last chunk, and
  // for any other chunk as blocks none of which is the last. A final empty stored block is
  // appended to such a chunk so that it decodes as a stream of its own.
  bool Decode(std::uint8_t* in, std::size_t n, bool last, std::uint8_t* out, std::size_t size) {
    if (!last) {
      static constexpr std::uint8_t kFinalEmpty[kMarkerBytes] = {0x01, 0x00, 0x00, 0xff, 0xff};
      std::memcpy(in + n, kFinalEmpty, kMarkerBytes);
      n += kMarkerBytes;
    }
#ifdef VERDAN_HAVE_LIBDEFLATE
    std::size_t usedIn = 0, usedOut = 0;
    return libdeflate_deflate_decompress_ex(d_, in, n, out, size, &usedIn, &usedOut) ==
               LIBDEFLATE_SUCCESS &&
           usedIn == n && usedOut == size;
#else
    if (inflateReset(&zs_) != Z_OK) return false;
    std::uint8_t spare = 0;
    zs_.next_in = in;
    zs_.avail_in = static_cast<uInt>(n);
    zs_.next_out = size > 0 ? out : &spare;
    zs_.avail_out = static_cast<uInt>(size > 0 ? size : 1);
    int rc = inflate(&zs_, Z_FINISH);
    return rc == Z_STREAM_END && zs_.avail_in == 0 && zs_.total_out == size;
#endif
  }

 private:
#ifdef VERDAN_HAVE_LIBDEFLATE
  libdeflate_decompressor* d_ = nullptr;
#else
  z_stream zs_{};
  bool open_ = false;
#endif
};

// ---------------------------------------------------------------------------------------
// The entries and chunks of one archive.

enum class Method : std::uint8_t { kUndecided, kDeflate, kStore };

void DosTime(std::time_t t, std::uint16_t& time, std::uint16_t& date);
bool IsUtf8BeyondAscii(const std::string& s);

struct Entry {
  const PackFile* file = nullptr;
  // Set by the thread that opens the file, before its chunks are published under the
  // pipeline's lock; read after them.
  int fd = -1;                // the one descriptor every piece of the file is read through
  int openError = 0;          // errno when the file could not be opened as a regular file
  platform::FileInfo opened;  // the file as it was when opened: size, times, device and inode
  bool unsettled = false;     // changed too recently to tell a later change: read again
  std::uint64_t size = 0;
  std::size_t firstChunk = 0;
  std::size_t chunkCount = 0;
  bool zip64 = false;
  std::uint16_t flags = 0;
  std::uint16_t dosTime = 0;
  std::uint16_t dosDate = 0;
  bool aes = false;  // encrypted under the archive's password
  // Made with fresh salt and keys by the thread that reads the first chunk (the derivation
  // is slow on purpose, so it runs beside the others); used by the writer, in order.
  std::unique_ptr<AesEntryEncryptor> cipher;
  // What the writer keeps of them for the check of the written archive: the salt and
  // verifier written, and the keys derived from them.
  std::array<std::uint8_t, 16 + kAesVerifierBytes> prefix{};
  std::array<std::uint8_t, kAes256Derived> keys{};
  // Decided by the thread that compresses the first chunk, under the pipeline's lock; read by
  // the threads of later chunks under it, and by the writer once the first chunk is done.
  Method method = Method::kUndecided;
  // The writer's own.
  int attempts = 0;
  std::uint32_t crc = 0;
  std::uint64_t compressedSize = 0;
  std::uint64_t headerOffset = 0;
};

struct Chunk {
  std::size_t entry = 0;
  std::uint64_t offset = 0;  // in the file
  std::size_t length = 0;
  bool first = false;
  bool last = false;
  // Results, set under the pipeline's lock.
  bool done = false;
  bool failed = false;
  bool changed = false;  // the file was shorter than when it was opened
  int error = 0;         // errno of a failed read
  // The entry's keys could not be made.
  bool noCipher = false;
  bool stored = false;
  std::uint32_t crc = 0;
  std::size_t packedLength = 0;
  // Where the chunk's bytes start within the entry's data; set by the writer.
  std::uint64_t packedOffset = 0;
};

// Reads `n` bytes at `offset` of `fd`. Returns 1 when read, 0 when the file ended first
// (it shrank), -1 when it could not be read (errno set).
int ReadAt(int fd, std::uint64_t offset, std::uint8_t* out, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    std::int64_t r = platform::ReadAt(fd, out + done, n - done, offset + done);
    if (r < 0) return -1;
    if (r == 0) return 0;
    done += static_cast<std::size_t>(r);
  }
  return 1;
}

// True when a change made to the file from now on gets a change time other than the one in
// `st`. File systems stamp changes with a clock that advances in ticks (a few milliseconds),
// and some keep whole seconds only: a file changed within the current tick could change
// again without its times showing it. A change time ahead of the clock by more than a second
// comes from a server whose clock differs and says nothing either way.
bool TimesTellChanges(const platform::FileInfo& st) {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  platform::FileTime changed = st.changed;
  if (st.changed.nanoseconds == 0 && st.modified.nanoseconds == 0)
    changed.seconds += 2;  // whole seconds
  if (changed.seconds > now.tv_sec + 1) return true;
  return changed.seconds < now.tv_sec ||
         (changed.seconds == now.tv_sec && changed.nanoseconds < now.tv_nsec);
}

// Opens the file of `e` once, as a regular file and never through a symbolic link (a pipe or
// device is not waited for), and cuts it into chunks by the size found then. A file changed
// within the current clock tick is given a moment until its times would show a further
// change; one that goes on changing is marked unsettled, to be read again.
void OpenEntry(Entry& e, std::size_t index, std::size_t chunkSize, bool forceZip64,
               std::vector<Chunk>& planned) {
  e.method = Method::kUndecided;
  e.unsettled = false;
  e.openError = 0;
  e.fd = platform::OpenFile(e.file->path, platform::Access::kRead, platform::Links::kNoFollow);
  if (e.fd < 0) e.openError = errno;
  if (e.fd >= 0 &&
      (!platform::InfoOf(e.fd, e.opened) || e.opened.kind != platform::FileKind::kRegular)) {
    e.openError = e.opened.kind == platform::FileKind::kDirectory ? EISDIR
                  : errno != 0                                    ? errno
                                                                  : EINVAL;
    platform::CloseFile(e.fd);
    e.fd = -1;
  }
  if (e.fd >= 0) {
    for (int wait = 0; !TimesTellChanges(e.opened); ++wait) {
      if (wait == 3 || !platform::InfoOf(e.fd, e.opened)) {
        e.unsettled = true;
        break;
      }
      const bool seconds = e.opened.changed.nanoseconds == 0 && e.opened.modified.nanoseconds == 0;
      std::this_thread::sleep_for(seconds ? std::chrono::milliseconds(700)
                                          : std::chrono::milliseconds(5));
      platform::InfoOf(e.fd, e.opened);
    }
    // A file read in one piece gains nothing from the read-ahead hint; it costs a call.
    if (e.opened.size > chunkSize) platform::WillReadOnce(e.fd);
  }
  e.size = e.fd >= 0 ? e.opened.size : 0;
  e.chunkCount =
      static_cast<std::size_t>(std::max<std::uint64_t>(1, (e.size + chunkSize - 1) / chunkSize));
  e.zip64 = forceZip64 || e.size >= kZip64From;
  e.flags = IsUtf8BeyondAscii(e.file->entryName) ? kFlagUtf8 : 0;
  DosTime(e.fd >= 0 ? static_cast<std::time_t>(e.opened.modified.seconds) : e.file->mtime,
          e.dosTime, e.dosDate);
  for (std::size_t k = 0; k < e.chunkCount; ++k) {
    Chunk c;
    c.entry = index;
    c.offset = static_cast<std::uint64_t>(k) * chunkSize;
    c.length = static_cast<std::size_t>(std::min<std::uint64_t>(chunkSize, e.size - c.offset));
    c.first = k == 0;
    c.last = k + 1 == e.chunkCount;
    planned.push_back(c);
  }
}

// True when the file of `e`, read whole through its descriptor, may no longer be the state
// it was opened in: its size or times differ now, or its name names another file (it was
// replaced, as programs save), or it was unsettled when opened.
bool EntryChanged(const Entry& e) {
  if (e.unsettled) return true;
  platform::FileInfo now, named;
  if (!platform::InfoOf(e.fd, now) || now.size != e.opened.size ||
      now.modified != e.opened.modified || now.changed != e.opened.changed)
    return true;
  if (!platform::InfoAt(e.file->path, named, platform::Links::kNoFollow)) return true;
  return named.kind != platform::FileKind::kRegular || !named.SameFile(now);
}

// Compresses chunks in order on worker threads into a ring of buffers: a chunk is taken up
// only when its buffer has been handed back by the writer, which takes the chunks in order,
// so at most ring-size chunks are held at once. Files are opened one after the other as the
// workers come to them (so only the files of the chunks in flight are open), and each is
// read through its one descriptor. The writer may take the pipeline back to the start of a
// file, to read it again.
class Pipeline {
 public:
  Pipeline(std::vector<Entry>& entries, std::deque<Chunk>& chunks, std::size_t chunkSize,
           bool forceZip64, unsigned threads, std::size_t slots, const std::string& password)
      : entries_(entries),
        chunks_(chunks),
        chunkSize_(chunkSize),
        forceZip64_(forceZip64),
        outCap_(CompressBound(chunkSize)),
        password_(password) {
    slots_.resize(slots);
    for (unsigned t = 0; t < threads; ++t) deflaters_.push_back(std::make_unique<ChunkDeflater>());
  }
  ~Pipeline() {
    Stop();
    for (Entry& e : entries_) Close(e);
  }
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;

  // Starts the workers; false when a compressor could not be had. As many workers as the
  // system gives, one compressor each; with none, the writer's thread compresses each chunk
  // itself when it takes it.
  bool Start() {
    for (auto& d : deflaters_)
      if (!d->ok()) return false;
    {
      std::lock_guard lock(mutex_);
      stop_ = false;
    }
    for (auto& d : deflaters_)
      if (!workers_.Start([this, dp = d.get()] { Work(*dp); })) break;
    byWriter_ = workers_.empty();
    return true;
  }

  // Waits until chunk `i` is compressed. Returns the chunk (null when every file's chunks
  // have been taken) and in `data` its bytes (valid until Release(i)), null when it failed
  // or its file changed.
  Chunk* Take(std::size_t i, const std::uint8_t*& data) {
    if (byWriter_)
      while (!Ready(i) && Step(*deflaters_.front(), Waiting::kNo)) {
      }
    std::unique_lock lock(mutex_);
    awaited_ = i;
    doneCv_.wait(lock, [&] { return ReadyLocked(i); });
    awaited_ = kNone;
    data = nullptr;
    if (i >= chunks_.size()) return nullptr;
    Chunk& c = chunks_[i];
    if (!c.failed && !c.changed) {
      Slot& s = slots_[i % slots_.size()];
      data = c.stored ? s.in.get() : s.out.get();
    }
    return &c;
  }

  void Release(std::size_t i) {
    {
      std::lock_guard lock(mutex_);
      released_ = i + 1;
    }
    slotCv_.notify_all();  // a buffer came free; a worker may also open the next file
  }

  // Closes the file of an entry whose chunks have all been taken.
  void Done(Entry& e) { Close(e); }

  // Stops the workers and forgets every chunk from the first one of entry `index` on, and
  // closes the files opened since; Start goes on with that entry, opened anew.
  void Rewind(std::size_t index) {
    Stop();
    std::lock_guard lock(mutex_);
    for (std::size_t k = index; k < planned_; ++k) Close(entries_[k]);
    chunks_.resize(entries_[index].firstChunk);
    planned_ = index;
    next_ = released_ = chunks_.size();
  }

  void Stop() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    slotCv_.notify_all();
    decisionCv_.notify_all();
    workers_.Join();
  }

 private:
  struct Slot {
    std::unique_ptr<std::uint8_t[]> in;
    std::unique_ptr<std::uint8_t[]> out;
  };

  static void Close(Entry& e) {
    if (e.fd >= 0) platform::CloseFile(e.fd);
    e.fd = -1;
  }

  // Chunk `i` is compressed, or there is no such chunk and will be none.
  bool ReadyLocked(std::size_t i) const {
    return (i < chunks_.size() && chunks_[i].done) ||
           (i >= chunks_.size() && planned_ == entries_.size());
  }
  bool Ready(std::size_t i) {
    std::lock_guard lock(mutex_);
    return ReadyLocked(i);
  }

  void Work(ChunkDeflater& deflater) {
    while (Step(deflater, Waiting::kYes)) {
    }
  }

  enum class Waiting { kYes, kNo };

  // Opens the next file or compresses the next chunk; false at the end (or when stopped),
  // and, without `waiting`, also when nothing can be done yet.
  bool Step(ChunkDeflater& deflater, Waiting waiting) {
    {
      std::size_t i;
      Chunk* c;
      {
        std::unique_lock lock(mutex_);
        // A chunk may be taken up (or the next file opened for one) when its buffer is free.
        auto canGo = [&] {
          return stop_ || Finished() ||
                 (next_ < released_ + slots_.size() && (next_ < chunks_.size() || !opening_));
        };
        if (waiting == Waiting::kYes)
          slotCv_.wait(lock, canGo);
        else if (!canGo())
          return false;
        if (stop_ || Finished()) {
          slotCv_.notify_all();  // the idle threads see the end too
          return false;
        }
        if (next_ == chunks_.size()) {
          // Opening may wait a moment for a file just changed; the others go on meanwhile.
          const std::size_t index = planned_;
          opening_ = true;
          lock.unlock();
          std::vector<Chunk> planned;
          OpenEntry(entries_[index], index, chunkSize_, forceZip64_, planned);
          lock.lock();
          entries_[index].firstChunk = chunks_.size();
          for (const Chunk& p : planned) chunks_.push_back(p);
          ++planned_;
          opening_ = false;
          // The writer only hears of it when it lets the writer go on (at the end of the
          // files); a wake-up for every file would only cost it a turn.
          const bool wake = WriterMayGoOn();
          lock.unlock();
          slotCv_.notify_all();
          if (wake) doneCv_.notify_one();
          return true;
        }
        i = next_++;
        c = &chunks_[i];
      }
      Process(deflater, *c, slots_[i % slots_.size()]);
      return true;
    }
  }

  // Every file opened and every chunk taken up.
  bool Finished() const { return planned_ == entries_.size() && next_ >= chunks_.size(); }

  // Decides an entry's method, under the lock, and wakes the threads waiting for it.
  void Decide(Entry& e, Method m) {
    {
      std::lock_guard lock(mutex_);
      e.method = m;
    }
    decisionCv_.notify_all();
  }

  void Process(ChunkDeflater& deflater, Chunk& c, Slot& slot) {
    Entry& e = entries_[c.entry];
    bool ok = true;
    bool changed = false;
    int error = 0;
    try {
      // Buffers are made on first use and kept: reused memory costs no page faults.
      if (!slot.in) slot.in.reset(new std::uint8_t[chunkSize_]);
      if (!slot.out) slot.out.reset(new std::uint8_t[outCap_]);
    } catch (const std::bad_alloc&) {
      ok = false;
      error = ENOMEM;
    }
    if (ok && e.fd < 0) {
      ok = false;
      error = e.openError;
    }
    if (ok) {
      int read = ReadAt(e.fd, c.offset, slot.in.get(), c.length);
      if (read < 0) error = errno;
      changed = read == 0;  // shorter than when it was opened: it is being written
      ok = read > 0;
    }
    std::uint32_t crc = ok ? Crc(0, slot.in.get(), c.length) : 0;
    bool noCipher = false;
    if (ok && c.first && e.aes) {
      try {
        e.cipher = std::make_unique<AesEntryEncryptor>();
        noCipher = !e.cipher->Begin(password_);
      } catch (const std::bad_alloc&) {
        noCipher = true;
      }
      ok = !noCipher;
    }

    Method method = Method::kDeflate;
    if (c.first) {
      if (ok && (e.chunkCount > 1 || e.size >= kProbeFrom) &&
          !deflater.Shrinks(slot.in.get(), c.length, slot.out.get()))
        method = Method::kStore;
      if (e.chunkCount > 1) Decide(e, method);  // the later chunks wait for this
    } else {
      std::unique_lock lock(mutex_);
      decisionCv_.wait(lock, [&] { return stop_ || e.method != Method::kUndecided; });
      method = e.method;
      ok = ok && method != Method::kUndecided;
    }

    bool stored = method == Method::kStore;
    std::size_t packed = c.length;
    if (ok && !stored) {
      packed = deflater.Compress(slot.in.get(), c.length, slot.out.get(), outCap_, c.last,
                                 c.first && c.last && e.size < kSmallFile);
      ok = packed > 0;
      // A whole file that does not shrink is stored, as zip tools do.
      if (ok && c.first && c.last && packed >= c.length) {
        stored = true;
        packed = c.length;
      }
    }
    if (c.first && c.last) Decide(e, stored ? Method::kStore : Method::kDeflate);

    bool wake;
    {
      std::lock_guard lock(mutex_);
      c.failed = !ok && !changed;
      c.changed = changed;
      c.noCipher = noCipher;
      c.error = error;
      c.stored = stored;
      c.crc = crc;
      c.packedLength = packed;
      c.done = true;
      wake = WriterMayGoOn();
    }
    if (wake) doneCv_.notify_one();
  }

  // True when the writer waits and should be woken: the chunk it waits for is ready, and
  // so are the next few, or the workers can take up no more chunks until it hands buffers
  // back, or no more chunks will come. Waking it for each chunk of many small files would
  // cost it (and the core it is woken on) a turn for every one.
  bool WriterMayGoOn() const {
    if (awaited_ == kNone || !ReadyLocked(awaited_)) return false;
    const std::size_t batch = std::max<std::size_t>(1, slots_.size() / 2);
    std::size_t ready = 0;
    for (std::size_t j = awaited_; j < chunks_.size() && chunks_[j].done && ready < batch; ++j)
      ++ready;
    return ready >= batch || next_ >= released_ + slots_.size() || Finished() || stop_;
  }

  std::vector<Entry>& entries_;
  std::deque<Chunk>& chunks_;
  std::size_t chunkSize_;
  bool forceZip64_;
  std::size_t outCap_;
  const std::string& password_;
  std::vector<Slot> slots_;
  std::vector<std::unique_ptr<ChunkDeflater>> deflaters_;
  platform::Workers workers_;
  bool byWriter_ = false;  // no worker could be started: Take does the work
  static constexpr std::size_t kNone = ~std::size_t{0};

  std::mutex mutex_;
  std::condition_variable doneCv_;      // the writer waits for the chunk it takes next
  std::condition_variable slotCv_;      // workers wait for a free buffer
  std::condition_variable decisionCv_;  // workers wait for an entry's method
  std::size_t awaited_ = kNone;         // the chunk the writer waits for
  std::size_t next_ = 0;                // the next chunk to take up
  std::size_t released_ = 0;            // chunks the writer is done with
  std::size_t planned_ = 0;             // entries opened and cut into chunks
  bool opening_ = false;                // a worker is opening the next file
  bool stop_ = false;
};

// ---------------------------------------------------------------------------------------
// The archive file.

// Sequential, buffered writing with patches to what was written before. Large pieces go to
// the file directly; written data is handed to the disk as it accumulates.
class Output {
 public:
  explicit Output(int fd) : fd_(fd) { buffer_.reserve(kOutputBuffer); }

  std::uint64_t Offset() const { return flushed_ + buffer_.size(); }
  bool failed() const { return failed_; }
  int error() const { return error_; }  // errno of the write that failed

  void Write(const void* data, std::size_t n) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    if (failed_) return;
    if (buffer_.size() + n > kOutputBuffer || n >= kOutputBuffer / 2) Flush();
    if (n >= kOutputBuffer / 2) {
      if (!failed_ && !platform::WriteAll(fd_, p, n)) Failed();
      flushed_ += n;
      Writeback();
    } else {
      buffer_.insert(buffer_.end(), p, p + n);
    }
  }

  void Patch(std::uint64_t at, const void* data, std::size_t n) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    if (failed_) return;
    if (at >= flushed_) {
      std::memcpy(buffer_.data() + (at - flushed_), p, n);
      return;
    }
    if (at + n > flushed_) Flush();
    if (!platform::WriteAllAt(fd_, p, n, at)) Failed();
  }

  // Cuts what was written back to `at` bytes; writing goes on from there.
  void Truncate(std::uint64_t at) {
    if (failed_) return;
    if (at >= flushed_) {
      buffer_.resize(static_cast<std::size_t>(at - flushed_));
      return;
    }
    buffer_.clear();
    if (!platform::SetFileSize(fd_, at) || !platform::SetPosition(fd_, at)) {
      Failed();
      return;
    }
    flushed_ = at;
    writtenBack_ = std::min(writtenBack_, at);
  }

  void Flush() {
    if (failed_ || buffer_.empty()) return;
    if (!platform::WriteAll(fd_, buffer_.data(), buffer_.size())) Failed();
    flushed_ += buffer_.size();
    buffer_.clear();
    Writeback();
  }

 private:
  void Failed() {
    failed_ = true;
    error_ = errno;
  }

  void Writeback() {
    if (flushed_ - writtenBack_ < kWritebackStep) return;
    platform::StartWriteBack(fd_, writtenBack_, flushed_ - writtenBack_);
    writtenBack_ = flushed_;
  }

  int fd_;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t flushed_ = 0;
  std::uint64_t writtenBack_ = 0;
  bool failed_ = false;
  int error_ = 0;
};

// Little-endian fields.
class Bytes {
 public:
  Bytes& U16(std::uint32_t v) {
    b_.push_back(static_cast<std::uint8_t>(v));
    b_.push_back(static_cast<std::uint8_t>(v >> 8));
    return *this;
  }
  Bytes& U32(std::uint32_t v) { return U16(v & 0xffff).U16(v >> 16); }
  Bytes& U64(std::uint64_t v) {
    return U32(static_cast<std::uint32_t>(v)).U32(static_cast<std::uint32_t>(v >> 32));
  }
  Bytes& Raw(const std::string& s) {
    b_.insert(b_.end(), s.begin(), s.end());
    return *this;
  }
  Bytes& Append(const Bytes& o) {
    b_.insert(b_.end(), o.b_.begin(), o.b_.end());
    return *this;
  }
  const std::uint8_t* data() const { return b_.data(); }
  std::size_t size() const { return b_.size(); }
  void clear() { b_.clear(); }

 private:
  std::vector<std::uint8_t> b_;
};

void DosTime(std::time_t t, std::uint16_t& time, std::uint16_t& date) {
  struct tm tm {};
  if (::localtime_r(&t, &tm) == nullptr || tm.tm_year < 80) {
    time = 0;
    date = (1 << 5) | 1;  // 1 January 1980, the earliest the format holds
    return;
  }
  if (tm.tm_year > 207) tm.tm_year = 207;
  time = static_cast<std::uint16_t>((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));
  date = static_cast<std::uint16_t>(((tm.tm_year - 80) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
}

// Names that are valid UTF-8 beyond ASCII are marked as UTF-8; others are written as they are.
bool IsUtf8BeyondAscii(const std::string& s) {
  bool beyond = false;
  for (std::size_t i = 0; i < s.size();) {
    auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xc0) != 0x80) return false;
    beyond = beyond || n > 1;
    i += n;
  }
  return beyond;
}

std::uint16_t MethodCode(const Entry& e) { return e.method == Method::kStore ? 0 : 8; }
// An encrypted entry names the AES method in its headers and its own in the AES field.
std::uint16_t HeaderMethod(const Entry& e) { return e.aes ? kAesMethod : MethodCode(e); }
// Encrypted entries carry no CRC: the authentication code checks them.
std::uint32_t HeaderCrc(const Entry& e) { return e.aes ? 0 : e.crc; }
std::uint16_t VersionNeeded(const Entry& e) {
  return e.aes ? 51 : e.zip64 ? 45 : e.method == Method::kStore ? 10 : 20;
}
constexpr std::uint16_t kFlagEncrypted = 1;

// The AES field: version 2, "AE", AES-256, the entry's own method.
void AesExtra(const Entry& e, Bytes& b) {
  if (!e.aes) return;
  const std::uint16_t method = MethodCode(e);
  b.U16(kAesExtraId).U16(kAesExtraSize).U16(2).Raw("AE");
  b.Raw(std::string{char{3}, static_cast<char>(method & 0xff), static_cast<char>(method >> 8)});
}

// The local header; the CRC and compressed size are patched in when the entry is complete.
void LocalHeader(const Entry& e, Bytes& b) {
  const std::string& name = e.file->entryName;
  const std::uint32_t aesExtra = e.aes ? 4 + kAesExtraSize : 0;
  b.U32(kLocalHeaderSig)
      .U16(VersionNeeded(e))
      .U16(e.flags | (e.aes ? kFlagEncrypted : 0))
      .U16(HeaderMethod(e))
      .U16(e.dosTime)
      .U16(e.dosDate)
      .U32(HeaderCrc(e));
  if (e.zip64) {
    b.U32(kMax32).U32(kMax32).U16(static_cast<std::uint32_t>(name.size())).U16(20 + aesExtra);
    b.Raw(name).U16(1).U16(16).U64(e.size).U64(e.compressedSize);
  } else {
    b.U32(static_cast<std::uint32_t>(e.compressedSize))
        .U32(static_cast<std::uint32_t>(e.size))
        .U16(static_cast<std::uint32_t>(name.size()))
        .U16(aesExtra)
        .Raw(name);
  }
  AesExtra(e, b);
}

void CentralHeader(const Entry& e, Bytes& b) {
  const std::string& name = e.file->entryName;
  bool bigOffset = e.headerOffset >= kMax32;
  Bytes extra;
  if (e.zip64) extra.U64(e.size).U64(e.compressedSize);
  if (bigOffset) extra.U64(e.headerOffset);
  Bytes aes;
  AesExtra(e, aes);
  std::uint16_t extraLength =
      static_cast<std::uint16_t>((extra.size() ? extra.size() + 4 : 0) + aes.size());
  b.U32(kCentralHeaderSig)
      .U16(kMadeBy)
      .U16(bigOffset ? std::max<std::uint16_t>(45, VersionNeeded(e)) : VersionNeeded(e))
      .U16(e.flags | (e.aes ? kFlagEncrypted : 0))
      .U16(HeaderMethod(e))
      .U16(e.dosTime)
      .U16(e.dosDate)
      .U32(HeaderCrc(e))
      .U32(e.zip64 ? kMax32 : static_cast<std::uint32_t>(e.compressedSize))
      .U32(e.zip64 ? kMax32 : static_cast<std::uint32_t>(e.size))
      .U16(static_cast<std::uint32_t>(name.size()))
      .U16(extraLength)
      .U16(0)
      .U16(0)
      .U16(0)
      .U32(kExternalAttributes)
      .U32(bigOffset ? kMax32 : static_cast<std::uint32_t>(e.headerOffset))
      .Raw(name);
  if (extra.size()) b.U16(1).U16(static_cast<std::uint32_t>(extra.size())).Append(extra);
  b.Append(aes);
}

// The end of the central directory, in its ZIP64 form as well when the counts or offsets need
// it (or when asked for).
void EndOfDirectory(std::uint64_t count, std::uint64_t cdOffset, std::uint64_t cdSize, bool force,
                    Bytes& b) {
  if (force || count >= 0xffff || cdOffset >= kMax32 || cdSize >= kMax32) {
    b.U32(kZip64EndSig)
        .U64(44)
        .U16(kMadeBy)
        .U16(45)
        .U32(0)
        .U32(0)
        .U64(count)
        .U64(count)
        .U64(cdSize)
        .U64(cdOffset);
    b.U32(kZip64LocatorSig).U32(0).U64(cdOffset + cdSize).U32(1);
  }
  auto count16 = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, 0xffff));
  b.U32(kEndSig)
      .U16(0)
      .U16(0)
      .U16(count16)
      .U16(count16)
      .U32(static_cast<std::uint32_t>(std::min<std::uint64_t>(cdSize, kMax32)))
      .U32(static_cast<std::uint32_t>(std::min<std::uint64_t>(cdOffset, kMax32)))
      .U16(0);
}

// ---------------------------------------------------------------------------------------
// Reading the archive back.

// Reads the written archive for libzip through one shared descriptor, with a window read
// ahead: the check walks the archive from front to back, so the many small headers and
// chunks come from the window instead of costing a system call each. Reads larger than the
// window go to the file directly.
class ArchiveSource {
 public:
  ArchiveSource(int fd, std::uint64_t size) : fd_(fd), size_(size) { zip_error_init(&error_); }
  ~ArchiveSource() { zip_error_fini(&error_); }
  ArchiveSource(const ArchiveSource&) = delete;
  ArchiveSource& operator=(const ArchiveSource&) = delete;

  // A libzip archive reading through this source (which must outlive it); null on failure.
  zip_t* Open(int flags) {
    zip_source_t* src = zip_source_function_create(&ArchiveSource::Command, this, nullptr);
    if (src == nullptr) return nullptr;
    zip_error_t err;
    zip_error_init(&err);
    zip_t* za = zip_open_from_source(src, flags, &err);
    zip_error_fini(&err);
    if (za == nullptr) zip_source_free(src);
    return za;
  }

 private:
  static constexpr std::size_t kWindow = 256 << 10;

  static zip_int64_t Command(void* state, void* data, zip_uint64_t len, zip_source_cmd_t cmd) {
    auto* self = static_cast<ArchiveSource*>(state);
    switch (cmd) {
      case ZIP_SOURCE_OPEN:
        self->pos_ = 0;
        return 0;
      case ZIP_SOURCE_READ:
        return self->Read(static_cast<std::uint8_t*>(data), len);
      case ZIP_SOURCE_CLOSE:
      case ZIP_SOURCE_FREE:
        return 0;
      case ZIP_SOURCE_STAT: {
        if (len < sizeof(zip_stat_t)) break;
        auto* st = static_cast<zip_stat_t*>(data);
        zip_stat_init(st);
        st->size = self->size_;
        st->valid |= ZIP_STAT_SIZE;
        return sizeof(zip_stat_t);
      }
      case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&self->error_, data, len);
      case ZIP_SOURCE_SEEK: {
        zip_int64_t at =
            zip_source_seek_compute_offset(self->pos_, self->size_, data, len, &self->error_);
        if (at < 0) return -1;
        self->pos_ = static_cast<std::uint64_t>(at);
        return 0;
      }
      case ZIP_SOURCE_TELL:
        return static_cast<zip_int64_t>(self->pos_);
      case ZIP_SOURCE_SUPPORTS:
        return ZIP_SOURCE_SUPPORTS_SEEKABLE;
      default:
        break;
    }
    zip_error_set(&self->error_, ZIP_ER_OPNOTSUPP, 0);
    return -1;
  }

  zip_int64_t Read(std::uint8_t* out, zip_uint64_t len) {
    if (pos_ >= size_) return 0;
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(len, size_ - pos_));
    if (n >= kWindow) {
      int r = ReadAt(fd_, pos_, out, n);
      if (r <= 0) return Failed(r < 0 ? errno : 0);
      pos_ += n;
      return static_cast<zip_int64_t>(n);
    }
    if (pos_ < windowAt_ || pos_ + n > windowAt_ + windowLength_) {
      if (window_.empty()) window_.resize(kWindow);
      windowAt_ = pos_;
      windowLength_ = static_cast<std::size_t>(std::min<std::uint64_t>(kWindow, size_ - pos_));
      int r = ReadAt(fd_, windowAt_, window_.data(), windowLength_);
      if (r <= 0) {
        windowLength_ = 0;
        return Failed(r < 0 ? errno : 0);
      }
    }
    std::memcpy(out, window_.data() + (pos_ - windowAt_), n);
    pos_ += n;
    return static_cast<zip_int64_t>(n);
  }

  zip_int64_t Failed(int systemError) {
    zip_error_set(&error_, ZIP_ER_READ, systemError);
    return -1;
  }

  int fd_;
  std::uint64_t size_;
  std::uint64_t pos_ = 0;
  std::vector<std::uint8_t> window_;
  std::uint64_t windowAt_ = 0;
  std::size_t windowLength_ = 0;
  zip_error_t error_;
};

// Reads chunk `c` through the archive's directory and decodes it; true when it gives back the
// data it was made from.
bool CheckChunk(zip_t* za, const Chunk& c, std::uint8_t* in, std::uint8_t* out,
                ChunkInflater& inflater) {
  zip_file_t* zf = zip_fopen_index(za, c.entry, ZIP_FL_COMPRESSED);
  if (zf == nullptr) return false;
  bool ok =
      c.packedOffset == 0 || zip_fseek(zf, static_cast<zip_int64_t>(c.packedOffset), SEEK_SET) == 0;
  std::size_t got = 0;
  while (ok && got < c.packedLength) {
    zip_int64_t n = zip_fread(zf, in + got, c.packedLength - got);
    if (n <= 0) ok = false;
    got += n > 0 ? static_cast<std::size_t>(n) : 0;
  }
  zip_fclose(zf);
  if (!ok) return false;
  if (c.stored) return Crc(0, in, c.packedLength) == c.crc;
  return inflater.Decode(in, c.packedLength, c.last, out, c.length) &&
         Crc(0, out, c.length) == c.crc;
}

// Reads an encrypted archive back through its own directory records: every entry must carry
// the AES field as written, its salt and password verifier as written, and the
// authentication code over what is in the file; then every chunk is decrypted at its place and
// decoded by itself to the CRC of the data it was made from. The keys are the ones the writer
// derived for each entry (deriving them is slow on purpose, and the same again here).
PackResult VerifyEncrypted(const std::string& path, const std::vector<Entry>& entries,
                           const std::deque<Chunk>& chunks, std::size_t chunkSize,
                           unsigned threads) {
  ZipFailure layout;
  std::vector<EntryPlace> places;
  if (CheckEntryLayout(path, layout, &places) != 0 || places.size() != entries.size())
    return PackResult::kVerifyFailed;
  const std::size_t prefix = AesEntryEncryptor::PrefixBytes();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const EntryEncryption& how = places[i].encryption;
    if (places[i].name != entries[i].file->entryName ||
        places[i].compressed != entries[i].compressedSize || !how.encrypted ||
        how.method != kAesMethod || how.aesVersion != 2 || how.aesStrength != 3 ||
        how.aesMethod != MethodCode(entries[i]) || how.crc != 0 || how.size != entries[i].size)
      return PackResult::kVerifyFailed;
  }
  std::vector<std::array<std::uint8_t, 32>> keys(entries.size());
  std::atomic<int> outcome{static_cast<int>(PackResult::kOk)};
  auto fail = [&](PackResult r) {
    int expected = static_cast<int>(PackResult::kOk);
    outcome.compare_exchange_strong(expected, static_cast<int>(r));
  };
  auto going = [&] { return outcome.load() == static_cast<int>(PackResult::kOk); };
  threads = static_cast<unsigned>(std::clamp<std::size_t>(chunks.size(), 1, threads));

  // First the keys and the authentication code of every entry, entries side by side.
  std::atomic<std::size_t> next{0};
  auto authenticate = [&](std::size_t) {
    try {
      int fd = platform::OpenFile(path, platform::Access::kRead);
      if (fd < 0) return fail(PackResult::kVerifyFailed);
      std::vector<std::uint8_t> buf(kOutputBuffer);
      while (going()) {
        std::size_t i = next.fetch_add(1);
        if (i >= entries.size()) break;
        const std::uint64_t at = places[i].data;
        const std::uint64_t length = places[i].compressed - kAes256Overhead;
        // The keys the writer derived, for the salt and verifier it wrote; the salt read back
        // must be that one.
        AesEntryKeys k;
        bool ok = ReadAt(fd, at, buf.data(), prefix) > 0 &&
                  std::memcmp(buf.data(), entries[i].prefix.data(), prefix) == 0 &&
                  k.Adopt(entries[i].keys.data(), buf.data() + 16) == CryptoCheck::kOk;
        for (std::uint64_t done = 0; ok && done < length;) {
          std::size_t n =
              static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), length - done));
          ok = ReadAt(fd, at + prefix + done, buf.data(), n) > 0 && k.Authenticate(buf.data(), n);
          done += n;
        }
        ok = ok && ReadAt(fd, at + prefix + length, buf.data(), kAesCodeBytes) > 0 &&
             k.CodeMatches(buf.data());
        if (!ok) fail(PackResult::kVerifyFailed);
        if (ok) std::memcpy(keys[i].data(), k.Key(), keys[i].size());
      }
      platform::CloseFile(fd);
    } catch (const std::exception&) {
      fail(PackResult::kCannotWrite);
    }
  };
  platform::RunOnWorkers(threads, authenticate);

  // Then every chunk, decrypted at its offset within the entry's data.
  next = 0;
  auto check = [&](std::size_t) {
    try {
      int fd = platform::OpenFile(path, platform::Access::kRead);
      if (fd < 0) return fail(PackResult::kVerifyFailed);
      ChunkInflater inflater;
      AesCtr ctr;
      std::unique_ptr<std::uint8_t[]> in(new std::uint8_t[CompressBound(chunkSize)]);
      std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[chunkSize]);
      if (!inflater.ok()) fail(PackResult::kCannotWrite);
      while (going()) {
        std::size_t i = next.fetch_add(1);
        if (i >= chunks.size()) break;
        const Chunk& c = chunks[i];
        bool ok = ctr.Init(keys[c.entry].data(), keys[c.entry].size()) &&
                  (c.packedLength == 0 || ReadAt(fd, places[c.entry].data + prefix + c.packedOffset,
                                                 in.get(), c.packedLength) > 0) &&
                  ctr.Apply(c.packedOffset, in.get(), in.get(), c.packedLength);
        if (ok && c.stored)
          ok = Crc(0, in.get(), c.packedLength) == c.crc;
        else if (ok)
          ok = inflater.Decode(in.get(), c.packedLength, c.last, out.get(), c.length) &&
               Crc(0, out.get(), c.length) == c.crc;
        if (!ok) fail(PackResult::kVerifyFailed);
      }
      platform::CloseFile(fd);
    } catch (const std::exception&) {
      fail(PackResult::kCannotWrite);
    }
  };
  if (going()) platform::RunOnWorkers(threads, check);
  return static_cast<PackResult>(outcome.load());
}

// The directory must list the entries as they were written; each entry's chunks must follow
// one another, in the order of the file, to the end of its data; and every chunk must decode,
// by itself, to the CRC of the data it was made from. Together that is the whole entry read
// back. Chunks are checked on `threads` threads.
PackResult Verify(const std::string& path, const std::vector<Entry>& entries,
                  const std::deque<Chunk>& chunks, std::size_t chunkSize, unsigned threads,
                  const std::string& password) {
  // The archive is read back by its name, through a descriptor of its own.
  const int fd = platform::OpenFile(path, platform::Access::kRead);
  if (fd < 0) return PackResult::kVerifyFailed;
  struct CloseAtEnd {
    int fd;
    ~CloseAtEnd() { platform::CloseFile(fd); }
  } closeAtEnd{fd};
  platform::FileInfo info;
  if (!platform::InfoOf(fd, info)) return PackResult::kVerifyFailed;
  // Every thread reads through a handle and a window of its own.
  std::vector<std::unique_ptr<ArchiveSource>> sources;
  sources.push_back(std::make_unique<ArchiveSource>(fd, info.size));
  zip_t* za = sources.front()->Open(ZIP_RDONLY | ZIP_CHECKCONS);
  if (za == nullptr) return PackResult::kVerifyFailed;
  bool ok = zip_get_num_entries(za, 0) == static_cast<zip_int64_t>(entries.size());
  constexpr zip_uint64_t kNeeded =
      ZIP_STAT_NAME | ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_CRC | ZIP_STAT_COMP_METHOD;
  for (std::size_t i = 0; ok && i < entries.size(); ++i) {
    const Entry& e = entries[i];
    zip_stat_t st;
    // The CRC of an encrypted entry is 0, which the library may or may not count as given.
    const zip_uint64_t needed = e.aes ? kNeeded & ~ZIP_STAT_CRC : kNeeded;
    ok = zip_stat_index(za, i, ZIP_FL_ENC_RAW, &st) == 0 && (st.valid & needed) == needed &&
         e.file->entryName == st.name && st.size == e.size && st.comp_size == e.compressedSize &&
         (!(st.valid & ZIP_STAT_CRC) || st.crc == HeaderCrc(e)) && st.comp_method == MethodCode(e);
  }
  std::uint64_t packedAt = 0, at = 0;
  for (const Chunk& c : chunks) {
    if (c.first) packedAt = at = 0;
    ok = ok && c.packedOffset == packedAt && c.offset == at;
    packedAt += c.packedLength;
    at += c.length;
    const Entry& e = entries[c.entry];
    if (c.last)
      ok = ok && packedAt + (e.aes ? kAes256Overhead : 0) == e.compressedSize && at == e.size;
  }
  if (!ok) {
    zip_discard(za);
    return PackResult::kVerifyFailed;
  }
  if (!password.empty()) {
    zip_discard(za);
    return VerifyEncrypted(path, entries, chunks, chunkSize, threads);
  }

  threads = static_cast<unsigned>(std::clamp<std::size_t>(chunks.size(), 1, threads));
  // Every thread reads through a handle of its own, the first through the one that checked
  // the directory. The others are opened here, one after the other: opening converts the
  // entries' times through the C library's time zone state.
  std::vector<zip_t*> handles{za};
  for (unsigned t = 1; t < threads; ++t) {
    sources.push_back(std::make_unique<ArchiveSource>(fd, info.size));
    zip_t* h = sources.back()->Open(ZIP_RDONLY);
    if (h == nullptr) break;
    handles.push_back(h);
  }
  std::atomic<std::size_t> next{0};
  std::atomic<int> outcome{
      static_cast<int>(handles.size() == threads ? PackResult::kOk : PackResult::kVerifyFailed)};
  auto fail = [&](PackResult r) {
    int expected = static_cast<int>(PackResult::kOk);
    outcome.compare_exchange_strong(expected, static_cast<int>(r));
  };
  auto work = [&](zip_t* h) {
    try {
      ChunkInflater inflater;
      std::unique_ptr<std::uint8_t[]> in(new std::uint8_t[CompressBound(chunkSize)]);
      std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[chunkSize]);
      if (!inflater.ok()) fail(PackResult::kCannotWrite);
      while (outcome.load() == static_cast<int>(PackResult::kOk)) {
        std::size_t i = next.fetch_add(1);
        if (i >= chunks.size()) break;
        if (!CheckChunk(h, chunks[i], in.get(), out.get(), inflater))
          fail(PackResult::kVerifyFailed);
      }
    } catch (const std::exception&) {
      fail(PackResult::kCannotWrite);
    }
  };
  platform::RunOnWorkers(handles.size(), [&](std::size_t t) { work(handles[t]); });
  for (zip_t* h : handles) zip_discard(h);
  return static_cast<PackResult>(outcome.load());
}

// Puts a complete entry's CRC and compressed size into its local header.
void PatchLocalHeader(Output& out, const Entry& e) {
  Bytes fix;
  fix.U32(HeaderCrc(e));
  out.Patch(e.headerOffset + 14, fix.data(), fix.size());
  fix.clear();
  if (e.zip64) {
    fix.U64(e.compressedSize);  // in the ZIP64 field after the name: id, size, then two sizes
    out.Patch(e.headerOffset + 30 + e.file->entryName.size() + 12, fix.data(), fix.size());
  } else {
    fix.U32(static_cast<std::uint32_t>(e.compressedSize));
    out.Patch(e.headerOffset + 18, fix.data(), fix.size());
  }
}

// Writes the entries' data as the pipeline delivers it, chunk after chunk in order. When a
// file turns out to have changed while it was read, its entry is cut off the archive and the
// file is read again after a pause, up to `options.attempts` times in all.
PackResult WriteEntries(Pipeline& pipeline, Output& out, std::vector<Entry>& entries,
                        const PackOptions& options, PackProgress* progress, PackFailure& failure) {
  Bytes header;
  std::uint32_t crc = 0;
  std::uint64_t told = 0;  // bytes of the current entry reported as packed
  // A chunk encrypted.
  std::vector<std::uint8_t> sealed;
  const std::uint64_t overhead = options.password.empty() ? 0 : kAes256Overhead;
  for (std::size_t i = 0;;) {
    const std::uint8_t* data = nullptr;
    Chunk* taken = pipeline.Take(i, data);
    if (taken == nullptr) break;
    Chunk& c = *taken;
    Entry& e = entries[c.entry];
    if (c.first) {
      if (progress) progress->FileStarted(e.file->entryName);
      e.headerOffset = out.Offset();
      told = 0;
    }
    if (c.noCipher) return PackResult::kCannotWrite;
    if (c.failed) {
      failure.path = e.file->path;
      failure.systemError = c.error;
      return PackResult::kCannotRead;
    }
    bool changed = c.changed;
    if (!changed) {
      if (c.first) {
        // A single chunk gives the header its final values; a longer entry's CRC and
        // compressed size are patched in at its end.
        if (c.last) {
          e.crc = c.crc;
          e.compressedSize = c.packedLength + overhead;
        } else {
          e.crc = 0;
          e.compressedSize = e.method == Method::kStore ? e.size + overhead : 0;
        }
        header.clear();
        LocalHeader(e, header);
        out.Write(header.data(), header.size());
        if (e.aes) out.Write(e.cipher->Prefix(), AesEntryEncryptor::PrefixBytes());
        crc = c.crc;
        e.compressedSize = 0;
      } else {
        crc = CrcCombine(crc, c.crc, c.length);
      }
      c.packedOffset = e.compressedSize;
      if (e.aes) {
        // Encrypted in order: the counter and the authentication code run through the entry.
        if (sealed.size() < c.packedLength) sealed.resize(c.packedLength);
        if (!e.cipher->Encrypt(data, sealed.data(), c.packedLength))
          return PackResult::kCannotWrite;
        data = sealed.data();
      }
      out.Write(data, c.packedLength);
      e.compressedSize += c.packedLength;
      pipeline.Release(i);
      if (progress) progress->BytesPacked(c.length);
      told += c.length;
      if (!c.last) {
        ++i;
        continue;
      }
      changed = EntryChanged(e);
    }
    if (changed) {
      if (++e.attempts >= std::max(1, options.attempts)) {
        failure.path = e.file->path;
        failure.systemError = 0;
        return PackResult::kChanged;
      }
      const std::size_t again = e.firstChunk;
      pipeline.Rewind(c.entry);
      out.Truncate(e.headerOffset);
      if (progress && told > 0) progress->FileAgain(told);
      std::this_thread::sleep_for(options.pause * e.attempts);
      if (!pipeline.Start()) return PackResult::kCannotWrite;
      i = again;
      continue;
    }
    pipeline.Done(e);
    e.crc = crc;
    if (e.aes) {
      std::uint8_t code[kAesCodeBytes];
      if (!e.cipher->Finish(code)) return PackResult::kCannotWrite;
      out.Write(code, sizeof code);
      e.compressedSize += overhead;
      std::memcpy(e.prefix.data(), e.cipher->Prefix(), e.prefix.size());
      std::memcpy(e.keys.data(), e.cipher->DerivedKeys(), e.keys.size());
      e.cipher.reset();
    }
    if (!e.zip64 && e.compressedSize >= kMax32)
      return PackResult::kCannotWrite;  // cannot happen below kZip64From; never written wrong
    if (e.chunkCount > 1) PatchLocalHeader(out, e);
    if (progress) progress->FileFinished();
    if (out.failed()) break;
    ++i;
  }
  return out.failed() ? PackResult::kCannotWrite : PackResult::kOk;
}

void WriteDirectory(Output& out, const std::vector<Entry>& entries, bool forceZip64) {
  std::uint64_t cdOffset = out.Offset();
  Bytes b;
  for (const Entry& e : entries) {
    b.clear();
    CentralHeader(e, b);
    out.Write(b.data(), b.size());
  }
  std::uint64_t cdSize = out.Offset() - cdOffset;
  b.clear();
  EndOfDirectory(entries.size(), cdOffset, cdSize, forceZip64, b);
  out.Write(b.data(), b.size());
  out.Flush();
}

PackResult Write(int fd, const std::string& path, const std::vector<PackFile>& files,
                 const PackOptions& options, PackProgress* progress,
                 std::vector<PackedEntry>* packed, PackFailure& failure) {
  std::size_t chunkSize = std::clamp(options.chunkSize, kMinChunk, kMaxChunk);
  unsigned threads = options.threads ? options.threads : std::thread::hardware_concurrency();
  threads = std::clamp(threads, 1u, kMaxThreads);
  std::size_t perSlot = chunkSize + CompressBound(chunkSize);
  std::size_t slots = std::max<std::size_t>(
      threads + 1, std::min<std::size_t>(3 * threads, kInFlightBudget / perSlot));

  // Every name must fit the format before anything is read.
  std::vector<Entry> entries(files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (files[i].entryName.empty() || files[i].entryName.size() > 0xffff) {
      failure.path = files[i].path;
      return PackResult::kCannotWrite;
    }
    entries[i].file = &files[i];
    entries[i].aes = !options.password.empty();
  }
  std::deque<Chunk> chunks;

  Output out(fd);
  PackResult result;
  {
    Pipeline pipeline(entries, chunks, chunkSize, options.forceZip64, threads, slots,
                      options.password);
    result = pipeline.Start() ? WriteEntries(pipeline, out, entries, options, progress, failure)
                              : PackResult::kCannotWrite;
  }
  if (result == PackResult::kOk) WriteDirectory(out, entries, options.forceZip64);
  if (out.failed()) {
    failure.systemError = out.error();
    return PackResult::kCannotWrite;
  }
  if (result != PackResult::kOk) return result;

  result = Verify(path, entries, chunks, chunkSize, threads, options.password);
  if (result == PackResult::kOk && packed != nullptr) {
    packed->clear();
    for (const Entry& e : entries)
      packed->push_back(PackedEntry{e.file->entryName, e.method == Method::kStore, e.crc, e.size,
                                    e.compressedSize});
  }
  return result;
}

}  // namespace

PackResult WriteArchive(int fd, const std::string& path, const std::vector<PackFile>& files,
                        const PackOptions& options, PackProgress* progress,
                        std::vector<PackedEntry>* entries, PackFailure* failure) {
  PackFailure why;
  PackResult result;
  try {
    result = Write(fd, path, files, options, progress, entries, why);
  } catch (const std::exception&) {
    why.systemError = ENOMEM;  // no memory for the bookkeeping, or no thread
    result = PackResult::kCannotWrite;
  }
  if (failure != nullptr) *failure = result == PackResult::kOk ? PackFailure{} : why;
  return result;
}

}  // namespace verdan::archive
