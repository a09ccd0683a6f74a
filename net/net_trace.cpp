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
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

struct ErrorText {
  std::int32_t number;
  const char* text;
};

// Socket error numbers: the name, the usual short meaning, then what it means here.
constexpr ErrorText kSocketTexts[] = {
    {10013, "(WSAEACCES) Permission denied. An attempt was made to access a socket in a way forbidden by its access permissions."},
    {10048, "(WSAEADDRINUSE) Address already in use. Only one use of each socket address (protocol, address and port) is normally permitted."},
    {10049, "(WSAEADDRNOTAVAIL) Cannot assign requested address. The requested address is not valid in its context."},
    {10047, "(WSAEAFNOSUPPORT) Address family not supported by protocol family."},
    {10037, "(WSAEALREADY) Operation already in progress on a non-blocking socket."},
    {10009, "WSAEBADF (BadF)"},
    {10053, "(WSAECONNABORTED) Software caused connection abort. The connection was aborted by this computer, possibly after a data transmission time-out or protocol error."},
    {10061, "(WSAECONNREFUSED) Connection refused. No connection could be made because the target machine actively refused it; usually no server is running on that port."},
    {10054, "(WSAECONNRESET) Connection reset by peer. An existing connection was forcibly closed by the remote host."},
    {10039, "(WSAEDESTADDRREQ) Destination address required. A required address was omitted from an operation on a socket."},
    {10069, "WSAEDQUOT (Quota)"},
    {10014, "(WSAEFAULT) Bad address. An invalid pointer address was passed in a call."},
    {10064, "(WSAEHOSTDOWN) Host is down. The destination host did not respond."},
    {10065, "(WSAEHOSTUNREACH) No route to host. A socket operation was attempted to an unreachable host."},
    {10036, "(WSAEINPROGRESS) Operation now in progress. A blocking operation is currently executing."},
    {10004, "(WSAEINTR) Interrupted function call. A blocking operation was interrupted."},
    {10022, "(WSAEINVAL) Invalid argument. An invalid argument was supplied, or the socket is in the wrong state for the call."},
    {10056, "(WSAEISCONN) Socket is already connected. A connect request was made on an already connected socket."},
    {10062, "WSAELOOP (Loop)"},
    {10024, "(WSAEMFILE) Too many open files. Too many open sockets."},
    {10040, "(WSAEMSGSIZE) Message too long. A message was larger than the internal buffer or another limit."},
    {10063, "(WSAENAMETOOLONG) Name too long."},
    {10050, "(WSAENETDOWN) Network is down. A socket operation encountered a dead network."},
    {10052, "(WSAENETRESET) Network dropped connection on reset. The connection was broken by keep-alive activity while an operation was in progress."},
    {10051, "(WSAENETUNREACH) Network is unreachable. A socket operation was attempted to an unreachable network."},
    {10055, "(WSAENOBUFS) No buffer space available. The system lacked buffer space or a queue was full."},
    {10042, "(WSAENOPROTOOPT) Bad protocol option. An unknown, invalid or unsupported option or level was specified."},
    {10057, "(WSAENOTCONN) Socket is not connected. Data cannot be sent or received on a socket that is not connected."},
    {10066, "WSAENOTEMPTY (NotEmpty)"},
    {10038, "(WSAENOTSOCK) Socket operation on non-socket. The handle is not a valid socket, or the socket was already closed."},
    {10045, "(WSAEOPNOTSUPP) Operation not supported for the type of socket referenced."},
    {10046, "(WSAEPFNOSUPPORT) Protocol family not supported."},
    {10067, "(WSAEPROCLIM) Too many processes are using the socket interface."},
    {10043, "(WSAEPROTONOSUPPORT) Protocol not supported."},
    {10041, "(WSAEPROTOTYPE) Protocol wrong type for socket."},
    {10071, "WSAEREMOTE (Remote)"},
    {10058, "(WSAESHUTDOWN) Cannot send after socket shutdown. That direction of the connection was already shut down."},
    {10044, "(WSAESOCKTNOSUPPORT) Socket type not supported in this address family."},
    {10070, "WSAESTALE (Stale)"},
    {10060, "(WSAETIMEDOUT) Connection timed out. The remote host did not respond in time."},
    {10059, "(WSAETOOMANYREFS) Too many references to a kernel object."},
    {10068, "WSAEUSERS (Users)"},
    {10109, "(WSATYPE_NOT_FOUND) Class type not found. The specified class was not found."},
    {10035, "(WSAEWOULDBLOCK) Resource temporarily unavailable. The operation on a non-blocking socket cannot complete at once; it is retried later."},
    {11001, "(WSAHOST_NOT_FOUND) Host not found. No such host is known; check the server name."},
    {6, "(WSA_INVALID_HANDLE) Specified event object handle is invalid."},
    {10104, "(WSAEINVALIDPROCTABLE) Invalid procedure table from service provider."},
    {10105, "(WSAEINVALIDPROVIDER) Invalid service provider version number."},
    {996, "(WSA_IO_INCOMPLETE) Overlapped I/O event object not in signaled state."},
    {997, "(WSA_IO_PENDING) Overlapped operations will complete later."},
    {8, "(WSA_NOT_ENOUGH_MEMORY) Insufficient memory available."},
    {10093, "(WSANOTINITIALISED) Successful WSAStartup not yet performed. The socket interface was not started."},
    {11004, "(WSANO_DATA) Valid name, no data record of requested type. The name is known but has no address."},
    {11003, "(WSANO_RECOVERY) This is a non-recoverable error. The name server failed."},
    {10106, "(WSAEPROVIDERFAILEDINIT) Unable to initialize a service provider."},
    {10107, "(WSASYSCALLFAILURE) System call failure. A system call that should never fail has failed."},
    {10091, "(WSASYSNOTREADY) Network subsystem is unavailable. The network system this program relies on is not ready for network communication."},
    {11002, "(WSATRY_AGAIN) Non-authoritative host not found. The name could not be looked up now; try again later."},
    {10092, "(WSAVERNOTSUPPORTED) Winsock.dll version out of range. The requested version of the socket interface is not supported."},
    {10101, "(WSAEDISCON) Graceful shutdown in progress. The remote party has begun a graceful shutdown."},
    {995, "(WSA_OPERATION_ABORTED) Overlapped operation aborted, because the socket was closed."},
};
static_assert(std::size(kSocketTexts) == 61);

