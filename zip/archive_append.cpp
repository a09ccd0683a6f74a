#include "zip/archive_append.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <vector>

#include "platform/files.h"
#include "zip/archive_check.h"
#include "zip/zip_signatures.h"

namespace verdan::archive {
namespace {

constexpr std::uint16_t kMadeBy = (3 << 8) | 63;
constexpr std::uint32_t kMax32 = 0xffffffffu;
constexpr std::uint64_t kDirectoryLimit = 1ull << 30;
constexpr std::size_t kCopyStep = 1 << 20;

std::uint64_t Le(const std::uint8_t* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
void SetLe(std::uint8_t* p, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void PutLe(std::vector<std::uint8_t>& b, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

bool ReadAll(int fd, std::uint64_t offset, std::size_t n, std::vector<std::uint8_t>& out) {
  out.resize(n);
  for (std::size_t done = 0; done < n;) {
    std::int64_t got = platform::ReadAt(fd, out.data() + done, n - done, offset + done);
    if (got <= 0) {
      if (got == 0) errno = 0;  // shorter than its directory says: not an archive
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

// An archive's central directory records and the comment of its end record.
struct Directory {
  DirectoryPlace place;
  std::vector<std::uint8_t> records;
  std::vector<std::uint8_t> comment;
};

bool ReadDirectory(int fd, Directory& d) {
  platform::FileInfo info;
  errno = 0;
  if (!platform::InfoOf(fd, info)) return false;
  errno = 0;
  if (!LocateDirectory(fd, info.size, d.place) || d.place.size > kDirectoryLimit) return false;
  std::vector<std::uint8_t> end;
  if (!ReadAll(fd, d.place.end, 22, end) || Le(end.data(), 4) != kEndSig) return false;
  if (!ReadAll(fd, d.place.end + 22, static_cast<std::size_t>(Le(end.data() + 20, 2)), d.comment))
    return false;
  return ReadAll(fd, d.place.offset, static_cast<std::size_t>(d.place.size), d.records);
}

// Copies `records` (`count` central directory records) to `out` with their local headers
// `delta` bytes further on; an offset that no longer fits 32 bits moves into the ZIP64 field.
bool MoveRecords(const std::vector<std::uint8_t>& records, std::uint64_t count, std::uint64_t delta,
                 std::vector<std::uint8_t>& out) {
  std::size_t pos = 0;
  for (std::uint64_t k = 0; k < count; ++k) {
    if (pos + 46 > records.size() || Le(&records[pos], 4) != kCentralHeaderSig) return false;
    const std::size_t nameLen = Le(&records[pos + 28], 2), extraLen = Le(&records[pos + 30], 2),
                      commentLen = Le(&records[pos + 32], 2);
    const std::size_t length = 46 + nameLen + extraLen + commentLen;
    if (pos + length > records.size()) return false;
    std::vector<std::uint8_t> r(records.begin() + pos, records.begin() + pos + length);
    pos += length;
    const bool bigUncompressed = Le(&r[24], 4) == kMax32, bigCompressed = Le(&r[20], 4) == kMax32;
    const std::size_t used = (bigUncompressed ? 8 : 0) + (bigCompressed ? 8 : 0);
    // The ZIP64 field, if any: where it starts within the record, and its length.
    std::size_t zip64At = 0, zip64Len = 0;
    for (std::size_t e = 46 + nameLen; e + 4 <= 46 + nameLen + extraLen;) {
      std::size_t id = Le(&r[e], 2), len = Le(&r[e + 2], 2);
      if (e + 4 + len > 46 + nameLen + extraLen) return false;
      if (id == 0x0001) {
        zip64At = e;
        zip64Len = len;
      }
      e += 4 + len;
    }
    const std::uint64_t old32 = Le(&r[42], 4);
    if (old32 == kMax32) {
      if (zip64At == 0 || zip64Len < used + 8) return false;
      std::uint8_t* field = &r[zip64At + 4 + used];
      SetLe(field, Le(field, 8) + delta, 8);
    } else if (old32 + delta < kMax32) {
      SetLe(&r[42], old32 + delta, 4);
    } else {
      // The offset goes into the ZIP64 field, after the sizes it holds.
      if (zip64At != 0 && zip64Len != used) return false;
      std::vector<std::uint8_t> offset;
      PutLe(offset, old32 + delta, 8);
      std::size_t insertAt;
      if (zip64At != 0) {
        insertAt = zip64At + 4 + zip64Len;
        SetLe(&r[zip64At + 2], zip64Len + 8, 2);
      } else {
        insertAt = 46 + nameLen;
        std::vector<std::uint8_t> head;
        PutLe(head, 0x0001, 2);
        PutLe(head, 8, 2);
        offset.insert(offset.begin(), head.begin(), head.end());
      }
      if (extraLen + offset.size() > 0xffff) return false;
      r.insert(r.begin() + static_cast<std::ptrdiff_t>(insertAt), offset.begin(), offset.end());
      SetLe(&r[30], extraLen + offset.size(), 2);
      SetLe(&r[42], kMax32, 4);
      if (Le(&r[6], 2) < 45) SetLe(&r[6], 45, 2);
    }
    out.insert(out.end(), r.begin(), r.end());
  }
  return pos == records.size();
}

bool CopyRange(int from, std::uint64_t at, std::uint64_t n, int to, std::uint64_t dest) {
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(std::min<std::uint64_t>(n, kCopyStep)));
  for (std::uint64_t done = 0; done < n;) {
    std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), n - done));
    if (!ReadAll(from, at + done, step, buf) ||
        !platform::WriteAllAt(to, buf.data(), step, dest + done))
      return false;
    done += step;
  }
  return true;
}

bool Append(int baseFd, int freshFd) {
  Directory base, fresh;
  if (!ReadDirectory(baseFd, base) || !ReadDirectory(freshFd, fresh)) return false;
  const std::uint64_t delta = base.place.offset;
  // The fresh entries over the base's directory, then both directories and the end records.
  if (!CopyRange(freshFd, 0, fresh.place.offset, baseFd, delta)) return false;
  std::vector<std::uint8_t> tail = base.records;
  if (!MoveRecords(fresh.records, fresh.place.entries, delta, tail)) return false;
  const std::uint64_t cdOffset = delta + fresh.place.offset;
  const std::uint64_t cdSize = tail.size();
  const std::uint64_t count = base.place.entries + fresh.place.entries;
  if (count >= 0xffff || cdOffset >= kMax32 || cdSize >= kMax32) {
    const std::uint64_t end64 = cdOffset + cdSize;
    PutLe(tail, kZip64EndSig, 4);
    PutLe(tail, 44, 8);
    PutLe(tail, kMadeBy, 2);
    PutLe(tail, 45, 2);
    PutLe(tail, 0, 4);
    PutLe(tail, 0, 4);
    PutLe(tail, count, 8);
    PutLe(tail, count, 8);
    PutLe(tail, cdSize, 8);
    PutLe(tail, cdOffset, 8);
    PutLe(tail, kZip64LocatorSig, 4);
    PutLe(tail, 0, 4);
    PutLe(tail, end64, 8);
    PutLe(tail, 1, 4);
  }
  PutLe(tail, kEndSig, 4);
  PutLe(tail, 0, 2);
  PutLe(tail, 0, 2);
  PutLe(tail, std::min<std::uint64_t>(count, 0xffff), 2);
  PutLe(tail, std::min<std::uint64_t>(count, 0xffff), 2);
  PutLe(tail, std::min<std::uint64_t>(cdSize, kMax32), 4);
  PutLe(tail, std::min<std::uint64_t>(cdOffset, kMax32), 4);
  PutLe(tail, base.comment.size(), 2);
  tail.insert(tail.end(), base.comment.begin(), base.comment.end());
  return platform::WriteAllAt(baseFd, tail.data(), tail.size(), cdOffset) &&
         platform::SetFileSize(baseFd, cdOffset + tail.size());
}

}  // namespace

bool AppendArchive(const std::string& base, const std::string& fresh, int& systemError) {
  systemError = 0;
  int freshFd = platform::OpenFile(fresh, platform::Access::kRead);
  if (freshFd < 0) {
    systemError = errno;
    return false;
  }
  platform::FileInfo info;
  bool ok;
  if (!platform::InfoAt(base, info)) {
    // Nothing of the base is left: the fresh archive is the whole of it.
    int out = platform::CreateFile(base, platform::Creation::kTruncate, 0600);
    ok = out >= 0 && platform::CopyContents(freshFd, out);
    if (!ok) systemError = errno;
    if (out >= 0 && !platform::CloseFile(out) && ok) {
      ok = false;
      systemError = errno;
    }
  } else {
    int baseFd = platform::OpenFile(base, platform::Access::kReadWrite);
    ok = baseFd >= 0 && Append(baseFd, freshFd);
    if (!ok) systemError = errno;
    if (baseFd >= 0 && !platform::CloseFile(baseFd) && ok) {
      ok = false;
      systemError = errno;
    }
  }
  platform::CloseFile(freshFd);
  return ok;
}

}  // namespace verdan::archive
