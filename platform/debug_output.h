// The debugger-output sink that the network trace writes to.
//
// By default lines go to standard error; when the environment variable VERDAN_TRACE names a
// file they are appended to it. A test installs a capturing sink. Thread-safe: a line is
// written whole.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace verdan::platform {

// Writes text exactly as given (the caller adds its own CR LF).
void DebugOutput(std::string_view text);

// Captures everything written while it lives, instead of the usual sink.
class CapturingDebugOutput {
 public:
  CapturingDebugOutput();
  ~CapturingDebugOutput();
  CapturingDebugOutput(const CapturingDebugOutput&) = delete;
  CapturingDebugOutput& operator=(const CapturingDebugOutput&) = delete;
  std::vector<std::string> Lines() const;  // each write as one element
  std::string Text() const;                // everything, joined
  void Clear();
};

}  // namespace verdan::platform
