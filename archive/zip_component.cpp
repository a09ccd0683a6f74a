#include "archive/zip_component.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
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
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "archive/archive_check.h"
#include "archive/restore_commit.h"
#include "archive/temporaries.h"
#include "platform/text.h"
#include "platform/ui.h"

namespace verdan::archive {
namespace {

// Memory the parallel compression may hold besides twice the largest in-memory file.
constexpr std::uint64_t kExtraBudget = 16ull << 20;
constexpr std::size_t kIoChunk = 1 << 20;
constexpr int kWorkers = 2;
// Level 5 of libdeflate packs as tightly as level 6 of the classic deflate and much faster.
constexpr int kDeflateLevel = 5;
// Files deflated as a stream go through zlib, whose level 6 is the usual balance.
constexpr int kStreamLevel = 6;

// ---------------------------------------------------------------------------------------
// File helpers: everything written goes to a temporary name beside its target
// (archive/temporaries.h).

mode_t DefaultFileMode() {
  static const mode_t mode = [] {
    mode_t mask = ::umask(022);
    ::umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
  }();
  return mode;
}

// The mode a file written at `target` gets: that of the file it replaces, else the default.
mode_t ModeFor(const std::string& target) {
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return st.st_mode & 07777;
  return DefaultFileMode();
}

bool WriteAll(int fd, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// A large byte buffer taken straight from the system, so that it goes back whole when freed
// and only the pages written count against the process's memory.
class Buffer {
 public:
  Buffer() = default;
  explicit Buffer(std::size_t size) : size_(size) {
    if (size == 0) return;
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
      size_ = 0;
      failed_ = true;
      return;
    }
    data_ = static_cast<std::uint8_t*>(p);
  }
  ~Buffer() { Free(); }
  Buffer(Buffer&& o) noexcept { *this = std::move(o); }
  Buffer& operator=(Buffer&& o) noexcept {
    if (this != &o) {
      Free();
      data_ = std::exchange(o.data_, nullptr);
      size_ = std::exchange(o.size_, 0);
      mapped_ = std::exchange(o.mapped_, 0);
      failed_ = std::exchange(o.failed_, false);
    }
    return *this;
  }
  std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool failed() const { return failed_; }
  // Keeps the first `n` bytes; the pages beyond them go back to the system.
  void Shrink(std::size_t n) {
    if (data_ == nullptr || n >= size_) return;
    long page = ::sysconf(_SC_PAGESIZE);
    std::size_t keep = (n + static_cast<std::size_t>(page) - 1) / static_cast<std::size_t>(page) *
                       static_cast<std::size_t>(page);
    if (keep < size_) ::munmap(data_ + keep, size_ - keep);
    if (keep == 0) data_ = nullptr;
    size_ = n;
    mapped_ = keep;
  }

 private:
  void Free() {
    if (data_ != nullptr) ::munmap(data_, mapped_ ? mapped_ : size_);
    data_ = nullptr;
    size_ = mapped_ = 0;
  }
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t mapped_ = 0;  // bytes mapped after a Shrink; 0 means size_
  bool failed_ = false;
};

std::uint32_t Crc(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
#ifdef VERDAN_HAVE_LIBDEFLATE
  return libdeflate_crc32(crc, p, n);
#else
  return static_cast<std::uint32_t>(::crc32_z(crc, p, static_cast<z_size_t>(n)));
#endif
}

// Memory shared by the threads that hold whole entries, so that together they stay within a
// limit; a single request larger than the limit is let through when nothing else is held.
class MemoryBudget {
 public:
  explicit MemoryBudget(std::uint64_t limit) : limit_(limit) {}
  void Acquire(std::uint64_t n) {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return used_ + n <= limit_ || used_ == 0; });
    used_ += n;
  }
  void Release(std::uint64_t n) {
    {
      std::lock_guard lock(mutex_);
      used_ -= n;
    }
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::uint64_t limit_;
  std::uint64_t used_ = 0;
};

// Copies the whole of `in` to `out`; false on a read or write failure.
bool CopyDescriptor(int in, int out) {
  for (;;) {
    ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
    if (n == 0) return true;
    if (n > 0) continue;
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) return false;
    break;  // fall back on plain reads and writes
  }
  std::vector<char> buf(kIoChunk);
  for (;;) {
    ssize_t n = ::read(in, buf.data(), buf.size());
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (!WriteAll(out, buf.data(), static_cast<std::size_t>(n))) return false;
  }
}

bool ReadWhole(const std::string& path, std::uint64_t size, Buffer& out) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  out = Buffer(size);
  if (out.failed()) {
    ::close(fd);
    return false;
  }
  std::uint64_t done = 0;
  bool ok = true;
  while (done < size) {
    ssize_t n = ::read(fd, out.data() + done, std::min<std::uint64_t>(size - done, 1u << 30));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;  // a file that shrank while it was read is not packed half
      break;
    }
    done += static_cast<std::uint64_t>(n);
  }
  ::close(fd);
  return ok;
}

// ---------------------------------------------------------------------------------------
// Progress, reported at most every few megabytes and at every file boundary.

// Counts come from every working thread; the ui hears only from the thread that made the
// reporter (the window's thread), as a window's progress belongs to its own thread.
class ProgressReporter {
 public:
  ProgressReporter(platform::Ui* ui, std::int64_t files, std::int64_t bytes)
      : ui_(ui), owner_(std::this_thread::get_id()) {
    info_.filesTotal = files;
    info_.bytesTotal = bytes;
  }
  void File(const std::string& what) {
    std::lock_guard lock(mutex_);
    info_.what = what;
    Emit(true);
  }
  void Bytes(std::int64_t n) {
    std::lock_guard lock(mutex_);
    info_.bytesDone += n;
    Emit(false);
  }
  void FileDone() {
    std::lock_guard lock(mutex_);
    ++info_.filesDone;
    Emit(true);
  }
  void Finish() {
    std::lock_guard lock(mutex_);
    info_.finished = true;
    Emit(true);
  }

