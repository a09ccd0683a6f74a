// Windows: libzip reads and writes the archives in the test process (its own reader and
// writer, not the program's), with names in UTF-8 as the program keeps them.
#include <zip.h>

#include <cstdlib>

#include <algorithm>

#include "support/temp_dir.h"
#include "support/zip_peer.h"

namespace verdan::testing {
namespace {

std::string Joined(const std::string& dir, const std::string& name) {
  if (name.size() > 1 && name[1] == ':') return name;
  return dir.empty() ? name : dir + "/" + name;
}

std::string Refused(zip_t* z, const std::string& archive) {
  std::string why = "refused " + archive + ": " + zip_strerror(z);
  zip_discard(z);
  return why;
}

// Reads entry `index` to its end, which makes libzip check its CRC.
bool ReadEntry(zip_t* z, zip_uint64_t index, std::string* bytes) {
  zip_file_t* f = zip_fopen_index(z, index, 0);
  if (f == nullptr) return false;
  char buffer[65536];
  zip_int64_t n;
  while ((n = zip_fread(f, buffer, sizeof buffer)) > 0)
    if (bytes) bytes->append(buffer, static_cast<std::size_t>(n));
  return zip_fclose(f) == 0 && n == 0;
}

}  // namespace

std::string ZipEntryNames(const std::string& archive) {
  int err = 0;
  zip_t* z = zip_open(archive.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &err);
  if (z == nullptr) return "libzip refused " + archive + ": error " + std::to_string(err);
  std::vector<std::string> names;
  zip_int64_t count = zip_get_num_entries(z, 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    const char* name = zip_get_name(z, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW);
    if (name == nullptr || !ReadEntry(z, static_cast<zip_uint64_t>(i), nullptr))
      return Refused(z, archive);
    names.push_back(name);
  }
  zip_discard(z);
  std::sort(names.begin(), names.end());
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : " ") + n;
  return out + "\n";
}

std::string ZipEntryBytes(const std::string& archive, const std::string& name) {
  int err = 0;
  zip_t* z = zip_open(archive.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &err);
  if (z == nullptr) return "refused " + archive + ": error " + std::to_string(err);
  zip_int64_t index = zip_name_locate(z, name.c_str(), ZIP_FL_ENC_RAW);
  std::string bytes;
  if (index < 0 || !ReadEntry(z, static_cast<zip_uint64_t>(index), &bytes))
    return Refused(z, archive);
  zip_discard(z);
  return bytes;
}

bool ZipWithTool(const std::string& cwd, const std::string& archive,
                 const std::vector<std::string>& files, const std::string& password) {
  int err = 0;
  zip_t* z = zip_open(Joined(cwd, archive).c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
  if (z == nullptr) return false;
  for (const auto& file : files) {
    std::string path = Joined(cwd, file);
    std::string base = path.substr(path.find_last_of("/\\") + 1);
    // The bytes are read now: the source file may go before the archive is closed.
    std::string content = ReadFile(path);
    void* copy = ::malloc(content.size() + 1);
    std::copy(content.begin(), content.end(), static_cast<char*>(copy));
    zip_source_t* source = zip_source_buffer(z, copy, content.size(), 1);
    zip_int64_t index = source ? zip_file_add(z, base.c_str(), source, ZIP_FL_ENC_UTF_8) : -1;
    if (index < 0) {
      if (source) zip_source_free(source);
      zip_discard(z);
      return false;
    }
    zip_set_file_compression(z, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, 6);
    if (!password.empty() && zip_file_set_encryption(z, static_cast<zip_uint64_t>(index),
                                                     ZIP_EM_TRAD_PKWARE, password.c_str()) != 0) {
      zip_discard(z);
      return false;
    }
  }
  if (zip_close(z) != 0) {
    zip_discard(z);
    return false;
  }
  return true;
}

}  // namespace verdan::testing
