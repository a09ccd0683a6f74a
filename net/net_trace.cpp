#include "net/net_trace.h"

#include <algorithm>
#include <cctype>
#include <mutex>

#include "platform/debug_output.h"

namespace verdan::net {
namespace {

std::mutex g_switchMutex;
TraceSwitches g_switches;

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.remove_suffix(1);
  return s;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

}  // namespace

TraceSwitches GetTraceSwitches() {
  std::lock_guard lock(g_switchMutex);
  return g_switches;
}

void SetTraceSwitches(const TraceSwitches& switches) {
  std::lock_guard lock(g_switchMutex);
  g_switches = switches;
}

bool AnyLoggingSwitch() {
  TraceSwitches s = GetTraceSwitches();
  return s.netDebugTrace || s.logAll || s.logErrors || s.logDetail || s.quillonLog ||
         s.quillonLogErrors;
}

bool HasSwitch(std::string_view commandLine, std::string_view name) {
  std::size_t i = 0;
  while (i < commandLine.size()) {
    while (i < commandLine.size() && std::isspace(static_cast<unsigned char>(commandLine[i]))) ++i;
    std::size_t start = i;
    while (i < commandLine.size() && !std::isspace(static_cast<unsigned char>(commandLine[i]))) ++i;
    if (i > start && EqualNoCase(commandLine.substr(start, i - start), name)) return true;
  }
  return false;
}

bool IsNetSwitch(std::string_view argument) {
  static constexpr std::string_view kSwitches[] = {
      "/netdlllog", "/netdlllogerrors", "/netdlllogall", "/netdebugtrace",   "/netall",
      "/neterrors", "/netdllshow",      "/quillonlog",   "/quillonlogerrors"};
  for (std::string_view s : kSwitches)
    if (EqualNoCase(argument, s)) return true;
  return false;
}

std::string ExpandNetCommandLine(std::string commandLine) {
  if (HasSwitch(commandLine, "/netall")) commandLine += " /netdebugtrace /netdlllogall /quillonlog";
  if (HasSwitch(commandLine, "/neterrors"))
    commandLine += " /netdebugtrace /netdlllogerrors /quillonlogerrors";
  return commandLine;
}

void NetTurnOnLogging(std::string_view commandLine) {
  TraceSwitches s;
  s.netDebugTrace = HasSwitch(commandLine, "/netdebugtrace");
  bool detail = HasSwitch(commandLine, "/netdlllogall");
  // "/netdlllogall" counts as "/netdlllog" too: detailed lines that are never written would
  // leave "/netall" without any trace.
  if (HasSwitch(commandLine, "/netdlllog") || detail) s.logAll = true;
  bool errorsOnly = HasSwitch(commandLine, "/netdlllogerrors");
  if (errorsOnly) {
    s.logErrors = true;
    s.logDetail = false;
    s.logAll = false;
  }
  if (detail) s.logDetail = true;
  s.quillonLog = HasSwitch(commandLine, "/quillonlog");
  s.quillonLogErrors = HasSwitch(commandLine, "/quillonlogerrors");
  s.netDllShow = HasSwitch(commandLine, "/netdllshow");
  SetTraceSwitches(s);
  if (errorsOnly)
    TraceError("NetTurnOnLogging",
               "======== DLL Logging : Errors only (/netdlllogerrors) option on ========");
  if (detail) Trace(TraceLevel::kInfo, "NetTurnOnLogging", "Log All (/netdlllogall) option on");
  if (s.logAll) {
    platform::DebugOutput("[NetDLL] ===== [QUILLON] " + std::string(60, '=') + "\r\n");
    platform::DebugOutput(
        "[NetDLL] NetDLL 3.8.4 : Quillon DLL Logging turned On  Net:MaxBinData = 16384 "
        "Net:MaxUDPData = 8192 Size of packet = 16564\r\n");
  }
}

std::string FormatTraceLine(std::string_view function, std::string_view text) {
  std::string line = "[NetDLL] ";
  line += TrimRight(function);
  line += "() : ";
  line += TrimRight(text);
  if (line.size() > 1021) {
    line.resize(1012);
    line += " <clipped>";
  }
  line += "\r\n";
  return line;
}

void Trace(TraceLevel level, std::string_view function, std::string_view text) {
  TraceSwitches s = GetTraceSwitches();
  if (!(s.logAll || (s.logErrors && level == TraceLevel::kError))) return;
  platform::DebugOutput(FormatTraceLine(function, text));
}

bool TraceDetail() { return GetTraceSwitches().logDetail; }

void TraceInfo(std::string_view function, std::string_view text) {
  if (TraceDetail()) Trace(TraceLevel::kInfo, function, text);
}

void StartUpTrace(std::string_view text) {
  if (!GetTraceSwitches().netDebugTrace) return;
  platform::DebugOutput("[NetDLL]" + std::string(text) + "\r\n");
}

}  // namespace verdan::net