 private:
  void Emit(bool always) {
    if (ui_ == nullptr || std::this_thread::get_id() != owner_) return;
    if (!always && info_.bytesDone - lastBytes_ < (8 << 20)) return;
    lastBytes_ = info_.bytesDone;
    ui_->Progress(info_);
  }
  platform::Ui* ui_;
  std::thread::id owner_;
  std::mutex mutex_;
  platform::ProgressInfo info_;
  std::int64_t lastBytes_ = 0;
};

// ---------------------------------------------------------------------------------------
// Parallel compression. Files are compressed in queue order by the worker threads, each
// whole in memory, under a memory budget; libzip then copies the deflate data as it stands
// (the source reports method, CRC and sizes). Jobs take the budget in queue order and the
// archive consumes them in the same order, so a job waiting for memory never waits for a
// later one.

struct Job {
  std::string path;
  std::string entryName;
  std::uint64_t size = 0;
  time_t mtime = 0;
  bool streamed = false;  // too large for memory: deflated by its source while written
  // Results, guarded by the pool's mutex.
  bool done = false;
  bool failed = false;
  std::uint32_t crc = 0;
  Buffer data;
  std::uint64_t held = 0;  // budget this job holds
};

class CompressPool {
 public:
  CompressPool(std::vector<std::unique_ptr<Job>>& jobs, std::uint64_t budget)
      : jobs_(jobs), budget_(budget) {
    for (int i = 0; i < kWorkers; ++i) threads_.emplace_back([this] { Work(); });
  }
  ~CompressPool() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    cv_.notify_all();
    for (auto& t : threads_) t.join();
  }

  // Waits until the job is compressed (or failed).
  void Wait(Job& job) {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return job.done; });
  }

  // The archive has taken the job's data: its memory goes back to the budget.
  void Release(Job& job) {
    std::lock_guard lock(mutex_);
    job.data = Buffer();
    used_ -= job.held;
    job.held = 0;
    cv_.notify_all();
  }

 private:
  static std::uint64_t Need(const Job& job) { return job.size * 2 + 4096; }

  void Work() {
#ifdef VERDAN_HAVE_LIBDEFLATE
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(kDeflateLevel);
#endif
    for (;;) {
      Job* job = nullptr;
      {
        // Claiming the next job and taking its memory is one step, so jobs take memory in
        // queue order; a job larger than the whole budget runs alone.
        std::unique_lock lock(mutex_);
        for (;;) {
          while (next_ < jobs_.size() && jobs_[next_]->streamed) jobs_[next_++]->done = true;
          if (stop_ || next_ >= jobs_.size()) break;
          if (used_ + Need(*jobs_[next_]) <= budget_ || used_ == 0) {
            job = jobs_[next_++].get();
            job->held = Need(*job);
            used_ += job->held;
            break;
          }
          cv_.wait(lock);
        }
      }
      cv_.notify_all();
      if (job == nullptr) break;

      Buffer input;
      Buffer output;
      bool ok = ReadWhole(job->path, job->size, input);
      std::uint32_t crc = 0;
      if (ok) {
        crc = Crc(0, input.data(), input.size());
#ifdef VERDAN_HAVE_LIBDEFLATE
        output = Buffer(libdeflate_deflate_compress_bound(compressor, input.size()));
        std::size_t n = output.failed() ? 0
                                        : libdeflate_deflate_compress(compressor, input.data(),
                                                                      input.size(), output.data(),
                                                                      output.size());
        ok = n > 0;
        output.Shrink(n);
#else
        z_stream zs{};
        ok = deflateInit2(&zs, kDeflateLevel, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK;
        if (ok) {
          output = Buffer(deflateBound(&zs, input.size()));
          zs.next_in = input.data();
          zs.avail_in = static_cast<uInt>(input.size());
          zs.next_out = output.data();
          zs.avail_out = static_cast<uInt>(output.size());
          ok = !output.failed() && deflate(&zs, Z_FINISH) == Z_STREAM_END;
          output.Shrink(zs.total_out);
          deflateEnd(&zs);
        }
#endif
      }
      input = Buffer();
      {
        std::lock_guard lock(mutex_);
        job->failed = !ok;
        job->crc = crc;
        job->data = std::move(output);
        // The input is gone; only the compressed data is held until the archive takes it.
        used_ -= job->held;
        job->held = job->data.size();
        used_ += job->held;
        job->done = true;
      }
      cv_.notify_all();
    }
#ifdef VERDAN_HAVE_LIBDEFLATE
    libdeflate_free_compressor(compressor);
#endif
  }

  std::vector<std::unique_ptr<Job>>& jobs_;
  std::uint64_t budget_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::size_t next_ = 0;
  std::uint64_t used_ = 0;
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

// The libzip source of one queued file: its compressed data from the pool, or for a large
// file a deflate stream made while libzip reads.
struct EntrySource {
  Job* job = nullptr;
  CompressPool* pool = nullptr;
  ProgressReporter* progress = nullptr;
  zip_error_t error{};
  std::size_t pos = 0;
  bool finished = false;  // all data handed over; CRC and sizes final
  // Streamed files only.
  int fd = -1;
  z_stream zs{};
  bool zsOpen = false;
  bool inputEnd = false;
  std::uint64_t readBytes = 0;
  std::uint64_t compBytes = 0;
  std::uint32_t crc = 0;
  std::vector<std::uint8_t> inbuf;

  zip_int64_t Fail(int ze, int se) {
    zip_error_set(&error, ze, se);
    return -1;
  }

  zip_int64_t Open() {
    pos = 0;
    finished = false;
    if (progress) progress->File(job->entryName);
    if (!job->streamed) return 0;
    fd = ::open(job->path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Fail(ZIP_ER_OPEN, errno);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    if (deflateInit2(&zs, kStreamLevel, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
      return Fail(ZIP_ER_MEMORY, 0);
    zsOpen = true;
    inputEnd = false;
    readBytes = compBytes = 0;
    crc = 0;
    inbuf.resize(kIoChunk);
    return 0;
  }

  zip_int64_t Read(std::uint8_t* out, zip_uint64_t len) {
    if (!job->streamed) {
      pool->Wait(*job);
      if (job->failed) return Fail(ZIP_ER_READ, EIO);
      std::size_t n = std::min<std::size_t>(len, job->data.size() - pos);
      std::memcpy(out, job->data.data() + pos, n);
      pos += n;
      if (pos == job->data.size()) finished = true;
      return static_cast<zip_int64_t>(n);
    }
    if (finished) return 0;
    zs.next_out = out;
    zs.avail_out = static_cast<uInt>(std::min<zip_uint64_t>(len, 1u << 30));
    while (zs.avail_out > 0) {
      if (zs.avail_in == 0 && !inputEnd) {
        ssize_t n = ::read(fd, inbuf.data(), inbuf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Fail(ZIP_ER_READ, errno);
        if (n == 0) {
          inputEnd = true;
          if (readBytes != job->size) return Fail(ZIP_ER_READ, EIO);  // changed while packed
        } else {
          crc = Crc(crc, inbuf.data(), static_cast<std::size_t>(n));
          readBytes += static_cast<std::uint64_t>(n);
          if (progress) progress->Bytes(n);
        }
        zs.next_in = inbuf.data();
        zs.avail_in = static_cast<uInt>(n);
      }
      int rc = deflate(&zs, inputEnd ? Z_FINISH : Z_NO_FLUSH);
      if (rc == Z_STREAM_END) {
        finished = true;
        break;
      }
      if (rc != Z_OK && rc != Z_BUF_ERROR) return Fail(ZIP_ER_ZLIB, rc);
    }
    zip_int64_t produced = static_cast<zip_int64_t>(zs.next_out - out);
    compBytes += static_cast<std::uint64_t>(produced);
    return produced;
  }

  void Close() {
    if (zsOpen) deflateEnd(&zs);
    zsOpen = false;
    if (fd >= 0) ::close(fd);
    fd = -1;
    if (!job->streamed) {
      pool->Release(*job);
      if (progress) progress->Bytes(static_cast<std::int64_t>(job->size));
    }
    if (progress) progress->FileDone();
  }

  void Stat(zip_stat_t* st) {
    zip_stat_init(st);
    st->valid = ZIP_STAT_SIZE | ZIP_STAT_MTIME | ZIP_STAT_COMP_METHOD | ZIP_STAT_ENCRYPTION_METHOD;
    st->size = job->size;
    st->mtime = job->mtime;
    st->comp_method = ZIP_CM_DEFLATE;
    st->encryption_method = ZIP_EM_NONE;
    if (finished) {
      st->valid |= ZIP_STAT_CRC | ZIP_STAT_COMP_SIZE;
      if (job->streamed) {
        st->crc = crc;
        st->comp_size = compBytes;
      } else {
        st->crc = job->crc;
        st->comp_size = pos;
      }
    }
  }

  static zip_int64_t Callback(void* userdata, void* data, zip_uint64_t len, zip_source_cmd_t cmd) {
    auto* self = static_cast<EntrySource*>(userdata);
    switch (cmd) {
      case ZIP_SOURCE_OPEN:
        return self->Open();
      case ZIP_SOURCE_READ:
        return self->Read(static_cast<std::uint8_t*>(data), len);
      case ZIP_SOURCE_CLOSE:
        self->Close();
        return 0;
      case ZIP_SOURCE_STAT:
        if (len < sizeof(zip_stat_t)) return self->Fail(ZIP_ER_INVAL, 0);
        self->Stat(static_cast<zip_stat_t*>(data));
        return sizeof(zip_stat_t);
      case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&self->error, data, len);
      case ZIP_SOURCE_FREE:
        if (self->zsOpen) deflateEnd(&self->zs);
        if (self->fd >= 0) ::close(self->fd);
        delete self;
        return 0;
      case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                              ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE,
                                              -1);
      default:
        return self->Fail(ZIP_ER_OPNOTSUPP, 0);
    }
  }
};

// ---------------------------------------------------------------------------------------
// Reading entries back.

enum class EntryCheck { kOk, kDamaged, kBadPassword, kWriteFailed };

// The one place where libzip's reading errors become the outcome of an entry. A wrong
// password passes the header check now and then and only shows as bad data, so for an
// encrypted entry bad data counts as a wrong password.
EntryCheck CheckOfLibzipError(int ze, bool encrypted) {
  if (ze == ZIP_ER_NOPASSWD || ze == ZIP_ER_WRONGPASSWD) return EntryCheck::kBadPassword;
  if (encrypted && (ze == ZIP_ER_CRC || ze == ZIP_ER_ZLIB)) return EntryCheck::kBadPassword;
  if (ze == ZIP_ER_MEMORY) return EntryCheck::kWriteFailed;
  return EntryCheck::kDamaged;
}

// ... and where an entry's outcome becomes the component's error number.
std::int32_t ErrorOfCheck(EntryCheck check) {
  switch (check) {
    case EntryCheck::kOk: return 0;
    case EntryCheck::kDamaged: return kZipDamagedEntry;
    case EntryCheck::kBadPassword: return kZipBadPassword;
    case EntryCheck::kWriteFailed: return kZipCannotWrite;
  }
  return kZipDamagedEntry;
}

// Reads entry `index` of `za` to its end, handing the data to `sink` (may be null); libzip
// checks the CRC at the end. The number of bytes must equal the entry's size.
template <typename Sink>
EntryCheck ReadEntry(zip_t* za, zip_uint64_t index, const char* password,
                     std::vector<std::uint8_t>& buf, ProgressReporter* progress, Sink&& sink) {
  zip_stat_t st;
  if (zip_stat_index(za, index, 0, &st) != 0) return EntryCheck::kDamaged;
  bool encrypted = (st.valid & ZIP_STAT_ENCRYPTION_METHOD) && st.encryption_method != ZIP_EM_NONE;
  zip_file_t* zf = zip_fopen_index_encrypted(za, index, 0, encrypted ? password : nullptr);
  if (zf == nullptr) {
    int ze = zip_error_code_zip(zip_get_error(za));
    zip_error_clear(za);
    return CheckOfLibzipError(ze, encrypted);
  }
  std::uint64_t total = 0;
  EntryCheck result = EntryCheck::kOk;
  for (;;) {
    zip_int64_t n = zip_fread(zf, buf.data(), buf.size());
    if (n < 0) {
      result = CheckOfLibzipError(zip_error_code_zip(zip_file_get_error(zf)), encrypted);
      break;
    }
    if (n == 0) break;
    total += static_cast<std::uint64_t>(n);
    if (progress) progress->Bytes(n);
    if (!sink(buf.data(), static_cast<std::size_t>(n))) {
      result = EntryCheck::kWriteFailed;
      break;
    }
  }
  zip_fclose(zf);
  if (result == EntryCheck::kOk && (st.valid & ZIP_STAT_SIZE) && total != st.size)
    result = EntryCheck::kDamaged;
  return result;
}

// What one reading thread keeps between entries.
struct EntryReader {
  EntryReader(MemoryBudget& b, std::uint64_t limit) : budget(b), wholeLimit(limit) {}
  ~EntryReader() {
#ifdef VERDAN_HAVE_LIBDEFLATE
    if (decompressor) libdeflate_free_decompressor(decompressor);
#endif
  }
  EntryReader(const EntryReader&) = delete;
  EntryReader& operator=(const EntryReader&) = delete;
  std::vector<std::uint8_t> buf = std::vector<std::uint8_t>(kIoChunk);
  MemoryBudget& budget;
  std::uint64_t wholeLimit;
#ifdef VERDAN_HAVE_LIBDEFLATE
  libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
#endif
};

#ifdef VERDAN_HAVE_LIBDEFLATE
// Reads a whole entry's stored bytes and inflates them in one step, checking size and CRC.
template <typename Sink>
EntryCheck DecodeWhole(zip_t* za, zip_uint64_t index, const zip_stat_t& st, EntryReader& r,
                       ProgressReporter* progress, Sink&& sink) {
  Buffer comp(st.comp_size);
  if (comp.failed()) return EntryCheck::kWriteFailed;
  zip_file_t* zf = zip_fopen_index(za, index, ZIP_FL_COMPRESSED);
  if (zf == nullptr) {
    zip_error_clear(za);
    return EntryCheck::kDamaged;
  }
  std::uint64_t got = 0;
  while (got < st.comp_size) {
    zip_int64_t n = zip_fread(zf, comp.data() + got, std::min<std::uint64_t>(st.comp_size - got, 1u << 30));
    if (n <= 0) break;
    got += static_cast<std::uint64_t>(n);
  }
  zip_fclose(zf);
  if (got != st.comp_size) return EntryCheck::kDamaged;
  Buffer plain;
  const std::uint8_t* data = comp.data();
  if (st.comp_method == ZIP_CM_DEFLATE) {
    plain = Buffer(st.size);
    if (plain.failed()) return EntryCheck::kWriteFailed;
    std::size_t actual = 0;
    if (libdeflate_deflate_decompress(r.decompressor, comp.data(), st.comp_size, plain.data(),
                                      st.size, &actual) != LIBDEFLATE_SUCCESS ||
        actual != st.size)
      return EntryCheck::kDamaged;
    comp = Buffer();
    data = plain.data();
  } else if (st.comp_size != st.size) {
    return EntryCheck::kDamaged;
  }
  if (Crc(0, data, st.size) != st.crc) return EntryCheck::kDamaged;
  if (progress) progress->Bytes(static_cast<std::int64_t>(st.size));
  return sink(data, static_cast<std::size_t>(st.size)) ? EntryCheck::kOk : EntryCheck::kWriteFailed;
}
#endif

// Reads an entry to its end with its CRC and size checked: small enough plain entries whole in
// memory (within the readers' shared budget), others as a stream through libzip.
template <typename Sink>
EntryCheck ReadEntryChecked(zip_t* za, zip_uint64_t index, const char* password, EntryReader& r,
                            ProgressReporter* progress, Sink&& sink) {
#ifdef VERDAN_HAVE_LIBDEFLATE
  zip_stat_t st;
  if (zip_stat_index(za, index, 0, &st) != 0) return EntryCheck::kDamaged;
  constexpr zip_uint64_t kNeeded = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_CRC |
                                   ZIP_STAT_COMP_METHOD | ZIP_STAT_ENCRYPTION_METHOD;
  if ((st.valid & kNeeded) == kNeeded && st.encryption_method == ZIP_EM_NONE &&
      (st.comp_method == ZIP_CM_DEFLATE || st.comp_method == ZIP_CM_STORE) && st.size > 0 &&
      st.size <= r.wholeLimit && st.comp_size <= st.size + (st.size >> 4) + 65536) {
    std::uint64_t need = st.comp_size + (st.comp_method == ZIP_CM_DEFLATE ? st.size : 0);
    r.budget.Acquire(need);
    EntryCheck c = DecodeWhole(za, index, st, r, progress, sink);
    r.budget.Release(need);
    return c;
  }
#endif
  return ReadEntry(za, index, password, r.buf, progress, sink);
}

// Runs `work(za, index, buf)` for every index in `indices` on up to kWorkers threads, each
// with its own handle on the archive. Returns the first failure's check, or kOk.
template <typename Work>
EntryCheck ForEachEntryParallel(const std::string& archive, const std::vector<zip_uint64_t>& indices,
                                const std::string& password, std::uint64_t wholeLimit,
                                std::uint64_t largest, Work&& work) {
  std::atomic<std::size_t> next{0};
  std::atomic<int> failure{static_cast<int>(EntryCheck::kOk)};
  MemoryBudget budget(2 * std::min(largest, wholeLimit) + kExtraBudget);
  // Every thread reads through a handle of its own. The handles are opened here, one after
  // the other: opening converts the entries' times through the C library's time zone state.
  int threads = static_cast<int>(std::min<std::size_t>(kWorkers, indices.size()));
  std::vector<zip_t*> handles;
  for (int t = 0; t < threads; ++t) {
    int err = 0;
    zip_t* za = zip_open(archive.c_str(), ZIP_RDONLY, &err);
    if (za == nullptr) {
      for (zip_t* h : handles) zip_discard(h);
      return EntryCheck::kDamaged;
    }
    if (!password.empty()) zip_set_default_password(za, password.c_str());
    handles.push_back(za);
  }
  auto worker = [&](zip_t* za) {
    EntryReader reader(budget, wholeLimit);
    for (;;) {
      if (failure.load() != static_cast<int>(EntryCheck::kOk)) break;
      std::size_t i = next.fetch_add(1);
      if (i >= indices.size()) break;
      EntryCheck c = work(za, indices[i], reader);
      if (c != EntryCheck::kOk) {
        int expected = static_cast<int>(EntryCheck::kOk);
        failure.compare_exchange_strong(expected, static_cast<int>(c));
      }
    }
  };
  std::vector<std::thread> pool;
  for (int t = 1; t < threads; ++t) pool.emplace_back(worker, handles[static_cast<std::size_t>(t)]);
  if (threads > 0) worker(handles[0]);
  for (auto& t : pool) t.join();
  for (zip_t* h : handles) zip_discard(h);
  return static_cast<EntryCheck>(failure.load());
}

// Reads every entry of a freshly written archive back; `expectedCrc` maps entry names to the
// CRC of the file they were made from.
std::int32_t VerifyArchive(const std::string& path, std::size_t expectedEntries,
                           const std::vector<std::pair<std::string, std::uint32_t>>& expectedCrc,
                           std::uint64_t wholeLimit) {
  int err = 0;
  zip_t* za = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &err);
  if (za == nullptr) return kZipVerifyFailed;
  zip_int64_t count = zip_get_num_entries(za, 0);
  bool ok = count >= 0 && static_cast<std::size_t>(count) == expectedEntries;
  std::uint64_t largest = 0;
  for (zip_int64_t i = 0; ok && i < count; ++i) {
    zip_stat_t st;
    if (zip_stat_index(za, static_cast<zip_uint64_t>(i), 0, &st) == 0 && (st.valid & ZIP_STAT_SIZE))
      largest = std::max<std::uint64_t>(largest, st.size);
  }
  for (const auto& [name, crc] : expectedCrc) {
    zip_stat_t st;
    if (!ok) break;
    if (zip_stat(za, name.c_str(), 0, &st) != 0 || !(st.valid & ZIP_STAT_CRC) || st.crc != crc)
      ok = false;
  }
  zip_discard(za);
  if (!ok) return kZipVerifyFailed;
  std::vector<zip_uint64_t> indices(static_cast<std::size_t>(count));
  for (std::size_t i = 0; i < indices.size(); ++i) indices[i] = i;
  EntryCheck c = ForEachEntryParallel(
      path, indices, std::string(), wholeLimit, largest,
      [&](zip_t* z, zip_uint64_t i, EntryReader& reader) {
        std::vector<std::uint8_t>& buf = reader.buf;
        zip_stat_t st;
        if (zip_stat_index(z, i, 0, &st) != 0) return EntryCheck::kDamaged;
        if ((st.valid & ZIP_STAT_ENCRYPTION_METHOD) && st.encryption_method != ZIP_EM_NONE) {
          // An entry carried over from an encrypted archive made elsewhere: without its
          // password only its stored bytes can be read through.
          zip_file_t* zf = zip_fopen_index(z, i, ZIP_FL_ENCRYPTED);
          if (zf == nullptr) return EntryCheck::kDamaged;
          std::uint64_t total = 0;
          zip_int64_t n;
          while ((n = zip_fread(zf, buf.data(), buf.size())) > 0) total += static_cast<std::uint64_t>(n);
          zip_fclose(zf);
          return n < 0 || total != st.comp_size ? EntryCheck::kDamaged : EntryCheck::kOk;
        }
        return ReadEntryChecked(z, i, nullptr, reader, nullptr,
                                [](const std::uint8_t*, std::size_t) { return true; });
      });
  return c == EntryCheck::kOk ? 0 : kZipVerifyFailed;
}

// An entry name that stays inside the target directory: relative, no "..", no drive.
bool SafeEntryName(const std::string& name, std::string& relative) {
  relative = name;
  std::replace(relative.begin(), relative.end(), '\\', '/');
  if (relative.empty() || relative[0] == '/') return false;
  if (relative.size() >= 2 && relative[1] == ':') return false;
  std::size_t start = 0;
  while (start <= relative.size()) {
    std::size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    std::string part = relative.substr(start, end - start);
    if (part == "..") return false;
    start = end + 1;
  }
  return relative.find('\0') == std::string::npos;
}

std::string UpperName(const std::string& s) { return platform::UpperCp1250(s); }

bool MatchUpper(const char* p, const char* s) {
  // Iterative glob with one backtracking point, on byte strings already upper-cased.
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*s) {
    if (*p == '*') {
      star = p++;
      resume = s;
    } else if (*p == '?' || *p == *s) {
      ++p;
      ++s;
    } else if (star) {
      p = star + 1;
      s = ++resume;
    } else {
      return false;
    }
  }
  while (*p == '*') ++p;
  return *p == '\0';
}

}  // namespace

