#include "net/net_errors.h"

#include <iterator>

#include "net/net_trace.h"
#include "platform/debug_output.h"

namespace verdan::net {
namespace {

struct ErrorText {
  std::int32_t number;
  const char* text;
};

// Socket error numbers: the name, the usual short meaning, then what it means here.
constexpr ErrorText kSocketTexts[] = {
    {10013,
     "(WSAEACCES) Permission denied. An attempt was made to access a socket in a way forbidden by "
     "its access permissions."},
    {10048,
     "(WSAEADDRINUSE) Address already in use. Only one use of each socket address (protocol, "
     "address and port) is normally permitted."},
    {10049,
     "(WSAEADDRNOTAVAIL) Cannot assign requested address. The requested address is not valid in "
     "its context."},
    {10047, "(WSAEAFNOSUPPORT) Address family not supported by protocol family."},
    {10037, "(WSAEALREADY) Operation already in progress on a non-blocking socket."},
    {10009, "WSAEBADF (BadF)"},
    {10053,
     "(WSAECONNABORTED) Software caused connection abort. The connection was aborted by this "
     "computer, possibly after a data transmission time-out or protocol error."},
    {10061,
     "(WSAECONNREFUSED) Connection refused. No connection could be made because the target machine "
     "actively refused it; usually no server is running on that port."},
    {10054,
     "(WSAECONNRESET) Connection reset by peer. An existing connection was forcibly closed by the "
     "remote host."},
    {10039,
     "(WSAEDESTADDRREQ) Destination address required. A required address was omitted from an "
     "operation on a socket."},
    {10069, "WSAEDQUOT (Quota)"},
    {10014, "(WSAEFAULT) Bad address. An invalid pointer address was passed in a call."},
    {10064, "(WSAEHOSTDOWN) Host is down. The destination host did not respond."},
    {10065,
     "(WSAEHOSTUNREACH) No route to host. A socket operation was attempted to an unreachable "
     "host."},
    {10036,
     "(WSAEINPROGRESS) Operation now in progress. A blocking operation is currently executing."},
    {10004, "(WSAEINTR) Interrupted function call. A blocking operation was interrupted."},
    {10022,
     "(WSAEINVAL) Invalid argument. An invalid argument was supplied, or the socket is in the "
     "wrong state for the call."},
    {10056,
     "(WSAEISCONN) Socket is already connected. A connect request was made on an already connected "
     "socket."},
    {10062, "WSAELOOP (Loop)"},
    {10024, "(WSAEMFILE) Too many open files. Too many open sockets."},
    {10040,
     "(WSAEMSGSIZE) Message too long. A message was larger than the internal buffer or another "
     "limit."},
    {10063, "(WSAENAMETOOLONG) Name too long."},
    {10050, "(WSAENETDOWN) Network is down. A socket operation encountered a dead network."},
    {10052,
     "(WSAENETRESET) Network dropped connection on reset. The connection was broken by keep-alive "
     "activity while an operation was in progress."},
    {10051,
     "(WSAENETUNREACH) Network is unreachable. A socket operation was attempted to an unreachable "
     "network."},
    {10055,
     "(WSAENOBUFS) No buffer space available. The system lacked buffer space or a queue was full."},
    {10042,
     "(WSAENOPROTOOPT) Bad protocol option. An unknown, invalid or unsupported option or level was "
     "specified."},
    {10057,
     "(WSAENOTCONN) Socket is not connected. Data cannot be sent or received on a socket that is "
     "not connected."},
    {10066, "WSAENOTEMPTY (NotEmpty)"},
    {10038,
     "(WSAENOTSOCK) Socket operation on non-socket. The handle is not a valid socket, or the "
     "socket was already closed."},
    {10045, "(WSAEOPNOTSUPP) Operation not supported for the type of socket referenced."},
    {10046, "(WSAEPFNOSUPPORT) Protocol family not supported."},
    {10067, "(WSAEPROCLIM) Too many processes are using the socket interface."},
    {10043, "(WSAEPROTONOSUPPORT) Protocol not supported."},
    {10041, "(WSAEPROTOTYPE) Protocol wrong type for socket."},
    {10071, "WSAEREMOTE (Remote)"},
    {10058,
     "(WSAESHUTDOWN) Cannot send after socket shutdown. That direction of the connection was "
     "already shut down."},
    {10044, "(WSAESOCKTNOSUPPORT) Socket type not supported in this address family."},
    {10070, "WSAESTALE (Stale)"},
    {10060, "(WSAETIMEDOUT) Connection timed out. The remote host did not respond in time."},
    {10059, "(WSAETOOMANYREFS) Too many references to a kernel object."},
    {10068, "WSAEUSERS (Users)"},
    {10109, "(WSATYPE_NOT_FOUND) Class type not found. The specified class was not found."},
    {10035,
     "(WSAEWOULDBLOCK) Resource temporarily unavailable. The operation on a non-blocking socket "
     "cannot complete at once; it is retried later."},
    {11001, "(WSAHOST_NOT_FOUND) Host not found. No such host is known; check the server name."},
    {6, "(WSA_INVALID_HANDLE) Specified event object handle is invalid."},
    {10104, "(WSAEINVALIDPROCTABLE) Invalid procedure table from service provider."},
    {10105, "(WSAEINVALIDPROVIDER) Invalid service provider version number."},
    {996, "(WSA_IO_INCOMPLETE) Overlapped I/O event object not in signaled state."},
    {997, "(WSA_IO_PENDING) Overlapped operations will complete later."},
    {8, "(WSA_NOT_ENOUGH_MEMORY) Insufficient memory available."},
    {10093,
     "(WSANOTINITIALISED) Successful WSAStartup not yet performed. The socket interface was not "
     "started."},
    {11004,
     "(WSANO_DATA) Valid name, no data record of requested type. The name is known but has no "
     "address."},
    {11003, "(WSANO_RECOVERY) This is a non-recoverable error. The name server failed."},
    {10106, "(WSAEPROVIDERFAILEDINIT) Unable to initialize a service provider."},
    {10107,
     "(WSASYSCALLFAILURE) System call failure. A system call that should never fail has failed."},
    {10091,
     "(WSASYSNOTREADY) Network subsystem is unavailable. The network system this program relies on "
     "is not ready for network communication."},
    {11002,
     "(WSATRY_AGAIN) Non-authoritative host not found. The name could not be looked up now; try "
     "again later."},
    {10092,
     "(WSAVERNOTSUPPORTED) Winsock.dll version out of range. The requested version of the socket "
     "interface is not supported."},
    {10101,
     "(WSAEDISCON) Graceful shutdown in progress. The remote party has begun a graceful shutdown."},
    {995, "(WSA_OPERATION_ABORTED) Overlapped operation aborted, because the socket was closed."},
};
static_assert(std::size(kSocketTexts) == 61);

// The layer's own codes, as the layer words them.
constexpr ErrorText kLayerTexts[] = {
    {kNetUnknownError, "Unknown Error (was previously Quillon DLL not actively initiated)"},
    {kNetAlreadyActive,
     "Quillon DLL already active. Certain options can't be set once the DLL is loaded."},
    {kNetTooManyInstances, "Too many Quillon instances on one machine"},
    {kNetInvalidStructureSize, "Invalid structure size"},
    {kNetManualBreak, "Main start sequence faile"},
    {kNetCallBackWindowTimeout, "CallBack window timeout"},
    {kNetDataTooShort, "Accepted data too short"},
    {kNetDataOutOfTopic, "Data is out of topic"},
    {kNetUnknownPacketType, "Unknown packet type received"},
    {kNetNotAllDataSent, "Not all data sent"},
    {kNetNotAllDataReceived, "Not all data received"},
    {kNetNotAReceiver,
     "You are trying to send data to someone who is not in the receivers (servers) list."},
    {kNetNoRequest, "No request"},
    {kNetRequestNotFound, "Request not found"},
    {kNetNoServers, "No servers"},
    {kNetServerNotFound, "Server not found"},
    {kNetServiceNotSupported, "Service not supported"},
    {kNetBadResponseAddress, "Bad response address"},
    {kNetNewThreadFailed, "New thread failed"},
    {kNetAddressNotFound, "Address not found"},
    {kNetIncorrectVersion, "Incorrect DLL version"},
    {kNetBadParameters, "Bad parameters passed to function"},
    {kNetTooManyListeningSockets, "Too many listening sockets. The maximum has been reached"},
    {kNetSocketDead, "Socket dead. Could not find socket in listening queue"},
    {kNetIncompatiblePacketVersion, "An incompatible packet version was received"},
    {kNetNoIpAddress, "This machine has no IP address"},
    {kNetServiceInactive, "The service is marked as inactive, because a previous error occurred"},
    {kNetNotClosedProperly, "The simple connection was not closed properly"},
    {kNetTooManySendingSockets, "Too many sending sockets. The maximum has been reached"},
    {kNetQueueError,
     "An error occurred while trying to access a memory queue (read or write error). The queue "
     "could be full or there is not enough memory"},
    {kNetLoadFailed,
     "An error occurred while trying to load the Quillon DLL. The DLL could not be loaded."},
    {kNetOutOfMemory, "Unable to allocate the requested memory"},
    {kNetHostOrSocketNotSpecified,
     "Host or Socket not specified. Please set the <object>.packet.ToIp and "
     "<object>.packet.OnSocket before NetSimple sending data."},
    {kNetConnectionNotFound, "Could not find connected client in Simple Connect Client or Server"},
    {kNetFileError, "An error occurred while trying to access a file"},
    {kNetConnectionNotOpen, "The connection is not open"},
    {kNetPropertiesMissing, "The Quillon object requires more properties to contain valid values"},
    {kNetNoLongerSupported, "This functionality is no longer supported"},
    {kNetCannotConnect, "Could not open a connection to the specified host machine"},
    {kNetCannotSendData, "Could not send NetSimple Data"},
    {kNetFtpError, "A General FTP error occurred"},
    {kNetInvalidStringSize, "Invalid String Size"},
    {kNetNoDialUpEntry,
     "No Dial-Up Networking Entry. You need a Dial-Up Entry before you can dial."},
    {kNetDialUpNotQueued, "The DUN (Dial-Up) Object is not in the DLL queue."},
    {kNetDialUpBusy, "The DUN (Dial-Up) Object is busy opening another RAS connection."},
    {kNetDialUpNotLoaded,
     "Could Not Load the Dial-Up Networking Windows Procedures. DUN will be disabled."},
    {kNetSocketsNotLoaded,
     "Could not load the WinSock DLL. Quillon needs this to be able to work."},
    {kNetCallBackWindowClosed, "Call Back Window Already Closed"},
    {kNetThreadNotCreated, "Could not create new thread to start Quillon DLL Callback Window"},
    {kNetProceduresNotLoaded, "Could not load some run-time procedures"},
    {kNetCorruptPacket, "Received a corrupt packet"},
    {kNetNoPosting, "No Posting Allowed"},
    {kNetTimeout, "Timeout error"},
    {kNetPingFailed, "Ping unsuccessful"},
    {kNetConnectionAlreadyOpen, "Connection Already Open"},
    {kNetNotActive, "Quillon DLL not actively initiated"},
    {kNetIdleClosed, "Connection was closed because it was idle (inactive)"},
};

// The table words every layer code, in order.
constexpr bool LayerTableComplete() {
  for (std::size_t i = 0; i < std::size(kLayerTexts); ++i)
    if (kLayerTexts[i].number != kNetUnknownError - static_cast<std::int32_t>(i)) return false;
  return std::size(kLayerTexts) == -kNetIdleClosed;
}
static_assert(LayerTableComplete());

}  // namespace

std::string NetErrorText(std::int32_t number) {
  std::string text;
  for (const auto& e : kSocketTexts)
    if (e.number == number) text = e.text;
  if (text.empty() && IsLayerCode(number))
    for (const auto& e : kLayerTexts)
      if (e.number == number) text = e.text;
  if (text.empty())
    text = "General Winsock Error (unknown by NetErrorStr) [" + std::to_string(number) + "]";
  if (text.size() > 255) text.resize(255);
  return text;
}

std::string NetErrorStr(std::int32_t number) {
  std::string text = NetErrorText(number);
  if (AnyLoggingSwitch()) {
    TraceSwitches s = GetTraceSwitches();
    if (s.logAll || s.logErrors)
      platform::DebugOutput(
          FormatTraceLine("NetErrorStr", "Error (" + std::to_string(number) + ") = " + text));
  }
  return text;
}

}  // namespace verdan::net
