#include "zip/zip_component.h"

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
#include <unordered_map>
#include <utility>

#include "platform/files.h"
#include "platform/memory.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "platform/ui.h"
#include "platform/workers.h"
#include "zip/archive_append.h"
#include "zip/archive_check.h"
#include "zip/checksum.h"
#include "zip/extraction.h"
#include "zip/restore_commit.h"
#include "zip/temporaries.h"
#include "zip/zip_crypto.h"
#include "zip/zip_writer.h"

namespace verdan::archive {
namespace {

// Memory the parallel reading may hold besides twice the largest entry read whole.
constexpr std::uint64_t kExtraBudget = 16ull << 20;
constexpr std::size_t kIoChunk = 1 << 20;
constexpr int kWorkers = 2;
// Entries of an archive that was added to are read back whole only up to this size, so that
// the check stays within a small memory budget whatever the file sizes.
constexpr std::uint64_t kAddCheckWholeLimit = 16ull << 20;

// ---------------------------------------------------------------------------------------
// File helpers: everything written goes to a temporary name beside its target
// (zip/temporaries.h).

// A large byte buffer taken straight from the system, so that it goes back whole when freed
// and only the pages written count against the process's memory.
class Buffer {
 public:
  Buffer() = default;
  explicit Buffer(std::size_t size) : size_(size) {
    if (size == 0) return;
    void* p = platform::TakePages(size);
    if (p == nullptr) {
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
    const std::size_t page = platform::PageSize();
    std::size_t keep = (n + page - 1) / page * page;
    if (keep < size_) platform::ReturnTail(data_ + keep, size_ - keep);
    if (keep == 0) data_ = nullptr;
    size_ = n;
    mapped_ = keep;
  }

 private:
  void Free() {
    if (data_ != nullptr) platform::FreePages(data_, mapped_ ? mapped_ : size_);
    data_ = nullptr;
    size_ = mapped_ = 0;
  }
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t mapped_ = 0;  // bytes mapped after a Shrink; 0 means size_
  bool failed_ = false;
};

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
bool CopyDescriptor(platform::FileHandle in, platform::FileHandle out) {
  return platform::CopyContents(in, out);
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
    zip_int64_t n =
        zip_fread(zf, comp.data() + got, std::min<std::uint64_t>(st.comp_size - got, 1u << 30));
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
EntryCheck ForEachEntryParallel(const std::string& archive,
                                const std::vector<zip_uint64_t>& indices,
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
  platform::RunOnWorkers(static_cast<std::size_t>(std::max(threads, 0)),
                         [&](std::size_t t) { worker(handles[t]); });
  for (zip_t* h : handles) zip_discard(h);
  return static_cast<EntryCheck>(failure.load());
}

// Reads the entries named in `expectedCrc`, encrypted under `password`, through our own
// reader: password, authentication code, and the CRC of what they decrypt to.
bool CheckEncryptedEntries(const std::string& path,
                           const std::vector<std::pair<std::string, std::uint32_t>>& expectedCrc,
                           const std::string& password) {
  ZipFailure layout;
  std::vector<EntryPlace> places;
  if (CheckEntryLayout(path, layout, &places) != 0 || places.empty()) return false;
  std::unordered_map<std::string, const EntryPlace*> byName;
  for (const EntryPlace& p : places) byName[p.name] = &p;
  platform::FileHandle fd = platform::OpenFile(path, platform::Access::kRead);
  if (fd == platform::kNoFile) return false;
  std::vector<std::uint8_t> in(kIoChunk), out(kIoChunk);
  bool ok = true;
  for (const auto& [name, crc] : expectedCrc) {
    auto at = byName.find(name);
    std::uint32_t plain = 0;
    ok = at != byName.end() && at->second->encryption.encrypted &&
         ReadEncryptedEntry(
             fd, at->second->data, at->second->compressed, at->second->encryption, password,
             in.data(), out.data(), kIoChunk, [](const std::uint8_t*, std::size_t) { return true; },
             &plain) == CryptoCheck::kOk &&
         plain == crc;
    if (!ok) break;
  }
  platform::CloseFile(fd);
  return ok;
}

// Reads every entry of a freshly written archive back; `expectedCrc` maps entry names to the
// CRC of the file they were made from, the entries encrypted when `password` is not empty.
std::int32_t VerifyArchive(const std::string& path, std::size_t expectedEntries,
                           const std::vector<std::pair<std::string, std::uint32_t>>& expectedCrc,
                           std::uint64_t wholeLimit, const std::string& password) {
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
    if (zip_stat(za, name.c_str(), 0, &st) != 0) ok = false;
    // Encrypted entries carry no CRC: they are decrypted and checked below.
    if (password.empty() && (!(st.valid & ZIP_STAT_CRC) || st.crc != crc)) ok = false;
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
          zip_file_t* zf = zip_fopen_index(z, i, ZIP_FL_ENCRYPTED | ZIP_FL_COMPRESSED);
          if (zf == nullptr) return EntryCheck::kDamaged;
          // Read up to its size and no further: the library checks the CRC field at the end
          // even where the format leaves it 0.
          std::uint64_t total = 0;
          zip_int64_t n = 0;
          while (total < st.comp_size &&
                 (n = zip_fread(zf, buf.data(),
                                std::min<std::uint64_t>(buf.size(), st.comp_size - total))) > 0)
            total += static_cast<std::uint64_t>(n);
          zip_fclose(zf);
          return n < 0 || total != st.comp_size ? EntryCheck::kDamaged : EntryCheck::kOk;
        }
        return ReadEntryChecked(z, i, nullptr, reader, nullptr,
                                [](const std::uint8_t*, std::size_t) { return true; });
      });
  if (c == EntryCheck::kOk && !password.empty() &&
      !CheckEncryptedEntries(path, expectedCrc, password))
    c = EntryCheck::kDamaged;
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
  platform::FileInfo info;
  return !path.empty() && platform::InfoAt(path, info) && info.kind == platform::FileKind::kRegular
             ? 1
             : 0;
}

std::int32_t ZipComponent::COPY_FILE(const std::string& source, const std::string& destination) {
  platform::FileHandle in = platform::OpenFile(source, platform::Access::kRead);
  if (in == platform::kNoFile) return 0;
  std::string temp;
  platform::FileHandle out = CreateTemporary(destination, temp);
  if (out == platform::kNoFile) {
    platform::CloseFile(in);
    return 0;
  }
  platform::FileInfo info;
  bool ok = platform::InfoOf(in, info) && info.kind == platform::FileKind::kRegular &&
            CopyDescriptor(in, out) && platform::SetPermissions(out, PermissionsFor(destination)) &&
            SyncFile(out, temp);
  platform::CloseFile(in);
  ok = platform::CloseFile(out) && ok;
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
  KeepFirstFailure(failure_, code, systemError, path, entry);
  return code;
}

std::vector<std::string> ZipComponent::TakeSkipped() {
  std::vector<std::string> skipped;
  skipped.swap(skipped_);
  return skipped;
}

std::int32_t ZipComponent::LSZIP_INCLUDE(const std::string& pattern) {
  std::string dir = ".";
  std::string namePattern = pattern;
  auto slash = platform::LastSeparator(pattern);
  if (slash != std::string::npos) {
    dir = slash == 0 ? pattern.substr(0, 1) : pattern.substr(0, slash);
    namePattern = pattern.substr(slash + 1);
  }
  if (namePattern.empty()) return 0;
  std::string base = dir;
  if (!platform::IsAbsolutePath(base)) {
    const std::string cwd = platform::CurrentDirectory();
    if (cwd.empty()) return 0;
    base = dir == "." ? cwd : cwd + "/" + dir;
  }
  platform::FileHandle d = platform::OpenDirectory(base);
  std::vector<std::string> listed;
  const bool read = d != platform::kNoFile && platform::ListOpenDirectory(d, listed);
  if (!read) {
    if (d != platform::kNoFile) platform::CloseFile(d);
    return 0;
  }
  std::vector<std::pair<std::string, platform::FileInfo>> names;
  std::string upperPattern = UpperName(namePattern);
  for (const std::string& name : listed) {
    if (!MatchUpper(upperPattern.c_str(), UpperName(name).c_str())) continue;
    // A symbolic link is never followed: it may name any file of the system, which would
    // end up in an archive that others can read. A link, and anything else that is not a
    // regular file (a directory, a pipe, a device), is left out and named.
    platform::FileInfo info;
    std::string full = (base == "/" ? "" : base) + "/" + name;
    if (!platform::InfoBeneath(d, name, info)) continue;
    if (info.kind != platform::FileKind::kRegular) {
      skipped_.push_back(full);
      continue;
    }
    names.emplace_back(name, info);
  }
  platform::CloseFile(d);
  std::sort(names.begin(), names.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  // Entry names already queued, upper-cased, with their places in the queue.
  std::unordered_map<std::string, std::size_t> queuedNames;
  for (std::size_t i = 0; i < queue_.size(); ++i)
    queuedNames.emplace(UpperName(queue_[i].entryName), i);
  for (const auto& [name, info] : names) {
    std::string full = (base == "/" ? "" : base) + "/" + name;
    QueuedFile file{full, name, info.size, static_cast<std::time_t>(info.modified.seconds)};
    auto [at, added] = queuedNames.emplace(UpperName(name), queue_.size());
    if (added)
      queue_.push_back(std::move(file));
    else
      queue_[at->second] = std::move(file);
  }
  return static_cast<std::int32_t>(names.size());
}

namespace {

// Hands the packing's progress to the component's reporter.
class PackProgressReport final : public PackProgress {
 public:
  explicit PackProgressReport(ProgressReporter& r) : r_(r) {}
  void FileStarted(const std::string& entryName) override { r_.File(entryName); }
  void BytesPacked(std::uint64_t n) override { r_.Bytes(static_cast<std::int64_t>(n)); }
  void FileFinished() override { r_.FileDone(); }
  void FileAgain(std::uint64_t n) override { r_.Bytes(-static_cast<std::int64_t>(n)); }

 private:
  ProgressReporter& r_;
};

// Hands the extraction's progress to the component's reporter.
class ExtractProgressReport final : public ExtractProgress {
 public:
  explicit ExtractProgressReport(ProgressReporter& r) : r_(r) {}
  void FileStarted(const std::string& entryName) override { r_.File(entryName); }
  void BytesWritten(std::uint64_t n) override { r_.Bytes(static_cast<std::int64_t>(n)); }
  void FileFinished() override { r_.FileDone(); }

 private:
  ProgressReporter& r_;
};

std::int32_t ErrorOfPack(PackResult r) {
  switch (r) {
    case PackResult::kOk:
      return 0;
    case PackResult::kCannotRead:
      return kZipCannotReadFile;
    case PackResult::kCannotWrite:
      return kZipCannotWrite;
    case PackResult::kVerifyFailed:
      return kZipVerifyFailed;
    case PackResult::kChanged:
      return kZipFileChanged;
  }
  return kZipCannotWrite;
}

// Puts the entries of `fresh`, an archive just written and checked, into the archive open as
// `za`, each replacing an entry of the same name in any letter case (which takes the new
// name's case) or added at the end. Their data is copied as it stands.
bool MergeEntries(zip_t* za, zip_t* fresh, const std::vector<PackedEntry>& entries) {
  std::unordered_map<std::string, zip_uint64_t> byName;
  zip_int64_t count = zip_get_num_entries(za, 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    const char* name = zip_get_name(za, static_cast<zip_uint64_t>(i), 0);
    if (name != nullptr) byName.emplace(UpperName(name), static_cast<zip_uint64_t>(i));
  }
  for (std::size_t k = 0; k < entries.size(); ++k) {
    const PackedEntry& entry = entries[k];
    zip_source_t* src = zip_source_zip(za, fresh, k, ZIP_FL_COMPRESSED, 0, -1);
    if (src == nullptr) return false;
    zip_uint64_t index;
    auto same = byName.find(UpperName(entry.name));
    if (same != byName.end()) {
      index = same->second;
      if (zip_file_replace(za, index, src, 0) != 0) {
        zip_source_free(src);
        return false;
      }
      const char* old = zip_get_name(za, index, 0);
      if (old != nullptr && entry.name != old) zip_file_rename(za, index, entry.name.c_str(), 0);
    } else {
      zip_int64_t added = zip_file_add(za, entry.name.c_str(), src, ZIP_FL_ENC_GUESS);
      if (added < 0) {
        zip_source_free(src);
        return false;
      }
      index = static_cast<zip_uint64_t>(added);
      byName.emplace(UpperName(entry.name), index);
    }
    // libzip would deflate stored data again unless told to keep it stored.
    if (entry.stored && zip_set_file_compression(za, index, ZIP_CM_STORE, 0) != 0) return false;
  }
  return true;
}

// Removes from the archive open as `za` the entries that `entries` replace (same name in any
// letter case), for the encrypted ones to be appended as they were written. Returns the number
// of entries left, or -1.
zip_int64_t DropReplaced(zip_t* za, const std::vector<PackedEntry>& entries) {
  std::unordered_map<std::string, bool> replaced;
  for (const PackedEntry& e : entries) replaced.emplace(UpperName(e.name), true);
  zip_int64_t count = zip_get_num_entries(za, 0), left = count;
  for (zip_int64_t i = 0; i < count; ++i) {
    const char* name = zip_get_name(za, static_cast<zip_uint64_t>(i), 0);
    if (name == nullptr || replaced.count(UpperName(name)) == 0) continue;
    if (zip_delete(za, static_cast<zip_uint64_t>(i)) != 0) return -1;
    --left;
  }
  return left;
}

}  // namespace

std::int32_t ZipComponent::LSZIP_EXECUTE(const std::string& archive, std::int32_t action,
                                         std::int32_t, std::int32_t) {
  std::vector<QueuedFile> queued;
  queued.swap(queue_);
  failure_ = ZipFailure{};
  if (action != kActionNew && action != kActionAdd) return Fail(kZipBadAction, 0, archive);
  if (queued.empty()) return Fail(kZipNothingQueued, 0, archive);
  if (archive.empty()) return Fail(kZipCannotWrite, ENOENT, archive);

  // The progress totals come from the sizes the include found. Each file is opened once
  // when it is packed, never through a link and only as a regular file; one that has gone
  // or become something else by then fails the execute there, naming it.
  std::vector<PackFile> files;
  std::int64_t totalBytes = 0;
  files.reserve(queued.size());
  for (const auto& q : queued) {
    files.push_back(PackFile{q.path, q.entryName, q.size, q.mtime});
    totalBytes += static_cast<std::int64_t>(q.size);
  }

  // Adding works on a copy of the archive, checked before anything is packed; the archive
  // itself is replaced only when all is well.
  bool adding = action == kActionAdd && FILE_EXISTS(archive);
  std::string merged;
  zip_t* za = nullptr;
  if (adding) {
    platform::FileHandle out = CreateTemporary(archive, merged);
    if (out == platform::kNoFile) return Fail(kZipCannotWrite, errno, archive);
    platform::FileHandle in = platform::OpenFile(archive, platform::Access::kRead);
    bool ok = in != platform::kNoFile && CopyDescriptor(in, out);
    int error = errno;
    if (in != platform::kNoFile) platform::CloseFile(in);
    ok = platform::CloseFile(out) && ok;
    int err = 0;
    if (ok) za = zip_open(merged.c_str(), ZIP_CHECKCONS, &err);
    if (za == nullptr) {
      DiscardTemporary(merged);
      return ok ? Fail(kZipCannotOpenArchive, 0, archive) : Fail(kZipCannotWrite, error, archive);
    }
  }

  std::string temp;
  int fd = CreateTemporary(archive, temp);
  if (fd < 0) {
    int error = errno;
    if (za != nullptr) zip_discard(za);
    if (adding) DiscardTemporary(merged);
    return Fail(kZipCannotWrite, error, archive);
  }
  ProgressReporter progress(progressUi_, static_cast<std::int64_t>(files.size()), totalBytes);
  PackProgressReport report(progress);
  PackOptions options;
  options.chunkSize = chunkSize_;
  options.password = archivePassword_;
  std::vector<PackedEntry> packed;
  PackFailure why;
  std::int32_t result = ErrorOfPack(WriteArchive(fd, temp, files, options, &report, &packed, &why));
  if (result != 0)
    Fail(result, why.systemError,
         result == kZipCannotReadFile || result == kZipFileChanged ? why.path : archive);
  if (!platform::CloseFile(fd) && result == 0) result = Fail(kZipCannotWrite, errno, archive);

  if (result == 0 && adding) {
    int err = 0;
    zip_t* fresh = zip_open(temp.c_str(), ZIP_RDONLY, &err);
    // Encrypted entries are appended byte for byte after the others; the ZIP library would
    // not keep them as they were written.
    const bool encrypted = !archivePassword_.empty();
    zip_int64_t kept = encrypted ? DropReplaced(za, packed) : 0;
    bool ok = fresh != nullptr && kept >= 0 && (encrypted || MergeEntries(za, fresh, packed));
    std::size_t expectedEntries = encrypted ? static_cast<std::size_t>(kept) + packed.size()
                                            : static_cast<std::size_t>(zip_get_num_entries(za, 0));
    int appendError = 0;
    if (ok && zip_close(za) == 0) {
      za = nullptr;
      if (encrypted && !AppendArchive(merged, temp, appendError)) ok = false;
    }
    if (ok && za == nullptr) {
      std::vector<std::pair<std::string, std::uint32_t>> expected;
      for (const auto& e : packed) expected.emplace_back(e.name, e.crc);
      result =
          VerifyArchive(merged, expectedEntries, expected, kAddCheckWholeLimit, archivePassword_);
    } else if (za == nullptr) {
      result = Fail(kZipCannotWrite, appendError, archive);
    } else {
      const zip_error_t* ze = za != nullptr ? zip_get_error(za) : nullptr;
      result = Fail(
          kZipCannotWrite,
          ze != nullptr && zip_error_system_type(ze) == ZIP_ET_SYS ? zip_error_code_system(ze) : 0,
          archive);
    }
    if (fresh != nullptr) zip_discard(fresh);
  }
  if (za != nullptr) zip_discard(za);
  if (adding) {
    DiscardTemporary(temp);
    temp = merged;
  }
  if (result == 0) {
    bool ok = platform::SetPermissionsAt(temp, PermissionsFor(archive)) && SyncFileByName(temp) &&
              PlaceTemporary(temp, archive);
    result = ok ? static_cast<std::int32_t>(files.size()) : Fail(kZipCannotWrite, errno, archive);
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
  platform::FileInfo info;
  return !target.empty() && platform::InfoAt(target, info) &&
                 info.kind == platform::FileKind::kDirectory && platform::MayWriteIn(target)
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

  std::vector<RestoreFile> files;
  std::vector<ExtractJob> jobs;
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
    ExtractJob job;
    job.index = static_cast<std::uint64_t>(i);
    job.entryName = name;
    job.size = files.back().size;
    job.compressedSize = (st.valid & ZIP_STAT_COMP_SIZE) ? st.comp_size : 0;
    job.crc = (st.valid & ZIP_STAT_CRC) ? st.crc : 0;
    job.mtime = (st.valid & ZIP_STAT_MTIME) ? st.mtime : 0;
    // Plain stored or deflated data is read straight from the archive; the rest through libzip.
    constexpr zip_uint64_t kNeeded = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_CRC |
                                     ZIP_STAT_COMP_METHOD | ZIP_STAT_ENCRYPTION_METHOD;
    job.direct = (st.valid & kNeeded) == kNeeded && st.encryption_method == ZIP_EM_NONE &&
                 (st.comp_method == ZIP_CM_DEFLATE || st.comp_method == ZIP_CM_STORE);
    job.deflated = st.comp_method == ZIP_CM_DEFLATE;
    jobs.push_back(std::move(job));
  }
  zip_discard(za);
  if (!unsafe.empty()) return Fail(kZipUnsafeEntry, 0, {}, unsafe);
  if (files.empty()) return Fail(kZipNothingMatched, 0, unzipArchive_);
  std::vector<EntryPlace> places;
  if (CheckEntryLayout(unzipArchive_, failure_, &places) != 0) return failure_.code;
  for (ExtractJob& job : jobs) {
    // The directory as read here must agree with libzip's, entry by entry.
    const EntryPlace* place =
        places.size() == static_cast<std::size_t>(count) ? &places[job.index] : nullptr;
    if (place == nullptr || place->name != job.entryName ||
        place->compressed != job.compressedSize) {
      job.direct = false;
    } else {
      job.dataOffset = place->data;
      job.encryption = place->encryption;  // encrypted entries are read by our own reader
      if (job.encryption.encrypted) job.direct = false;
    }
  }

  // Where each file goes, and room for all of them, are settled before anything is written;
  // the commit then replaces the working files all or nothing.
  RestoreCommit commit(target);
  if (commit.Plan(files, failure_) != 0 || commit.Begin(failure_) != 0) return failure_.code;

  // Extract every entry to a temporary file beside its target, checked and synced (or, for a
  // small working file to be written over in place, into memory); only when all are intact
  // do they replace the working files.
  for (std::size_t k = 0; k < files.size(); ++k) {
    jobs[k].target = files[k].final;
    jobs[k].hold = files[k].inPlace;
    files[k].mtime = jobs[k].mtime;
  }
  commit.KeepOriginalsMeanwhile();
  ProgressReporter progress(progressUi_, static_cast<std::int64_t>(files.size()), totalBytes);
  ExtractProgressReport report(progress);
  ExtractOptions options;
  options.wholeLimit = wholeFileLimit_;
  options.pieceSize = pieceSize_;
  options.password = unzipPassword_;
  // The commit syncs the file system of the temporaries once, before it replaces anything;
  // where that sync does not reach the files' data, each is synced as it is finished.
  options.sync = platform::SyncFileSystemCoversFiles(target) ? TemporarySync::kByCaller
                                                             : TemporarySync::kEachFile;
  std::int32_t result =
      ExtractEntries(unzipArchive_, jobs, options, &report, failure_, &extractStats_);
  for (std::size_t k = 0; k < files.size(); ++k) {
    files[k].temp = jobs[k].temp;
    files[k].unchanged = jobs[k].unchanged;
    files[k].held = jobs[k].held;
    files[k].data = std::move(jobs[k].data);
  }
  if (result == 0) result = commit.Commit(failure_);
  if (result != 0) commit.Abandon();
  // A working file left in place because it already held its entry gets the entry's time, as
  // a replaced one does.
  for (std::size_t k = 0; result == 0 && k < files.size(); ++k) {
    if (!files[k].unchanged || jobs[k].mtime == 0) continue;
    platform::SetTimesAt(files[k].final, {jobs[k].mtime, 0}, {jobs[k].mtime, 0},
                         platform::Links::kNoFollow);
  }
  progress.Finish();
  return result == 0 ? static_cast<std::int32_t>(files.size()) : result;
}

}  // namespace verdan::archive