// The layer's own codes, as the layer words them.
constexpr ErrorText kLayerTexts[] = {
    {-1, "Unknown Error (was previously Quillon DLL not actively initiated)"},
    {-2, "Quillon DLL already active. Certain options can't be set once the DLL is loaded."},
    {-3, "Too many Quillon instances on one machine"},
    {-4, "Invalid structure size"},
    {-5, "Main start sequence faile"},
    {-6, "CallBack window timeout"},
    {-7, "Accepted data too short"},
    {-8, "Data is out of topic"},
    {-9, "Unknown packet type received"},
    {-10, "Not all data sent"},
    {-11, "Not all data received"},
    {-12, "You are trying to send data to someone who is not in the receivers (servers) list."},
    {-13, "No request"},
    {-14, "Request not found"},
    {-15, "No servers"},
    {-16, "Server not found"},
    {-17, "Service not supported"},
    {-18, "Bad response address"},
    {-19, "New thread failed"},
    {-20, "Address not found"},
    {-21, "Incorrect DLL version"},
    {-22, "Bad parameters passed to function"},
    {-23, "Too many listening sockets. The maximum has been reached"},
    {-24, "Socket dead. Could not find socket in listening queue"},
    {-25, "An incompatible packet version was received"},
    {-26, "This machine has no IP address"},
    {-27, "The service is marked as inactive, because a previous error occurred"},
    {-28, "The simple connection was not closed properly"},
    {-29, "Too many sending sockets. The maximum has been reached"},
    {-30, "An error occurred while trying to access a memory queue (read or write error). The queue could be full or there is not enough memory"},
    {-31, "An error occurred while trying to load the Quillon DLL. The DLL could not be loaded."},
    {-32, "Unable to allocate the requested memory"},
    {-33, "Host or Socket not specified. Please set the <object>.packet.ToIp and <object>.packet.OnSocket before NetSimple sending data."},
    {-34, "Could not find connected client in Simple Connect Client or Server"},
    {-35, "An error occurred while trying to access a file"},
    {-36, "The connection is not open"},
    {-37, "The Quillon object requires more properties to contain valid values"},
    {-38, "This functionality is no longer supported"},
    {-39, "Could not open a connection to the specified host machine"},
    {-40, "Could not send NetSimple Data"},
    {-41, "A General FTP error occurred"},
    {-42, "Invalid String Size"},
    {-43, "No Dial-Up Networking Entry. You need a Dial-Up Entry before you can dial."},
    {-44, "The DUN (Dial-Up) Object is not in the DLL queue."},
    {-45, "The DUN (Dial-Up) Object is busy opening another RAS connection."},
    {-46, "Could Not Load the Dial-Up Networking Windows Procedures. DUN will be disabled."},
    {-47, "Could not load the WinSock DLL. Quillon needs this to be able to work."},
    {-48, "Call Back Window Already Closed"},
    {-49, "Could not create new thread to start Quillon DLL Callback Window"},
    {-50, "Could not load some run-time procedures"},
    {-51, "Received a corrupt packet"},
    {-52, "No Posting Allowed"},
    {-53, "Timeout error"},
    {-54, "Ping unsuccessful"},
    {-55, "Connection Already Open"},
    {-56, "Quillon DLL not actively initiated"},
    {-57, "Connection was closed because it was idle (inactive)"},
};

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
  return s.netDebugTrace || s.logAll || s.logErrors || s.logDetail || s.quillonLog || s.quillonLogErrors;
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
  static constexpr std::string_view kSwitches[] = {"/netdlllog",  "/netdlllogerrors", "/netdlllogall",
                                                   "/netdebugtrace", "/netall",        "/neterrors",
                                                   "/netdllshow", "/quillonlog",      "/quillonlogerrors"};
  for (std::string_view s : kSwitches)
    if (EqualNoCase(argument, s)) return true;
  return false;
}

