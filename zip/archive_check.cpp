#include "zip/archive_check.h"

#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/files.h"
#include "zip/zip_signatures.h"

namespace verdan::archive {
namespace {

constexpr std::uint64_t kDirectoryLimit = 1ull << 30;

std::uint64_t Le(const std::uint8_t* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

bool ReadAt(int fd, std::uint64_t offset, std::size_t size, std::vector<std::uint8_t>& out) {
  out.resize(size);
  std::size_t done = 0;
  while (done < size) {
    std::int64_t n = platform::ReadAt(fd, out.data() + done, size - done, offset + done);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

struct Span {
  std::uint64_t header = 0;  // where the entry's local header starts
  std::uint64_t end = 0;     // where its data ends
  std::uint64_t compressed = 0;
  std::string name;
  EntryEncryption encryption;
};

// The central directory's place; false when it cannot be found.
bool FindDirectory(int fd, std::uint64_t fileSize, std::uint64_t& dirOffset, std::uint64_t& dirSize,
                   std::uint64_t& entries, std::uint64_t& dirEnd) {
  if (fileSize < 22) return false;
  std::uint64_t tail = std::min<std::uint64_t>(fileSize, 65535 + 22);
  std::vector<std::uint8_t> buf;
  if (!ReadAt(fd, fileSize - tail, static_cast<std::size_t>(tail), buf)) return false;
  // The end record whose comment reaches exactly to the end of the file (a comment may
  // itself hold the signature); failing that, the last one (data may follow the archive).
  std::int64_t at = -1, last = -1;
  for (std::int64_t i = static_cast<std::int64_t>(tail) - 22; i >= 0 && at < 0; --i) {
    const std::uint8_t* e = &buf[static_cast<std::size_t>(i)];
    if (Le(e, 4) != kEndSig) continue;
    if (last < 0) last = i;
    if (static_cast<std::uint64_t>(i) + 22 + Le(e + 20, 2) == tail) at = i;
  }
  if (at < 0) at = last;
  if (at < 0) return false;
  const std::uint8_t* e = &buf[static_cast<std::size_t>(at)];
  std::uint64_t endPos = fileSize - tail + static_cast<std::uint64_t>(at);
  entries = Le(e + 10, 2);
  dirSize = Le(e + 12, 4);
  dirOffset = Le(e + 16, 4);
  dirEnd = endPos;
  // The ZIP64 end record counts when the 32-bit fields overflow, and also when a writer put
  // it there anyway (its locator stands right before the end record).
  std::vector<std::uint8_t> loc;
  bool located =
      endPos >= 20 && ReadAt(fd, endPos - 20, 20, loc) && Le(loc.data(), 4) == kZip64LocatorSig;
  const bool overflows = entries == 0xFFFF || dirSize == 0xFFFFFFFF || dirOffset == 0xFFFFFFFF;
  if (located) {
    std::uint64_t end64 = Le(loc.data() + 8, 8);
    std::vector<std::uint8_t> z;
    if (end64 + 56 <= fileSize && ReadAt(fd, end64, 56, z) && Le(z.data(), 4) == kZip64EndSig) {
      entries = Le(z.data() + 32, 8);
      dirSize = Le(z.data() + 40, 8);
      dirOffset = Le(z.data() + 48, 8);
      dirEnd = end64;
    } else if (overflows) {
      return false;
    }
  } else if (overflows) {
    return false;
  }
  return true;
}

}  // namespace

bool LocateDirectory(int fd, std::uint64_t fileSize, DirectoryPlace& place) {
  std::uint64_t dirEnd = 0;
  if (!FindDirectory(fd, fileSize, place.offset, place.size, place.entries, dirEnd)) return false;
  std::vector<std::uint8_t> end;
  place.end = fileSize;
  // The end record itself: after the ZIP64 records when there are any.
  std::uint64_t tail = std::min<std::uint64_t>(fileSize, 65535 + 22);
  if (!ReadAt(fd, fileSize - tail, static_cast<std::size_t>(tail), end)) return false;
  for (std::int64_t i = static_cast<std::int64_t>(tail) - 22; i >= 0; --i)
    if (Le(&end[static_cast<std::size_t>(i)], 4) == kEndSig) {
      place.end = fileSize - tail + static_cast<std::uint64_t>(i);
      break;
    }
  return place.offset + place.size == dirEnd && place.end < fileSize;
}

std::int32_t CheckEntryLayout(const std::string& archive, ZipFailure& failure,
                              std::vector<EntryPlace>* places) {
  if (places != nullptr) places->clear();
  platform::FileHandle fd = platform::OpenFile(archive, platform::Access::kRead);
  if (fd == platform::kNoFile) return 0;
  platform::FileInfo st;
  std::uint64_t dirOffset = 0, dirSize = 0, entries = 0, dirEnd = 0;
  std::vector<Span> spans;
  bool readable = platform::InfoOf(fd, st) &&
                  FindDirectory(fd, st.size, dirOffset, dirSize, entries, dirEnd) &&
                  dirSize <= kDirectoryLimit && dirOffset + dirSize <= dirEnd;
  // Data put before the archive (a self-extracting stub) moves every offset by the same amount.
  std::uint64_t shift = readable ? dirEnd - (dirOffset + dirSize) : 0;
  std::vector<std::uint8_t> dir;
  if (readable) readable = ReadAt(fd, dirOffset + shift, static_cast<std::size_t>(dirSize), dir);
  std::size_t pos = 0;
  while (readable && pos + 46 <= dir.size() && Le(&dir[pos], 4) == kCentralHeaderSig) {
    const std::uint8_t* c = &dir[pos];
    std::uint64_t comp = Le(c + 20, 4);
    std::uint64_t uncomp = Le(c + 24, 4);
    std::size_t nameLen = Le(c + 28, 2), extraLen = Le(c + 30, 2), commentLen = Le(c + 32, 2);
    std::uint64_t local = Le(c + 42, 4);
    if (pos + 46 + nameLen + extraLen + commentLen > dir.size()) break;
    Span span;
    span.name.assign(reinterpret_cast<const char*>(c + 46), nameLen);
    // ZIP64 sizes and offset, in this order, for the fields that hold all ones.
    const std::uint8_t* x = c + 46 + nameLen;
    for (std::size_t k = 0; k + 4 <= extraLen;) {
      std::size_t id = Le(x + k, 2), len = Le(x + k + 2, 2);
      if (k + 4 + len > extraLen) break;
      if (id == 0x0001) {
        const std::uint8_t* v = x + k + 4;
        std::size_t used = 0;
        if (uncomp == 0xFFFFFFFF && used + 8 <= len) uncomp = Le(v + used, 8), used += 8;
        if (comp == 0xFFFFFFFF && used + 8 <= len) comp = Le(v + used, 8), used += 8;
        if (local == 0xFFFFFFFF && used + 8 <= len) local = Le(v + used, 8), used += 8;
      }
      k += 4 + len;
    }
    EntryEncryption& how = span.encryption;
    how.flags = static_cast<std::uint16_t>(Le(c + 8, 2));
    how.encrypted = (how.flags & 1) != 0;
    how.method = static_cast<std::uint16_t>(Le(c + 10, 2));
    how.dosTime = static_cast<std::uint16_t>(Le(c + 12, 2));
    how.crc = static_cast<std::uint32_t>(Le(c + 16, 4));
    how.size = uncomp;
    ParseAesExtra(x, extraLen, how);
    std::vector<std::uint8_t> lh;
    if (!ReadAt(fd, local + shift, 30, lh) || Le(lh.data(), 4) != kLocalHeaderSig) {
      readable = false;
      break;
    }
    span.header = local + shift;
    span.end = span.header + 30 + Le(lh.data() + 26, 2) + Le(lh.data() + 28, 2) + comp;
    span.compressed = comp;
    spans.push_back(std::move(span));
    pos += 46 + nameLen + extraLen + commentLen;
  }
  platform::CloseFile(fd);
  if (!readable || spans.size() != entries) return 0;  // left to the reader's checks
  if (places != nullptr && shift == 0)
    for (const Span& s : spans)
      places->push_back(EntryPlace{s.name, s.end - s.compressed, s.compressed, s.encryption});

  std::sort(spans.begin(), spans.end(),
            [](const Span& a, const Span& b) { return a.header < b.header; });
  std::uint64_t directoryStart = dirOffset + shift;
  for (std::size_t i = 0; i < spans.size(); ++i) {
    bool overlaps = spans[i].end > directoryStart ||
                    (i + 1 < spans.size() && spans[i + 1].header < spans[i].end);
    if (overlaps) {
      if (places != nullptr) places->clear();
      failure.code = kZipOverlappingEntries;
      failure.systemError = 0;
      failure.path = archive;
      failure.entry = i + 1 < spans.size() && spans[i].end <= directoryStart ? spans[i + 1].name
                                                                             : spans[i].name;
      return kZipOverlappingEntries;
    }
  }
  return 0;
}

std::vector<std::string> MatchingEntryNames(const std::string& archive,
                                            const std::string& pattern) {
  std::vector<std::string> names;
  int err = 0;
  zip_t* za = archive.empty() ? nullptr : zip_open(archive.c_str(), ZIP_RDONLY, &err);
  if (za == nullptr) return names;
  zip_int64_t count = zip_get_num_entries(za, 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    const char* name = zip_get_name(za, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW);
    if (name != nullptr && name[0] != '\0' && name[std::strlen(name) - 1] != '/' &&
        MatchesPattern(pattern, name))
      names.emplace_back(name);
  }
  zip_discard(za);
  return names;
}

}  // namespace verdan::archive
