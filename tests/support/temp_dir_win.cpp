// Windows: temporary directories and files through the wide-character calls, so that names
// outside ASCII survive. Running child processes is left to the POSIX build for now: no test
// built for Windows starts one.
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "platform/paths.h"
#include "platform/wide.h"
#include "support/temp_dir.h"

namespace verdan::testing {
namespace {

std::filesystem::path PathOf(const std::string& utf8) {
  return std::filesystem::path(platform::WideFromUtf8(utf8));
}

}  // namespace

TempDir::TempDir() {
  wchar_t base[MAX_PATH + 1] = {};
  DWORD n = ::GetTempPathW(MAX_PATH + 1, base);
  if (n == 0 || n > MAX_PATH) throw std::runtime_error("GetTempPath failed");
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::wstring dir = std::wstring(base) + L"verdan-test-" + std::to_wstring(random());
    if (::CreateDirectoryW(dir.c_str(), nullptr)) {
      path_ = platform::Utf8FromWide(dir);
      return;
    }
    if (::GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  throw std::runtime_error("CreateDirectory failed");
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(PathOf(path_), ec);
}

ScopedCwd::ScopedCwd(const std::string& dir) : previous_(platform::CurrentDirectory()) {
  platform::ChangeDirectory(dir);
}
ScopedCwd::~ScopedCwd() { platform::ChangeDirectory(previous_); }

std::string ReadFile(const std::string& path) {
  std::ifstream in(PathOf(path), std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(PathOf(path), std::ios::binary | std::ios::trunc);
  out << bytes;
}

}  // namespace verdan::testing