bool MatchesPattern(const std::string& pattern, const std::string& name) {
  std::string p = UpperName(pattern);
  std::string s = UpperName(name);
  return MatchUpper(p.c_str(), s.c_str());
}

ZipComponent::ZipComponent() = default;
ZipComponent::~ZipComponent() = default;

std::int32_t ZipComponent::FILE_EXISTS(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? 1 : 0;
}

std::int32_t ZipComponent::COPY_FILE(const std::string& source, const std::string& destination) {
  int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return 0;
  std::string temp;
  int out = CreateTemporary(destination, temp);
  if (out < 0) {
    ::close(in);
    return 0;
  }
  struct stat st {};
  bool ok = ::fstat(in, &st) == 0 && S_ISREG(st.st_mode) && CopyDescriptor(in, out) &&
            ::fchmod(out, ModeFor(destination)) == 0 && SyncDescriptor(out, temp);
  ::close(in);
  ok = ::close(out) == 0 && ok;
  if (ok) ok = PlaceTemporary(temp, destination);
  if (!ok) {
    DiscardTemporary(temp);
    return 0;
  }
  return 1;
}

std::int32_t ZipComponent::Fail(std::int32_t code, int systemError, const std::string& path,
                                const std::string& entry) {
  std::lock_guard lock(failureMutex_);
  if (failure_.code == 0) {
    failure_ = ZipFailure{};
    failure_.code = code;
    failure_.systemError = systemError;
    failure_.path = path;
    failure_.entry = entry;
  }
  return code;
}

