#include "zip/verify.h"

#include <zip.h>

#include <cstdio>
#include <ctime>
#include <memory>

#include "platform/files.h"
#include "zip/archive_check.h"
#include "zip/zip_crypto.h"

namespace verdan::archive {
namespace {

struct ArchiveCloser {
  void operator()(zip_t* z) const { zip_discard(z); }
};
using Archive = std::unique_ptr<zip_t, ArchiveCloser>;

Archive OpenArchive(const std::string& path, std::string& problem) {
  int error = 0;
  zip_t* z = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
  if (!z) {
    zip_error_t e;
    zip_error_init_with_code(&e, error);
    problem = error == ZIP_ER_NOENT
                  ? "Arhiva ne postoji: " + path
                  : "Nije ispravna ZIP arhiva: " + path + " (" + zip_error_strerror(&e) + ")";
    zip_error_fini(&e);
  }
  return Archive(z);
}

bool Collect(zip_t* z, std::vector<ArchiveEntryInfo>& entries) {
  entries.clear();
  const zip_int64_t count = zip_get_num_entries(z, 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    zip_stat_t st;
    if (zip_stat_index(z, static_cast<zip_uint64_t>(i), 0, &st) != 0) return false;
    ArchiveEntryInfo e;
    e.name = st.name ? st.name : "";
    e.size = (st.valid & ZIP_STAT_SIZE) ? st.size : 0;
    e.compressed = (st.valid & ZIP_STAT_COMP_SIZE) ? st.comp_size : 0;
    e.modified = (st.valid & ZIP_STAT_MTIME) ? static_cast<std::int64_t>(st.mtime) : 0;
    e.directory = !e.name.empty() && e.name.back() == '/';
    entries.push_back(std::move(e));
  }
  return true;
}

// Reads one entry to its end; libzip checks the CRC when the last byte has been read.
void ReadThrough(zip_t* z, zip_uint64_t index, ArchiveEntryInfo& e) {
  zip_file_t* f = zip_fopen_index(z, index, 0);
  if (!f) {
    e.ok = false;
    const int code = zip_error_code_zip(zip_get_error(z));
    e.badPassword = code == ZIP_ER_WRONGPASSWD || code == ZIP_ER_NOPASSWD;
    e.problem = e.badPassword ? "pogrešna zaporka"
                              : std::string("ne može se čitati (") + zip_strerror(z) + ")";
    return;
  }
  static thread_local std::vector<char> buffer(1 << 20);
  std::uint64_t total = 0;
  for (;;) {
    zip_int64_t n = zip_fread(f, buffer.data(), buffer.size());
    if (n < 0) {
      e.ok = false;
      e.problem = zip_error_code_zip(zip_file_get_error(f)) == ZIP_ER_CRC
                      ? "CRC ne odgovara: podaci su oštećeni"
                      : std::string("oštećeni podaci (") + zip_file_strerror(f) + ")";
      break;
    }
    if (n == 0) break;
    total += static_cast<std::uint64_t>(n);
    if (total > e.size) {
      e.ok = false;
      e.problem = "veća od zapisane veličine";
      break;
    }
  }
  zip_fclose(f);
  if (e.ok && total != e.size) {
    e.ok = false;
    e.problem = "kraća od zapisane veličine";
  }
}

// Whether `password` passes the check byte of a traditional-cipher entry other than `self`.
bool PasswordPassesAnotherCheck(int fd, const std::vector<EntryPlace>& places, std::size_t self,
                                const std::string& password) {
  for (std::size_t i = 0; i < places.size(); ++i)
    if (i != self && TraditionalCheckPasses(fd, places[i].data, places[i].compressed,
                                            places[i].encryption, password))
      return true;
  return false;
}

// Reads encrypted entry `i` through our own reader: password, authentication code, then the
// data with its size and (where the entry has one) CRC.
void ReadEncrypted(int fd, const std::vector<EntryPlace>& places, std::size_t i,
                   const std::string& password, ArchiveEntryInfo& e) {
  constexpr std::size_t kBuffer = 1 << 20;
  static thread_local std::vector<std::uint8_t> in(kBuffer), out(kBuffer);
  const EntryPlace& place = places[i];
  CryptoCheck check = ReadEncryptedEntry(fd, place.data, place.compressed, place.encryption,
                                         password, in.data(), out.data(), kBuffer,
                                         [](const std::uint8_t*, std::size_t) { return true; });
  // The traditional cipher's one-byte check lets a wrong password through one time in 256;
  // data that then fails is damage only when the password passes another entry's check.
  if (check == CryptoCheck::kDamaged && place.encryption.method != kAesMethod &&
      !PasswordPassesAnotherCheck(fd, places, i, password))
    check = CryptoCheck::kBadPassword;
  switch (check) {
    case CryptoCheck::kOk:
      return;
    case CryptoCheck::kBadPassword:
      e.badPassword = true;
      e.problem = password.empty() ? "šifrirana, a zaporka nije zadana" : "pogrešna zaporka";
      break;
    case CryptoCheck::kAuthFailed:
      e.problem = "autentifikacijski kod ne odgovara: podaci su oštećeni";
      break;
    case CryptoCheck::kDamaged:
      e.problem = "oštećeni podaci (CRC, veličina ili sažeti zapis ne odgovaraju)";
      break;
    case CryptoCheck::kUnsupported:
      e.problem = "nepoznata vrsta šifriranja ili sažimanja";
      break;
    case CryptoCheck::kReadFailed:
      e.problem = "ne može se čitati";
      break;
    case CryptoCheck::kNoMemory:
    case CryptoCheck::kSinkStopped:
      e.problem = "nema dovoljno memorije";
      break;
  }
  e.ok = false;
}

}  // namespace

bool ListArchive(const std::string& archive, std::vector<ArchiveEntryInfo>& entries,
                 std::string& problem) {
  problem.clear();
  Archive z = OpenArchive(archive, problem);
  if (!z) return false;
  if (!Collect(z.get(), entries)) {
    problem = "Popis arhive je oštećen: " + archive;
    return false;
  }
  return true;
}

bool TestArchive(const std::string& archive, const std::string& password,
                 std::vector<ArchiveEntryInfo>& entries, std::string& problem) {
  problem.clear();
  Archive z = OpenArchive(archive, problem);
  if (!z) return false;
  if (!Collect(z.get(), entries)) {
    problem = "Popis arhive je oštećen: " + archive;
    return false;
  }
  ZipFailure layout;
  std::vector<EntryPlace> places;
  if (CheckEntryLayout(archive, layout, &places) != 0) {
    problem = "Podaci stavki se preklapaju (oštećena ili zlonamjerna arhiva): " + layout.entry;
    return false;
  }
  if (!password.empty()) zip_set_default_password(z.get(), password.c_str());
  // Encrypted entries are read by our own reader where the directory placed them.
  const bool placed = places.size() == entries.size();
  int fd = placed ? platform::OpenFile(archive, platform::Access::kRead) : -1;
  bool all = true, damaged = false;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].directory) continue;
    if (fd >= 0 && places[i].encryption.encrypted)
      ReadEncrypted(fd, places, i, password, entries[i]);
    else
      ReadThrough(z.get(), i, entries[i]);
    all = all && entries[i].ok;
    damaged = damaged || (!entries[i].ok && !entries[i].badPassword);
  }
  if (fd >= 0) platform::CloseFile(fd);
  if (!all)
    problem = damaged ? "Arhiva je oštećena: " + archive
                      : "Zaporka ne otvara šifrirane datoteke arhive: " + archive;
  return all;
}

std::string EntryTimeText(std::int64_t modified) {
  std::time_t t = static_cast<std::time_t>(modified);
  std::tm tm{};
  if (modified <= 0 || !::localtime_r(&t, &tm)) return "--.--.---- --:--";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%02d.%02d.%04d %02d:%02d", tm.tm_mday, tm.tm_mon + 1,
                tm.tm_year + 1900, tm.tm_hour, tm.tm_min);
  return buf;
}

}  // namespace verdan::archive
