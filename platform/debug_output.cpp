#include "platform/debug_output.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

namespace verdan::platform {
namespace {

std::mutex g_mutex;
std::vector<std::string>* g_capture = nullptr;

}  // namespace

void DebugOutput(std::string_view text) {
  std::lock_guard lock(g_mutex);
  if (g_capture) {
    g_capture->emplace_back(text);
    return;
  }
#ifdef _WIN32
  // A debugger (or a debug viewer) sees the trace as well as the usual sink.
  ::OutputDebugStringA(std::string(text).c_str());
#endif
#ifdef _WIN32
  // The file's name as the user wrote it, in whatever letters.
  const wchar_t* file = ::_wgetenv(L"VERDAN_TRACE");
  if (file && *file) {
    if (std::FILE* f = ::_wfopen(file, L"ab")) {
#else
  const char* file = std::getenv("VERDAN_TRACE");
  if (file && *file) {
    if (std::FILE* f = std::fopen(file, "ab")) {
#endif
      std::fwrite(text.data(), 1, text.size(), f);
      std::fclose(f);
      return;
    }
  }
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

CapturingDebugOutput::CapturingDebugOutput() {
  std::lock_guard lock(g_mutex);
  g_capture = new std::vector<std::string>;
}

CapturingDebugOutput::~CapturingDebugOutput() {
  std::lock_guard lock(g_mutex);
  delete g_capture;
  g_capture = nullptr;
}

std::vector<std::string> CapturingDebugOutput::Lines() const {
  std::lock_guard lock(g_mutex);
  return g_capture ? *g_capture : std::vector<std::string>{};
}

std::string CapturingDebugOutput::Text() const {
  std::string all;
  for (const auto& l : Lines()) all += l;
  return all;
}

void CapturingDebugOutput::Clear() {
  std::lock_guard lock(g_mutex);
  if (g_capture) g_capture->clear();
}

}  // namespace verdan::platform