std::int32_t ZipComponent::LSZIP_INCLUDE(const std::string& pattern) {
  std::string dir = ".";
  std::string namePattern = pattern;
  auto slash = pattern.rfind('/');
  if (slash != std::string::npos) {
    dir = slash == 0 ? "/" : pattern.substr(0, slash);
    namePattern = pattern.substr(slash + 1);
  }
  if (namePattern.empty()) return 0;
  std::string base = dir;
  if (base[0] != '/') {
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return 0;
    base = dir == "." ? std::string(cwd) : std::string(cwd) + "/" + dir;
  }
  DIR* d = ::opendir(base.c_str());
  if (d == nullptr) return 0;
  std::vector<std::string> names;
  std::string upperPattern = UpperName(namePattern);
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (!MatchUpper(upperPattern.c_str(), UpperName(name).c_str())) continue;
    struct stat st {};
    std::string full = (base == "/" ? "" : base) + "/" + name;
    if (::stat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    names.push_back(name);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  for (const auto& name : names) {
    std::string full = (base == "/" ? "" : base) + "/" + name;
    std::string upper = UpperName(name);
    auto same = std::find_if(queue_.begin(), queue_.end(), [&](const QueuedFile& q) {
      return UpperName(q.entryName) == upper;
    });
    if (same != queue_.end())
      *same = QueuedFile{full, name};
    else
      queue_.push_back(QueuedFile{full, name});
  }
  return static_cast<std::int32_t>(names.size());
}

std::int32_t ZipComponent::LSZIP_EXECUTE(const std::string& archive, std::int32_t action,
                                         std::int32_t, std::int32_t) {
  std::vector<QueuedFile> queued;
  queued.swap(queue_);
  failure_ = ZipFailure{};
  if (action != kActionNew && action != kActionAdd) return Fail(kZipBadAction, 0, archive);
  if (queued.empty()) return Fail(kZipNothingQueued, 0, archive);
  if (archive.empty()) return Fail(kZipCannotWrite, ENOENT, archive);

  // Size every file first: the budget and the progress totals depend on it.
  std::vector<std::unique_ptr<Job>> jobs;
  std::uint64_t largestInMemory = 0;
  std::int64_t totalBytes = 0;
  for (const auto& q : queued) {
    struct stat st {};
    if (::stat(q.path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
      return Fail(kZipCannotReadFile, errno, q.path);
    auto job = std::make_unique<Job>();
    job->path = q.path;
    job->entryName = q.entryName;
    job->size = static_cast<std::uint64_t>(st.st_size);
    job->mtime = st.st_mtime;
    job->streamed = job->size > wholeFileLimit_;
    if (!job->streamed) largestInMemory = std::max(largestInMemory, job->size);
    totalBytes += st.st_size;
    jobs.push_back(std::move(job));
  }

  std::string temp;
  int fd = CreateTemporary(archive, temp);
  if (fd < 0) return Fail(kZipCannotWrite, errno, archive);
  bool adding = action == kActionAdd && FILE_EXISTS(archive);
  if (adding) {
    // Add to a copy of the archive; the archive itself is replaced only when all is well.
    int in = ::open(archive.c_str(), O_RDONLY | O_CLOEXEC);
    bool ok = in >= 0 && CopyDescriptor(in, fd);
    int error = errno;
    if (in >= 0) ::close(in);
    if (!ok) {
      ::close(fd);
      DiscardTemporary(temp);
      return Fail(kZipCannotWrite, error, archive);
    }
  }
  ::close(fd);

  int err = 0;
  zip_t* za = zip_open(temp.c_str(), adding ? ZIP_CHECKCONS : ZIP_TRUNCATE, &err);
  if (za == nullptr) {
    DiscardTemporary(temp);
    return adding ? Fail(kZipCannotOpenArchive, 0, archive) : Fail(kZipCannotWrite, 0, archive);
  }

  ProgressReporter progress(progressUi_, static_cast<std::int64_t>(jobs.size()), totalBytes);
  std::int32_t result = 0;
  std::size_t expectedEntries = 0;
  {
    CompressPool pool(jobs, largestInMemory * 2 + kExtraBudget);
    for (auto& job : jobs) {
      auto* src = new EntrySource;
      src->job = job.get();
      src->pool = &pool;
      src->progress = &progress;
      zip_error_init(&src->error);
      zip_source_t* zs = zip_source_function(za, &EntrySource::Callback, src);
      if (zs == nullptr) {
        delete src;
        result = kZipCannotWrite;
        break;
      }
      zip_int64_t index = zip_name_locate(za, job->entryName.c_str(), ZIP_FL_NOCASE);
      bool ok;
      if (index >= 0) {
        ok = zip_file_replace(za, static_cast<zip_uint64_t>(index), zs, 0) == 0;
        if (ok) {
          const char* old = zip_get_name(za, static_cast<zip_uint64_t>(index), 0);
          if (old != nullptr && job->entryName != old)
            zip_file_rename(za, static_cast<zip_uint64_t>(index), job->entryName.c_str(), 0);
        }
      } else {
        ok = zip_file_add(za, job->entryName.c_str(), zs, ZIP_FL_ENC_GUESS) >= 0;
      }
      if (!ok) {
        zip_source_free(zs);
        result = kZipCannotWrite;
        break;
      }
    }
    if (result == 0) expectedEntries = static_cast<std::size_t>(zip_get_num_entries(za, 0));
    if (result == 0 && zip_close(za) != 0) {
      int ze = zip_error_code_zip(zip_get_error(za));
      int se = zip_error_code_system(zip_get_error(za));
      auto failed =
          std::find_if(jobs.begin(), jobs.end(), [](auto& j) { return j->done && j->failed; });
      result = failed != jobs.end() || ze == ZIP_ER_READ ? kZipCannotReadFile : kZipCannotWrite;
      if (result == kZipCannotReadFile)
        Fail(result, ze == ZIP_ER_READ ? se : 0,
             failed != jobs.end() ? (*failed)->path : std::string());
      else
        Fail(result, zip_error_system_type(zip_get_error(za)) == ZIP_ET_SYS ? se : 0, archive);
      zip_discard(za);
    } else if (result != 0) {
      zip_discard(za);
    }
  }
  if (result != 0) {
    Fail(result, 0, archive);
    DiscardTemporary(temp);
    progress.Finish();
    return result;
  }

  // Read the whole archive back before it replaces anything.
  std::vector<std::pair<std::string, std::uint32_t>> expected;
  for (auto& job : jobs) {
    if (job->streamed) continue;  // its CRC was made while it was written; read back below
    expected.emplace_back(job->entryName, job->crc);
  }
  result = VerifyArchive(temp, expectedEntries, expected, wholeFileLimit_);
  if (result == 0) {
    bool ok = ::chmod(temp.c_str(), ModeFor(archive)) == 0 && SyncFile(temp) &&
              PlaceTemporary(temp, archive);
    result = ok ? static_cast<std::int32_t>(jobs.size()) : Fail(kZipCannotWrite, errno, archive);
  } else {
    Fail(result, 0, archive);
  }
  if (result < 0) DiscardTemporary(temp);
  progress.Finish();
  return result;
}

std::int32_t ZipComponent::LSUZ_ZIPNAME(const std::string& archive) {
  unzipArchive_ = archive;
  return FILE_EXISTS(archive);
}

std::int32_t ZipComponent::LSUZ_INCLUDE(const std::string& pattern) {
  unzipPattern_ = pattern;
  int err = 0;
  zip_t* za = unzipArchive_.empty() ? nullptr : zip_open(unzipArchive_.c_str(), ZIP_RDONLY, &err);
  if (za == nullptr) return 0;
  std::int32_t matches = 0;
  zip_int64_t count = zip_get_num_entries(za, 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    const char* name = zip_get_name(za, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW);
    if (name != nullptr && name[0] != '\0' && name[std::strlen(name) - 1] != '/' &&
        MatchesPattern(pattern, name))
      ++matches;
  }
  zip_discard(za);
  return matches;
}

std::int32_t ZipComponent::LSUZ_EXTRACTTO(const std::string& target) {
  unzipTarget_ = target;
  struct stat st {};
  return !target.empty() && ::stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
                 ::access(target.c_str(), W_OK | X_OK) == 0
             ? 1
             : 0;
}

std::int32_t ZipComponent::LSUZ_PASSWORD(const std::string& password) {
  unzipPassword_ = password;
  return 1;
}

std::int32_t ZipComponent::LSUZ_RESET() {
  unzipArchive_.clear();
  unzipPattern_.clear();
  unzipTarget_.clear();
  unzipPassword_.clear();
  return 1;
}

std::int32_t ZipComponent::LSUZ_EXECUTE(std::int32_t, std::int32_t) {
  failure_ = ZipFailure{};
  if (!FILE_EXISTS(unzipArchive_)) return Fail(kZipCannotOpenArchive, ENOENT, unzipArchive_);
  if (LSUZ_EXTRACTTO(unzipTarget_) == 0) return Fail(kZipBadTarget, errno, unzipTarget_);
  std::string target = unzipTarget_;
  while (target.size() > 1 && target.back() == '/') target.pop_back();

  int err = 0;
  zip_t* za = zip_open(unzipArchive_.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &err);
  if (za == nullptr) return Fail(kZipCannotOpenArchive, 0, unzipArchive_);

  struct Source {
    zip_uint64_t index = 0;
    time_t mtime = 0;
  };
  std::vector<RestoreFile> files;
  std::vector<Source> sources;
  std::int64_t totalBytes = 0;
  std::string unsafe;
  zip_int64_t count = zip_get_num_entries(za, 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    zip_stat_t st;
    if (zip_stat_index(za, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW, &st) != 0 ||
        !(st.valid & ZIP_STAT_NAME))
      continue;
    std::string name = st.name;
    if (name.empty() || name.back() == '/' || !MatchesPattern(unzipPattern_, name)) continue;
    RestoreFile file;
    file.entryName = name;
    if (!SafeEntryName(name, file.relative)) {
      if (unsafe.empty()) unsafe = name;
      continue;
    }
    file.size = (st.valid & ZIP_STAT_SIZE) ? st.size : 0;
    totalBytes += static_cast<std::int64_t>(std::min<std::uint64_t>(file.size, INT64_MAX / 4));
    files.push_back(std::move(file));
    sources.push_back(
        Source{static_cast<zip_uint64_t>(i), (st.valid & ZIP_STAT_MTIME) ? st.mtime : 0});
  }
  zip_discard(za);
  if (!unsafe.empty()) return Fail(kZipUnsafeEntry, 0, {}, unsafe);
  if (files.empty()) return Fail(kZipNothingMatched, 0, unzipArchive_);
  if (CheckEntryLayout(unzipArchive_, failure_) != 0) return failure_.code;

  // Where each file goes, and room for all of them, are settled before anything is written;
  // the commit then replaces the working files all or nothing.
  RestoreCommit commit(target);
  if (commit.Plan(files, failure_) != 0 || commit.Begin(failure_) != 0) return failure_.code;

  // Extract every entry to a temporary file beside its target and check it; only when all
  // are intact do they replace the working files.
  ProgressReporter progress(progressUi_, static_cast<std::int64_t>(files.size()), totalBytes);
  std::vector<zip_uint64_t> order(files.size());
  for (std::size_t i = 0; i < files.size(); ++i) order[i] = i;
  std::mutex tempMutex;
  const char* password = unzipPassword_.empty() ? nullptr : unzipPassword_.c_str();
  std::uint64_t largest = 0;
  for (const auto& file : files) largest = std::max(largest, file.size);
  EntryCheck check = ForEachEntryParallel(
      unzipArchive_, order, unzipPassword_, wholeFileLimit_, largest,
      [&](zip_t* z, zip_uint64_t k, EntryReader& reader) {
        RestoreFile& file = files[k];
        std::string temp;
        int fd = CreateTemporary(file.final, temp);
        if (fd < 0) {
          Fail(kZipCannotWrite, errno, file.final, file.entryName);
          return EntryCheck::kWriteFailed;
        }
        {
          std::lock_guard lock(tempMutex);
          file.temp = temp;
        }
        progress.File(file.relative);
        // Never more than the entry says it holds: an entry that inflates beyond its size is
        // damaged, however large it would grow.
        std::uint64_t written = 0;
        bool tooLong = false;
        EntryCheck c = ReadEntryChecked(z, sources[k].index, password, reader, &progress,
                                        [&](const std::uint8_t* p, std::size_t n) {
                                          written += n;
                                          if (written > file.size) return !(tooLong = true);
                                          if (WriteAll(fd, p, n)) return true;
                                          Fail(kZipCannotWrite, errno, file.final, file.entryName);
                                          return false;
                                        });
        if (tooLong) c = EntryCheck::kDamaged;
        if (c == EntryCheck::kOk) {
          if (sources[k].mtime != 0) {
            timespec times[2] = {{sources[k].mtime, 0}, {sources[k].mtime, 0}};
            ::futimens(fd, times);
          }
          if (::fchmod(fd, ModeFor(file.final)) != 0 || !SyncDescriptor(fd, temp)) {
            Fail(kZipCannotWrite, errno, file.final, file.entryName);
            c = EntryCheck::kWriteFailed;
          }
        }
        if (::close(fd) != 0 && c == EntryCheck::kOk) {
          Fail(kZipCannotWrite, errno, file.final, file.entryName);
          c = EntryCheck::kWriteFailed;
        }
        if (c != EntryCheck::kOk) Fail(ErrorOfCheck(c), 0, file.final, file.entryName);
        progress.FileDone();
        return c;
      });
  std::int32_t result = ErrorOfCheck(check);
  if (result != 0) result = failure_.code != 0 ? failure_.code : Fail(result, 0, unzipArchive_);
  if (result == 0) result = commit.Commit(failure_);
  if (result != 0) commit.Abandon();
  progress.Finish();
  return result == 0 ? static_cast<std::int32_t>(files.size()) : result;
}

}  // namespace verdan::archive
