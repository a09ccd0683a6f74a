// The socket port: stream sockets with the calling conventions and error numbers of the
// Windows socket interface, realised on POSIX sockets and on WinSock 2 alike (the few system
// calls that differ are behind platform/socket_os.h).
//
// A socket starts blocking. `AsyncSelect` makes it non-blocking and has the port's selector
// thread report its events as window messages: Event{message, wparam = socket,
// lparam = event | error << 16} posted to the given window thread. The rules for
// re-enabling follow the Windows interface: kFdRead again after a `Recv` while data remains;
// kFdWrite when the socket becomes writable after a connect, after a `Send` that hit
// would-block, and when `AsyncSelect` is called again; kFdConnect and kFdClose once.
// `AsyncGetHostByName` looks a name up on a worker thread and posts
// Event{message, wparam = handle, lparam = error << 16, data = shared_ptr<HostEntry>};
// `CancelAsyncRequest` suppresses that completion.
//
// Error numbers are the Windows ones (10035 would-block, 10061 refused, 10054 reset, 11001
// host not found, ...); a failed call returns kSocketError (or kInvalidSocket) and leaves
// the number for `WsaGetLastError` of the calling thread.
//
// Thread-safety: every function may be called from any thread. Calls on one socket from
// two threads at once are the caller's business, as with any socket.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event_loop.h"

namespace verdan::platform {

using SocketHandle = std::uint32_t;
constexpr SocketHandle kInvalidSocket = 0xFFFFFFFFu;
constexpr int kSocketError = -1;
constexpr std::uint32_t kInaddrNone = 0xFFFFFFFFu;

constexpr int kAfInet = 2;
constexpr int kSockStream = 1;

// Socket error numbers.
enum WsaError : std::int32_t {
  kWsaEintr = 10004,
  kWsaEbadf = 10009,
  kWsaEacces = 10013,
  kWsaEfault = 10014,
  kWsaEinval = 10022,
  kWsaEmfile = 10024,
  kWsaEwouldblock = 10035,
  kWsaEinprogress = 10036,
  kWsaEalready = 10037,
  kWsaEnotsock = 10038,
  kWsaEconnaborted = 10053,
  kWsaEconnreset = 10054,
  kWsaEnobufs = 10055,
  kWsaEisconn = 10056,
  kWsaEnotconn = 10057,
  kWsaEshutdown = 10058,
  kWsaEtimedout = 10060,
  kWsaEconnrefused = 10061,
  kWsaEhostunreach = 10065,
  kWsaEproclim = 10067,
  kWsaNotInitialised = 10093,
  kWsaSyscallFailure = 10107,
  kWsaHostNotFound = 11001,
  kWsaTryAgain = 11002,
  kWsaNoRecovery = 11003,
  kWsaNoData = 11004,
};

// Events of asynchronous selection.
enum SelectEvent : std::uint32_t {
  kFdRead = 0x01,
  kFdWrite = 0x02,
  kFdOob = 0x04,
  kFdAccept = 0x08,
  kFdConnect = 0x10,
  kFdClose = 0x20,
};
inline std::uint32_t SelectEventOf(std::int64_t lparam) {
  return static_cast<std::uint32_t>(lparam) & 0xFFFF;
}
inline std::int32_t SelectErrorOf(std::int64_t lparam) {
  return static_cast<std::int32_t>((static_cast<std::uint32_t>(lparam) >> 16) & 0xFFFF);
}
inline std::int64_t MakeSelectParam(std::uint32_t event, std::int32_t error) {
  return static_cast<std::int64_t>((static_cast<std::uint32_t>(error) << 16) | (event & 0xFFFF));
}

enum ShutdownHow : int { kSdReceive = 0, kSdSend = 1, kSdBoth = 2 };

// An IPv4 socket address: family, port and address in network order, 8 zero bytes.
struct SockAddrIn {
  std::uint16_t family = kAfInet;
  std::uint16_t port = 0;     // network order
  std::uint32_t address = 0;  // network order
  std::uint8_t zero[8] = {};
};
static_assert(sizeof(SockAddrIn) == 16);

struct WsaData {
  std::uint16_t version = 0;  // granted: low byte major, high byte minor
  std::uint16_t highVersion = 0;
  std::string description;
  std::string systemStatus;
  std::uint32_t maxSockets = 0;
  std::uint32_t maxUdpDg = 0;
};

// The result of a host-name look-up.
struct HostEntry {
  std::string name;
  std::vector<std::uint32_t> addresses;  // IPv4, network order
};

// Start-up and clean-up are counted; every other call needs a start-up first (10093). A
// start-up that gets no thread for the selector fails with 10067 and counts nothing.
int WsaStartup(std::uint16_t versionRequested, WsaData& data);
int WsaCleanup();
int WsaGetLastError();

SocketHandle Socket(int family, int type, int protocol);
int Connect(SocketHandle s, const SockAddrIn& address);
// `flags` may carry kSendMore: more data follows at once, so the system may hold a piece
// that does not fill a segment to join it with the next (where it can; else ignored).
constexpr int kSendMore = 0x10000;
int Send(SocketHandle s, const void* data, int length, int flags);
int Recv(SocketHandle s, void* buffer, int length, int flags);
int Shutdown(SocketHandle s, int how);
int CloseSocket(SocketHandle s);
// SO_LINGER {on, seconds}. On a non-blocking socket a lingering close with a time-out does
// not block: the remaining data leaves in the background; {on, 0} resets the connection.
int SetLinger(SocketHandle s, bool on, std::uint16_t seconds);
int SetDontLinger(SocketHandle s);  // SO_DONTLINGER
// Sends short pieces at once instead of holding them back until the peer has acknowledged
// what went before (TCP_NODELAY).
int SetNoDelay(SocketHandle s);
int GetSockName(SocketHandle s, SockAddrIn& address);

// Dotted address to network order; kInaddrNone when `text` is not one.
std::uint32_t InetAddr(std::string_view text);
std::string InetNtoa(std::uint32_t address);
std::uint16_t HostToNetShort(std::uint16_t v);
std::uint16_t NetToHostShort(std::uint16_t v);

// This machine's host name (as a mail client names itself to a server); empty if unknown.
// Needs no start-up.
std::string LocalHostName();

// Blocking look-up: 0 and the first IPv4 address, or the error number.
int GetHostByName(std::string_view name, std::uint32_t& firstAddress);

// Asynchronous selection of `events` onto `message` of `window`; events 0 stops it.
int AsyncSelect(SocketHandle s, ThreadId window, std::int32_t message, std::uint32_t events);

// Starts a look-up on a worker thread; returns its handle, 0 on failure.
std::uint32_t AsyncGetHostByName(ThreadId window, std::int32_t message, std::string name);
// Cancels a pending look-up: 0, or kSocketError (10037 when it already completed, 10022
// for an unknown handle).
int CancelAsyncRequest(std::uint32_t handle);

// The Windows number for an errno value, and for a resolver (getaddrinfo) result.
int WsaErrorFromErrno(int error);
int WsaErrorFromResolver(int result);

}  // namespace verdan::platform