std::string ExpandNetCommandLine(std::string commandLine) {
  if (HasSwitch(commandLine, "/netall")) commandLine += " /netdebugtrace /netdlllogall /quillonlog";
  if (HasSwitch(commandLine, "/neterrors")) commandLine += " /netdebugtrace /netdlllogerrors /quillonlogerrors";
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
    TraceError("NetTurnOnLogging", "======== DLL Logging : Errors only (/netdlllogerrors) option on ========");
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

std::string NetErrorText(std::int32_t number) {
  std::string text;
  for (const auto& e : kSocketTexts)
    if (e.number == number) text = e.text;
  if (text.empty() && number < 0)
    for (const auto& e : kLayerTexts)
      if (e.number == number) text = e.text;
  if (text.empty()) text = "General Winsock Error (unknown by NetErrorStr) [" + std::to_string(number) + "]";
  if (text.size() > 255) text.resize(255);
  return text;
}

std::string NetErrorStr(std::int32_t number) {
  std::string text = NetErrorText(number);
  if (AnyLoggingSwitch()) {
    TraceSwitches s = GetTraceSwitches();
    if (s.logAll || s.logErrors)
      platform::DebugOutput(FormatTraceLine("NetErrorStr", "Error (" + std::to_string(number) + ") = " + text));
  }
  return text;
}

}  // namespace verdan::net
