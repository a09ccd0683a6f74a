// The network layer's diagnostics: the command-line switches that turn the trace on, the
// trace line itself. The texts of the error codes are in net_errors.h.
//
// Trace lines go to the debugger-output sink (platform/debug_output.h) as
// "[NetDLL] " + function + "() : " + text + CR LF, clipped when very long.
// Thread-safety: every function may be called from any thread; the switches are
// process-wide and are normally set once at start-up.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "net/net_errors.h"

namespace verdan::net {

enum class TraceLevel : std::int32_t { kInfo = 0, kError = 100 };

// The trace switches (all off at start).
struct TraceSwitches {
  bool netDebugTrace = false;     // "/netdebugtrace": start-up and shutdown lines
  bool logAll = false;            // "/netdlllog": every line is written
  bool logErrors = false;         // "/netdlllogerrors": only error lines are written
  bool logDetail = false;         // "/netdlllogall": detailed lines are produced (and written)
  bool quillonLog = false;        // "/quillonlog": the program's own network banners
  bool quillonLogErrors = false;  // "/quillonlogerrors"
  bool netDllShow = false;        // "/netdllshow": the layer's windows are shown
};

TraceSwitches GetTraceSwitches();
void SetTraceSwitches(const TraceSwitches& switches);
// True when any logging switch is on (the program then writes its closing lines).
bool AnyLoggingSwitch();

// True when `commandLine` holds `name` as a whole blank-separated word (case-insensitive).
bool HasSwitch(std::string_view commandLine, std::string_view name);

// True when `argument` is one of the network switches ("/netdlllog", "/netall", ...), in any
// case; the program takes these out before reading its own options and commands.
bool IsNetSwitch(std::string_view argument);

// Expands the shorthands: "/netall" appends "/netdebugtrace /netdlllogall /quillonlog",
// "/neterrors" appends "/netdebugtrace /netdlllogerrors /quillonlogerrors".
std::string ExpandNetCommandLine(std::string commandLine);

// Reads the switches from the (expanded) command line, replacing the current ones, and
// writes the banner lines the switches ask for.
void NetTurnOnLogging(std::string_view commandLine);

// The formatted trace line, clipped and ended by CR LF.
std::string FormatTraceLine(std::string_view function, std::string_view text);

// Writes one trace line when the switches allow it: always with "/netdlllog", only error
// lines with "/netdlllogerrors".
void Trace(TraceLevel level, std::string_view function, std::string_view text);
inline void TraceError(std::string_view function, std::string_view text) {
  Trace(TraceLevel::kError, function, text);
}
// Detailed lines are only built when "/netdlllogall" is on; callers test this first.
bool TraceDetail();
// Information line that is only built and written with "/netdlllogall".
void TraceInfo(std::string_view function, std::string_view text);

// A start-up or shutdown line, written as "[NetDLL]" + text + CR LF with "/netdebugtrace".
void StartUpTrace(std::string_view text);

}  // namespace verdan::net
